// The date and number layer: calendar arithmetic on day counts, the current time, date text
// parsing and strict integer parsing.
//
// Day counts: a date is a double number of days since 1899-12-30 00:00 (so 1900-03-01 is 61 and
// 1970-01-01 is 25569) in the proleptic Gregorian calendar, for the years 0 to 9999. The count is
// continuous: the day is floor(n) and the time of day is n - floor(n), so -0.25 is 1899-12-29
// 18:00. Composing and then decomposing gives back the same parts to the millisecond.
//
// Calendar parts are always in this order: year (full number), month (1-12), day of month,
// hour (0-23), minute, second and, in the millisecond variants, millisecond (0-999).
//
// Nothing here keeps state between calls; every function is safe to call from any thread.
#pragma once

#include <cstdint>
#include <string_view>

// Orders of day, month and year in numeric dates, as vts_get_date_format reports them and
// vts_string_to_date_milli accepts them. 0 (month/day/year) is the order of the "C" locale.
inline constexpr int VTS_DATE_MDY = 0;
inline constexpr int VTS_DATE_DMY = 1;
inline constexpr int VTS_DATE_YMD = 2;

// Order of day, month and year in the calling thread's current locale, read from how its "%x"
// format writes a known date. Locales whose "%x" shows no recognisable numeric order give MDY.
int vts_get_date_format();

// The order shown by `sample`, a "%x" rendering of 2033-11-22 (for example "11/22/33" gives MDY,
// "22.11.2033" DMY, "2033-11-22" YMD). Exposed so that the detection can be checked directly.
int vts_date_format_of(std::string_view sample);

// The current local date and time, and the current UTC date and time, as day counts with
// milliseconds.
double vts_timetoday();
double vts_gmtimetoday();

// Builds the day count of a calendar date and time into `*days`. Returns non-zero on success and
// 0 (leaving `*days` alone) when a part is out of range: year 0-9999, a day that the month has
// (February 29 only in leap years), hour 0-23, minute and second 0-59, millisecond 0-999.
int vts_compose_date_milli(int year, int month, int day, int hour, int minute, int second, int millisecond,
                           double* days);
int vts_compose_date(int year, int month, int day, int hour, int minute, int second, double* days);

// Splits a day count into calendar parts, rounding to the nearest millisecond (vts_decompose_date
// then drops the milliseconds). Returns non-zero on success and 0 for a NaN, an infinity or a day
// count outside the years 0 to 9999; the parts are not written then. Null part pointers are
// skipped.
int vts_decompose_date_milli(double days, int* year, int* month, int* day, int* hour, int* minute,
                             int* second, int* millisecond);
int vts_decompose_date(double days, int* year, int* month, int* day, int* hour, int* minute, int* second);

// Parses a date and time. Returns 0 on success with all seven parts filled, non-zero on failure
// (the parts are then all 0). Accepted, with optional surrounding blanks:
//   ISO 8601:  YYYY-MM-DD, optionally followed by 'T' or blanks and a time
//              (2026-12-06, 2026-12-06 15:13:44, 2026-12-06T15:13:44.250);
//   numeric:   three fields separated by one kind of separator ('/', '-' or '.') in the order
//              `date_format` names (VTS_DATE_*); day and month have 1 or 2 digits, the year 2 or 4
//              (2-digit years 00-68 are 2000-2068, 69-99 are 1969-1999); optionally followed by
//              blanks and a time;
//   time:      hh:mm[:ss[.fff]] (1 or 2 hour digits, 1 to 3 fraction digits), optionally followed
//              by AM or PM (any case, blanks allowed before it; the hour is then 1-12).
// The date must exist in the calendar (no February 30, no month 13). Anything else fails,
// including an unknown `date_format`. The "C" locale's "%x %X" text ("12/06/26 15:13:44") parses
// back to the same date and time with VTS_DATE_MDY.
int vts_string_to_date_milli(const char* text, int* year, int* month, int* day, int* hour, int* minute,
                             int* second, int* millisecond, int date_format);

// Flags of vts_numparse64.
inline constexpr int VTS_NUM_SKIP_LEADING_BLANKS = 1;

// Parses a signed 64-bit decimal integer: an optional sign ('+' or '-') and at least one digit.
// With `end` == nullptr only blanks (the C library's white space) may follow; with `end` given,
// parsing stops after the digits and `*end` points there. `flags` may ask for leading blanks to
// be skipped. Returns non-zero and stores `*value` on success; returns 0 (value untouched) for
// anything else or a number outside the 64-bit range.
int vts_numparse64(const char* text, int64_t* value, int flags = 0, const char** end = nullptr);

// Parses a width-and-decimals text "W.D" or "W": an optional sign, the digits of W, and
// optionally a point followed by the digits of D, then only trailing blanks. `*whole` gets W
// (with the sign), `*decimals` gets D read as an integer (0 when absent: "8.2" gives 8 and 2,
// "4" gives 4 and 0), `*decimal_digits` (may be nullptr) the number of digits after the point.
// Returns non-zero on success; 0 for anything else or a part that overflows 64 bits.
int vts_numparse(const char* text, int64_t* whole, int64_t* decimals, int* decimal_digits);
