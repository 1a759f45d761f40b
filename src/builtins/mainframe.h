// Byte-level reading and writing of mainframe number fields (binary, packed decimal), the COBOL
// picture parser, and the conversions between value cells and doubles that both the picture
// formats (picture.cpp) and the width-and-decimals formats (binary_formats.cpp) use.
//
// Fields live in the raw storage of string cells: a field of w bytes needs a string cell whose
// limit is at least w, whatever its text. Every routine checks its widths against that limit
// before it touches a byte.
#pragma once

#include <cstdint>
#include <string>

#include "expression.h"

// What a built-in ends with after a routine raised error 3: the number it stored, so the run
// stops with the error exp_error_info reports.
inline constexpr int MF_FAILED = 3;

// Raises error 3 with `text` as the reason and returns `code` (MF_FAILED).
int mf_invalid(exp_engine *e, const char *text, int code);

// The largest scale the power-of-ten table covers, and the message for a scale outside it where
// no layout-specific message applies.
inline constexpr int64_t MF_MAX_DECIMALS = 308;
inline constexpr const char *MF_DECIMALS_RANGE = "the number of decimals must be from 0 to 308";

struct mf_picture {
  bool is_signed = false;
  int integer_digits = 0;
  int decimal_digits = 0;
  int total() const { return integer_digits + decimal_digits; }
};

// Parses a picture such as S9(5)V99. Returns 0, or raises error 3 with the reason and returns 3.
int pic_parse(exp_engine *e, const char *pic, mf_picture *out);

// Bytes of a COMP field for `total` digits: 2, 4 or 8 (0 digits also take 2).
int mf_binary_width(int total);
// Bytes of a COMP-3 field for `total` digits: digits and sign nibble, rounded up to whole bytes.
int mf_packed_width(int total);

// 10^d for d in 0..308, from a table of correctly rounded doubles.
double mf_pow10(int64_t d);
// A real or date cell as a double; 0 (and *ok false) when the conversion reports any condition.
double mf_value_to_double(const exp_symval *v, bool *ok = nullptr);
// Stores a double into a real result cell.
void mf_set_real(exp_symval *result, double v);
// Bytes of a string cell usable as a field (its limit), 0 for anything else.
int64_t mf_capacity(const exp_symval *c);
// The first `width` bytes of a field as a reader sees them: a raw field's or host cell's bytes as
// they are, any other string's text followed by zero bytes, so nothing a longer earlier value
// left past the terminator is read. Copies at most kMaxCopy bytes and never allocates; `width`
// is at most the cell's capacity (checked by every reader first).
class mf_field {
 public:
  static constexpr int64_t kMaxCopy = 64;  // wider than any field layout (31 digits and a sign)
  mf_field(const exp_symval *c, int64_t width);
  const unsigned char *data() const { return bytes_; }
  mf_field(const mf_field &) = delete;
  mf_field &operator=(const mf_field &) = delete;

 private:
  unsigned char copy_[kMaxCopy] = {};
  const unsigned char *bytes_;
};
// The buffer a writer of raw fields fills: error 42 for a read-only cell (returns none), else the
// cell is marked as holding a raw field (see symval_mark_raw).
unsigned char *mf_output(exp_engine *e, exp_symval *c);

// Decimal digits of floor(d) for d >= 0, at least one; "0" for a value that is not finite.
std::string mf_integer_digits(double d);

// A non-negative integer built digit by digit, exactly (digits may exceed 9 where nibbles are
// not validated: each step is value * 10 + digit).
class mf_accumulator {
 public:
  void push(unsigned digit);
  // The value / 10^decimals, negated when asked, rounded once to the nearest double.
  double scaled(int64_t decimals, bool negative) const;

 private:
  std::string digits_ = "0";  // decimal digits, most significant first
};

// Readers: each returns 0 with the value in *out, or raises error 3 and returns 3.
int mf_read_unsigned(exp_engine *e, const exp_symval *data, int64_t width, bool big_endian, int64_t decimals,
                     double *out);
int mf_read_signed(exp_engine *e, const exp_symval *data, int64_t width, bool big_endian, int64_t decimals,
                   double *out);
int mf_read_packed(exp_engine *e, const exp_symval *data, int64_t width, bool use_sign, int64_t decimals,
                   double *out);

// Writers: each fills `width` bytes of `out`'s storage (its null state unchanged) and returns 0,
// or raises error 3 and returns 3.
int mf_write_unsigned(exp_engine *e, double number, int64_t width, int64_t decimals, bool big_endian,
                      exp_symval *out);
int mf_write_signed(exp_engine *e, const exp_symval *value, int64_t width, int64_t decimals, bool big_endian,
                    exp_symval *out);
int mf_write_packed(exp_engine *e, const exp_symval *value, int64_t width, int64_t decimals, bool is_signed,
                    exp_symval *out);
