// Width-and-decimals binary formats: fields of W bytes with D implied decimals, given as "W.D".
// Integer binary least significant byte first (ib) or first byte most significant (s370fib),
// z/OS packed decimal (s370fpd), and the sign-byte packed layout (pd). The byte routines are
// shared with the picture formats (mainframe.h).
#include <cstring>
#include <string>

#include "builtins/builtins.h"
#include "builtins/cells.h"
#include "builtins/mainframe.h"
#include "support/dates.h"
#include "values.h"

using namespace builtin_cells;

namespace {

using Cell = exp_symval;

struct WidthDecimals {
  int64_t width;
  int64_t decimals;
};

// Reads the W.D argument at `i`, or takes `defaults` when it is absent. A width of 0 has no bytes
// to hold a value (and no last byte to carry a sign), so it is refused like a malformed text.
// Returns 0, or raises error 3 and returns 3.
int parse_wd(exp_engine *e, int argc, Cell **argv, int i, WidthDecimals defaults, WidthDecimals *out) {
  *out = defaults;
  if (argc <= i) return 0;
  int64_t w = 0, d = 0;
  if (!vts_numparse(text_of(argv[i]), &w, &d, nullptr) || w < 0)
    return mf_invalid(e, "unable to parse the W.D", MF_FAILED);
  if (w == 0) return mf_invalid(e, "the width in the W.D must be at least 1", MF_FAILED);
  *out = {w, d};
  return 0;
}

int set_real(Cell *result, double v) {
  mf_set_real(result, v);
  return 0;
}

// ib / s370fib: two's-complement integers in either byte order.
template <bool BigEndian>
int fn_int_binary(exp_engine *e, Cell *result, int argc, Cell **argv) {
  WidthDecimals wd;
  if (int rc = parse_wd(e, argc, argv, 1, {4, 0}, &wd)) return rc;
  double v = 0;
  if (int rc = mf_read_signed(e, argv[0], wd.width, BigEndian, wd.decimals, &v)) return rc;
  return set_real(result, v);
}

int fn_s370fpd(exp_engine *e, Cell *result, int argc, Cell **argv) {
  WidthDecimals wd;
  if (int rc = parse_wd(e, argc, argv, 1, {1, 0}, &wd)) return rc;
  double v = 0;
  if (int rc = mf_read_packed(e, argv[0], wd.width, true, wd.decimals, &v)) return rc;
  return set_real(result, v);
}

// pd: a sign byte (0x00 or 0x80), then two digits per byte with no sign nibble.
int fn_pd(exp_engine *e, Cell *result, int argc, Cell **argv) {
  WidthDecimals wd;
  if (int rc = parse_wd(e, argc, argv, 1, {1, 0}, &wd)) return rc;
  if (wd.width > 16 || wd.width > mf_capacity(argv[0])) return mf_invalid(e, "the width is invalid", MF_FAILED);
  if (wd.decimals > MF_MAX_DECIMALS) return mf_invalid(e, MF_DECIMALS_RANGE, MF_FAILED);
  const mf_field field(argv[0], wd.width);
  const unsigned char *b = field.data();
  if (b[0] != 0x00 && b[0] != 0x80) return mf_invalid(e, "the sign byte is invalid", MF_FAILED);
  mf_accumulator value;
  for (int64_t i = 1; i < wd.width; ++i) {
    if (b[i] > 0x99) return mf_invalid(e, "the packed decimal number is invalid", MF_FAILED);
    if ((b[i] & 0x0F) > 9) return mf_invalid(e, "the low order nibble is invalid", MF_FAILED);
    value.push(b[i] >> 4);
    value.push(b[i] & 0x0F);
  }
  return set_real(result, value.scaled(wd.decimals, b[0] == 0x80));
}

// formatib / formats370fib: two's complement, saturating at the field's limits.
template <bool BigEndian>
int fn_format_int_binary(exp_engine *e, Cell *result, int argc, Cell **argv) {
  WidthDecimals wd;
  if (int rc = parse_wd(e, argc, argv, 1, {0, 0}, &wd)) return rc;
  if (int rc = mf_write_signed(e, argv[0], wd.width, wd.decimals, BigEndian, argv[2])) return rc;
  return set_int(result, wd.width);
}

int fn_formats370fpd(exp_engine *e, Cell *result, int argc, Cell **argv) {
  WidthDecimals wd;
  if (int rc = parse_wd(e, argc, argv, 1, {0, 0}, &wd)) return rc;
  if (int rc = mf_write_packed(e, argv[0], wd.width, wd.decimals, true, argv[2])) return rc;
  return set_int(result, wd.width);
}

// formatpd: the magnitude's digits fill bytes 1 to W-1 from the right (high-order digits that do
// not fit are dropped); byte 0 carries the sign.
int fn_formatpd(exp_engine *e, Cell *result, int argc, Cell **argv) {
  WidthDecimals wd;
  if (int rc = parse_wd(e, argc, argv, 1, {0, 0}, &wd)) return rc;
  Cell *out = argv[2];
  if (wd.width > 16 || wd.decimals > MF_MAX_DECIMALS || wd.width > mf_capacity(out))
    return mf_invalid(e, "the width or multiplier are invalid", MF_FAILED);
  bool ok = false;
  double d = mf_value_to_double(argv[0], &ok);
  bool negative = ok && d < 0;
  if (negative) d = -d;
  if (wd.decimals > 0) d = d * mf_pow10(wd.decimals) + 0.5;
  std::string digits = mf_integer_digits(d);
  unsigned char *b = mf_output(e, out);
  if (!b) return ERR_READ_ONLY;
  std::memset(b, 0, static_cast<size_t>(wd.width));
  auto pos = static_cast<int64_t>(digits.size()) - 1;
  for (int64_t i = wd.width - 1; i >= 1 && pos >= 0; --i) {
    unsigned low = static_cast<unsigned>(digits[pos--] - '0');
    unsigned high = pos >= 0 ? static_cast<unsigned>(digits[pos--] - '0') : 0;
    b[i] = static_cast<unsigned char>((high << 4) | low);
  }
  if (negative) b[0] = 0x80;
  return set_int(result, wd.width);
}

const exp_function kRecords[] = {
    {"ib", fn_int_binary<false>, 1, 2, "ss", 'r', 0,
     "EXPERIMENTAL: Returns a number from a Norvik IB value.  First parameter is the IB values, and second is "
     "the \"W.D\" format.",
     0, ""},
    {"pd", fn_pd, 1, 2, "ss", 'r', 0,
     "EXPERIMENTAL: Returns a number from a Norvik PD value.  First string contains the number, second contains "
     "the \"W.D\" format.",
     0, ""},
    {"s370fib", fn_int_binary<true>, 1, 2, "ss", 'r', 0,
     "EXPERIMENTAL: Returns a number from a z/OS integer.  First string is the number, second is the \"W.D\" "
     "format.",
     0, ""},
    {"s370fpd", fn_s370fpd, 1, 2, "ss", 'r', 0,
     "EXPERIMENTAL: Returns a number from a z/OS packed decimal.  First string is the number, second is the "
     "\"W.D\" format.",
     0, ""},
    {"formatib", fn_format_int_binary<false>, 3, 3, "rss", 'i', 16,
     "EXPERIMENTAL: Returns a number formatted in Norvik IB.  First parameter is the value to format, second "
     "parameter is the \"W.D\" format, and the third parameter is the formatted Norvik IB number.",
     0, ""},
    {"formatpd", fn_formatpd, 3, 3, "rss", 'i', 16,
     "EXPERIMENTAL: Returns a number formatted in Norvik PD.  First parameter is the value to format, second "
     "parameter is the \"W.D\" format, and the third parameter is the formatted Norvik PD number.",
     0, ""},
    {"formats370fib", fn_format_int_binary<true>, 3, 3, "rss", 'i', 0,
     "EXPERIMENTAL: Returns a number formatted in z/OS integer.  First parameter is the value to format, second "
     "parameter is the \"W.D\" format, and the third parameter is the formatted z/OS integer.",
     0, ""},
    {"formats370fpd", fn_formats370fpd, 3, 3, "rss", 'i', 0,
     "EXPERIMENTAL: Returns a number formatted in z/OS packed decimal.  First parameter is the value to format, "
     "second parameter is the \"W.D\" format, and the third parameter is the formatted z/OS packed decimal.",
     0, ""},
};

}  // namespace

std::span<const exp_function> binary_format_functions() { return kRecords; }
