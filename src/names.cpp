// Storing and comparing names (see names.h).
#include "names.h"

#include <cstring>

#include "support/uchar.h"

namespace {

// The bytes of `text` kept when it is cut to `max` bytes: a short ASCII text (nearly every name)
// is kept whole without walking its characters.
size_t cut_length(std::string_view text, size_t max) {
  if (text.size() <= max) {
    bool ascii = true;
    for (char c : text) ascii &= static_cast<unsigned char>(c) < 0x80;
    if (ascii) return text.size();
  }
  return np_uchar_cut(text, max);
}

}  // namespace

void copy_name(char *dst, const char *src, size_t max) {
  if (!src) src = "";
  size_t n = cut_length(src, max);
  std::memcpy(dst, src, n);
  dst[n] = '\0';
}

uint32_t name_hash(std::string_view cut) {
  // FNV-1a over the folded bytes; a byte beyond ASCII gives up (0).
  uint32_t h = kNameHashStart;
  for (char ch : cut) {
    auto c = static_cast<unsigned char>(ch);
    if (c >= 0x80) return 0;
    if (c >= 'A' && c <= 'Z') c += 'a' - 'A';
    h = name_hash_step(h, c);
  }
  return name_hash_end(h);
}

name_key::name_key(const char *query) : given_(query != nullptr) {
  if (!query) return;
  // One walk measures, checks and hashes a short ASCII name (nearly every name); anything else
  // takes the general cut.
  uint32_t h = kNameHashStart;
  size_t n = 0;
  for (unsigned char c; n <= EXP_NAME_MAX && (c = static_cast<unsigned char>(query[n])) != 0 && c < 0x80; ++n)
    h = name_hash_step(h, fold(c));
  if (n <= EXP_NAME_MAX && query[n] == '\0') {
    cut_ = std::string_view(query, n);
    hash_ = name_hash_end(h);
  } else {
    std::string_view q(query);
    cut_ = q.substr(0, cut_length(q, EXP_NAME_MAX));
    hash_ = name_hash(cut_);
  }
  first_ = cut_.empty() ? 0 : fold(static_cast<unsigned char>(cut_[0]));
}

bool name_key::matches_rest(const char *stored) const {
  // Names are nearly always ASCII: compared byte by byte with ASCII case folding, which is what
  // the character layer's comparison does for ASCII. Two ASCII bytes that differ after folding
  // after an equal prefix settle it; any other byte hands the whole comparison to that layer.
  const size_t n = cut_.size();
  for (size_t i = 0; i < n; ++i) {
    const auto a = static_cast<unsigned char>(stored[i]);
    const auto b = static_cast<unsigned char>(cut_[i]);
    if ((a | b) >= 0x80) return np_uchar_icomp(std::string_view(stored), cut_) == 0;
    if (fold(a) != fold(b)) return false;
  }
  const auto rest = static_cast<unsigned char>(stored[n]);
  if (rest < 0x80) return rest == 0;
  return np_uchar_icomp(std::string_view(stored), cut_) == 0;
}
