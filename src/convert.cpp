// The conversion matrix: one routine converts any cell into the type of another.
#include "convert.h"

#include <cctype>
#include <charconv>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "engine.h"
#include "support/dates.h"
#include "support/decimal.h"
#include "support/uchar.h"
#include "values.h"

namespace {

// Reduced, with a zero added so positive exponents come back to 0: 1E+2 prints as "100".
void format_real(const decimal192 *d, char *buf) {
  decContext ctx = context192();
  decimal192 r, zero;
  decSextReduce(&r, d, &ctx);
  decSextAdd(&r, &r, decSextZero(&zero), &ctx);
  decSextToString(&r, buf);
}

bool format_date(const decimal192 *d, exp_engine *e, char *buf, size_t size) {
  decContext ctx = context192();
  double days = decSextToDouble(d, &ctx, 2);
  if (decContextGetStatus(&ctx) != 0) return false;
  int y, mo, da, h, mi, s, ms;
  if (!vts_decompose_date_milli(days, &y, &mo, &da, &h, &mi, &s, &ms) || y < 0) return false;
  std::tm tm{};
  tm.tm_year = y - 1900;
  tm.tm_mon = mo - 1;
  tm.tm_mday = da;
  tm.tm_hour = h;
  tm.tm_min = mi;
  tm.tm_sec = s;
  size_t limit = size < 255 ? size : 255;
  if (e && e->date_iso8601) {
    // Four-digit years always: strftime's %Y writes year 1 as "1", which reads back as 2001.
    int n = std::snprintf(buf, limit, "%04d-%02d-%02d %02d:%02d:%02d", y, mo, da, h, mi, s);
    if (n < 0 || static_cast<size_t>(n) >= limit) buf[0] = '\0';
    return true;
  }
  if (std::strftime(buf, limit, "%x %X", &tm) == 0) buf[0] = '\0';
  return true;
}

bool is_nan_decimal(const exp_symval *c) { return decSextIsNaN(symval_dec(c)) != 0; }

// ---- one function per source type; each writes the destination or makes it null --------------

void from_boolean(const exp_symval *src, exp_symval *dst) {
  int64_t v = src->value.i;
  switch (symval_type(dst)) {
    case EXP_INTEGER: return exp_symval_setint(dst, v);
    case EXP_REAL: decSextFromInt64(symval_dec(dst), v); return;
    case EXP_STRING: return exp_symval_setstr(dst, v ? "true" : "false");
    default: return exp_symval_setnull(dst);
  }
}

void from_integer(const exp_symval *src, exp_symval *dst) {
  int64_t v = src->value.i;
  switch (symval_type(dst)) {
    case EXP_BOOLEAN: return exp_symval_setint(dst, v != 0);
    case EXP_REAL:
    case EXP_DATE: decSextFromInt64(symval_dec(dst), v); return;
    case EXP_STRING: {
      char buf[32];  // the digits of any 64-bit value, a sign and the terminator
      *std::to_chars(buf, buf + sizeof buf - 1, v).ptr = '\0';
      return exp_symval_setstr(dst, buf);
    }
    default: return exp_symval_setnull(dst);
  }
}

// Real or date into an integer, rounded toward minus infinity; null when out of range.
void decimal_to_integer(const exp_symval *src, exp_symval *dst) {
  decContext ctx = context192();
  int64_t v = decSextToInt64(symval_dec(src), &ctx, DEC_ROUND_FLOOR);
  if (decContextTestStatus(&ctx, DEC_Invalid_operation)) return exp_symval_setnull(dst);
  exp_symval_setint(dst, v);
}

void from_real(const exp_symval *src, exp_symval *dst, exp_engine *e) {
  if (is_nan_decimal(src)) return exp_symval_setnull(dst);
  switch (symval_type(dst)) {
    case EXP_BOOLEAN: return exp_symval_setint(dst, decSextIsZero(symval_dec(src)) ? 0 : 1);
    case EXP_INTEGER: return decimal_to_integer(src, dst);
    case EXP_DATE: *symval_dec(dst) = *symval_dec(src); return;
    case EXP_STRING: {
      char buf[DEC192_STRING];
      format_real(symval_dec(src), buf);
      return exp_symval_setstr(dst, buf);
    }
    default: return exp_symval_setnull(dst);
  }
}

void from_date(const exp_symval *src, exp_symval *dst, exp_engine *e) {
  if (is_nan_decimal(src)) return exp_symval_setnull(dst);
  switch (symval_type(dst)) {
    case EXP_INTEGER: return decimal_to_integer(src, dst);
    case EXP_REAL: *symval_dec(dst) = *symval_dec(src); return;
    case EXP_STRING: {
      char buf[256];
      if (!format_date(symval_dec(src), e, buf, sizeof buf)) return exp_symval_setnull(dst);
      return exp_symval_setstr(dst, buf);
    }
    default: return exp_symval_setnull(dst);
  }
}

// Any condition makes the result null except two that report an exact value: "clamped" (the
// exponents above 98253 are reached by padding the coefficient with zeros: 1E+98254 is exactly
// 1E+98254) and "subnormal" alone (a tiny value held exactly; with rounding, inexact is set too).
void string_to_real(const char *text, exp_symval *dst) {
  decContext ctx = context192();
  decSextFromString(symval_dec(dst), text, &ctx);
  if ((decContextGetStatus(&ctx) & ~(DEC_Clamped | DEC_Subnormal)) != 0) exp_symval_setnull(dst);
}

void string_to_date(const char *text, exp_symval *dst, exp_engine *e) {
  int y, mo, d, h, mi, s, ms;
  double days;
  if (vts_string_to_date_milli(text, &y, &mo, &d, &h, &mi, &s, &ms, e ? e->date_format : 0) != 0 ||
      !vts_compose_date_milli(y, mo, d, h, mi, s, ms, &days))
    return exp_symval_setnull(dst);
  decContext ctx = context192();
  decSextFromDouble(symval_dec(dst), days, &ctx);
}

void from_string(const exp_symval *src, exp_symval *dst, exp_engine *e) {
  const char *text = src->value.s ? src->value.s : "";
  switch (symval_type(dst)) {
    case EXP_BOOLEAN: {
      int b = string_to_bool(text);
      return b < 0 ? exp_symval_setnull(dst) : exp_symval_setint(dst, b);
    }
    case EXP_INTEGER: {
      int64_t v;
      return parse_int64_text(text, &v) ? exp_symval_setint(dst, v) : exp_symval_setnull(dst);
    }
    case EXP_REAL: return string_to_real(text, dst);
    case EXP_DATE: return string_to_date(text, dst, e);
    default: return exp_symval_setnull(dst);
  }
}

}  // namespace

