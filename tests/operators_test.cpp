// Tests of the 27 operator handlers, called straight from the operator table on cells prepared
// the way the executor prepares them.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <iterator>
#include <random>
#include <string>

#include "common/test_util.h"
#include "errors.h"
#include "operators.h"
#include "support/decimal.h"

using testutil::Cell;
using testutil::render;

namespace {

class OperatorTest : public ::testing::Test {
 protected:
  void SetUp() override { e_ = testutil::make_engine(); }
  // Runs handler `op` as a call instruction would: the result loses its null flag first
  // (objects aside), then argv holds the operands and the (absent) self cell.
  int apply(int op, exp_symval *result, exp_symval *a, exp_symval *b = nullptr) {
    if (EXP_TYPE(result) != EXP_OBJECT) result->flags &= ~uint32_t{EXP_NULL};
    exp_symval *argv[3] = {a, b, nullptr};
    return exp_opcode_table[op].handler(e_.get(), result, b ? 2 : 1, argv);
  }
  // The six comparisons from `first_op` on, in the order >, <, >=, <=, ==, != as "1", "0" or
  // "n" for null.
  std::string compare_all(int first_op, exp_symval *a, exp_symval *b) {
    std::string out;
    for (int op = first_op; op < first_op + 6; ++op) {
      Cell r(EXP_BOOLEAN);
      EXPECT_EQ(apply(op, r, a, b), 0);
      out += EXP_IS_NULL(r.get()) ? 'n' : (r->value.i ? '1' : '0');
    }
    return out;
  }
  std::string message() { return testutil::last_message(e_.get()); }
  testutil::EnginePtr e_;
};

// An integer cell: a value, or null when `null` is set.
struct IntOperand {
  int64_t v;
  bool null = false;
};
void set_int(exp_symval *c, IntOperand x) {
  if (x.null) exp_symval_setnull(c);
  else exp_symval_setint(c, x.v);
}

constexpr IntOperand kNull{0, true};

TEST_F(OperatorTest, IntegerArithmetic) {
  struct Case {
    int op;
    IntOperand a, b;
    const char *expected;
    int error;
  };
  const Case cases[] = {
      {OP_ADD_INT, {1}, {2}, "i:3", 0},
      {OP_ADD_INT, {INT64_MAX}, {1}, "null", 0},
      {OP_ADD_INT, {INT64_MIN}, {-1}, "null", 0},
      {OP_ADD_INT, {INT64_MAX}, {INT64_MIN}, "i:-1", 0},
      {OP_ADD_INT, kNull, {1}, "null", 0},
      {OP_SUB_INT, {INT64_MIN}, {1}, "null", 0},
      {OP_SUB_INT, {0}, {INT64_MIN}, "null", 0},
      {OP_SUB_INT, {-1}, {INT64_MIN}, "i:9223372036854775807", 0},
      {OP_SUB_INT, {5}, kNull, "null", 0},
      {OP_MUL_INT, {4611686018427387904}, {2}, "null", 0},
      {OP_MUL_INT, {INT64_MIN}, {-1}, "null", 0},  // unary minus of the smallest integer
      {OP_MUL_INT, {INT64_MAX}, {-1}, "i:-9223372036854775807", 0},
      {OP_MUL_INT, {-4611686018427387904}, {2}, "i:-9223372036854775808", 0},
      {OP_DIV_INT, {7}, {2}, "i:3", 0},
      {OP_DIV_INT, {-7}, {2}, "i:-3", 0},
      {OP_DIV_INT, {7}, {0}, "", ERR_DIVIDE_BY_ZERO},
      {OP_DIV_INT, {INT64_MIN}, {-1}, "null", 0},
      {OP_DIV_INT, kNull, {0}, "null", 0},
      {OP_DIV_INT, {7}, kNull, "null", 0},
      {OP_MOD, {-7}, {3}, "i:-1", 0},
      {OP_MOD, {-7}, {2}, "i:-1", 0},
      {OP_MOD, {7}, {-2}, "i:1", 0},
      {OP_MOD, {2}, {2}, "i:0", 0},
      {OP_MOD, {7}, {0}, "", ERR_DIVIDE_BY_ZERO},
      {OP_MOD, {INT64_MIN}, {-1}, "i:0", 0},
      {OP_MOD, kNull, {0}, "null", 0},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(std::string(exp_opcode_table[c.op].name) + " " + std::to_string(c.a.v) + ", " +
                 std::to_string(c.b.v));
    Cell a(EXP_INTEGER), b(EXP_INTEGER), r(EXP_INTEGER);
    set_int(a, c.a);
    set_int(b, c.b);
    exp_symval_setint(r, 99);
    EXPECT_EQ(apply(c.op, r, a, b), c.error);
    if (c.error) {
      EXPECT_EQ(message(), "Divide by zero");
      continue;
    }
    EXPECT_EQ(render(r), c.expected);
  }
}

// A real cell: decimal text, or null for nullptr.
void set_dec(exp_symval *c, const char *text) {
  if (text) testutil::set_real(c, text);
  else exp_symval_setnull(c);
}

TEST_F(OperatorTest, RealArithmeticStoresReducedResults) {
  struct Case {
    int op;
    const char *a, *b, *expected;
    int error;
  };
  const Case cases[] = {
      {OP_ADD_REAL, "1.10", "2.20", "r:3.3", 0},
      {OP_ADD_REAL, "1.50", "1.50", "r:3", 0},
      {OP_ADD_REAL, "0.1", "0.2", "r:0.3", 0},
      {OP_ADD_REAL, "100", "0", "r:1E+2", 0},  // reduced; shown as "100" only when converted
      {OP_ADD_REAL, nullptr, "1", "null", 0},
      {OP_SUB_REAL, "5.5", "0.50", "r:5", 0},
      {OP_SUB_REAL, "1", nullptr, "null", 0},
      {OP_MUL_REAL, "1.5", "2", "r:3", 0},
      {OP_MUL_REAL, "2.50", "1", "r:2.5", 0},
      {OP_DIV_REAL, "7.0", "2", "r:3.5", 0},
      {OP_DIV_REAL, "1", "3", "r:0.3333333333333333333333333333333333333333333333333333", 0},
      {OP_DIV_REAL, "7", "0", "", ERR_DIVIDE_BY_ZERO},
      {OP_DIV_REAL, "7", "-0.00", "", ERR_DIVIDE_BY_ZERO},
      {OP_DIV_REAL, nullptr, "0", "null", 0},
      {OP_DIV_REAL, "7", nullptr, "null", 0},
      {OP_SUB_REAL, "Infinity", "Infinity", "null", 0},  // NaN result
      {OP_MUL_REAL, "NaN", "1", "null", 0},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(std::string(exp_opcode_table[c.op].name) + " " + (c.a ? c.a : "null") + ", " +
                 (c.b ? c.b : "null"));
    Cell a(EXP_REAL), b(EXP_REAL), r(EXP_REAL);
    set_dec(a, c.a);
    set_dec(b, c.b);
    EXPECT_EQ(apply(c.op, r, a, b), c.error);
    if (c.error) {
      EXPECT_EQ(message(), "Divide by zero");
      continue;
    }
    EXPECT_EQ(render(r), c.expected);
  }
}

// The decimal handlers take shortcuts for ordinary operands; over generated operands (coefficient
// sizes, trailing zeros, signs, exponents up to the limits, zeros and specials) each must store
// exactly what the core operation followed by a reduce gives, and null for a NaN.
TEST_F(OperatorTest, RealArithmeticMatchesTheCoreOperationThenReduce) {
  struct Handler {
    int op;
    DecimalOp core;
  };
  const Handler handlers[] = {{OP_ADD_REAL, decSextAdd}, {OP_SUB_REAL, decSextSubtract}, {OP_MUL_REAL, decSextMultiply}};
  std::mt19937_64 rng(23);
  auto operand = [&rng]() {
    decimal192 d{};
    d.w[0] = rng() >> (rng() % 64);
    if (rng() % 4 == 0) d.w[0] *= 1000;
    const int64_t exponents[] = {DEC192_EMIN, DEC192_EMIN / 2 - 1, DEC192_EMAX - DEC192_PMAX + 1,
                                 DEC192_EMAX / 2 + 1, DEC192_EXP_MAX};
    int64_t exponent = rng() % 4 ? static_cast<int64_t>(rng() % 41) - 20 : exponents[rng() % std::size(exponents)];
    uint64_t field = static_cast<uint64_t>(exponent + DEC192_BIAS);
    if (rng() % 50 == 0) field = DEC192_SPECIAL_INF + rng() % 3;
    d.w[2] = (rng() & (uint64_t{1} << 63)) | (field << 45);
    return d;
  };
  for (int i = 0; i < 100000; ++i) {
    const Handler &h = handlers[rng() % std::size(handlers)];
    const decimal192 x = operand();
    decimal192 y = operand();
    if (rng() % 8 == 0) y = decimal192{{x.w[0], x.w[1], x.w[2] ^ (rng() << 63)}};  // cancels, or doubles
    Cell a(EXP_REAL), b(EXP_REAL), r(EXP_REAL);
    std::memcpy(&a->value.d, &x, sizeof x);
    std::memcpy(&b->value.d, &y, sizeof y);
    a->flags &= ~uint32_t{EXP_NULL};
    b->flags &= ~uint32_t{EXP_NULL};
    ASSERT_EQ(apply(h.op, r, a, b), 0);
    decContext ctx = kDecimal192Context;
    decimal192 expected;
    h.core(&expected, &x, &y, &ctx);
    const bool nan = decSextIsNaN(&expected) != 0;
    if (!nan) decSextReduce(&expected, &expected, &ctx);
    ASSERT_EQ(EXP_IS_NULL(r.get()), nan) << exp_opcode_table[h.op].name << " " << i;
    if (nan) continue;
    ASSERT_EQ(std::memcmp(&r->value.d, &expected, sizeof expected), 0) << exp_opcode_table[h.op].name << " " << i;
  }
}

TEST_F(OperatorTest, DatesAddAsDayCounts) {
  Cell day(EXP_DATE), one(EXP_REAL), r(EXP_DATE);
  testutil::set_real(day, "46362.5");
  testutil::set_real(one, "1");
  ASSERT_EQ(apply(OP_ADD_REAL, r, day, one), 0);
  EXPECT_EQ(render(r), "d:46363.5");
  ASSERT_EQ(apply(OP_SUB_REAL, r, day, day), 0);
  EXPECT_EQ(render(r), "d:0");
}

TEST_F(OperatorTest, ResultMayBeAnOperand) {
  Cell a(EXP_REAL), b(EXP_REAL);
  testutil::set_real(a, "1.25");
  testutil::set_real(b, "0.75");
  ASSERT_EQ(apply(OP_ADD_REAL, a, a, b), 0);
  EXPECT_EQ(render(a), "r:2");
  Cell i(EXP_INTEGER), j(EXP_INTEGER);
  exp_symval_setint(i, 6);
  exp_symval_setint(j, 7);
  ASSERT_EQ(apply(OP_MUL_INT, j, i, j), 0);
  EXPECT_EQ(render(j), "i:42");
}

// Comparison results for one pair, as compare_all gives them.
struct Comparison {
  const char *a, *b, *results;
};

TEST_F(OperatorTest, IntegerAndDecimalComparisons) {
  const Comparison ints[] = {
      {"10", "9", "101001"}, {"9", "10", "010101"}, {"5", "5", "001110"},
      {"-9223372036854775808", "9223372036854775807", "010101"}, {nullptr, "1", "nnnnnn"},
  };
  for (const Comparison &c : ints) {
    SCOPED_TRACE(std::string(c.a ? c.a : "null") + " vs " + c.b);
    Cell a(EXP_INTEGER), b(EXP_INTEGER);
    if (c.a) exp_symval_setint(a, std::stoll(c.a));
    exp_symval_setint(b, std::stoll(c.b));
    EXPECT_EQ(compare_all(OP_GT, a, b), c.results);
  }
  const Comparison decs[] = {
      {"1", "1.0", "001110"},   {"2.5", "2.49", "101001"}, {"-0", "0", "001110"},
      {"1E+3", "999.9", "101001"}, {"-1", "1", "010101"},   {"1", nullptr, "nnnnnn"},
      {"NaN", "1", "nnnnnn"},
  };
  for (const Comparison &c : decs) {
    SCOPED_TRACE(std::string(c.a) + " vs " + (c.b ? c.b : "null"));
    Cell a(EXP_REAL), b(EXP_REAL);
    set_dec(a, c.a);
    set_dec(b, c.b);
    EXPECT_EQ(compare_all(OP_GT, a, b), c.results);
  }
}

TEST_F(OperatorTest, StringComparisonsAreByteOrder) {
  const Comparison cases[] = {
      {"abc", "abd", "010101"}, {"B", "a", "010101"},  {"a", "a ", "010101"},
      {"10", "9", "010101"},    {"same", "same", "001110"}, {"", "a", "010101"},
      {"z", "\xC3\xA9", "010101"},  // é sorts after every ASCII character
      {"\xE2\x82\xAC", "\xC3\xA9", "101001"},
  };
  for (const Comparison &c : cases) {
    SCOPED_TRACE(std::string(c.a) + " vs " + c.b);
    Cell a(EXP_STRING, 10), b(EXP_STRING, 10);
    exp_symval_setstr(a, c.a);
    exp_symval_setstr(b, c.b);
    EXPECT_EQ(compare_all(OP_GT_STR, a, b), c.results);
  }
  Cell a(EXP_STRING, 10), null_b(EXP_STRING, 10);
  exp_symval_setstr(a, "x");
  EXPECT_EQ(compare_all(OP_GT_STR, a, null_b), "nnnnnn");
}

// Three-valued logic over true ('t'), false ('f') and null ('n').
void set_tri(exp_symval *c, char v) {
  if (v == 'n') exp_symval_setnull(c);
  else exp_symval_setint(c, v == 't' ? 1 : 0);
}
char tri_of(exp_symval *c) { return EXP_IS_NULL(c) ? 'n' : (c->value.i ? 't' : 'f'); }

TEST_F(OperatorTest, AndOrNotFollowThreeValuedLogic) {
  struct Case {
    char a, b, and_, or_;
  };
  const Case cases[] = {
      {'t', 't', 't', 't'}, {'t', 'f', 'f', 't'}, {'f', 't', 'f', 't'}, {'f', 'f', 'f', 'f'},
      {'n', 'n', 'n', 'n'}, {'n', 't', 'n', 't'}, {'n', 'f', 'f', 'n'}, {'t', 'n', 'n', 't'},
      {'f', 'n', 'f', 'n'},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(std::string(1, c.a) + " " + c.b);
    Cell a(EXP_BOOLEAN), b(EXP_BOOLEAN), r(EXP_BOOLEAN);
    set_tri(a, c.a);
    set_tri(b, c.b);
    ASSERT_EQ(apply(OP_AND, r, a, b), 0);
    EXPECT_EQ(tri_of(r), c.and_);
    ASSERT_EQ(apply(OP_OR, r, a, b), 0);
    EXPECT_EQ(tri_of(r), c.or_);
  }
  for (char v : {'t', 'f', 'n'}) {
    Cell a(EXP_BOOLEAN), r(EXP_BOOLEAN);
    set_tri(a, v);
    ASSERT_EQ(apply(OP_NOT, r, a), 0);
    EXPECT_EQ(tri_of(r), v == 'n' ? 'n' : (v == 't' ? 'f' : 't'));
  }
}

TEST_F(OperatorTest, LogicUsesTheTruthTestOfAnyType) {
  Cell word(EXP_STRING, 10), number(EXP_REAL), r(EXP_BOOLEAN);
  exp_symval_setstr(word, "no");
  testutil::set_real(number, "0.5");
  ASSERT_EQ(apply(OP_OR, r, word, number), 0);
  EXPECT_EQ(tri_of(r), 't');
  ASSERT_EQ(apply(OP_AND, r, word, number), 0);
  EXPECT_EQ(tri_of(r), 'f');
  ASSERT_EQ(apply(OP_NOT, r, word), 0);
  EXPECT_EQ(tri_of(r), 't');
  EXPECT_EQ(r->value.i, 1);
}

TEST_F(OperatorTest, ConcatenationTreatsOneNullAsEmptyAndGrowsTheResult) {
  struct Case {
    const char *a, *b;  // nullptr: null operand
    const char *expected;
    uint32_t limit;
  };
  const Case cases[] = {
      {nullptr, nullptr, "null", 2},
      {nullptr, "x", "s:x", 4},
      {"x", nullptr, "s:x", 3},
      {"5", "6", "s:56", 7},
      {"abc", "defg", "s:abcdefg", 7},
      {"\xC3\xA9\xC3\xA9\xC3\xA9", "\xE2\x82\xAC\xE2\x82\xAC\xE2\x82\xAC\xE2\x82\xAC",
       "s:\xC3\xA9\xC3\xA9\xC3\xA9\xE2\x82\xAC\xE2\x82\xAC\xE2\x82\xAC\xE2\x82\xAC", 7},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(std::string(c.a ? c.a : "null") + " & " + (c.b ? c.b : "null"));
    Cell a(EXP_STRING, 3), b(EXP_STRING, 4), r(EXP_STRING, 2);
    if (c.a) exp_symval_setstr(a, c.a);
    if (c.b) exp_symval_setstr(b, c.b);
    ASSERT_EQ(apply(OP_CONCAT, r, a, b), 0);
    EXPECT_EQ(render(r), c.expected);
    EXPECT_EQ(r->len, c.limit);
  }
}

TEST_F(OperatorTest, ConcatenationKeepsWorkingAcrossShrinkAndGrowth) {
  Cell a(EXP_STRING, 3), b(EXP_STRING, 4), r(EXP_STRING, 7);
  exp_symval_setstr(b, "wxyz");
  ASSERT_EQ(apply(OP_CONCAT, r, a, b), 0);  // null left: limit shrinks to 4
  EXPECT_EQ(render(r), "s:wxyz");
  exp_symval_setstr(a, "abc");
  ASSERT_EQ(apply(OP_CONCAT, r, a, b), 0);
  EXPECT_EQ(render(r), "s:abcwxyz");
  EXPECT_EQ(r->len, 7u);
}

TEST_F(OperatorTest, CopyCoerceConvertsAndNeverFails) {
  Cell text(EXP_STRING, 10), number(EXP_INTEGER), real(EXP_REAL);
  exp_symval_setstr(text, "abc");
  exp_symval_setint(number, 5);
  EXPECT_EQ(apply(OP_COPY_COERCE, number, text), 0);
  EXPECT_EQ(render(number), "null");
  exp_symval_setstr(text, "12");
  EXPECT_EQ(apply(OP_COPY_COERCE, number, text), 0);
  EXPECT_EQ(render(number), "i:12");
  testutil::set_real(real, "2.7");
  EXPECT_EQ(apply(OP_COPY_COERCE, number, real), 0);
  EXPECT_EQ(render(number), "i:2");
  EXPECT_EQ(apply(OP_COPY_COERCE, text, real), 0);
  EXPECT_EQ(render(text), "s:2.7");
}

TEST_F(OperatorTest, NullCheckRaises103AndWritesNothing) {
  Cell value(EXP_INTEGER), r(EXP_INTEGER);
  exp_symval_setint(r, 8);
  EXPECT_EQ(apply(OP_NULL_CHECK, r, value), ERR_NULL_USE);
  EXPECT_EQ(message(), "Invalid use of null");
  exp_symval_setint(value, 0);
  EXPECT_EQ(apply(OP_NULL_CHECK, r, value), 0);
  EXPECT_EQ(render(r), "i:8");
}

TEST(OperatorTable, NamesInOrder) {
  const char *names[] = {
      "copy/coerce",       "add integer",      "add real",         "and",
      "or",                "greater-than",     "less-than",        "greater-than-equal",
      "less-than-equal",   "equal",            "not-equal",        "greater-than str",
      "less-than str",     "greater-than-equal str", "less-than-equal str", "equal str",
      "not-equal",         "subtract int",     "subtract real",    "multiply int",
      "divide int",        "multiply real",    "divide real",      "not",
      "concatenate",       "modulo",           "null check",
  };
  static_assert(sizeof names / sizeof names[0] == OP_COUNT);
  for (int i = 0; i < OP_COUNT; ++i) {
    EXPECT_STREQ(exp_opcode_table[i].name, names[i]) << i;
    ASSERT_NE(exp_opcode_table[i].handler, nullptr) << i;
    EXPECT_STREQ(opcode_name(exp_opcode_table[i].handler), names[i]);
  }
  EXPECT_EQ(exp_opcode_table[16].name, exp_opcode_table[10].name);  // one shared text
  EXPECT_NE(exp_opcode_table[16].handler, exp_opcode_table[10].handler);
  EXPECT_EQ(exp_opcode_table[OP_COUNT].handler, nullptr);
  EXPECT_EQ(exp_opcode_table[OP_COUNT].name, nullptr);
  EXPECT_EQ(opcode_name(nullptr), nullptr);
}

}  // namespace
