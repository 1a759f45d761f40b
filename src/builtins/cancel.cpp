// Cancellation checks and the settling of built-in work.
#include "builtins/cancel.h"

#include "builtins/cells.h"
#include "engine.h"
#include "errors.h"
#include "program.h"
#include "values.h"

#include <cstring>

bool builtin_cancelled(const exp_engine *e, const exp_pcode *running) {
  return (running && running->cancel.load() != 0) || (e->host_run && e->host_run->cancel.load() != 0);
}

int builtin_check_interrupt(exp_engine *e, const exp_pcode *running) {
  if (builtin_cancelled(e, running)) return engine_error(e, ERR_INTERRUPT);
  if (e->interrupt && e->interrupt(e) != 0) return engine_error(e, ERR_INTERRUPT);
  return 0;
}

int work_settle(exp_engine *e, const exp_symval *self) {
  const int64_t done = work_unsettled(e);
  e->work_left = kWorkPerCheck;
  if (int rc = limit_count_steps(e, done)) return rc;
  return builtin_check_interrupt(e, builtin_cells::calling_program(self));
}

int charge_text_arguments(exp_engine *e, int argc, exp_symval **argv) {
  size_t bytes = 0;
  for (int i = 0; i < argc; ++i) {
    const exp_symval *c = argv[i];
    if (symval_type(c) != EXP_STRING || symval_is_null(c) || !c->value.s || !may_hold_long_text(c))
      continue;
    bytes += std::strlen(c->value.s);
  }
  return charge_bytes(e, argv[argc], bytes);
}

int charge_long_text(exp_engine *e, const exp_symval *self, size_t bytes) {
  return work_charge(e, self, static_cast<int64_t>(bytes / kBytesPerUnit));
}

int charge_long_cell_text(exp_engine *e, const exp_symval *self, const exp_symval *c) {
  if (symval_type(c) != EXP_STRING || symval_is_null(c) || !c->value.s) return 0;
  return charge_bytes(e, self, std::strlen(c->value.s));
}
