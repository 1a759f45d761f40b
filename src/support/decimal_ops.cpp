// The decimal core's other operations: comparison, reduce, quantize, rounding to an integer,
// integer division and remainder, plus/minus, max/min, and the predicates and constants.
#include "support/decimal_internal.h"

#include <algorithm>

namespace decimal_detail {
namespace {

// -1, 0 or 1 comparing |a| and |b| for finite nonzero operands.
int compare_magnitude(const Num &a, const Num &b) {
  const int64_t adj_a = a.exp + big_digits(a.coef) - 1;
  const int64_t adj_b = b.exp + big_digits(b.coef) - 1;
  if (adj_a != adj_b) return adj_a < adj_b ? -1 : 1;
  // Equal adjusted exponents: the exponents differ by less than the digit counts.
  Big x = a.coef, y = b.coef;
  if (a.exp > b.exp)
    big_mul_pow10(x, static_cast<int>(a.exp - b.exp));
  else
    big_mul_pow10(y, static_cast<int>(b.exp - a.exp));
  return big_cmp(x, y);
}

// -1, 0 or 1: the sign of a non-NaN value, zero for zeros.
int signum(const Num &x) {
  if (x.kind == Kind::finite && big_is_zero(x.coef)) return 0;
  return x.neg ? -1 : 1;
}

}  // namespace

int compare_num(const Num &a, const Num &b) {
  const int sa = signum(a), sb = signum(b);
  if (sa != sb) return sa < sb ? -1 : 1;
  if (sa == 0) return 0;
  int magnitude;
  if (a.kind == Kind::infinite || b.kind == Kind::infinite)
    magnitude = (a.kind == Kind::infinite ? 1 : 0) - (b.kind == Kind::infinite ? 1 : 0);
  else
    magnitude = compare_magnitude(a, b);
  return sa > 0 ? magnitude : -magnitude;
}

namespace {

void set_small_integer(Num &r, int v) {
  big_set_u64(r.coef, static_cast<u64>(v < 0 ? -v : v));
  r.exp = 0;
  r.neg = v < 0;
  r.kind = Kind::finite;
}

// Integer quotient and remainder of finite a by finite nonzero b: q = trunc(|a| / |b|) and
// rem = |a| - q * |b| at exponent min(ea, eb). False when q needs more than `digits` digits.
bool integer_divide(const Num &a, const Num &b, const Limits &lim, Big &q, Num &rem) {
  rem.kind = Kind::finite;
  rem.neg = a.neg;
  rem.exp = std::min(a.exp, b.exp);
  const int da = big_digits(a.coef), db = big_digits(b.coef);
  const int64_t adj_a = a.exp + da - 1, adj_b = b.exp + db - 1;
  if (big_is_zero(a.coef) || adj_a < adj_b) {  // |a| < |b|: nothing divides
    q.n = 0;
    rem.coef = a.coef;
    if (a.exp > b.exp) big_mul_pow10(rem.coef, static_cast<int>(a.exp - b.exp));
    if (big_is_zero(a.coef)) rem.coef.n = 0;
    return true;
  }
  if (adj_a - adj_b > lim.digits) return false;  // q >= 10^(adj_a - adj_b - 1) >= 10^digits
  Big x = a.coef, y = b.coef;
  if (a.exp > b.exp)
    big_mul_pow10(x, static_cast<int>(a.exp - b.exp));
  else
    big_mul_pow10(y, static_cast<int>(b.exp - a.exp));
  big_divmod(q, rem.coef, x, y);
  return big_digits(q) <= lim.digits;
}

// The NaN and infinity rules shared by divide-integer and remainder. Returns true when r is set.
bool integer_division_specials(Num &r, const Num &a, const Num &b, bool want_remainder, const Limits &lim,
                               uint32_t &status) {
  if (nan_operands(r, a, &b, lim, status)) return true;
  const bool neg = a.neg != b.neg;
  if (a.kind == Kind::infinite) {
    if (b.kind == Kind::infinite || want_remainder)
      set_invalid(r, status);
    else
      set_infinity(r, neg);
    return true;
  }
  if (b.kind == Kind::infinite) {
    if (want_remainder) {
      r = a;
      finish(r, false, lim, status);
    } else {
      set_zero(r, neg, 0);
    }
    return true;
  }
  if (big_is_zero(b.coef)) {
    if (big_is_zero(a.coef)) {
      set_quiet_nan(r);
      status |= DEC_Division_undefined;
    } else if (want_remainder) {
      set_invalid(r, status);
    } else {
      set_infinity(r, neg);
      status |= DEC_Division_by_zero;
    }
    return true;
  }
  return false;
}

void divide_integer_num(Num &r, const Num &a, const Num &b, const Limits &lim, uint32_t &status) {
  if (integer_division_specials(r, a, b, false, lim, status)) return;
  Num rem;
  Big q;
  if (!integer_divide(a, b, lim, q, rem)) {
    set_quiet_nan(r);
    status |= DEC_Division_impossible;
    return;
  }
  r.coef = q;
  r.exp = 0;
  r.neg = a.neg != b.neg;
  r.kind = Kind::finite;
  finish(r, false, lim, status);
}

void remainder_num(Num &r, const Num &a, const Num &b, const Limits &lim, uint32_t &status) {
  if (integer_division_specials(r, a, b, true, lim, status)) return;
  Big q;
  if (!integer_divide(a, b, lim, q, r)) {
    set_quiet_nan(r);
    status |= DEC_Division_impossible;
    return;
  }
  finish(r, false, lim, status);
}

// Quantize of finite operands: a rounded (or padded) to the quantum's exponent.
void quantize_finite(Num &r, const Num &a, int64_t target, const Limits &lim, uint32_t &status) {
  if (target > lim.emax || target < lim.etiny()) {
    set_invalid(r, status);
    return;
  }
  if (big_is_zero(a.coef)) {
    set_zero(r, a.neg, target);
    finish(r, false, lim, status);
    return;
  }
  const int64_t adj = a.exp + big_digits(a.coef) - 1;
  if (adj > lim.emax || adj - target + 1 > lim.digits) {
    set_invalid(r, status);
    return;
  }
  r = a;
  uint32_t raised = 0;
  if (a.exp >= target) {
    big_mul_pow10(r.coef, static_cast<int>(a.exp - target));
  } else {
    const Rest rest = big_drop_digits(r.coef, target - a.exp, false);
    raised |= DEC_Rounded | (rest != Rest::zero ? DEC_Inexact : 0);
    if (rounds_up(lim.round, a.neg, rest, r.coef)) big_add_u64(r.coef, 1);
  }
  r.exp = target;
  const bool zero = big_is_zero(r.coef);
  const int digits = big_digits(r.coef);
  if (digits > lim.digits || (!zero && target + digits - 1 > lim.emax)) {
    set_invalid(r, status);
    return;
  }
  if (!zero && target + digits - 1 < lim.emin) raised |= DEC_Subnormal;
  status |= raised;
  if (lim.clamp && r.exp > lim.etop()) {
    if (!zero) big_mul_pow10(r.coef, static_cast<int>(r.exp - lim.etop()));
    r.exp = lim.etop();
    status |= DEC_Clamped;
  }
}

void quantize_num(Num &r, const Num &a, const Num &q, const Limits &lim, uint32_t &status) {
  if (nan_operands(r, a, &q, lim, status)) return;
  if (a.kind == Kind::infinite || q.kind == Kind::infinite) {
    if (a.kind == Kind::infinite && q.kind == Kind::infinite)
      r = a;
    else
      set_invalid(r, status);
    return;
  }
  quantize_finite(r, a, q.exp, lim, status);
}

// Rounds to a whole number (exponent 0) with `mode`; `exact` raises Inexact and Rounded.
void integral_num(Num &r, const Num &a, decRounding mode, bool exact, const Limits &lim, uint32_t &status) {
  if (nan_operands(r, a, nullptr, lim, status)) return;
  r = a;
  if (a.kind == Kind::infinite || a.exp >= 0) return;
  if (big_is_zero(a.coef)) {
    set_zero(r, a.neg, 0);
    return;
  }
  const Rest rest = big_drop_digits(r.coef, -a.exp, false);
  if (rounds_up(mode, a.neg, rest, r.coef)) big_add_u64(r.coef, 1);
  r.exp = 0;
  if (exact) status |= DEC_Rounded | (rest != Rest::zero ? DEC_Inexact : 0);
}

void reduce_num(Num &r, const Num &a, const Limits &lim, uint32_t &status) {
  if (nan_operands(r, a, nullptr, lim, status)) return;
  r = a;
  if (a.kind == Kind::infinite) return;
  finish(r, false, lim, status);
  if (r.kind != Kind::finite) return;
  if (big_is_zero(r.coef)) {
    r.exp = 0;
    return;
  }
  // Strip every trailing zero, but never past the largest exponent the limits allow.
  const int64_t top = lim.clamp ? lim.etop() : lim.emax;
  r.exp += big_strip_zeros(r.coef, std::max<int64_t>(0, top - r.exp));
}

// Operand selection of max (want_max) and min: a quiet NaN loses to a number; numerically equal
// operands are ordered by sign, then by exponent.
void max_min_num(Num &r, const Num &a, const Num &b, bool want_max, const Limits &lim, uint32_t &status) {
  const bool signalling = a.kind == Kind::snan || b.kind == Kind::snan;
  if (signalling || (is_nan(a) && is_nan(b))) {
    nan_operands(r, a, &b, lim, status);
    return;
  }
  const Num *chosen;
  if (is_nan(a)) {
    chosen = &b;
  } else if (is_nan(b)) {
    chosen = &a;
  } else {
    int c = compare_num(a, b);
    if (c == 0) {
      if (a.neg != b.neg)
        c = a.neg ? -1 : 1;
      else if (a.exp != b.exp)
        c = (a.exp > b.exp) != a.neg ? 1 : -1;
    }
    chosen = (c >= 0) == want_max ? &a : &b;
    if (c == 0) chosen = &a;
  }
  r = *chosen;
  if (r.kind == Kind::finite) finish(r, false, lim, status);
}

void max_op(Num &r, const Num &a, const Num &b, const Limits &lim, uint32_t &st) { max_min_num(r, a, b, true, lim, st); }
void min_op(Num &r, const Num &a, const Num &b, const Limits &lim, uint32_t &st) { max_min_num(r, a, b, false, lim, st); }

void compare_op(Num &r, const Num &a, const Num &b, const Limits &lim, uint32_t &status) {
  if (nan_operands(r, a, &b, lim, status)) return;
  set_small_integer(r, compare_num(a, b));
}

using Binary = void (*)(Num &, const Num &, const Num &, const Limits &, uint32_t &);

decimal192 *run_binary(Binary op, decimal192 *r, const decimal192 *a, const decimal192 *b, decContext *ctx) {
  Num x, y, z;
  unpack(*a, x);
  unpack(*b, y);
  op(z, x, y, field_limits(*ctx), ctx->status);
  pack(z, *r);
  return r;
}

// 0 + a or 0 - a, the zero carrying a's exponent so that nothing but rounding changes.
decimal192 *plus_minus(decimal192 *r, const decimal192 *a, decContext *ctx, bool subtract) {
  Num x, zero, z;
  unpack(*a, x);
  set_zero(zero, false, x.kind == Kind::finite ? x.exp : 0);
  add_num(z, zero, x, subtract, field_limits(*ctx), ctx->status);
  pack(z, *r);
  return r;
}

}  // namespace
}  // namespace decimal_detail

