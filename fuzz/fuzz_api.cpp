// Fuzz target: random sequences of host calls with raw bit patterns. Each input is a program of
// calls on a fresh engine (and a clone that programs are copied into): binding symbols with raw
// type codes, limits and options, the cell setters with raw integers, doubles, 192-bit decimals,
// byte strings and counts, limits and options, compiling, running, copying and freeing programs.
// After every call the interface's invariants must hold: no error number is negative and the
// engine reports the one a call returned; every string cell stays within its buffer, and a cell
// counting bytes within its limit in bytes; a store's EXP_CUT says whether it cut the text it was
// given; a run gives back the memory it grew; a text a program made stays within the STRING limit. At the end every program frees and both engines
// clean with nothing charged.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "engine.h"
#include "expression.h"
#include "fuzz_input.h"

namespace {

using fuzz::Input;

const bool kVerbose = std::getenv("FUZZ_VERBOSE") != nullptr;  // traces compiles and runs

// Aborts with what failed, so a reproducer says which invariant it broke.
void expect(bool holds, const char *what) {
  if (holds) return;
  std::fprintf(stderr, "fuzz_api: %s\n", what);
  std::abort();
}

// Programs the sequences compile, over symbols the sequence may or may not have bound (or bound
// with other types): `made` marks those whose text result is made by the run, never a host
// symbol copied, so that the STRING limit holds for it.
struct Text {
  const char *text;
  bool made;
};
constexpr Text kPrograms[] = {
    {"s & s", true},
    {"upper(s) & sb", true},
    {"sb = s & s\nsb", false},
    {"len(s & s & s & s)", false},
    {"string(20) g\ng = s & sb\ng", true},
    {"i * 2 + len(s)", false},
    {"r / 3 + i", false},
    {"tostring(d) & tostring(r)", true},
    {"regex x\nx.compile(s)\nx.replace(s & s, \"<\\0>\")", true},
    {"string array a\naparse(s, \",\", a)\na.get(2)", true},
    {"string(4) o\nformatib(i, \"4\", o)\nib(o, \"4\")", false},
    {"replace(s, \"a\", s & s)", true},
    {"sort(s & sb) & sort_words(s)", true},
    {"private string(3 bytes) w\nw = s & s\nw", true},
    {"todate(s) + i", false},
    {"mid(s & s, i, 5)", true},
    {"vareval(\"s\") & \"!\"", true},
    {"parse(s, \",\", sb, sb)", false},
    {"decode(\"UTF-16\", s, sb)", false},
    {"encode(\"ISO-8859-1\", s, sb)", false},
    {"twice(s & sb)", true},
    {"lower(sb) & left(s, i) & right(s, i)", true},
};
constexpr const char *kTwice = "parameterstring(1) & parameterstring(1)";  // compiled as twice()

constexpr const char *kNames[] = {"s", "sb", "i", "r", "d", "b", "p", "o", "g", "t"};
constexpr const char *kOptions[][2] = {
    {"DATE_ISO8601", "1"}, {"date_iso8601", "0"}, {"ESCAPED_STRING", "1"}, {"FILE_SPECIAL", "2"},
    {"CHILD_STDOUT", "stderr"}, {"NO_SUCH_OPTION", "1"}, {"ESCAPED_STRING", ""},
};

struct Program {
  exp_pcode *p;
  bool made;
  bool keeps_state;      // compiled with EXP_MAKE_STATIC: its declarations keep what runs put there
  int64_t string_limit;  // the STRING limit it was compiled under
};

class Session {
 public:
  Session() : e_(exp_init_ex(EXP_INIT_NO_USER_SETTINGS)) {
    if (!e_) std::abort();
    clone_ = exp_clone(e_);
    if (!clone_) std::abort();
    // The symbols the programs name, so most of them compile; the sequence may add more, or
    // erase them all and bind them again with other types.
    static constexpr struct {
      const char *name;
      int type, limit, options;
    } kStart[] = {{"s", EXP_STRING, 32, 0}, {"sb", EXP_STRING, 12, EXP_SYM_BYTES}, {"i", EXP_INTEGER, 0, 0},
                  {"r", EXP_REAL, 0, 0},    {"d", EXP_DATE, 0, 0}};
    for (const auto &k : kStart) {
      exp_symval *c = nullptr;
      if (exp_add_symbol(e_, k.name, k.type, k.limit, k.options, &c) != 0 ||
          exp_add_symbol(clone_, k.name, k.type, k.limit, k.options, nullptr) != 0)
        std::abort();
      cells_.push_back(c);
    }
  }
  ~Session() {
    // Callers go before the functions they call: free until nothing more can be freed.
    for (bool freed = true; freed && !programs_.empty();) {
      freed = false;
      for (size_t k = programs_.size(); k-- > 0;)
        if (exp_free_pcode(e_, programs_[k].p) == 0) {
          programs_.erase(programs_.begin() + static_cast<long>(k));
          freed = true;
        }
    }
    if (kVerbose)
      std::fprintf(stderr, "end: %zu programs left, charged %lld and %lld\n", programs_.size(),
                   static_cast<long long>(e_->memory->used.load()), static_cast<long long>(clone_->memory->used.load()));
    expect(programs_.empty(), "a program could not be freed");
    expect(e_->memory->used.load() == 0 && clone_->memory->used.load() == 0, "memory stayed charged");
    if (exp_clean(clone_) != 0 || exp_clean(e_) != 0) std::abort();
  }
  Session(const Session &) = delete;
  Session &operator=(const Session &) = delete;

