// Decimal arithmetic with reduced results: the form the engine stores every real in (no trailing
// zero digits, zero at exponent 0), under kDecimal192Context.
//
// Operands whose coefficients fit 64 bits are usually added, subtracted or multiplied in
// registers and packed already reduced; everything else goes through the core operation and
// decSextReduce. Both ways give the same bits: the shortcut uses the core's own sum and packing
// helpers, and the operator tests compare them over generated operands.
#pragma once

#include "support/decimal.h"
#include "support/decimal_internal.h"

namespace decimal_detail {

inline constexpr int32_t kTopExponent = DEC192_EMAX - DEC192_PMAX + 1;  // the largest unclamped exponent

// The reduced product of two decimals whose coefficients fit 64 bits, when the product also fits
// 64 bits at an exponent that needs no clamping. False, with nothing written, in every other case.
inline bool multiply_reduced_small(decimal192 *r, const decimal192 *a, const decimal192 *b) {
  if (!is_small_finite(*a) || !is_small_finite(*b)) return false;
  const int32_t exponent = small_exponent(*a) + small_exponent(*b);
  const u128 product = static_cast<u128>(a->w[0]) * b->w[0];
  if ((product >> 64) != 0 || exponent < DEC192_EMIN || exponent > kTopExponent) return false;
  pack_reduced_small(*r, sign_of(*a) != sign_of(*b), static_cast<u64>(product), exponent, kTopExponent);
  return true;
}

// The same for a sum, or a difference with `subtract`.
inline bool add_reduced_small(decimal192 *r, const decimal192 *a, const decimal192 *b, bool subtract) {
  if (!is_small_finite(*a) || !is_small_finite(*b)) return false;
  u128 sum;
  bool neg;
  int32_t exponent;
  if (!small_sum(*a, *b, subtract, kDecimal192Context, sum, neg, exponent) || (sum >> 64) != 0) return false;
  pack_reduced_small(*r, neg, static_cast<u64>(sum), exponent, kTopExponent);
  return true;
}

// The reduced result of `op` when one of the shortcuts above applies to it and its operands.
inline bool operate_reduced_small(decSextBinaryOp op, decimal192 *r, const decimal192 *a, const decimal192 *b) {
  if (op == decSextMultiply) return multiply_reduced_small(r, a, b);
  if (op == decSextAdd || op == decSextSubtract) return add_reduced_small(r, a, b, op == decSextSubtract);
  return false;
}

}  // namespace decimal_detail

// r = op(a, b), reduced. True when r is a number; false when the result is not a number, which
// r then holds. `op` may be any binary operation; add, subtract and multiply take the shortcut.
// The result may alias an operand.
inline bool decSextOperateReduced(decSextBinaryOp op, decimal192 *r, const decimal192 *a, const decimal192 *b) {
  if (decimal_detail::operate_reduced_small(op, r, a, b)) return true;
  decContext ctx = kDecimal192Context;
  op(r, a, b, &ctx);
  if (__builtin_expect(decSextIsReducedSmall(r), 1)) return true;
  if (decSextIsNaN(r)) return false;
  decSextReduce(r, r, &ctx);
  return true;
}
