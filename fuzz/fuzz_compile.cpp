// Fuzz target: the compiler on arbitrary bytes. The first byte picks the result type, the
// compile flags and whether the program is registered as a user-defined function; the rest is
// the program text. Every compiled program is dumped (which walks every operand) and freed;
// the same text then goes through symbol collection. The engine must end with nothing alive.
#include <cstdlib>

#include "fuzz_support.h"

namespace {

void discard(const char *, void *) {}

// Compiles the text once under the options of the mode byte.
void compile_once(exp_engine *e, const std::string &text, uint8_t mode) {
  const int type = 1 + mode % 7;
  const int flags = (mode >> 3) & 7;
  const char *name = (mode & 0x40) ? "fuzzed_udf" : nullptr;
  exp_pcode *p = nullptr;
  int rc = exp_make_pcode(e, text.c_str(), &p, type, 1 + (mode >> 7) * 40, flags, name);
  const char *message = nullptr;
  int line = 0, column = 0;
  if (exp_error_info(e, &message, &line, &column) != rc || !message) std::abort();
  if (rc != 0) return;
  exp_dump_pcode(e, p, discard, nullptr);
  if (exp_free_pcode(e, p) != 0) std::abort();
}

// Collects the names the text needs and walks them twice (the walk starts over after the end).
void collect_names(exp_engine *e, const std::string &text) {
  exp_determine_symbols(e, text.c_str());
  const char *name = nullptr;
  for (int pass = 0; pass < 2; ++pass)
    while (exp_get_next_req_symbol(e, &name) == 1)
      if (!name) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static fuzz::EngineFixture fixture(fuzz::bind_symbols);
  if (size == 0) return 0;
  exp_engine *e = fixture.get();
  fixture.reset();
  const std::string text = fuzz::as_text(data + 1, size - 1);
  compile_once(e, text, data[0]);
  collect_names(e, text);
  fixture.check_clean();
  return 0;
}
