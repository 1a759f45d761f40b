// Built-ins of a capability group check the engine's capabilities again each time they run.
// Compiling refuses a call the engine denies, and exp_execute a program compiled before the
// denial, but a host function may deny a group in the middle of a run; the built-in then
// refuses (error 108) rather than act on a permission the host has taken back.
#pragma once

#include "builtins/table.h"
#include "errors.h"
#include "expression.h"
#include "registry.h"

// The built-in record (global or class-method function) whose callback is `fn`; none for others.
const exp_function *builtin_record_of(exp_func_cb fn);

// The callback `Fn` behind a check of the groups its record names. The record is looked up once,
// by the callback the table holds (this one), so the groups are written only in the record.
template <exp_func_cb Fn>
int rechecked(exp_engine *e, exp_symval *result, int argc, exp_symval **argv) {
  static const exp_function *const record = builtin_record_of(&rechecked<Fn>);
  if (e && record)
    if (int rc = capability_recheck(e, *record)) return rc;
  return Fn(e, result, argc, argv);
}

// Error 108 for a built-in (rechecked callback `Fn`) that met a file of a pseudo file system the
// engine does not allow (EXP_CAP_PSEUDO_FILES); 0 when the engine allows them after all.
template <exp_func_cb Fn>
int refuse_pseudo_file(exp_engine *e) {
  const exp_function *record = builtin_record_of(&rechecked<Fn>);
  return capability_check(e, EXP_CAP_PSEUDO_FILES, record ? record->name : "file", ERR_CAPABILITY_RUN);
}