  void step(Input &in) {
    const unsigned op = in.pick(30);
    if (kVerbose) std::fprintf(stderr, "op %u (charged %lld, %lld)\n", op, static_cast<long long>(e_->memory->used.load()),
                               static_cast<long long>(clone_->memory->used.load()));
    switch (op) {
      case 0: return add_symbol(in);
      case 1: return exp_symval_setnull(cell(in));
      case 2: return exp_symval_setint(cell(in), static_cast<int64_t>(in.word()));
      case 3: return exp_symval_setdbl(cell(in), in.real());
      case 4: {
        exp_symval *c = cell(in);
        exp_decimal192 d;
        for (uint64_t &w : d.w) w = in.word();
        return exp_symval_setfdnum(c, &d);
      }
      case 5: {
        exp_symval *c = cell(in);
        const std::string text = in.bytes(64);
        exp_symval_setstr(c, text.c_str());
        return expect_cut(c, std::strlen(text.c_str()));
      }
      case 6: {
        exp_symval *c = cell(in);
        const std::string text = in.bytes(64);
        return exp_symval_setstrn(c, text.c_str(), static_cast<int8_t>(in.byte()));
      }
      case 7: {
        exp_symval *c = cell(in);
        const std::string bytes = in.bytes(64);
        const int rc = exp_symval_setbytes(c, bytes.data(), bytes.size());
        expect_number(rc);
        if (is_text(c)) expect(((c->flags & EXP_CUT) != 0) == (rc == EXP_E_TEXT_CUT), "setbytes: EXP_CUT and its number differ");
        return;
      }
      case 8: {
        exp_symval *a = cell(in), *b = cell(in);
        exp_symval_copy(a, b);
        if (a != b && is_text(a) && !EXP_IS_NULL(a)) expect_cut(b, std::strlen(a->value.s));
        return;
      }
      case 9: {
        exp_symval *a = cell(in);
        return exp_symval_coerce(e_, a, cell(in));
      }
      case 10: {
        exp_symval *c = cell(in);
        const std::string text = in.bytes(64);
        const size_t before = is_text(c) ? std::strlen(c->value.s) : 0;
        expect_number(exp_symval_str_concat(c, text.c_str()));
        // A cut append sets the flag; a whole one keeps what the text before it was.
        if (is_text(c) && std::strlen(c->value.s) < before + std::strlen(text.c_str()))
          expect(c->flags & EXP_CUT, "a cut append did not set EXP_CUT");
        return;
      }
      case 11: {
        exp_symval *c = cell(in);
        const std::string text = in.bytes(64);
        return expect_number(exp_symval_strn_concat(c, text.c_str(), static_cast<int8_t>(in.byte())));
      }
      case 12: {
        exp_symval *c = cell(in);
        const int n = in.pick(2) ? static_cast<int8_t>(in.byte()) : raw_limit(in);
        return expect_number(exp_symval_str_resize(c, n));
      }
      case 13: return exp_symval_str_normalize(cell(in));
      case 14: {
        exp_symval *c = cell(in);
        return expect_number(exp_symval_setreal_text(c, in.bytes(40).c_str()));
      }
      case 15: {
        exp_symval *c = cell(in);
        return expect_number(exp_symval_settext(e_, c, in.bytes(40).c_str()));
      }
      case 16: {
        exp_symval *c = cell(in);
        char buf[16];
        exp_symval_to_text(e_, c, buf, in.pick(sizeof buf + 1));
        double d;
        exp_symval_getdbl(c, &d);
        return;
      }
      case 17: {
        exp_symval *c = cell(in);
        exp_decimal192 d;
        exp_decimal_make(&d, static_cast<int64_t>(in.word()), in.int32());
        int64_t scaled;
        exp_decimal_scaled(&d, static_cast<int8_t>(in.byte()), &scaled);
        return exp_symval_setfdnum(c, &d);
      }
      case 18: return set_limit(in);
      case 19: {
        const auto &o = kOptions[in.pick(sizeof kOptions / sizeof *kOptions)];
        return expect_number(exp_set_option(e_, o[0], o[1]));
      }
      case 20: return expect_reported(e_, exp_set_capabilities(e_, static_cast<unsigned>(in.word())));
      case 21: case 22: return compile(in);
      case 23: case 24: case 25: case 26: return run(in);
      default: return manage(in);
    }
  }

