// Fuzz target: well-typed programs over hostile host values. The input first picks limits, the
// result's type and the host's values (raw 64-bit integers and booleans, raw 192-bit decimals,
// arbitrary bytes as text or written straight into the buffer, nulls), then a program built from
// a typed grammar of the built-ins, so that nearly every input compiles and the run reaches the
// built-ins with those values. Each program runs twice in one engine and once as a copy in a
// second engine set up alike; the three outcomes (error number and message, or result) must be
// equal, and after every run the invariants of the interface must hold: a failure returns its
// positive number, which exp_error_info reports; the memory charged is what it was before the
// run; the result and the byte-limited host symbol stay within their limits, and a text result
// within the STRING limit.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "engine.h"
#include "expression.h"
#include "fuzz_input.h"

namespace {

using fuzz::Input;

// Deterministic built-ins only (no clock, no process, no files): the two runs and the copy must
// agree. Each entry: name, result type, argument types ('x' any of the five types).
struct Builtin {
  const char *name;
  char type;
  const char *args;
};
constexpr Builtin kBuiltins[] = {
    {"upper", 's', "s"},        {"lower", 's', "s"},          {"trim", 's', "s"},
    {"left", 's', "si"},        {"right", 's', "si"},         {"mid", 's', "sii"},
    {"replace", 's', "sss"},    {"replace", 's', "sssi"},     {"chr", 's', "i"},
    {"pattern", 's', "s"},      {"sort", 's', "s"},           {"sort_words", 's', "sbb"},
    {"tostring", 's', "x"},     {"formatdate", 's', "ds"},    {"typeof", 's', "x"},
    {"determine_type", 's', "s"}, {"len", 'i', "s"},          {"asc", 'i', "s"},
    {"instr", 'i', "ssi"},      {"compare", 'i', "ssb"},      {"edit_distance", 'i', "ss"},
    {"tointeger", 'i', "x"},    {"abs", 'r', "r"},            {"ceil", 'r', "r"},
    {"floor", 'r', "r"},        {"round", 'r', "ri"},         {"toreal", 'r', "x"},
    {"max", 'r', "rr"},         {"min", 'r', "rrr"},          {"normsinv", 'r', "r"},
    {"ib", 'r', "s"},           {"pd", 'r', "ss"},            {"picsigndec", 'r', "ss"},
    {"piccomp3", 'r', "ss"},    {"todate", 'd', "x"},         {"isnull", 'b', "x"},
    {"isblank", 'b', "x"},      {"isnumber", 'b', "x"},       {"isalpha", 'b', "x"},
    {"match_string", 'b', "ss"}, {"has_control_chars", 'b', "s"}, {"toboolean", 'b', "x"},
    {"inlist", 'b', "iii"},
};

constexpr const char kTypes[] = "birsd";
constexpr int kResultTypes[] = {EXP_BOOLEAN, EXP_INTEGER, EXP_REAL, EXP_STRING, EXP_DATE};

// Builds program text from the input. Every choice lists its leaves first: once the input runs
// out, reads give 0 and the expression ends.
class Generator {
 public:
  explicit Generator(Input &in) : in_(in) {}

  std::string program(char result) {
    std::string text;
    const uint8_t decl = in_.byte();
    text += (decl & 1) ? "private " : "";
    text += "string(" + std::to_string(1 + decl % 60) + ((decl & 64) ? " bytes" : "") + ") v\n";
    text += "private integer k\nprivate real x\nprivate regex rx\nprivate string array a\n";
    text += "rx.compile(" + choice(kPatterns) + ")\naparse(t, " + choice(kDelimiters) + ", a)\n";
    for (unsigned n = in_.pick(6); n > 0; --n) text += statement() + "\n";
    // The result is always made by the run (never a host symbol copied), so a text result is
    // one the STRING limit holds.
    return text + (in_.pick(4) == 0 ? op(result, 4) : call(result, 4));
  }

 private:
  std::string statement() {
    switch (in_.pick(8)) {
      case 0: return "v = " + expr('s', 3);
      case 1: return "k = " + expr('i', 3);
      case 2: return "x = " + expr('r', 3);
      case 3: return "if " + expr('b', 2) + " then v = " + expr('s', 2) + " else k = " + expr('i', 2);
      case 4: return "for k = 1 to " + std::to_string(in_.pick(5)) + " v = v & " + expr('s', 2);
      case 5: return "k = aparse(" + expr('s', 2) + ", " + choice(kDelimiters) + ", a)";
      case 6: return "k = formatib(" + expr('r', 2) + ", " + choice(kLayouts) + ", v)";
      default: return "sb = " + expr('s', 3);
    }
  }

