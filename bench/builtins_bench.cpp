// Built-in string, numeric and date functions called through their callbacks, on 10- and
// 255-character ASCII and multi-byte texts. Every heap allocation made inside the timed loop is
// counted (malloc/calloc/realloc are wrapped), and reported per call as "allocs": it must be 0
// for results that fit their cell. ICU's own UTF-8 upper-casing runs beside `upper` as an anchor;
// bench/text_peers.py times Python's str on the same texts.
#include <benchmark/benchmark.h>
#include <unicode/ucasemap.h>

#include <cstddef>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "builtins/builtins.h"
#include "common/alloc_count.h"
#include "expression.h"
#include "support/dates.h"
#include "values.h"

namespace {

// ---- cells and calls -----------------------------------------------------------------------------

// A set of argument cells and a result cell shaped like the ones the compiler makes for a call.
class Call {
 public:
  Call(std::string_view name, std::span<const exp_function> family) {
    for (const exp_function &f : family)
      if (name == f.name) record_ = &f;
    int type = type_of(record_->ret_type);
    int limit = type == EXP_STRING ? (record_->max_len ? static_cast<int>(record_->max_len) : 255) : 0;
    symval_init(&result_, type, limit, 0, nullptr);
  }
  ~Call() {
    symval_clear(&result_);
    for (exp_symval &c : args_) symval_clear(&c);
  }
  Call(const Call &) = delete;
  Call &operator=(const Call &) = delete;

  Call &text(const std::string &s) {
    exp_symval &c = add(EXP_STRING, static_cast<int>(s.size()) + 1);
    exp_symval_setstr(&c, s.c_str());
    return *this;
  }
  Call &integer(int64_t v) {
    exp_symval_setint(&add(EXP_INTEGER, 0), v);
    return *this;
  }
  Call &real(const char *text) {
    exp_symval_setreal_text(&add(EXP_REAL, 0), text);
    return *this;
  }
  Call &date(double days) {
    exp_symval_setdbl(&add(EXP_DATE, 0), days);
    return *this;
  }

  int operator()() {
    argv_.clear();
    for (exp_symval &c : args_) argv_.push_back(&c);
    argv_.push_back(nullptr);
    return record_->fn(nullptr, &result_, static_cast<int>(args_.size()), argv_.data());
  }
  exp_symval *result() { return &result_; }

 private:
  static int type_of(char letter) {
    switch (letter) {
      case 'i': return EXP_INTEGER;
      case 'r': return EXP_REAL;
      case 'd': return EXP_DATE;
      case 'b': return EXP_BOOLEAN;
      default: return EXP_STRING;
    }
  }
  exp_symval &add(int type, int limit) {
    args_.reserve(8);
    args_.emplace_back();
    symval_init(&args_.back(), type, limit, 0, nullptr);
    return args_.back();
  }

