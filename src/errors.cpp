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
    {111, "%s belongs to another engine"},
    {112, "Text is not valid UTF-8"},
    {113, "Text cut to the cell's limit"},
    {114, "Unknown option '%s'"},
    {115, "Text is not a number"},
    {116, "Text does not convert to the cell's type"},
    {117, "String limit out of range (1 to 536870911)"},
    {0, nullptr},
};

// Texts exp_errstr gives for numbers that are not formatted through the catalogue.
constexpr CatalogueEntry kPlainTexts[] = {
    {0, "No error"},
    {107, "User defined error was raised"},
};
constexpr const char *kNoDescription = "Unknown error";

// The public names of the numbers are the ones used inside the library.
static_assert(EXP_E_NOMEM == ERR_MEMORY && EXP_E_INTERNAL == ERR_INTERNAL && EXP_E_INVALID_INPUT == ERR_INVALID_INPUT &&
              EXP_E_FUNCTION_EXISTS == ERR_FUNC_REGISTERED && EXP_E_RETURN_TYPE == ERR_RETURN_TYPE &&
              EXP_E_PARAM_TYPE == ERR_PARAM_TYPE && EXP_E_ZERO_LENGTH == ERR_ZERO_LENGTH &&
              EXP_E_ACTIVE_HANDLES == ERR_ACTIVE_HANDLES && EXP_E_CLASS_EXISTS == ERR_CLASS_REGISTERED &&
              EXP_E_INCOMPLETE == ERR_INCOMPLETE && EXP_E_COMMENT == ERR_COMMENT);
static_assert(EXP_E_DECLARATION == ERR_DECLARATION && EXP_E_DUPLICATE_SYMBOL == ERR_DUPLICATE_SYMBOL &&
              EXP_E_COMPILE == ERR_COMPILE && EXP_E_PARENTHESIS == ERR_PARENTHESIS &&
              EXP_E_SYMBOL_NOT_FOUND == ERR_SYMBOL_NOT_FOUND && EXP_E_FUNCTION_NOT_FOUND == ERR_FUNC_NOT_FOUND &&
              EXP_E_MISSING_COMMA == ERR_MISSING_COMMA && EXP_E_PARAM_MISMATCH == ERR_PARAM_MISMATCH &&
              EXP_E_PARAM_COUNT == ERR_PARAM_COUNT && EXP_E_DUPLICATE_LABEL == ERR_DUPLICATE_LABEL &&
              EXP_E_LABEL_NOT_FOUND == ERR_LABEL_NOT_FOUND && EXP_E_IDENT_TOO_LONG == ERR_IDENT_TOO_LONG &&
              EXP_E_READONLY == ERR_READ_ONLY && EXP_E_NOT_SYMBOL == ERR_NOT_SYMBOL && EXP_E_NO_METHOD == ERR_NO_METHOD &&
              EXP_E_NOT_OBJECT == ERR_NOT_OBJECT && EXP_E_BEGIN_NO_END == ERR_BEGIN_NO_END &&
              EXP_E_END_NO_BEGIN == ERR_END_NO_BEGIN && EXP_E_MISSING_STATEMENT == ERR_MISSING_STATEMENT &&
              EXP_E_EXPECTED_STATEMENT == ERR_EXPECTED_STATEMENT && EXP_E_UNEXPECTED_VALUE == ERR_UNEXPECTED_VALUE &&
              EXP_E_UNKNOWN_FUNCTION == ERR_UNKNOWN_FUNCTION && EXP_E_INVALID_COMPARISON == ERR_INVALID_COMPARISON);
static_assert(EXP_E_INVALID_INSTRUCTION == ERR_INVALID_INSTRUCTION && EXP_E_DIVIDE_BY_ZERO == ERR_DIVIDE_BY_ZERO &&
              EXP_E_FUNCTION == ERR_FUNCTION && EXP_E_NULL_USE == ERR_NULL_USE && EXP_E_INTERRUPT == ERR_INTERRUPT &&
              EXP_E_LOCALE == ERR_LOCALE && EXP_E_DATE == ERR_DATE && EXP_E_USER == ERR_USER &&
              EXP_E_FOREIGN_HANDLE == ERR_FOREIGN_HANDLE && EXP_E_INVALID_UTF8 == ERR_INVALID_UTF8 &&
              EXP_E_TEXT_CUT == ERR_TEXT_CUT && EXP_E_UNKNOWN_OPTION == ERR_UNKNOWN_OPTION &&
              EXP_E_NOT_A_NUMBER == ERR_NOT_A_NUMBER && EXP_E_NOT_CONVERTIBLE == ERR_NOT_CONVERTIBLE &&
              EXP_E_STRING_LIMIT_RANGE == ERR_STRING_LIMIT_RANGE);

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
  e->error_line = e->error_column = 0;
  return number;
}

int engine_error_text(exp_engine *e, int number, const char *text, size_t max) {
  if (!e) return number;
  store_message(e, text ? text : "", max);
  e->error = number;
  e->error_line = e->error_column = 0;
  return number;
}

int engine_ok(exp_engine *e) { return e ? engine_clear_error(e) : 0; }

void engine_error_position(exp_engine *e, int line, int column) {
  if (!e) return;
  e->error_line = line;
  e->error_column = column;
}

void engine_error_at_run_position(exp_engine *e, exp_pcode *p) {
  int line = 0, column = 0;
  exp_run_position(p, &line, &column);
  engine_error_position(e, line, column);
}

extern "C" EXP_API int exp_error_info(const exp_engine *e, const char **message, int *line, int *column) {
  if (!e) {
    if (message) *message = "";
    if (line) *line = 0;
    if (column) *column = 0;
    return 0;
  }
  if (message) *message = e->message;
  if (line) *line = e->error_line;
  if (column) *column = e->error_column;
  return e->error;
}

extern "C" EXP_API const char *exp_errstr(int code) {
  if (const char *format = catalogue_format(code)) return format;
  for (const CatalogueEntry &t : kPlainTexts)
    if (t.number == code) return t.format;
  return kNoDescription;
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
