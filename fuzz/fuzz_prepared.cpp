// Fuzz target: the prepared form against the canonical instructions. Every program is compiled in
// two engines set up the same way; one runs it prepared, the other one instruction at a time
// (its prepared form, and those of the user-defined functions it calls, dropped). Everything a
// host can observe must be equal: the return code and message, the result, the number of
// questions to the interrupt handler, where a failed run stopped, the dump with every cell's value,
// and the values of the bound symbols. The interrupt handler stops each run at a question chosen by
// the input, so runs are cut off at every point of a loop; some inputs run with no handler. The first byte is read as by fuzz_run.
#include <cctype>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <unordered_set>

#include "fuzz_host.h"
#include "prepared.h"

namespace {

// Without an interrupt handler, the step limit bounds each run instead.
constexpr int64_t kUnwatchedSteps = 40000;

// The host state of one run, with the question to the handler that answers "stop".
struct DiffState : fuzz::HostState {
  int stop_at = 0;
};

int stop_at_chosen(exp_engine *e) {
  auto *state = static_cast<DiffState *>(static_cast<fuzz::HostState *>(exp_get_callback_data(e)));
  return ++state->interrupts >= state->stop_at ? 1 : 0;
}

// Binds the hostile host, with the interrupt handler above; the pointer symbol gets the same value
// in both engines.
void setup(exp_engine *e) {
  fuzz::setup_hostile_host(e);
  exp_set_interrupt_hndlr(e, stop_at_chosen);
}

void reset(fuzz::EngineFixture &fixture) {
  fixture.reset();
  exp_symval_setptr(exp_symbol_get_by_name(fixture.get(), "p"), nullptr);
}

// Functions whose results differ between two runs (the clock, unique identifiers): programs that
// call them are not compared.
class Varying {
 public:
  explicit Varying(exp_engine *e) {
    for (const char *name : {"today", "todaygmt", "todayutc", "uniqueid"})
      if (const exp_function *f = func_find(e, name)) fns_.insert(reinterpret_cast<void *>(f->fn));
  }
  bool calls(const exp_pcode *p, int depth = 0) const {
    if (depth > 64) return true;
    for (int k = 0; k < p->count; ++k) {
      const exp_instr &ins = p->code[k];
      if (ins.kind == EXP_CALL && fns_.count(reinterpret_cast<void *>(ins.b.fn))) return true;
      if (ins.kind == EXP_UDF_CALL && ins.b.program && calls(ins.b.program, depth + 1)) return true;
    }
    return false;
  }

 private:
  std::unordered_set<void *> fns_;
};

// Drops the prepared forms of `p` and of the user-defined functions it calls.
void drop_prepared(exp_pcode *p, int depth = 0) {
  if (depth > 64) return;
  p->prepared.reset();
  for (int k = 0; k < p->count; ++k)
    if (p->code[k].kind == EXP_UDF_CALL && p->code[k].b.program) drop_prepared(p->code[k].b.program, depth + 1);
}

// Text with every hexadecimal address replaced by "@": cell and object addresses differ between
// the two engines.
std::string without_addresses(const std::string &text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text.compare(i, 2, "0x") == 0) {
      out += '@';
      i += 2;
      while (i < text.size() && std::isxdigit(static_cast<unsigned char>(text[i]))) ++i;
      --i;
      continue;
    }
    out += text[i];
  }
  return out;
}

std::string as_text(exp_engine *e, const exp_symval *c) {
  if (EXP_IS_NULL(c)) return "null";
  char buf[256];
  if (exp_symval_to_text(e, const_cast<exp_symval *>(c), buf, sizeof buf) < 0) return "?";
  return std::to_string(EXP_TYPE(c)) + ":" + buf;
}

void collect(const char *text, void *user) { *static_cast<std::string *>(user) += std::string(text) + "\n"; }

// Everything the host sees of two runs of a program, as one text.
std::string observe(exp_engine *e, exp_pcode *p, const fuzz::Screen &screen, int stop_at) {
  std::string seen;
  for (int pass = 0; pass < 2; ++pass) {
    DiffState state;
    state.program = p;
    state.screen = &screen;
    state.stop_at = stop_at;
    exp_set_callback_data(e, static_cast<fuzz::HostState *>(&state));
    exp_set_interrupt_hndlr(e, stop_at > 0 ? stop_at_chosen : nullptr);
    exp_set_limit(e, EXP_LIMIT_STEPS, stop_at > 0 ? 0 : kUnwatchedSteps);
    exp_symval *result = nullptr;
    int rc = exp_execute(e, p, &result);
    const char *message = nullptr;
    exp_error_info(e, &message, nullptr, nullptr);
    int line = 0, column = 0;
    exp_run_position(p, &line, &column);
    seen += "rc " + std::to_string(rc) + " '" + (message ? message : "") + "' result " +
            (rc == 0 && result ? as_text(e, result) : "none") + " questions " + std::to_string(state.interrupts) +
            " at " + std::to_string(line) + ":" + std::to_string(column) + "\n";
    exp_set_callback_data(e, nullptr);
  }
  for (const char *name : {"b", "i", "r", "s", "d", "o", "ro", "sb"})
    seen += std::string(name) + " = " + as_text(e, exp_symbol_get_by_name(e, name)) + "\n";
  exp_dump_pcode(e, p, collect, &seen);
  return without_addresses(seen);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static fuzz::EngineFixture fast_engine(setup), slow_engine(setup);
  static const fuzz::Screen screen(fast_engine.get());
  static const Varying varying(fast_engine.get());
  if (size == 0) return 0;
  reset(fast_engine);
  reset(slow_engine);
  const std::string text = fuzz::as_text(data + 1, size - 1);
  const int type = 1 + data[0] % 7, len = 1 + (data[0] >> 3) * 8, flags = (data[0] >> 5) & 7;
  // The question that answers "stop", or 0 for a run with no interrupt handler but a step limit
  // (the checks then only count, and loops may run through them in one go).
  const int stop_at = static_cast<int>((data[0] * 7u + size) % 7);
  exp_pcode *fast = nullptr, *slow = nullptr;
  int rc_fast = exp_make_pcode(fast_engine.get(), text.c_str(), &fast, type, len, flags, nullptr);
  int rc_slow = exp_make_pcode(slow_engine.get(), text.c_str(), &slow, type, len, flags, nullptr);
  if (rc_fast != rc_slow) std::abort();
  if (rc_fast == 0 && screen.allows(fast) && !varying.calls(fast)) {
    drop_prepared(slow);
    std::string seen_fast = observe(fast_engine.get(), fast, screen, stop_at);
    std::string seen_slow = observe(slow_engine.get(), slow, screen, stop_at);
    if (seen_fast != seen_slow) {
      std::fprintf(stderr, "prepared:\n%s\none instruction at a time:\n%s\n", seen_fast.c_str(), seen_slow.c_str());
      std::abort();
    }
  }
  if (fast && exp_free_pcode(fast_engine.get(), fast) != 0) std::abort();
  if (slow && exp_free_pcode(slow_engine.get(), slow) != 0) std::abort();
  fast_engine.check_clean();
  slow_engine.check_clean();
  std::setlocale(LC_ALL, "C");  // the locale built-in changes the process locale
  return 0;
}
