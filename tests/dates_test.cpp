// Tests of the date and number layer: day numbering, compose/decompose as exact inverses, date
// text parsing in each order, the current time and strict integer parsing.
#include "support/dates.h"

#include <gtest/gtest.h>

#include <clocale>
#include <cmath>
#include <cstdlib>
#include <ctime>
#include <string>

namespace {

struct DateTime {
  int year, month, day, hour, minute, second, ms;
};

bool operator==(const DateTime& a, const DateTime& b) {
  return a.year == b.year && a.month == b.month && a.day == b.day && a.hour == b.hour && a.minute == b.minute &&
         a.second == b.second && a.ms == b.ms;
}

std::ostream& operator<<(std::ostream& os, const DateTime& d) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d:%02d.%03d", d.year, d.month, d.day, d.hour, d.minute,
                d.second, d.ms);
  return os << buf;
}

bool compose(const DateTime& d, double* days) {
  return vts_compose_date_milli(d.year, d.month, d.day, d.hour, d.minute, d.second, d.ms, days) != 0;
}

bool decompose(double days, DateTime* d) {
  return vts_decompose_date_milli(days, &d->year, &d->month, &d->day, &d->hour, &d->minute, &d->second, &d->ms) !=
         0;
}

TEST(DatesNumbering, KnownDayCounts) {
  struct Case {
    DateTime date;
    double days;
  };
  const Case cases[] = {
      {{1899, 12, 30, 0, 0, 0, 0}, 0.0},
      {{1899, 12, 29, 18, 0, 0, 0}, -0.25},
      {{1900, 1, 1, 0, 0, 0, 0}, 2.0},
      {{1900, 2, 28, 0, 0, 0, 0}, 60.0},
      {{1900, 3, 1, 0, 0, 0, 0}, 61.0},       // 1900 has no February 29
      {{1900, 3, 1, 12, 0, 0, 0}, 61.5},
      {{1970, 1, 1, 0, 0, 0, 0}, 25569.0},
      {{2000, 2, 29, 0, 0, 0, 0}, 36585.0},   // 2000 has one
      {{2000, 3, 1, 6, 0, 0, 0}, 36586.25},
  };
  for (const Case& c : cases) {
    double days = 1e300;
    ASSERT_TRUE(compose(c.date, &days)) << c.date;
    EXPECT_EQ(days, c.days) << c.date;
    DateTime back{};
    ASSERT_TRUE(decompose(c.days, &back)) << c.days;
    EXPECT_EQ(back, c.date);
  }
}

TEST(DatesNumbering, PartsOutOfRangeAreRejected) {
  const DateTime bad[] = {
      {1900, 2, 29, 0, 0, 0, 0}, {2100, 2, 29, 0, 0, 0, 0}, {2023, 2, 29, 0, 0, 0, 0}, {2026, 4, 31, 0, 0, 0, 0},
      {2026, 0, 1, 0, 0, 0, 0},  {2026, 13, 1, 0, 0, 0, 0}, {2026, 1, 0, 0, 0, 0, 0},  {2026, 1, 32, 0, 0, 0, 0},
      {2026, 1, 1, 24, 0, 0, 0}, {2026, 1, 1, 0, 60, 0, 0}, {2026, 1, 1, 0, 0, 60, 0}, {2026, 1, 1, 0, 0, 0, 1000},
      {2026, 1, 1, -1, 0, 0, 0}, {-1, 12, 31, 0, 0, 0, 0},  {10000, 1, 1, 0, 0, 0, 0},
  };
  for (const DateTime& d : bad) {
    double days = 123.0;
    EXPECT_FALSE(compose(d, &days)) << d;
    EXPECT_EQ(days, 123.0);
  }
  const DateTime good[] = {{0, 2, 29, 0, 0, 0, 0}, {2000, 2, 29, 0, 0, 0, 0}, {2024, 2, 29, 0, 0, 0, 0},
                           {9999, 12, 31, 23, 59, 59, 999}, {0, 1, 1, 0, 0, 0, 0}};
  for (const DateTime& d : good) {
    double days = 0;
    EXPECT_TRUE(compose(d, &days)) << d;
  }
}

