// Calendar arithmetic between the engine's day counts and civil dates, without the engine.
#pragma once

#include <cstdint>

namespace pyexp {

// A date and time to the millisecond in the proleptic Gregorian calendar.
struct Civil {
  int year = 0, month = 1, day = 1, hour = 0, minute = 0, second = 0, millisecond = 0;
};

// Splits an engine day count (days since 1899-12-30, the time of day as the fraction) into its
// civil parts rounded to the nearest millisecond, as the engine's own date functions round.
// Returns false for a NaN, an infinity or a count outside the years 0 to 9999.
bool civil_from_days(double days, Civil *out);

// An engine day count as milliseconds since 1970-01-01 00:00, rounded to the millisecond as
// civil_from_days rounds. False where civil_from_days is false.
bool unix_ms_from_days(double days, int64_t *ms);

// Splits a count of milliseconds since 1970-01-01 00:00 into civil parts; any int64 works.
Civil civil_from_unix_ms(int64_t ms);

// Milliseconds since 1970-01-01 00:00 of a civil date and time (the inverse of the above).
int64_t unix_ms_from_civil(const Civil &c);

// Writes the parts as ISO 8601 text "YYYY-MM-DD HH:MM:SS.mmm" (24 bytes and a terminator), the
// form the engine's date conversion reads.
void iso_text(const Civil &c, char out[32]);

}  // namespace pyexp
