// UTF-8 scanning of text that a host hands over with a length instead of a terminator: nothing
// here reads a byte that the length (or the character being read) does not cover.
#pragma once

#include <cstddef>
#include <cstdint>

// Bytes of the character that lead byte `b0` announces: 1 to 4, or 0 for a byte that cannot
// start a character (a continuation byte, C0, C1, F5 and above).
inline size_t utf8_lead_length(unsigned char b0) {
  if (b0 < 0x80) return 1;
  if (b0 >= 0xC2 && b0 <= 0xDF) return 2;
  if (b0 >= 0xE0 && b0 <= 0xEF) return 3;
  if (b0 >= 0xF0 && b0 <= 0xF4) return 4;
  return 0;
}

// Byte length of the well-formed character at `p`, of which at most `avail` bytes may be read
// (`avail` >= 1), or 0 when the bytes there are not a well-formed character (overlong forms,
// surrogates, code points above U+10FFFF, a sequence cut by `avail`). Reads stop at the first byte
// that does not continue the character, so with `avail` of 4 on text of unknown length nothing
// past the character itself (or the byte that breaks it) is read.
inline size_t utf8_char_bytes(const unsigned char *p, size_t avail) {
  const unsigned char b0 = p[0];
  if (b0 < 0x80) return 1;
  size_t len = utf8_lead_length(b0);
  if (len == 0 || avail < len) return 0;
  unsigned char lo = 0x80, hi = 0xBF;  // allowed range of the second byte
  if (b0 == 0xE0) lo = 0xA0;           // no overlong three-byte forms
  else if (b0 == 0xED) hi = 0x9F;      // no surrogates
  else if (b0 == 0xF0) lo = 0x90;      // no overlong four-byte forms
  else if (b0 == 0xF4) hi = 0x8F;      // nothing above U+10FFFF
  if (p[1] < lo || p[1] > hi) return 0;
  for (size_t i = 2; i < len; ++i)
    if ((p[i] & 0xC0) != 0x80) return 0;
  return len;
}

// Byte length of the character at `p` as the character layer counts it: a byte that does not
// start a well-formed character (within `avail`) is a character of one byte.
inline size_t utf8_step(const unsigned char *p, size_t avail) {
  size_t n = utf8_char_bytes(p, avail);
  return n ? n : 1;
}
