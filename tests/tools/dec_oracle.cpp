// Line-oriented driver for the differential test of the decimal core. Each input line is an
// operation name and its operands, blank-separated; each output line is the result and the
// status (hex), blank-separated. Every operation runs under a fresh kind-192 context; a
// trailing rounding-mode number on a two-operand line replaces its rounding, and a precision
// after that its precision.
//
//   add|subtract|multiply|divide|compare|quantize|remainder|divideint|max|min a b [mode [digits]]
//   power a b            (through decNumberPower)
//   plus|minus|reduce a
//   tointegral a mode    (mode: the rounding mode's number)
//   toint64 a mode
//   string text          (from-string, then to-string)
//   fromdouble hexbits   (the double's bit pattern; result reduced)
//   todouble a           (result printed with %.17g)
#include "support/decimal.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <map>
#include <sstream>
#include <string>

namespace {

using Binary = decimal192 *(*)(decimal192 *, const decimal192 *, const decimal192 *, decContext *);
using Unary = decimal192 *(*)(decimal192 *, const decimal192 *, decContext *);

decimal192 *power(decimal192 *r, const decimal192 *a, const decimal192 *b, decContext *ctx) {
  decNumber x, y, z;
  decimal192ToNumber(a, &x);
  decimal192ToNumber(b, &y);
  decNumberPower(&z, &x, &y, ctx);
  return decimal192FromNumber(r, &z, ctx);
}

const std::map<std::string, Binary> kBinary = {
    {"add", decSextAdd},       {"subtract", decSextSubtract},   {"multiply", decSextMultiply},
    {"divide", decSextDivide}, {"compare", decSextCompare},     {"quantize", decSextQuantize},
    {"remainder", decSextRemainder}, {"divideint", decSextDivideInteger}, {"max", decSextMax},
    {"min", decSextMin},       {"power", power}};

const std::map<std::string, Unary> kUnary = {{"plus", decSextPlus}, {"minus", decSextMinus}, {"reduce", decSextReduce}};

// Operands are read under a context that holds any value of the format unchanged.
decimal192 operand(const std::string &text) {
  decContext c;
  decContextDefault(&c, DEC_INIT_DECIMAL192);
  c.clamp = 0;
  c.emax = DEC192_EXP_MAX;
  c.emin = DEC192_EXP_MIN + DEC192_PMAX - 1;
  decimal192 d;
  decSextFromString(&d, text.c_str(), &c);
  return d;
}

std::string text_of(const decimal192 &d) {
  char buf[DEC192_STRING];
  return decSextToString(&d, buf);
}

// Runs one line and returns the output line.
std::string run(const std::string &line) {
  std::istringstream in(line);
  std::string op, a, b;
  int mode = -1, precision = 0;
  in >> op >> a >> b >> mode >> precision;
  decContext ctx;
  decContextDefault(&ctx, DEC_INIT_DECIMAL192);
  if (mode >= 0) decContextSetRounding(&ctx, static_cast<decRounding>(mode));
  if (precision > 0) ctx.digits = precision;
  decimal192 r;
  std::ostringstream out;
  if (auto f = kBinary.find(op); f != kBinary.end()) {
    const decimal192 x = operand(a), y = operand(b);
    f->second(&r, &x, &y, &ctx);
    out << text_of(r);
  } else if (auto u = kUnary.find(op); u != kUnary.end()) {
    const decimal192 x = operand(a);
    u->second(&r, &x, &ctx);
    out << text_of(r);
  } else if (op == "tointegral") {
    const decimal192 x = operand(a);
    decSextToIntegralValue(&r, &x, &ctx, static_cast<decRounding>(std::stoi(b)));
    out << text_of(r);
  } else if (op == "toint64") {
    const decimal192 x = operand(a);
    out << decSextToInt64(&x, &ctx, static_cast<decRounding>(std::stoi(b)));
  } else if (op == "string") {
    decSextFromString(&r, a.c_str(), &ctx);
    out << text_of(r);
  } else if (op == "fromdouble") {
    const uint64_t bits = std::stoull(a, nullptr, 16);
    double d;
    std::memcpy(&d, &bits, sizeof d);
    decSextFromDouble(&r, d, &ctx);
    decSextReduce(&r, &r, &ctx);
    out << text_of(r);
  } else if (op == "todouble") {
    const decimal192 x = operand(a);
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.17g", decSextToDouble(&x, &ctx, 2));
    out << buf;
  } else {
    return "unknown-operation 0";
  }
  char status[16];
  std::snprintf(status, sizeof status, "%x", ctx.status);
  out << ' ' << status;
  return out.str();
}

}  // namespace

int main() {
  std::ios::sync_with_stdio(false);
  std::string line;
  while (std::getline(std::cin, line)) std::cout << run(line) << '\n';
  return 0;
}