bool parse_int64_text(const char *text, int64_t *out) {
  while (*text && std::isspace(static_cast<unsigned char>(*text))) ++text;
  return vts_numparse64(text, out, 0, 0) != 0;
}

bool symval_format(const exp_symval *c, exp_engine *e, char *buf, size_t size) {
  if (symval_is_null(c)) return false;
  switch (symval_type(c)) {
    case EXP_BOOLEAN: std::snprintf(buf, size, "%s", c->value.i ? "true" : "false"); return true;
    case EXP_INTEGER: std::snprintf(buf, size, "%" PRId64, c->value.i); return true;
    case EXP_REAL:
      if (is_nan_decimal(c)) return false;
      format_real(symval_dec(c), buf);
      return true;
    case EXP_DATE: return !is_nan_decimal(c) && format_date(symval_dec(c), e, buf, size);
    default: return false;
  }
}

void symval_convert(const exp_symval *src, exp_symval *dst, exp_engine *e) {
  if (!src || !dst) return;
  if (symval_type(src) == symval_type(dst)) return exp_symval_copy(src, dst);
  if (symval_is_null(src)) return exp_symval_setnull(dst);
  symval_clear_null_flag(dst);
  switch (symval_type(src)) {
    case EXP_BOOLEAN: return from_boolean(src, dst);
    case EXP_INTEGER: return from_integer(src, dst);
    case EXP_REAL: return from_real(src, dst, e);
    case EXP_STRING: return from_string(src, dst, e);
    case EXP_DATE: return from_date(src, dst, e);
    default: return exp_symval_setnull(dst);
  }
}

int symval_truth(const exp_symval *c) {
  if (symval_is_null(c)) return 0;
  switch (symval_type(c)) {
    case EXP_BOOLEAN:
    case EXP_INTEGER: return c->value.i != 0;
    case EXP_REAL:
    case EXP_DATE: return !decSextIsNaN(symval_dec(c)) && !decSextIsZero(symval_dec(c));
    case EXP_STRING: return c->value.s && c->value.s[0] && string_to_bool(c->value.s) != 0;
    case EXP_POINTER: return c->value.p != nullptr;
    default: return 0;
  }
}

int string_to_bool(const char *text) {
  static constexpr const char *kTrue[] = {"true", "yes", "t", "1", "y"};
  static constexpr const char *kFalse[] = {"false", "no", "f", "0", "n"};
  if (!text) return -1;
  for (const char *w : kTrue)
    if (np_uchar_icomp(text, w) == 0) return 1;
  for (const char *w : kFalse)
    if (np_uchar_icomp(text, w) == 0) return 0;
  return -1;
}

extern "C" EXP_API void exp_symval_coerce(exp_engine *e, const exp_symval *src, exp_symval *dst) {
  symval_convert(src, dst, e);
}
