// The decimal core: 52-digit decimal floating point in a 24-byte value.
//
// Semantics are those of IEEE 754-2008 decimal arithmetic (the General Decimal Arithmetic
// rules): every operation is correctly rounded under a context that carries the precision,
// the exponent limits, the rounding mode, the clamp flag and the sticky status conditions.
// Nothing here throws, aborts or allocates on the heap for 52-digit operands.
//
// The 24-byte layout (also documented for hosts in include/expression.h):
//   w[0], w[1] and the low 45 bits of w[2]: the coefficient, an unsigned binary integer of
//     at most 173 bits (0 .. 10^52 - 1), least significant word first;
//   bits 45..62 of w[2]: the biased exponent (exponent + DEC192_BIAS) for finite numbers, or
//     one of the special codes DEC192_SPECIAL_INF / _QNAN / _SNAN;
//   bit 63 of w[2]: the sign.
// A NaN's payload is its coefficient. Values with a coefficient below 2^64 have w[1] == 0 and
// no coefficient bits in w[2]: the fast paths test exactly that.
#pragma once

#include <cstddef>
#include <cstdint>

// Sizes of the kind-192 format.
inline constexpr int32_t DEC192_PMAX = 52;        // precision in digits
inline constexpr int32_t DEC192_EMAX = 98304;     // largest adjusted exponent
inline constexpr int32_t DEC192_EMIN = -98303;    // smallest normal adjusted exponent
inline constexpr int DEC192_STRING = 80;          // buffer bytes that decSextToString needs

// The 18-bit exponent field: finite exponents DEC192_EXP_MIN .. DEC192_EXP_MAX are stored as
// exponent + DEC192_BIAS; the three codes above them mark the special values.
inline constexpr int32_t DEC192_BIAS = 131072;
inline constexpr int32_t DEC192_EXP_MIN = -DEC192_BIAS;
inline constexpr int32_t DEC192_EXP_MAX = 0x3FFFC - DEC192_BIAS;
inline constexpr uint32_t DEC192_SPECIAL_INF = 0x3FFFD;
inline constexpr uint32_t DEC192_SPECIAL_QNAN = 0x3FFFE;
inline constexpr uint32_t DEC192_SPECIAL_SNAN = 0x3FFFF;

// Rounding modes, numbered as the language's built-ins pass them (0 ceiling, 2 half-up, 6 floor).
enum decRounding : int32_t {
  DEC_ROUND_CEILING = 0,
  DEC_ROUND_UP = 1,
  DEC_ROUND_HALF_UP = 2,
  DEC_ROUND_HALF_EVEN = 3,
  DEC_ROUND_HALF_DOWN = 4,
  DEC_ROUND_DOWN = 5,
  DEC_ROUND_FLOOR = 6,
  DEC_ROUND_05UP = 7,
};

// Status conditions (sticky bits of decContext::status).
inline constexpr uint32_t DEC_Conversion_syntax = 0x00000001;
inline constexpr uint32_t DEC_Division_by_zero = 0x00000002;
inline constexpr uint32_t DEC_Division_impossible = 0x00000004;
inline constexpr uint32_t DEC_Division_undefined = 0x00000008;
inline constexpr uint32_t DEC_Insufficient_storage = 0x00000010;
inline constexpr uint32_t DEC_Inexact = 0x00000020;
inline constexpr uint32_t DEC_Invalid_context = 0x00000040;
inline constexpr uint32_t DEC_Invalid_operation = 0x00000080;
inline constexpr uint32_t DEC_Overflow = 0x00000200;
inline constexpr uint32_t DEC_Clamped = 0x00000400;
inline constexpr uint32_t DEC_Rounded = 0x00000800;
inline constexpr uint32_t DEC_Subnormal = 0x00001000;
inline constexpr uint32_t DEC_Underflow = 0x00002000;

// Context kinds accepted by decContextDefault.
inline constexpr int32_t DEC_INIT_BASE = 0;       // 9 digits, Emax 999999999, half-up, no clamp
inline constexpr int32_t DEC_INIT_DECIMAL192 = 192;

struct decContext {
  int32_t digits;       // working precision, 1 .. DEC192_PMAX
  int32_t emax;         // largest adjusted exponent
  int32_t emin;         // smallest normal adjusted exponent
  decRounding round;
  uint32_t traps;       // kept for completeness; the core never traps
  uint32_t status;      // sticky conditions
  uint8_t clamp;        // 1: exponents are clamped to emax - digits + 1 (IEEE interchange rule)
};

