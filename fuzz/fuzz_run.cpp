// Fuzz target: compile and run. The first byte picks the result type and flags; the rest is
// the program. Programs that would start processes, sleep or change files are not run. Each
// run is bounded by an interrupt handler that stops it after a fixed number of questions (it is
// asked every 1048 instructions), and by a re-entrant host function that runs the program again
// from inside itself, which the engine must refuse cleanly. A program that runs is run twice, so
// state kept between runs (statics, constants, objects) is exercised too, and is then copied into
// a second engine set up the same way (exp_copy_pcode) and run there.
#include <clocale>
#include <cstdlib>
#include <cstring>

#include "fuzz_host.h"

namespace {

// Runs a program twice and checks that what a successful run hands back is sane.
void run_twice(exp_engine *e, exp_pcode *p, fuzz::HostState *state) {
  for (int pass = 0; pass < 2; ++pass) {
    state->interrupts = 0;
    exp_symval *result = nullptr;
    int rc = exp_execute(e, p, &result);
    if (rc == 0 && !result) std::abort();
    if (rc == 0 && EXP_TYPE(result) == EXP_STRING && !EXP_IS_NULL(result) &&
        std::strlen(result->value.s) > 4 * static_cast<size_t>(result->len))
      std::abort();
    char text[128];
    if (rc == 0) exp_symval_to_text(e, result, text, sizeof text);
  }
}

// Copies the program into a second engine set up the same way and runs the copy there once.
void run_copy(exp_engine *from, exp_engine *to, exp_pcode *p) {
  exp_pcode *copy = nullptr;
  if (exp_copy_pcode(from, to, p, &copy) != 0) return;
  fuzz::HostState state;
  state.program = copy;
  exp_set_callback_data(to, &state);
  exp_symval *result = nullptr;
  exp_execute(to, copy, &result);
  if (exp_free_pcode(to, copy) != 0) std::abort();
  exp_set_callback_data(to, nullptr);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static fuzz::EngineFixture fixture(fuzz::setup_hostile_host);
  static const fuzz::Screen screen(fixture.get());
  static fuzz::EngineFixture copies(fuzz::setup_hostile_host);
  if (size == 0) return 0;
  exp_engine *e = fixture.get();
  fixture.reset();
  fuzz::HostState state;
  state.screen = &screen;
  exp_set_callback_data(e, &state);
  const std::string text = fuzz::as_text(data + 1, size - 1);
  const int type = 1 + data[0] % 7;
  exp_pcode *p = nullptr;
  if (exp_make_pcode(e, text.c_str(), &p, type, 1 + (data[0] >> 3) * 8, (data[0] >> 5) & 7, nullptr) == 0) {
    state.program = p;
    if (screen.allows(p)) {
      run_twice(e, p, &state);
      copies.reset();
      run_copy(e, copies.get(), p);
      copies.check_clean();
    }
    if (exp_free_pcode(e, p) != 0) std::abort();
  }
  exp_set_callback_data(e, nullptr);
  fixture.check_clean();
  std::setlocale(LC_ALL, "C");  // the locale built-in changes the process locale
  return 0;
}
