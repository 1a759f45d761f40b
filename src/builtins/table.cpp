// The static tables of built-in functions and classes, in the order hosts enumerate them.
// Each family of built-ins adds its rows here when it lands.
#include "builtins/table.h"

#include <array>

#include "builtins/builtins.h"

namespace {

// Global built-in functions; visible ones are listed in this order by exp_get_function_info.
const std::array<exp_function, 0> kFunctions{};

const std::array<builtin_class, 0> kClasses{};

const std::array<builtin_method, 0> kMethods{};

// Class-method functions (and aparse), loaded into every engine's own table.
const std::array<exp_function, 0> kClassFunctions{};

}  // namespace

std::span<const exp_function> builtin_functions() { return kFunctions; }
std::span<const builtin_class> builtin_classes() { return kClasses; }
std::span<const builtin_method> builtin_methods() { return kMethods; }
std::span<const exp_function> builtin_class_functions() { return kClassFunctions; }
