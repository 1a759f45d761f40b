// Fuzz target: the decimal core's text conversions and arithmetic. Input: one byte choosing the
// operation, one byte choosing precision and rounding, then up to three operand texts separated
// by line breaks. Besides running everything under the sanitizers it checks invariants that hold
// for any correct implementation: text round-trips, commutativity of + and x, and that every
// result is a well-formed value (its text reads back as the same value).
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "support/decimal.h"

namespace {

std::vector<std::string> split_operands(const uint8_t *data, size_t size) {
  std::vector<std::string> parts(1);
  for (size_t k = 0; k < size && parts.size() <= 3; ++k) {
    if (data[k] == '\n') parts.emplace_back();
    else parts.back().push_back(static_cast<char>(data[k]));
  }
  while (parts.size() < 3) parts.emplace_back("1");
  return parts;
}

decContext make_context(uint8_t spec) {
  decContext ctx;
  decContextDefault(&ctx, DEC_INIT_DECIMAL192);
  if (spec & 0x80) ctx.digits = 1 + (spec & 0x3F) % DEC192_PMAX;
  decContextSetRounding(&ctx, static_cast<decRounding>((spec >> 3) & 7));
  return ctx;
}

std::string text_of(const decimal192 &d) {
  char buf[DEC192_STRING + 16];
  std::memset(buf, 0x55, sizeof buf);
  decSextToString(&d, buf);
  if (std::memchr(buf, '\0', DEC192_STRING) == nullptr) std::abort();  // must fit the documented size
  return buf;
}

// A value's text must read back, under the context that made the value (its precision decides
// how an exponent near the limits is clamped), as a value with the same text.
void check_round_trip(const decimal192 &d, const decContext &made) {
  decContext ctx = made;
  ctx.status = 0;
  std::string first = text_of(d);
  decimal192 back;
  decSextFromString(&back, first.c_str(), &ctx);
  if (text_of(back) != first) std::abort();
}

bool is_nan(const decimal192 &d) { return decSextIsNaN(&d) != 0; }

bool same_bits(const decimal192 &a, const decimal192 &b) { return std::memcmp(&a, &b, sizeof a) == 0; }

// a op b and b op a must agree bit for bit, status included, when neither is a NaN.
template <typename Op>
void check_commutes(Op op, const decimal192 &a, const decimal192 &b, const decContext &base) {
  if (is_nan(a) || is_nan(b)) return;
  decContext c1 = base, c2 = base;
  decimal192 r1, r2;
  op(&r1, &a, &b, &c1);
  op(&r2, &b, &a, &c2);
  if (!same_bits(r1, r2) || c1.status != c2.status) std::abort();
  check_round_trip(r1, base);
}

decimal192 power(const decimal192 &a, const decimal192 &b, decContext *ctx) {
  decNumber na, nb, nr;
  decimal192ToNumber(&a, &na);
  decimal192ToNumber(&b, &nb);
  decNumberPower(&nr, &na, &nb, ctx);
  decimal192 r;
  decimal192FromNumber(&r, &nr, ctx);
  return r;
}

// Applies the operation picked by `op` and checks its result reads back.
void apply(uint8_t op, const decimal192 &a, const decimal192 &b, const decimal192 &c, decContext ctx) {
  decimal192 r;
  switch (op % 16) {
    case 0: check_commutes(decSextAdd, a, b, ctx); return;
    case 1: check_commutes(decSextMultiply, a, b, ctx); return;
    case 2: decSextSubtract(&r, &a, &b, &ctx); break;
    case 3: decSextDivide(&r, &a, &b, &ctx); break;
    case 4: decSextQuantize(&r, &a, &b, &ctx); break;
    case 5: r = power(a, b, &ctx); break;
    case 6: decSextRemainder(&r, &a, &b, &ctx); break;
    case 7: decSextDivideInteger(&r, &a, &b, &ctx); break;
    case 8: decSextToIntegralValue(&r, &a, &ctx, ctx.round); break;
    case 9: decSextReduce(&r, &a, &ctx); break;
    case 10: decSextCompare(&r, &a, &b, &ctx); break;
    case 11: {  // conversions from integers are exact whatever the context's precision
      (void)decSextToInt64(&a, &ctx, ctx.round);
      decSextFromInt64(&r, static_cast<int64_t>(a.w[0] ^ b.w[0]));
      decContextDefault(&ctx, DEC_INIT_DECIMAL192);
      break;
    }
    case 12: {
      double d = decSextToDouble(&a, &ctx, 0);
      decSextFromDouble(&r, d, &ctx);
      break;
    }
    case 13: {  // a * b + c, the shape of the engine's money arithmetic
      decSextMultiply(&r, &a, &b, &ctx);
      decSextAdd(&r, &r, &c, &ctx);
      break;
    }
    case 14: {
      decSextMax(&r, &a, &b, &ctx);
      decSextMin(&r, &r, &c, &ctx);
      break;
    }
    default: {
      decSextCopyAbs(&r, &a);
      decSextToIntegralExact(&r, &r, &ctx);
      (void)decSextCompareSigned(&r, &b);
      break;
    }
  }
  check_round_trip(r, ctx);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 2) return 0;
  const uint8_t op = data[0];
  decContext ctx = make_context(data[1]);
  std::vector<std::string> text = split_operands(data + 2, size - 2);
  decimal192 v[3];
  for (int k = 0; k < 3; ++k) {
    decContext read = ctx;
    if (k == 2) decSextFromChars(&v[k], text[k].data(), text[k].size(), &read);
    else decSextFromString(&v[k], text[k].c_str(), &read);
    check_round_trip(v[k], ctx);
  }
  apply(op, v[0], v[1], v[2], ctx);
  return 0;
}
