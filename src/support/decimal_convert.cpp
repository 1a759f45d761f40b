// Conversions of the decimal core: numeric strings in and scientific strings out, 32/64-bit
// integers, binary doubles, and the unpacked decNumber form used by the power function.
#include "support/decimal_internal.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <iterator>
#include <limits>
#include <string_view>

namespace decimal_detail {
namespace {

// ---- numeric strings in ---------------------------------------------------------------------------

inline bool is_digit(char c) { return c >= '0' && c <= '9'; }

inline char lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool equals_ignoring_case(std::string_view text, std::string_view word) {
  if (text.size() != word.size()) return false;
  for (size_t i = 0; i < text.size(); ++i)
    if (lower(text[i]) != word[i]) return false;
  return true;
}

bool starts_ignoring_case(std::string_view text, std::string_view word) {
  return text.size() >= word.size() && equals_ignoring_case(text.substr(0, word.size()), word);
}

// Exponent values beyond this are out of every context's range; capping keeps sums in int64.
inline constexpr int64_t kExponentCap = int64_t{1} << 50;

// The pieces of a well-formed finite numeric string.
struct NumberText {
  std::string_view integer;   // digits before the point
  std::string_view fraction;  // digits after it
  int64_t exponent = 0;       // value of the exponent part, capped
};

// Splits "digits[.digits]" / ".digits" with an optional exponent; false on any syntax error.
bool split_number(std::string_view s, NumberText &out) {
  size_t i = 0;
  while (i < s.size() && is_digit(s[i])) ++i;
  out.integer = s.substr(0, i);
  if (i < s.size() && s[i] == '.') {
    const size_t start = ++i;
    while (i < s.size() && is_digit(s[i])) ++i;
    out.fraction = s.substr(start, i - start);
  }
  if (out.integer.empty() && out.fraction.empty()) return false;
  if (i == s.size()) return true;
  if (lower(s[i]) != 'e') return false;
  ++i;
  bool negative = false;
  if (i < s.size() && (s[i] == '+' || s[i] == '-')) negative = s[i++] == '-';
  if (i == s.size()) return false;
  int64_t value = 0;
  for (; i < s.size(); ++i) {
    if (!is_digit(s[i])) return false;
    value = std::min(value * 10 + (s[i] - '0'), kExponentCap);
  }
  out.exponent = negative ? -value : value;
  return true;
}

// Accumulates the significant digits of a numeric string, keeping the first `keep` of them
// exactly and remembering whether any later one is nonzero.
struct DigitSink {
  int keep;
  Big coef{};
  u64 chunk = 0;
  int chunk_digits = 0;
  int kept = 0;
  int64_t dropped = 0;
  bool sticky = false;

