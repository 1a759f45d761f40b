// How exp_execute runs a prepared program: the short path for programs whose runs nobody can
// watch, and the cells a run sets null when it starts.
#pragma once

#include <cstdint>
#include <vector>

#include "expression.h"

struct exp_prepared;

// Made on a program's first run and again whenever the engine's symbol table has changed since
// (every run resets the engine's declared globals, so the plan lists them).
//
// A plain program calls nothing (no function, operator callback or user-defined function), never
// jumps back and is shorter than one interrupt budget: no host code runs between the start of its
// run and its end, so nothing can see the engine's run bookkeeping (the program's running flag,
// the run depth, the host run, the parameters), and exp_execute skips it. Its cells to reset hold
// no objects, so it has nothing to release either.
struct RunPlan {
  // The engine's symbol-table version the plan was made for (none yet), and the same when the
  // program is plain (else none): exp_execute takes the short path on one comparison.
  uint64_t made_for = UINT64_MAX;
  uint64_t plain_for = UINT64_MAX;
  // A plain program's cells a run sets null: the engine's declared globals, the result cell and the
  // declared locals, grouped by how they are reset: `ints` integer-like cells first, then
  // `decimals` real or date cells, then the rest (text and pointers).
  uint32_t ints = 0;
  uint32_t decimals = 0;
  std::vector<exp_symval *> cells;
};

// Remakes the plan of `p` (prepared as `prepared`) for the present state of engine `e`. A program
// that is not plain, or a plan that cannot be made (memory), leaves the program on the general path.
void run_plan_make(exp_engine *e, exp_pcode *p, exp_prepared &prepared) noexcept;
