// The decimal core: contexts, the 24-byte form, the shared rounding step and the arithmetic.
// Every operation first tries a fast path for coefficients below 2^64 at wide precision (prices,
// quantities, counts), then falls back to the general multi-limb path, which handles any operand.
#include "support/decimal_internal.h"

#include <algorithm>
#include <cstring>

namespace decimal_detail {

// ---- limits ------------------------------------------------------------------------------------------

Limits number_limits(const decContext &ctx) {
  Limits lim;
  lim.digits = std::clamp(ctx.digits, 1, DEC192_PMAX);
  lim.emax = ctx.emax;
  lim.emin = ctx.emin;
  lim.round = (ctx.round >= DEC_ROUND_CEILING && ctx.round <= DEC_ROUND_05UP) ? ctx.round : DEC_ROUND_HALF_EVEN;
  lim.clamp = ctx.clamp != 0;
  return lim;
}

Limits field_limits(const decContext &ctx) {
  Limits lim = number_limits(ctx);
  lim.emax = std::min<int64_t>(lim.emax, DEC192_EXP_MAX);
  lim.emin = std::max<int64_t>(lim.emin, int64_t{DEC192_EXP_MIN} + lim.digits - 1);
  return lim;
}

// ---- packing -----------------------------------------------------------------------------------------

void unpack(const decimal192 &d, Num &x) {
  const u64 limbs[3] = {d.w[0], d.w[1], d.w[2] & kHighCoefMask};
  big_set_limbs(x.coef, limbs, 3);
  x.neg = sign_of(d);
  x.exp = 0;
  const uint32_t field = exp_field(d);
  if (field < DEC192_SPECIAL_INF) {
    x.kind = Kind::finite;
    x.exp = static_cast<int64_t>(field) - DEC192_BIAS;
  } else if (field == DEC192_SPECIAL_INF) {
    x.kind = Kind::infinite;
    x.coef.n = 0;
  } else {
    x.kind = field == DEC192_SPECIAL_QNAN ? Kind::qnan : Kind::snan;
  }
}

void pack(const Num &x, decimal192 &d) {
  u64 field = 0;
  switch (x.kind) {
    case Kind::finite: field = static_cast<u64>(x.exp + DEC192_BIAS); break;
    case Kind::infinite: field = DEC192_SPECIAL_INF; break;
    case Kind::qnan: field = DEC192_SPECIAL_QNAN; break;
    case Kind::snan: field = DEC192_SPECIAL_SNAN; break;
  }
  const bool fits = x.coef.n <= 3 && (x.coef.n < 3 || x.coef.limb[2] <= kHighCoefMask) &&
                    (x.kind != Kind::finite || (x.exp >= DEC192_EXP_MIN && x.exp <= DEC192_EXP_MAX));
  if (!fits) {  // cannot happen after finish(); keep the value well-formed all the same
    d.w[0] = d.w[1] = 0;
    d.w[2] = u64{DEC192_SPECIAL_QNAN} << kExpShift;
    return;
  }
  d.w[0] = x.coef.n > 0 && x.kind != Kind::infinite ? x.coef.limb[0] : 0;
  d.w[1] = x.coef.n > 1 && x.kind != Kind::infinite ? x.coef.limb[1] : 0;
  const u64 high = x.coef.n > 2 && x.kind != Kind::infinite ? x.coef.limb[2] : 0;
  d.w[2] = (x.neg ? kSignBit : 0) | (field << kExpShift) | high;
}

// ---- special results ---------------------------------------------------------------------------------

void set_zero(Num &x, bool neg, int64_t exp) {
  x.coef.n = 0;
  x.exp = exp;
  x.neg = neg;
  x.kind = Kind::finite;
}

void set_infinity(Num &x, bool neg) {
  x.coef.n = 0;
  x.exp = 0;
  x.neg = neg;
  x.kind = Kind::infinite;
}

void set_quiet_nan(Num &r) {
  r.coef.n = 0;
  r.exp = 0;
  r.neg = false;
  r.kind = Kind::qnan;
}

void set_invalid(Num &r, uint32_t &status) {
  set_quiet_nan(r);
  status |= DEC_Invalid_operation;
}

void quiet_nan_from(Num &x, const Num &src, const Limits &lim) {
  x.coef = src.coef;
  x.neg = src.neg;
  x.exp = 0;
  x.kind = Kind::qnan;
  // A payload keeps at most digits - clamp digits: the low ones.
  const int room = lim.digits - (lim.clamp ? 1 : 0);
  if (big_digits(x.coef) > room) {
    Big divisor, q, r;
    big_pow10(divisor, room);
    big_divmod(q, r, x.coef, divisor);
    x.coef = r;
  }
}

bool nan_operands(Num &r, const Num &a, const Num *b, const Limits &lim, uint32_t &status) {
  const Num *pick = nullptr;
  if (a.kind == Kind::snan) {
    pick = &a;
  } else if (b != nullptr && b->kind == Kind::snan) {
    pick = b;
  } else if (a.kind == Kind::qnan) {
    pick = &a;
  } else if (b != nullptr && b->kind == Kind::qnan) {
    pick = b;
  }
  if (pick == nullptr) return false;
  if (pick->kind == Kind::snan) status |= DEC_Invalid_operation;
  quiet_nan_from(r, *pick, lim);
  return true;
}

// ---- the rounding step -------------------------------------------------------------------------------
namespace {

// A zero keeps its exponent unless the limits cannot hold it.
void finish_zero(Num &x, const Limits &lim, uint32_t &status) {
  x.coef.n = 0;
  const int64_t top = lim.clamp ? lim.etop() : lim.emax;
  if (x.exp < lim.etiny()) {
    x.exp = lim.etiny();
    status |= DEC_Clamped;
  } else if (x.exp > top) {
    x.exp = top;
    status |= DEC_Clamped;
  }
}

// The result of an overflow: infinity, or the largest finite number when rounding toward zero.
void overflow(Num &x, const Limits &lim, uint32_t &status) {
  status |= DEC_Overflow | DEC_Inexact | DEC_Rounded;
  bool to_infinity = true;
  switch (lim.round) {
    case DEC_ROUND_CEILING: to_infinity = !x.neg; break;
    case DEC_ROUND_FLOOR: to_infinity = x.neg; break;
    case DEC_ROUND_DOWN:
    case DEC_ROUND_05UP: to_infinity = false; break;
    default: break;
  }
  if (to_infinity) {
    set_infinity(x, x.neg);
    return;
  }
  big_pow10(x.coef, lim.digits);
  Big one;
  big_set_u64(one, 1);
  big_sub(x.coef, x.coef, one);
  x.exp = lim.etop();
}

}  // namespace

void finish(Num &x, bool sticky, const Limits &lim, uint32_t &status) {
  if (big_is_zero(x.coef) && !sticky) {
    finish_zero(x, lim, status);
    return;
  }
  const int p = lim.digits;
  const int digits = big_digits(x.coef);
  const bool tiny = x.exp + digits - 1 < lim.emin;
  const int64_t drop = tiny ? lim.etiny() - x.exp : int64_t{digits} - p;

  Rest rest = Rest::zero;
  int kept = digits;  // digits of the coefficient from here on
  if (drop > 0) {
    rest = big_drop_digits(x.coef, drop, sticky);
    x.exp += drop;
    kept = drop < digits ? static_cast<int>(digits - drop) : 1;
    status |= DEC_Rounded;
  } else if (sticky) {
    rest = Rest::below_half;
    status |= DEC_Rounded;
  }
  if (rest != Rest::zero) status |= DEC_Inexact;
  if (rounds_up(lim.round, x.neg, rest, x.coef)) {
    big_add_u64(x.coef, 1);
    kept = big_digits(x.coef);
    if (kept > p) {  // 99..9 + 1: one more digit, all zeros below the first
      big_divmod_u64(x.coef, 10);
      x.exp += 1;
      kept = p;
    }
  }
  if (big_is_zero(x.coef)) {  // a tiny value rounded away entirely
    status |= DEC_Subnormal | DEC_Underflow | DEC_Clamped;
    x.exp = lim.etiny();
    return;
  }
  if (x.exp + kept - 1 > lim.emax) {
    overflow(x, lim, status);
    return;
  }
  if (tiny) status |= DEC_Subnormal | (rest != Rest::zero ? DEC_Underflow : 0);
  if (lim.clamp && x.exp > lim.etop()) {
    big_mul_pow10(x.coef, static_cast<int>(x.exp - lim.etop()));
    x.exp = lim.etop();
    status |= DEC_Clamped;
  }
}

// ---- addition ----------------------------------------------------------------------------------------
namespace {

// Adds two finite operands with the given signs. When the lower-exponent operand lies wholly
// below the result's rounding digit, it is replaced by a unit just below that digit: the
// rounding sees the same "some nonzero amount below" and no huge shift is ever needed.
void add_finite(Num &r, const Num &a, bool aneg, const Num &b, bool bneg, const Limits &lim, uint32_t &status) {
  const bool az = big_is_zero(a.coef);
  const bool bz = big_is_zero(b.coef);
  if (az && bz) {
    const bool neg = aneg == bneg ? aneg : lim.round == DEC_ROUND_FLOOR;
    set_zero(r, neg, std::min(a.exp, b.exp));
    finish(r, false, lim, status);
    return;
  }
  const bool a_high = a.exp >= b.exp;
  const Num &hi = a_high ? a : b;
  const Num &lo = a_high ? b : a;
  const bool hineg = a_high ? aneg : bneg;
  const bool loneg = a_high ? bneg : aneg;
  const int64_t diff = hi.exp - lo.exp;
  r.kind = Kind::finite;

  if (big_is_zero(hi.coef)) {  // the sum is the other operand, at the lower exponent
    r.coef = lo.coef;
    r.exp = lo.exp;
    r.neg = loneg;
    finish(r, false, lim, status);
    return;
  }
  const int p = lim.digits;
  const int hi_digits = big_digits(hi.coef);
  if (big_is_zero(lo.coef)) {
    // Only zeros are appended; more than one past the precision changes nothing.
    const int64_t shift = std::max<int64_t>(0, std::min<int64_t>(diff, int64_t{p} - hi_digits + 1));
    r.coef = hi.coef;
    big_mul_pow10(r.coef, static_cast<int>(shift));
    r.exp = hi.exp - shift;
    r.neg = hineg;
    finish(r, false, lim, status);
    return;
  }
  const int lo_digits = big_digits(lo.coef);
  Big high = hi.coef;
  Big low = lo.coef;
  int64_t shift = diff;
  if (diff >= int64_t{p} + 3 + lo_digits - hi_digits) {
    shift = std::max(p + 3 - hi_digits, 2);
    big_set_u64(low, 1);
  }
  big_mul_pow10(high, static_cast<int>(shift));
  r.exp = hi.exp - shift;
  if (hineg == loneg) {
    big_add(r.coef, high, low);
    r.neg = hineg;
  } else {
    const int c = big_cmp(high, low);
    if (c == 0) {
      set_zero(r, lim.round == DEC_ROUND_FLOOR, r.exp);
      finish(r, false, lim, status);
      return;
    }
    if (c > 0) {
      big_sub(r.coef, high, low);
      r.neg = hineg;
    } else {
      big_sub(r.coef, low, high);
      r.neg = loneg;
    }
  }
  finish(r, false, lim, status);
}

}  // namespace

void add_num(Num &r, const Num &a, const Num &b, bool subtract, const Limits &lim, uint32_t &status) {
  if (nan_operands(r, a, &b, lim, status)) return;
  const bool bneg = b.neg != subtract;
  if (a.kind == Kind::infinite || b.kind == Kind::infinite) {
    if (a.kind == Kind::infinite && b.kind == Kind::infinite && a.neg != bneg) {
      set_invalid(r, status);
      return;
    }
    set_infinity(r, a.kind == Kind::infinite ? a.neg : bneg);
    return;
  }
  add_finite(r, a, a.neg, b, bneg, lim, status);
}

// ---- multiplication and division ---------------------------------------------------------------------

void multiply_num(Num &r, const Num &a, const Num &b, const Limits &lim, uint32_t &status) {
  if (nan_operands(r, a, &b, lim, status)) return;
  const bool neg = a.neg != b.neg;
  if (a.kind == Kind::infinite || b.kind == Kind::infinite) {
    const Num &other = a.kind == Kind::infinite ? b : a;
    if (other.kind == Kind::finite && big_is_zero(other.coef)) {
      set_invalid(r, status);
      return;
    }
    set_infinity(r, neg);
    return;
  }
  Big product;
  big_mul(product, a.coef, b.coef);
  r.coef = product;
  r.exp = a.exp + b.exp;
  r.neg = neg;
  r.kind = Kind::finite;
  finish(r, false, lim, status);
}

void divide_num(Num &r, const Num &a, const Num &b, const Limits &lim, uint32_t &status) {
  if (nan_operands(r, a, &b, lim, status)) return;
  const bool neg = a.neg != b.neg;
  if (a.kind == Kind::infinite) {
    if (b.kind == Kind::infinite) {
      set_invalid(r, status);
    } else {
      set_infinity(r, neg);
    }
    return;
  }
  if (b.kind == Kind::infinite) {  // x / inf: the smallest zero the limits hold
    set_zero(r, neg, lim.etiny());
    status |= DEC_Clamped;
    return;
  }
  if (big_is_zero(b.coef)) {
    if (big_is_zero(a.coef)) {
      set_quiet_nan(r);
      status |= DEC_Division_undefined;
      return;
    }
    set_infinity(r, neg);
    status |= DEC_Division_by_zero;
    return;
  }
  const int64_t ideal = a.exp - b.exp;
  if (big_is_zero(a.coef)) {
    set_zero(r, neg, ideal);
    finish(r, false, lim, status);
    return;
  }
  // Scale the dividend so the quotient has at least digits + 1 digits: the extra digit keeps
  // any nonzero remainder strictly below the rounding digit.
  const int p = lim.digits;
  const int shift = std::max(0, p + 1 + big_digits(b.coef) - big_digits(a.coef));
  Big dividend = a.coef;
  big_mul_pow10(dividend, shift);
  Big rem;
  big_divmod(r.coef, rem, dividend, b.coef);
  r.exp = ideal - shift;
  r.neg = neg;
  r.kind = Kind::finite;
  const bool exact = big_is_zero(rem);
  if (exact) r.exp += big_strip_zeros(r.coef, shift);
  finish(r, !exact, lim, status);
}

}  // namespace decimal_detail

