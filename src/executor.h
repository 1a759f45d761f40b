// Running compiled programs.
#pragma once

#include "expression.h"

// Instructions between two questions to the interrupt handler.
inline constexpr int kInterruptBudget = 1048;

// A program's local cells a run sets null when it starts (declared, not static), and those it
// releases when it ends (objects, not static): the canonical run walks the locals with these, the
// prepared form lists the cells once with them.
inline bool reset_each_run(const exp_symval *c) { return (c->flags & (EXP_LOCAL | EXP_STATIC)) == EXP_LOCAL; }
inline bool released_each_run(const exp_symval *c) {
  return (c->flags & EXP_TYPE_MASK) == EXP_OBJECT && !(c->flags & EXP_STATIC);
}

// Runs `p` with `n` arguments (read by the parameter functions). `root` is none for the run the
// host started, and that run's program for nested runs (user-defined functions), which leave the
// engine's global objects alone and also stop when the root program is cancelled. Returns 0 or
// the error that stopped it; on success *out (when given) receives the program's result cell.
// A nested run uses its caller's interrupt budget `*budget` (instructions left before the
// interrupt handler is asked) and leaves there what it did not use, so that a chain of nested
// runs is asked, and counted against the step limit, as one run; the outermost run gives none.
int pcode_run(exp_engine *e, exp_pcode *p, exp_symval **out, int n, exp_symval **args, const exp_pcode *root,
              int *budget);
