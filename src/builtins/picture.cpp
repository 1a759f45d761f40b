// COBOL picture formats: reading and writing COMP / COMP-5 (little-endian binary), COMP-3
// (packed decimal) and signed zoned decimal fields described by a picture such as S9(5)V99,
// together with the byte-level routines that the width-and-decimals formats reuse.
//
// Values travel between the bytes and the engine's decimal reals as doubles, so results are
// exact up to 53 bits. Integers read from the bytes are kept exact until one final rounding.
#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "builtins/builtins.h"
#include "builtins/cancel.h"
#include "builtins/cells.h"
#include "builtins/mainframe.h"
#include "errors.h"
#include "values.h"

using namespace builtin_cells;

// ---- shared helpers ------------------------------------------------------------------------------

namespace {

using Cell = exp_symval;

bool flag_given(int argc, Cell **argv, int i, bool when_true) {
  return argc > i && !symval_is_null(argv[i]) && (argv[i]->value.i != 0) == when_true;
}

// v / 10^decimals, correctly rounded once: the integer and the scale go to strtod together.
double scale_exact(uint64_t v, int64_t decimals, bool negative) {
  char text[48];
  std::snprintf(text, sizeof text, "%s%llue-%lld", negative ? "-" : "", static_cast<unsigned long long>(v),
                static_cast<long long>(decimals));
  return std::strtod(text, nullptr);
}

// Writes the low `width` bytes of `bits`, least significant first or, big-endian, last.
void put_uint(unsigned char *out, uint64_t bits, int64_t width, bool big_endian) {
  for (int64_t i = 0; i < width; ++i) {
    auto byte = static_cast<unsigned char>(bits >> (8 * i));
    out[big_endian ? width - 1 - i : i] = byte;
  }
}

// The value of `width` bytes stored as put_uint stores them.
uint64_t get_uint(const unsigned char *in, int64_t width, bool big_endian) {
  uint64_t bits = 0;
  for (int64_t i = 0; i < width; ++i) bits |= uint64_t{in[big_endian ? width - 1 - i : i]} << (8 * i);
  return bits;
}

// Whether a binary reader may take `width` bytes (1 to 8) of `data` at scale `decimals`.
bool reader_limits_ok(int64_t width, int64_t decimals, const exp_symval *data) {
  return width >= 1 && width <= 8 && width <= mf_capacity(data) && decimals >= 0 && decimals <= MF_MAX_DECIMALS;
}

}  // namespace

int mf_invalid(exp_engine *e, const char *text, int code) {
  engine_error(e, ERR_INVALID_INPUT, text);
  return code;
}

int mf_binary_width(int total) { return total <= 4 ? 2 : total <= 9 ? 4 : 8; }

int mf_packed_width(int total) { return (total + 1 + (total + 1) % 2) / 2; }

double mf_pow10(int64_t d) {
  static const std::array<double, MF_MAX_DECIMALS + 1> table = [] {
    std::array<double, MF_MAX_DECIMALS + 1> t{};
    for (size_t i = 0; i < t.size(); ++i) {
      char text[32];
      std::snprintf(text, sizeof text, "1e%zu", i);
      t[i] = std::strtod(text, nullptr);
    }
    return t;
  }();
  return table[static_cast<size_t>(std::clamp<int64_t>(d, 0, MF_MAX_DECIMALS))];
}

double mf_value_to_double(const exp_symval *v, bool *ok) {
  if (ok) *ok = false;
  int type = symval_type(v);
  if (type != EXP_REAL && type != EXP_DATE) return 0;
  decContext ctx = context192();
  double d = decSextToDouble(symval_dec(v), &ctx, 2);
  if (decContextGetStatus(&ctx) != 0) return 0;
  if (ok) *ok = true;
  return d;
}

