// Whole-text UTF-8 checks 32 bytes at a time with AVX2, chosen at run time so the library still
// runs on any x86-64 processor (and builds on other architectures, where only the plain loops
// below exist and available() says no).
//
// Well-formedness is decided from pairs of neighbouring bytes, by looking up the high and low
// half of each byte's predecessor and the high half of the byte itself in three 16-entry tables;
// each table entry is a set of the error kinds that byte could take part in, and a pair is an
// error exactly when all three lookups share a kind. What pairs cannot see (a third or fourth
// byte that must be a continuation byte) is checked from the bytes two and three places back.
// Errors are gathered over the whole text and tested once at the end.
#include "support/utf8_blocks.h"

#include <algorithm>
#include <cstring>

#include "support/utf8.h"

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace utf8::blocks {
namespace {

using Byte = unsigned char;
constexpr std::size_t npos = std::string_view::npos;

bool is_continuation(Byte b) { return (b & 0xC0) == 0x80; }

// Well-formedness one character at a time, for processors without the vector path.
Scan scan_plain(std::string_view text) {
  const auto* p = reinterpret_cast<const Byte*>(text.data());
  Scan s{0, true};
  for (std::size_t i = 0; i < text.size(); ++i) s.leads += is_continuation(p[i]) ? 0 : 1;
  for (std::size_t i = 0; i < text.size() && s.well_formed;) {
    const Char c = decode(p + i, text.size() - i);
    s.well_formed = c.valid;
    i += static_cast<std::size_t>(c.len);
  }
  return s;
}

std::size_t nth_lead_plain(std::string_view text, int64_t n) {
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (is_continuation(static_cast<Byte>(text[i]))) continue;
    if (n-- == 0) return i;
  }
  return n == 0 ? text.size() : npos;
}

std::size_t nth_lead_from_end_plain(std::string_view text, int64_t n) {
  for (std::size_t end = text.size(); end > 0; --end) {
    if (!is_continuation(static_cast<Byte>(text[end - 1])) && --n == 0) return end - 1;
  }
  return npos;
}

#if defined(__x86_64__)

#define UTF8_VECTOR __attribute__((target("avx2,popcnt")))

// Error kinds of a pair of bytes (predecessor, byte). Two kinds share bit 6: they are told apart
// by the predecessor's low half, which no byte pair can have for both.
constexpr Byte kTooShort = 1 << 0;     // a lead byte followed by ASCII or another lead byte
constexpr Byte kTooLong = 1 << 1;      // ASCII followed by a continuation byte
constexpr Byte kOverlong3 = 1 << 2;    // E0 80-9F
constexpr Byte kTooLarge = 1 << 3;     // F4 90-BF, F5-FF 90-BF
constexpr Byte kSurrogate = 1 << 4;    // ED A0-BF
constexpr Byte kOverlong2 = 1 << 5;    // C0-C1 followed by a continuation byte
constexpr Byte kTooLarge1000 = 1 << 6; // F5-FF 80-8F
constexpr Byte kOverlong4 = 1 << 6;    // F0 80-8F
constexpr Byte kTwoConts = 1 << 7;     // two continuation bytes: an error unless a third or fourth byte
constexpr Byte kCarry = kTooShort | kTooLong | kTwoConts;  // kinds the predecessor's low half does not decide

constexpr Byte kLarge = kCarry | kTooLarge | kTooLarge1000;
alignas(16) constexpr Byte kByte1High[16] = {
    kTooLong,  kTooLong,  kTooLong,  kTooLong,  kTooLong,  kTooLong, kTooLong, kTooLong,
    kTwoConts, kTwoConts, kTwoConts, kTwoConts, kTooShort | kOverlong2, kTooShort,
    kTooShort | kOverlong3 | kSurrogate, kTooShort | kTooLarge | kTooLarge1000 | kOverlong4};
alignas(16) constexpr Byte kByte1Low[16] = {
    kCarry | kOverlong3 | kOverlong2 | kOverlong4, kCarry | kOverlong2, kCarry, kCarry, kCarry | kTooLarge,
    kLarge, kLarge, kLarge, kLarge, kLarge, kLarge, kLarge, kLarge, kLarge | kSurrogate, kLarge, kLarge};
constexpr Byte kContinuation = kTooLong | kOverlong2 | kTwoConts;
alignas(16) constexpr Byte kByte2High[16] = {
    kTooShort, kTooShort, kTooShort, kTooShort, kTooShort, kTooShort, kTooShort, kTooShort,
    kContinuation | kOverlong3 | kTooLarge1000 | kOverlong4, kContinuation | kOverlong3 | kTooLarge,
    kContinuation | kSurrogate | kTooLarge, kContinuation | kSurrogate | kTooLarge,
    kTooShort, kTooShort, kTooShort, kTooShort};

// The largest value each byte of a final block may have without asking for bytes after it.
alignas(32) constexpr Byte kLastMax[32] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
                                           0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
                                           0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xEF, 0xDF, 0xBF};

