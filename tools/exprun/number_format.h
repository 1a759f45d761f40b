// Numbers written for people: a fixed count of decimals, rounded half away from zero exactly on
// the decimal value, trailing zeros kept, with optional thousands and decimal separators.
#pragma once

#include <string>
#include <string_view>

#include "expression.h"

// The largest count of decimals formatnumber writes.
inline constexpr int kMaxFormatDecimals = 100;

// Writes finite `d` with `decimals` (0 to kMaxFormatDecimals) digits after `point` and
// `thousands` between groups of three digits of the whole part. A value that rounds to zero has
// no minus sign. False for infinities and NaN.
bool format_number(const exp_decimal192 &d, int decimals, std::string_view thousands, std::string_view point,
                   std::string *out);
