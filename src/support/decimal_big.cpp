// Fixed-capacity multi-limb integers for the decimal core's general paths, on top of GMP's mpn
// layer (which works in caller-provided buffers and so never touches the heap at these sizes).
#include "support/decimal_internal.h"

#include <algorithm>
#include <cstring>

namespace decimal_detail {
namespace {

inline constexpr int kTableMax = 160;    // 10^160 < 2^532: 9 limbs
inline constexpr int kTableLimbs = 9;

struct Pow10Entry {
  u64 limb[kTableLimbs];
  int n;
};

// 10^0 .. 10^kTableMax as multi-limb values, built at compile time.
constexpr std::array<Pow10Entry, kTableMax + 1> make_pow10_table() {
  std::array<Pow10Entry, kTableMax + 1> t{};
  Pow10Entry v{};
  v.limb[0] = 1;
  v.n = 1;
  for (auto &e : t) {
    e = v;
    u64 carry = 0;
    for (int i = 0; i < v.n; ++i) {
      const u128 p = static_cast<u128>(v.limb[i]) * 10 + carry;
      v.limb[i] = static_cast<u64>(p);
      carry = static_cast<u64>(p >> 64);
    }
    if (carry != 0) v.limb[v.n++] = carry;
  }
  return t;
}

constexpr auto kPow10Table = make_pow10_table();

inline void normalize(Big &x) {
  while (x.n > 0 && x.limb[x.n - 1] == 0) --x.n;
}

}  // namespace

void big_set_u64(Big &x, u64 v) {
  x.limb[0] = v;
  x.n = v != 0 ? 1 : 0;
}

void big_set_u128(Big &x, u128 v) {
  x.limb[0] = static_cast<u64>(v);
  x.limb[1] = static_cast<u64>(v >> 64);
  x.n = 2;
  normalize(x);
}

void big_set_limbs(Big &x, const u64 *limbs, int count) {
  std::memcpy(x.limb, limbs, sizeof(u64) * static_cast<size_t>(count));
  x.n = count;
  normalize(x);
}

int big_bits(const Big &x) {
  if (x.n == 0) return 0;
  return 64 * (x.n - 1) + (64 - __builtin_clzll(x.limb[x.n - 1]));
}

void big_pow10(Big &r, int k) {
  if (k <= kTableMax) {
    const Pow10Entry &e = kPow10Table[static_cast<size_t>(k)];
    std::memcpy(r.limb, e.limb, sizeof(u64) * static_cast<size_t>(e.n));
    r.n = e.n;
    return;
  }
  big_pow10(r, kTableMax);
  big_mul_pow10(r, k - kTableMax);
}

namespace {

// -1, 0 or 1 comparing x with 10^k.
int compare_pow10(const Big &x, int k) {
  if (k <= kTableMax) {
    const Pow10Entry &e = kPow10Table[static_cast<size_t>(k)];
    if (x.n != e.n) return x.n < e.n ? -1 : 1;
    return mpn_cmp(x.limb, e.limb, e.n);
  }
  Big p;
  big_pow10(p, k);
  return big_cmp(x, p);
}

}  // namespace

int big_digits(const Big &x) {
  if (x.n <= 1) return digits_u64(big_low(x));
  // floor((bits - 1) * log10(2)) + 1 is the answer or one below it.
  const int guess = static_cast<int>(((static_cast<int64_t>(big_bits(x)) - 1) * 1233) >> 12) + 1;
  return guess + (compare_pow10(x, guess) >= 0 ? 1 : 0);
}

int big_cmp(const Big &a, const Big &b) {
  if (a.n != b.n) return a.n < b.n ? -1 : 1;
  return mpn_cmp(a.limb, b.limb, a.n);
}

void big_add(Big &r, const Big &a, const Big &b) {
  const Big &lo = a.n >= b.n ? b : a;
  const Big &hi = a.n >= b.n ? a : b;
  if (lo.n == 0) {
    r = hi;
    return;
  }
  const u64 carry = mpn_add(r.limb, hi.limb, hi.n, lo.limb, lo.n);
  r.n = hi.n;
  if (carry != 0) r.limb[r.n++] = carry;
}

void big_sub(Big &r, const Big &a, const Big &b) {
  if (b.n == 0) {
    r = a;
    return;
  }
  mpn_sub(r.limb, a.limb, a.n, b.limb, b.n);
  r.n = a.n;
  normalize(r);
}

void big_add_u64(Big &x, u64 v) {
  if (x.n == 0) {
    big_set_u64(x, v);
    return;
  }
  const u64 carry = mpn_add_1(x.limb, x.limb, x.n, v);
  if (carry != 0) x.limb[x.n++] = carry;
}

void big_mul(Big &r, const Big &a, const Big &b) {
  if (a.n == 0 || b.n == 0) {
    r.n = 0;
    return;
  }
  if (a.n >= b.n)
    mpn_mul(r.limb, a.limb, a.n, b.limb, b.n);
  else
    mpn_mul(r.limb, b.limb, b.n, a.limb, a.n);
  r.n = a.n + b.n;
  normalize(r);
}

void big_mul_u64(Big &x, u64 m) {
  if (x.n == 0) return;
  const u64 carry = mpn_mul_1(x.limb, x.limb, x.n, m);
  if (carry != 0 && x.n < kBigLimbs) x.limb[x.n++] = carry;  // callers stay far below capacity
}

void big_mul_pow10(Big &x, int k) {
  while (k >= 19) {
    big_mul_u64(x, kPow10[19]);
    k -= 19;
  }
  if (k > 0) big_mul_u64(x, kPow10[static_cast<size_t>(k)]);
}

u64 big_divmod_u64(Big &x, u64 d) {
  if (x.n == 0) return 0;
  const u64 rem = mpn_divrem_1(x.limb, 0, x.limb, x.n, d);
  normalize(x);
  return rem;
}

void big_divmod(Big &q, Big &r, const Big &a, const Big &b) {
  if (big_cmp(a, b) < 0) {
    q.n = 0;
    r = a;
    return;
  }
  if (b.n == 1) {
    q = a;
    big_set_u64(r, big_divmod_u64(q, b.limb[0]));
    return;
  }
  mpn_tdiv_qr(q.limb, r.limb, 0, a.limb, a.n, b.limb, b.n);
  q.n = a.n - b.n + 1;
  r.n = b.n;
  normalize(q);
  normalize(r);
}

int big_strip_zeros(Big &x, int64_t limit) {
  int stripped = 0;
  if (x.n == 0) return 0;
  // Whole groups of 19 zeros first, then single digits.
  while (limit - stripped >= 19 && x.n > 1) {
    Big t = x;
    if (big_divmod_u64(t, kPow10[19]) != 0) break;
    x = t;
    stripped += 19;
  }
  while (stripped < limit) {
    if (x.n == 1) {
      u64 v = x.limb[0];
      while (stripped < limit && v % 10 == 0) {
        v /= 10;
        ++stripped;
      }
      x.limb[0] = v;
      return stripped;
    }
    Big t = x;
    if (big_divmod_u64(t, 10) != 0) break;
    x = t;
    ++stripped;
  }
  return stripped;
}

Rest big_drop_digits(Big &x, int64_t k, bool sticky) {
  if (k <= 19) {
    const u64 unit = kPow10[static_cast<size_t>(k)];
    const u64 rem = big_divmod_u64(x, unit);
    const u64 half = unit / 2;
    if (rem == 0) return sticky ? Rest::below_half : Rest::zero;
    if (rem < half) return Rest::below_half;
    if (rem == half) return sticky ? Rest::above_half : Rest::half;
    return Rest::above_half;
  }
  if (k > big_digits(x)) {  // every digit goes and the rounding digit is a leading zero
    const bool lost = !big_is_zero(x) || sticky;
    x.n = 0;
    return lost ? Rest::below_half : Rest::zero;
  }
  // One division by 10^k; the remainder against half of 10^k gives the rest.
  Big divisor, q, r;
  big_pow10(divisor, static_cast<int>(k));
  big_divmod(q, r, x, divisor);
  x = q;
  if (big_is_zero(r)) return sticky ? Rest::below_half : Rest::zero;
  Big twice = r;
  const u64 carry = mpn_lshift(twice.limb, r.limb, r.n, 1);
  if (carry != 0) twice.limb[twice.n++] = carry;
  const int c = big_cmp(twice, divisor);
  if (c < 0) return Rest::below_half;
  if (c == 0) return sticky ? Rest::above_half : Rest::half;
  return Rest::above_half;
}

bool rounds_up(decRounding mode, bool negative, Rest rest, u64 last_digit) {
  if (rest == Rest::zero) return false;
  switch (mode) {
    case DEC_ROUND_CEILING: return !negative;
    case DEC_ROUND_UP: return true;
    case DEC_ROUND_HALF_UP: return rest >= Rest::half;
    case DEC_ROUND_HALF_EVEN: return rest == Rest::above_half || (rest == Rest::half && (last_digit & 1) != 0);
    case DEC_ROUND_HALF_DOWN: return rest == Rest::above_half;
    case DEC_ROUND_DOWN: return false;
    case DEC_ROUND_FLOOR: return negative;
    case DEC_ROUND_05UP: return last_digit % 10 == 0 || last_digit % 10 == 5;
  }
  return false;
}

bool rounds_up(decRounding mode, bool negative, Rest rest, const Big &kept) {
  // Only 05up needs the true last decimal digit; the low limb has the right parity.
  const u64 last = (mode == DEC_ROUND_05UP && kept.n > 1) ? mpn_mod_1(kept.limb, kept.n, 10) : big_low(kept);
  return rounds_up(mode, negative, rest, last);
}

}  // namespace decimal_detail
