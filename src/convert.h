// Conversion between value types, the truth test, and boolean words.
#pragma once

#include <cstddef>

#include "expression.h"
#include "support/decimal.h"

// A context for arithmetic and conversions on the engine's 52-digit reals.
inline decContext context192() {
  decContext ctx;
  decContextDefault(&ctx, DEC_INIT_DECIMAL192);
  return ctx;
}

// Converts `src` into `dst`'s type; what cannot be converted makes `dst` null. Never fails,
// never allocates. `e` may be null (dates then use the default text orders).
void symval_convert(const exp_symval *src, exp_symval *dst, exp_engine *e);
// 1 when the cell counts as true in a condition, else 0.
int symval_truth(const exp_symval *c);
// 1 for a true word (true, yes, t, 1, y), 0 for a false word (false, no, f, 0, n), -1 otherwise;
// compared without regard to case, the whole text.
int string_to_bool(const char *text);

// Text of a non-null boolean, integer, real or date cell, as the conversion to string makes it,
// into `buf` (at least 256 bytes). Returns false for null, NaN, pointer and object cells, and
// for dates that do not decompose.
bool symval_format(const exp_symval *c, exp_engine *e, char *buf, size_t size);
// Leading white space skipped, then a signed 64-bit integer with optional trailing blanks.
bool parse_int64_text(const char *text, int64_t *out);
