// Long built-ins: the work a built-in does is charged to the run (see kWorkPerCheck in
// resource_limits.h), so the step limit bounds the time of a run whatever it calls, and a
// function whose loop can run for seconds (sorting, matching, edit_distance over long texts,
// aparse over a large field, the wait of execute) looks at the run's cancel flag and asks the
// host's interrupt handler as it goes: a cancelled or timed-out run stops within a bounded amount
// of work rather than after the call.
#pragma once

#include <cstddef>
#include <cstdint>

#include "engine.h"
#include "expression.h"
#include "resource_limits.h"

// Error 104 when the calling program (`running`, may be none), or the program the host is running
// when the call comes from inside a user-defined function, was cancelled, or the host's interrupt
// handler asks to stop; else 0.
int builtin_check_interrupt(exp_engine *e, const exp_pcode *running);
// True when the calling program, or the program the host is running, was cancelled. Reads two
// flags and asks nobody, so a waiting built-in may look as often as it likes.
bool builtin_cancelled(const exp_engine *e, const exp_pcode *running);

// Settles the engine's built-in work (see kWorkPerCheck); `self` is the calling program's self
// cell (argv[argc]). 0, or error 109 (step limit) or 104 (cancel, interrupt handler).
int work_settle(exp_engine *e, const exp_symval *self);

// Charges `units` of work to the run. 0, or the error that stops it (see work_settle). Without an
// engine (built-ins called directly, as benchmarks do) nothing is counted.
inline int work_charge(exp_engine *e, const exp_symval *self, int64_t units) {
  if (!e || (e->work_left -= units) > 0) return 0;
  return work_settle(e, self);
}

// charge_bytes past its free allowance, kept out of the callers' way.
[[gnu::noinline]] int charge_long_text(exp_engine *e, const exp_symval *self, size_t bytes);

// Charges the work of handling `bytes` bytes of text (scanned, copied, converted): a unit per
// kBytesPerUnit bytes, when they are more than kFreeBytes.
inline int charge_bytes(exp_engine *e, const exp_symval *self, size_t bytes) {
  if (__builtin_expect(bytes <= kFreeBytes, 1)) return 0;
  return charge_long_text(e, self, bytes);
}

// True when cell `c` may hold more than kFreeBytes of text (a string cell of a larger limit; any
// other cell is told apart by the caller).
inline bool may_hold_long_text(const exp_symval *c) { return size_t{c->len} * 4 > kFreeBytes; }

// charge_cell_text for a cell that may hold a long text: measures it.
[[gnu::noinline]] int charge_long_cell_text(exp_engine *e, const exp_symval *self, const exp_symval *c);

// Charges the text of string cell `c` (see charge_bytes), measured only when the cell's limit
// lets it hold more than kFreeBytes. 0, or the error that stops the run.
inline int charge_cell_text(exp_engine *e, const exp_symval *self, const exp_symval *c) {
  if (__builtin_expect(!may_hold_long_text(c), 1)) return 0;
  return charge_long_cell_text(e, self, c);
}

// Charges the text of each string argument of a call (see charge_bytes) to the run. A cell whose
// limit keeps its text within kFreeBytes is not measured. 0, or the error that stops the run.
int charge_text_arguments(exp_engine *e, int argc, exp_symval **argv);

// The built-in `Fn`, whose work is a walk over its text arguments (classifying, converting,
// copying, searching them). When a cell among arguments `Args` (indexes below the function's
// least argument count) may hold a long text, every text argument is measured and charged before
// the call; other calls pass with a comparison per index.
template <exp_func_cb Fn>
[[gnu::noinline, gnu::cold]] int charge_then_call(exp_engine *e, exp_symval *result, int argc, exp_symval **argv) {
  if (int rc = charge_text_arguments(e, argc, argv)) return rc;
  return Fn(e, result, argc, argv);
}
template <exp_func_cb Fn, int... Args>
int charging_texts(exp_engine *e, exp_symval *result, int argc, exp_symval **argv) {
  if (__builtin_expect((may_hold_long_text(argv[Args]) || ...), 0)) return charge_then_call<Fn>(e, result, argc, argv);
  return Fn(e, result, argc, argv);
}

// The work of one call of a built-in, charged as it goes. Allocates nothing.
class WorkMeter {
 public:
  // `self` is the calling program's self cell (argv[argc]).
  WorkMeter(exp_engine *e, const exp_symval *self) : e_(e), self_(self) {}
  // Adds `units` of work. 0, or the error that stops the run.
  int add(int64_t units) { return work_charge(e_, self_, units); }
  int add_bytes(size_t bytes) { return charge_bytes(e_, self_, bytes); }

 private:
  exp_engine *e_;
  const exp_symval *self_;
};
