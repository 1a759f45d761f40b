// Fuzz target: nothing leaks from one record into the next. The input picks a program (byte and
// text readers over host fields, program variables and temporaries) and two records of hostile
// values for a field of every type. Record B must give the same result (value, or error number
// and message) when it runs right after record A as when it runs first in a fresh engine; any
// difference is a leak of A's data and aborts.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "expression.h"

namespace {

constexpr int kStringLimit = 24;

// Programs whose results depend on their input only. The byte readers read whole fields, so bytes
// a longer earlier value left behind its terminator would show in their results.
constexpr const char *kPrograms[] = {
    R"~(ib(s, "8"))~",
    R"~(s370fib(s, "8"))~",
    R"~(pd(s, "8"))~",
    R"~(s370fpd(s, "8"))~",
    R"~(picsigndec(s, "S9(9)"))~",
    R"~(piccomp3(s, "S9(9)"))~",
    R"~(piccomp(s, "S9(9)"))~",
    R"~(ib(upper(s), "8"))~",
    R"~(pd(lower(s) & "", "8"))~",
    R"~(string(20) t
t = s
ib(t, "8"))~",
    R"~(string(20) t
formatpd(i, "8", t)
ib(t, "8"))~",
    R"~(string(20) t
if b then formatib(r, "4", t) else t = s
s370fpd(t, "8"))~",
    R"~(string(20) t
parse(s, ",", t)
picsigndec(t, "S9(9)"))~",
    R"~(string array a
aparse(s, ",", a)
ib(a.get(1), "8"))~",
    R"~(tostring(d) & s & tostring(i) & tostring(r))~",
};

struct Fields {
  exp_symval *s, *i, *r, *d, *b;
};

// Reads the input a few bytes at a time; past its end every read gives zeros.
class Input {
 public:
  Input(const uint8_t *data, size_t size) : data_(data), size_(size) {}
  uint8_t byte() { return at_ < size_ ? data_[at_++] : 0; }
  uint64_t word() {
    uint64_t w = 0;
    for (int k = 0; k < 8; ++k) w = (w << 8) | byte();
    return w;
  }
  double real() {
    uint64_t w = word();
    double d;
    std::memcpy(&d, &w, sizeof d);
    return d;
  }

 private:
  const uint8_t *data_;
  size_t size_;
  size_t at_ = 0;
};

// One record's values, taken from the input.
struct Record {
  std::string text;  // no zero byte: hosts set text with exp_symval_setstr
  bool raw = false;  // written into the buffer as raw bytes instead, the way hosts load binary fields
  std::string raw_bytes;
  int64_t i = 0;
  double r = 0, d = 0;
  bool b = false;
  uint8_t nulls = 0;

  static Record read(Input &in) {
    Record rec;
    uint8_t length = in.byte() % (kStringLimit + 8);
    for (uint8_t k = 0; k < length; ++k) {
      uint8_t c = in.byte();
      rec.raw_bytes.push_back(static_cast<char>(c));
      if (c) rec.text.push_back(static_cast<char>(c));
    }
    uint8_t flags = in.byte();
    rec.raw = flags & 1;
    rec.b = flags & 2;
    rec.nulls = in.byte();
    rec.i = static_cast<int64_t>(in.word());
    rec.r = in.real();
    rec.d = in.real();
    return rec;
  }

  void bind(const Fields &f) const {
    if (raw) {
      std::memset(f.s->value.s, 0, static_cast<size_t>(f.s->len) * 4 + 1);
      std::memcpy(f.s->value.s, raw_bytes.data(), raw_bytes.size() < f.s->len ? raw_bytes.size() : f.s->len);
      f.s->flags &= ~uint32_t{EXP_NULL};
    } else {
      exp_symval_setstr(f.s, text.c_str());
    }
    exp_symval_setint(f.i, i);
    exp_symval_setdbl(f.r, r);
    exp_symval_setdbl(f.d, d);
    exp_symval_setint(f.b, b ? 1 : 0);
    exp_symval *cells[] = {f.s, f.i, f.r, f.d, f.b};
    for (int k = 0; k < 5; ++k)
      if (nulls & (1 << k)) exp_symval_setnull(cells[k]);
  }
};

// An engine with the five fields bound and the program compiled.
class Host {
 public:
  explicit Host(const char *program) : e_(exp_init()) {
    if (!e_) return;
    ok_ = exp_add_symbol(e_, "s", EXP_STRING, kStringLimit, 0, &f_.s) == 0 &&
          exp_add_symbol(e_, "i", EXP_INTEGER, 0, 0, &f_.i) == 0 &&
          exp_add_symbol(e_, "r", EXP_REAL, 0, 0, &f_.r) == 0 && exp_add_symbol(e_, "d", EXP_DATE, 0, 0, &f_.d) == 0 &&
          exp_add_symbol(e_, "b", EXP_BOOLEAN, 0, 0, &f_.b) == 0 &&
          exp_make_pcode(e_, program, &p_, EXP_STRING, 200, 0, nullptr) == 0;
  }
  ~Host() {
    if (p_) exp_free_pcode(e_, p_);
    if (e_) exp_clean(e_);
  }
  Host(const Host &) = delete;
  Host &operator=(const Host &) = delete;
  bool ok() const { return ok_; }

  // The outcome of one record: its result text, or its error number and message.
  std::string run(const Record &rec) {
    rec.bind(f_);
    exp_symval *result = nullptr;
    int rc = exp_execute(e_, p_, &result);
    if (rc != 0) {
      const char *message = nullptr;
      exp_error_info(e_, &message, nullptr, nullptr);
      return "error " + std::to_string(rc) + ": " + (message ? message : "");
    }
    if (!result || EXP_IS_NULL(result)) return "null";
    return std::string("value: ") + result->value.s;
  }

 private:
  exp_engine *e_;
  exp_pcode *p_ = nullptr;
  Fields f_{};
  bool ok_ = false;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  Input in(data, size);
  const char *program = kPrograms[in.byte() % (sizeof kPrograms / sizeof *kPrograms)];
  Record a = Record::read(in), b = Record::read(in);
  Host after_a(program), fresh(program);
  if (!after_a.ok() || !fresh.ok()) std::abort();  // every program compiles
  after_a.run(a);
  if (after_a.run(b) != fresh.run(b)) std::abort();
  return 0;
}