  const exp_function *record_ = nullptr;
  exp_symval result_{};
  std::vector<exp_symval> args_;
  std::vector<exp_symval *> argv_;
};

// Runs the call in the timed loop and reports allocations per call.
void measure(benchmark::State &state, Call &call) {
  call();  // a result that grows does so before timing starts
  AllocationMeter meter;
  int rc = 0;
  for (auto _ : state) {
    rc |= call();
    benchmark::DoNotOptimize(call.result()->value);
  }
  meter.report(state);
  if (rc != 0) state.SkipWithError("the function reported an error");
}

// ---- texts ---------------------------------------------------------------------------------------

// `n` characters of mixed-case ASCII words with single spaces.
std::string ascii_text(int n) {
  static constexpr std::string_view kWords = "The quick Brown fox jumps over the lazy Dog ";
  std::string s;
  for (int i = 0; i < n; ++i) s += kWords[static_cast<size_t>(i) % kWords.size()];
  return s;
}

// `n` characters of two-byte (Cyrillic, Greek) and three-byte (CJK) letters and spaces.
std::string multibyte_text(int n) {
  static const char *const kChars[] = {"П", "р", "и", "в", "е", "т", " ", "Ω", "λ", "日", "本", " "};
  std::string s;
  for (int i = 0; i < n; ++i) s += kChars[static_cast<size_t>(i) % std::size(kChars)];
  return s;
}

std::string text_for(const benchmark::State &state) {
  int n = static_cast<int>(state.range(0));
  return state.range(1) ? multibyte_text(n) : ascii_text(n);
}

void set_label(benchmark::State &state) { state.SetLabel(state.range(1) ? "multibyte" : "ascii"); }

// ---- benchmarks ----------------------------------------------------------------------------------

void BM_upper(benchmark::State &state) {
  Call call("upper", string_functions());
  call.text(text_for(state));
  set_label(state);
  measure(state, call);
}

void BM_lower(benchmark::State &state) {
  Call call("lower", string_functions());
  call.text(text_for(state));
  set_label(state);
  measure(state, call);
}

// ICU called directly on the same text, with one case-mapping object reused and a buffer as
// large as the result cell's: the floor for `upper` as long as it maps through ICU.
void BM_icu_upper(benchmark::State &state) {
  const std::string text = text_for(state);
  UErrorCode err = U_ZERO_ERROR;
  UCaseMap *map = ucasemap_open("", 0, &err);
  std::vector<char> out(4 * 255 + 1);
  set_label(state);
  for (auto _ : state) {
    err = U_ZERO_ERROR;
    int32_t n = ucasemap_utf8ToUpper(map, out.data(), static_cast<int32_t>(out.size()), text.data(),
                                     static_cast<int32_t>(text.size()), &err);
    benchmark::DoNotOptimize(n);
    benchmark::DoNotOptimize(out.data());
  }
  ucasemap_close(map);
  if (U_FAILURE(err)) state.SkipWithError("ICU failed");
}

void BM_len(benchmark::State &state) {
  Call call("len", string_functions());
  call.text(text_for(state));
  set_label(state);
  measure(state, call);
}

void BM_right(benchmark::State &state) {
  Call call("right", string_functions());
  call.text(text_for(state)).integer(state.range(0) / 2);
  set_label(state);
  measure(state, call);
}

void BM_left(benchmark::State &state) {
  Call call("left", string_functions());
  call.text(text_for(state)).integer(state.range(0) / 2);
  set_label(state);
  measure(state, call);
}

void BM_trim(benchmark::State &state) {
  Call call("trim", string_functions());
  call.text("   " + text_for(state) + " \t ");
  set_label(state);
  measure(state, call);
}

void BM_mid(benchmark::State &state) {
  Call call("mid", string_functions());
  int n = static_cast<int>(state.range(0));
  call.text(text_for(state)).integer(n / 3).integer(n / 2);
  set_label(state);
  measure(state, call);
}

// The last occurrence of a three-character tail, searched as the second occurrence.
void BM_instr(benchmark::State &state) {
  Call call("instr", string_functions());
  std::string s = text_for(state);
  std::string tail = s.substr(s.size() - (state.range(1) ? 7 : 3));
  call.text(s + s).text(tail).integer(2);
  set_label(state);
  measure(state, call);
}

// Every space replaced by two characters (the result grows by a fifth or more, sized once).
void BM_replace(benchmark::State &state) {
  Call call("replace", string_functions());
  call.text(text_for(state)).text(" ").text("__");
  set_label(state);
  measure(state, call);
}

void BM_round(benchmark::State &state) {
  Call call("round", numeric_functions());
  call.real("1234.56789").integer(state.range(0));
  measure(state, call);
}

void BM_formatdate(benchmark::State &state) {
  static const char *const kPatterns[] = {"YYYY-MM-DD hh:mm:ss.ms", "DD MMMM YYYY"};
  Call call("formatdate", date_functions());
  double days = 0;
  vts_compose_date_milli(2026, 3, 7, 14, 5, 9, 42, &days);
  call.date(days).text(kPatterns[state.range(0)]);
  state.SetLabel(kPatterns[state.range(0)]);
  measure(state, call);
}

void TextSizes(benchmark::internal::Benchmark *b) {
  for (int64_t n : {10, 255})
    for (int64_t multibyte : {0, 1}) b->Args({n, multibyte});
}

BENCHMARK(BM_upper)->Apply(TextSizes);
BENCHMARK(BM_icu_upper)->Apply(TextSizes);
BENCHMARK(BM_lower)->Apply(TextSizes);
BENCHMARK(BM_len)->Apply(TextSizes);
BENCHMARK(BM_right)->Apply(TextSizes);
BENCHMARK(BM_left)->Apply(TextSizes);
BENCHMARK(BM_trim)->Apply(TextSizes);
BENCHMARK(BM_mid)->Apply(TextSizes);
BENCHMARK(BM_instr)->Apply(TextSizes);
BENCHMARK(BM_replace)->Apply(TextSizes);
BENCHMARK(BM_round)->Arg(2)->Arg(-2);
BENCHMARK(BM_formatdate)->Arg(0)->Arg(1);

}  // namespace

BENCHMARK_MAIN();
