// Functions exprun adds to its engines through the public registry (not built-ins of the library).
#pragma once

#include <memory>

#include "expression.h"

class LookupTables;
class PatternCache;

// What exprun's functions keep per engine (one engine per thread): the lookup tables and the
// patterns extract compiled last.
struct HostState {
  HostState();
  ~HostState();
  const LookupTables *tables = nullptr;
  std::unique_ptr<PatternCache> patterns;
};
// The host state of an engine that a Session runs, or none (other engines: the REPL, checks).
HostState *host_state(exp_engine *e);

struct HostFunction {
  const char *name;
  exp_func_cb fn;
  int min_args;
  uint32_t max_args;
  const char *signature;
  char ret_type;
  uint32_t max_len;  // a string result's limit in characters (0: 255)
  const char *description;
};

// exprun's own functions, for registering and for --functions.
const HostFunction *host_functions(int *count);
// Registers them in `e`; returns 0 or the library's error.
int register_host_functions(exp_engine *e);
