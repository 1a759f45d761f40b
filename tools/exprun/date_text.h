// Dates as text for exprun: ISO 8601 output, and formatting and parsing with the pattern letters
// of the formatdate built-in (YYYY YY MMMM MMM MM DD hh mm ss ms; any other character stands for
// itself).
#pragma once

#include <string>
#include <string_view>

// A day count (days since 1899-12-30) as ISO 8601: "2026-03-07", with " 10:30:00" added when the
// time is not midnight or `with_time` asks for it. Years always have at least four digits.
// False when the day count is outside the calendar.
bool iso_date_text(double days, bool with_time, std::string *out);
// The day count written with `pattern`; false when it is outside the calendar.
bool pattern_date_text(double days, std::string_view pattern, std::string *out);
// Reads `text` with `pattern` into a day count. Numbers may have fewer digits than their letters
// (DD reads "1" and "01"); month names are English, full or abbreviated, in any case. Parts the
// pattern lacks are January, day 1 and midnight. False when the text does not match or names no
// real date.
bool parse_date_text(std::string_view text, std::string_view pattern, double *days);
// Reads an ISO 8601 date exactly: YYYY-MM-DD, optionally followed by 'T' or a space and hh:mm,
// hh:mm:ss or hh:mm:ss.f (1 to 3 digits of fraction). False for any other text or a day that does
// not exist.
bool parse_iso_date(std::string_view text, double *days);
// Whether `pattern` writes the time of day (holds hh).
bool pattern_has_time(std::string_view pattern);
// The ISO weekday of a day count: 1 for Monday to 7 for Sunday.
int iso_weekday(double days);
