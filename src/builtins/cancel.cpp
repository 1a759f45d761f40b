// Cancellation checks for long built-ins.
#include "builtins/cancel.h"

#include "builtins/cells.h"
#include "engine.h"
#include "errors.h"
#include "program.h"

bool builtin_cancelled(const exp_engine *e, const exp_pcode *running) {
  return (running && running->cancel.load() != 0) || (e->host_run && e->host_run->cancel.load() != 0);
}

int builtin_check_interrupt(exp_engine *e, const exp_pcode *running) {
  if (builtin_cancelled(e, running)) return engine_error(e, ERR_INTERRUPT);
  if (e->interrupt && e->interrupt(e) != 0) return engine_error(e, ERR_INTERRUPT);
  return 0;
}

WorkMeter::WorkMeter(exp_engine *e, const exp_symval *self)
    : e_(e), running_(builtin_cells::calling_program(self)) {}

int WorkMeter::check() {
  left_ = kWorkPerCheck;
  return e_ ? builtin_check_interrupt(e_, running_) : 0;
}