void mf_set_real(exp_symval *result, double v) {
  if (v == 0) v = 0;  // a negative zero reads as zero
  decContext ctx = context192();
  decSextFromDouble(symval_dec(result), v, &ctx);
  symval_clear_null_flag(result);
}

mf_field::mf_field(const exp_symval *c, int64_t width)
    : bytes_(reinterpret_cast<const unsigned char *>(c->value.s)) {
  if (symval_raw_bytes(c) || width > kMaxCopy) return;
  size_t text = strnlen(c->value.s, static_cast<size_t>(width));
  if (text >= static_cast<size_t>(width)) return;
  std::memcpy(copy_, c->value.s, text);
  bytes_ = copy_;
}

unsigned char *mf_output(exp_engine *e, exp_symval *c) {
  if (builtin_cells::check_writable(e, c)) return nullptr;
  symval_mark_raw(c);
  symval_note_cut(c, false);  // a field is written whole (its width was checked against the cell)
  return reinterpret_cast<unsigned char *>(c->value.s);
}

int64_t mf_capacity(const exp_symval *c) {
  return symval_type(c) == EXP_STRING && c->value.s ? static_cast<int64_t>(c->len) : 0;
}

std::string mf_integer_digits(double d) {
  if (!std::isfinite(d) || d < 0) return "0";
  char text[400];
  std::snprintf(text, sizeof text, "%.0f", std::floor(d));
  return text;
}

void mf_accumulator::push(unsigned digit) {
  digits_ += '0';
  for (size_t i = digits_.size(); digit > 0 && i-- > 0;) {
    unsigned sum = static_cast<unsigned>(digits_[i] - '0') + digit;
    digits_[i] = static_cast<char>('0' + sum % 10);
    digit = sum / 10;
  }
  if (digit > 0) digits_.insert(digits_.begin(), static_cast<char>('0' + digit));
}

double mf_accumulator::scaled(int64_t decimals, bool negative) const {
  std::string text = (negative ? "-" : "") + digits_ + "e-" + std::to_string(decimals);
  return std::strtod(text.c_str(), nullptr);
}

// ---- picture parser ------------------------------------------------------------------------------

namespace {

// Reads a digit group at a '9': "9(n)" or a run of 9s, leaving `p` after it. Counts above 31 are
// refused by the caller, so a long count saturates instead of overflowing.
const char *read_group(const char *&p, int &count) {
  ++p;
  if (*p != '(') {
    for (count = 1; *p == '9'; ++p) ++count;
    return nullptr;
  }
  count = 0;
  for (++p; *p != ')'; ++p) {
    if (*p < '0' || *p > '9') return "expecting a ')' or a digit";
    count = std::min(count * 10 + (*p - '0'), 1000);
  }
  ++p;
  return nullptr;
}

// The grammar: [S] [integer part] [V decimal part], each part a run of 9s or 9(n).
const char *parse_picture(const char *p, mf_picture *out) {
  if (*p == 'S' || *p == 's') {
    out->is_signed = true;
    ++p;
  }
  int count = 0;
  if (*p == '9')
    if (const char *error = read_group(p, count)) return error;
  if (count > 31) return "the number of 9's exceeds 31";
  out->integer_digits = count;
  if (!*p) return nullptr;
  if (*p != 'V' && *p != 'v') return "expecting 'V'";
  if (*++p != '9') return "expecting a 9";
  count = 0;
  if (const char *error = read_group(p, count)) return error;
  if (*p || count > 31) return "the number of nines is greater than 31";
  out->decimal_digits = count;
  return nullptr;
}

}  // namespace

int pic_parse(exp_engine *e, const char *pic, mf_picture *out) {
  *out = mf_picture{};
  if (const char *error = parse_picture(pic ? pic : "", out)) return mf_invalid(e, error, MF_FAILED);
  return 0;
}

// ---- byte routines -------------------------------------------------------------------------------

