// Resource limits of an engine (exp_set_limit): the checks that refuse growth past them with
// error 109, and the accounting of the memory its programs and their objects hold.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

#include "expression.h"

// Bytes held by one engine's programs (their cells), arrays and regexes. Objects keep a share of
// it so they give their bytes back whenever they are freed, even after the engine is gone.
struct MemoryBudget {
  std::atomic<int64_t> used{0};
};
using MemoryBudgetRef = std::shared_ptr<MemoryBudget>;

// Error 109 naming limit `which` and its value.
int limit_error(exp_engine *e, int which);
// 0 when `value` is within limit `which` (or the limit is off, or there is no engine), else error 109.
int limit_check(exp_engine *e, int which, int64_t value);
// Charges `bytes` to the engine's memory. 0, or error 109 (nothing charged) when the memory limit
// would be passed.
int limit_charge(exp_engine *e, int64_t bytes);
// Gives back bytes charged before.
void limit_release(MemoryBudget &budget, int64_t bytes);

// Counts `block` more instructions of the run in progress against the step limit: the run loop
// charges each interrupt budget it spends, and the outermost run what it used of the last one.
// 0, or error 109 once the count is past the limit.
int limit_count_steps(exp_engine *e, int block);
// Starts the count of an outermost run.
void limit_start_run(exp_engine *e);