// Every day of the years 0 to 9999, each with a different time of day down to the millisecond:
// decomposing gives back the same parts, and midnights are whole numbers one apart.
TEST(DatesNumbering, ComposeAndDecomposeAreInverses) {
  double previous_midnight = 0;
  bool first = true;
  uint32_t seed = 12345;
  int days_checked = 0;
  for (int y = 0; y <= 9999; ++y) {
    for (int m = 1; m <= 12; ++m) {
      for (int d = 1; d <= 31; ++d) {
        double midnight = 0;
        if (!compose({y, m, d, 0, 0, 0, 0}, &midnight)) break;  // past the end of the month
        ASSERT_EQ(midnight, std::floor(midnight));
        if (!first) {
          ASSERT_EQ(midnight - previous_midnight, 1.0) << y << "-" << m << "-" << d;
        }
        first = false;
        previous_midnight = midnight;

        seed = seed * 1664525u + 1013904223u;
        const int ms_of_day = static_cast<int>(seed % 86'400'000u);
        const DateTime t{y, m, d, ms_of_day / 3'600'000, ms_of_day / 60'000 % 60, ms_of_day / 1000 % 60,
                         ms_of_day % 1000};
        double days = 0;
        ASSERT_TRUE(compose(t, &days)) << t;
        DateTime back{};
        ASSERT_TRUE(decompose(days, &back)) << t;
        ASSERT_EQ(back, t);
        ++days_checked;
      }
    }
  }
  EXPECT_EQ(days_checked, 3652425);  // 25 cycles of 400 years of 146097 days
}

TEST(DatesNumbering, LastMillisecondOfEachDayStaysOnThatDay) {
  for (const DateTime t : {DateTime{9999, 12, 31, 23, 59, 59, 999}, DateTime{0, 1, 1, 23, 59, 59, 999},
                           DateTime{1899, 12, 29, 23, 59, 59, 999}, DateTime{2026, 12, 6, 23, 59, 59, 999}}) {
    double days = 0;
    ASSERT_TRUE(compose(t, &days));
    DateTime back{};
    ASSERT_TRUE(decompose(days, &back));
    EXPECT_EQ(back, t);
  }
}

TEST(DatesNumbering, DecomposeRoundsToTheNearestMillisecond) {
  const double ms = 1.0 / 86'400'000.0;
  DateTime d{};
  ASSERT_TRUE(decompose(61.0 + 0.4 * ms, &d));
  EXPECT_EQ(d, (DateTime{1900, 3, 1, 0, 0, 0, 0}));
  ASSERT_TRUE(decompose(61.0 + 0.6 * ms, &d));
  EXPECT_EQ(d, (DateTime{1900, 3, 1, 0, 0, 0, 1}));
  ASSERT_TRUE(decompose(62.0 - 0.3 * ms, &d));  // rounds up into the next day
  EXPECT_EQ(d, (DateTime{1900, 3, 2, 0, 0, 0, 0}));
}

TEST(DatesNumbering, DecomposeRejectsWhatIsNoDate) {
  double first = 0;
  double end = 0;
  ASSERT_TRUE(compose({0, 1, 1, 0, 0, 0, 0}, &first));
  ASSERT_TRUE(compose({9999, 12, 31, 0, 0, 0, 0}, &end));
  end += 1.0;
  DateTime d{};
  const double inf = HUGE_VAL;
  for (double days : {std::nan(""), inf, -inf, first - 1.0, end, 1e300, -1e300}) {
    EXPECT_FALSE(decompose(days, &d)) << days;
  }
  EXPECT_TRUE(decompose(first, &d));
  EXPECT_TRUE(decompose(end - 0.5, &d));
}