  std::string expr(char type, int depth) {
    if (type == 'x') type = kTypes[in_.pick(5)];
    if (depth <= 0 || in_.pick(3) == 0) return leaf(type);
    switch (in_.pick(4)) {
      case 0: return op(type, depth);
      default: return call(type, depth);
    }
  }

  std::string leaf(char type) {
    switch (type) {
      case 'b': return in_.pick(3) == 0 ? "true" : "b";
      case 'i': return in_.pick(3) == 0 ? integer() : (in_.pick(2) ? "i" : "k");
      case 'r': return in_.pick(3) == 0 ? real() : (in_.pick(2) ? "r" : "x");
      case 'd': return "d";
      default: {
        static constexpr const char *kNames[] = {"s", "v", "sb", "t"};
        return in_.pick(4) == 0 ? literal() : kNames[in_.pick(4)];
      }
    }
  }

  std::string op(char type, int depth) {
    switch (type) {
      case 's':
        if (in_.pick(4) == 0) return "rx.replace(" + expr('s', depth - 1) + ", " + choice(kTemplates) + ")";
        if (in_.pick(4) == 0) return "a.get(" + expr('i', depth - 1) + ")";
        return "(" + expr('x', depth - 1) + " & " + expr('x', depth - 1) + ")";
      case 'i': {
        static constexpr const char *kOps[] = {" + ", " - ", " * ", " / ", " % "};
        return "(" + expr('i', depth - 1) + kOps[in_.pick(5)] + expr('i', depth - 1) + ")";
      }
      case 'r': {
        static constexpr const char *kOps[] = {" + ", " - ", " * ", " / "};
        return "(" + expr('r', depth - 1) + kOps[in_.pick(4)] + expr('r', depth - 1) + ")";
      }
      case 'd': return "(" + expr('d', depth - 1) + " + " + expr('i', depth - 1) + ")";
      default: {
        static constexpr const char *kOps[] = {" == ", " <> ", " < ", " >= ", " and ", " or "};
        const unsigned k = in_.pick(6);
        const char side = k >= 4 ? 'b' : kTypes[1 + in_.pick(4)];  // compare like with like
        return "(" + expr(side, depth - 1) + kOps[k] + expr(side, depth - 1) + ")";
      }
    }
  }

  std::string call(char type, int depth) {
    const Builtin *match[sizeof kBuiltins / sizeof *kBuiltins];
    size_t count = 0;
    for (const Builtin &b : kBuiltins)
      if (b.type == type) match[count++] = &b;
    if (count == 0) return op(type, depth);
    const Builtin &b = *match[in_.pick(static_cast<unsigned>(count))];
    std::string text = std::string(b.name) + "(";
    for (const char *a = b.args; *a; ++a) text += (a == b.args ? "" : ", ") + expr(*a, depth - 1);
    return text + ")";
  }

  // One of a few texts that mean something where they are used, or now and then any literal.
  template <size_t N>
  std::string choice(const char *const (&texts)[N]) {
    return in_.pick(4) == 0 ? literal() : std::string("\"") + texts[in_.pick(N)] + "\"";
  }
  static constexpr const char *kPatterns[] = {"[a-z]+", "(a|b)*c", "\\d+", ".", "(?i)\\w{2,}", "^"};
  static constexpr const char *kTemplates[] = {"<\\0>", "\\U\\0", "", "x\\1y"};
  static constexpr const char *kDelimiters[] = {",", " ", ";,", ""};
  static constexpr const char *kLayouts[] = {"4", "8", "2.1", "8.3", "1"};

  // A string literal of input bytes: no quote (it would end the literal) and no zero byte.
  std::string literal() {
    std::string text = "\"";
    for (char c : in_.bytes(12))
      if (c != '"' && c != '\0') text += c;
    return text + "\"";
  }
  std::string integer() {
    static constexpr const char *kEdges[] = {"0", "-1", "9223372036854775807", "4611686018427387904", "31"};
    return in_.pick(2) ? std::to_string(static_cast<int8_t>(in_.byte())) : kEdges[in_.pick(5)];
  }
  std::string real() {
    static constexpr const char *kReals[] = {"0.5", "-2.25", "1E+300", "1E-300", "123456789012345678901234567890.5"};
    return kReals[in_.pick(5)];
  }

