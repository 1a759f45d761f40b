// Calendar arithmetic on day counts, the current time, date text parsing and integer parsing.
// All calendar work goes through two integer conversions between civil dates and day numbers,
// so composing and decomposing are exact inverses.
#include "support/dates.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <ctime>
#include <limits>

namespace {

constexpr int64_t kMsPerDay = 86'400'000;

// Days from 1970-01-01 to a date of the proleptic Gregorian calendar (negative before it). Works
// in 400-year eras of 146097 days whose years start on March 1, so the leap day ends a year.
constexpr int64_t days_from_civil(int64_t y, int m, int d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const int64_t yoe = y - era * 400;
  const int64_t doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
  const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

struct Civil {
  int64_t year;
  int month;
  int day;
};

// The inverse of days_from_civil.
constexpr Civil civil_from_days(int64_t z) {
  z += 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const int64_t doe = z - era * 146097;
  const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const int64_t mp = (5 * doy + 2) / 153;
  const int day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  const int month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  return {yoe + era * 400 + (month <= 2), month, day};
}

// Day count of 1970-01-01: day 0 is 1899-12-30.
constexpr int64_t kUnixEpochDay = -days_from_civil(1899, 12, 30);
static_assert(kUnixEpochDay == 25569);
static_assert(days_from_civil(1900, 3, 1) + kUnixEpochDay == 61);

constexpr int kMinYear = 0;
constexpr int kMaxYear = 9999;
constexpr int64_t kFirstDay = days_from_civil(kMinYear, 1, 1) + kUnixEpochDay;
constexpr int64_t kEndDay = days_from_civil(kMaxYear + 1, 1, 1) + kUnixEpochDay;  // exclusive

constexpr bool is_leap(int64_t y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

constexpr int days_in_month(int64_t y, int m) {
  constexpr std::array<int, 12> kDays = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return m == 2 && is_leap(y) ? 29 : kDays[static_cast<std::size_t>(m - 1)];
}

// Calendar parts in their fixed order.
struct Parts {
  int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0, millisecond = 0;
};

// Whether every part lies in its range and the day exists in that month of that year.
bool valid(const Parts& p) {
  struct Range {
    int value, lo, hi;
  };
  const Range ranges[] = {{p.year, kMinYear, kMaxYear}, {p.month, 1, 12}, {p.hour, 0, 23},
                          {p.minute, 0, 59},            {p.second, 0, 59}, {p.millisecond, 0, 999}};
  for (const Range& r : ranges) {
    if (r.value < r.lo || r.value > r.hi) return false;
  }
  return p.day >= 1 && p.day <= days_in_month(p.year, p.month);
}

// The day count of valid parts: one exact integer of milliseconds divided once, so the double
// is the nearest one to the true value and decomposing finds the same millisecond again.
double compose(const Parts& p) {
  const int64_t day = days_from_civil(p.year, p.month, p.day) + kUnixEpochDay;
  const int64_t ms = ((p.hour * 60LL + p.minute) * 60 + p.second) * 1000 + p.millisecond;
  return static_cast<double>(day * kMsPerDay + ms) / static_cast<double>(kMsPerDay);
}

int64_t floor_div(int64_t a, int64_t b) { return a / b - ((a % b != 0) && ((a < 0) != (b < 0))); }

// Splits a day count rounded to the millisecond; false outside the years 0 to 9999.
bool decompose(double days, Parts* out) {
  if (!std::isfinite(days)) return false;
  const double total = std::round(days * static_cast<double>(kMsPerDay));
  if (total < static_cast<double>(kFirstDay * kMsPerDay) || total >= static_cast<double>(kEndDay * kMsPerDay)) {
    return false;
  }
  const auto ms = static_cast<int64_t>(total);
  const int64_t day = floor_div(ms, kMsPerDay);
  int64_t rest = ms - day * kMsPerDay;
  const Civil c = civil_from_days(day - kUnixEpochDay);
  out->year = static_cast<int>(c.year);
  out->month = c.month;
  out->day = c.day;
  out->millisecond = static_cast<int>(rest % 1000);
  rest /= 1000;
  out->second = static_cast<int>(rest % 60);
  rest /= 60;
  out->minute = static_cast<int>(rest % 60);
  out->hour = static_cast<int>(rest / 60);
  return true;
}

void store(int* dst, int value) {
  if (dst != nullptr) *dst = value;
}

// Stores each part where the caller asked for it; a null destination skips that part.
void store_parts(const Parts& p, int* year, int* month, int* day, int* hour, int* minute, int* second,
                 int* millisecond) {
  store(year, p.year);
  store(month, p.month);
  store(day, p.day);
  store(hour, p.hour);
  store(minute, p.minute);
  store(second, p.second);
  store(millisecond, p.millisecond);
}

// ---- the current time -----------------------------------------------------------------------

struct Now {
  std::time_t seconds;
  int64_t unix_ms;
};

Now now() {
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  return {ts.tv_sec, static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1'000'000};
}

double day_count_of_unix_ms(int64_t unix_ms) {
  return static_cast<double>(unix_ms + kUnixEpochDay * kMsPerDay) / static_cast<double>(kMsPerDay);
}

// ---- text parsing ---------------------------------------------------------------------------

bool is_blank(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }
bool is_digit(char c) { return c >= '0' && c <= '9'; }

// A read position in date text with the few primitives the grammar needs.
class Cursor {
 public:
  explicit Cursor(std::string_view text) : text_(text) {}

  bool done() const { return pos_ >= text_.size(); }
  char peek() const { return done() ? '\0' : text_[pos_]; }
  std::size_t pos() const { return pos_; }
  void rewind(std::size_t pos) { pos_ = pos; }

  bool take(char c) {
    if (done() || text_[pos_] != c) return false;
    ++pos_;
    return true;
  }

  // Reads a run of digits; returns how many (their value is kept only for runs of up to 9).
  int digits(int* value) {
    int count = 0;
    int v = 0;
    for (; !done() && is_digit(text_[pos_]); ++pos_, ++count) {
      if (count < 9) v = v * 10 + (text_[pos_] - '0');
    }
    *value = v;
    return count;
  }

  int blanks() {
    int count = 0;
    for (; !done() && is_blank(text_[pos_]); ++pos_) ++count;
    return count;
  }

  // Takes a two-letter word such as "AM", in any case.
  bool take_word(std::string_view word) {
    if (text_.size() - pos_ < word.size()) return false;
    for (std::size_t i = 0; i < word.size(); ++i) {
      const char c = text_[pos_ + i];
      if (c != word[i] && c != word[i] - 'A' + 'a') return false;
    }
    pos_ += word.size();
    return true;
  }

 private:
  std::string_view text_;
  std::size_t pos_ = 0;
};

// An optional AM/PM marker after a time: moves the hour to the 24-hour clock. False when the
// marker is there but the hour is not 1-12.
bool parse_meridiem(Cursor& c, Parts* p) {
  const std::size_t start = c.pos();
  c.blanks();
  const bool am = c.take_word("AM");
  const bool pm = !am && c.take_word("PM");
  if (!am && !pm) {
    c.rewind(start);
    return true;
  }
  if (p->hour < 1 || p->hour > 12) return false;
  p->hour = (p->hour % 12) + (pm ? 12 : 0);
  return true;
}

// hh:mm[:ss[.fff]] with an optional AM/PM marker.
bool parse_time(Cursor& c, Parts* p) {
  const int hour_digits = c.digits(&p->hour);
  if (hour_digits < 1 || hour_digits > 2 || !c.take(':') || c.digits(&p->minute) != 2) return false;
  if (c.take(':')) {
    if (c.digits(&p->second) != 2) return false;
    if (c.take('.')) {
      int fraction = 0;
      const int n = c.digits(&fraction);
      constexpr int kScale[] = {0, 100, 10, 1};
      if (n < 1 || n > 3) return false;
      p->millisecond = fraction * kScale[n];
    }
  }
  return parse_meridiem(c, p);
}

int expand_year(int value, int digits) {
  if (digits == 4) return value;
  return value <= 68 ? 2000 + value : 1900 + value;
}

struct Field {
  int value;
  int digits;
};

// Assigns three numeric fields to day, month and year in the given order.
bool assign_fields(const std::array<Field, 3>& f, int order, Parts* p) {
  struct Slots {
    int year, month, day;
  };
  constexpr Slots kOrders[] = {{2, 0, 1}, {2, 1, 0}, {0, 1, 2}};  // MDY, DMY, YMD
  if (order < VTS_DATE_MDY || order > VTS_DATE_YMD) return false;
  const Slots& s = kOrders[order];
  const Field& y = f[static_cast<std::size_t>(s.year)];
  const Field& m = f[static_cast<std::size_t>(s.month)];
  const Field& d = f[static_cast<std::size_t>(s.day)];
  if ((y.digits != 2 && y.digits != 4) || m.digits < 1 || m.digits > 2 || d.digits < 1 || d.digits > 2) {
    return false;
  }
  p->year = expand_year(y.value, y.digits);
  p->month = m.value;
  p->day = d.value;
  return true;
}

// The date part: ISO 8601 (a four-digit year and '-') or three numeric fields in `order`.
bool parse_date(Cursor& c, int order, Parts* p, bool* iso) {
  std::array<Field, 3> f{};
  f[0].digits = c.digits(&f[0].value);
  const char sep = c.peek();
  if (sep != '/' && sep != '-' && sep != '.') return false;
  c.take(sep);
  f[1].digits = c.digits(&f[1].value);
  if (!c.take(sep)) return false;
  f[2].digits = c.digits(&f[2].value);
  *iso = sep == '-' && f[0].digits == 4;
  if (!*iso) return assign_fields(f, order, p);
  if (f[1].digits != 2 || f[2].digits != 2) return false;
  p->year = f[0].value;
  p->month = f[1].value;
  p->day = f[2].value;
  return true;
}

bool parse_date_time(std::string_view text, int order, Parts* p) {
  Cursor c(text);
  c.blanks();
  bool iso = false;
  if (!parse_date(c, order, p, &iso)) return false;
  if (c.done()) return valid(*p);
  // A time follows the date after blanks, or after 'T' in ISO form.
  const bool t_separator = iso && c.take('T');
  if (!t_separator && c.blanks() == 0) return false;
  if (c.done() && !t_separator) return valid(*p);
  if (!parse_time(c, p)) return false;
  c.blanks();
  return c.done() && valid(*p);
}

// Reads digits into an unsigned magnitude, failing when it would pass `limit`.
bool accumulate(const char*& p, uint64_t limit, uint64_t* out, int* count) {
  uint64_t v = 0;
  int n = 0;
  for (; is_digit(*p); ++p, ++n) {
    const auto d = static_cast<uint64_t>(*p - '0');
    if (v > (limit - d) / 10) return false;
    v = v * 10 + d;
  }
  *out = v;
  *count = n;
  return true;
}

bool only_blanks(const char* p) {
  while (is_blank(*p)) ++p;
  return *p == '\0';
}

// An optional sign; returns whether it was '-'.
bool take_sign(const char*& p) {
  if (*p != '+' && *p != '-') return false;
  return *p++ == '-';
}

constexpr uint64_t kInt64Max = static_cast<uint64_t>(std::numeric_limits<int64_t>::max());

int64_t apply_sign(uint64_t magnitude, bool negative) {
  return negative ? static_cast<int64_t>(0 - magnitude) : static_cast<int64_t>(magnitude);
}

}  // namespace

// ---- date order -----------------------------------------------------------------------------

int vts_date_format_of(std::string_view sample) {
  std::size_t year = sample.find("2033");
  if (year == std::string_view::npos) year = sample.find("33");
  std::size_t month = sample.find("11");
  const std::size_t day = sample.find("22");
  if (year == std::string_view::npos || day == std::string_view::npos) return VTS_DATE_MDY;
  if (month == std::string_view::npos) {
    // A month written as a name: take the first letter as its place.
    const auto letter = std::find_if(sample.begin(), sample.end(), [](char ch) {
      return (ch >= 'A' && ch <= 'Z') || (ch >= 'a' && ch <= 'z') || static_cast<unsigned char>(ch) >= 0x80;
    });
    month = static_cast<std::size_t>(letter - sample.begin());
  }
  if (year < month && year < day) return VTS_DATE_YMD;
  return day < month ? VTS_DATE_DMY : VTS_DATE_MDY;
}

int vts_get_date_format() {
  std::tm t{};
  t.tm_year = 2033 - 1900;
  t.tm_mon = 10;
  t.tm_mday = 22;
  t.tm_wday = 2;  // a Tuesday
  t.tm_yday = 325;
  char buf[128];
  const std::size_t n = std::strftime(buf, sizeof buf, "%x", &t);
  return vts_date_format_of(std::string_view(buf, n));
}

// ---- now ------------------------------------------------------------------------------------

double vts_timetoday() {
  const Now n = now();
  std::tm local{};
  const long offset = localtime_r(&n.seconds, &local) != nullptr ? local.tm_gmtoff : 0;
  return day_count_of_unix_ms(n.unix_ms + static_cast<int64_t>(offset) * 1000);
}

double vts_gmtimetoday() { return day_count_of_unix_ms(now().unix_ms); }

// ---- compose and decompose --------------------------------------------------------------------

int vts_compose_date_milli(int year, int month, int day, int hour, int minute, int second, int millisecond,
                           double* days) {
  const Parts p{year, month, day, hour, minute, second, millisecond};
  if (days == nullptr || !valid(p)) return 0;
  *days = compose(p);
  return 1;
}

int vts_compose_date(int year, int month, int day, int hour, int minute, int second, double* days) {
  return vts_compose_date_milli(year, month, day, hour, minute, second, 0, days);
}

int vts_decompose_date_milli(double days, int* year, int* month, int* day, int* hour, int* minute, int* second,
                             int* millisecond) {
  Parts p;
  if (!decompose(days, &p)) return 0;
  store_parts(p, year, month, day, hour, minute, second, millisecond);
  return 1;
}

int vts_decompose_date(double days, int* year, int* month, int* day, int* hour, int* minute, int* second) {
  return vts_decompose_date_milli(days, year, month, day, hour, minute, second, nullptr);
}

// ---- parsing --------------------------------------------------------------------------------

int vts_string_to_date_milli(const char* text, int* year, int* month, int* day, int* hour, int* minute,
                             int* second, int* millisecond, int date_format) {
  Parts p;
  const bool ok = text != nullptr && parse_date_time(text, date_format, &p);
  if (!ok) p = Parts{};
  store_parts(p, year, month, day, hour, minute, second, millisecond);
  return ok ? 0 : 1;
}

int vts_numparse64(const char* text, int64_t* value, int flags, const char** end) {
  if (text == nullptr || value == nullptr) return 0;
  const char* p = text;
  if ((flags & VTS_NUM_SKIP_LEADING_BLANKS) != 0) {
    while (is_blank(*p)) ++p;
  }
  const bool negative = take_sign(p);
  uint64_t magnitude = 0;
  int count = 0;
  if (!accumulate(p, kInt64Max + (negative ? 1 : 0), &magnitude, &count) || count == 0) return 0;
  if (end != nullptr) {
    *end = p;
  } else if (!only_blanks(p)) {
    return 0;
  }
  *value = apply_sign(magnitude, negative);
  return 1;
}

int vts_numparse(const char* text, int64_t* whole, int64_t* decimals, int* decimal_digits) {
  if (text == nullptr || whole == nullptr || decimals == nullptr) return 0;
  const char* p = text;
  const bool negative = take_sign(p);
  uint64_t w = 0;
  uint64_t d = 0;
  int whole_count = 0;
  int decimal_count = 0;
  if (!accumulate(p, kInt64Max + (negative ? 1 : 0), &w, &whole_count) || whole_count == 0) return 0;
  if (*p == '.' && !accumulate(++p, kInt64Max, &d, &decimal_count)) return 0;
  if (!only_blanks(p)) return 0;
  *whole = apply_sign(w, negative);
  *decimals = static_cast<int64_t>(d);
  if (decimal_digits != nullptr) *decimal_digits = decimal_count;
  return 1;
}
