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

name_key::name_key(const char *query) : given_(query != nullptr) {
  if (!query) return;
  std::string_view q(query);
  cut_ = q.substr(0, cut_length(q, EXP_NAME_MAX));
}

bool name_key::matches(const char *stored) const {
  if (!given_ || !stored) return false;
  // Most stored names differ from the query in their first byte: two ASCII first bytes that
  // differ after folding settle it without the full comparison.
  auto fold = [](unsigned char c) { return c >= 'A' && c <= 'Z' ? c + ('a' - 'A') : c; };
  unsigned char a = static_cast<unsigned char>(stored[0]);
  unsigned char b = cut_.empty() ? 0 : static_cast<unsigned char>(cut_[0]);
  if ((a | b) < 0x80 && fold(a) != fold(b)) return false;
  return np_uchar_icomp(std::string_view(stored), cut_) == 0;
}
