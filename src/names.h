// Names of symbols, functions and classes: how long they may be, how they are stored and how a
// lookup compares them. Kept apart so that the symbol table and the registry can share them
// without including each other.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

inline constexpr size_t EXP_NAME_MAX = 64;   // bytes of a name, without the terminator
inline constexpr size_t EXP_DESC_MAX = 512;  // bytes of a description

// Copies at most `max` bytes of `src` into `dst` (which holds max + 1), never splitting a
// character, always terminated. A null source gives "".
void copy_name(char *dst, const char *src, size_t max);

// A hash of the ASCII case fold of a name already cut to EXP_NAME_MAX bytes, never 0; 0 for a name
// holding a byte beyond ASCII, whose folding the character layer decides (such a name may match
// an ASCII one). Two names with different nonzero hashes never match, so a walk of stored names
// compares the hashes and looks at the bytes only when they agree.
uint32_t name_hash(std::string_view cut);

// The steps of name_hash (FNV-1a over folded ASCII bytes), for a caller that hashes as it walks.
inline constexpr uint32_t kNameHashStart = 2166136261u;
constexpr uint32_t name_hash_step(uint32_t h, unsigned char folded) { return (h ^ folded) * 16777619u; }
constexpr uint32_t name_hash_end(uint32_t h) { return h ? h : 1; }

// A name being looked up, cut once the way names are cut when stored, so a name longer than
// 64 bytes finds the record it created. Stored names are already cut, so a lookup makes one key
// and compares it with each stored name without measuring or cutting the query again.
class name_key {
 public:
  explicit name_key(const char *query);
  // Whether `stored` (already cut to EXP_NAME_MAX bytes) names the same thing, without regard
  // to case. A null query or a null stored name matches nothing.
  bool matches(const char *stored) const {
    if (!given_ || !stored) return false;
    // Most stored names differ from the query in their first byte: two ASCII first bytes that
    // differ after folding settle it here, without a call.
    const auto a = static_cast<unsigned char>(stored[0]);
    if ((a | first_) < 0x80 && fold(a) != first_) return false;
    return matches_rest(stored);
  }
  // Like matches, for a stored name whose name_hash is `stored_hash`: two different hashes of
  // ASCII names settle it without reading the name.
  bool matches(const char *stored, uint32_t stored_hash) const {
    if (hash_ == 0 || stored_hash == 0) return matches(stored);
    return hash_ == stored_hash && stored && ascii_equal(stored);
  }
  // The query's name_hash (0 for a null query or one with bytes beyond ASCII).
  uint32_t hash() const { return hash_; }
  // The query as given (not cut), or none.
  const char *text() const { return given_ ? cut_.data() : nullptr; }

 private:
  static unsigned char fold(unsigned char c) { return c >= 'A' && c <= 'Z' ? c + ('a' - 'A') : c; }
  bool matches_rest(const char *stored) const;
  // Whether the ASCII name `stored` equals the ASCII query, without regard to case.
  bool ascii_equal(const char *stored) const {
    const size_t n = cut_.size();
    for (size_t i = 0; i < n; ++i) {
      const auto a = static_cast<unsigned char>(stored[i]), b = static_cast<unsigned char>(cut_[i]);
      if (a != b && fold(a) != fold(b)) return false;
    }
    return stored[n] == '\0';
  }

  std::string_view cut_;
  bool given_;
  uint32_t hash_ = 0;
  unsigned char first_ = 0;  // the query's first byte, folded when ASCII (0 for an empty query)
};
