// A hostile host for the compile-and-run fuzz target and its regression tests: host functions
// that re-enter the engine from their callbacks (run the calling program again, free it, compile
// and run other programs), and an interrupt handler that bounds every run.
#pragma once

#include <cstdlib>

#include "fuzz_support.h"

namespace fuzz {

inline constexpr int kInterruptCalls = 6;  // about 6000 instructions per run

// What the host functions below work on, reached through the engine's callback data.
struct HostState {
  int interrupts = 0;
  exp_pcode *program = nullptr;
  const Screen *screen = nullptr;  // programs host_compile may run (all when none)
};

// The interrupt handler: stops a run once it has been asked kInterruptCalls times.
inline int stop_after_budget(exp_engine *e) {
  auto *state = static_cast<HostState *>(exp_get_callback_data(e));
  return ++state->interrupts > kInterruptCalls ? 1 : 0;
}

// host_echo(x): hands its argument back as text.
inline int host_echo(exp_engine *e, exp_symval *result, int argc, exp_symval **argv) {
  char buf[64];
  if (argc < 1 || exp_symval_to_text(e, argv[0], buf, sizeof buf) < 0) {
    exp_symval_setnull(result);
    return 0;
  }
  exp_symval_setstr(result, buf);
  return 0;
}

// host_reenter(): runs the program being run again, from inside its own run.
inline int host_reenter(exp_engine *e, exp_symval *result, int, exp_symval **) {
  auto *state = static_cast<HostState *>(exp_get_callback_data(e));
  exp_symval *inner = nullptr;
  int rc = state->program ? exp_execute(e, state->program, &inner) : 0;
  exp_symval_setint(result, rc);
  return 0;
}

// host_free(): tries to free the program being run, which the engine must refuse.
inline int host_free(exp_engine *e, exp_symval *result, int, exp_symval **) {
  auto *state = static_cast<HostState *>(exp_get_callback_data(e));
  exp_symval_setint(result, state->program ? exp_free_pcode(e, state->program) : 0);
  return 0;
}

// host_compile(text): compiles and runs another program from inside the run (so programs can nest
// runs to any depth the text allows), frees it, and gives its error number.
inline int host_compile(exp_engine *e, exp_symval *result, int argc, exp_symval **argv) {
  if (argc < 1 || EXP_IS_NULL(argv[0]) || EXP_TYPE(argv[0]) != EXP_STRING) {
    exp_symval_setnull(result);
    return 0;
  }
  exp_pcode *p = nullptr;
  int rc = exp_make_pcode(e, argv[0]->value.s, &p, EXP_STRING, 50, 0, nullptr);
  if (rc == 0) {
    auto *state = static_cast<HostState *>(exp_get_callback_data(e));
    if (!state->screen || state->screen->allows(p)) {
      exp_symval *inner = nullptr;
      rc = exp_execute(e, p, &inner);
    }
    if (exp_free_pcode(e, p) != 0) std::abort();
  }
  exp_symval_setint(result, rc);
  return 0;
}

// Binds the symbols and the host functions, and installs the bounding interrupt handler.
inline void setup_hostile_host(exp_engine *e) {
  bind_symbols(e);
  exp_register_function(e, "host_echo", host_echo, 1, 1, "a", 's', 40, "echo", 0, nullptr);
  exp_register_function(e, "host_reenter", host_reenter, 0, 0, "", 'i', 0, "re-enter", 0, nullptr);
  exp_register_function(e, "host_free", host_free, 0, 0, "", 'i', 0, "free the caller", 0, nullptr);
  exp_register_function(e, "host_compile", host_compile, 1, 1, "s", 'i', 0, "compile and run", 0, nullptr);
  exp_set_interrupt_hndlr(e, stop_after_budget);
}

}  // namespace fuzz
