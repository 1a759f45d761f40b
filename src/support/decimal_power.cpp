// Power for the decimal core. Integer exponents use binary exponentiation on coefficients kept
// to a working precision wider than the result (exact whenever the intermediate products fit),
// then one rounding. Other exponents go through MPFR: log10 of the base times the exponent,
// split into an integer power of ten and a mantissa, each far more precise than 52 digits.
#include "support/decimal_internal.h"

#include <mpfr.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace decimal_detail {

namespace {

// Exponents beyond this magnitude are out of every context's range whatever the coefficient.
inline constexpr int64_t kHugeExponent = int64_t{1} << 40;
// Exponents whose magnitude reaches 10^this make any base other than 1 overflow or underflow.
inline constexpr int64_t kCertainlyOutOfRange = 90;
// Exponents with more digits than this take the logarithmic path.
inline constexpr int kMaxIntegerPowerDigits = 60;

// A positive value coef * 10^exp known to working precision; `inexact` says digits were lost.
struct Approx {
  Big coef;
  int64_t exp;
  bool inexact;
};

// Cuts a to at most `width` digits, truncating and remembering any lost nonzero digit.
void truncate_to(Approx &a, int width) {
  const int digits = big_digits(a.coef);
  if (digits <= width) return;
  const Rest rest = big_drop_digits(a.coef, digits - width, false);
  a.exp += digits - width;
  a.inexact = a.inexact || rest != Rest::zero;
}

void multiply_approx(Approx &acc, const Approx &by, int width) {
  Big product;
  big_mul(product, acc.coef, by.coef);
  acc.coef = product;
  acc.exp += by.exp;
  acc.inexact = acc.inexact || by.inexact;
  truncate_to(acc, width);
}

// A result far outside any range: huge (overflow) or tiny (underflow), rounded by finish().
void set_extreme(Num &r, bool neg, bool huge) {
  big_set_u64(r.coef, 1);
  r.exp = huge ? kHugeExponent : -kHugeExponent;
  r.neg = neg;
  r.kind = Kind::finite;
}

// The integer value of an integral finite y (its magnitude); false when it has more digits than
// the integer path takes.
bool integer_magnitude(const Num &y, Big &n) {
  n = y.coef;
  if (y.exp >= 0) {
    if (y.exp + big_digits(n) > kMaxIntegerPowerDigits) return false;
    big_mul_pow10(n, static_cast<int>(y.exp));
    return true;
  }
  const int stripped = big_strip_zeros(n, -y.exp);  // integral: these are all zeros
  return stripped == -y.exp && big_digits(n) <= kMaxIntegerPowerDigits;
}

bool is_integral(const Num &y) {
  if (y.kind != Kind::finite || y.exp >= 0) return y.kind == Kind::finite;
  Big c = y.coef;
  return big_is_zero(c) || big_strip_zeros(c, -y.exp) == -y.exp;
}

// True for an integral y with an odd value.
bool is_odd_integer(const Num &y) {
  if (!is_integral(y) || y.exp > 0) return false;
  Big c = y.coef;
  big_strip_zeros(c, -y.exp);
  return (big_low(c) & 1) != 0;
}

// |x| == 1 exactly (whatever its exponent).
bool is_unit_magnitude(const Num &x) {
  Big c = x.coef;
  const int stripped = big_strip_zeros(c, INT32_MAX);
  return c.n == 1 && c.limb[0] == 1 && x.exp + stripped == 0;
}

// 1 written with `digits` digits: 1.00..0, flagged inexact (a non-integer power of 1 and 1^inf).
void set_inexact_one(Num &r, const Limits &lim, uint32_t &status) {
  big_pow10(r.coef, lim.digits - 1);
  r.exp = -(lim.digits - 1);
  r.neg = false;
  r.kind = Kind::finite;
  status |= DEC_Inexact | DEC_Rounded;
}

// |x|^n for a nonzero finite x and a positive integer n, to `width` digits.
Approx integer_power_magnitude(const Num &x, const Big &n, int width, bool &out_of_range) {
  Approx base{x.coef, x.exp, false};
  truncate_to(base, width);
  Approx acc{};
  big_set_u64(acc.coef, 1);
  out_of_range = false;
  for (int bit = big_bits(n) - 1; bit >= 0; --bit) {
    const Approx square = acc;
    multiply_approx(acc, square, width);
    if (((n.limb[bit / 64] >> (bit % 64)) & 1) != 0) multiply_approx(acc, base, width);
    if (acc.exp > kHugeExponent || acc.exp < -kHugeExponent) {
      out_of_range = true;
      break;
    }
  }
  return acc;
}

// When 1/|x| has a finite decimal expansion (the coefficient is 2^a * 5^b), sets `out` to it
// exactly: 5^a * 2^b * 10^-(a + b + exp). Returns false otherwise.
bool exact_reciprocal(const Num &x, Num &out) {
  Big rest = x.coef;
  int twos = 0;
  while (rest.n > 0 && (rest.limb[0] & 1) == 0) {
    big_divmod_u64(rest, 2);
    ++twos;
  }
  int fives = 0;
  for (;;) {
    Big t = rest;
    if (big_divmod_u64(t, 5) != 0) break;
    rest = t;
    ++fives;
  }
  if (rest.n != 1 || rest.limb[0] != 1) return false;
  big_set_u64(out.coef, 1);
  for (int i = 0; i < twos; ++i) big_mul_u64(out.coef, 5);
  for (int i = 0; i < fives; ++i) big_mul_u64(out.coef, 2);
  out.exp = -(twos + fives) - x.exp;
  out.neg = false;
  out.kind = Kind::finite;
  return true;
}

// x^y for nonzero finite x and an integral y with at most kMaxIntegerPowerDigits digits.
void integer_power(Num &r, const Num &x, const Num &y, const Big &n, const Limits &lim, uint32_t &status) {
  const bool neg = x.neg && (big_low(n) & 1) != 0;
  const int width = lim.digits + big_digits(n) + 8;
  bool out_of_range = false;
  Num reciprocal;
  if (y.neg && exact_reciprocal(x, reciprocal)) {
    // A terminating reciprocal: (1/x)^n is exact whenever it fits the working precision; an
    // exact result keeps the exponent nearest to the ideal -exp * n, as a division would.
    Approx acc = integer_power_magnitude(reciprocal, n, width, out_of_range);
    if (!out_of_range && !acc.inexact) {
      const bool small_n = n.n == 1 && big_low(n) < (u64{1} << 20);
      const int64_t ideal = small_n ? -x.exp * static_cast<int64_t>(big_low(n)) : (x.exp < 0 ? kHugeExponent : 0);
      if (ideal > acc.exp) acc.exp += big_strip_zeros(acc.coef, ideal - acc.exp);
    }
    r.coef = acc.coef;
    r.exp = acc.exp;
    r.neg = neg;
    r.kind = Kind::finite;
    if (out_of_range) set_extreme(r, neg, acc.exp > 0);
    finish(r, acc.inexact || out_of_range, lim, status);
    return;
  }
  const Approx acc = integer_power_magnitude(x, n, width, out_of_range);
  if (out_of_range) {  // |x|^n beyond any range: its reciprocal is tiny, and the other way round
    set_extreme(r, neg, (acc.exp > 0) != y.neg);
    finish(r, true, lim, status);
    return;
  }
  if (!y.neg) {
    r.coef = acc.coef;
    r.exp = acc.exp;
    r.neg = neg;
    r.kind = Kind::finite;
    finish(r, acc.inexact, lim, status);
    return;
  }
  if (!acc.inexact) {  // exact power: an ordinary division gives the ideal exponent and rounding
    Num one{}, denominator{};
    big_set_u64(one.coef, 1);
    one.kind = denominator.kind = Kind::finite;
    one.neg = neg;
    denominator.coef = acc.coef;
    denominator.exp = acc.exp;
    divide_num(r, one, denominator, lim, status);
    return;
  }
  // 1 / approximation: a quotient with about `width` digits, never exact.
  const int digits = big_digits(acc.coef);
  Big dividend, rem;
  big_pow10(dividend, width + digits);
  big_divmod(r.coef, rem, dividend, acc.coef);
  r.exp = -(width + digits) - acc.exp;
  r.neg = neg;
  r.kind = Kind::finite;
  finish(r, true, lim, status);
}

// Writes coef as decimal digits followed by "e<exp>" for MPFR's parser.
void to_mpfr(mpfr_t out, const Big &coef, int64_t exp, bool neg) {
  char buf[160];
  int n = 0;
  if (neg) buf[n++] = '-';
  Big rest = coef;
  char digits[100];
  int count = 0;
  do {
    digits[count++] = static_cast<char>('0' + big_divmod_u64(rest, 10));
  } while (!big_is_zero(rest) && count < 99);
  while (count > 0) buf[n++] = digits[--count];
  std::snprintf(buf + n, sizeof buf - static_cast<size_t>(n), "e%lld", static_cast<long long>(exp));
  mpfr_set_str(out, buf, 10, MPFR_RNDN);
}

// RAII for a set of MPFR variables of one precision.
struct MpfrScope {
  mpfr_t lx, ly, t, mant, ln10;
  explicit MpfrScope(mpfr_prec_t prec) { mpfr_inits2(prec, lx, ly, t, mant, ln10, static_cast<mpfr_ptr>(nullptr)); }
  ~MpfrScope() { mpfr_clears(lx, ly, t, mant, ln10, static_cast<mpfr_ptr>(nullptr)); }
  MpfrScope(const MpfrScope &) = delete;
  MpfrScope &operator=(const MpfrScope &) = delete;
};

// |x|^y through logarithms: L = y * log10|x| = k + f, result 10^f * 10^k. `neg` is the sign of
// the result. The result is marked inexact unless every MPFR step was exact (as for 1^y).
void logarithmic_power(Num &r, const Num &x, const Num &y, bool neg, const Limits &lim, uint32_t &status) {
  const int64_t y_adjusted = y.exp + big_digits(y.coef);
  if (y_adjusted > kCertainlyOutOfRange) {
    // |y| >= 10^90 and |log10|x|| >= 10^-78 (x has at most 77 digits and is not 1): |L| is
    // beyond every exponent limit; only its sign is needed.
    Num one{};
    big_set_u64(one.coef, 1);
    one.kind = Kind::finite;
    Num magnitude = x;
    magnitude.neg = false;
    set_extreme(r, neg, (compare_num(magnitude, one) > 0) != y.neg);
    finish(r, true, lim, status);
    return;
  }
  const mpfr_prec_t prec = 384 + static_cast<mpfr_prec_t>(std::max<int64_t>(0, y_adjusted) * 4);
  MpfrScope m(prec);
  int inexact = 0;
  to_mpfr(m.t, x.coef, 0, false);  // exact: the coefficient has far fewer bits than prec
  inexact |= mpfr_log10(m.lx, m.t, MPFR_RNDN);
  inexact |= mpfr_add_si(m.lx, m.lx, static_cast<long>(x.exp), MPFR_RNDN);  // log10|x|
  to_mpfr(m.ly, y.coef, y.exp, y.neg);
  inexact |= mpfr_mul(m.t, m.lx, m.ly, MPFR_RNDN);  // L
  if (mpfr_cmp_si(m.t, static_cast<long>(lim.emax + 2)) > 0 || mpfr_cmp_si(m.t, static_cast<long>(lim.etiny() - 2)) < 0) {
    set_extreme(r, neg, mpfr_sgn(m.t) > 0);
    finish(r, true, lim, status);
    return;
  }
  // L = k + f with k the nearest integer, so f is computed exactly and a result near a power
  // of ten has f near zero, where 10^f keeps its side of 1. Truncating toward zero here and
  // below makes the digits a lower bound of the magnitude, as finish() expects with `sticky`.
  mpfr_round(m.ln10, m.t);  // k, reusing a variable
  const long k = mpfr_get_si(m.ln10, MPFR_RNDN);
  mpfr_sub(m.t, m.t, m.ln10, MPFR_RNDN);           // f in [-0.5, 0.5], exact
  inexact |= mpfr_exp10(m.mant, m.t, MPFR_RNDZ);  // 10^f in [0.31, 3.17]
  const int want = lim.digits + 20;
  char digits[DEC192_PMAX + 24];
  mpfr_exp_t point = 0;
  mpfr_get_str(digits, &point, 10, static_cast<size_t>(want), m.mant, MPFR_RNDZ);
  Num out{};
  for (int i = 0; i < want && digits[i] != '\0'; ++i) {
    big_mul_u64(out.coef, 10);
    big_add_u64(out.coef, static_cast<u64>(digits[i] - '0'));
  }
  out.exp = static_cast<int64_t>(point) - want + k;
  out.neg = neg;
  out.kind = Kind::finite;
  r = out;
  finish(r, inexact != 0, lim, status);
  status |= DEC_Inexact | DEC_Rounded;
}

// x^y where y is an infinity and x is not negative (those are invalid).
void power_infinite_exponent(Num &r, const Num &x, const Num &y, const Limits &lim, uint32_t &status) {
  if (x.kind == Kind::finite && is_unit_magnitude(x)) {
    set_inexact_one(r, lim, status);
    return;
  }
  Num one{};
  big_set_u64(one.coef, 1);
  one.kind = Kind::finite;
  const bool below_one = compare_num(x, one) < 0;
  if (below_one == y.neg)
    set_infinity(r, false);
  else
    set_zero(r, false, 0);
}

// (+-1.00..0)^n for an integer n too long for the integer path. The exact power is 1 with
// k * n trailing zeros (k zeros in x's coefficient): that rounds to 1.00..0 at full precision;
// a negative n gives exactly 1.
void unit_power_huge(Num &r, const Num &x, const Num &y, bool neg, const Limits &lim, uint32_t &status) {
  const bool plain = y.neg || big_digits(x.coef) == 1;
  big_pow10(r.coef, plain ? 0 : lim.digits);
  r.exp = plain ? 0 : -lim.digits;
  r.neg = neg;
  r.kind = Kind::finite;
  finish(r, false, lim, status);
}

}  // namespace

