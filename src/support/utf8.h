// UTF-8 decoding and stepping: the one definition of what is one character in the character
// layer, and a fast walk over many characters that follows it exactly.
//
// A character is one well-formed UTF-8 sequence (1 to 4 bytes, no overlong forms, no surrogates,
// nothing above U+10FFFF). Every byte that does not start a well-formed sequence is a character
// of its own, so stepping always makes progress and never splits a well-formed character.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace utf8 {

// ---- words of eight bytes ---------------------------------------------------------------------
// Byte k of a word is memory byte k; a per-byte condition is kept in bit 7 of that byte.

inline constexpr uint64_t kHighBits = 0x8080808080808080ull;
inline constexpr uint64_t kLow7Bits = 0x7F7F7F7F7F7F7F7Full;
inline constexpr uint64_t kEachByte = 0x0101010101010101ull;

// The eight bytes at `p` (any alignment) as one word.
inline uint64_t load_word(const void* p) {
  uint64_t w;
  std::memcpy(&w, p, sizeof w);
  return w;
}

// True when no byte of the text has its high bit set, looked at eight bytes at a time. A text of
// eight bytes or more ends with a word that overlaps the one before, so no byte is read alone.
inline bool is_ascii(std::string_view text) {
  const std::size_t n = text.size();
  uint64_t high = 0;
  if (n < 8) {
    for (std::size_t i = 0; i < n; ++i) high |= static_cast<unsigned char>(text[i]);
  } else {
    high = load_word(text.data() + n - 8);
    for (std::size_t i = 0; i + 8 < n; i += 8) high |= load_word(text.data() + i);
  }
  return (high & kHighBits) == 0;
}

namespace detail {

using Byte = unsigned char;

// Length of a well-formed sequence starting with a lead byte and the allowed range of its second
// byte (the ranges exclude overlong forms, surrogates and code points above U+10FFFF).
struct Lead {
  int len;
  Byte lo;
  Byte hi;
};

constexpr Lead lead_of(Byte b) {
  struct Range {
    Byte first, last;
    Lead lead;
  };
  constexpr Range ranges[] = {
      {0xC2, 0xDF, {2, 0x80, 0xBF}}, {0xE0, 0xE0, {3, 0xA0, 0xBF}}, {0xE1, 0xEC, {3, 0x80, 0xBF}},
      {0xED, 0xED, {3, 0x80, 0x9F}}, {0xEE, 0xEF, {3, 0x80, 0xBF}}, {0xF0, 0xF0, {4, 0x90, 0xBF}},
      {0xF1, 0xF3, {4, 0x80, 0xBF}}, {0xF4, 0xF4, {4, 0x80, 0x8F}},
  };
  for (const Range& r : ranges) {
    if (b >= r.first && b <= r.last) return r.lead;
  }
  return {0, 0, 0};
}

inline constexpr std::array<Lead, 256> kLeads = [] {
  std::array<Lead, 256> table{};
  for (int b = 0; b < 256; ++b) table[static_cast<std::size_t>(b)] = lead_of(static_cast<Byte>(b));
  return table;
}();

}  // namespace detail

// One decoded character: its code point and byte length. An invalid byte decodes as U+FFFD of
// length 1 with `valid` false.
struct Char {
  char32_t cp;
  int len;
  bool valid;
};

// Decodes the character at `p`, of which at most `avail` bytes may be read (`avail` >= 1).
// For NUL-terminated text SIZE_MAX may be passed: the terminator fails every continuation test,
// so decoding stops at it without reading further.
Char decode(const unsigned char* p, std::size_t avail);

// Byte length of the character at `p` (`avail` >= 1 as for decode): decode(p, avail).len
// without assembling the code point. Inline, as stepping calls it once per character.
inline int char_length(const unsigned char* p, std::size_t avail) {
  const detail::Byte b0 = p[0];
  if (b0 < 0x80) return 1;
  const detail::Lead& lead = detail::kLeads[b0];
  if (lead.len == 0 || avail < static_cast<std::size_t>(lead.len)) return 1;
  if (p[1] < lead.lo || p[1] > lead.hi) return 1;
  if (lead.len >= 3 && (p[2] & 0xC0) != 0x80) return 1;
  if (lead.len == 4 && (p[3] & 0xC0) != 0x80) return 1;
  return lead.len;
}

// Where a walk stopped: a byte offset that is always a character boundary, and the number of
// characters stepped to reach it.
struct Walk {
  std::size_t offset;
  int64_t chars;
};

// Steps whole characters from the start of `text` while the offset is below `stop` and fewer
// than `max_chars` characters have been stepped; characters are decoded against all of `text`,
// so one that starts before `stop` is stepped whole. Gives exactly what stepping character by
// character with char_length gives, eight bytes at a time where the text allows.
Walk walk(std::string_view text, std::size_t stop, int64_t max_chars);

// ---- whole texts ------------------------------------------------------------------------------
// Each gives what stepping character by character gives. Well-formed text is handled in blocks
// of bytes where the processor allows; text with ill-formed bytes is stepped with walk.

// Number of characters in `text`.
int64_t count(std::string_view text);

// True when every byte of `text` belongs to a well-formed character.
bool well_formed(std::string_view text);

// Offset of character `n` (0-based; n == count(text) gives text.size()), or npos when the text
// has fewer characters or `n` < 0.
std::size_t seek(std::string_view text, int64_t n);

// A run of whole characters within a text: its byte offset and size, and how many characters
// it holds.
struct Slice {
  std::size_t offset;
  std::size_t size;
  int64_t chars;
};

// The `count` characters from character `first` (0-based) on: all the rest when `count` < 0
// or the text ends first. The offset is npos when the text has fewer than `first` characters
// or `first` < 0.
Slice slice(std::string_view text, int64_t first, int64_t count);

// Offset where the last `n` characters of `text` start (`n` >= 0), or npos when the text has
// fewer than `n` characters.
std::size_t seek_back(std::string_view text, int64_t n);

}  // namespace utf8