  Input &in_;
};

// The host's symbols, bound alike in both engines.
struct Host {
  exp_engine *e = nullptr;
  exp_symval *s, *t, *sb, *i, *r, *d, *b;

  void bind() {
    exp_add_symbol(e, "s", EXP_STRING, 64, 0, &s);
    exp_add_symbol(e, "t", EXP_STRING, 2000, 0, &t);
    exp_add_symbol(e, "sb", EXP_STRING, 12, EXP_SYM_BYTES, &sb);
    exp_add_symbol(e, "i", EXP_INTEGER, 0, 0, &i);
    exp_add_symbol(e, "r", EXP_REAL, 0, 0, &r);
    exp_add_symbol(e, "d", EXP_DATE, 0, 0, &d);
    exp_add_symbol(e, "b", EXP_BOOLEAN, 0, 0, &b);
    if (!s || !t || !sb || !i || !r || !d || !b) std::abort();
  }
};

// Hostile values, decoded once per input and written into either engine's symbols.
struct Values {
  std::string text[3];
  uint8_t text_mode[3] = {};
  uint64_t ints[2] = {};
  uint8_t dec_mode[2] = {};
  exp_decimal192 dec[2] = {};
  double dbl[2] = {};
  uint8_t nulls = 0;

  explicit Values(Input &in) {
    for (int k = 0; k < 3; ++k) {
      text_mode[k] = in.byte();
      text[k] = in.bytes(k == 1 ? 200 : 40);
    }
    for (uint64_t &w : ints) w = in.word();
    for (int k = 0; k < 2; ++k) {
      dec_mode[k] = in.byte();
      for (uint64_t &w : dec[k].w) w = in.word();
      dbl[k] = in.real();
    }
    nulls = in.byte();
  }

  static void set_text(exp_symval *c, const std::string &text, uint8_t mode) {
    switch (mode % 3) {
      case 0: exp_symval_setstr(c, text.c_str()); break;  // up to the first zero byte
      case 1: exp_symval_setbytes(c, text.data(), text.size()); break;
      default: {
        // A host writing a raw field straight into the buffer, within its limit.
        const size_t room = (c->flags & EXP_BYTES) ? c->len : static_cast<size_t>(c->len) * 4;
        std::memset(c->value.s, 0, static_cast<size_t>(c->len) * 4 + 1);
        std::memcpy(c->value.s, text.data(), text.size() < room ? text.size() : room);
        c->flags &= ~uint32_t{EXP_NULL};
      }
    }
  }
  static void set_decimal(exp_symval *c, const exp_decimal192 &raw, double d, uint8_t mode) {
    if (mode % 2) exp_symval_setfdnum(c, &raw);  // any 192 bits: NaN, infinity, non-canonical
    else exp_symval_setdbl(c, d);
  }

