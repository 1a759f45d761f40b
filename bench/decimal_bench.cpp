// ns/op of the decimal core on money-like values (up to 12 digits, 2 decimals) and on full
// 52-digit values, and of Intel's BID128 library on the same money-like values.
//
//   decimal_bench --benchmark_repetitions=5 --benchmark_report_aggregates_only=true
#include "support/decimal.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <random>
#include <string>
#include <vector>

namespace {

constexpr size_t kCount = 1024;  // operands cycled through, so branch history cannot learn one value

std::vector<std::string> money_texts(uint64_t seed) {
  std::mt19937_64 rng(seed);
  std::vector<std::string> out;
  for (size_t i = 0; i < kCount; ++i) {
    const uint64_t cents = rng() % 1000000000000ull + 1;  // up to 12 digits
    char buf[40];
    std::snprintf(buf, sizeof buf, "%s%llu.%02llu", (rng() & 7) == 0 ? "-" : "", static_cast<unsigned long long>(cents / 100),
                  static_cast<unsigned long long>(cents % 100));
    out.emplace_back(buf);
  }
  return out;
}

std::vector<std::string> full_texts(uint64_t seed) {
  std::mt19937_64 rng(seed);
  std::vector<std::string> out;
  for (size_t i = 0; i < kCount; ++i) {
    std::string s = (rng() & 7) == 0 ? "-" : "";
    s += static_cast<char>('1' + rng() % 9);
    for (int d = 1; d < DEC192_PMAX; ++d) s += static_cast<char>('0' + rng() % 10);
    s += 'E';
    s += std::to_string(static_cast<int>(rng() % 40) - 60);
    out.push_back(s);
  }
  return out;
}

std::vector<decimal192> parse_all(const std::vector<std::string> &texts) {
  std::vector<decimal192> out(texts.size());
  for (size_t i = 0; i < texts.size(); ++i) {
    decContext c;
    decContextDefault(&c, DEC_INIT_DECIMAL192);
    decSextFromString(&out[i], texts[i].c_str(), &c);
  }
  return out;
}

struct Data {
  std::vector<std::string> a_text, b_text;
  std::vector<decimal192> a, b;
};

// Two operand lists from `texts` (one per seed), as texts and parsed.
Data make_data(std::vector<std::string> (*texts)(uint64_t), uint64_t seed_a, uint64_t seed_b) {
  Data x{texts(seed_a), texts(seed_b), {}, {}};
  x.a = parse_all(x.a_text);
  x.b = parse_all(x.b_text);
  return x;
}

const Data &money() {
  static const Data d = make_data(money_texts, 1, 2);
  return d;
}

const Data &full() {
  static const Data d = make_data(full_texts, 3, 4);
  return d;
}

using Binary = decimal192 *(*)(decimal192 *, const decimal192 *, const decimal192 *, decContext *);

template <Binary op>
void run_binary(benchmark::State &state, const Data &data) {
  size_t i = 0;
  for (auto _ : state) {
    decContext c;
    decContextDefault(&c, DEC_INIT_DECIMAL192);
    decimal192 r;
    op(&r, &data.a[i], &data.b[i], &c);
    benchmark::DoNotOptimize(r);
    i = (i + 1) % kCount;
  }
}

void from_string(benchmark::State &state, const Data &data) {
  size_t i = 0;
  for (auto _ : state) {
    decContext c;
    decContextDefault(&c, DEC_INIT_DECIMAL192);
    decimal192 r;
    decSextFromString(&r, data.a_text[i].c_str(), &c);
    benchmark::DoNotOptimize(r);
    i = (i + 1) % kCount;
  }
}

void to_string(benchmark::State &state, const Data &data) {
  size_t i = 0;
  char buf[DEC192_STRING];
  for (auto _ : state) {
    decSextToString(&data.a[i], buf);
    benchmark::DoNotOptimize(buf);
    i = (i + 1) % kCount;
  }
}

#define DEC_BENCH(name, body)                                                       \
  void name##_money(benchmark::State &s) { body(s, money()); }                    \
  void name##_full(benchmark::State &s) { body(s, full()); }                      \
  BENCHMARK(name##_money);                                                          \
  BENCHMARK(name##_full);

DEC_BENCH(decimal192_add, run_binary<decSextAdd>)
DEC_BENCH(decimal192_multiply, run_binary<decSextMultiply>)
DEC_BENCH(decimal192_divide, run_binary<decSextDivide>)
DEC_BENCH(decimal192_compare, run_binary<decSextCompare>)
DEC_BENCH(decimal192_from_string, from_string)
DEC_BENCH(decimal192_to_string, to_string)

#ifdef EXP_HAVE_BID128
// Intel's BID128 library, called by value with the rounding mode and a flags pointer
// (libbidgcc000: by-value calls, no global rounding mode or flags).
extern "C" {
struct BidU128 {
  uint64_t w[2];
};
BidU128 __bid128_add(BidU128 x, BidU128 y, unsigned rounding, unsigned *flags);
BidU128 __bid128_mul(BidU128 x, BidU128 y, unsigned rounding, unsigned *flags);
BidU128 __bid128_div(BidU128 x, BidU128 y, unsigned rounding, unsigned *flags);
int __bid128_quiet_less(BidU128 x, BidU128 y, unsigned *flags);
BidU128 __bid128_from_string(char *text, unsigned rounding, unsigned *flags);
void __bid128_to_string(char *out, BidU128 x, unsigned *flags);
}

struct BidData {
  std::vector<BidU128> a, b;
};

const BidData &bid_money() {
  static const BidData d = [] {
    BidData x;
    unsigned flags = 0;
    for (const auto &t : money().a_text) x.a.push_back(__bid128_from_string(const_cast<char *>(t.c_str()), 0, &flags));
    for (const auto &t : money().b_text) x.b.push_back(__bid128_from_string(const_cast<char *>(t.c_str()), 0, &flags));
    return x;
  }();
  return d;
}

template <BidU128 (*op)(BidU128, BidU128, unsigned, unsigned *)>
void bid_binary(benchmark::State &state) {
  const BidData &d = bid_money();
  size_t i = 0;
  for (auto _ : state) {
    unsigned flags = 0;
    BidU128 r = op(d.a[i], d.b[i], 0, &flags);
    benchmark::DoNotOptimize(r);
    i = (i + 1) % kCount;
  }
}

void bid128_add_money(benchmark::State &s) { bid_binary<__bid128_add>(s); }
void bid128_multiply_money(benchmark::State &s) { bid_binary<__bid128_mul>(s); }
void bid128_divide_money(benchmark::State &s) { bid_binary<__bid128_div>(s); }

void bid128_compare_money(benchmark::State &state) {
  const BidData &d = bid_money();
  size_t i = 0;
  for (auto _ : state) {
    unsigned flags = 0;
    benchmark::DoNotOptimize(__bid128_quiet_less(d.a[i], d.b[i], &flags));
    i = (i + 1) % kCount;
  }
}

void bid128_from_string_money(benchmark::State &state) {
  size_t i = 0;
  for (auto _ : state) {
    unsigned flags = 0;
    benchmark::DoNotOptimize(__bid128_from_string(const_cast<char *>(money().a_text[i].c_str()), 0, &flags));
    i = (i + 1) % kCount;
  }
}

void bid128_to_string_money(benchmark::State &state) {
  const BidData &d = bid_money();
  size_t i = 0;
  char buf[64];
  for (auto _ : state) {
    unsigned flags = 0;
    __bid128_to_string(buf, d.a[i], &flags);
    benchmark::DoNotOptimize(buf);
    i = (i + 1) % kCount;
  }
}

BENCHMARK(bid128_add_money);
BENCHMARK(bid128_multiply_money);
BENCHMARK(bid128_divide_money);
BENCHMARK(bid128_compare_money);
BENCHMARK(bid128_from_string_money);
BENCHMARK(bid128_to_string_money);
#endif

}  // namespace

BENCHMARK_MAIN();
