// The process locale behind one lock: switches exclusive, reads of its names shared.
#include "support/process_locale.h"

#include <langinfo.h>
#include <locale.h>

#include <clocale>
#include <cstring>
#include <mutex>
#include <shared_mutex>

namespace {

// The one lock of the process locale. It guards state the C library keeps for the whole
// process, so it is process-wide by nature; it holds no state of its own.
std::shared_mutex &locale_lock() {
  static std::shared_mutex lock;
  return lock;
}

// Copies `text` (none reads as "") into `out`, cut to `size` - 1 bytes.
void copy_out(const char *text, char *out, size_t size) {
  if (!out || size == 0) return;
  size_t n = text ? std::strlen(text) : 0;
  if (n >= size) n = size - 1;
  if (n) std::memcpy(out, text, n);
  out[n] = '\0';
}

// Copies nl_langinfo(item) while no switch can free it.
void copy_langinfo(nl_item item, char *out, size_t size) {
  std::shared_lock<std::shared_mutex> hold(locale_lock());
  copy_out(nl_langinfo(item), out, size);
}

}  // namespace

int process_locale_switch(const char *name, char *previous, size_t size) {
  std::unique_lock<std::shared_mutex> hold(locale_lock());
  copy_out(std::setlocale(LC_ALL, nullptr), previous, size);
  return std::setlocale(LC_ALL, name) ? 0 : 1;
}

// Only the language is copied: case mapping reads it on every call, and the rest of the name
// would be measured and copied for nothing.
void process_locale_ctype_language(char *out, size_t size) {
  if (!out || size == 0) return;
  std::shared_lock<std::shared_mutex> hold(locale_lock());
  const char *name = nl_langinfo(_NL_LOCALE_NAME(LC_CTYPE));
  auto ends_language = [](char c) { return c == '\0' || c == '_' || c == '.' || c == '@' || c == '-'; };
  size_t n = 0;
  for (; name && n + 1 < size && !ends_language(name[n]); ++n) out[n] = name[n];
  out[n] = '\0';
}

void process_locale_codeset(char *out, size_t size) { copy_langinfo(CODESET, out, size); }