using namespace decimal_detail;

namespace {

// -1, 0 or 1 for two small finite operands.
inline int fast_compare(const decimal192 &a, const decimal192 &b) {
  const int32_t ea = small_exponent(a), eb = small_exponent(b);
  if (ea == eb) {  // the common case: signed coefficients compare directly
    const __int128 x = sign_of(a) ? -static_cast<__int128>(a.w[0]) : static_cast<__int128>(a.w[0]);
    const __int128 y = sign_of(b) ? -static_cast<__int128>(b.w[0]) : static_cast<__int128>(b.w[0]);
    return (x > y) - (x < y);
  }
  const int sa = a.w[0] == 0 ? 0 : (sign_of(a) ? -1 : 1);
  const int sb = b.w[0] == 0 ? 0 : (sign_of(b) ? -1 : 1);
  if (sa != sb) return sa < sb ? -1 : 1;
  if (sa == 0) return 0;
  int magnitude;
  if (ea - eb > 19) {
    magnitude = 1;  // a >= 10^20 units of b's exponent, b < 2^64 of them
  } else if (eb - ea > 19) {
    magnitude = -1;
  } else {
    const u128 x = ea >= eb ? static_cast<u128>(a.w[0]) * kPow10[static_cast<size_t>(ea - eb)] : a.w[0];
    const u128 y = eb >= ea ? static_cast<u128>(b.w[0]) * kPow10[static_cast<size_t>(eb - ea)] : b.w[0];
    magnitude = x < y ? -1 : (x > y ? 1 : 0);
  }
  return sa > 0 ? magnitude : -magnitude;
}

// Drops the k (1..19) lowest digits of a small coefficient with `mode`; `rest` (when given)
// receives what was dropped.
u64 round_small(u64 coef, int k, bool neg, decRounding mode, Rest *rest_out) {
  const u64 unit = kPow10[static_cast<size_t>(k)];
  u64 kept = coef / unit;
  const u64 dropped = coef % unit;
  const u64 half = unit / 2;
  const Rest rest = dropped == 0 ? Rest::zero
                    : dropped < half ? Rest::below_half
                    : dropped == half ? Rest::half
                                      : Rest::above_half;
  if (rounds_up(mode, neg, rest, kept)) ++kept;
  if (rest_out != nullptr) *rest_out = rest;
  return kept;
}

// Quantize of two small finite operands whose exponents differ by at most 19 and whose target
// exponent needs no range handling. False when the general path must do it.
bool fast_quantize(decimal192 &r, const decimal192 &a, const decimal192 &q, decContext &ctx) {
  const int32_t from = small_exponent(a), to = small_exponent(q);
  const bool neg = sign_of(a);
  const u64 coef = a.w[0];
  if (!exponent_is_plain(ctx, to) || from - to > 19 || to - from > 19) return false;
  if (coef == 0 || to <= from) {  // padding: at most 39 digits, within the precision
    pack_u128(r, neg, static_cast<u128>(coef) * kPow10[static_cast<size_t>(coef == 0 ? 0 : from - to)], to);
    return true;
  }
  Rest rest;
  const u64 kept = round_small(coef, to - from, neg, ctx.round, &rest);
  pack_small(r, neg, kept, to);
  ctx.status |= DEC_Rounded | (rest != Rest::zero ? DEC_Inexact : 0);
  return true;
}

}  // namespace

