// Names of symbols, functions and classes: how long they may be, how they are stored and how a
// lookup compares them. Kept apart so that the symbol table and the registry can share them
// without including each other.
#pragma once

#include <cstddef>
#include <string_view>

inline constexpr size_t EXP_NAME_MAX = 64;   // bytes of a name, without the terminator
inline constexpr size_t EXP_DESC_MAX = 512;  // bytes of a description

// Copies at most `max` bytes of `src` into `dst` (which holds max + 1), never splitting a
// character, always terminated. A null source gives "".
void copy_name(char *dst, const char *src, size_t max);

// A name being looked up, cut once the way names are cut when stored, so a name longer than
// 64 bytes finds the record it created. Stored names are already cut, so a lookup makes one key
// and compares it with each stored name without measuring or cutting the query again.
class name_key {
 public:
  explicit name_key(const char *query);
  // Whether `stored` (already cut to EXP_NAME_MAX bytes) names the same thing, without regard
  // to case. A null query or a null stored name matches nothing.
  bool matches(const char *stored) const;

 private:
  std::string_view cut_;
  bool given_;
};
