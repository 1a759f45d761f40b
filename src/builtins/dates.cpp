// Date, time and locale built-ins: the current date and time, pattern formatting of dates, the
// process locale; and the exported calendar helpers for hosts. Calendar arithmetic is the date
// layer's (support/dates.h); a date value is a decimal day count.
#include <clocale>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <langinfo.h>
#include <string_view>

#include "builtins/builtins.h"
#include "builtins/cancel.h"
#include "builtins/cells.h"
#include "builtins/rechecked.h"
#include "engine.h"
#include "errors.h"
#include "support/dates.h"
#include "support/process_locale.h"
#include "support/decimal.h"
#include "support/uchar.h"
#include "values.h"

using namespace builtin_cells;

namespace {

using Cell = exp_symval;

// ---- the current date and time -------------------------------------------------------------------

// Stores a double day count as the result's decimal date.
template <double (*Now)()>
int now(exp_engine *, Cell *result, int, Cell **) {
  decContext ctx = context192();
  decSextFromDouble(symval_dec(result), Now(), &ctx);
  symval_clear_null_flag(result);
  return 0;
}

// ---- month names ---------------------------------------------------------------------------------

constexpr int kNameRoom = 256;  // UTF-8 bytes of one month name, terminator included

// Encoding of the month names strftime writes: the character set of the locale in force when
// the first name is needed, Windows-1252 when that set is unknown. Fixed for the life of the
// process; the initialisation is thread-safe.
int month_name_encoding() {
  static const int code = [] {
    char charset[64];
    process_locale_codeset(charset, sizeof charset);
    int id = *charset ? np_uchar_getenc(charset) : NP_UCHAR_ENC_UNKNOWN;
    return id >= 0 ? id : NP_UCHAR_ENC_WINDOWS_1252;
  }();
  return code;
}

bool is_ascii(std::string_view text) {
  for (char c : text)
    if (static_cast<unsigned char>(c) >= 0x80) return false;
  return true;
}

// The full or abbreviated name of `month` (1-12) in the process locale, as UTF-8 in `out`
// (kNameRoom bytes). ASCII names are taken as they are; others are converted from the
// month-name encoding, or kept when they are already valid UTF-8 (the locale may have changed
// to a UTF-8 one since the encoding was fixed). A month outside 1-12 or a name that cannot be
// converted gives "".
void month_name(int month, bool full, char *out) {
  out[0] = '\0';
  if (month < 1 || month > 12) return;
  std::tm calendar{};
  calendar.tm_mon = month - 1;
  calendar.tm_mday = 1;
  char local[128];
  size_t n = std::strftime(local, sizeof local, full ? "%B" : "%b", &calendar);
  std::string_view name(local, n);
  if (is_ascii(name)) {
    std::memcpy(out, local, n);
    out[n] = '\0';
    return;
  }
  if (np_uchar_encode(month_name_encoding(), name, out, kNameRoom) >= 0) return;
  if (np_uchar_encode(NP_UCHAR_ENC_UTF8, name, out, kNameRoom) < 0) out[0] = '\0';
}

// ---- formatdate ----------------------------------------------------------------------------------

struct DateParts {
  int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0, millisecond = 0;
};

enum class Field { Year, ShortYear, MonthName, MonthAbbr, Month, Day, Hour, Minute, Second, Milli };

// Pattern tokens, tried in this order at each position (case-sensitive, first match wins).
struct Token {
  std::string_view text;
  Field field;
};
constexpr Token kTokens[] = {
    {"YYYY", Field::Year},  {"YY", Field::ShortYear}, {"MMMM", Field::MonthName}, {"MMM", Field::MonthAbbr},
    {"MM", Field::Month},   {"DD", Field::Day},       {"hh", Field::Hour},        {"mm", Field::Minute},
    {"ss", Field::Second},  {"ms", Field::Milli},
};
// The first characters of the tokens: any other character is copied without trying them.
constexpr std::string_view kTokenStarts = "YMDhms";

// `v` in decimal, zero-padded to `width` digits, into `out` (room for 12 bytes); returns the
// bytes written. Calendar parts are never negative; a negative value is written with its sign.
size_t zero_padded(int v, int width, char *out) {
  char digits[12];
  int64_t magnitude = v < 0 ? -static_cast<int64_t>(v) : v;
  int n = 0;
  do {
    digits[n++] = static_cast<char>('0' + magnitude % 10);
    magnitude /= 10;
  } while (magnitude > 0);
  size_t k = 0;
  if (v < 0) out[k++] = '-';
  for (int pad = width - n; pad > 0; --pad) out[k++] = '0';
  while (n > 0) out[k++] = digits[--n];
  return k;
}

// One piece of output and its length in characters.
struct Piece {
  std::string_view text;
  int64_t chars;
};

// The output pieces of one call: the date's parts and the month names, made when first needed.
class Pieces {
 public:
  explicit Pieces(const DateParts &parts) : parts_(parts) {}

  // The output of `field` (a numeric one is valid until the next call).
  Piece of(Field field) {
    switch (field) {
      case Field::Year: return number(parts_.year, 4);
      case Field::ShortYear: return tail(number(parts_.year, 4), 2);
      case Field::MonthName: return name(true);
      case Field::MonthAbbr: return name(false);
      case Field::Month: return number(parts_.month, 2);
      case Field::Day: return number(parts_.day, 2);
      case Field::Hour: return number(parts_.hour, 2);
      case Field::Minute: return number(parts_.minute, 2);
      case Field::Second: return number(parts_.second, 2);
      case Field::Milli: return number(parts_.millisecond, 3);
    }
    return {};
  }