TEST(DatesNumbering, SecondVariantsDropMilliseconds) {
  double days = 0;
  ASSERT_TRUE(vts_compose_date(2026, 12, 6, 15, 13, 44, &days));
  int y, mo, d, h, mi, s;
  ASSERT_TRUE(vts_decompose_date(days + 0.7 / 86400.0, &y, &mo, &d, &h, &mi, &s));
  EXPECT_EQ((DateTime{y, mo, d, h, mi, s, 0}), (DateTime{2026, 12, 6, 15, 13, 44, 0}));
}

// ---- parsing --------------------------------------------------------------------------------

struct ParseCase {
  const char* text;
  int order;
  bool ok;
  DateTime expected;
};

const ParseCase kParse[] = {
    // ISO 8601, whatever the order
    {"2026-12-06", VTS_DATE_DMY, true, {2026, 12, 6, 0, 0, 0, 0}},
    {"2026-12-06 15:13:44", VTS_DATE_MDY, true, {2026, 12, 6, 15, 13, 44, 0}},
    {"2026-12-06T15:13:44.250", VTS_DATE_MDY, true, {2026, 12, 6, 15, 13, 44, 250}},
    {"2026-12-06T15:13", VTS_DATE_YMD, true, {2026, 12, 6, 15, 13, 0, 0}},
    {"  2026-12-06  ", VTS_DATE_MDY, true, {2026, 12, 6, 0, 0, 0, 0}},
    {"0000-02-29", VTS_DATE_MDY, true, {0, 2, 29, 0, 0, 0, 0}},
    // numeric dates in each order, with each separator
    {"12/06/26 15:13:44", VTS_DATE_MDY, true, {2026, 12, 6, 15, 13, 44, 0}},
    {"12/6/2026", VTS_DATE_MDY, true, {2026, 12, 6, 0, 0, 0, 0}},
    {"06.12.2026", VTS_DATE_DMY, true, {2026, 12, 6, 0, 0, 0, 0}},
    {"6-12-26", VTS_DATE_DMY, true, {2026, 12, 6, 0, 0, 0, 0}},
    {"26/12/06", VTS_DATE_YMD, true, {2026, 12, 6, 0, 0, 0, 0}},
    {"2026.12.06 7:05", VTS_DATE_YMD, true, {2026, 12, 6, 7, 5, 0, 0}},
    // the two-digit year pivot
    {"1/2/00", VTS_DATE_MDY, true, {2000, 1, 2, 0, 0, 0, 0}},
    {"1/2/68", VTS_DATE_MDY, true, {2068, 1, 2, 0, 0, 0, 0}},
    {"1/2/69", VTS_DATE_MDY, true, {1969, 1, 2, 0, 0, 0, 0}},
    {"1/2/99", VTS_DATE_MDY, true, {1999, 1, 2, 0, 0, 0, 0}},
    // AM and PM
    {"12/06/2026 3:13 PM", VTS_DATE_MDY, true, {2026, 12, 6, 15, 13, 0, 0}},
    {"12/06/2026 03:13:44pm", VTS_DATE_MDY, true, {2026, 12, 6, 15, 13, 44, 0}},
    {"12/06/2026 12:00 AM", VTS_DATE_MDY, true, {2026, 12, 6, 0, 0, 0, 0}},
    {"12/06/2026 12:30 pm", VTS_DATE_MDY, true, {2026, 12, 6, 12, 30, 0, 0}},
    {"2026-12-06 11:59:59.9 am", VTS_DATE_MDY, true, {2026, 12, 6, 11, 59, 59, 900}},
    // rejections
    {"", VTS_DATE_MDY, false, {}},
    {"garbage", VTS_DATE_MDY, false, {}},
    {"12/06/26x", VTS_DATE_MDY, false, {}},
    {"12/06/26 15:13:44 junk", VTS_DATE_MDY, false, {}},
    {"2026-02-30", VTS_DATE_MDY, false, {}},
    {"13/01/2026", VTS_DATE_MDY, false, {}},
    {"2026-13-01", VTS_DATE_MDY, false, {}},
    {"02/29/1900", VTS_DATE_MDY, false, {}},
    {"12/06-26", VTS_DATE_MDY, false, {}},            // mixed separators
    {"12/06/026", VTS_DATE_MDY, false, {}},           // three-digit year
    {"123/06/26", VTS_DATE_MDY, false, {}},
    {"2026/12/06", VTS_DATE_MDY, false, {}},          // year first is not MDY
    {"12/06/26 24:00", VTS_DATE_MDY, false, {}},
    {"12/06/26 13:00 PM", VTS_DATE_MDY, false, {}},
    {"12/06/26 0:30 AM", VTS_DATE_MDY, false, {}},
    {"12/06/26 15:1", VTS_DATE_MDY, false, {}},
    {"12/06/26 15:13:44.1234", VTS_DATE_MDY, false, {}},
    {"12/06/2615:13", VTS_DATE_MDY, false, {}},       // no blank before the time
    {"2026-12-06T", VTS_DATE_MDY, false, {}},
    {"15:13:44", VTS_DATE_MDY, false, {}},            // a time alone is no date
    {"12.5", VTS_DATE_DMY, false, {}},
    {"12/06/26", 7, false, {}},                       // unknown order
};

