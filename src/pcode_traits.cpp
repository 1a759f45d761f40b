// Program traits: decided while compiling, read by hosts through exp_pcode_traits.
#include "pcode_traits.h"

#include <cstring>

namespace {

// Built-ins whose effects reach from one run into the next outside static variables: counters,
// globals by name, files opened and written in the order of the runs.
constexpr const char *kStatefulBuiltins[] = {"uniqueid",  "varset",         "vareval",
                                             "file_open", "file_writeline", "file_writebytes"};

}  // namespace

unsigned call_traits(const exp_function &f) {
  // A host's function answers for what it does, also where it replaced a built-in.
  if (f.host) return EXP_TRAIT_CALLS_HOST;
  for (const char *name : kStatefulBuiltins)
    if (std::strcmp(f.name, name) == 0) return EXP_TRAIT_KEEPS_STATE | EXP_TRAIT_ORDER_BOUND;
  return 0;
}

unsigned symbol_traits(const exp_symval &cell) {
  return (cell.flags & (EXP_STATIC | EXP_HOSTSYM)) == EXP_STATIC ? EXP_TRAIT_KEEPS_STATE : 0;
}

extern "C" EXP_API unsigned exp_pcode_traits(const exp_pcode *p) { return pcode_is_live(p) ? p->traits : 0; }