 private:
  // Digits are ASCII: one character per byte.
  Piece number(int v, int width) {
    size_t n = zero_padded(v, width, digits_);
    return {{digits_, n}, static_cast<int64_t>(n)};
  }
  static Piece tail(Piece p, size_t from) {
    p.text.remove_prefix(from < p.text.size() ? from : p.text.size());
    p.chars = static_cast<int64_t>(p.text.size());
    return p;
  }

  Piece name(bool full) {
    Name &n = full ? full_ : abbr_;
    if (n.chars < 0) {
      month_name(parts_.month, full, n.text);
      n.chars = np_uchar_length(n.text);
    }
    return {n.text, n.chars};
  }

  struct Name {
    char text[kNameRoom] = {};
    int64_t chars = -1;  // -1 until made
  };
  DateParts parts_;
  char digits_[12] = {};
  Name full_, abbr_;
};

// Walks `pattern`, handing `emit` each token's output and each other character unchanged, in
// order.
template <typename Emit>
void walk_pattern(std::string_view pattern, Pieces &pieces, Emit &&emit) {
  size_t at = 0;
  while (at < pattern.size()) {
    std::string_view rest = pattern.substr(at);
    const Token *token = nullptr;
    if (kTokenStarts.find(rest[0]) != std::string_view::npos)
      for (const Token &t : kTokens)
        if (rest.starts_with(t.text)) {
          token = &t;
          break;
        }
    if (token) {
      emit(pieces.of(token->field));
      at += token->text.size();
      continue;
    }
    const char *next = np_uchar_seek(rest.data(), 1);
    size_t step = next ? static_cast<size_t>(next - rest.data()) : rest.size();
    emit(Piece{rest.substr(0, step), 1});
    at += step;
  }
}

// Splits a date cell into calendar parts. Returns 0 with the parts, -1 when the day count does
// not become a double (the result is then null), or error 106 for a count the calendar cannot
// split.
int date_parts(exp_engine *e, const Cell *date, DateParts *parts) {
  decContext ctx = context192();
  double days = decSextToDouble(symval_dec(date), &ctx, 0);
  if (decContextGetStatus(&ctx) != 0) return -1;
  if (!vts_decompose_date_milli(days, &parts->year, &parts->month, &parts->day, &parts->hour, &parts->minute,
                                &parts->second, &parts->millisecond))
    return engine_error(e, ERR_DATE);
  return 0;
}

// formatdate(date, pattern): the pattern with each token replaced by the date's part (see
// kTokens) and every other character copied. The output is measured first and the result grows
// to hold all of it, so nothing is ever cut.
int fn_formatdate(exp_engine *e, Cell *result, int, Cell **argv) {
  if (symval_is_null(argv[0]) || symval_is_null(argv[1])) return set_null(result);
  DateParts parts;
  int rc = date_parts(e, argv[0], &parts);
  if (rc < 0) return set_null(result);
  if (rc > 0) return rc;
  std::string_view pattern = text_of(argv[1]);
  Pieces pieces(parts);
  int64_t chars = 0;
  size_t bytes = 0;
  walk_pattern(pattern, pieces, [&](Piece piece) {
    chars += piece.chars;
    bytes += piece.text.size();
  });
  if ((rc = limit_check(e, EXP_LIMIT_STRING, chars))) return rc;
  if ((rc = reserve(e, result, chars, bytes))) return rc;
  char *out = result->value.s;
  walk_pattern(pattern, pieces, [&](Piece piece) {
    std::memcpy(out, piece.text.data(), piece.text.size());
    out += piece.text.size();
  });
  *out = '\0';
  symval_clear_null_flag(result);
  return 0;
}

// ---- locale --------------------------------------------------------------------------------------

// locale([name]): returns the process locale's name; with a name, then switches to it ("#iso8601"
// turns on ISO 8601 date text for this engine instead). A name the platform rejects stops the
// run with error 105, the result holding the previous name.
int fn_locale(exp_engine *e, Cell *result, int argc, Cell **argv) {
  char current[256];
  if (argc < 1 || symval_is_null(argv[0])) {
    process_locale_switch(nullptr, current, sizeof current);
    exp_symval_setstr(result, current);
    return 0;
  }
  const char *name = argv[0]->value.s ? argv[0]->value.s : "";
  int rc = engine_set_locale(e, name, current, sizeof current);
  exp_symval_setstr(result, current);
  return rc != 0 ? engine_error(e, ERR_LOCALE) : 0;
}

const exp_function kRecords[] = {
    {"today", now<vts_timetoday>, 0, 0, "", 'd', 0, "Return current date/time (local time zone)", 0, ""},
    {"todaygmt", now<vts_gmtimetoday>, 0, 0, "", 'd', 0, "Return current date/time in GMT", 0, ""},
    {"todayutc", now<vts_gmtimetoday>, 0, 0, "", 'd', 0, "Return current date/time (UTC)", 0, ""},
    {"formatdate", charging_texts<fn_formatdate, 1>, 2, 2, "ds", 's', 40, "Returns a date formatted as a string", 0, ""},
    {"locale", rechecked<fn_locale>, 0, 1, "s", 's', 255,
     "Sets the locale which affects certain operations such as uppercasing and date operations. Returns the "
     "old locale. If no parameter is passed, the current locale is returned. This locale setting is a global "
     "setting.",
     0, "", EXP_CAP_LOCALE},
};

}  // namespace

std::span<const exp_function> date_functions() { return kRecords; }

// ---- exported calendar helpers -------------------------------------------------------------------

extern "C" EXP_API int exp_compose_date(int year, int month, int day, int hour, int minute, int second,
                                        double *days) {
  return vts_compose_date(year, month, day, hour, minute, second, days);
}

extern "C" EXP_API int exp_decompose_date(double days, int *year, int *month, int *day, int *hour, int *minute,
                                          int *second) {
  return vts_decompose_date(days, year, month, day, hour, minute, second);
}