  void push(char c) {
    const unsigned d = static_cast<unsigned>(c - '0');
    if (kept == 0 && d == 0) return;  // leading zero
    if (kept == keep) {
      ++dropped;
      sticky = sticky || d != 0;
      return;
    }
    chunk = chunk * 10 + d;
    ++kept;
    if (++chunk_digits == 19) flush();
  }
  void flush() {
    if (chunk_digits == 0) return;
    big_mul_u64(coef, kPow10[static_cast<size_t>(chunk_digits)]);
    big_add_u64(coef, chunk);
    chunk = 0;
    chunk_digits = 0;
  }
};

// Parses a NaN payload ("" or digits); false when it is not digits or is longer than allowed.
bool parse_payload(std::string_view digits, const Limits &lim, Big &payload) {
  DigitSink sink{DEC192_PMAX + 1};
  for (const char c : digits) {
    if (!is_digit(c)) return false;
    sink.push(c);
  }
  sink.flush();
  if (sink.kept > lim.digits - (lim.clamp ? 1 : 0)) return false;
  payload = sink.coef;
  return true;
}

// Infinity and NaN spellings; false when the text is none of them.
bool parse_special(std::string_view s, bool neg, const Limits &lim, Num &x) {
  x.neg = neg;
  x.exp = 0;
  x.coef.n = 0;
  if (equals_ignoring_case(s, "inf") || equals_ignoring_case(s, "infinity")) {
    x.kind = Kind::infinite;
    return true;
  }
  if (starts_ignoring_case(s, "nan")) {
    x.kind = Kind::qnan;
    return parse_payload(s.substr(3), lim, x.coef);
  }
  if (starts_ignoring_case(s, "snan")) {
    x.kind = Kind::snan;
    return parse_payload(s.substr(4), lim, x.coef);
  }
  return false;
}

void syntax_error(Num &x, uint32_t &status) {
  set_quiet_nan(x);
  status |= DEC_Conversion_syntax;
}

// Numeric strings of at most 19 digits (leading zeros included) with a small exponent, at a
// precision that needs no rounding for them: read straight into the 24-byte form. False when
// the general parser must do it (anything longer, unusual or malformed).
bool fast_parse(std::string_view s, const decContext &ctx, decimal192 &r) {
  if (!wide_precision(ctx) || s.size() > 40) return false;
  const char *p = s.data(), *const end = p + s.size();
  bool neg = false;
  if (p < end && (*p == '+' || *p == '-')) neg = *p++ == '-';
  u64 coef = 0;
  const char *const int_start = p;
  for (; p < end && is_digit(*p); ++p) coef = coef * 10 + static_cast<u64>(*p - '0');
  const int int_digits = static_cast<int>(p - int_start);
  int fraction = 0;
  if (p < end && *p == '.') {
    const char *const frac_start = ++p;
    for (; p < end && is_digit(*p); ++p) coef = coef * 10 + static_cast<u64>(*p - '0');
    fraction = static_cast<int>(p - frac_start);
  }
  if (int_digits + fraction == 0 || int_digits + fraction > 19) return false;
  int exponent = 0;
  if (p < end) {
    if (lower(*p++) != 'e') return false;
    bool negative = false;
    if (p < end && (*p == '+' || *p == '-')) negative = *p++ == '-';
    if (p == end || end - p > 6) return false;
    for (; p < end; ++p) {
      if (!is_digit(*p)) return false;
      exponent = exponent * 10 + (*p - '0');
    }
    exponent = negative ? -exponent : exponent;
  }
  exponent -= fraction;
  if (!exponent_is_plain(ctx, exponent)) return false;
  pack_small(r, neg, coef, exponent);
  return true;
}

}  // namespace

// Parses any numeric string into x, rounded to the limits.
void parse_number(std::string_view s, const Limits &lim, Num &x, uint32_t &status) {
  bool neg = false;
  if (!s.empty() && (s[0] == '+' || s[0] == '-')) {
    neg = s[0] == '-';
    s.remove_prefix(1);
  }
  if (!s.empty() && !is_digit(s[0]) && s[0] != '.') {
    if (!parse_special(s, neg, lim, x)) syntax_error(x, status);
    return;
  }
  NumberText text;
  if (!split_number(s, text)) {
    syntax_error(x, status);
    return;
  }
  DigitSink sink{lim.digits + 2};
  for (const char c : text.integer) sink.push(c);
  for (const char c : text.fraction) sink.push(c);
  sink.flush();
  x.coef = sink.coef;
  x.neg = neg;
  x.kind = Kind::finite;
  x.exp = text.exponent - static_cast<int64_t>(std::min<size_t>(text.fraction.size(), kExponentCap)) + sink.dropped;
  finish(x, sink.sticky, lim, status);
}

namespace {

// ---- scientific strings out ---------------------------------------------------------------------------

constexpr char kDigitPairs[] =
    "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
    "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
    "8081828384858687888990919293949596979899";

// Writes the decimal digits of v (at least `width` of them, zero-padded) and returns the count.
int write_u64(char *out, u64 v, int width) {
  const int n = std::max(digits_u64(v), width);
  char *p = out + n;
  while (v >= 100) {
    const size_t pair = static_cast<size_t>(v % 100) * 2;
    v /= 100;
    *--p = kDigitPairs[pair + 1];
    *--p = kDigitPairs[pair];
  }
  if (v >= 10) {
    *--p = kDigitPairs[v * 2 + 1];
    *--p = kDigitPairs[v * 2];
  } else {
    *--p = static_cast<char>('0' + v);
  }
  while (p > out) *--p = '0';
  return n;
}

// Writes the digits of a coefficient of up to 4 limbs; returns the count.
int write_coefficient(char *out, const Big &coef) {
  if (coef.n <= 1) return write_u64(out, big_low(coef), 1);
  u64 chunks[6];
  int count = 0;
  Big rest = coef;
  while (rest.n > 1 && count < 5) chunks[count++] = big_divmod_u64(rest, kPow10[19]);
  int n = write_u64(out, big_low(rest), 1);
  while (count > 0) n += write_u64(out + n, chunks[--count], 19);
  return n;
}

int write_exponent(char *out, int64_t adjusted) {
  out[0] = 'E';
  out[1] = adjusted < 0 ? '-' : '+';
  return 2 + write_u64(out + 2, static_cast<u64>(adjusted < 0 ? -adjusted : adjusted), 1);
}

// Places the point in the digit string (already at out[0..n)) for scientific notation.
int layout_finite(char *out, int n, int64_t exp) {
  const int64_t adjusted = exp + n - 1;
  if (exp <= 0 && adjusted >= -6) {
    if (exp == 0) return n;
    const int64_t before = n + exp;  // digits before the point
    if (before > 0) {  // a short move (the fraction digits): a plain loop beats a memmove call
      for (int64_t i = n; i > before; --i) out[i] = out[i - 1];
      out[before] = '.';
      return n + 1;
    }
    const int zeros = static_cast<int>(-before);
    std::memmove(out + 2 + zeros, out, static_cast<size_t>(n));
    out[0] = '0';
    out[1] = '.';
    std::memset(out + 2, '0', static_cast<size_t>(zeros));
    return n + 2 + zeros;
  }
  int len = n;
  if (n > 1) {
    std::memmove(out + 2, out + 1, static_cast<size_t>(n - 1));
    out[1] = '.';
    len = n + 1;
  }
  return len + write_exponent(out + len, adjusted);
}

// The eight decimal digits of v < 10^8 as ASCII, the most significant first in memory. The
// halves, quarters and single digits are split in lanes of one word (32-, 16- and 8-bit lanes)
// by multiplying with reciprocals small enough that no lane overflows into the next.
u64 eight_digits(u64 v) {
  u64 x = (v / 10000) | ((v % 10000) << 32);
  const u64 hundreds = ((x * 10486) >> 20) & 0x0000007F0000007Full;  // each lane / 100 (lanes < 10^4)
  x = hundreds | ((x - hundreds * 100) << 16);
  const u64 tens = ((x * 103) >> 10) & 0x000F000F000F000Full;  // each lane / 10 (lanes < 100)
  x = tens | ((x - tens * 10) << 8);
  return x + 0x3030303030303030ull;
}

// Writes a finite value with a coefficient below 10^16 in plain notation (no exponent) when that
// is its scientific form, and returns the length; -1 when it needs an exponent or leading zeros.
// The digits are made eight at a time and copied into place on both sides of the point, so
// nothing is moved after being written; the copies are 16 bytes wide and may write past the
// result (within the DEC192_STRING bytes the caller provides).
int write_plain_small(char *out, u64 coef, int32_t exp) {
  const int n = digits_u64(coef);
  const int before = n + exp;  // digits before the point
  if (coef >= kPow10[16] || exp > 0 || before <= 0) return -1;
  char digits[32] = {};
  const u64 high = eight_digits(coef / kPow10[8]);
  const u64 low = eight_digits(coef % kPow10[8]);
  std::memcpy(digits, &high, 8);
  std::memcpy(digits + 8, &low, 8);
  std::memcpy(out, digits + 16 - n, 16);
  if (exp == 0) return n;
  out[before] = '.';
  std::memcpy(out + before + 1, digits + 16 + exp, 16);
  return n + 1;
}

}  // namespace

// Writes x in scientific notation and a terminating NUL; returns the length.
int format_number(const Num &x, char *buf) {
  char *out = buf;
  if (x.neg) *out++ = '-';
  switch (x.kind) {
    case Kind::infinite:
      std::memcpy(out, "Infinity", 8);
      out += 8;
      break;
    case Kind::qnan:
    case Kind::snan:
      if (x.kind == Kind::snan) *out++ = 's';
      std::memcpy(out, "NaN", 3);
      out += 3;
      if (!big_is_zero(x.coef)) out += write_coefficient(out, x.coef);
      break;
    case Kind::finite:
      out += layout_finite(out, write_coefficient(out, x.coef), x.exp);
      break;
  }
  *out = '\0';
  return static_cast<int>(out - buf);
}

}  // namespace decimal_detail

