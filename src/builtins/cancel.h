// Cancellation inside long built-ins: a function whose loop can run for seconds (aparse over a
// large field, edit_distance over long texts, the wait of execute) looks at the run's cancel flag
// and asks the host's interrupt handler as it goes, so a cancelled or timed-out run stops within
// a bounded amount of work rather than after the call.
#pragma once

#include <cstdint>

#include "expression.h"

// Error 104 when the calling program (`running`, may be none), or the program the host is running
// when the call comes from inside a user-defined function, was cancelled, or the host's interrupt
// handler asks to stop; else 0.
int builtin_check_interrupt(exp_engine *e, const exp_pcode *running);
// True when the calling program, or the program the host is running, was cancelled. Reads two
// flags and asks nobody, so a waiting built-in may look as often as it likes.
bool builtin_cancelled(const exp_engine *e, const exp_pcode *running);

// Counts a built-in's work and checks for cancellation each time another kWorkPerCheck units
// have been done. Allocates nothing.
class WorkMeter {
 public:
  static constexpr int64_t kWorkPerCheck = int64_t{1} << 20;
  // `self` is the calling program's self cell (argv[argc]).
  WorkMeter(exp_engine *e, const exp_symval *self);
  // Adds `units` of work. 0, or error 104 when the run must stop.
  int add(int64_t units) {
    left_ -= units;
    return left_ > 0 ? 0 : check();
  }

 private:
  int check();
  exp_engine *e_;
  const exp_pcode *running_;
  int64_t left_ = kWorkPerCheck;
};