using namespace decimal_detail;

// ---- context -------------------------------------------------------------------------------------------

decContext *decContextDefault(decContext *ctx, int32_t kind) {
  *ctx = decContext{};
  if (kind == DEC_INIT_DECIMAL192) {
    ctx->digits = DEC192_PMAX;
    ctx->emax = DEC192_EMAX;
    ctx->emin = DEC192_EMIN;
    ctx->round = DEC_ROUND_HALF_EVEN;
    ctx->clamp = 1;
    return ctx;
  }
  ctx->digits = 9;
  ctx->emax = 999999999;
  ctx->emin = -999999999;
  ctx->round = DEC_ROUND_HALF_UP;
  ctx->clamp = 0;
  if (kind != DEC_INIT_BASE) ctx->status = DEC_Invalid_context;
  return ctx;
}

decContext *decContextSetRounding(decContext *ctx, decRounding mode) {
  ctx->round = mode;
  return ctx;
}

uint32_t decContextGetStatus(const decContext *ctx) { return ctx->status; }

uint32_t decContextTestStatus(const decContext *ctx, uint32_t mask) { return ctx->status & mask; }

decContext *decContextClearStatus(decContext *ctx, uint32_t mask) {
  ctx->status &= ~mask;
  return ctx;
}

// ---- fast paths ------------------------------------------------------------------------------------------
namespace {

// Sum of two small finite operands; false when the general path must do it.
bool fast_add(decimal192 &r, const decimal192 &a, const decimal192 &b, bool subtract, const decContext &ctx) {
  u128 sum;
  bool neg;
  int32_t exponent;
  if (!small_sum(a, b, subtract, ctx, sum, neg, exponent)) return false;
  pack_u128(r, neg, sum, exponent);
  return true;
}

bool fast_multiply(decimal192 &r, const decimal192 &a, const decimal192 &b, const decContext &ctx) {
  const int32_t exponent = small_exponent(a) + small_exponent(b);
  if (!exponent_is_plain(ctx, exponent)) return false;
  pack_u128(r, sign_of(a) != sign_of(b), static_cast<u128>(a.w[0]) * b.w[0], exponent);
  return true;
}

// 128-by-64-bit division for a quotient known to fit 64 bits (hi < d).
inline u64 divide_128(u64 hi, u64 lo, u64 d, u64 &rem) {
#if defined(__x86_64__)
  u64 q;
  __asm__("divq %4" : "=a"(q), "=d"(rem) : "a"(lo), "d"(hi), "rm"(d) : "cc");
  return q;
#else
  const u128 n = (static_cast<u128>(hi) << 64) | lo;
  rem = static_cast<u64>(n % d);
  return static_cast<u64>(n / d);
#endif
}

// A quotient of up to 58 digits built 19 digits at a time.
struct Acc192 {
  u64 w[3];
  void mul_add(u64 m, u64 a) {
    u128 t = static_cast<u128>(w[0]) * m + a;
    w[0] = static_cast<u64>(t);
    t = static_cast<u128>(w[1]) * m + static_cast<u64>(t >> 64);
    w[1] = static_cast<u64>(t);
    w[2] = w[2] * m + static_cast<u64>(t >> 64);
  }
  void increment() {
    if (++w[0] == 0 && ++w[1] == 0) ++w[2];
  }
  u64 last_digit() const { return (w[2] % 10 * 6 + w[1] % 10 * 6 + w[0] % 10) % 10; }  // 2^64 = 6 (mod 10)
  bool equals(const Big &b) const {
    for (int i = 0; i < 3; ++i)
      if (w[i] != (i < b.n ? b.limb[i] : 0)) return false;
    return b.n <= 3;
  }
};

// Quotient of two small finite operands, long division 19 digits at a time: exact quotients
// stop early (at the exponent nearest the ideal one), others get `digits` digits and one
// rounding from the final remainder. False (nothing changed) when the general path must do it.
bool fast_divide(decimal192 &r, const decimal192 &a, const decimal192 &b, decContext &ctx) {
  const u64 ca = a.w[0], cb = b.w[0];
  if (cb == 0) return false;
  const bool neg = sign_of(a) != sign_of(b);
  const int p = ctx.digits;
  int32_t exp = small_exponent(a) - small_exponent(b);
  u64 rem = ca % cb;
  Acc192 acc{{ca / cb, 0, 0}};
  if (rem == 0) {
    if (!exponent_is_plain(ctx, exp)) return false;
    pack_small(r, neg, acc.w[0], exp);
    return true;
  }
  int count = acc.w[0] != 0 ? digits_u64(acc.w[0]) : 0;
  if (count == 0) {  // skip most zeros between the point and the first quotient digit
    const int shift = digits_u64(cb) - digits_u64(rem) - 1;
    if (shift > 0) {
      rem *= kPow10[static_cast<size_t>(shift)];
      exp -= shift;
    }
  }
  while (count < p) {
    int k = std::min(19, p - count);
    const u128 scaled = static_cast<u128>(rem) * kPow10[static_cast<size_t>(k)];
    u64 chunk = divide_128(static_cast<u64>(scaled >> 64), static_cast<u64>(scaled), cb, rem);
    if (rem == 0) {  // exact: drop the chunk's trailing zeros, the ideal exponent being above
      while (chunk % 10 == 0) {
        chunk /= 10;
        --k;
      }
    }
    acc.mul_add(kPow10[static_cast<size_t>(k)], chunk);
    exp -= k;
    count = count == 0 ? digits_u64(chunk) : count + k;
    if (rem == 0) break;
  }
  uint32_t raised = 0;
  if (rem != 0) {
    raised = DEC_Inexact | DEC_Rounded;
    const u128 twice = static_cast<u128>(rem) * 2;
    const Rest rest = twice < cb ? Rest::below_half : (twice == cb ? Rest::half : Rest::above_half);
    const decRounding mode = ctx.round;
    if (rounds_up(mode, neg, rest, mode == DEC_ROUND_05UP ? acc.last_digit() : acc.w[0])) {
      acc.increment();
      Big limit;
      big_pow10(limit, p);
      if (acc.equals(limit)) {  // 99..9 rounded up to 10^p: becomes 10^(p-1), one place up
        big_pow10(limit, p - 1);
        for (int i = 0; i < 3; ++i) acc.w[i] = i < limit.n ? limit.limb[i] : 0;
        exp += 1;
      }
    }
  }
  if (!exponent_is_plain(ctx, exp)) return false;
  r.w[0] = acc.w[0];
  r.w[1] = acc.w[1];
  r.w[2] = (neg ? kSignBit : 0) | (static_cast<u64>(exp + DEC192_BIAS) << kExpShift) | acc.w[2];
  ctx.status |= raised;
  return true;
}

}  // namespace

