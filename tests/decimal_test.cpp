// Tests of the decimal core: the public General Decimal Arithmetic testcase files (run at the
// precisions they state), then the conversions the engine relies on.
#include "support/decimal.h"

#include <gtest/gtest.h>

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <limits>
#include <map>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <vector>

namespace {

// ---- the testcase file format -------------------------------------------------------------------------

// Splits a line into tokens: blanks separate, quotes (doubled to escape) group, "--" ends the line.
std::vector<std::string> tokenize(const std::string &line) {
  std::vector<std::string> out;
  size_t i = 0;
  while (i < line.size()) {
    const char c = line[i];
    if (c == ' ' || c == '\t' || c == '\r') {
      ++i;
    } else if (c == '-' && i + 1 < line.size() && line[i + 1] == '-') {
      break;
    } else if (c == '\'' || c == '"') {
      std::string tok;
      for (++i; i < line.size(); ++i) {
        if (line[i] == c) {
          if (i + 1 < line.size() && line[i + 1] == c) {
            tok += c;
            ++i;
          } else {
            break;
          }
        } else {
          tok += line[i];
        }
      }
      ++i;
      out.push_back(tok);
    } else {
      const size_t start = i;
      while (i < line.size() && line[i] != ' ' && line[i] != '\t' && line[i] != '\r') ++i;
      out.push_back(line.substr(start, i - start));
    }
  }
  return out;
}

std::string lowercase(std::string s) {
  for (char &c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

const std::map<std::string, decRounding> kRoundings = {
    {"ceiling", DEC_ROUND_CEILING}, {"up", DEC_ROUND_UP},     {"half_up", DEC_ROUND_HALF_UP},
    {"half_even", DEC_ROUND_HALF_EVEN}, {"half_down", DEC_ROUND_HALF_DOWN}, {"down", DEC_ROUND_DOWN},
    {"floor", DEC_ROUND_FLOOR},     {"05up", DEC_ROUND_05UP}};

const std::map<std::string, uint32_t> kConditions = {
    {"conversion_syntax", DEC_Conversion_syntax}, {"division_by_zero", DEC_Division_by_zero},
    {"division_impossible", DEC_Division_impossible}, {"division_undefined", DEC_Division_undefined},
    {"inexact", DEC_Inexact}, {"invalid_operation", DEC_Invalid_operation}, {"overflow", DEC_Overflow},
    {"clamped", DEC_Clamped}, {"rounded", DEC_Rounded}, {"subnormal", DEC_Subnormal},
    {"underflow", DEC_Underflow}};

struct FileSettings {
  int precision = 9;
  decRounding round = DEC_ROUND_HALF_UP;
  int64_t emax = 999;
  int64_t emin = -999;
  bool clamp = false;
  bool extended = true;
};

struct Counts {
  int passed = 0, failed = 0, skipped = 0;
};

// A context that loads any value the 24-byte form holds without changing it.
decContext loader_context() {
  decContext c;
  decContextDefault(&c, DEC_INIT_DECIMAL192);
  c.emax = DEC192_EXP_MAX;
  c.emin = DEC192_EXP_MIN + DEC192_PMAX - 1;
  c.clamp = 0;
  return c;
}

// Loads an operand exactly, or nothing when the 24-byte form cannot hold it.
std::optional<decimal192> load_exact(const std::string &text) {
  if (text.empty() || text[0] == '#') return std::nullopt;
  decContext c = loader_context();
  decimal192 d;
  decSextFromString(&d, text.c_str(), &c);
  if (c.status & ~DEC_Subnormal) return std::nullopt;
  return d;
}

// Adjusted exponent of a finite value (0 for specials).
int64_t adjusted(const decimal192 &d) {
  if (!decSextIsFinite(&d)) return 0;
  char buf[DEC192_STRING];
  decSextToString(&d, buf);
  const char *e = std::strchr(buf, 'E');
  if (e != nullptr) return std::strtoll(e + 1, nullptr, 10);
  return 0;  // plain notation: adjusted exponent within -6 .. 52
}

struct Case {
  std::string id, op;
  std::vector<std::string> operands;
  std::string expected;
  uint32_t conditions = 0;
  bool unsupported_condition = false;
};

std::optional<Case> parse_case(const std::vector<std::string> &tok) {
  auto arrow = std::find(tok.begin(), tok.end(), "->");
  if (tok.size() < 4 || arrow == tok.end() || arrow + 1 == tok.end()) return std::nullopt;
  Case c;
  c.id = tok[0];
  c.op = lowercase(tok[1]);
  c.operands.assign(tok.begin() + 2, arrow);
  c.expected = *(arrow + 1);
  for (auto it = arrow + 2; it != tok.end(); ++it) {
    auto f = kConditions.find(lowercase(*it));
    if (f == kConditions.end())
      c.unsupported_condition = true;
    else
      c.conditions |= f->second;
  }
  return c;
}

using Unary = decimal192 *(*)(decimal192 *, const decimal192 *, decContext *);
using Binary = decimal192 *(*)(decimal192 *, const decimal192 *, const decimal192 *, decContext *);

decimal192 *to_integral(decimal192 *r, const decimal192 *a, decContext *c) {
  return decSextToIntegralValue(r, a, c, c->round);
}

// abs is plus of the magnitude: minus for negative numbers, plus otherwise.
decimal192 *absolute(decimal192 *r, const decimal192 *a, decContext *c) {
  if (!decSextIsNaN(a) && decSextIsSigned(a)) return decSextMinus(r, a, c);
  return decSextPlus(r, a, c);
}

// Marks a power result that the 24-byte form cannot hold (the case is then skipped).
constexpr uint32_t kNotRepresentable = 0x80000000u;

decimal192 *power(decimal192 *r, const decimal192 *a, const decimal192 *b, decContext *c) {
  decNumber x, y, z;
  decimal192ToNumber(a, &x);
  decimal192ToNumber(b, &y);
  decNumberPower(&z, &x, &y, c);
  decContext back = loader_context();
  decimal192FromNumber(r, &z, &back);
  if (back.status & ~DEC_Subnormal) c->status |= kNotRepresentable;
  return r;
}

const std::map<std::string, Unary> kUnary = {{"plus", decSextPlus},       {"minus", decSextMinus},
                                             {"abs", absolute},           {"reduce", decSextReduce},
                                             {"tointegral", to_integral}, {"tointegralx", decSextToIntegralExact}};
const std::map<std::string, Binary> kBinary = {
    {"add", decSextAdd},         {"subtract", decSextSubtract},   {"multiply", decSextMultiply},
    {"divide", decSextDivide},   {"divideint", decSextDivideInteger}, {"remainder", decSextRemainder},
    {"compare", decSextCompare}, {"max", decSextMax},             {"min", decSextMin},
    {"quantize", decSextQuantize}, {"power", power}};

// True when the test's exponent limits are wider than the 24-byte field, so that cases near
// those limits cannot be reproduced.
bool limits_narrowed(const FileSettings &s) {
  return s.emax > DEC192_EXP_MAX || s.emin < int64_t{DEC192_EXP_MIN} + s.precision - 1;
}

enum class Outcome { pass, fail, skip };

struct Runner {
  FileSettings settings;
  Counts counts;
  std::vector<std::string> failures;

  decContext context() const {
    decContext c;
    decContextDefault(&c, DEC_INIT_BASE);
    c.digits = settings.precision;
    c.round = settings.round;
    c.emax = static_cast<int32_t>(std::clamp<int64_t>(settings.emax, 0, INT32_MAX));
    c.emin = static_cast<int32_t>(std::clamp<int64_t>(settings.emin, INT32_MIN, 0));
    c.clamp = settings.clamp ? 1 : 0;
    c.status = 0;
    return c;
  }

  void directive(const std::string &key, const std::string &value) {
    if (key == "precision") settings.precision = std::atoi(value.c_str());
    if (key == "rounding") {
      auto f = kRoundings.find(lowercase(value));
      if (f != kRoundings.end()) settings.round = f->second;
    }
    if (key == "maxexponent") settings.emax = std::strtoll(value.c_str(), nullptr, 10);
    if (key == "minexponent") settings.emin = std::strtoll(value.c_str(), nullptr, 10);
    if (key == "clamp") settings.clamp = value == "1";
    if (key == "extended") settings.extended = value == "1";
  }

  Outcome run(const Case &c, std::string &detail) {
    detail = c.id;
    if (settings.precision > DEC192_PMAX || settings.precision < 1 || !settings.extended ||
        c.unsupported_condition || settings.emax > INT32_MAX || settings.emin < INT32_MIN)
      return Outcome::skip;
    decContext ctx = context();
    decimal192 result;
    if (c.op == "tosci" || c.op == "apply") {
      if (c.operands.size() != 1) return Outcome::skip;
      decSextFromString(&result, c.operands[0].c_str(), &ctx);
    } else {
      std::vector<decimal192> ops;
      for (const auto &text : c.operands) {
        auto d = load_exact(text);
        if (!d) return Outcome::skip;
        if (limits_narrowed(settings) && std::abs(adjusted(*d)) > 100000) return Outcome::skip;
        ops.push_back(*d);
      }
      auto u = kUnary.find(c.op);
      auto b = kBinary.find(c.op);
      if (u != kUnary.end() && ops.size() == 1)
        u->second(&result, &ops[0], &ctx);
      else if (b != kBinary.end() && ops.size() == 2)
        b->second(&result, &ops[0], &ops[1], &ctx);
      else
        return Outcome::skip;
    }
    if (ctx.status & kNotRepresentable) return Outcome::skip;  // power result beyond the 24-byte form
    // The expected result must itself fit, and with narrowed limits stay clear of them.
    auto expected = load_exact(c.expected);
    if (!expected) return Outcome::skip;
    if (limits_narrowed(settings) &&
        (std::abs(adjusted(*expected)) > 100000 ||
         (c.conditions & (DEC_Overflow | DEC_Underflow | DEC_Subnormal | DEC_Clamped))))
      return Outcome::skip;
    char buf[DEC192_STRING];
    decSextToString(&result, buf);
    if (buf == c.expected && ctx.status == c.conditions) return Outcome::pass;
    std::ostringstream os;
    os << c.id << " " << c.op;
    for (const auto &o : c.operands) os << " '" << o << "'";
    os << " -> " << buf << " [0x" << std::hex << ctx.status << "], expected " << c.expected << " [0x"
       << c.conditions << "]";
    detail = os.str();
    return Outcome::fail;
  }

  void line(const std::string &text) {
    const auto tok = tokenize(text);
    if (tok.empty()) return;
    if (tok[0].back() == ':' && tok.size() >= 2) {
      directive(lowercase(tok[0].substr(0, tok[0].size() - 1)), tok[1]);
      return;
    }
    auto c = parse_case(tok);
    if (!c) return;
    std::string detail;
    switch (run(*c, detail)) {
      case Outcome::pass: ++counts.passed; break;
      case Outcome::skip:
        ++counts.skipped;
        if (std::getenv("DECTEST_SHOW_SKIPPED") != nullptr) std::printf("skipped %s\n", text.c_str());
        break;
      case Outcome::fail:
        ++counts.failed;
        failures.push_back(detail);
        break;
    }
  }
};

std::string testdata_dir() { return std::string(EXP_TEST_DATA) + "/dectest"; }

class DecTestFile : public ::testing::TestWithParam<const char *> {};

TEST_P(DecTestFile, AllSupportedCasesPass) {
  const std::string path = testdata_dir() + "/" + GetParam() + ".decTest";
  std::ifstream in(path);
  ASSERT_TRUE(in) << "cannot open " << path;
  Runner runner;
  std::string text;
  while (std::getline(in, text)) runner.line(text);
  std::printf("[ dectest ] %-16s passed %5d  failed %4d  skipped %4d\n", GetParam(), runner.counts.passed,
              runner.counts.failed, runner.counts.skipped);
  for (size_t i = 0; i < runner.failures.size() && i < 40; ++i) ADD_FAILURE() << runner.failures[i];
  EXPECT_EQ(runner.counts.failed, 0);
  EXPECT_GT(runner.counts.passed, 0);
}

INSTANTIATE_TEST_SUITE_P(Suite, DecTestFile,
                         ::testing::Values("abs", "add", "base", "clamp", "compare", "divide", "divideint", "dqBase",
                                           "inexact", "max", "min", "minus", "multiply", "plus", "power",
                                           "quantize", "randomBound32", "randoms", "reduce", "remainder",
                                           "rounding", "subtract", "tointegral", "tointegralx"),
                         [](const auto &info) { return std::string(info.param); });

}  // namespace

// ---- conversions the engine relies on ----------------------------------------------------------------------

namespace {

decContext ctx192() {
  decContext c;
  decContextDefault(&c, DEC_INIT_DECIMAL192);
  return c;
}

decimal192 parse(const char *text) {
  decContext c = ctx192();
  decimal192 d;
  decSextFromString(&d, text, &c);
  return d;
}

std::string show(const decimal192 &d) {
  char buf[DEC192_STRING];
  return decSextToString(&d, buf);
}

TEST(DecimalContext, DefaultsForTheFormatAndTheBase) {
  decContext c = ctx192();
  EXPECT_EQ(c.digits, 52);
  EXPECT_EQ(c.emax, 98304);
  EXPECT_EQ(c.emin, -98303);
  EXPECT_EQ(c.round, DEC_ROUND_HALF_EVEN);
  EXPECT_EQ(c.clamp, 1);
  EXPECT_EQ(c.status, 0u);
  decContextDefault(&c, DEC_INIT_BASE);
  EXPECT_EQ(c.digits, 9);
  EXPECT_EQ(c.round, DEC_ROUND_HALF_UP);
  EXPECT_EQ(c.clamp, 0);
}

// Real -> string as the engine does it: reduce, add a zero, scientific string.
TEST(DecimalConversion, ReducedTextOfReals) {
  const std::pair<const char *, const char *> cases[] = {
      {"1E+2", "100"},       {"2.50", "2.5"},   {"-0", "0"},     {"0.000123", "0.000123"}, {"1E-7", "1E-7"},
      {"1.0", "1"},          {"-1.50", "-1.5"}, {"1.5E-7", "1.5E-7"}, {"123456789012345678901234567890", "123456789012345678901234567890"},
      {"0.00000100", "0.000001"}};
  for (const auto &[in, out] : cases) {
    decContext c = ctx192();
    decimal192 d = parse(in), zero;
    decSextReduce(&d, &d, &c);
    decSextAdd(&d, &d, decSextZero(&zero), &c);
    EXPECT_EQ(show(d), out) << in;
    EXPECT_EQ(c.status, 0u) << in;
  }
}

TEST(DecimalConversion, StringsBeyondThePrecisionRound) {
  decContext c = ctx192();
  decimal192 d;
  decSextFromString(&d, "12345678901234567890123456789012345678901234567890125", &c);  // 53 digits
  EXPECT_EQ(show(d), "1.234567890123456789012345678901234567890123456789012E+52");
  EXPECT_EQ(c.status, DEC_Inexact | DEC_Rounded);
  c = ctx192();
  decSextFromString(&d, ("1." + std::string(60, '0')).c_str(), &c);  // only zeros dropped
  EXPECT_EQ(c.status, DEC_Rounded);
  EXPECT_EQ(show(d), "1." + std::string(51, '0'));
}

TEST(DecimalConversion, MalformedTextIsNaNWithConversionSyntax) {
  const char *bad[] = {"", " 1", "1 ", "1,5", "1..2", ".", "e5", "1e", "1e+", "--1", "+-1", "0x10", "1_000",
                       "Infinit", "NaNx", "sNaN-1", "1e1.5", "١٢"};
  for (const char *text : bad) {
    decContext c = ctx192();
    decimal192 d;
    decSextFromString(&d, text, &c);
    EXPECT_TRUE(decSextIsNaN(&d)) << text;
    EXPECT_EQ(c.status, DEC_Conversion_syntax) << text;
  }
  // Only the given bytes are read: "12" out of "123".
  decContext c = ctx192();
  decimal192 d;
  decSextFromChars(&d, "123", 2, &c);
  EXPECT_EQ(show(d), "12");
}

TEST(DecimalConversion, ExtremeExponentsInTextOverflowOrUnderflow) {
  decContext c = ctx192();
  decimal192 d;
  decSextFromString(&d, "1E999999999999999999999999", &c);
  EXPECT_EQ(show(d), "Infinity");
  EXPECT_EQ(c.status, DEC_Overflow | DEC_Inexact | DEC_Rounded);
  c = ctx192();
  decSextFromString(&d, "-1E-999999999999999999999999", &c);
  EXPECT_EQ(show(d), "-0E-98354");
  EXPECT_TRUE(c.status & DEC_Underflow);
  c = ctx192();
  const std::string long_text = "0." + std::string(100000, '0') + "1E+100000";  // exactly 0.1
  decSextFromString(&d, long_text.c_str(), &c);
  EXPECT_EQ(show(d), "0.1");
  EXPECT_EQ(c.status, 0u);
}

TEST(DecimalConversion, ToInt64RoundsAndRejectsWhatDoesNotFit) {
  struct Row {
    const char *text;
    decRounding mode;
    int64_t value;
    bool invalid;
  };
  const Row rows[] = {{"2.7", DEC_ROUND_FLOOR, 2, false},
                      {"-2.3", DEC_ROUND_FLOOR, -3, false},
                      {"2.5", DEC_ROUND_FLOOR, 2, false},
                      {"-0.5", DEC_ROUND_FLOOR, -1, false},
                      {"2.5", DEC_ROUND_HALF_EVEN, 2, false},
                      {"1E+18", DEC_ROUND_FLOOR, 1000000000000000000, false},
                      {"9223372036854775807", DEC_ROUND_FLOOR, INT64_MAX, false},
                      {"-9223372036854775808", DEC_ROUND_FLOOR, INT64_MIN, false},
                      {"9223372036854775807.5", DEC_ROUND_FLOOR, INT64_MAX, false},
                      {"9223372036854775808", DEC_ROUND_FLOOR, 0, true},
                      {"-9223372036854775808.5", DEC_ROUND_FLOOR, 0, true},
                      {"1E+30", DEC_ROUND_FLOOR, 0, true},
                      {"NaN", DEC_ROUND_FLOOR, 0, true},
                      {"-Infinity", DEC_ROUND_FLOOR, 0, true}};
  for (const Row &row : rows) {
    decContext c = ctx192();
    const decimal192 d = parse(row.text);
    EXPECT_EQ(decSextToInt64(&d, &c, row.mode), row.value) << row.text;
    EXPECT_EQ(decContextTestStatus(&c, DEC_Invalid_operation) != 0, row.invalid) << row.text;
  }
  decimal192 d;
  decSextFromInt64(&d, INT64_MIN);
  EXPECT_EQ(show(d), "-9223372036854775808");
}

TEST(DecimalConversion, DoublesRoundTripAndKeepTheirShortestDigits) {
  std::mt19937_64 rng(42);
  for (int i = 0; i < 20000; ++i) {
    uint64_t bits = rng();
    double v;
    std::memcpy(&v, &bits, sizeof v);
    if (!std::isfinite(v)) continue;
    decContext c = ctx192();
    decimal192 d;
    decSextFromDouble(&d, v, &c);
    const double back = decSextToDouble(&d, &c, 2);
    ASSERT_EQ(std::memcmp(&back, &v, sizeof v), 0) << show(d);
    ASSERT_EQ(c.status, 0u) << show(d);
  }
  decContext c = ctx192();
  decimal192 d;
  EXPECT_EQ(show(*decSextFromDouble(&d, 0.1, &c)), "0.1");
  EXPECT_EQ(show(*decSextFromDouble(&d, -2.5, &c)), "-2.5");
  EXPECT_EQ(c.status, 0u);
  // Ordinary inexactness raises nothing; what has no double value raises a condition.
  d = parse("0.1000000000000000000000000000000000000000000000000001");
  EXPECT_EQ(decSextToDouble(&d, &c, 2), 0.1);
  EXPECT_EQ(c.status, 0u);
  for (const char *text : {"NaN", "-Infinity", "1E+400", "-1E-400"}) {
    decContext bad = ctx192();
    d = parse(text);
    decSextToDouble(&d, &bad, 0);
    EXPECT_EQ(bad.status, DEC_Invalid_operation) << text;
  }
}

TEST(DecimalContext, TheConstantContextIsTheDefaultOne) {
  decContext made;
  decContextDefault(&made, DEC_INIT_DECIMAL192);
  const decContext &constant = kDecimal192Context;
  EXPECT_EQ(made.digits, constant.digits);
  EXPECT_EQ(made.emax, constant.emax);
  EXPECT_EQ(made.emin, constant.emin);
  EXPECT_EQ(made.round, constant.round);
  EXPECT_EQ(made.traps, constant.traps);
  EXPECT_EQ(made.status, constant.status);
  EXPECT_EQ(made.clamp, constant.clamp);
}

// Doubles of the form n / 10^k take a path that does not print them; it must give exactly the
// decimal the shortest printed digits give, for such values and for every other kind.
TEST(DecimalConversion, DoublesWithFewDecimalsConvertAsTheirShortestDigits) {
  std::mt19937_64 rng(7);
  auto by_printing = [](double v) {
    char buf[64];
    const auto res = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::scientific);
    decContext c = ctx192();
    decimal192 d;
    decSextFromChars(&d, buf, static_cast<size_t>(res.ptr - buf), &c);
    return d;
  };
  auto check = [&](double v) {
    decContext c = ctx192();
    decimal192 fast;
    decSextFromDouble(&fast, v, &c);
    const decimal192 slow = by_printing(v);
    ASSERT_EQ(std::memcmp(&fast, &slow, sizeof fast), 0) << std::hexfloat << v << " gave " << show(fast)
                                                          << ", printing gives " << show(slow);
  };
  for (int i = 0; i < 300000; ++i) {
    const int k = static_cast<int>(rng() % 19);
    const int64_t n = static_cast<int64_t>(rng() % (uint64_t{1} << (rng() % 54))) * ((rng() & 1) ? -1 : 1);
    const double few = static_cast<double>(n) / std::pow(10.0, k);  // few decimals, often not exact in binary
    check(few);
    // Its neighbours one unit in the last place away have no short form but lie close to one.
    check(std::nextafter(few, HUGE_VAL));
    check(std::nextafter(few, -HUGE_VAL));
    // Halfway between two short decimals: a tie for the rounding to an integer coefficient.
    check((static_cast<double>(n) + 0.5) / std::pow(10.0, k));
    uint64_t bits = rng();
    double any;
    std::memcpy(&any, &bits, sizeof any);
    if (std::isfinite(any)) check(any);
    // Near the 2^53 limit of the exact coefficients, and subnormal.
    check(std::ldexp(static_cast<double>(rng() >> 11), static_cast<int>(rng() % 8) - 4));
    check(std::ldexp(static_cast<double>(rng() >> 12), -1074));
  }
  for (double v : {0.0, -0.0, 1.0, -1.0, 0.15, 12.34, 999.99, 1e15, 9007199254740991.0, 9007199254740992.0, 1e16,
                   0.1 + 0.2, 1.0 / 3, 5e-324, 1.7976931348623157e308, 0.30000000000000004, 123456.7890123})
    check(v);
}

// Arithmetic skips the reduce for results decSextIsReducedSmall accepts: for every packed value
// it accepts, reducing must give back the same bits. Generated values cover the coefficient
// sizes, trailing zeros, the exponent limits and the special codes.
TEST(DecimalReduce, ValuesTakenAsReducedAreLeftAsTheyAre) {
  std::mt19937_64 rng(19);
  const uint32_t fields[] = {0, 1, 51, DEC192_BIAS + DEC192_EMIN - 1, DEC192_BIAS + DEC192_EMIN,
                             DEC192_BIAS, DEC192_BIAS + DEC192_EMAX - DEC192_PMAX + 1,
                             DEC192_BIAS + DEC192_EMAX - DEC192_PMAX + 2, 0x3FFFC, DEC192_SPECIAL_INF,
                             DEC192_SPECIAL_QNAN, DEC192_SPECIAL_SNAN};
  int accepted = 0;
  for (int i = 0; i < 200000; ++i) {
    decimal192 a{};
    a.w[0] = rng() >> (rng() % 64);
    if (rng() % 3 == 0) a.w[0] *= 10;
    if (rng() % 8 == 0) a.w[1] = rng() >> (rng() % 64);
    const uint64_t field = rng() % 2 ? fields[rng() % std::size(fields)] : DEC192_BIAS + rng() % 200 - 100;
    a.w[2] = (rng() & (uint64_t{1} << 63)) | (field << 45) | (rng() % 16 == 0 ? rng() % 1000 : 0);
    if (!decSextIsReducedSmall(&a)) continue;
    ++accepted;
    decContext c = ctx192();
    decimal192 r;
    decSextReduce(&r, &a, &c);
    ASSERT_EQ(std::memcmp(&r, &a, sizeof r), 0) << show(a) << " reduces to " << show(r);
    ASSERT_EQ(c.status, 0u) << show(a);
  }
  EXPECT_GT(accepted, 10000);
}

// Decimals whose coefficient and power of ten are exact doubles take a path that does not print
// them; it must give exactly the double the printed digits read back as.
TEST(DecimalConversion, DecimalsToDoubleMatchReadingTheirDigits) {
  std::mt19937_64 rng(11);
  auto check = [](const decimal192 &d) {
    decContext c = ctx192();
    const double fast = decSextToDouble(&d, &c, 2);
    char buf[DEC192_STRING];
    decSextToString(&d, buf);
    double slow = 0;
    std::from_chars(buf, buf + std::strlen(buf), slow);
    ASSERT_EQ(std::memcmp(&fast, &slow, sizeof fast), 0) << buf << " gave " << std::hexfloat << fast;
    ASSERT_EQ(c.status, 0u) << buf;
  };
  for (int i = 0; i < 300000; ++i) {
    // Coefficients up to 2^54 (across the exact limit), exponents across the 10^22 limit.
    const uint64_t coef = rng() % ((uint64_t{1} << (rng() % 55)) + 1);
    const int exponent = static_cast<int>(rng() % 61) - 30;
    char text[48];
    std::snprintf(text, sizeof text, "%s%lluE%d", (rng() & 1) ? "-" : "", static_cast<unsigned long long>(coef),
                  exponent);
    check(parse(text));
  }
  for (const char *text : {"0", "-0", "0E-30", "9007199254740992", "9007199254740993", "-9007199254740993E-22",
                           "9007199254740993E22", "1E22", "1E23", "1E-22", "1E-23", "0.1", "0.30000000000000004"})
    check(parse(text));
}

// round(x, places) as the engine builds it: a quantum 1E-places, half-up quantize.
TEST(DecimalConversion, RoundingToPlacesWithQuantize) {
  const std::tuple<const char *, int, const char *> cases[] = {
      {"2.5", 0, "3"}, {"-2.5", 0, "-3"}, {"2.45", 1, "2.5"}, {"1.005", 2, "1.01"}, {"2.5", 2, "2.50"}};
  for (const auto &[in, places, out] : cases) {
    decContext c = ctx192();
    decContextSetRounding(&c, DEC_ROUND_HALF_UP);
    decimal192 q, r;
    decSextFromInt32(&q, 1);
    decSextSetExponent(&q, &c, -places);
    const decimal192 x = parse(in);
    decSextQuantize(&r, &x, &q, &c);
    EXPECT_EQ(show(r), out) << in;
    EXPECT_EQ(decContextTestStatus(&c, DEC_Invalid_operation), 0u);
  }
  decContext c = ctx192();
  decimal192 q, r;
  decSextFromInt32(&q, 1);
  decSextSetExponent(&q, &c, -60);
  const decimal192 x = parse("123");
  decSextQuantize(&r, &x, &q, &c);  // 63 digits: does not fit
  EXPECT_TRUE(decSextIsNaN(&r));
  EXPECT_NE(decContextTestStatus(&c, DEC_Invalid_operation), 0u);
}

TEST(DecimalLayout, SmallCoefficientsUseOnlyTheFirstWord) {
  const decimal192 d = parse("-123.45");
  EXPECT_EQ(d.w[0], 12345u);
  EXPECT_EQ(d.w[1], 0u);
  EXPECT_EQ(d.w[2], (uint64_t{1} << 63) | (static_cast<uint64_t>(DEC192_BIAS - 2) << 45));
  decimal192 z;
  decSextZero(&z);
  EXPECT_EQ(decSextGetExponent(&z), 0);
  EXPECT_TRUE(decSextIsZero(&z));
  EXPECT_FALSE(decSextIsSigned(&z));
}

}  // namespace

namespace {

// Every 24-byte pattern is accepted, including coefficients above 10^52 - 1 that no operation
// produces: results stay well-formed and nothing reads or writes out of bounds.
TEST(DecimalRobustness, ArbitraryBitPatternsGiveWellFormedResults) {
  std::mt19937_64 rng(7);
  const uint64_t exponent_field_mask = uint64_t{0x3FFFF} << 45;
  auto random_value = [&] {
    decimal192 d{{rng(), rng() % 4 == 0 ? 0 : rng(), rng()}};
    if (rng() % 2 == 0)  // mostly ordinary exponents, so arithmetic really happens
      d.w[2] = (d.w[2] & ~exponent_field_mask) | (static_cast<uint64_t>(DEC192_BIAS - 40 + rng() % 80) << 45);
    return d;
  };
  const Binary ops[] = {decSextAdd, decSextSubtract, decSextMultiply, decSextDivide, decSextCompare, decSextQuantize,
                        decSextRemainder, decSextDivideInteger, decSextMax, decSextMin, power};
  for (int i = 0; i < 3000; ++i) {
    const decimal192 a = random_value(), b = random_value();
    for (Binary op : ops) {
      decContext c = ctx192();
      decimal192 r;
      op(&r, &a, &b, &c);
      const std::string text = show(r);
      ASSERT_LT(text.size(), static_cast<size_t>(DEC192_STRING));
      if (decSextIsFinite(&r)) {
        // A finished result always has at most 52 digits.
        const size_t digits = std::count_if(text.begin(), text.begin() + static_cast<long>(text.find('E') == std::string::npos ? text.size() : text.find('E')),
                                            [](char ch) { return ch >= '0' && ch <= '9'; });
        ASSERT_LE(digits, 52u + 7u) << text;  // plain notation may add up to 7 leading zeros
      }
    }
    decContext c = ctx192();
    char buf[DEC192_STRING];
    decSextToString(&a, buf);
    decSextToInt64(&a, &c, DEC_ROUND_FLOOR);
    decSextToDouble(&a, &c, 2);
    decimal192 r;
    decSextReduce(&r, &a, &c);
    decSextToIntegralValue(&r, &a, &c, DEC_ROUND_HALF_UP);
  }
}

}  // namespace