  int compiled = 0, ran = 0, failed = 0;  // shown with FUZZ_VERBOSE

  // The invariants every call leaves standing.
  void check() const {
    for (exp_symval *c : cells_) {
      if (EXP_TYPE(c) != EXP_STRING) continue;
      const size_t bytes = std::strlen(c->value.s);
      if (bytes > 4 * static_cast<size_t>(c->len)) std::abort();
      if ((c->flags & EXP_BYTES) && bytes > c->len) std::abort();
    }
  }

 private:
  // A raw limit: any 32 bits, but a valid one above a megabyte is brought down, since a buffer of
  // that size only slows the fuzzing (the edges around the largest limit are kept).
  static int raw_limit(Input &in) {
    const int n = in.int32();
    return n > (1 << 20) && n < 536'870'000 ? n % (1 << 20) : n;
  }
  static void expect_number(int rc) {
    if (rc < 0) std::abort();
  }
  static bool is_text(const exp_symval *c) { return c && EXP_TYPE(c) == EXP_STRING && c->value.s; }
  // After a store of `given` bytes of text into `c`: EXP_CUT is set exactly when fewer were kept.
  static void expect_cut(const exp_symval *c, size_t given) {
    if (!is_text(c)) return;
    expect(((c->flags & EXP_CUT) != 0) == (std::strlen(c->value.s) < given), "EXP_CUT does not say whether a store cut");
  }
  static void expect_reported(exp_engine *e, int rc) {
    const char *message = nullptr;
    if (rc < 0 || exp_error_info(e, &message, nullptr, nullptr) != rc) std::abort();
  }

  // A cell the sequence bound, or none (the setters must take none too).
  exp_symval *cell(Input &in) {
    const unsigned k = in.byte();
    return cells_.empty() || k == 255 ? nullptr : cells_[k % cells_.size()];
  }

  // Binds a symbol with a raw type code, limit and options, in both engines.
  void add_symbol(Input &in) {
    std::string name = kNames[in.pick(sizeof kNames / sizeof *kNames)];
    if (in.pick(8) == 0) name = in.bytes(8).c_str();
    const int type = in.pick(4) ? 1 + in.pick(7) : static_cast<int8_t>(in.byte());
    const int limit = in.pick(4) ? in.pick(40) : raw_limit(in);
    const int options = in.byte();
    exp_symval *c = nullptr;
    const int rc = exp_add_symbol(e_, name.c_str(), type, limit, options, &c);
    expect_reported(e_, rc);
    if (rc == 0) {
      if (type < EXP_BOOLEAN || type > EXP_OBJECT) std::abort();  // unknown type codes are refused
      cells_.push_back(c);
      exp_add_symbol(clone_, name.c_str(), type, limit, options, nullptr);
    }
  }

  void set_limit(Input &in) {
    const int which = in.pick(4) ? 1 + in.pick(EXP_LIMIT_COUNT) : static_cast<int8_t>(in.byte());
    static constexpr int64_t kValues[] = {0, 1, 3, 10, 300, 1000, 1 << 16, 1 << 20};
    const int64_t value = in.pick(4) ? kValues[in.pick(8)] : static_cast<int64_t>(in.word());
    const int rc = exp_set_limit(e_, which, value);
    expect_reported(e_, rc);
    exp_set_limit(clone_, which, value);
  }

  void compile(Input &in) {
    const bool twice = in.pick(8) == 0;
    const Text &t = kPrograms[in.pick(sizeof kPrograms / sizeof *kPrograms)];
    const int type = in.pick(4) ? 1 + in.pick(7) : static_cast<int8_t>(in.byte());
    const int len = in.pick(4) ? 1 + in.pick(300) : raw_limit(in);
    const int flags = in.byte() & 7;
    exp_pcode *p = nullptr;
    const int rc = exp_make_pcode(e_, twice ? kTwice : t.text, &p, type, len, flags, twice ? "twice" : nullptr);
    expect_reported(e_, rc);
    if (kVerbose) std::fprintf(stderr, "compile [%s] type %d len %d flags %d: %d\n", twice ? kTwice : t.text, type, len, flags, rc);
    if (rc == 0)
      programs_.push_back({p, !twice && t.made, (flags & EXP_MAKE_STATIC) != 0, exp_get_limit(e_, EXP_LIMIT_STRING)});
    if (rc == 0) ++compiled;
  }