// ---- general-path plumbing ------------------------------------------------------------------------------
namespace {

using Binary = void (*)(Num &, const Num &, const Num &, const Limits &, uint32_t &);

// Kept out of line: the fast paths that fall back to it then need no stack frame of their own.
[[gnu::noinline]] decimal192 *run_binary(Binary op, decimal192 *r, const decimal192 *a, const decimal192 *b,
                                         decContext *ctx) {
  Num x, y, z;
  unpack(*a, x);
  unpack(*b, y);
  const Limits lim = field_limits(*ctx);
  op(z, x, y, lim, ctx->status);
  pack(z, *r);
  return r;
}

void add_op(Num &r, const Num &a, const Num &b, const Limits &lim, uint32_t &st) { add_num(r, a, b, false, lim, st); }
void subtract_op(Num &r, const Num &a, const Num &b, const Limits &lim, uint32_t &st) {
  add_num(r, a, b, true, lim, st);
}

}  // namespace

decimal192 *decSextAdd(decimal192 *r, const decimal192 *a, const decimal192 *b, decContext *ctx) {
  if (is_small_finite(*a) && is_small_finite(*b) && wide_precision(*ctx) && fast_add(*r, *a, *b, false, *ctx)) return r;
  return run_binary(add_op, r, a, b, ctx);
}

decimal192 *decSextSubtract(decimal192 *r, const decimal192 *a, const decimal192 *b, decContext *ctx) {
  if (is_small_finite(*a) && is_small_finite(*b) && wide_precision(*ctx) && fast_add(*r, *a, *b, true, *ctx)) return r;
  return run_binary(subtract_op, r, a, b, ctx);
}

decimal192 *decSextMultiply(decimal192 *r, const decimal192 *a, const decimal192 *b, decContext *ctx) {
  if (is_small_finite(*a) && is_small_finite(*b) && wide_precision(*ctx) && fast_multiply(*r, *a, *b, *ctx)) return r;
  return run_binary(multiply_num, r, a, b, ctx);
}

decimal192 *decSextDivide(decimal192 *r, const decimal192 *a, const decimal192 *b, decContext *ctx) {
  if (is_small_finite(*a) && is_small_finite(*b) && wide_precision(*ctx) && fast_divide(*r, *a, *b, *ctx)) return r;
  return run_binary(divide_num, r, a, b, ctx);
}
