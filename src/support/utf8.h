// UTF-8 decoding and stepping: the one definition of what is one character in the character
// layer, and a fast walk over many characters that follows it exactly.
//
// A character is one well-formed UTF-8 sequence (1 to 4 bytes, no overlong forms, no surrogates,
// nothing above U+10FFFF). Every byte that does not start a well-formed sequence is a character
// of its own, so stepping always makes progress and never splits a well-formed character.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace utf8 {

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
// without assembling the code point.
int char_length(const unsigned char* p, std::size_t avail);

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

}  // namespace utf8