int mf_read_unsigned(exp_engine *e, const exp_symval *data, int64_t width, bool big_endian, int64_t decimals,
                     double *out) {
  if (!reader_limits_ok(width, decimals, data))
    return mf_invalid(e, "the width specified is too large", MF_FAILED);
  *out = scale_exact(get_uint(mf_field(data, width).data(), width, big_endian), decimals, false);
  return 0;
}

int mf_read_signed(exp_engine *e, const exp_symval *data, int64_t width, bool big_endian, int64_t decimals,
                   double *out) {
  if (!reader_limits_ok(width, decimals, data))
    return mf_invalid(e, "the width specifed is too large", MF_FAILED);
  const uint64_t bits = get_uint(mf_field(data, width).data(), width, big_endian);
  const uint64_t field = ~uint64_t{0} >> (64 - 8 * width);  // the field's own bits
  const bool negative = (bits >> (8 * width - 1)) != 0;
  // Two's complement: the magnitude of a negative field is its inverted bits plus one.
  *out = scale_exact(negative ? (~bits & field) + 1 : bits, decimals, negative);
  return 0;
}

int mf_read_packed(exp_engine *e, const exp_symval *data, int64_t width, bool use_sign, int64_t decimals,
                   double *out) {
  if (width < 1 || width > mf_capacity(data))
    return mf_invalid(e, "the source does not contain enough bytes", MF_FAILED);
  if (decimals < 0 || decimals > MF_MAX_DECIMALS) return mf_invalid(e, MF_DECIMALS_RANGE, MF_FAILED);
  // A packed field is as wide as the storage holding it: its digits are work (see kWorkPerCheck).
  if (int rc = charge_bytes(e, nullptr, static_cast<size_t>(width) * 2)) return rc;
  const mf_field field(data, width);
  const unsigned char *b = field.data();
  mf_accumulator value;
  for (int64_t i = 0; i + 1 < width; ++i) {
    if (b[i] > 0x99 || (b[i] & 0x0F) > 9) return mf_invalid(e, "the number is not packed decimal", MF_FAILED);
    value.push(b[i] >> 4);
    value.push(b[i] & 0x0F);
  }
  unsigned char last = b[width - 1];
  value.push(last >> 4);
  unsigned sign = last & 0x0F;
  bool negative = use_sign && (sign & 1) && sign != 0x0F;
  *out = value.scaled(decimals, negative);
  return 0;
}

namespace {

bool writer_limits_ok(int64_t width, int64_t max_width, int64_t decimals, const exp_symval *out) {
  return width >= 1 && width <= max_width && decimals >= 0 && decimals <= MF_MAX_DECIMALS &&
         width <= mf_capacity(out);
}

}  // namespace

int mf_write_unsigned(exp_engine *e, double number, int64_t width, int64_t decimals, bool big_endian,
                      exp_symval *out) {
  if (!writer_limits_ok(width, 8, decimals, out))
    return mf_invalid(e, "the width is invalid or the power of 10 is too large", MF_FAILED);
  unsigned char *b = mf_output(e, out);
  if (!b) return ERR_READ_ONLY;
  if (number < 0) {
    std::memset(b, 0xFF, static_cast<size_t>(width));
    return 0;
  }
  if (decimals > 0) number = number * mf_pow10(decimals) + 0.5;
  if (!(number >= 0)) number = 0;  // NaN
  if (number >= std::ldexp(1.0, static_cast<int>(8 * width))) {
    std::memset(b, 0xFF, static_cast<size_t>(width));
    return 0;
  }
  put_uint(b, static_cast<uint64_t>(std::floor(number)), width, big_endian);
  return 0;
}

