// Functions exprun adds to its engines through the public registry (not built-ins of the library).
#pragma once

#include "expression.h"

struct HostFunction {
  const char *name;
  exp_func_cb fn;
  int min_args;
  uint32_t max_args;
  const char *signature;
  char ret_type;
  const char *description;
};

// exprun's own functions, for registering and for --functions.
const HostFunction *host_functions(int *count);
// Registers them in `e`; returns 0 or the library's error.
int register_host_functions(exp_engine *e);
