// The error catalogue and the one way errors are stored in an engine.
#include "errors.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "engine.h"
#include "support/uchar.h"

namespace {

struct CatalogueEntry {
  int number;
  const char *format;
};

// Every error number the library reports, in ascending order. 107 has no entry: raiseerror
// writes its own text.
constexpr CatalogueEntry kCatalogue[] = {
    {1, "Memory Allocation Failed"},
    {2, "Error at %s (%d)"},
    {3, "Invalid input: %s"},
    {4, "Function already registered"},
    {5, "Invalid return type"},
    {6, "Invalid parameter type '%s'"},
    {7, "Zero length strings are not allowed"},
    {8, "One or more active compiled handles still exist"},
    {9, "Class already registered"},
    {10, "Incomplete expression. End of input reached."},
    {11, "Mismatched comment designators (check '/*' and '*/')"},
    {30, "Invalid declaration"},
    {31, "Duplicate symbol '%s' found"},
    {32, "Compilation error: %s"},
    {33, "Missing parenthesis"},
    {34, "Symbol '%s' not found"},
    {35, "Function '%s' not found"},
    {36, "Missing comma in function call"},
    {37, "Parameter mismatch on parameter %d"},
    {38, "Parameter count mismatch"},
    {39, "Duplicate label '%s' found"},
    {40, "Label '%s' not found"},
    {41, "Identifier is too long"},
    {42, "Symbol '%s' is read-only"},
    {43, "Can't assign a value to a non-symbol"},
    {44, "Class '%s' doesn't support the '%s' method"},
    {45, "Not an object"},
    {46, "Found 'Begin' with no 'End'"},
    {47, "Found 'End' without 'Begin'"},
    {48, "Missing statement, or 'else' without 'if'"},
    {49, "Expected statement"},
    {50, "Unexpected value"},
    {51, "Invalid/unknown function"},
    {52, "Invalid comparison"},
    {53, "Function '%s' needs the '%s' capability, which the host has not allowed"},
    {100, "Invalid instruction #%d"},
    {101, "Divide by zero"},
    {102, "Error in function: %s"},
    {103, "Invalid use of null"},
    {104, "User interrupt"},
    {105, "Invalid locale"},
    {106, "Invalid date"},
    {108, "Function '%s' needs the '%s' capability, which the host has not allowed"},
    {109, "Limit reached: %s"},
    {0, nullptr},
};

const char *catalogue_format(int number) {
  for (const CatalogueEntry *c = kCatalogue; c->format; ++c)
    if (c->number == number) return c->format;
  return nullptr;
}

// Copies a formatted text into the message field: at most 255 bytes, never ending inside a
// character, always terminated.
void store_message(exp_engine *e, const char *text, size_t max) {
  size_t n = np_uchar_cut(text, std::min(max, sizeof e->message - 1));
  std::memcpy(e->message, text, n);
  e->message[n] = '\0';
}

}  // namespace

int engine_error(exp_engine *e, int number, ...) {
  if (!e) return number;
  // Formatted with room to spare, so that the cut to the message's 255 bytes sees whole
  // characters (a 256-byte buffer would already end inside a multi-byte character).
  char buf[512];
  const char *format = catalogue_format(number);
  if (format) {
    va_list args;
    va_start(args, number);
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
    std::vsnprintf(buf, sizeof buf, format, args);
#pragma GCC diagnostic pop
    va_end(args);
  } else {
    std::snprintf(buf, sizeof buf, "No description for error #%d", number);
  }
  store_message(e, buf, sizeof e->message - 1);
  e->error = number;
  return number;
}

int engine_error_text(exp_engine *e, int number, const char *text, size_t max) {
  if (!e) return number;
  store_message(e, text ? text : "", max);
  e->error = number;
  return number;
}

int engine_ok(exp_engine *e) {
  if (e) {
    e->error = 0;
    e->message[0] = '\0';
  }
  return 0;
}

extern "C" EXP_API int exp_error_info(exp_engine *e, const char **message, int *line, int *column) {
  if (!e) {
    if (message) *message = "";
    if (line) *line = 0;
    if (column) *column = 0;
    return 0;
  }
  if (message) *message = e->message;
  bool compiled = e->compile_state != nullptr;
  if (line) *line = compiled ? e->err_line : 0;
  if (column) *column = compiled ? e->err_column : 0;
  return e->error;
}

extern "C" EXP_API int exp_raise_error(exp_engine *e, const char *text) {
  char cut[196];
  const char *src = text ? text : "";
  size_t n = np_uchar_cut(src, 195);
  std::memcpy(cut, src, n);
  cut[n] = '\0';
  return engine_error(e, ERR_FUNCTION, cut);
}

extern "C" EXP_API int exp_raise_memory_error(exp_engine *e) { return engine_error(e, ERR_MEMORY); }