UTF8_VECTOR inline __m256i table(const Byte (&t)[16]) {
  return _mm256_broadcastsi128_si256(_mm_load_si128(reinterpret_cast<const __m128i*>(t)));
}

UTF8_VECTOR inline __m256i load(const Byte* p) { return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p)); }

// Bit i set when byte i is not a continuation byte.
UTF8_VECTOR inline uint32_t lead_bits(__m256i v) {
  const __m256i continuation = _mm256_cmpgt_epi8(_mm256_set1_epi8(-64), v);  // 80-BF, signed below C0
  return ~static_cast<uint32_t>(_mm256_movemask_epi8(continuation));
}

// Position of set bit number `n` (0-based from the low end) of `bits`, which has more than `n`:
// halves and bytes that hold fewer are skipped whole, the last byte is stepped bit by bit.
UTF8_VECTOR inline int select_bit(uint32_t bits, int n) {
  int base = 0;
  for (const int width : {16, 8}) {
    const int below = __builtin_popcount(bits & ((1u << width) - 1));
    if (n >= below) {
      n -= below;
      bits >>= width;
      base += width;
    }
  }
  for (; n > 0; --n) bits &= bits - 1;
  return base + __builtin_ctz(bits);
}

// The state carried from one block to the next.
struct Checker {
  __m256i prev;             // the previous block (zeros before the first: ASCII)
  __m256i prev_incomplete;  // its bytes that ask for bytes after the block
  __m256i error;
  __m256i continuations;    // per byte position, continuation bytes seen (at most 255 blocks)
};

// Adds one block to the checker; only the continuation bytes that `counted` marks are counted.
UTF8_VECTOR inline void check_block(Checker& c, __m256i v, __m256i counted, __m256i t1h, __m256i t1l,
                                    __m256i t2h) {
  if (_mm256_movemask_epi8(v) == 0) {  // ASCII: only the previous block's open sequences matter
    c.error = _mm256_or_si256(c.error, c.prev_incomplete);
    c.prev = v;
    c.prev_incomplete = _mm256_setzero_si256();
    return;
  }
  const __m256i continuation = _mm256_cmpgt_epi8(_mm256_set1_epi8(-64), v);  // 80-BF, signed below C0
  c.continuations = _mm256_sub_epi8(c.continuations, _mm256_and_si256(continuation, counted));
  const __m256i low = _mm256_set1_epi8(0x0F);
  const __m256i joined = _mm256_permute2x128_si256(c.prev, v, 0x21);  // previous high half, this low half
  const __m256i prev1 = _mm256_alignr_epi8(v, joined, 15);
  const __m256i prev2 = _mm256_alignr_epi8(v, joined, 14);
  const __m256i prev3 = _mm256_alignr_epi8(v, joined, 13);
  const __m256i b1h = _mm256_shuffle_epi8(t1h, _mm256_and_si256(_mm256_srli_epi16(prev1, 4), low));
  const __m256i b1l = _mm256_shuffle_epi8(t1l, _mm256_and_si256(prev1, low));
  const __m256i b2h = _mm256_shuffle_epi8(t2h, _mm256_and_si256(_mm256_srli_epi16(v, 4), low));
  const __m256i pairs = _mm256_and_si256(_mm256_and_si256(b1h, b1l), b2h);
  // Bytes that must be a third or fourth byte: two after E0-FF or three after F0-FF.
  const __m256i third = _mm256_subs_epu8(prev2, _mm256_set1_epi8(static_cast<char>(0xE0 - 0x80)));
  const __m256i fourth = _mm256_subs_epu8(prev3, _mm256_set1_epi8(static_cast<char>(0xF0 - 0x80)));
  const __m256i must_continue = _mm256_and_si256(_mm256_or_si256(third, fourth), _mm256_set1_epi8(static_cast<char>(0x80)));
  c.error = _mm256_or_si256(c.error, _mm256_xor_si256(must_continue, pairs));
  c.prev = v;
  c.prev_incomplete = _mm256_subs_epu8(v, load(kLastMax));
}

// Moves the per-position continuation counts into `total` before they can overflow a byte.
UTF8_VECTOR inline void drain(Checker& c, int64_t& total) {
  const __m256i sums = _mm256_sad_epu8(c.continuations, _mm256_setzero_si256());
  alignas(32) uint64_t lanes[4];
  _mm256_store_si256(reinterpret_cast<__m256i*>(lanes), sums);
  total += static_cast<int64_t>(lanes[0] + lanes[1] + lanes[2] + lanes[3]);
  c.continuations = _mm256_setzero_si256();
}

