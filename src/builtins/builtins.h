// The families of built-in functions and classes. Each family's source holds the records and
// callbacks of its functions; table.cpp puts the records in the order hosts enumerate them.
#pragma once

#include <span>

#include "builtins/table.h"
#include "registry.h"

// Global functions, by family.
std::span<const exp_function> string_functions();     // strings.cpp
std::span<const exp_function> numeric_functions();    // numeric.cpp
std::span<const exp_function> date_functions();       // dates.cpp
std::span<const exp_function> type_functions();       // types.cpp
std::span<const exp_function> text_functions();       // text.cpp
std::span<const exp_function> system_functions();     // system.cpp
std::span<const exp_function> picture_functions();    // picture.cpp
std::span<const exp_function> binary_format_functions();  // binary_formats.cpp

// Classes: their records, methods and the functions behind the methods (loaded per engine).
struct class_family {
  std::span<const builtin_class> classes;
  std::span<const builtin_method> methods;
  std::span<const exp_function> functions;
};
class_family array_classes();  // arrays.cpp (also aparse)
// Whether `cell` is an object cell of one of the five array classes.
bool array_cell(const exp_symval *cell);
// Puts into object cell `dst` (of the same class as array cell `src`) a new array holding copies
// of src's elements, charged to e's memory; a null src makes dst null. 0, or error 1 or 109 with
// dst unchanged.
int array_copy(exp_engine *e, const exp_symval *src, exp_symval *dst);
class_family file_class();     // file.cpp
class_family regex_class();    // regex.cpp

// Whether match_string can ever match `pattern`: a star may stand only first or last (text.cpp).
bool match_string_pattern_valid(const char *pattern);
