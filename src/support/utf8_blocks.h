// Whole-text UTF-8 checks 32 bytes at a time, for the processors that have the vector
// instructions they need (asked once per call; other processors, and other architectures, get
// `available() == false` and the callers step the text through utf8::walk instead).
//
// A "lead" here is any byte that is not a continuation byte (10xxxxxx). In well-formed text
// every character starts with exactly one lead, so counting leads counts characters; in text
// that is not well-formed a stray continuation byte is a character too, and the callers must
// not use lead counts. Every function reads only the bytes of the view it is given.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace utf8::blocks {

// True when the functions below may be called on this processor.
bool available();

// Bytes checked at once.
inline constexpr std::size_t kBlockBytes = 32;

// The leads of a text and whether the whole text is well-formed UTF-8 (every byte belongs to a
// complete well-formed character; an empty text is well-formed).
struct Scan {
  int64_t leads;
  bool well_formed;
};
Scan scan(std::string_view text);

// Offset of lead number `n` (0-based) from the start; text.size() when the text has exactly `n`
// leads; npos when it has fewer or `n` < 0.
std::size_t nth_lead(std::string_view text, int64_t n);

// Offset of the lead that starts the last `n` leads (`n` >= 1), so that text.substr(result)
// holds exactly `n` leads; npos when the text has fewer.
std::size_t nth_lead_from_end(std::string_view text, int64_t n);

}  // namespace utf8::blocks