struct decimal192 {
  uint64_t w[3];
};
static_assert(sizeof(decimal192) == 24);

// ---- context ---------------------------------------------------------------------------------
decContext *decContextDefault(decContext *ctx, int32_t kind);
// The context decContextDefault(DEC_INIT_DECIMAL192) sets up, as a value to copy.
inline constexpr decContext kDecimal192Context{DEC192_PMAX, DEC192_EMAX, DEC192_EMIN, DEC_ROUND_HALF_EVEN, 0, 0, 1};
decContext *decContextSetRounding(decContext *ctx, decRounding mode);
uint32_t decContextGetStatus(const decContext *ctx);
uint32_t decContextTestStatus(const decContext *ctx, uint32_t mask);
decContext *decContextClearStatus(decContext *ctx, uint32_t mask);

// ---- arithmetic (result may alias an operand) --------------------------------------------------
// The shape of the binary operations below, for callers that pick one when preparing and call it
// later (see decimal_reduced.h).
using decSextBinaryOp = decimal192 *(*)(decimal192 *, const decimal192 *, const decimal192 *, decContext *);
decimal192 *decSextAdd(decimal192 *r, const decimal192 *a, const decimal192 *b, decContext *ctx);
decimal192 *decSextSubtract(decimal192 *r, const decimal192 *a, const decimal192 *b, decContext *ctx);
decimal192 *decSextMultiply(decimal192 *r, const decimal192 *a, const decimal192 *b, decContext *ctx);
decimal192 *decSextDivide(decimal192 *r, const decimal192 *a, const decimal192 *b, decContext *ctx);
// r = -1, 0 or 1 (as a decimal), or NaN when either operand is a NaN.
decimal192 *decSextCompare(decimal192 *r, const decimal192 *a, const decimal192 *b, decContext *ctx);
decimal192 *decSextReduce(decimal192 *r, const decimal192 *a, decContext *ctx);
decimal192 *decSextCopyAbs(decimal192 *r, const decimal192 *a);
decimal192 *decSextCopyNegate(decimal192 *r, const decimal192 *a);
decimal192 *decSextToIntegralValue(decimal192 *r, const decimal192 *a, decContext *ctx, decRounding mode);
// Same, under ctx->round, and raising Inexact and Rounded when digits are discarded.
decimal192 *decSextToIntegralExact(decimal192 *r, const decimal192 *a, decContext *ctx);
decimal192 *decSextQuantize(decimal192 *r, const decimal192 *a, const decimal192 *quantum, decContext *ctx);
// Operations the test suite also exercises; the engine itself needs only the ones above.
decimal192 *decSextRemainder(decimal192 *r, const decimal192 *a, const decimal192 *b, decContext *ctx);
decimal192 *decSextDivideInteger(decimal192 *r, const decimal192 *a, const decimal192 *b, decContext *ctx);
decimal192 *decSextPlus(decimal192 *r, const decimal192 *a, decContext *ctx);   // 0 + a, rounded
decimal192 *decSextMinus(decimal192 *r, const decimal192 *a, decContext *ctx);  // 0 - a, rounded
decimal192 *decSextMax(decimal192 *r, const decimal192 *a, const decimal192 *b, decContext *ctx);
decimal192 *decSextMin(decimal192 *r, const decimal192 *a, const decimal192 *b, decContext *ctx);
// -1, 0 or 1 for finite/infinite operands; 2 when either is a NaN (unordered). No context needed.
int decSextCompareSigned(const decimal192 *a, const decimal192 *b);

// ---- predicates and constants ------------------------------------------------------------------
uint32_t decSextIsZero(const decimal192 *a);
uint32_t decSextIsSigned(const decimal192 *a);
uint32_t decSextIsNaN(const decimal192 *a);
uint32_t decSextIsInfinite(const decimal192 *a);
uint32_t decSextIsFinite(const decimal192 *a);
// A quiet NaN without payload. Inline: cells reset to null hold it.
inline decimal192 *decSextNaN(decimal192 *r) {
  r->w[0] = r->w[1] = 0;
  r->w[2] = uint64_t{DEC192_SPECIAL_QNAN} << 45;
  return r;
}
// True when `a` is a number that decSextReduce under kDecimal192Context returns unchanged: a
// finite value with a coefficient below 2^64 that does not end in a zero digit (so it is not
// zero either), at an exponent that needs no clamping. Callers test this inline and skip the
// call (and their NaN test) for most arithmetic results.
inline bool decSextIsReducedSmall(const decimal192 *a) {
  constexpr uint64_t kHighCoefBits = (uint64_t{1} << 45) - 1;
  const int32_t exponent = static_cast<int32_t>((a->w[2] >> 45) & 0x3FFFF) - DEC192_BIAS;
  return a->w[1] == 0 && (a->w[2] & kHighCoefBits) == 0 && exponent >= DEC192_EMIN &&
         exponent <= DEC192_EMAX - DEC192_PMAX + 1 && a->w[0] % 10 != 0;
}
decimal192 *decSextZero(decimal192 *r);   // +0 with exponent 0
int32_t decSextGetExponent(const decimal192 *a);  // finite values only
decimal192 *decSextSetExponent(decimal192 *r, decContext *ctx, int32_t exponent);

