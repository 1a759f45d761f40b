// Date, time and locale built-ins through compiled programs, and the exported calendar helpers.
#include <gtest/gtest.h>

#include <clocale>
#include <cstdlib>
#include <ctime>
#include <string>
#include <thread>
#include <vector>

#include "common/builtin_run.h"
#include "support/dates.h"

namespace {

class DatesTest : public builtin_run::BuiltinTest {
 protected:
  void TearDown() override { std::setlocale(LC_ALL, "C"); }

  // A date symbol holding the given calendar date and time.
  void date_symbol(const char *name, int y, int mo, int d, int h, int mi, int s, int ms) {
    double days = 0;
    ASSERT_TRUE(vts_compose_date_milli(y, mo, d, h, mi, s, ms, &days));
    exp_symval_setdbl(symbol(name, EXP_DATE), days);
  }

  // The real result of `text` as a double.
  double real_of(const std::string &text) {
    exp_pcode *p = nullptr;
    EXPECT_EQ(exp_make_pcode(e_.get(), text.c_str(), &p, EXP_REAL, 0, 0, nullptr), 0) << text;
    exp_symval *result = nullptr;
    EXPECT_EQ(exp_execute(e_.get(), p, &result), 0) << text;
    double d = -1;
    if (result) exp_symval_getdbl(result, &d);
    exp_free_pcode(e_.get(), p);
    return d;
  }
};

TEST(ExportedDates, ComposeAndDecomposeAreInverse) {
  double days = 0;
  ASSERT_EQ(exp_compose_date(1900, 3, 1, 0, 0, 0, &days), 1);
  EXPECT_EQ(days, 61.0);
  ASSERT_EQ(exp_compose_date(2026, 3, 7, 14, 5, 9, &days), 1);
  int y, mo, d, h, mi, s;
  ASSERT_EQ(exp_decompose_date(days, &y, &mo, &d, &h, &mi, &s), 1);
  EXPECT_EQ((std::vector<int>{y, mo, d, h, mi, s}), (std::vector<int>{2026, 3, 7, 14, 5, 9}));
  EXPECT_EQ(exp_compose_date(2026, 13, 1, 0, 0, 0, &days), 0);
  EXPECT_EQ(exp_compose_date(2025, 2, 29, 0, 0, 0, &days), 0);
  EXPECT_EQ(exp_decompose_date(1e12, &y, &mo, &d, &h, &mi, &s), 0);
}

// With the zone one hour east of UTC, local time is 1/24 day ahead of UTC.
TEST_F(DatesTest, TodayMinusTodaygmtIsTheZoneOffset) {
  const char *old = std::getenv("TZ");
  std::string saved = old ? old : "";
  setenv("TZ", "UTC-1", 1);
  tzset();
  EXPECT_NEAR(real_of("today() - todaygmt()"), 1.0 / 24, 1.0 / 86400);
  EXPECT_NEAR(real_of("todayutc() - todaygmt()"), 0.0, 1.0 / 86400);
  if (old) setenv("TZ", saved.c_str(), 1);
  else unsetenv("TZ");
  tzset();
  EXPECT_EQ(run("today()", EXP_DATE).substr(0, 2), "d:");
}

TEST_F(DatesTest, FormatdateTokens) {
  date_symbol("d", 2026, 3, 7, 14, 5, 9, 42);
  date_symbol("early", 12, 11, 30, 9, 0, 0, 7);
  expect_rows({{"formatdate(d, \"YYYY-MM-DD hh:mm:ss.ms\")", "s:2026-03-07 14:05:09.042"},
               {"formatdate(d, \"DD/MM/YY\")", "s:07/03/26"},
               {"formatdate(d, \"DD MMMM YYYY\")", "s:07 March 2026"},
               {"formatdate(d, \"MMM\")", "s:Mar"},
               {"formatdate(d, \"Day DD\")", "s:Day 07"},
               {"formatdate(d, \"MMMMM\")", "s:MarchM"},
               {"formatdate(d, \"MMMMMM\")", "s:March03"},
               {"formatdate(d, \"Y M D h m s\")", "s:Y M D h m s"},
               {"formatdate(d, \"yyyy dd HH SS\")", "s:yyyy dd HH SS"},
               {"formatdate(d, \"\")", "s:"},
               {"formatdate(early, \"YYYY\")", "s:0012"},
               {"formatdate(early, \"YY\")", "s:12"},
               {"formatdate(early, \"ms hh\")", "s:007 09"},
               {"formatdate(d, \"日付: DD.MM.YYYY — hh時\")", "s:日付: 07.03.2026 — 14時"},
               {"formatdate(null, \"YYYY\")", "null"},
               {"formatdate(d, null)", "null"}},
              EXP_STRING);
}

// The result starts at 40 characters and grows to hold the whole output: literal text, the
// three-digit milliseconds and month names are never cut.
TEST_F(DatesTest, FormatdateGrowsPastForty) {
  date_symbol("d", 2026, 9, 7, 14, 5, 9, 42);
  std::string literal(60, '-');
  EXPECT_EQ(run("formatdate(d, \"" + literal + "\")", EXP_STRING), "s:" + literal);
  std::string millis;
  for (int i = 0; i < 30; ++i) millis += "ms";
  EXPECT_EQ(run("len(formatdate(d, \"" + millis + "\"))", EXP_INTEGER), "i:90");
  std::string months;
  for (int i = 0; i < 8; ++i) months += "MMMM ";
  EXPECT_EQ(run("len(formatdate(d, \"" + months + "\"))", EXP_INTEGER), "i:80");
  std::string wide;
  for (int i = 0; i < 50; ++i) wide += "é";
  EXPECT_EQ(run("formatdate(d, \"" + wide + "\")", EXP_STRING), "s:" + wide);
}

TEST_F(DatesTest, FormatdateBadDayCounts) {
  exp_symval_setdbl(symbol("far", EXP_DATE), 1e9);
  ASSERT_EQ(exp_symval_setreal_text(symbol("vast", EXP_DATE), "1E+99999"), 0);
  EXPECT_EQ(run("formatdate(far, \"YYYY\")", EXP_STRING), "error 106: Invalid date");
  EXPECT_EQ(run("formatdate(vast, \"YYYY\")", EXP_STRING), "null");
}

// Month names come from the process locale; a UTF-8 locale's non-ASCII names arrive whole even
// though the month-name encoding was fixed earlier under the "C" locale.
TEST_F(DatesTest, MonthNamesFollowTheProcessLocale) {
  date_symbol("d", 2026, 3, 7, 14, 5, 9, 42);
  EXPECT_EQ(run("formatdate(d, \"MMMM\")", EXP_STRING), "s:March");
  if (!std::setlocale(LC_ALL, "de_DE.UTF-8")) GTEST_SKIP() << "de_DE.UTF-8 is not installed";
  EXPECT_EQ(run("formatdate(d, \"DD. MMMM YYYY\")", EXP_STRING), "s:07. März 2026");
}

// Engines on several threads format month names at once; the shared encoding is set up once.
TEST(DatesThreads, MonthNamesFromManyThreads) {
  double days = 0;
  ASSERT_TRUE(vts_compose_date(2026, 5, 1, 0, 0, 0, &days));
  std::vector<std::string> seen(4);
  std::vector<std::thread> threads;
  for (size_t t = 0; t < seen.size(); ++t)
    threads.emplace_back([&, t] {
      exp_engine *e = exp_init();
      exp_symval *d = nullptr;
      exp_add_symbol(e, "d", EXP_DATE, 0, 0, &d);
      exp_symval_setdbl(d, days);
      exp_pcode *p = nullptr;
      exp_make_pcode(e, "formatdate(d, \"MMMM MMM\")", &p, EXP_STRING, 40, 0, nullptr);
      exp_symval *result = nullptr;
      for (int i = 0; i < 200 && p; ++i) exp_execute(e, p, &result);
      if (result && result->value.s) seen[t] = result->value.s;
      if (p) exp_free_pcode(e, p);
      exp_clean(e);
    });
  for (std::thread &t : threads) t.join();
  for (const std::string &s : seen) EXPECT_EQ(s, "May May");
}

TEST_F(DatesTest, LocaleReportsAndSwitches) {
  EXPECT_EQ(run("locale()", EXP_STRING), "s:C");
  EXPECT_EQ(run("locale(null)", EXP_STRING), "s:C");
  EXPECT_EQ(run("locale(\"C.UTF-8\")", EXP_STRING), "s:C");
  EXPECT_EQ(run("locale()", EXP_STRING), "s:C.UTF-8");
  EXPECT_EQ(run("locale(\"C\")", EXP_STRING), "s:C.UTF-8");
  EXPECT_STREQ(std::setlocale(LC_ALL, nullptr), "C");
}

// An invalid name stops the run with 105 and leaves the locale alone.
TEST_F(DatesTest, LocaleRejectsUnknownName) {
  EXPECT_EQ(run("locale(\"no-such-locale\")", EXP_STRING), "error 105: Invalid locale");
  EXPECT_EQ(run("string s; s = locale(\"no-such-locale\"); s", EXP_STRING), "error 105: Invalid locale");
  EXPECT_STREQ(std::setlocale(LC_ALL, nullptr), "C");
}

// "#iso8601" keeps the process locale and makes this engine's dates convert to ISO text.
TEST_F(DatesTest, LocaleIso8601TurnsOnIsoDateText) {
  date_symbol("d", 2026, 3, 7, 14, 5, 9, 0);
  std::string before = run("d", EXP_STRING);
  EXPECT_NE(before, "s:2026-03-07 14:05:09");
  EXPECT_EQ(run("locale(\"#iso8601\")", EXP_STRING), "s:C");
  EXPECT_STREQ(std::setlocale(LC_ALL, nullptr), "C");
  EXPECT_EQ(run("d", EXP_STRING), "s:2026-03-07 14:05:09");
  EXPECT_EQ(run("\"at \" & d", EXP_STRING), "s:at 2026-03-07 14:05:09");
}

}  // namespace