  void write(const Host &h) const {
    exp_symval *texts[] = {h.s, h.t, h.sb};
    for (int k = 0; k < 3; ++k) set_text(texts[k], text[k], text_mode[k]);
    exp_symval_setint(h.i, static_cast<int64_t>(ints[0]));
    exp_symval_setint(h.b, static_cast<int64_t>(ints[1]));
    set_decimal(h.r, dec[0], dbl[0], dec_mode[0]);
    set_decimal(h.d, dec[1], dbl[1], dec_mode[1]);
    exp_symval *all[] = {h.s, h.t, h.sb, h.i, h.r, h.d, h.b};
    for (int k = 0; k < 7; ++k)
      if (nulls & (1 << k)) exp_symval_setnull(all[k]);
  }
};

// The limits an input runs under, set alike in both engines. Steps always bound the run; the
// STRING choices stay above the short fixed texts that are not measured (at most 255).
void set_limits(exp_engine *e, uint8_t config) {
  static constexpr int64_t kString[] = {0, 300, 1000, 0};
  static constexpr int64_t kMemory[] = {0, 1 << 16, 1 << 20, 0};
  exp_set_limit(e, EXP_LIMIT_STEPS, 200'000);
  exp_set_limit(e, EXP_LIMIT_STRING, kString[config & 3]);
  exp_set_limit(e, EXP_LIMIT_MEMORY, kMemory[(config >> 2) & 3]);
}

// Aborts with what failed, so a reproducer says which invariant it broke.
void expect(bool holds, const char *what) {
  if (holds) return;
  std::fprintf(stderr, "fuzz_typed: %s\n", what);
  std::abort();
}

size_t utf8_chars(const char *s) {
  size_t n = 0;
  for (; *s; ++s) n += (static_cast<unsigned char>(*s) & 0xC0) != 0x80;
  return n;
}

// Runs p once and checks the invariants; returns the outcome to compare.
std::string run_once(const Host &h, exp_pcode *p, const Values &values, bool bytes_result) {
  exp_engine *e = h.e;
  values.write(h);
  const int64_t charged = e->memory->used.load();
  exp_symval *result = nullptr;
  const int rc = exp_execute(e, p, &result);
  const char *message = "";
  expect(rc >= 0 && exp_error_info(e, &message, nullptr, nullptr) == rc, "the run's number is not what it reports");
  expect(e->memory->used.load() == charged, "the run did not give back what it grew");
  expect(std::strlen(h.sb->value.s) <= h.sb->len, "the byte cell passed its limit");
  if (rc != 0) return "error " + std::to_string(rc) + ": " + message;
  if (EXP_IS_NULL(result)) return "null";
  if (EXP_TYPE(result) == EXP_STRING) {
    const size_t bytes = std::strlen(result->value.s);
    expect(bytes <= 4 * static_cast<size_t>(result->len) && (!bytes_result || bytes <= result->len),
           "the result passed its limit");
    const int64_t string_limit = exp_get_limit(e, EXP_LIMIT_STRING);
    expect(string_limit == 0 || utf8_chars(result->value.s) <= static_cast<size_t>(string_limit),
           "a text the run made passed the STRING limit");
  }
  std::string text(64, '\0');
  int need = exp_symval_to_text(e, result, text.data(), text.size());
  if (need >= static_cast<int>(text.size())) {
    text.assign(static_cast<size_t>(need) + 1, '\0');
    exp_symval_to_text(e, result, text.data(), text.size());
  }
  return "value " + std::string(text.c_str());
}

struct Engines {
  Host a, b;
  Engines() {
    a.e = exp_init_ex(EXP_INIT_NO_USER_SETTINGS);
    if (!a.e) std::abort();
    a.bind();
    b.e = exp_clone(a.e);
    if (!b.e) std::abort();
    b.bind();
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static Engines engines;
  Input in(data, size);
  const uint8_t config = in.byte();
  const uint8_t shape = in.byte();
  const Values values(in);
  const std::string text = Generator(in).program(kTypes[shape % 5]);
  const int type = kResultTypes[shape % 5];
  const int flags = (shape & 8) ? EXP_MAKE_BYTES : 0;
  const int result_len = 1 + (shape >> 4) * 200;
  for (Host *h : {&engines.a, &engines.b}) set_limits(h->e, config);

  static const bool verbose = std::getenv("FUZZ_VERBOSE") != nullptr;
  if (verbose) std::fprintf(stderr, "type %d, limit %d, flags %d, config %d\n%s\n", type, result_len, flags, config, text.c_str());

  exp_engine *e = engines.a.e;
  exp_pcode *p = nullptr;
  if (exp_make_pcode(e, text.c_str(), &p, type, result_len, flags, nullptr) != 0) return 0;
  const bool bytes_result = (flags & EXP_MAKE_BYTES) != 0;
  const std::string first = run_once(engines.a, p, values, bytes_result);
  const std::string second = run_once(engines.a, p, values, bytes_result);
  if (verbose) std::fprintf(stderr, "first:  %s\nsecond: %s\n", first.c_str(), second.c_str());
  expect(second == first, "the same input gave another answer");
  // A copy is refused only as a compile there would be: the engines are set up alike.
  exp_pcode *copy = nullptr;
  expect(exp_copy_pcode(e, engines.b.e, p, &copy) == 0, "the copy was refused");
  const std::string copied = run_once(engines.b, copy, values, bytes_result);
  if (verbose) std::fprintf(stderr, "copy:   %s\n", copied.c_str());
  expect(copied == first, "the copy gave another answer");
  expect(exp_free_pcode(engines.b.e, copy) == 0 && exp_free_pcode(e, p) == 0, "a program did not free");
  for (Host *h : {&engines.a, &engines.b})
    expect(h->e->live_programs == 0 && h->e->memory->used.load() == 0 && exp_symbol_count(h->e) == 7,
           "the engine kept something of the program");
  return 0;
}