// 32 bytes of zeros followed by 32 of ones: loading 32 bytes from offset k marks the last k bytes.
alignas(32) constexpr Byte kLastBytes[64] = {
    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,
    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,
    0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
    0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};

UTF8_VECTOR Scan scan_vector(const Byte* p, std::size_t size) {
  const __m256i t1h = table(kByte1High), t1l = table(kByte1Low), t2h = table(kByte2High);
  const __m256i all = _mm256_set1_epi8(-1);
  Checker c{_mm256_setzero_si256(), _mm256_setzero_si256(), _mm256_setzero_si256(), _mm256_setzero_si256()};
  int64_t continuations = 0;
  std::size_t i = 0;
  while (i + 32 <= size) {
    const std::size_t stop = std::min(size, i + 255 * 32);
    for (; i + 32 <= stop; i += 32) check_block(c, load(p + i), all, t1h, t1l, t2h);
    drain(c, continuations);
  }
  if (i < size && size >= 64) {
    // The last 32 bytes, checked again after the 32 before them; only the bytes not yet seen
    // are counted.
    c.prev = load(p + size - 64);
    c.prev_incomplete = _mm256_subs_epu8(c.prev, load(kLastMax));
    check_block(c, load(p + size - 32), load(kLastBytes + (size - i)), t1h, t1l, t2h);
  } else if (i < size) {  // the rest, followed by zeros: a sequence cut by the end meets ASCII
    alignas(32) Byte last[32] = {};
    std::memcpy(last, p + i, size - i);
    check_block(c, load(last), all, t1h, t1l, t2h);
  }
  drain(c, continuations);
  c.error = _mm256_or_si256(c.error, c.prev_incomplete);
  return {static_cast<int64_t>(size) - continuations, _mm256_testz_si256(c.error, c.error) != 0};
}

// Lead bits of the `n` bytes at `p` (`n` < 32), read through a zeroed block so that nothing past
// them is read.
UTF8_VECTOR inline uint32_t partial_lead_bits(const Byte* p, std::size_t n) {
  alignas(32) Byte block[32] = {};
  std::memcpy(block, p, n);
  return lead_bits(load(block)) & ((1u << n) - 1);
}

UTF8_VECTOR std::size_t nth_lead_vector(const Byte* p, std::size_t size, int64_t n) {
  std::size_t i = 0;
  for (; i + 32 <= size; i += 32) {
    const uint32_t bits = lead_bits(load(p + i));
    const int k = __builtin_popcount(bits);
    if (n < k) return i + static_cast<std::size_t>(select_bit(bits, static_cast<int>(n)));
    n -= k;
  }
  const uint32_t bits = i < size ? partial_lead_bits(p + i, size - i) : 0;
  const int k = __builtin_popcount(bits);
  if (n < k) return i + static_cast<std::size_t>(select_bit(bits, static_cast<int>(n)));
  return n == k ? size : npos;
}

UTF8_VECTOR std::size_t nth_lead_from_end_vector(const Byte* p, std::size_t size, int64_t n) {
  std::size_t end = size;
  for (; end >= 32; end -= 32) {
    const uint32_t bits = lead_bits(load(p + end - 32));
    const int k = __builtin_popcount(bits);
    if (n <= k) return end - 32 + static_cast<std::size_t>(select_bit(bits, k - static_cast<int>(n)));
    n -= k;
  }
  const uint32_t bits = end > 0 ? partial_lead_bits(p, end) : 0;
  const int k = __builtin_popcount(bits);
  return n <= k ? static_cast<std::size_t>(select_bit(bits, k - static_cast<int>(n))) : npos;
}

#endif

const Byte* bytes(std::string_view text) { return reinterpret_cast<const Byte*>(text.data()); }

}  // namespace

bool available() {
#if defined(__x86_64__)
  return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("popcnt");
#else
  return false;
#endif
}

Scan scan(std::string_view text) {
#if defined(__x86_64__)
  if (available()) return scan_vector(bytes(text), text.size());
#endif
  return scan_plain(text);
}

std::size_t nth_lead(std::string_view text, int64_t n) {
  if (n < 0) return npos;
#if defined(__x86_64__)
  if (available()) return nth_lead_vector(bytes(text), text.size(), n);
#endif
  return nth_lead_plain(text, n);
}

std::size_t nth_lead_from_end(std::string_view text, int64_t n) {
  if (n < 1) return npos;
#if defined(__x86_64__)
  if (available()) return nth_lead_from_end_vector(bytes(text), text.size(), n);
#endif
  return nth_lead_from_end_plain(text, n);
}

}  // namespace utf8::blocks