using namespace decimal_detail;

// ---- strings ---------------------------------------------------------------------------------------------

decimal192 *decSextFromChars(decimal192 *r, const char *text, std::size_t n, decContext *ctx) {
  const std::string_view s = text == nullptr ? std::string_view{} : std::string_view{text, n};
  if (fast_parse(s, *ctx, *r)) return r;
  Num x;
  parse_number(s, field_limits(*ctx), x, ctx->status);
  pack(x, *r);
  return r;
}

decimal192 *decSextFromString(decimal192 *r, const char *text, decContext *ctx) {
  return decSextFromChars(r, text, text == nullptr ? 0 : std::strlen(text), ctx);
}

char *decSextToString(const decimal192 *a, char *buf) {
  if (is_small_finite(*a)) {
    char *out = buf + (sign_of(*a) ? 1 : 0);
    buf[0] = '-';
    int n = write_plain_small(out, a->w[0], small_exponent(*a));
    if (n < 0) n = layout_finite(out, write_u64(out, a->w[0], 1), small_exponent(*a));
    out[n] = '\0';
    return buf;
  }
  Num x;
  unpack(*a, x);
  format_number(x, buf);
  return buf;
}

// ---- integers ----------------------------------------------------------------------------------------------

decimal192 *decSextFromInt32(decimal192 *r, int32_t n) { return decSextFromInt64(r, n); }

