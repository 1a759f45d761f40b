// Substring search for the text built-ins.
#pragma once

#include <cstddef>
#include <cstring>
#include <string_view>

// Byte offset of the first occurrence of `t` in `s` at or after `from`, or npos; an empty `t` is
// found at `from`. At most about 32 steps per byte of `s`, however hostile the texts.
// std::string_view::find is the fastest on short needles, and its worst case (a partial match
// at every position) costs the needle's length per byte. On a long needle that worst case is
// n * m: "aaa...a" searched for "aaa...ab" made one instr over 400k characters run 12 s. Long
// needles therefore go to glibc's memmem, whose two-way search is linear; it is not used for all
// needles because its set-up doubles the cost of a short search.
inline size_t text_find(std::string_view s, std::string_view t, size_t from = 0) {
  constexpr size_t kShortNeedle = 32;
  auto offset = [&](const void *hit) {
    return hit ? static_cast<size_t>(static_cast<const char *>(hit) - s.data()) : std::string_view::npos;
  };
  if (t.size() == 1) {  // one byte (a separator, a space): memchr alone, without find's compare per hit
    if (from >= s.size()) return std::string_view::npos;
    return offset(std::memchr(s.data() + from, t[0], s.size() - from));
  }
  if (t.size() <= kShortNeedle) return s.find(t, from);
  if (from > s.size()) return std::string_view::npos;
  return offset(memmem(s.data() + from, s.size() - from, t.data(), t.size()));
}
