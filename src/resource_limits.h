// Resource limits of an engine (exp_set_limit): the checks that refuse growth past them with
// error 109, and the accounting of the memory its programs and their objects hold.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string_view>

#include "expression.h"

// Bytes held by one engine's programs (their cells), arrays and regexes. Objects keep a share of
// it so they give their bytes back whenever they are freed, even after the engine is gone.
struct MemoryBudget {
  std::atomic<int64_t> used{0};
  std::atomic<int64_t> limit{0};       // the engine's EXP_LIMIT_MEMORY; 0 for none
  std::atomic<bool> refused{false};    // a charge was refused since memory_failure last looked
};
using MemoryBudgetRef = std::shared_ptr<MemoryBudget>;

// Charges `bytes` when they fit within the budget's limit. False, with nothing charged and the
// refusal noted, when they do not.
bool budget_charge(MemoryBudget &budget, int64_t bytes);

// An allocation pair for libraries that take allocation functions with a context pointer
// (PCRE2's general context): `budget` is a MemoryBudget that outlives every block. A block is
// charged while it lives, and an allocation past the limit returns null.
void *budget_malloc(size_t size, void *budget);
void budget_free(void *block, void *budget);

// The error for an allocation that failed inside a built-in: error 109 when the engine's memory
// limit refused it, else error 1.
int memory_failure(exp_engine *e);

// Error 109 naming limit `which` and its value.
int limit_error(exp_engine *e, int which);
// 0 when `value` is within limit `which` (or the limit is off, or there is no engine), else error 109.
int limit_check(exp_engine *e, int which, int64_t value);
// The counting part of limit_check_text (engine.h, inline): error 109 when `text` has more
// characters than the engine's STRING limit, else 0.
int limit_count_text(exp_engine *e, std::string_view text);
// Charges `bytes` to the engine's memory. 0, or error 109 (nothing charged) when the memory limit
// would be passed.
int limit_charge(exp_engine *e, int64_t bytes);
// Gives back bytes charged before.
void limit_release(MemoryBudget &budget, int64_t bytes);
// Sets string cell `c`'s limit to `chars` characters (RESIZE_KEEP in `options` keeps its text).
// Growth checks the string limit and, for a cell charged to the engine, charges the added buffer
// to the memory limit first; shrinking a charged cell gives the difference back, so that what is
// charged always matches the cell's limit. 0; error 109 past either limit; error 1 when the
// allocation fails or `chars` is below 1. On error the cell and the charge are as they were.
int limit_resize_string(exp_engine *e, exp_symval *c, int64_t chars, int options);

// Charges a built-in's scratch memory (work arrays sized from its input) to the engine while the
// guard lives. rc() is 0, or error 109 when the memory limit refused the charge.
class ScratchCharge {
 public:
  ScratchCharge(exp_engine *e, int64_t bytes);
  ~ScratchCharge();
  ScratchCharge(const ScratchCharge &) = delete;
  ScratchCharge &operator=(const ScratchCharge &) = delete;
  int rc() const { return rc_; }

 private:
  exp_engine *e_;
  int rc_;
  int64_t bytes_;
};

// Counts `block` more steps of the run in progress against the step limit: the run loop charges
// each interrupt budget it spends, the outermost run what it used of the last one, and built-ins
// their work (see kWorkPerCheck). 0, or error 109 once the count is past the limit.
int limit_count_steps(exp_engine *e, int64_t block);

// Work of built-ins. A built-in whose work grows with its input charges it in units of about one
// instruction's work each: a comparison, a cell of a table, a character matched, kBytesPerUnit
// bytes copied or scanned. A unit is a step of EXP_LIMIT_STEPS, as an instruction is. The engine
// counts the units down from kWorkPerCheck and settles them when they run out: adds them to the
// run's steps (error 109 past the limit), looks at the cancel flags and asks the interrupt handler
// (error 104), so a long built-in stops within kWorkPerCheck units of a cancel or of the limit.
inline constexpr int64_t kWorkPerCheck = int64_t{1} << 14;
inline constexpr size_t kBytesPerUnit = 16;
// Bytes of text a call handles within its own instruction's step: charging starts past them, so
// calls on the texts records usually hold pay nothing but a comparison, and a cell whose limit
// keeps its text within them (1,024 characters) is not even measured.
inline constexpr size_t kFreeBytes = 4096;
// limit_start_run, which starts the count of an outermost run, is in engine.h: inline, as every
// run calls it.
