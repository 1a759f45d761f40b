// ISO 8601 dates and formatdate-style patterns, on the library's calendar.
#include "date_text.h"

#include <cmath>
#include <cstdio>
#include <strings.h>

#include "expression.h"

namespace {

enum class Part { Year, ShortYear, MonthName, MonthAbbr, Month, Day, Hour, Minute, Second, Milli };

struct Token {
  std::string_view text;
  Part part;
};
// Tried in this order at each position of a pattern (case-sensitive, first match wins), as
// formatdate does.
constexpr Token kTokens[] = {
    {"YYYY", Part::Year}, {"YY", Part::ShortYear}, {"MMMM", Part::MonthName}, {"MMM", Part::MonthAbbr},
    {"MM", Part::Month},  {"DD", Part::Day},       {"hh", Part::Hour},        {"mm", Part::Minute},
    {"ss", Part::Second}, {"ms", Part::Milli},
};
constexpr const char *kMonths[] = {"January", "February", "March",     "April",   "May",      "June",
                                   "July",    "August",   "September", "October", "November", "December"};

const Token *token_at(std::string_view pattern, size_t i) {
  for (const Token &t : kTokens)
    if (pattern.substr(i, t.text.size()) == t.text) return &t;
  return nullptr;
}

struct Parts {
  int year = 0, month = 1, day = 1, hour = 0, minute = 0, second = 0, milli = 0;
};

bool split(double days, Parts *p) {
  if (!std::isfinite(days)) return false;
  // Milliseconds are rounded first so that 10:59:59.9996 becomes 11:00:00.000.
  double whole = std::floor(days);
  double ms = std::round((days - whole) * 86400000.0);
  if (ms >= 86400000.0) whole += 1, ms = 0;
  int h, mi, s;
  if (!exp_decompose_date(whole, &p->year, &p->month, &p->day, &h, &mi, &s)) return false;
  auto total = static_cast<long>(ms);
  p->milli = static_cast<int>(total % 1000);
  total /= 1000;
  p->second = static_cast<int>(total % 60);
  p->minute = static_cast<int>(total / 60 % 60);
  p->hour = static_cast<int>(total / 3600);
  return true;
}

void append_number(std::string *out, int v, int width) {
  char buf[32];
  std::snprintf(buf, sizeof buf, v < 0 ? "-%0*d" : "%0*d", width, v < 0 ? -v : v);
  out->append(buf);
}

// Reads up to `max` digits (at least one) at text[*i].
bool read_number(std::string_view text, size_t *i, int max, int *out) {
  int n = 0, v = 0;
  while (*i < text.size() && n < max && text[*i] >= '0' && text[*i] <= '9') v = v * 10 + (text[(*i)++] - '0'), ++n;
  *out = v;
  return n > 0;
}

bool read_month_name(std::string_view text, size_t *i, bool full, int *month) {
  for (int m = 0; m < 12; ++m) {
    std::string_view name = kMonths[m];
    if (!full) name = name.substr(0, 3);
    if (text.size() - *i >= name.size() && strncasecmp(text.data() + *i, name.data(), name.size()) == 0) {
      *i += name.size();
      *month = m + 1;
      return true;
    }
  }
  return false;
}

}  // namespace

bool iso_date_text(double days, bool with_time, std::string *out) {
  Parts p;
  if (!split(days, &p)) return false;
  out->clear();
  append_number(out, p.year, 4);
  out->push_back('-');
  append_number(out, p.month, 2);
  out->push_back('-');
  append_number(out, p.day, 2);
  if (with_time || p.hour || p.minute || p.second || p.milli) {
    out->push_back(' ');
    append_number(out, p.hour, 2);
    out->push_back(':');
    append_number(out, p.minute, 2);
    out->push_back(':');
    append_number(out, p.second, 2);
    if (p.milli) {
      out->push_back('.');
      append_number(out, p.milli, 3);
    }
  }
  return true;
}

bool pattern_date_text(double days, std::string_view pattern, std::string *out) {
  Parts p;
  if (!split(days, &p)) return false;
  out->clear();
  for (size_t i = 0; i < pattern.size();) {
    const Token *t = token_at(pattern, i);
    if (!t) {
      out->push_back(pattern[i++]);
      continue;
    }
    i += t->text.size();
    switch (t->part) {
      case Part::Year: append_number(out, p.year, 4); break;
      case Part::ShortYear: append_number(out, ((p.year % 100) + 100) % 100, 2); break;
      case Part::MonthName: out->append(kMonths[p.month - 1]); break;
      case Part::MonthAbbr: out->append(kMonths[p.month - 1], 3); break;
      case Part::Month: append_number(out, p.month, 2); break;
      case Part::Day: append_number(out, p.day, 2); break;
      case Part::Hour: append_number(out, p.hour, 2); break;
      case Part::Minute: append_number(out, p.minute, 2); break;
      case Part::Second: append_number(out, p.second, 2); break;
      case Part::Milli: append_number(out, p.milli, 3); break;
    }
  }
  return true;
}