TEST(DatesParse, Table) {
  for (const ParseCase& c : kParse) {
    DateTime d{-1, -1, -1, -1, -1, -1, -1};
    const int rc = vts_string_to_date_milli(c.text, &d.year, &d.month, &d.day, &d.hour, &d.minute, &d.second,
                                            &d.ms, c.order);
    EXPECT_EQ(rc == 0, c.ok) << '"' << c.text << "\" order " << c.order;
    EXPECT_EQ(d, c.ok ? c.expected : DateTime{}) << c.text;
  }
}

TEST(DatesParse, CLocaleTextRoundTrips) {
  ASSERT_NE(setlocale(LC_ALL, "C"), nullptr);
  const int order = vts_get_date_format();
  EXPECT_EQ(order, VTS_DATE_MDY);
  const DateTime samples[] = {{2026, 12, 6, 15, 13, 44, 0}, {1999, 1, 2, 0, 0, 0, 0}, {2068, 2, 29, 23, 59, 59, 0}};
  for (const DateTime& t : samples) {
    std::tm tm{};
    tm.tm_year = t.year - 1900;
    tm.tm_mon = t.month - 1;
    tm.tm_mday = t.day;
    tm.tm_hour = t.hour;
    tm.tm_min = t.minute;
    tm.tm_sec = t.second;
    char text[64];
    ASSERT_GT(std::strftime(text, sizeof text, "%x %X", &tm), 0u);
    DateTime d{};
    ASSERT_EQ(vts_string_to_date_milli(text, &d.year, &d.month, &d.day, &d.hour, &d.minute, &d.second, &d.ms,
                                       order),
              0)
        << text;
    EXPECT_EQ(d, t) << text;
  }
}

TEST(DatesParse, OrderOfLocaleSamples) {
  struct Case {
    const char* sample;
    int order;
  };
  const Case cases[] = {
      {"11/22/33", VTS_DATE_MDY},        {"11/22/2033", VTS_DATE_MDY},   {"22/11/33", VTS_DATE_DMY},
      {"22.11.2033", VTS_DATE_DMY},      {"2033-11-22", VTS_DATE_YMD},   {"2033/11/22", VTS_DATE_YMD},
      {"2033\xE5\xB9\xB4" "11\xE6\x9C\x88" "22\xE6\x97\xA5", VTS_DATE_YMD},
      {"22 November 2033", VTS_DATE_DMY}, {"November 22, 2033", VTS_DATE_MDY}, {"", VTS_DATE_MDY},
  };
  for (const Case& c : cases) EXPECT_EQ(vts_date_format_of(c.sample), c.order) << c.sample;
}