// ---- comparison -----------------------------------------------------------------------------------------

decimal192 *decSextCompare(decimal192 *r, const decimal192 *a, const decimal192 *b, decContext *ctx) {
  if (is_small_finite(*a) && is_small_finite(*b)) {
    const int c = fast_compare(*a, *b);
    pack_small(*r, c < 0, static_cast<u64>(c < 0 ? 1 : c), 0);
    return r;
  }
  return run_binary(compare_op, r, a, b, ctx);
}

int decSextCompareSigned(const decimal192 *a, const decimal192 *b) {
  if (is_small_finite(*a) && is_small_finite(*b)) return fast_compare(*a, *b);
  Num x, y;
  unpack(*a, x);
  unpack(*b, y);
  if (is_nan(x) || is_nan(y)) return 2;
  return compare_num(x, y);
}

decimal192 *decSextMax(decimal192 *r, const decimal192 *a, const decimal192 *b, decContext *ctx) {
  return run_binary(max_op, r, a, b, ctx);
}

decimal192 *decSextMin(decimal192 *r, const decimal192 *a, const decimal192 *b, decContext *ctx) {
  return run_binary(min_op, r, a, b, ctx);
}

// ---- integer division ------------------------------------------------------------------------------------

decimal192 *decSextRemainder(decimal192 *r, const decimal192 *a, const decimal192 *b, decContext *ctx) {
  return run_binary(remainder_num, r, a, b, ctx);
}

