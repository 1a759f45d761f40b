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
  if (!c) return 1;
  int type = symval_type(c);
  if ((type != EXP_REAL && type != EXP_DATE) || !text) {
    exp_symval_setnull(c);
    return 1;
  }
  decContext ctx;
  decContextDefault(&ctx, DEC_INIT_DECIMAL192);
  decimal192 d;
  decSextFromString(&d, text, &ctx);
  if (decContextTestStatus(&ctx, DEC_Conversion_syntax) || decSextIsNaN(&d)) {
    exp_symval_setnull(c);
    return 1;
  }
  exp_symval_setfdnum(c, reinterpret_cast<const exp_decimal192 *>(&d));
  return 0;
}

extern "C" EXP_API int exp_symval_settext(exp_engine *e, exp_symval *c, const char *text) {
  if (!c) return 1;
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
  return symval_is_null(c) ? 1 : 0;
}
