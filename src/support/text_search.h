// Substring search for the text built-ins.
#pragma once

#include <cstring>
#include <string_view>

// Byte offset of the first occurrence of `t` in `s` at or after `from`, or npos; an empty `t` is
// found at `from`. Linear in the lengths: glibc's memmem uses the two-way algorithm, where
// std::string_view::find tries every position and takes n * m steps on a text like "aaa...a"
// searched for "aaa...ab", so one call of a built-in could run for hours.
inline size_t text_find(std::string_view s, std::string_view t, size_t from = 0) {
  if (from > s.size()) return std::string_view::npos;
  const void *hit = memmem(s.data() + from, s.size() - from, t.data(), t.size());
  return hit ? static_cast<size_t>(static_cast<const char *>(hit) - s.data()) : std::string_view::npos;
}
