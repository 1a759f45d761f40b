// UTF-8 decoding and stepping. Single characters are decoded through a table of lead bytes;
// long walks read eight bytes at a time and count the bytes that start characters, falling back
// to single characters only around bytes that need a closer look.
#include "support/utf8.h"

#include "support/utf8_blocks.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>

namespace utf8 {
namespace {

using Byte = unsigned char;
using u64 = uint64_t;

static_assert(std::endian::native == std::endian::little, "the word walk numbers bytes from the low end");

constexpr char32_t kReplacement = 0xFFFD;
constexpr Char kInvalid{kReplacement, 1, false};

constexpr u64 kHigh = kHighBits;
constexpr u64 kLow7 = kLow7Bits;
constexpr u64 kOnes = kEachByte;

u64 load(const Byte* p) { return load_word(p); }

// Bytes that start sequences of at least 2, 3 and 4 bytes (C0-FF, E0-FF, F0-FF). Shifting a
// word left by k brings bit 7 - k of each byte to bit 7 of the same byte, so no byte leaks
// into its neighbour.
struct Leads {
  u64 two, three, four;
};

Leads leads_of(u64 w) {
  const u64 two = w & (w << 1);
  const u64 three = two & (w << 2);
  const u64 four = three & (w << 3);
  return {two & kHigh, three & kHigh, four & kHigh};
}

// Continuation bytes (10xxxxxx).
u64 continuations(u64 w) { return w & ~(w << 1) & kHigh; }

// Bytes equal to the byte repeated in `c`, exactly (no borrow crosses bytes).
u64 bytes_equal(u64 w, u64 c) {
  const u64 t = w ^ c;
  return ~(((t & kLow7) + kLow7) | t) & kHigh;
}

// Lead bytes whose second byte has a narrower range than 80-BF (E0, ED, F0, F4) or that never
// start a well-formed sequence (C0, C1, F5-FF). Words holding one are stepped a character at a
// time, so the word test only has to check the sequences' shape.
u64 special_leads(u64 w, const Leads& l) {
  return l.four | bytes_equal(w & ~kOnes, 0xC0 * kOnes) | bytes_equal(w, 0xE0 * kOnes) | bytes_equal(w, 0xED * kOnes);
}

// The result of walking whole words: where the walk can go on a character at a time (the first
// byte of the last character counted, which is not counted), the characters counted before it,
// and how far the caller must step a character at a time before words can be tried again.
struct Words {
  const Byte* p;
  int64_t chars;
  const Byte* resume;
};

// Counts the characters of whole words from the boundary `p` while words end by `limit` and at
// most `room` characters are counted. A word is taken whole when every continuation byte in it
// follows, within its sequence's length, a lead byte that asks for it, every byte that a lead asks
// for is a continuation byte, and it holds no special lead: then the bytes that start characters
// are exactly its bytes that are not continuation bytes.
Words whole_words(const Byte* p, const Byte* limit, int64_t room) {
  // Decoding from `p` never looks at the bytes before it, so none of them asks for a
  // continuation byte here.
  Leads before{0, 0, 0};
  const Byte* at = p;
  const Byte* resume = limit;
  int64_t chars = 0;
  while (limit - at >= 8 && chars + 8 <= room) {
    const u64 w = load(at);
    const u64 asked_before = before.two >> 56 | before.three >> 48 | before.four >> 40;
    if ((w & kHigh) == 0 && asked_before == 0) {  // eight ASCII characters
      chars += 8;
      before = {0, 0, 0};
      at += 8;
      continue;
    }
    const Leads l = leads_of(w);
    const u64 asked = (l.two << 8) | (l.three << 16) | (l.four << 24) | asked_before;
    const u64 cont = continuations(w);
    if (((cont ^ asked) | special_leads(w, l)) != 0) {
      resume = at + 8;
      break;
    }
    chars += 8 - static_cast<int64_t>(((cont >> 7) * kOnes) >> 56);
    before = l;
    at += 8;
  }
  if (at == p) return {p, 0, resume};
  // The last character counted may run past `at` (or be cut short by the end of the text): the
  // caller steps it whole from its lead byte.
  const Byte* last = at - 1;
  while (last > p && (*last & 0xC0) == 0x80) --last;
  return {last, chars - 1, resume};
}

// Steps characters one at a time from the boundary `from` while the offset is below `stop` and
// fewer than `max_chars` have been stepped.
inline Walk step(std::string_view text, std::size_t from, std::size_t stop, int64_t max_chars) {
  const auto* p = reinterpret_cast<const Byte*>(text.data());
  const std::size_t end = text.size();
  stop = std::min(stop, end);
  int64_t chars = 0;
  for (; from < stop && chars < max_chars; ++chars) {
    from += p[from] < 0x80 ? 1 : static_cast<std::size_t>(char_length(p + from, end - from));
  }
  return {from, chars};
}

// Short ASCII texts, the most common texts of all, have their answers by arithmetic (a longer
// text is not looked at twice: the blocks find ASCII fast anyway).
bool is_short_ascii(std::string_view text) { return text.size() < blocks::kBlockBytes && is_ascii(text); }

}  // namespace

Char decode(const Byte* p, std::size_t avail) {
  const Byte b0 = p[0];
  if (b0 < 0x80) return {b0, 1, true};
  const detail::Lead& lead = detail::kLeads[b0];
  if (lead.len == 0 || avail < static_cast<std::size_t>(lead.len)) return kInvalid;
  if (p[1] < lead.lo || p[1] > lead.hi) return kInvalid;
  char32_t cp = b0 & (0xFFu >> (lead.len + 1));
  cp = (cp << 6) | (p[1] & 0x3Fu);
  for (int i = 2; i < lead.len; ++i) {
    if ((p[i] & 0xC0) != 0x80) return kInvalid;
    cp = (cp << 6) | (p[i] & 0x3Fu);
  }
  return {cp, lead.len, true};
}

Walk walk(std::string_view text, std::size_t stop, int64_t max_chars) {
  const Byte* begin = reinterpret_cast<const Byte*>(text.data());
  const Byte* end = begin + text.size();
  const Byte* limit = begin + std::min(stop, text.size());
  const Byte* p = begin;
  int64_t chars = 0;
  while (p < limit && chars < max_chars) {
    if (limit - p < 8 || max_chars - chars < 8) {  // too little left for a whole word
      const Walk rest = step(text, static_cast<std::size_t>(p - begin), stop, max_chars - chars);
      return {rest.offset, chars + rest.chars};
    }
    const Words words = whole_words(p, limit, max_chars - chars);
    p = words.p;
    chars += words.chars;
    for (; p < limit && chars < max_chars && p < words.resume; ++chars) {
      p += *p < 0x80 ? 1 : char_length(p, static_cast<std::size_t>(end - p));
    }
  }
  return {static_cast<std::size_t>(p - begin), chars};
}

int64_t count(std::string_view text) {
  if (is_short_ascii(text)) return static_cast<int64_t>(text.size());
  if (blocks::available()) {
    const blocks::Scan s = blocks::scan(text);
    if (s.well_formed) return s.leads;
  }
  return walk(text, text.size(), INT64_MAX).chars;
}

bool well_formed(std::string_view text) {
  if (is_ascii(text)) return true;
  if (blocks::available()) return blocks::scan(text).well_formed;
  const auto *p = reinterpret_cast<const unsigned char *>(text.data());
  for (std::size_t at = 0; at < text.size();) {
    if (p[at] < 0x80) {
      ++at;
      continue;
    }
    const int n = char_length(p + at, text.size() - at);
    if (n == 1) return false;  // a byte beyond ASCII that starts no well-formed character
    at += static_cast<std::size_t>(n);
  }
  return true;
}

// A text whose first `n` characters' bytes are well-formed has its character `n` at its lead
// number `n`: every lead before it starts a character, and nothing else does.
std::size_t seek(std::string_view text, int64_t n) {
  if (n < 0) return std::string_view::npos;
  if (is_short_ascii(text)) return static_cast<uint64_t>(n) <= text.size() ? static_cast<std::size_t>(n) : std::string_view::npos;
  if (blocks::available()) {
    const std::size_t at = blocks::nth_lead(text, n);
    if (at != std::string_view::npos) {
      if (blocks::scan(text.substr(0, at)).well_formed) return at;
    } else if (blocks::scan(text).well_formed) {
      return at;  // fewer characters than `n`
    }
  }
  const Walk w = walk(text, text.size(), n);
  return w.chars == n ? w.offset : std::string_view::npos;
}

// Both ends are found as leads, then everything before the end is checked once.
Slice slice(std::string_view text, int64_t first, int64_t count) {
  constexpr std::size_t npos = std::string_view::npos;
  if (first < 0) return {npos, 0, 0};
  if (is_short_ascii(text)) {
    const auto size = static_cast<int64_t>(text.size());
    if (first > size) return {npos, 0, 0};
    const int64_t chars = count < 0 || count > size - first ? size - first : count;
    return {static_cast<std::size_t>(first), static_cast<std::size_t>(chars), chars};
  }
  if (text.size() < blocks::kBlockBytes) {  // stepping a few characters beats three block passes
    const Walk head = step(text, 0, text.size(), first);
    if (head.chars < first) return {npos, 0, 0};
    const Walk part = step(text, head.offset, text.size(), count < 0 ? INT64_MAX : count);
    return {head.offset, part.offset - head.offset, part.chars};
  }
  if (blocks::available()) {
    const std::size_t from = blocks::nth_lead(text, first);
    if (from == npos) {
      if (blocks::scan(text).well_formed) return {npos, 0, 0};
    } else {
      const std::size_t size = count < 0 ? npos : blocks::nth_lead(text.substr(from), count);
      if (size != npos) {
        if (blocks::scan(text.substr(0, from + size)).well_formed) return {from, size, count};
      } else if (const blocks::Scan all = blocks::scan(text); all.well_formed) {
        return {from, text.size() - from, all.leads - first};
      }
    }
  }
  const Walk head = walk(text, text.size(), first);
  if (head.chars < first) return {npos, 0, 0};
  const std::string_view rest = text.substr(head.offset);
  const Walk part = walk(rest, rest.size(), count < 0 ? INT64_MAX : count);
  return {head.offset, part.offset, part.chars};
}

// A lead always starts a character however the bytes before it divide, so when the bytes from
// the lead that starts the last `n` leads are well-formed, they are exactly the last `n`
// characters.
std::size_t seek_back(std::string_view text, int64_t n) {
  if (n <= 0) return n == 0 ? text.size() : std::string_view::npos;
  if (is_short_ascii(text)) {
    return static_cast<uint64_t>(n) <= text.size() ? text.size() - static_cast<std::size_t>(n) : std::string_view::npos;
  }
  if (blocks::available()) {
    const std::size_t at = blocks::nth_lead_from_end(text, n);
    if (at != std::string_view::npos && blocks::scan(text.substr(at)).well_formed) return at;
  }
  const int64_t chars = count(text);
  return chars < n ? std::string_view::npos : seek(text, chars - n);
}

}  // namespace utf8