decimal192 *decSextDivideInteger(decimal192 *r, const decimal192 *a, const decimal192 *b, decContext *ctx) {
  return run_binary(divide_integer_num, r, a, b, ctx);
}

// ---- rounding and scaling ----------------------------------------------------------------------------------

decimal192 *decSextQuantize(decimal192 *r, const decimal192 *a, const decimal192 *quantum, decContext *ctx) {
  if (is_small_finite(*a) && is_small_finite(*quantum) && wide_precision(*ctx) && fast_quantize(*r, *a, *quantum, *ctx))
    return r;
  return run_binary(quantize_num, r, a, quantum, ctx);
}

namespace {

// The general path of decSextReduce, out of line so that the fast path needs no stack frame.
[[gnu::noinline]] decimal192 *reduce_general(decimal192 *r, const decimal192 *a, decContext *ctx) {
  Num x, z;
  unpack(*a, x);
  reduce_num(z, x, field_limits(*ctx), ctx->status);
  pack(z, *r);
  return r;
}

}  // namespace

decimal192 *decSextReduce(decimal192 *r, const decimal192 *a, decContext *ctx) {
  if (is_small_finite(*a) && wide_precision(*ctx) && exponent_is_plain(*ctx, small_exponent(*a))) {
    // Nothing to round: strip the trailing zeros, staying within the largest exponent.
    const int32_t top = ctx->clamp ? ctx->emax - ctx->digits + 1 : ctx->emax;
    pack_reduced_small(*r, sign_of(*a), a->w[0], small_exponent(*a), top);
    return r;
  }
  return reduce_general(r, a, ctx);
}

