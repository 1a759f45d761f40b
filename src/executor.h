// Running compiled programs.
#pragma once

#include "expression.h"

// Runs `p` with `n` arguments (read by the parameter functions). `root` is none for the run the
// host started, and that run's program for nested runs (user-defined functions), which leave the
// engine's global objects alone and also stop when the root program is cancelled. Returns 0 or
// the error that stopped it; on success *out (when given) receives the program's result cell.
int pcode_run(exp_engine *e, exp_pcode *p, exp_symval **out, int n, exp_symval **args, const exp_pcode *root);