void power_num(Num &r, const Num &x, const Num &y, const Limits &lim, uint32_t &status) {
  if (nan_operands(r, x, &y, lim, status)) return;
  const bool x_zero = x.kind == Kind::finite && big_is_zero(x.coef);
  const bool y_zero = y.kind == Kind::finite && big_is_zero(y.coef);
  if (y_zero) {
    if (x_zero) {
      set_invalid(r, status);
    } else {
      big_set_u64(r.coef, 1);
      r.exp = 0;
      r.neg = false;
      r.kind = Kind::finite;
    }
    return;
  }
  const bool integral = is_integral(y);
  if (x.neg && !x_zero && !integral) {  // a negative base needs an integer exponent
    set_invalid(r, status);
    return;
  }
  const bool neg = x.neg && is_odd_integer(y);
  if (x.kind == Kind::infinite || x_zero) {  // inf^y and 0^y: an infinity or a zero
    if ((x.kind == Kind::infinite) != y.neg)
      set_infinity(r, neg);
    else
      set_zero(r, neg, 0);
    return;
  }
  if (y.kind == Kind::infinite) {
    power_infinite_exponent(r, x, y, lim, status);
    return;
  }
  Big n;
  if (integral && integer_magnitude(y, n)) {
    integer_power(r, x, y, n, lim, status);
    return;
  }
  if (integral && is_unit_magnitude(x)) {
    unit_power_huge(r, x, y, neg, lim, status);
    return;
  }
  logarithmic_power(r, x, y, neg, lim, status);
}

}  // namespace decimal_detail

using namespace decimal_detail;

decNumber *decNumberPower(decNumber *r, const decNumber *base, const decNumber *exponent, decContext *ctx) {
  Num x, y, z;
  num_from_number(*base, x);
  num_from_number(*exponent, y);
  power_num(z, x, y, number_limits(*ctx), ctx->status);
  number_from_num(z, *r);
  return r;
}
