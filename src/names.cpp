// Storing and comparing names (see names.h).
#include "names.h"

#include <cstring>

#include "support/uchar.h"

void copy_name(char *dst, const char *src, size_t max) {
  if (!src) src = "";
  size_t n = np_uchar_cut(src, max);
  std::memcpy(dst, src, n);
  dst[n] = '\0';
}

name_key::name_key(const char *query) : given_(query != nullptr) {
  if (!query) return;
  std::string_view q(query);
  cut_ = q.substr(0, np_uchar_cut(q, EXP_NAME_MAX));
}

bool name_key::matches(const char *stored) const {
  return given_ && stored && np_uchar_icomp(std::string_view(stored), cut_) == 0;
}
