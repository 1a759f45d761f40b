// Numeric built-ins through compiled programs. Rows with a real result show the decimal as
// stored ("r:2.50"); rows with a string result show it as programs see it as text.
#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "common/builtin_run.h"

namespace {

// Sets a real cell from decimal text (literals have no exponent form).
void set_real_text(exp_symval *cell, const char *text) { ASSERT_EQ(exp_symval_setreal_text(cell, text), 0) << text; }

class NumericTest : public builtin_run::BuiltinTest {
 protected:
  // The real result of `text` as a double (NaN when null), for approximate checks.
  double real_of(const std::string &text) {
    exp_pcode *p = nullptr;
    EXPECT_EQ(exp_make_pcode(e_.get(), text.c_str(), &p, EXP_REAL, 0, 0, nullptr), 0) << text;
    exp_symval *result = nullptr;
    EXPECT_EQ(exp_execute(e_.get(), p, &result), 0) << text;
    double d = std::nan("");
    if (result && !EXP_IS_NULL(result)) exp_symval_getdbl(result, &d);
    exp_free_pcode(e_.get(), p);
    return d;
  }
};

TEST_F(NumericTest, AbsCeilFloor) {
  set_real_text(symbol("tiny", EXP_REAL), "-1E-40");
  expect_rows({{"abs(-0.50)", "s:0.5"},
               {"abs(3)", "s:3"},
               {"abs(tiny)", "s:1E-40"},
               {"abs(null)", "null"},
               {"ceil(2.1)", "s:3"},
               {"ceil(-2.1)", "s:-2"},
               {"ceil(-0.5)", "s:0"},
               {"ceil(5)", "s:5"},
               {"floor(2.9)", "s:2"},
               {"floor(-2.1)", "s:-3"},
               {"floor(-0.5)", "s:-1"},
               {"ceil(null)", "null"},
               {"floor(null)", "null"}},
              EXP_STRING);
}

// Half-up: a 5 in the first dropped digit rounds away from zero. Negative places keep
// whole-number form; the quantum's trailing zeros stay in the stored value.
TEST_F(NumericTest, RoundHalfUpAndNegativePlaces) {
  expect_rows({{"round(1234.5678, 2)", "s:1234.57"},
               {"round(1234.5678, -2)", "s:1200"},
               {"round(1250, -2)", "s:1300"},
               {"round(-1250, -2)", "s:-1300"},
               {"round(2.5)", "s:3"},
               {"round(-2.5)", "s:-3"},
               {"round(-0.5)", "s:-1"},
               {"round(2.45, 1)", "s:2.5"},
               {"round(1.005, 2)", "s:1.01"},
               {"round(0.4)", "s:0"},
               {"round(null)", "null"},
               {"round(1.5, null)", "null"}},
              EXP_STRING);
  expect_rows({{"round(2.5, 2)", "r:2.50"},
               {"round(1234, -2)", "r:1200"},
               {"round(7)", "r:7"}},
              EXP_REAL);
}

// Places far outside the format's reach give null, never a crash or a wrong number.
TEST_F(NumericTest, RoundOutOfRangeIsNull) {
  set_real_text(symbol("huge", EXP_REAL), "1E+60");
  expect_rows({{"round(1.5, 2147483647)", "null"},
               {"round(1.5, -2147483648)", "null"},
               {"round(1.5, 60)", "null"},
               {"round(huge, -2)", "null"}},
              EXP_REAL);
}

// A negative base with a fractional exponent has no real power: the result is null, and so is
// everything computed from it.
TEST_F(NumericTest, PowAndItsNaNActAsNull) {
  expect_rows({{"pow(2, 10)", "s:1024"},
               {"pow(2, -1)", "s:0.5"},
               {"pow(4, 0.5)", "s:2"},
               {"pow(-2, 3)", "s:-8"},
               {"pow(10, 0)", "s:1"},
               {"pow(2, null)", "null"},
               {"pow(null, 2)", "null"},
               {"pow(-8, 0.5)", "null"},
               {"pow(-8, 0.5) + 1", "null"},
               {"max(pow(-8, 0.5), 2)", "s:2"}},
              EXP_STRING);
  EXPECT_EQ(run("pow(-8, 0.5) == pow(-8, 0.5)", EXP_BOOLEAN), "null");
}

TEST_F(NumericTest, MaxMinSkipNulls) {
  set_real_text(symbol("tiny", EXP_REAL), "1E-30");
  set_real_text(symbol("huge", EXP_REAL), "-1E+30");
  expect_rows({{"max(1, null, 3, 2)", "r:3"},
               {"min(4, null, -1)", "r:-1"},
               {"min(null, null)", "null"},
               {"max(null)", "null"},
               {"max(7)", "r:7"},
               {"max(1.0, 1.00)", "r:1.0"},
               {"min(2.50, 2.5)", "r:2.50"},
               {"max(-1, -2, -3, -0.5, -4)", "r:-0.5"},
               {"min(tiny, 0, huge)", "r:-1E+30"},
               {"max(null, 5, null)", "r:5"}},
              EXP_REAL);
}

TEST_F(NumericTest, NormsinvValuesAndBounds) {
  struct Row {
    const char *text;
    double expected;
  };
  const Row rows[] = {
      {"normsinv(0.5)", 0.0},         {"normsinv(0.975)", 1.959963985},
      {"normsinv(0.01)", -2.326347874}, {"normsinv(0.001)", -3.090232306},
      {"normsinv(0.999)", 3.090232306}, {"normsinv(0.02425)", -1.972961},
      {"normsinv(0.84134474)", 1.0},
  };
  for (const Row &r : rows) EXPECT_NEAR(real_of(r.text), r.expected, 2e-6) << r.text;
  set_real_text(symbol("vast", EXP_REAL), "1E+99999");
  expect_rows({{"normsinv(0)", "null"},
               {"normsinv(1)", "null"},
               {"normsinv(null)", "null"},
               {"normsinv(1.5)", "r:0"},
               {"normsinv(-0.1)", "r:0"},
               {"normsinv(vast)", "null"}},
              EXP_REAL);
}

TEST_F(NumericTest, IsnumberForms) {
  exp_symval *when = symbol("when", EXP_DATE);
  exp_symval_setdbl(when, 46000.5);
  expect_rows({{"isnumber(5)", "b:1"},
               {"isnumber(5.5)", "b:1"},
               {"isnumber(\" 7 \")", "b:1"},
               {"isnumber(\"12\")", "b:1"},
               {"isnumber(\" -1.5 \")", "b:1"},
               {"isnumber(\"1e5\")", "b:1"},
               {"isnumber(\"+.5\")", "b:1"},
               {"isnumber(\"\t42\n\")", "b:1"},
               {"isnumber(\"" + std::string(200, '9') + "\")", "b:1"},
               {"isnumber(\"12 34\")", "b:0"},
               {"isnumber(\"1,000\")", "b:0"},
               {"isnumber(\"12abc\")", "b:0"},
               {"isnumber(\"0x10\")", "b:0"},
               {"isnumber(\"NaN\")", "b:0"},
               {"isnumber(\"\")", "b:0"},
               {"isnumber(\"   \")", "b:0"},
               {"isnumber(\"١٢\")", "b:0"},
               {"isnumber(true)", "b:0"},
               {"isnumber(when)", "b:0"},
               {"isnumber(null)", "null"}},
              EXP_BOOLEAN);
}

}  // namespace