// The magnitude is rounded (half away from zero when scaled; the fraction dropped at scale 0)
// and then negated, so negative values mirror positive ones. Values beyond the field saturate at
// its largest or most negative value.
int mf_write_signed(exp_engine *e, const exp_symval *value, int64_t width, int64_t decimals, bool big_endian,
                    exp_symval *out) {
  if (!writer_limits_ok(width, 8, decimals, out))
    return mf_invalid(e, "the width is invalid or the power of 10 is too large", MF_FAILED);
  double d = mf_value_to_double(value);
  bool negative = d < 0;
  double m = std::fabs(d);
  if (decimals > 0) m = m * mf_pow10(decimals) + 0.5;
  m = std::floor(m);
  const double limit = std::ldexp(1.0, static_cast<int>(8 * width - 1));
  const uint64_t top = uint64_t{1} << (8 * width - 1);
  uint64_t bits;
  if (!negative && m >= limit) bits = top - 1;
  else if (negative && m > limit) bits = top;
  else bits = negative ? 0 - static_cast<uint64_t>(m) : static_cast<uint64_t>(m);
  unsigned char *b = mf_output(e, out);
  if (!b) return ERR_READ_ONLY;
  put_uint(b, bits, width, big_endian);
  return 0;
}

int mf_write_packed(exp_engine *e, const exp_symval *value, int64_t width, int64_t decimals, bool is_signed,
                    exp_symval *out) {
  if (!writer_limits_ok(width, 16, decimals, out))
    return mf_invalid(e, "the width is invalid or the power of ten is too large", MF_FAILED);
  bool ok = false;
  double d = mf_value_to_double(value, &ok);
  unsigned sign = 0x0C;
  if (ok && d < 0) {
    d = -d;
    sign = 0x0D;
  }
  if (!is_signed) sign = 0x0F;
  if (decimals > 0) d = d * mf_pow10(decimals) + 0.5;
  std::string digits = mf_integer_digits(d);
  unsigned char *b = mf_output(e, out);
  if (!b) return ERR_READ_ONLY;
  std::memset(b, 0, static_cast<size_t>(width));
  // Digits are placed from the right; those that do not fit are dropped at the left.
  auto pos = static_cast<int64_t>(digits.size()) - 1;
  auto next_digit = [&]() -> unsigned { return pos >= 0 ? static_cast<unsigned>(digits[pos--] - '0') : 0; };
  b[width - 1] = static_cast<unsigned char>((next_digit() << 4) | sign);
  for (int64_t i = width - 2; i >= 0 && pos >= 0; --i) {
    unsigned low = next_digit();
    b[i] = static_cast<unsigned char>((next_digit() << 4) | low);
  }
  return 0;
}

// ---- the built-ins -------------------------------------------------------------------------------

