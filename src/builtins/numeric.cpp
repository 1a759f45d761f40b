// Numeric built-ins: absolute value, rounding, powers, extremes, the inverse normal distribution
// and the number test. Reals are 52-digit decimals computed under a kind-192 context, as the
// real operators compute them; only normsinv works in binary double precision.
#include <bit>
#include <cctype>
#include <cmath>
#include <cstring>
#include <string_view>

#include "builtins/builtins.h"
#include "builtins/cancel.h"
#include "builtins/cells.h"
#include "errors.h"
#include "support/decimal.h"
#include "values.h"

using namespace builtin_cells;

namespace {

using Cell = exp_symval;

// Stores a decimal as the result's value.
int set_dec(Cell *result, const decimal192 &v) {
  *symval_dec(result) = v;
  symval_clear_null_flag(result);
  return 0;
}

// A real argument that counts as missing: null, or a NaN (which behaves as null everywhere).
bool absent(const Cell *c) { return symval_is_null(c) || decSextIsNaN(symval_dec(c)); }

// ---- absolute value and whole numbers ------------------------------------------------------------

// abs(x): x with its sign cleared, digits and exponent untouched.
int fn_abs(exp_engine *, Cell *result, int, Cell **argv) {
  if (symval_is_null(argv[0])) return set_null(result);
  decimal192 r;
  decSextCopyAbs(&r, symval_dec(argv[0]));
  return set_dec(result, r);
}

// The nearest whole number toward plus (ceiling) or minus (floor) infinity.
template <decRounding Mode>
int to_integral(exp_engine *, Cell *result, int, Cell **argv) {
  if (symval_is_null(argv[0])) return set_null(result);
  decContext ctx = context192();
  decimal192 r;
  decSextToIntegralValue(&r, symval_dec(argv[0]), &ctx, Mode);
  return set_dec(result, r);
}

// round(x [, places]): x rounded half-up (away from zero on a 5) to `places` digits after the
// point; negative places round to tens, hundreds, ... and keep whole-number form (1200, not
// 1.2E+3). Null when the rounded value does not fit the format.
int fn_round(exp_engine *, Cell *result, int argc, Cell **argv) {
  if (symval_is_null(argv[0]) || (argc > 1 && symval_is_null(argv[1]))) return set_null(result);
  int64_t places = argc > 1 ? static_cast<int32_t>(static_cast<uint32_t>(argv[1]->value.i)) : 0;
  // The quantum's exponent is -places; the one value whose negation leaves 32 bits gets the
  // largest exponent instead, which the quantize then rejects just the same.
  int32_t exponent = places == INT32_MIN ? INT32_MAX : static_cast<int32_t>(-places);
  decContext ctx = context192();
  decContextSetRounding(&ctx, DEC_ROUND_HALF_UP);
  decimal192 quantum, r;
  decSextFromInt32(&quantum, 1);
  decSextSetExponent(&quantum, &ctx, exponent);
  decSextQuantize(&r, symval_dec(argv[0]), &quantum, &ctx);
  if (decContextTestStatus(&ctx, DEC_Invalid_operation)) return set_null(result);
  if (places < 0) {
    decSextFromInt32(&quantum, 1);
    decSextQuantize(&r, &r, &quantum, &ctx);
  }
  return set_dec(result, r);
}

// ---- powers --------------------------------------------------------------------------------------

// Work of a power (see kWorkPerCheck): an integral exponent that fits 64 bits is raised by
// repeated squaring, a multiplication of numbers of over a hundred digits per bit of the exponent;
// any other exponent goes through logarithms at several hundred bits of precision.
constexpr int64_t kPowerUnitsPerBit = 32;
constexpr int64_t kLogarithmicPowerUnits = 4096;

int64_t power_units(const decimal192 *exponent) {
  decContext ctx = context192();
  decimal192 whole;
  decSextToIntegralValue(&whole, exponent, &ctx, DEC_ROUND_DOWN);
  const int64_t n = decSextToInt64(exponent, &ctx, DEC_ROUND_DOWN);
  if (decContextTestStatus(&ctx, DEC_Invalid_operation) || decSextCompareSigned(&whole, exponent) != 0)
    return kLogarithmicPowerUnits;
  const uint64_t magnitude = n < 0 ? 0 - static_cast<uint64_t>(n) : static_cast<uint64_t>(n);
  return kPowerUnitsPerBit * (1 + std::bit_width(magnitude));
}

// pow(x, y): x to the power y in the decimal library's general form. A result that is not a
// number (a negative base with a fractional exponent) is null, so that it acts as null in every
// later operation and test.
int fn_pow(exp_engine *e, Cell *result, int argc, Cell **argv) {
  if (symval_is_null(argv[0]) || symval_is_null(argv[1])) return set_null(result);
  if (int rc = work_charge(e, argv[argc], power_units(symval_dec(argv[1])))) return rc;
  decContext ctx = context192();
  decNumber base, exponent, power;
  decimal192ToNumber(symval_dec(argv[0]), &base);
  decimal192ToNumber(symval_dec(argv[1]), &exponent);
  decNumberPower(&power, &base, &exponent, &ctx);
  decimal192 r;
  decimal192FromNumber(&r, &power, &ctx);
  if (decSextIsNaN(&r)) return set_null(result);
  return set_dec(result, r);
}

// ---- extremes ------------------------------------------------------------------------------------

// The largest (Sign 1) or smallest (Sign -1) non-null argument, the earliest on ties; null when
// every argument is null. NaN arguments count as null. The winner is copied unchanged.
template <int Sign>
int extreme(exp_engine *, Cell *result, int argc, Cell **argv) {
  const decimal192 *best = nullptr;
  for (int i = 0; i < argc; ++i) {
    if (absent(argv[i])) continue;
    const decimal192 *v = symval_dec(argv[i]);
    if (!best || decSextCompareSigned(v, best) == Sign) best = v;
  }
  if (!best) return set_null(result);
  return set_dec(result, *best);
}

// ---- inverse normal distribution -----------------------------------------------------------------

// Coefficients of Acklam's rational approximation.
constexpr double kA[] = {-39.69683028665376, 220.9460984245205, -275.9285104469687,
                         138.357751867269,   -30.66479806614716, 2.506628277459239};
constexpr double kB[] = {-54.47609879822406, 161.5858368580409, -155.6989798598866, 66.80131188771972,
                         -13.28068155288572};
constexpr double kC[] = {-0.007784894002430293, -0.3223964580411365, -2.400758277161838,
                         -2.549732539343734,    4.374664141464968,   2.938163982698783};
constexpr double kD[] = {0.007784695709041462, 0.3224671290700398, 2.445134137142996, 3.754408661907416};
constexpr double kLow = 0.02425, kHigh = 0.97575;

// Horner evaluation of c[0]·x^(N-1) + c[1]·x^(N-2) + ... + c[N-1].
template <size_t N>
double horner(const double (&c)[N], double x) {
  double v = c[0];
  for (size_t i = 1; i < N; ++i) v = v * x + c[i];
  return v;
}

// The lower tail (p < kLow) in terms of q = sqrt(-2 ln p).
double tail(double q) { return horner(kC, q) / (horner(kD, q) * q + 1); }

// The quantile of the standard normal distribution for 0 < p < 1, without a refinement step.
double acklam(double p) {
  if (p < kLow) return tail(std::sqrt(-2 * std::log(p)));
  if (p > kHigh) return -tail(std::sqrt(-2 * std::log(1 - p)));
  double q = p - 0.5, r = q * q;
  return horner(kA, r) * q / (horner(kB, r) * r + 1);
}

// normsinv(p): the inverse standard normal CDF. 0 for p outside [0, 1], null at 0 and 1 (where
// it is infinite) and when p cannot become a double.
int fn_normsinv(exp_engine *, Cell *result, int, Cell **argv) {
  if (symval_is_null(argv[0])) return set_null(result);
  decContext ctx = context192();
  double p = decSextToDouble(symval_dec(argv[0]), &ctx, 2);
  if (decContextGetStatus(&ctx) != 0) return set_null(result);
  double x = 0;
  if (p == 0 || p == 1) return set_null(result);
  if (p > 0 && p < 1) x = acklam(p);
  decimal192 r;
  decSextFromDouble(&r, x, &ctx);
  return set_dec(result, r);
}

// ---- the number test -----------------------------------------------------------------------------

bool is_blank(char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; }

// True when `text` is one token in the decimal numeric-string syntax, optionally surrounded by
// white space ("12", " -1.5 ", "1e5", "+.5"; not "12 34", "1,000" or "").
bool numeric_text(std::string_view text) {
  size_t start = 0;
  while (start < text.size() && is_blank(text[start])) ++start;
  size_t end = start;
  while (end < text.size() && !is_blank(text[end])) ++end;
  for (size_t i = end; i < text.size(); ++i)
    if (!is_blank(text[i])) return false;
  if (end == start) return false;
  decContext ctx = context192();
  decimal192 v;
  decSextFromChars(&v, text.data() + start, end - start, &ctx);
  return !decSextIsNaN(&v);
}

// isnumber(v): true for integers and reals and for strings holding one number; false for other
// types.
int fn_isnumber(exp_engine *, Cell *result, int, Cell **argv) {
  const Cell *v = argv[0];
  if (symval_is_null(v)) return set_null(result);
  switch (symval_type(v)) {
    case EXP_INTEGER:
    case EXP_REAL: return set_bool(result, true);
    case EXP_STRING: return set_bool(result, numeric_text(text_of(v)));
    default: return set_bool(result, false);
  }
}

const exp_function kRecords[] = {
    {"abs", fn_abs, 1, 1, "r", 'r', 0, "Returns absolute value", 0, ""},
    {"ceil", to_integral<DEC_ROUND_CEILING>, 1, 1, "r", 'r', 0,
     "Returns the number rounded up to the nearest whole number (ceiling)", 0, ""},
    {"floor", to_integral<DEC_ROUND_FLOOR>, 1, 1, "r", 'r', 0,
     "Returns the number rounded down to the nearest whole number (floor)", 0, ""},
    {"round", fn_round, 1, 2, "ri", 'r', 0, "Rounds a number to specified decimal places", 0, ""},
    {"pow", fn_pow, 2, 2, "rr", 'r', 0, "Returns first number to the power of the second.", 0, ""},
    {"max", extreme<1>, 1, EXP_UNLIMITED, "r", 'r', 0,
     "Returns the max value of a series of values, or null if all values are null", 0, ""},
    {"min", extreme<-1>, 1, EXP_UNLIMITED, "r", 'r', 0,
     "Returns the min value of a series of values, or null if all values are null", 0, ""},
    {"normsinv", fn_normsinv, 1, 1, "r", 'r', 0,
     "EXPERIMENTAL: Return the inverse of the cummulative standarized normal distribution.", 0, ""},
    {"isnumber", charging_texts<fn_isnumber, 0>, 1, 1, "a", 'b', 0, "Returns true if expression is a number", 0, ""},
};

}  // namespace

std::span<const exp_function> numeric_functions() { return kRecords; }
