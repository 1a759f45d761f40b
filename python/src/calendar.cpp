// Day counts and civil dates, by the days-from-civil algorithm (exact integer arithmetic).
#include "calendar.h"

#include <cmath>
#include <cstdio>

namespace pyexp {
namespace {

constexpr int64_t kMsPerDay = 86'400'000;
constexpr int64_t kEngineEpochToUnix = 25'569;  // 1970-01-01 as an engine day count

// Days since 1970-01-01 to year, month, day (valid for every int64 that fits the result).
void ymd_from_unix_days(int64_t z, int *y, int *m, int *d) {
  z += 719'468;
  const int64_t era = (z >= 0 ? z : z - 146'096) / 146'097;
  const int64_t doe = z - era * 146'097;
  const int64_t yoe = (doe - doe / 1460 + doe / 36'524 - doe / 146'096) / 365;
  const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const int64_t mp = (5 * doy + 2) / 153;
  *d = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  *m = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  *y = static_cast<int>(yoe + era * 400 + (*m <= 2 ? 1 : 0));
}

// Days since 1970-01-01 of year, month, day.
int64_t unix_days_from_ymd(int64_t y, int64_t m, int64_t d) {
  y -= m <= 2 ? 1 : 0;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const int64_t yoe = y - era * 400;
  const int64_t doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
  const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146'097 + doe - 719'468;
}

int64_t floor_div(int64_t a, int64_t b) { return a / b - ((a % b != 0) && ((a < 0) != (b < 0)) ? 1 : 0); }

}  // namespace

Civil civil_from_unix_ms(int64_t ms) {
  Civil c;
  const int64_t days = floor_div(ms, kMsPerDay);
  int64_t rest = ms - days * kMsPerDay;
  ymd_from_unix_days(days, &c.year, &c.month, &c.day);
  c.millisecond = static_cast<int>(rest % 1000);
  rest /= 1000;
  c.second = static_cast<int>(rest % 60);
  c.minute = static_cast<int>(rest / 60 % 60);
  c.hour = static_cast<int>(rest / 3600);
  return c;
}

int64_t unix_ms_from_civil(const Civil &c) {
  const int64_t time_ms = ((c.hour * 60LL + c.minute) * 60 + c.second) * 1000 + c.millisecond;
  return unix_days_from_ymd(c.year, c.month, c.day) * kMsPerDay + time_ms;
}

bool unix_ms_from_days(double days, int64_t *ms) {
  // Years 0 to 9999 span the day counts -693'959 to 2'958'466; outside, nothing is a date.
  if (!std::isfinite(days) || days < -693'960.0 || days > 2'958'466.0) return false;
  *ms = std::llround(days * static_cast<double>(kMsPerDay)) - kEngineEpochToUnix * kMsPerDay;
  return true;
}

bool civil_from_days(double days, Civil *out) {
  int64_t ms = 0;
  if (!unix_ms_from_days(days, &ms)) return false;
  *out = civil_from_unix_ms(ms);
  return out->year >= 0 && out->year <= 9999;
}

void iso_text(const Civil &c, char out[32]) {
  std::snprintf(out, 32, "%04d-%02d-%02d %02d:%02d:%02d.%03d", c.year, c.month, c.day, c.hour, c.minute, c.second,
                c.millisecond);
}

}  // namespace pyexp
