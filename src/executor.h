// Running compiled programs.
#pragma once

#include "expression.h"

// Runs `p` with `n` arguments (read by the parameter functions). Nested runs (user-defined
// functions) leave the engine's global objects alone. Returns 0 or the error that stopped it;
// on success *out (when given) receives the program's result cell.
int pcode_run(exp_engine *e, exp_pcode *p, exp_symval **out, int n, exp_symval **args, bool nested);