decimal192 *decSextFromInt64(decimal192 *r, int64_t n) {
  const u64 magnitude = n < 0 ? u64{0} - static_cast<u64>(n) : static_cast<u64>(n);
  pack_small(*r, n < 0, magnitude, 0);
  return r;
}

int64_t decSextToInt64(const decimal192 *a, decContext *ctx, decRounding mode) {
  decimal192 whole;
  decSextToIntegralValue(&whole, a, ctx, mode);
  Num x;
  unpack(whole, x);
  if (x.kind != Kind::finite) {
    ctx->status |= DEC_Invalid_operation;
    return 0;
  }
  if (big_is_zero(x.coef)) return 0;
  const u64 limit = x.neg ? u64{1} << 63 : (u64{1} << 63) - 1;
  u128 value = x.coef.n == 1 ? x.coef.limb[0] : ~u128{0};
  for (int64_t e = 0; e < x.exp && value <= limit; ++e) value *= 10;
  if (value > limit) {
    ctx->status |= DEC_Invalid_operation;
    return 0;
  }
  return x.neg ? static_cast<int64_t>(u64{0} - static_cast<u64>(value)) : static_cast<int64_t>(value);
}

// ---- binary doubles ------------------------------------------------------------------------------------------

namespace {

inline constexpr double kPow10[] = {1e0, 1e1, 1e2, 1e3, 1e4, 1e5, 1e6, 1e7, 1e8, 1e9, 1e10, 1e11, 1e12,
                                    1e13, 1e14, 1e15, 1e16, 1e17};
inline constexpr double kTwoTo52 = 4503599627370496.0;
inline constexpr double kTwoTo53 = 9007199254740992.0;

// x (0 <= x < 2^53) rounded to the nearest integer, ties to even: adding and taking away 2^52
// pushes the fraction bits out under the default rounding mode, as nearbyint does, without
// the library call.
inline double nearest_integer(double x) { return x < kTwoTo52 ? (x + kTwoTo52) - kTwoTo52 : x; }

// The shortest decimal that reads back as d, found without printing when d is n / 10^k for some
// k <= 17 and |n| < 2^53 (money amounts, rates, counts): the first k at which the nearest n
// reads back as d gives the fewest digits, and n is the nearest such coefficient unless d * 10^k
// lies almost halfway between two integers, which is left to the printing path. False when the
// value does not have that form. Works on |d|: every step rounds symmetrically.
bool short_double(decimal192 &r, double d) {
  const double a = std::fabs(d);
  if (a == 0) {  // the printed zero reads as coefficient 0 at exponent 0, with the sign
    pack_small(r, std::signbit(d), 0, 0);
    return true;
  }
  if (!(a < kTwoTo53)) return false;
  for (int k = 0; k < static_cast<int>(std::size(kPow10)); ++k) {
    const double scaled = a * kPow10[k];
    if (!(scaled < kTwoTo53)) return false;
    const double n = nearest_integer(scaled);
    // n / 10^k reads back as a only if n lies within half a unit of a's last place (times 10^k)
    // of a * 10^k, and scaled within half a unit of its own last place of that: together less
    // than 2^-51 * scaled (the subtraction is exact). Farther off, the division is skipped.
    const double near = scaled * 0x1p-51;
    if (scaled - n > near || n - scaled > near) continue;
    if (n / kPow10[k] != a) continue;
    // a * 10^k is then within 2^-53 * scaled + near of n: below 2^49 that is under 0.32, so
    // n is the nearest integer beyond doubt. Above, the exact distance (fma rounds once, a
    // value far below 1) decides, and an almost-halfway value is left to the printing path.
    if (scaled >= 0x1p49 && std::fabs(std::fma(a, kPow10[k], -n)) > 0.49) return false;
    u64 coef = static_cast<u64>(n);
    int32_t exponent = -k;
    while (coef % 10 == 0) coef /= 10, ++exponent;
    pack_small(r, std::signbit(d), coef, exponent);
    return true;
  }
  return false;
}

}  // namespace