namespace {

// piccomp / piccomp5: a little-endian binary field; 4 unsigned bytes without a picture.
int fn_piccomp(exp_engine *e, Cell *result, int argc, Cell **argv) {
  mf_picture pic;
  int width = 4;
  if (argc > 1) {
    if (pic_parse(e, text_of(argv[1]), &pic)) return MF_FAILED;
    if (pic.total() < 1 || pic.total() > 18) return mf_invalid(e, "the width is invalid", MF_FAILED);
    width = mf_binary_width(pic.total());
  }
  double v = 0;
  int rc = pic.is_signed ? mf_read_signed(e, argv[0], width, false, pic.decimal_digits, &v)
                         : mf_read_unsigned(e, argv[0], width, false, pic.decimal_digits, &v);
  if (rc) return rc;
  mf_set_real(result, v);
  return 0;
}

// piccomp3: a packed-decimal field; 4 unsigned bytes without a picture. The field must be the
// storage of a string: any other value has no bytes to read.
int fn_piccomp3(exp_engine *e, Cell *result, int argc, Cell **argv) {
  if (symval_type(argv[0]) != EXP_STRING)
    return mf_invalid(e, "the packed decimal source must be a string", MF_FAILED);
  mf_picture pic;
  int width = 4;
  if (argc > 1) {
    if (pic_parse(e, text_of(argv[1]), &pic)) return MF_FAILED;
    width = mf_packed_width(pic.total());
    if (width < 1 || width > 16 || pic.decimal_digits > 10)
      return mf_invalid(e, "the width is invalid", MF_FAILED);
  }
  double v = 0;
  if (int rc = mf_read_packed(e, argv[0], width, pic.is_signed, pic.decimal_digits, &v)) return rc;
  mf_set_real(result, v);
  return 0;
}

// The sign of a zoned field from the zone of its sign byte.
bool zoned_negative(unsigned zone, bool ebcdic) {
  if (ebcdic) return zone != 0x0F && (zone & 1) != 0;
  return (zone & 0x4) != 0;
}

// picsigndec: one digit per byte in the low nibble, the sign in the zone of the first or last byte.
int fn_picsigndec(exp_engine *e, Cell *result, int argc, Cell **argv) {
  mf_picture pic;
  pic.is_signed = true;
  pic.integer_digits = 4;
  if (argc > 1 && pic_parse(e, text_of(argv[1]), &pic)) return MF_FAILED;
  int t = pic.total();
  if (t > 31 || t > mf_capacity(argv[0])) return mf_invalid(e, "the width is invalid", MF_FAILED);
  bool ebcdic = flag_given(argc, argv, 2, true);
  bool trailing = !flag_given(argc, argv, 3, false);
  const mf_field field(argv[0], t);
  const unsigned char *b = field.data();
  mf_accumulator value;
  for (int i = 0; i < t; ++i) value.push(b[i] & 0x0F);
  bool negative = pic.is_signed && t > 0 && zoned_negative(b[trailing ? t - 1 : 0] >> 4, ebcdic);
  mf_set_real(result, value.scaled(pic.decimal_digits, negative));
  return 0;
}

// formatpiccomp / formatpiccomp5: a little-endian binary field, two's complement when signed.
int fn_formatpiccomp(exp_engine *e, Cell *result, int, Cell **argv) {
  mf_picture pic;
  if (pic_parse(e, text_of(argv[1]), &pic)) return MF_FAILED;
  if (pic.total() > 18 || pic.decimal_digits > 10) return mf_invalid(e, "the width is invalid", MF_FAILED);
  int width = mf_binary_width(pic.total());
  int rc = pic.is_signed ? mf_write_signed(e, argv[0], width, pic.decimal_digits, false, argv[2])
                         : mf_write_unsigned(e, mf_value_to_double(argv[0]), width, pic.decimal_digits, false, argv[2]);
  return rc ? rc : set_int(result, width);
}

int fn_formatpiccomp3(exp_engine *e, Cell *result, int, Cell **argv) {
  mf_picture pic;
  if (pic_parse(e, text_of(argv[1]), &pic)) return MF_FAILED;
  int width = mf_packed_width(pic.total());
  if (width < 1 || width > 16 || pic.decimal_digits > 10)
    return mf_invalid(e, "the width or multiplier are invalid", MF_FAILED);
  if (int rc = mf_write_packed(e, argv[0], width, pic.decimal_digits, pic.is_signed, argv[2])) return rc;
  return set_int(result, width);
}

// The t low-order digits of the scaled magnitude, zero-padded on the left: a number with more
// digits than the field loses its high-order digits, as a COBOL move does.
std::string zoned_digits(double magnitude, int t) {
  std::string digits = mf_integer_digits(magnitude);
  if (digits.size() < static_cast<size_t>(t)) return std::string(static_cast<size_t>(t) - digits.size(), '0') + digits;
  return digits.substr(digits.size() - static_cast<size_t>(t));
}

void apply_zones(unsigned char *b, int t, bool is_signed, bool negative, bool ebcdic, bool trailing) {
  if (t < 1) return;
  unsigned char &sign = b[trailing ? t - 1 : 0];
  if (ebcdic) {
    for (int i = 0; i < t; ++i) b[i] |= 0xF0;
    if (is_signed) sign &= negative ? 0xDF : 0xCF;
  } else if (is_signed && negative) {
    sign = static_cast<unsigned char>((sign & 0x0F) | 0x70);
  }
}

int fn_formatpicsigndec(exp_engine *e, Cell *result, int argc, Cell **argv) {
  mf_picture pic;
  if (pic_parse(e, text_of(argv[1]), &pic)) return MF_FAILED;
  int t = pic.total();
  if (t > 31) return mf_invalid(e, "the width is invalid", MF_FAILED);
  Cell *out = argv[2];
  if (int rc = check_writable(e, out)) return rc;
  if (t > mf_capacity(out) || !out->value.s)
    if (int rc = limit_resize_string(e, out, std::max(t, 1), RESIZE_KEEP)) return rc;
  bool ebcdic = flag_given(argc, argv, 3, true);
  bool trailing = !flag_given(argc, argv, 4, false);
  double d = mf_value_to_double(argv[0]);
  bool negative = d < 0;
  d = std::fabs(d);
  if (pic.decimal_digits > 0) d = d * mf_pow10(pic.decimal_digits) + 0.5;
  std::string digits = zoned_digits(d, t);
  unsigned char *b = mf_output(e, out);
  if (!b) return ERR_READ_ONLY;
  std::memcpy(b, digits.data(), static_cast<size_t>(t));
  b[t] = 0;
  apply_zones(b, t, pic.is_signed, negative, ebcdic, trailing);
  return set_int(result, t);
}

const exp_function kRecords[] = {
    {"piccomp", fn_piccomp, 1, 2, "ss", 'r', 0,
     "EXPERIMENTAL: Returns a number from a COMP value.  First string contains the number, second contains the "
     "PIC format.",
     0, ""},
    {"piccomp3", fn_piccomp3, 1, 2, "as", 'r', 0,
     "EXPERIMENTAL: Returns a number from a COMP-3 value.  First string conatins the number, second contains "
     "the PIC format.",
     0, ""},
    {"piccomp5", fn_piccomp, 1, 2, "ss", 'r', 0,
     "EXPERIMENTAL: Returns a number from a COMP-5 value.  First string contains the number, second contains "
     "the PIC format.",
     0, ""},
    {"picsigndec", fn_picsigndec, 1, 4, "ssbb", 'r', 0,
     "EXPERIMENTAL: Returns a number from a COBOL signed decimal value.  First string is the number, second "
     "contains the PIC format, third is false if ASCII encoding, and fourth is true if using a trailing sign.",
     0, ""},
    {"formatpiccomp", fn_formatpiccomp, 3, 3, "rss", 'i', 0,
     "EXPERIMENTAL: Returns a number formatted in COMP.  First parameter is the value to format, second "
     "parameter is the PIC format and the third parameter is the formated COMP number.",
     0, ""},
    {"formatpiccomp3", fn_formatpiccomp3, 3, 3, "rss", 'i', 0,
     "EXPERIMENTAL: Returns a number formatted in COMP-3.  First parameter is the value to format, second "
     "parameter is the PIC format and the third parameter is the formated COMP-3 number.",
     0, ""},
    {"formatpiccomp5", fn_formatpiccomp, 3, 3, "rss", 'i', 0,
     "EXPERIMENTAL: Returns a number formatted in COMP-5.  First parameter is the value to format, second "
     "parameter is the PIC format and the third parameter is the formated COMP-5 number.",
     0, ""},
    {"formatpicsigndec", fn_formatpicsigndec, 3, 5, "rssbb", 'i', 0,
     "EXPERIMENTAL: Returns a number formatted in COBOL signed decimal.  The first parameter is the number, the "
     "second is the PIC format, the third will be the formated COBOL Signed Decimal number, fourth is true if "
     "there is an encoding (default is false for ASCII), and fifth will be true for trailing sign orientation "
     "(default).",
     0, ""},
};

}  // namespace

std::span<const exp_function> picture_functions() { return kRecords; }