// ---- conversions ---------------------------------------------------------------------------------
decimal192 *decSextFromInt32(decimal192 *r, int32_t n);
decimal192 *decSextFromInt64(decimal192 *r, int64_t n);
// Rounds with `mode`; a NaN, infinity or value outside int64 sets DEC_Invalid_operation and returns 0.
int64_t decSextToInt64(const decimal192 *a, decContext *ctx, decRounding mode);
// Numeric-string syntax; malformed text gives NaN with DEC_Conversion_syntax. More digits than
// ctx->digits are rounded (DEC_Inexact | DEC_Rounded).
decimal192 *decSextFromString(decimal192 *r, const char *text, decContext *ctx);
// Same, for a text of `n` bytes that need not be NUL-terminated.
decimal192 *decSextFromChars(decimal192 *r, const char *text, std::size_t n, decContext *ctx);
// To-scientific-string; buf must hold DEC192_STRING bytes. Returns buf.
char *decSextToString(const decimal192 *a, char *buf);
// The shortest decimal that round-trips to the same double (0.1 becomes 0.1); NaN/inf map over.
decimal192 *decSextFromDouble(decimal192 *r, double d, decContext *ctx);
// Correctly rounded. A NaN, an infinity or a value outside the double range sets
// DEC_Invalid_operation (ordinary inexactness raises nothing). `flag` is accepted for callers
// that pass one and has no effect.
double decSextToDouble(const decimal192 *a, decContext *ctx, int flag);
// decSextToDouble's answer when it takes one IEEE operation: the coefficient (at most 2^53) and
// the power of ten (10^0 .. 10^22) are both exact doubles, so the product or quotient is
// correctly rounded and raises nothing. False, with *out untouched, when that does not apply.
// Inline, so that hosts reading doubles back skip the call for ordinary values.
inline bool decSextToDoubleExact(const decimal192 *a, double *out) {
  static constexpr double kExactPow10[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,  1e10, 1e11,
                                           1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
  constexpr uint64_t kHighCoefBits = (uint64_t{1} << 45) - 1;
  if (a->w[1] != 0 || (a->w[2] & kHighCoefBits) != 0 || a->w[0] > (uint64_t{1} << 53)) return false;
  // Special values have fields far above DEC192_BIAS + 22, so the range test excludes them.
  const int32_t exponent = static_cast<int32_t>((a->w[2] >> 45) & 0x3FFFF) - DEC192_BIAS;
  if (exponent < -22 || exponent > 22) return false;
  const double c = static_cast<double>(a->w[0]);
  const double v = exponent >= 0 ? c * kExactPow10[exponent] : c / kExactPow10[-exponent];
  *out = (a->w[2] >> 63) != 0 ? -v : v;
  return true;
}

// ---- the general form and power ------------------------------------------------------------------
// decNumber: an unpacked value with room for intermediate precision, used for power.
struct decNumber {
  int32_t exponent;
  uint8_t sign;        // 1 when negative
  uint8_t special;     // 0 finite, 1 infinity, 2 quiet NaN, 3 signalling NaN
  int32_t digits;      // digits in the coefficient
  uint64_t coef[4];    // binary coefficient, least significant word first
};
decNumber *decimal192ToNumber(const decimal192 *a, decNumber *n);
decimal192 *decimal192FromNumber(decimal192 *r, const decNumber *n, decContext *ctx);
// Integer exponents: exact repeated squaring at extra precision, then one rounding. Other
// exponents: MPFR at >= 256 bits, then rounded to ctx->digits. A negative base with a
// non-integer exponent gives NaN with DEC_Invalid_operation.
decNumber *decNumberPower(decNumber *r, const decNumber *base, const decNumber *exponent, decContext *ctx);