// ---- now ------------------------------------------------------------------------------------

TEST(DatesNow, UtcAndLocalAgreeWithTheClock) {
  const char* old_tz = std::getenv("TZ");
  const std::string saved = old_tz ? old_tz : "";
  setenv("TZ", "XST-3", 1);  // a fixed zone three hours east of UTC
  tzset();
  const double expected_utc = 25569.0 + static_cast<double>(std::time(nullptr)) / 86400.0;
  const double utc = vts_gmtimetoday();
  const double local = vts_timetoday();
  EXPECT_NEAR(utc, expected_utc, 2.0 / 86400.0);
  EXPECT_NEAR(local - utc, 0.125, 2.0 / 86400.0);
  if (old_tz) setenv("TZ", saved.c_str(), 1); else unsetenv("TZ");
  tzset();
}

// ---- integers -------------------------------------------------------------------------------

TEST(DatesNumparse, Int64) {
  struct Case {
    const char* text;
    bool ok;
    int64_t value;
  };
  const Case cases[] = {
      {"42", true, 42},
      {"-42", true, -42},
      {"+7", true, 7},
      {"0", true, 0},
      {"42  \t", true, 42},
      {"9223372036854775807", true, INT64_MAX},
      {"-9223372036854775808", true, INT64_MIN},
      {"9223372036854775808", false, 0},
      {"-9223372036854775809", false, 0},
      {"99999999999999999999", false, 0},
      {"", false, 0},
      {"-", false, 0},
      {" 42", false, 0},
      {"4 2", false, 0},
      {"42x", false, 0},
      {"1.5", false, 0},
      {"0x10", false, 0},
      {"--1", false, 0},
  };
  for (const Case& c : cases) {
    int64_t v = 99;
    EXPECT_EQ(vts_numparse64(c.text, &v, 0, 0) != 0, c.ok) << c.text;
    EXPECT_EQ(v, c.ok ? c.value : 99) << c.text;
  }
}

TEST(DatesNumparse, Int64Options) {
  int64_t v = 0;
  EXPECT_TRUE(vts_numparse64(" \t-12 ", &v, VTS_NUM_SKIP_LEADING_BLANKS));
  EXPECT_EQ(v, -12);
  const char* end = nullptr;
  const char* text = "123abc";
  EXPECT_TRUE(vts_numparse64(text, &v, 0, &end));
  EXPECT_EQ(v, 123);
  EXPECT_EQ(end, text + 3);
}

TEST(DatesNumparse, WidthAndDecimals) {
  struct Case {
    const char* text;
    bool ok;
    int64_t whole, decimals;
    int digits;
  };
  const Case cases[] = {
      {"8.2", true, 8, 2, 1},   {"4", true, 4, 0, 0},     {"8.02", true, 8, 2, 2},  {"16.308", true, 16, 308, 3},
      {"-3.5", true, -3, 5, 1}, {"8.", true, 8, 0, 0},    {"8.2 ", true, 8, 2, 1},  {".5", false, 0, 0, 0},
      {"8.2.1", false, 0, 0, 0}, {"8.x", false, 0, 0, 0}, {"", false, 0, 0, 0},     {"a", false, 0, 0, 0},
      {"1.99999999999999999999", false, 0, 0, 0},         {"99999999999999999999", false, 0, 0, 0},
  };
  for (const Case& c : cases) {
    int64_t w = -99, d = -99;
    int n = -99;
    EXPECT_EQ(vts_numparse(c.text, &w, &d, &n) != 0, c.ok) << c.text;
    if (c.ok) {
      EXPECT_EQ(w, c.whole) << c.text;
      EXPECT_EQ(d, c.decimals) << c.text;
      EXPECT_EQ(n, c.digits) << c.text;
    }
  }
}

}  // namespace
