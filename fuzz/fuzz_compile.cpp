// Fuzz target: the compiler on arbitrary bytes. The first byte picks the result type, the
// compile flags and whether the program is registered as a user-defined function; the rest is
// the program text. Every compiled program is dumped (which walks every operand) and freed; its
// error and warnings are shown with their caret excerpts; the same text then goes through symbol
// collection. The engine must end with nothing alive.
#include <cstdlib>
#include <cstring>

#include "fuzz_support.h"

namespace {

void discard(const char *, void *) {}

// Formats what the compile reported (its error, its warnings) with the caret excerpt, whole and
// into a buffer too small for it: the length reported must be the whole text's, and the cut
// text a terminated prefix of it.
void check_reports(exp_engine *e, const std::string &text) {
  char whole[8192], cut[24];
  auto check = [&](int n_whole, int n_cut) {
    if (n_whole != n_cut || n_whole < 0) std::abort();
    if (static_cast<size_t>(n_whole) < sizeof whole && std::strlen(whole) != static_cast<size_t>(n_whole)) std::abort();
    if (std::strncmp(whole, cut, std::strlen(cut)) != 0) std::abort();
  };
  check(exp_format_error(e, text.c_str(), whole, sizeof whole), exp_format_error(e, text.c_str(), cut, sizeof cut));
  for (int i = 0, n = exp_warning_count(e); i < n; ++i) {
    int code = 0, line = 0, column = 0;
    const char *message = nullptr;
    if (exp_warning_get(e, i, &code, &message, &line, &column) != 0 || !message || code <= 1000) std::abort();
    check(exp_format_warning(e, i, text.c_str(), whole, sizeof whole),
          exp_format_warning(e, i, text.c_str(), cut, sizeof cut));
  }
}

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
  check_reports(e, text);
  if (rc != 0) return;
  if (exp_pcode_warning_count(p) != exp_warning_count(e)) std::abort();
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