decimal192 *decSextToIntegralValue(decimal192 *r, const decimal192 *a, decContext *ctx, decRounding mode) {
  if (is_small_finite(*a) && small_exponent(*a) >= -19) {
    const int32_t exponent = small_exponent(*a);
    if (exponent >= 0) {
      *r = *a;
      return r;
    }
    const bool neg = sign_of(*a);
    pack_small(*r, neg, round_small(a->w[0], -exponent, neg, mode, nullptr), 0);
    return r;
  }
  Num x, z;
  unpack(*a, x);
  integral_num(z, x, mode, false, field_limits(*ctx), ctx->status);
  pack(z, *r);
  return r;
}

decimal192 *decSextToIntegralExact(decimal192 *r, const decimal192 *a, decContext *ctx) {
  Num x, z;
  unpack(*a, x);
  const Limits lim = field_limits(*ctx);
  integral_num(z, x, lim.round, true, lim, ctx->status);
  pack(z, *r);
  return r;
}

decimal192 *decSextPlus(decimal192 *r, const decimal192 *a, decContext *ctx) { return plus_minus(r, a, ctx, false); }

decimal192 *decSextMinus(decimal192 *r, const decimal192 *a, decContext *ctx) { return plus_minus(r, a, ctx, true); }

// ---- sign and copies -----------------------------------------------------------------------------------------

decimal192 *decSextCopyAbs(decimal192 *r, const decimal192 *a) {
  *r = *a;
  r->w[2] &= ~kSignBit;
  return r;
}

decimal192 *decSextCopyNegate(decimal192 *r, const decimal192 *a) {
  *r = *a;
  r->w[2] ^= kSignBit;
  return r;
}

// ---- predicates and constants -----------------------------------------------------------------------------------

uint32_t decSextIsZero(const decimal192 *a) {
  return exp_field(*a) < DEC192_SPECIAL_INF && a->w[0] == 0 && a->w[1] == 0 && (a->w[2] & kHighCoefMask) == 0;
}

uint32_t decSextIsSigned(const decimal192 *a) { return sign_of(*a) ? 1 : 0; }

uint32_t decSextIsNaN(const decimal192 *a) { return exp_field(*a) >= DEC192_SPECIAL_QNAN ? 1 : 0; }

uint32_t decSextIsInfinite(const decimal192 *a) { return exp_field(*a) == DEC192_SPECIAL_INF ? 1 : 0; }

uint32_t decSextIsFinite(const decimal192 *a) { return exp_field(*a) < DEC192_SPECIAL_INF ? 1 : 0; }

decimal192 *decSextZero(decimal192 *r) {
  pack_small(*r, false, 0, 0);
  return r;
}

int32_t decSextGetExponent(const decimal192 *a) {
  return exp_field(*a) < DEC192_SPECIAL_INF ? small_exponent(*a) : 0;
}

decimal192 *decSextSetExponent(decimal192 *r, decContext *ctx, int32_t exponent) {
  Num x;
  unpack(*r, x);
  if (x.kind != Kind::finite) return r;
  x.exp = exponent;
  finish(x, false, field_limits(*ctx), ctx->status);
  pack(x, *r);
  return r;
}
