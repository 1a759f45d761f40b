// Host additions: reading any cell as text and setting a real or date from decimal text, so hosts
// never need to go through binary doubles.
#include <cstring>

#include "convert.h"
#include "support/decimal.h"
#include "support/uchar.h"
#include "values.h"

extern "C" EXP_API int exp_symval_to_text(exp_engine *e, const exp_symval *c, char *buf, size_t size) {
  if (buf && size) buf[0] = '\0';
  if (!c) return -1;
  int type = symval_type(c);
  if (type == EXP_POINTER || type == EXP_OBJECT || type < EXP_BOOLEAN || type > EXP_OBJECT) return -1;
  char local[256];
  const char *text = "";
  if (type == EXP_STRING) text = (!symval_is_null(c) && c->value.s) ? c->value.s : "";
  else if (symval_format(c, e, local, sizeof local)) text = local;
  size_t need = std::strlen(text);
  if (buf && size) {
    size_t n = np_uchar_cut(text, std::min(need, size - 1));
    std::memcpy(buf, text, n);
    buf[n] = '\0';
  }
  return need > INT32_MAX ? INT32_MAX : static_cast<int>(need);
}

extern "C" EXP_API int exp_symval_setreal_text(exp_symval *c, const char *text) {
  if (!c) return EXP_E_INVALID_INPUT;
  int type = symval_type(c);
  if ((type != EXP_REAL && type != EXP_DATE) || !text) {
    exp_symval_setnull(c);
    return EXP_E_INVALID_INPUT;
  }
  decContext ctx;
  decContextDefault(&ctx, DEC_INIT_DECIMAL192);
  decimal192 d;
  decSextFromString(&d, text, &ctx);
  if (decContextTestStatus(&ctx, DEC_Conversion_syntax) || decSextIsNaN(&d)) {
    exp_symval_setnull(c);
    return EXP_E_NOT_A_NUMBER;
  }
  exp_symval_setfdnum(c, reinterpret_cast<const exp_decimal192 *>(&d));
  return 0;
}

extern "C" EXP_API int exp_symval_settext(exp_engine *e, exp_symval *c, const char *text) {
  if (!c) return EXP_E_INVALID_INPUT;
  if (!text) {
    exp_symval_setnull(c);
    return 0;
  }
  // A read-only view of the text as a string cell: the conversion only reads its source.
  exp_symval view{};
  view.flags = EXP_STRING;
  view.len = UINT32_MAX / 4;
  view.value.s = const_cast<char *>(text);
  symval_convert(&view, c, e);
  return symval_is_null(c) ? EXP_E_NOT_CONVERTIBLE : 0;
}

static_assert(EXP_DECIMAL_BIAS == DEC192_BIAS, "the public header documents the decimal layout");

extern "C" EXP_API void exp_decimal_make(exp_decimal192 *d, int64_t coefficient, int32_t exponent) {
  if (!d) return;
  decimal192 r;
  if (exponent < DEC192_EMIN - (DEC192_PMAX - 1) || exponent > DEC192_EMAX - (DEC192_PMAX - 1)) {
    decSextNaN(&r);
  } else {
    uint64_t magnitude = coefficient < 0 ? 0 - static_cast<uint64_t>(coefficient) : static_cast<uint64_t>(coefficient);
    r.w[0] = magnitude;
    r.w[1] = 0;
    r.w[2] = (coefficient < 0 ? uint64_t{1} << 63 : 0) |
             (static_cast<uint64_t>(exponent + DEC192_BIAS) << EXP_DECIMAL_EXP_SHIFT);
  }
  std::memcpy(d, &r, sizeof r);
}

extern "C" EXP_API int exp_decimal_scaled(const exp_decimal192 *d, int32_t exponent, int64_t *out) {
  if (!d || !out) return 0;
  decimal192 v, quantum;
  std::memcpy(&v, d, sizeof v);
  if (!decSextIsFinite(&v)) return 0;
  // Coefficients of one word at or above the wanted exponent scale up exactly by a power of ten.
  const uint64_t coef_high = v.w[2] & ((uint64_t{1} << EXP_DECIMAL_EXP_SHIFT) - 1);
  const int32_t shift = decSextGetExponent(&v) - exponent;
  if (v.w[1] == 0 && coef_high == 0 && shift >= 0 && shift <= 18 && v.w[0] <= uint64_t{INT64_MAX}) {
    int64_t scaled = static_cast<int64_t>(v.w[0]);
    for (int32_t i = 0; i < shift; ++i)
      if (__builtin_mul_overflow(scaled, int64_t{10}, &scaled)) return 0;
    *out = decSextIsSigned(&v) ? -scaled : scaled;
    return 1;
  }
  decContext ctx;
  decContextDefault(&ctx, DEC_INIT_DECIMAL192);
  decSextSetExponent(decSextFromInt32(&quantum, 1), &ctx, exponent);
  decSextQuantize(&v, &v, &quantum, &ctx);
  if (decContextGetStatus(&ctx) & (DEC_Inexact | DEC_Invalid_operation)) return 0;
  // v is now a whole number of units: its coefficient, read with the exponent set to 0.
  decSextSetExponent(&v, &ctx, 0);
  int64_t n = decSextToInt64(&v, &ctx, DEC_ROUND_DOWN);
  if (decContextTestStatus(&ctx, DEC_Invalid_operation)) return 0;
  *out = n;
  return 1;
}
