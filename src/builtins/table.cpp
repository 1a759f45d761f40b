// The static tables of built-in functions and classes, assembled once from the families in the
// order hosts enumerate them. After assembly the tables are read-only and shared by all engines.
#include "builtins/table.h"

#include <cstring>
#include <vector>

#include "builtins/builtins.h"
#include "builtins/rechecked.h"

namespace {

// Enumeration order of the global built-in functions.
constexpr const char *kFunctionOrder[] = {
    "abs", "asc", "ceil", "chr", "floor", "formatdate", "instr", "isnull", "left", "len", "lower",
    "max", "mid", "min", "pow", "replace", "right", "round", "today", "todaygmt", "todayutc", "trim",
    "upper", "isnumber", "parse", "inlist", "isalpha", "compare", "execute", "sleep", "locale",
    "deletefile", "fileexists", "parameter", "parameterstring", "parameterinteger", "parameterdate",
    "parameterboolean", "parameterreal", "parametertype", "parametercount", "typeof",
    "determine_type", "pattern", "raiseerror", "match_string", "has_control_chars", "filedate",
    "vareval", "movefile", "copyfile", "isblank", "piccomp", "piccomp3", "piccomp5", "picsigndec",
    "formatpiccomp", "formatpiccomp3", "formatpiccomp5", "formatpicsigndec", "ib", "pd", "s370fib",
    "s370fpd", "formatib", "formatpd", "formats370fib", "formats370fpd", "normsinv", "encode",
    "decode", "edit_distance", "varset", "sort_words", "sort", "username", "uniqueid", "mkdir",
    "rmdir", "tostring", "tointeger", "todate", "toreal", "toboolean", "crash_application", "occurs",
};

// Load order of the class-method functions (and aparse).
constexpr const char *kClassFunctionOrder[] = {
    "int_array_dim", "int_array_set", "int_array_get", "str_array_dim", "str_array_set",
    "str_array_get", "real_array_dim", "real_array_set", "real_array_get", "bool_array_dim",
    "bool_array_set", "bool_array_get", "date_array_dim", "date_array_set", "date_array_get",
    "aparse", "file_open", "file_close", "file_readline", "file_readbytes", "file_writeline",
    "file_writebytes", "file_seekbegin", "file_seekcurrent", "file_seekend", "file_position",
    "regex_compile", "regex_findfirst", "regex_replace", "regex_findnext", "regex_matchstart",
    "regex_matchlength", "regex_substringcount", "regex_substringstart", "regex_substringlength",
};

constexpr const char *kClassOrder[] = {
    "integer_array", "string_array", "real_array", "boolean_array", "date_array", "file", "regex",
};

// Name of a row, whatever kind of row it is.
const char *row_name(const exp_function &f) { return f.name; }
const char *row_name(const builtin_class &c) { return c.name; }

// Rows of all `families` in the order of `order`; rows whose name the order lacks come last.
template <typename Row, size_t N>
std::vector<Row> assemble(const char *const (&order)[N], std::initializer_list<std::span<const Row>> families) {
  std::vector<Row> rows;
  for (const char *name : order)
    for (std::span<const Row> family : families)
      for (const Row &row : family)
        if (std::strcmp(row_name(row), name) == 0) rows.push_back(row);
  for (std::span<const Row> family : families)
    for (const Row &row : family) {
      bool listed = false;
      for (const char *name : order) listed |= std::strcmp(row_name(row), name) == 0;
      if (!listed) rows.push_back(row);
    }
  return rows;
}

std::vector<builtin_method> all_methods() {
  std::vector<builtin_method> rows;
  for (const class_family &f : {array_classes(), file_class(), regex_class()})
    rows.insert(rows.end(), f.methods.begin(), f.methods.end());
  return rows;
}

}  // namespace

std::span<const exp_function> builtin_functions() {
  static const std::vector<exp_function> table = assemble<exp_function>(
      kFunctionOrder, {string_functions(), numeric_functions(), date_functions(), type_functions(),
                       text_functions(), system_functions(), picture_functions(), binary_format_functions()});
  return table;
}

std::span<const builtin_class> builtin_classes() {
  static const std::vector<builtin_class> table = assemble<builtin_class>(
      kClassOrder, {array_classes().classes, file_class().classes, regex_class().classes});
  return table;
}

std::span<const builtin_method> builtin_methods() {
  static const std::vector<builtin_method> table = all_methods();
  return table;
}

std::span<const exp_function> builtin_class_functions() {
  static const std::vector<exp_function> table = assemble<exp_function>(
      kClassFunctionOrder, {array_classes().functions, file_class().functions, regex_class().functions});
  return table;
}

const exp_function *builtin_record_of(exp_func_cb fn) {
  for (std::span<const exp_function> table : {builtin_functions(), builtin_class_functions()})
    for (const exp_function &f : table)
      if (f.fn == fn) return &f;
  return nullptr;
}
