// The process locale, shared by every thread: the `locale` built-in switches it while engines on
// other threads read its name. setlocale frees the name it returned before, so every switch and
// every read of a name in the library goes through here, under one lock, and names are copied
// out; no pointer into the C library's locale storage is kept or read while another thread may
// switch.
#pragma once

#include <cstddef>

// Switches the process locale (LC_ALL) to `name`, copying the name of the locale in force before
// into `previous` (`size` bytes, always terminated; may be none). Returns 0, or 1 when the
// platform rejects the name (the locale is then unchanged).
int process_locale_switch(const char *name, char *previous, size_t size);

// Copies the language part of the name of the calling thread's LC_CTYPE locale (its own, after
// uselocale, else the process locale) into `out` (`size` bytes, always terminated): the name up to
// its first '_', '.', '@' or '-', so "tr" for "tr_TR.UTF-8" and "C" for "C.UTF-8".
void process_locale_ctype_language(char *out, size_t size);

// Copies the locale's character set name (nl_langinfo(CODESET)) into `out`, as above.
void process_locale_codeset(char *out, size_t size);
