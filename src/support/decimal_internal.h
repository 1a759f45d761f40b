// Internal pieces of the decimal core shared by its source files: the unpacked number, the
// fixed-capacity multi-limb magnitude, the rounding limits and the one rounding step that every
// operation ends with. Nothing here allocates.
#pragma once

#include "support/decimal.h"

#include <gmp.h>

#include <array>
#include <cstdint>
#include <string_view>
#include <utility>

namespace decimal_detail {

using u64 = uint64_t;
using u128 = unsigned __int128;

static_assert(sizeof(mp_limb_t) == sizeof(u64), "the core needs 64-bit GMP limbs");

// ---- the 24-byte layout --------------------------------------------------------------------------
inline constexpr int kExpShift = 45;
inline constexpr u64 kHighCoefMask = (u64{1} << kExpShift) - 1;
inline constexpr u64 kExpFieldMask = 0x3FFFF;
inline constexpr u64 kSignBit = u64{1} << 63;

// Biased exponent field of a packed value.
inline uint32_t exp_field(const decimal192 &d) {
  return static_cast<uint32_t>((d.w[2] >> kExpShift) & kExpFieldMask);
}
// True for a finite value whose coefficient fits one 64-bit word (the fast paths' operands).
inline bool is_small_finite(const decimal192 &d) {
  return d.w[1] == 0 && (d.w[2] & kHighCoefMask) == 0 && exp_field(d) < DEC192_SPECIAL_INF;
}
inline int32_t small_exponent(const decimal192 &d) {
  return static_cast<int32_t>(exp_field(d)) - DEC192_BIAS;
}
inline bool sign_of(const decimal192 &d) { return (d.w[2] >> 63) != 0; }
// Packs a finite value with a coefficient below 2^64 and an exponent inside the field.
inline void pack_small(decimal192 &r, bool neg, u64 coef, int32_t exponent) {
  r.w[0] = coef;
  r.w[1] = 0;
  r.w[2] = (neg ? kSignBit : 0) | (static_cast<u64>(exponent + DEC192_BIAS) << kExpShift);
}

// ---- fast-path helpers ------------------------------------------------------------------------------
// Contexts whose precision holds any 128-bit coefficient, so sums and products of 64-bit
// coefficients never need rounding (and whose rounding mode is a valid one).
inline bool wide_precision(const decContext &ctx) {
  return ctx.digits >= 39 && ctx.digits <= DEC192_PMAX && static_cast<uint32_t>(ctx.round) <= DEC_ROUND_05UP;
}

// True when a result at `exponent` with at most `digits` digits needs no subnormal, overflow or
// clamp handling: then it can be packed as it is.
inline bool exponent_is_plain(const decContext &ctx, int32_t exponent) {
  return exponent >= ctx.emin && exponent <= int64_t{ctx.emax} - ctx.digits + 1 && exponent >= DEC192_EXP_MIN + 51 &&
         exponent <= DEC192_EXP_MAX - 51;
}

inline void pack_u128(decimal192 &r, bool neg, u128 coef, int32_t exponent) {
  r.w[0] = static_cast<u64>(coef);
  r.w[1] = static_cast<u64>(coef >> 64);
  r.w[2] = (neg ? kSignBit : 0) | (static_cast<u64>(exponent + DEC192_BIAS) << kExpShift);
}

// ---- powers of ten ---------------------------------------------------------------------------------
inline constexpr std::array<u64, 20> kPow10 = [] {
  std::array<u64, 20> t{};
  u64 v = 1;
  for (auto &e : t) {
    e = v;
    v *= 10;
  }
  return t;
}();

// Decimal digits of a 64-bit value (1 for zero).
inline int digits_u64(u64 v) {
  v |= 1;  // zero has one digit, like one
  const int bits = 64 - __builtin_clzll(v);
  const int guess = (bits * 1233) >> 12;  // floor(bits * log10(2)): the answer or one below it
  return guess + (v >= kPow10[guess] ? 1 : 0);
}

// ---- small sums and reduced packing -------------------------------------------------------------
// The exact sum (or difference, with `subtract`) of two small finite operands: its 128-bit
// magnitude, sign and exponent (the smaller operand exponent). False when the exponents lie more
// than 19 apart or the result's exponent is not plain under `ctx`: the general path must do it.
// A zero from operands of opposite signs is negative only when `ctx` rounds toward floor.
inline bool small_sum(const decimal192 &a, const decimal192 &b, bool subtract, const decContext &ctx, u128 &sum,
                      bool &neg, int32_t &exponent) {
  int32_t ea = small_exponent(a), eb = small_exponent(b);
  u64 ca = a.w[0], cb = b.w[0];
  bool na = sign_of(a), nb = sign_of(b) != subtract;
  if (ea < eb) {
    std::swap(ea, eb);
    std::swap(ca, cb);
    std::swap(na, nb);
  }
  const int32_t diff = ea - eb;
  if (diff > 19 || !exponent_is_plain(ctx, eb)) return false;
  const u128 high = static_cast<u128>(ca) * kPow10[static_cast<size_t>(diff)];
  if (na == nb) {
    sum = high + cb;
    neg = na;
  } else if (high >= cb) {
    sum = high - cb;
    neg = na;
  } else {
    sum = cb - high;
    neg = nb;
  }
  if (sum == 0) neg = na == nb ? na : ctx.round == DEC_ROUND_FLOOR;
  exponent = eb;
  return true;
}

// Packs coef * 10^exponent as decSextReduce leaves it: zero at exponent 0 (keeping the sign),
// any other coefficient without its trailing zeros, as far as the exponent may rise (`top`).
// The exponent must be plain for the context `top` comes from.
inline void pack_reduced_small(decimal192 &r, bool neg, u64 coef, int32_t exponent, int32_t top) {
  if (coef == 0) exponent = 0;
  while (coef != 0 && coef % 10 == 0 && exponent < top) {
    coef /= 10;
    ++exponent;
  }
  pack_small(r, neg, coef, exponent);
}

// ---- multi-limb magnitudes -------------------------------------------------------------------------
// Capacity covers products of two 120-digit power operands and 10^(2 * 120) dividends.
inline constexpr int kBigLimbs = 16;

// An unsigned integer of up to kBigLimbs limbs, least significant first; n == 0 means zero and
// limb[n - 1] is never zero otherwise.
struct Big {
  u64 limb[kBigLimbs];
  int n;
};

void big_set_u64(Big &x, u64 v);
void big_set_u128(Big &x, u128 v);
void big_set_limbs(Big &x, const u64 *limbs, int count);
inline bool big_is_zero(const Big &x) { return x.n == 0; }
int big_bits(const Big &x);
int big_digits(const Big &x);  // 1 for zero
int big_cmp(const Big &a, const Big &b);
void big_add(Big &r, const Big &a, const Big &b);
void big_sub(Big &r, const Big &a, const Big &b);  // requires a >= b
void big_add_u64(Big &x, u64 v);
void big_mul(Big &r, const Big &a, const Big &b);  // r must not alias a or b
void big_mul_u64(Big &x, u64 m);
void big_mul_pow10(Big &x, int k);
void big_pow10(Big &r, int k);
u64 big_divmod_u64(Big &x, u64 d);                     // x /= d, returns the remainder
void big_divmod(Big &q, Big &r, const Big &a, const Big &b);  // q, r must not alias a or b
// Removes up to `limit` trailing zero digits and returns how many were removed.
int big_strip_zeros(Big &x, int64_t limit);
// The low 64 bits (exact when x < 2^64).
inline u64 big_low(const Big &x) { return x.n == 0 ? 0 : x.limb[0]; }

// ---- rounding ---------------------------------------------------------------------------------------
// What a rounding discarded, relative to half a unit of the last kept digit.
enum class Rest : uint8_t { zero, below_half, half, above_half };

// Drops the k (>= 1) lowest digits of x; `sticky` tells that nonzero digits were already lost below x.
Rest big_drop_digits(Big &x, int64_t k, bool sticky);
// True when a value whose discarded part is `rest` must be rounded away from zero; `last_digit`
// is the lowest kept digit (only its parity matters, except for 05up).
bool rounds_up(decRounding mode, bool negative, Rest rest, u64 last_digit);
// The same for a kept coefficient of any size.
bool rounds_up(decRounding mode, bool negative, Rest rest, const Big &kept);

// ---- unpacked numbers --------------------------------------------------------------------------------
enum class Kind : uint8_t { finite, infinite, qnan, snan };

struct Num {
  Big coef;  // the coefficient, or a NaN's payload
  int64_t exp;
  bool neg;
  Kind kind;
};

inline bool is_nan(const Num &x) { return x.kind == Kind::qnan || x.kind == Kind::snan; }

// The parameters one rounding step works with.
struct Limits {
  int32_t digits;
  int64_t emax;
  int64_t emin;
  decRounding round;
  bool clamp;
  int64_t etiny() const { return emin - (digits - 1); }
  int64_t etop() const { return emax - (digits - 1); }
};

// The context's limits narrowed to what the 24-byte exponent field holds.
Limits field_limits(const decContext &ctx);
// The context's limits as they are (results kept in decNumber form).
Limits number_limits(const decContext &ctx);

void unpack(const decimal192 &d, Num &x);
// Packs a finished number (coefficient below 10^52, exponent inside the field).
void pack(const Num &x, decimal192 &d);

// Rounds a finite x to the limits and applies overflow, underflow and clamping, raising the
// conditions in `status`. `sticky` says nonzero digits were lost below the coefficient; callers
// that pass it keep at least one digit more than the precision so the loss sits below the
// rounding digit. Afterwards x is finite with at most `digits` digits, or infinite.
void finish(Num &x, bool sticky, const Limits &lim, uint32_t &status);

// Sets x to the quiet NaN with the payload of `src`, cut to the digits the limits allow.
void quiet_nan_from(Num &x, const Num &src, const Limits &lim);
// For a two-operand operation: when either operand is a NaN, sets r to the NaN result (raising
// Invalid_operation for a signalling one) and returns true.
bool nan_operands(Num &r, const Num &a, const Num *b, const Limits &lim, uint32_t &status);
void set_quiet_nan(Num &r);                    // NaN, no payload, no condition
void set_invalid(Num &r, uint32_t &status);  // the same, raising Invalid_operation
void set_zero(Num &x, bool neg, int64_t exp);
void set_infinity(Num &x, bool neg);

// Unpacked operations shared by the public entry points and the power code.
void add_num(Num &r, const Num &a, const Num &b, bool subtract, const Limits &lim, uint32_t &status);
void multiply_num(Num &r, const Num &a, const Num &b, const Limits &lim, uint32_t &status);
void divide_num(Num &r, const Num &a, const Num &b, const Limits &lim, uint32_t &status);
// -1, 0 or 1 for two operands that are not NaNs.
int compare_num(const Num &a, const Num &b);
void power_num(Num &r, const Num &x, const Num &y, const Limits &lim, uint32_t &status);

// Conversions shared between the source files.
void parse_number(std::string_view text, const Limits &lim, Num &x, uint32_t &status);
int format_number(const Num &x, char *buf);  // scientific notation, NUL-terminated; returns length
void num_from_number(const decNumber &n, Num &x);
void number_from_num(const Num &x, decNumber &n);

}  // namespace decimal_detail
