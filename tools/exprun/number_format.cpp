// Exact decimal formatting on the digits of a 52-digit decimal, without going through double.
#include "number_format.h"

#include <algorithm>
#include <cstdint>

namespace {

constexpr uint64_t kCoefficientMask = (uint64_t{1} << EXP_DECIMAL_EXP_SHIFT) - 1;

// The coefficient (w[0], w[1] and the low bits of w[2]) as decimal digits, "0" for zero.
std::string coefficient_digits(const exp_decimal192 &d) {
  uint64_t limbs[3] = {d.w[2] & kCoefficientMask, d.w[1], d.w[0]};  // most significant first
  constexpr uint64_t kChunk = 10000000000000000000ull;                // 10^19
  std::string digits;
  while (limbs[0] || limbs[1] || limbs[2]) {
    unsigned __int128 rem = 0;
    for (uint64_t &limb : limbs) {
      unsigned __int128 cur = (rem << 64) | limb;
      limb = static_cast<uint64_t>(cur / kChunk);
      rem = cur % kChunk;
    }
    auto chunk = static_cast<uint64_t>(rem);
    for (int i = 0; i < 19; ++i, chunk /= 10) digits.push_back(static_cast<char>('0' + chunk % 10));
  }
  while (digits.size() > 1 && digits.back() == '0') digits.pop_back();
  if (digits.empty()) digits = "0";
  std::reverse(digits.begin(), digits.end());
  return digits;
}

// Adds one unit in the last place of a string of decimal digits, growing it on a carry out.
void increment(std::string *digits) {
  for (auto it = digits->rbegin(); it != digits->rend(); ++it) {
    if (*it != '9') {
      ++*it;
      return;
    }
    *it = '0';
  }
  digits->insert(digits->begin(), '1');
}

}  // namespace

bool format_number(const exp_decimal192 &d, int decimals, std::string_view thousands, std::string_view point,
                   std::string *out) {
  const uint64_t field = (d.w[2] >> EXP_DECIMAL_EXP_SHIFT) & 0x3FFFF;
  if (field >= EXP_DECIMAL_INF) return false;
  const bool negative = (d.w[2] >> 63) != 0;
  int64_t exponent = static_cast<int64_t>(field) - EXP_DECIMAL_BIAS;
  std::string digits = coefficient_digits(d);
  if (exponent > 0) digits.append(static_cast<size_t>(exponent), '0'), exponent = 0;
  auto frac = static_cast<size_t>(-exponent);  // digits after the point
  // Below half a unit of the last kept place: every kept digit is 0 (and the first dropped too).
  if (frac > static_cast<size_t>(decimals) + digits.size() + 1) digits = "0", frac = 0;
  if (digits.size() < frac + 1) digits.insert(0, frac + 1 - digits.size(), '0');
  if (frac > static_cast<size_t>(decimals)) {
    const char first_dropped = digits[digits.size() - frac + static_cast<size_t>(decimals)];
    digits.resize(digits.size() - frac + static_cast<size_t>(decimals));
    if (first_dropped >= '5') increment(&digits);  // half away from zero, on the magnitude
  } else {
    digits.append(static_cast<size_t>(decimals) - frac, '0');
  }
  const size_t whole = digits.size() - static_cast<size_t>(decimals);
  size_t lead = 0;
  while (lead + 1 < whole && digits[lead] == '0') ++lead;
  out->clear();
  if (negative && digits.find_first_not_of('0') != std::string::npos) out->push_back('-');
  for (size_t i = lead; i < whole; ++i) {
    if (i > lead && (whole - i) % 3 == 0) out->append(thousands);
    out->push_back(digits[i]);
  }
  if (decimals > 0) {
    out->append(point);
    out->append(digits, whole, std::string::npos);
  }
  return true;
}