namespace {

// Checks the parts and makes the day count: false for a day the calendar does not have.
bool compose(const Parts &p, double *days) {
  if (p.month < 1 || p.month > 12 || p.day < 1 || p.day > 31 || p.hour > 23 || p.minute > 59 || p.second > 59)
    return false;
  double d;
  if (!exp_compose_date(p.year, p.month, p.day, p.hour, p.minute, p.second, &d)) return false;
  // The calendar may roll 31 February over into March: such a date does not exist.
  int y, mo, da, h, mi, s;
  if (!exp_decompose_date(d, &y, &mo, &da, &h, &mi, &s) || y != p.year || mo != p.month || da != p.day) return false;
  *days = d + p.milli / 86400000.0;
  return true;
}

// Reads exactly `n` digits at text[*i].
bool fixed_digits(std::string_view text, size_t *i, int n, int *out) {
  if (text.size() - *i < static_cast<size_t>(n)) return false;
  int v = 0;
  for (int k = 0; k < n; ++k) {
    char c = text[(*i)++];
    if (c < '0' || c > '9') return false;
    v = v * 10 + (c - '0');
  }
  *out = v;
  return true;
}

bool expect(std::string_view text, size_t *i, char c) {
  if (*i >= text.size() || text[*i] != c) return false;
  ++*i;
  return true;
}

}  // namespace

bool parse_iso_date(std::string_view text, double *days) {
  Parts p;
  size_t i = 0;
  if (!fixed_digits(text, &i, 4, &p.year) || !expect(text, &i, '-') || !fixed_digits(text, &i, 2, &p.month) ||
      !expect(text, &i, '-') || !fixed_digits(text, &i, 2, &p.day))
    return false;
  if (i < text.size()) {
    if (text[i] != 'T' && text[i] != ' ') return false;
    ++i;
    if (!fixed_digits(text, &i, 2, &p.hour) || !expect(text, &i, ':') || !fixed_digits(text, &i, 2, &p.minute))
      return false;
    if (i < text.size() && (!expect(text, &i, ':') || !fixed_digits(text, &i, 2, &p.second))) return false;
    if (i < text.size()) {
      if (!expect(text, &i, '.')) return false;
      size_t digits = text.size() - i;
      if (digits < 1 || digits > 3 || !fixed_digits(text, &i, static_cast<int>(digits), &p.milli)) return false;
      for (size_t k = digits; k < 3; ++k) p.milli *= 10;
    }
  }
  return compose(p, days);
}

bool pattern_has_time(std::string_view pattern) {
  for (size_t i = 0; i < pattern.size();) {
    const Token *t = token_at(pattern, i);
    if (t && t->part == Part::Hour) return true;
    i += t ? t->text.size() : 1;
  }
  return false;
}

bool parse_date_text(std::string_view text, std::string_view pattern, double *days) {
  Parts p;
  size_t i = 0;
  for (size_t k = 0; k < pattern.size();) {
    const Token *t = token_at(pattern, k);
    if (!t) {
      if (i >= text.size() || text[i] != pattern[k]) return false;
      ++i, ++k;
      continue;
    }
    k += t->text.size();
    bool ok = true;
    switch (t->part) {
      case Part::Year: ok = read_number(text, &i, 4, &p.year); break;
      case Part::ShortYear:
        // Two-digit years read as 1950 to 2049.
        ok = read_number(text, &i, 2, &p.year);
        p.year += p.year < 50 ? 2000 : 1900;
        break;
      case Part::MonthName: ok = read_month_name(text, &i, true, &p.month) || read_month_name(text, &i, false, &p.month); break;
      case Part::MonthAbbr: ok = read_month_name(text, &i, false, &p.month); break;
      case Part::Month: ok = read_number(text, &i, 2, &p.month); break;
      case Part::Day: ok = read_number(text, &i, 2, &p.day); break;
      case Part::Hour: ok = read_number(text, &i, 2, &p.hour); break;
      case Part::Minute: ok = read_number(text, &i, 2, &p.minute); break;
      case Part::Second: ok = read_number(text, &i, 2, &p.second); break;
      case Part::Milli: ok = read_number(text, &i, 3, &p.milli); break;
    }
    if (!ok) return false;
  }
  if (i != text.size()) return false;
  return compose(p, days);
}

int iso_weekday(double days) {
  // Day 0, 1899-12-30, was a Saturday (ISO 6).
  auto d = static_cast<long long>(std::floor(days));
  return static_cast<int>((((d + 5) % 7) + 7) % 7) + 1;
}
