// Built-in functions of this family; their records join the static table in table.cpp.
#include "builtins/builtins.h"

std::span<const exp_function> system_functions() { return {}; }