  Program *program(Input &in) {
    if (programs_.empty()) return nullptr;
    return &programs_[in.byte() % programs_.size()];
  }

  // Runs a program and checks what the run leaves: the memory charged as before (unless its
// declarations are static), a made text
  // within the STRING limit it was compiled under (when that limit still holds).
  void run(Input &in) {
    Program *prog = program(in);
    if (!prog) return;
    if (in.pick(8) == 0) exp_cancel_execution(prog->p);
    const int64_t charged = e_->memory->used.load();
    exp_symval *result = nullptr;
    const int rc = exp_execute(e_, prog->p, &result);
    expect_reported(e_, rc);
    if (kVerbose)
      std::fprintf(stderr, "run %d: %d, charged %lld then %lld\n", static_cast<int>(prog - programs_.data()), rc,
                   static_cast<long long>(charged), static_cast<long long>(e_->memory->used.load()));
    expect(prog->keeps_state || e_->memory->used.load() == charged, "the run did not give back what it grew");
    ++(rc == 0 ? ran : failed);
    int line = 0, column = 0;
    exp_run_position(prog->p, &line, &column);
    if (rc != 0 || EXP_TYPE(result) != EXP_STRING) return;
    const size_t bytes = std::strlen(result->value.s);
    if (bytes > 4 * static_cast<size_t>(result->len) || ((result->flags & EXP_BYTES) && bytes > result->len))
      std::abort();
    const int64_t limit = exp_get_limit(e_, EXP_LIMIT_STRING);
    if (prog->made && limit >= 256 && limit == prog->string_limit) {
      size_t chars = 0;
      for (const char *p = result->value.s; *p; ++p) chars += (static_cast<unsigned char>(*p) & 0xC0) != 0x80;
      if (chars > static_cast<size_t>(limit)) std::abort();
    }
  }

  // Copies, dumps, frees; resets and erases symbols.
  void manage(Input &in) {
    switch (in.pick(6)) {
      case 0: {
        Program *prog = program(in);
        if (!prog) return;
        exp_pcode *copy = nullptr;
        const int rc = exp_copy_pcode(e_, clone_, prog->p, &copy);
        expect_reported(clone_, rc);
        if (rc != 0) return;
        exp_symval *result = nullptr;
        const int64_t charged = clone_->memory->used.load();
        const int run = exp_execute(clone_, copy, &result);
        expect_reported(clone_, run);
        if (kVerbose)
          std::fprintf(stderr, "copy of %d ran: %d, charged %lld then %lld\n", static_cast<int>(prog - programs_.data()),
                       run, static_cast<long long>(charged), static_cast<long long>(clone_->memory->used.load()));
        expect(exp_free_pcode(clone_, copy) == 0, "a copy could not be freed");
        return;
      }
      case 1: {
        Program *prog = program(in);
        if (prog) exp_dump_pcode(e_, prog->p, [](const char *, void *) {}, nullptr);
        return;
      }
      case 2: {
        Program *prog = program(in);
        if (!prog) return;
        const int rc = exp_free_pcode(e_, prog->p);
        expect_reported(e_, rc);
        if (rc == 0) programs_.erase(programs_.begin() + (prog - programs_.data()));
        return;
      }
      case 3: return exp_reset_symbols(e_);
      case 4: {
        const int rc = exp_erase_symbols(e_);
        expect_reported(e_, rc);
        if (rc == 0) {
          cells_.clear();  // their cells are gone
          exp_erase_symbols(clone_);
        }
        return;
      }
      default: {
        const int index = static_cast<int8_t>(in.byte());
        exp_symval *c = nullptr;
        const char *name = nullptr;
        expect_reported(e_, exp_symbol_get(e_, index, &c));
        expect_reported(e_, exp_symbol_name_get(e_, index, &name));
        if (name && exp_symbol_get_by_name(e_, name) == nullptr) std::abort();
        return;
      }
    }
  }

  exp_engine *e_;
  exp_engine *clone_;
  std::vector<exp_symval *> cells_;
  std::vector<Program> programs_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  Input in(data, size);
  Session session;
  int calls = 0;
  for (; calls < 200 && !in.done(); ++calls) {
    session.step(in);
    session.check();
  }
  if (kVerbose)
    std::fprintf(stderr, "%d calls: %d compiled, %d ran, %d failed\n", calls, session.compiled, session.ran,
                 session.failed);
  return 0;
}
