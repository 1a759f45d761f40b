// Tests of the conversion between value types, the truth test and the boolean words.
#include <gtest/gtest.h>

#include <clocale>
#include <cstdint>
#include <string>

#include "common/test_util.h"
#include "convert.h"
#include "engine.h"

using testutil::Cell;
using testutil::render;

namespace {

constexpr int kTypes[] = {EXP_BOOLEAN, EXP_INTEGER, EXP_REAL, EXP_STRING, EXP_DATE, EXP_POINTER, EXP_OBJECT};

// Sets a cell of any type to the matrix's sample value of that type.
void set_sample(exp_symval *c, exp_class *cls) {
  static int token;
  switch (EXP_TYPE(c)) {
    case EXP_BOOLEAN: exp_symval_setint(c, 1); break;
    case EXP_INTEGER: exp_symval_setint(c, -7); break;
    case EXP_REAL: testutil::set_real(c, "2.5"); break;
    case EXP_STRING: exp_symval_setstr(c, "12"); break;
    case EXP_DATE: testutil::set_real(c, "2.5"); break;  // 1900-01-01 12:00
    case EXP_POINTER: exp_symval_setptr(c, &token); break;
    case EXP_OBJECT: exp_instantiate_object(c, nullptr); break;
  }
}

// Row: source type; column: destination type (boolean ... object).
struct MatrixRow {
  int from;
  std::string to[7];
};
const MatrixRow kMatrix[] = {
    {EXP_BOOLEAN, {"b:1", "i:1", "r:1", "s:true", "null", "null", "null"}},
    {EXP_INTEGER, {"b:1", "i:-7", "r:-7", "s:-7", "d:-7", "null", "null"}},
    {EXP_REAL, {"b:1", "i:2", "r:2.5", "s:2.5", "d:2.5", "null", "null"}},
    {EXP_STRING, {"null", "i:12", "r:12", "s:12", "null", "null", "null"}},
    {EXP_DATE, {"null", "i:2", "r:2.5", "s:01/01/00 12:00:00", "d:2.5", "null", "null"}},
    {EXP_POINTER, {"null", "null", "null", "null", "null", "p:set", "null"}},
    {EXP_OBJECT, {"null", "null", "null", "null", "null", "null", "o:set"}},
};

class ConvertTest : public ::testing::Test {
 protected:
  void SetUp() override {
    e_ = testutil::make_engine();
    ASSERT_EQ(exp_register_class(e_.get(), "thing", "", nullptr, &cls_), 0);
  }
  // Converts `src` into a fresh cell of `type` (limit 255 for strings) and renders the result.
  std::string convert(exp_symval *src, int type, int limit = 255) {
    Cell dst(type, limit, 0, cls_);
    if (type == EXP_OBJECT) exp_instantiate_object(dst, nullptr);  // a held instance must go too
    symval_convert(src, dst, e_.get());
    return render(dst);
  }
  testutil::EnginePtr e_;
  exp_class *cls_ = nullptr;
};

TEST_F(ConvertTest, EveryPairOfTypes) {
  for (const MatrixRow &row : kMatrix) {
    Cell src(row.from, 255, 0, cls_);
    set_sample(src, cls_);
    for (int to : kTypes) {
      SCOPED_TRACE(std::string(type_name(row.from)) + " -> " + type_name(to));
      EXPECT_EQ(convert(src, to), row.to[to - 1]);
    }
  }
}

TEST_F(ConvertTest, NullSourceGivesNullWhateverTheTypes) {
  for (int from : kTypes) {
    Cell src(from, 255, 0, cls_);
    for (int to : kTypes) {
      SCOPED_TRACE(std::string(type_name(from)) + " -> " + type_name(to));
      Cell dst(to, 255, 0, cls_);
      if (to == EXP_OBJECT) exp_instantiate_object(dst, nullptr);
      else set_sample(dst, cls_);
      symval_convert(src, dst, e_.get());
      EXPECT_EQ(render(dst), "null");
    }
  }
}

TEST_F(ConvertTest, ObjectsOfAnotherClassGiveNull) {
  exp_class *other = nullptr;
  ASSERT_EQ(exp_register_class(e_.get(), "other", "", nullptr, &other), 0);
  Cell src(EXP_OBJECT, 0, 0, cls_), dst(EXP_OBJECT, 0, 0, other);
  exp_instantiate_object(src, nullptr);
  exp_symval_coerce(e_.get(), src, dst);
  EXPECT_EQ(render(dst), "null");
  EXPECT_EQ(src->value.o->refcount, 1u);
}

TEST_F(ConvertTest, RealToStringIsTheShortestPlainDecimal) {
  struct Case {
    const char *value, *text;
  };
  const Case cases[] = {
      {"100", "100"},      {"1E+2", "100"},           {"2.50", "2.5"},      {"1.0", "1"},
      {"-0", "0"},         {"0.000123", "0.000123"},  {"0.0000001", "1E-7"}, {"1.5E-7", "1.5E-7"},
      {"-12.340", "-12.34"}, {"123456789012345678901234567890", "123456789012345678901234567890"},
      {"0.0", "0"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.value);
    Cell r(EXP_REAL);
    testutil::set_real(r, c.value);
    EXPECT_EQ(convert(r, EXP_STRING), std::string("s:") + c.text);
  }
  // A sum keeps the digits of its operands until it is shown: 0.1 + 0.2 shows "0.3".
  Cell sum(EXP_REAL);
  decContext ctx;
  decContextDefault(&ctx, DEC_INIT_DECIMAL192);
  decimal192 a = testutil::dec("0.1"), b = testutil::dec("0.2");
  decSextAdd(symval_dec(sum.get()), &a, &b, &ctx);
  symval_clear_null_flag(sum);
  EXPECT_EQ(convert(sum, EXP_STRING), "s:0.3");
  // A NaN real converts to null everywhere.
  Cell nan(EXP_REAL);
  decSextNaN(symval_dec(nan.get()));
  symval_clear_null_flag(nan);
  for (int to : kTypes) {
    if (to == EXP_REAL) continue;
    EXPECT_EQ(convert(nan, to), "null") << type_name(to);
  }
}

TEST_F(ConvertTest, RealsAndDatesRoundTowardMinusInfinityIntoIntegers) {
  struct Case {
    const char *value, *result;
  };
  const Case cases[] = {
      {"2.9", "i:2"},   {"-2.1", "i:-3"}, {"2.5", "i:2"},  {"-0.5", "i:-1"}, {"7", "i:7"},
      {"1E+30", "null"}, {"9223372036854775807", "i:9223372036854775807"},
      {"9223372036854775808", "null"}, {"-9223372036854775808", "i:-9223372036854775808"},
      {"-9223372036854775808.5", "null"}, {"9223372036854775807.9", "i:9223372036854775807"},
  };
  for (int from : {EXP_REAL, EXP_DATE}) {
    for (const Case &c : cases) {
      SCOPED_TRACE(std::string(type_name(from)) + " " + c.value);
      Cell r(from);
      testutil::set_real(r, c.value);
      EXPECT_EQ(convert(r, EXP_INTEGER), c.result);
    }
  }
}

TEST_F(ConvertTest, IntegersConvert) {
  Cell i(EXP_INTEGER);
  const int64_t values[] = {0, -7, INT64_MAX, INT64_MIN};
  const char *texts[] = {"0", "-7", "9223372036854775807", "-9223372036854775808"};
  for (size_t k = 0; k < 4; ++k) {
    exp_symval_setint(i, values[k]);
    EXPECT_EQ(convert(i, EXP_STRING), std::string("s:") + texts[k]);
    EXPECT_EQ(convert(i, EXP_REAL), std::string("r:") + texts[k]);
    EXPECT_EQ(convert(i, EXP_BOOLEAN), values[k] ? "b:1" : "b:0");
  }
  // A boolean's payload goes through as it is.
  Cell b(EXP_BOOLEAN);
  exp_symval_setint(b, 0);
  EXPECT_EQ(convert(b, EXP_STRING), "s:false");
  EXPECT_EQ(convert(b, EXP_REAL), "r:0");
}

// Exponents above 98253 need the coefficient padded with zeros (the format's clamp): every one up
// to the largest finite value converts exactly; one past it overflows to null.
TEST_F(ConvertTest, StringsToRealsReachTheTopOfTheExponentRange) {
  const std::string nines(51, '9');
  const std::string zeros(51, '0');
  const std::pair<std::string, std::string> cases[] = {
      {"1E+98253", "r:1E+98253"},
      {"1E+98254", "r:1.0E+98254"},
      {"1E+98304", "r:1." + zeros + "E+98304"},
      {"9." + nines + "E+98304", "r:9." + nines + "E+98304"},
      {"1E+98305", "null"},
      {"1E-98354", "r:1E-98354"},
  };
  for (const auto &[text, expected] : cases) {
    SCOPED_TRACE(text);
    Cell s(EXP_STRING, 80);
    exp_symval_setstr(s, text.c_str());
    EXPECT_EQ(convert(s, EXP_REAL), expected);
  }
}

TEST_F(ConvertTest, StringsToNumbers) {
  struct Case {
    const char *text, *as_int, *as_real;
  };
  const Case cases[] = {
      {" 42", "i:42", "null"},
      {"42 ", "i:42", "null"},
      {"\t\n42", "i:42", "null"},
      {"+5", "i:5", "r:5"},
      {"-0", "i:0", "r:-0"},
      {"1.5E3", "null", "r:1.5E+3"},
      {"2.50", "null", "r:2.50"},
      {"abc", "null", "null"},
      {"", "null", "null"},
      {"4 2", "null", "null"},
      {"1,000", "null", "null"},
      {"9223372036854775807", "i:9223372036854775807", "r:9223372036854775807"},
      {"9223372036854775808", "null", "r:9223372036854775808"},
      {"-9223372036854775808", "i:-9223372036854775808", "r:-9223372036854775808"},
      // More digits than the format holds is a rounded conversion: null.
      {"12345678901234567890123456789012345678901234567890123", "null", "null"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(std::string("'") + c.text + "'");
    Cell s(EXP_STRING, 80);
    exp_symval_setstr(s, c.text);
    EXPECT_EQ(convert(s, EXP_INTEGER), c.as_int);
    EXPECT_EQ(convert(s, EXP_REAL), c.as_real);
  }
}

TEST_F(ConvertTest, BooleanWords) {
  struct Case {
    const char *text;
    int word;
  };
  const Case cases[] = {
      {"true", 1}, {"TRUE", 1}, {"Yes", 1}, {"y", 1},  {"Y", 1},     {"1", 1},  {"T", 1},
      {"t", 1},    {"false", 0}, {"No", 0}, {"n", 0},  {"0", 0},     {"F", 0},  {"FALSE", 0},
      {"maybe", -1}, {"", -1},  {" true", -1}, {"true ", -1}, {"yess", -1}, {"2", -1}, {"tru", -1},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(std::string("'") + c.text + "'");
    EXPECT_EQ(string_to_bool(c.text), c.word);
    Cell s(EXP_STRING, 10);
    exp_symval_setstr(s, c.text);
    EXPECT_EQ(convert(s, EXP_BOOLEAN), c.word < 0 ? "null" : "b:" + std::to_string(c.word));
  }
  EXPECT_EQ(string_to_bool(nullptr), -1);
}

TEST(Truth, EveryTypeAndNull) {
  static int token;
  struct Case {
    const char *what;
    int type;
    void (*set)(exp_symval *);
    int truth;
  };
  const Case cases[] = {
      {"null boolean", EXP_BOOLEAN, [](exp_symval *) {}, 0},
      {"null string", EXP_STRING, [](exp_symval *) {}, 0},
      {"null pointer", EXP_POINTER, [](exp_symval *) {}, 0},
      {"false", EXP_BOOLEAN, [](exp_symval *c) { exp_symval_setint(c, 0); }, 0},
      {"true", EXP_BOOLEAN, [](exp_symval *c) { exp_symval_setint(c, 1); }, 1},
      {"integer -7", EXP_INTEGER, [](exp_symval *c) { exp_symval_setint(c, -7); }, 1},
      {"integer 0", EXP_INTEGER, [](exp_symval *c) { exp_symval_setint(c, 0); }, 0},
      {"real 0.1", EXP_REAL, [](exp_symval *c) { testutil::set_real(c, "0.1"); }, 1},
      {"real 0.00", EXP_REAL, [](exp_symval *c) { testutil::set_real(c, "0.00"); }, 0},
      {"real -0", EXP_REAL, [](exp_symval *c) { testutil::set_real(c, "-0"); }, 0},
      {"real NaN", EXP_REAL, [](exp_symval *c) {
         decSextNaN(symval_dec(c));
         symval_clear_null_flag(c);
       }, 0},
      {"date 0", EXP_DATE, [](exp_symval *c) { testutil::set_real(c, "0"); }, 0},
      {"date 1.5", EXP_DATE, [](exp_symval *c) { testutil::set_real(c, "1.5"); }, 1},
      {"empty string", EXP_STRING, [](exp_symval *c) { exp_symval_setstr(c, ""); }, 0},
      {"maybe", EXP_STRING, [](exp_symval *c) { exp_symval_setstr(c, "maybe"); }, 1},
      {"abc", EXP_STRING, [](exp_symval *c) { exp_symval_setstr(c, "abc"); }, 1},
      {"no", EXP_STRING, [](exp_symval *c) { exp_symval_setstr(c, "no"); }, 0},
      {"No", EXP_STRING, [](exp_symval *c) { exp_symval_setstr(c, "No"); }, 0},
      {"F", EXP_STRING, [](exp_symval *c) { exp_symval_setstr(c, "F"); }, 0},
      {"0", EXP_STRING, [](exp_symval *c) { exp_symval_setstr(c, "0"); }, 0},
      {"blank 0", EXP_STRING, [](exp_symval *c) { exp_symval_setstr(c, " 0"); }, 1},
      {"pointer set", EXP_POINTER, [](exp_symval *c) { exp_symval_setptr(c, &token); }, 1},
      {"pointer none", EXP_POINTER, [](exp_symval *c) { exp_symval_setptr(c, nullptr); }, 0},
      {"object", EXP_OBJECT, [](exp_symval *c) { exp_instantiate_object(c, nullptr); }, 0},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    Cell cell(c.type, 10);
    c.set(cell);
    EXPECT_EQ(symval_truth(cell), c.truth);
  }
  exp_symval untyped{};
  EXPECT_EQ(symval_truth(&untyped), 0);
}

// ---- dates ------------------------------------------------------------------------------------------

// Day count of 2026-12-06 15:13:44 (46362 days after 1899-12-30, plus the time of day).
constexpr double kDay = 46362.0 + (15 * 3600 + 13 * 60 + 44) / 86400.0;

class DateConvert : public ConvertTest {
 protected:
  void SetUp() override {
    ConvertTest::SetUp();
    ASSERT_NE(std::setlocale(LC_ALL, "C"), nullptr);
  }
  std::string date_text(double days, int limit = 255) {
    Cell d(EXP_DATE);
    exp_symval_setdbl(d, days);
    return convert(d, EXP_STRING, limit);
  }
};

TEST_F(DateConvert, DateToStringFollowsTheLocaleOrIso) {
  EXPECT_EQ(date_text(kDay), "s:12/06/26 15:13:44");
  exp_set_option(e_.get(), "DATE_ISO8601", "1");
  EXPECT_EQ(date_text(kDay), "s:2026-12-06 15:13:44");
  // Milliseconds never show.
  EXPECT_EQ(date_text(kDay + 0.25 / 86400.0), "s:2026-12-06 15:13:44");
  EXPECT_EQ(date_text(-0.25), "s:1899-12-29 18:00:00");
  EXPECT_EQ(date_text(61), "s:1900-03-01 00:00:00");
  // Cut to the destination's limit in whole characters.
  EXPECT_EQ(date_text(kDay, 10), "s:2026-12-06");
  exp_set_option(e_.get(), "DATE_ISO8601", "0");
  EXPECT_EQ(date_text(kDay, 31), "s:12/06/26 15:13:44");
  EXPECT_EQ(date_text(kDay, 8), "s:12/06/26");
}

TEST_F(DateConvert, WithoutAnEngineDatesUseTheLocaleText) {
  Cell d(EXP_DATE), s(EXP_STRING, 40);
  exp_symval_setdbl(d, kDay);
  symval_convert(d, s, nullptr);
  EXPECT_EQ(render(s), "s:12/06/26 15:13:44");
}

TEST_F(DateConvert, DatesOutsideTheCalendarGiveNull) {
  EXPECT_EQ(date_text(-800000), "null");    // before year 0
  EXPECT_EQ(date_text(1e10), "null");       // after 9999
  Cell huge(EXP_DATE);
  testutil::set_real(huge, "1E+400");       // not a double at all
  EXPECT_EQ(convert(huge, EXP_STRING), "null");
}

TEST_F(DateConvert, StringToDateAndBack) {
  exp_set_option(e_.get(), "DATE_ISO8601", "1");
  struct Case {
    const char *text, *shown;
  };
  const Case cases[] = {
      {"2026-12-06 15:13:44", "s:2026-12-06 15:13:44"},
      {"2026-12-06T15:13:44.250", "s:2026-12-06 15:13:44"},
      {"2026-12-06", "s:2026-12-06 00:00:00"},
      {"12/06/26 15:13:44", "s:2026-12-06 15:13:44"},  // the "C" locale's own text
      {"12/06/2026", "s:2026-12-06 00:00:00"},
      {"1900-03-01", "s:1900-03-01 00:00:00"},
      {"2026-02-30", "null"},
      {"13/01/26", "null"},
      {"tomorrow", "null"},
      {"", "null"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.text);
    Cell s(EXP_STRING, 40), d(EXP_DATE);
    exp_symval_setstr(s, c.text);
    symval_convert(s, d, e_.get());
    EXPECT_EQ(convert(d, EXP_STRING), c.shown);
  }
}

TEST_F(DateConvert, BooleansAndDatesDoNotMix) {
  Cell b(EXP_BOOLEAN), d(EXP_DATE);
  exp_symval_setint(b, 1);
  EXPECT_EQ(convert(b, EXP_DATE), "null");
  exp_symval_setdbl(d, kDay);
  EXPECT_EQ(convert(d, EXP_BOOLEAN), "null");
  EXPECT_EQ(convert(d, EXP_INTEGER), "i:46362");
}

TEST_F(DateConvert, FormatMatchesTheConversion) {
  Cell d(EXP_DATE), i(EXP_INTEGER), p(EXP_POINTER);
  exp_symval_setdbl(d, kDay);
  char buf[256];
  ASSERT_TRUE(symval_format(d, e_.get(), buf, sizeof buf));
  EXPECT_EQ(std::string("s:") + buf, convert(d, EXP_STRING));
  exp_symval_setint(i, -12);
  ASSERT_TRUE(symval_format(i, e_.get(), buf, sizeof buf));
  EXPECT_STREQ(buf, "-12");
  exp_symval_setptr(p, buf);
  EXPECT_FALSE(symval_format(p, e_.get(), buf, sizeof buf));
  EXPECT_FALSE(symval_format(Cell(EXP_REAL).get(), e_.get(), buf, sizeof buf));
}

}  // namespace