decimal192 *decSextFromDouble(decimal192 *r, double d, decContext *ctx) {
  if (short_double(*r, d)) return r;
  if (std::isnan(d)) return decSextNaN(r);
  if (std::isinf(d)) {
    r->w[0] = r->w[1] = 0;
    r->w[2] = (std::signbit(d) ? kSignBit : 0) | (u64{DEC192_SPECIAL_INF} << kExpShift);
    return r;
  }
  char buf[64];
  // The shortest digits that read back as d (scientific form: the fixed form of a large double
  // spells out every digit of its binary value).
  const auto res = std::to_chars(buf, buf + sizeof buf, d, std::chars_format::scientific);
  return decSextFromChars(r, buf, static_cast<size_t>(res.ptr - buf), ctx);
}

double decSextToDouble(const decimal192 *a, decContext *ctx, int /*flag*/) {
  double out;
  if (decSextToDoubleExact(a, &out)) return out;
  Num x;
  unpack(*a, x);
  if (x.kind != Kind::finite) {
    ctx->status |= DEC_Invalid_operation;
    if (x.kind == Kind::infinite) return x.neg ? -HUGE_VAL : HUGE_VAL;
    return std::numeric_limits<double>::quiet_NaN();
  }
  char buf[DEC192_STRING];
  const int n = format_number(x, buf);
  const auto res = std::from_chars(buf, buf + n, out);
  if (res.ec == std::errc::result_out_of_range) {  // beyond the double range either way
    ctx->status |= DEC_Invalid_operation;
    const bool huge = x.exp + big_digits(x.coef) - 1 > 0;
    out = huge ? HUGE_VAL : 0.0;
    return x.neg ? -out : out;
  }
  if (out == 0.0 && !big_is_zero(x.coef)) ctx->status |= DEC_Invalid_operation;  // underflowed to zero
  return out;
}

// ---- the unpacked decNumber form ----------------------------------------------------------------------------

namespace decimal_detail {

void num_from_number(const decNumber &n, Num &x) {
  big_set_limbs(x.coef, n.coef, 4);
  x.exp = n.exponent;
  x.neg = n.sign != 0;
  switch (n.special) {
    case 1: x.kind = Kind::infinite; x.coef.n = 0; break;
    case 2: x.kind = Kind::qnan; break;
    case 3: x.kind = Kind::snan; break;
    default: x.kind = Kind::finite; break;
  }
}

// Stores x (exponent within int32, coefficient within 4 limbs) into the unpacked form.
void number_from_num(const Num &x, decNumber &n) {
  n = decNumber{};
  n.exponent = static_cast<int32_t>(std::clamp<int64_t>(x.exp, INT32_MIN, INT32_MAX));
  n.sign = x.neg ? 1 : 0;
  switch (x.kind) {
    case Kind::finite: n.special = 0; break;
    case Kind::infinite: n.special = 1; break;
    case Kind::qnan: n.special = 2; break;
    case Kind::snan: n.special = 3; break;
  }
  for (int i = 0; i < std::min(x.coef.n, 4); ++i) n.coef[i] = x.coef.limb[i];
  n.digits = big_digits(x.coef);
}

}  // namespace decimal_detail

decNumber *decimal192ToNumber(const decimal192 *a, decNumber *n) {
  Num x;
  unpack(*a, x);
  number_from_num(x, *n);
  return n;
}

decimal192 *decimal192FromNumber(decimal192 *r, const decNumber *n, decContext *ctx) {
  Num x;
  num_from_number(*n, x);
  const Limits lim = field_limits(*ctx);
  if (x.kind == Kind::finite) {
    finish(x, false, lim, ctx->status);
  } else if (is_nan(x)) {
    const Kind kind = x.kind;
    quiet_nan_from(x, x, lim);
    x.kind = kind;
  }
  pack(x, *r);
  return r;
}
