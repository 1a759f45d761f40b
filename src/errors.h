// Error reporting: every failure stores a number and a message in the engine and returns the number.
#pragma once

#include "expression.h"

// Error numbers, named for their use.
enum : int {
  ERR_MEMORY = 1, ERR_INTERNAL = 2, ERR_INVALID_INPUT = 3, ERR_FUNC_REGISTERED = 4,
  ERR_RETURN_TYPE = 5, ERR_PARAM_TYPE = 6, ERR_ZERO_LENGTH = 7, ERR_ACTIVE_HANDLES = 8,
  ERR_CLASS_REGISTERED = 9, ERR_INCOMPLETE = 10, ERR_COMMENT = 11,
  ERR_DECLARATION = 30, ERR_DUPLICATE_SYMBOL = 31, ERR_COMPILE = 32, ERR_PARENTHESIS = 33,
  ERR_SYMBOL_NOT_FOUND = 34, ERR_FUNC_NOT_FOUND = 35, ERR_MISSING_COMMA = 36,
  ERR_PARAM_MISMATCH = 37, ERR_PARAM_COUNT = 38, ERR_DUPLICATE_LABEL = 39,
  ERR_LABEL_NOT_FOUND = 40, ERR_IDENT_TOO_LONG = 41, ERR_READ_ONLY = 42, ERR_NOT_SYMBOL = 43,
  ERR_NO_METHOD = 44, ERR_NOT_OBJECT = 45, ERR_BEGIN_NO_END = 46, ERR_END_NO_BEGIN = 47,
  ERR_MISSING_STATEMENT = 48, ERR_EXPECTED_STATEMENT = 49, ERR_UNEXPECTED_VALUE = 50,
  ERR_UNKNOWN_FUNCTION = 51, ERR_INVALID_COMPARISON = 52, ERR_CAPABILITY = 53,
  ERR_INVALID_INSTRUCTION = 100, ERR_DIVIDE_BY_ZERO = 101, ERR_FUNCTION = 102,
  ERR_NULL_USE = 103, ERR_INTERRUPT = 104, ERR_LOCALE = 105, ERR_DATE = 106, ERR_USER = 107,
  ERR_CAPABILITY_RUN = 108, ERR_LIMIT = 109,
  ERR_FOREIGN_HANDLE = 111, ERR_INVALID_UTF8 = 112, ERR_TEXT_CUT = 113, ERR_UNKNOWN_OPTION = 114,
  ERR_NOT_A_NUMBER = 115, ERR_NOT_CONVERTIBLE = 116, ERR_STRING_LIMIT_RANGE = 117,
};

// Stores the catalogue message of `number`, formatted with the arguments, and returns `number`.
int engine_error(exp_engine *e, int number, ...);
// Reports error 2 naming the reporting source file and line.
#define ENGINE_INTERNAL_ERROR(e, file) engine_error((e), ERR_INTERNAL, "..\\..\\src\\" file, __LINE__)
// Gives the stored error a position in the program text (exp_error_info reports it); every
// other report leaves the position at 0, so a position always belongs to its error.
void engine_error_position(exp_engine *e, int line, int column);
// Gives the stored error the position at which the last run of `p` failed, when known.
void engine_error_at_run_position(exp_engine *e, exp_pcode *p);
// Clears the error state and returns 0.
int engine_ok(exp_engine *e);
// Stores `text` as the message of `number` directly (cut to `max` bytes on a character boundary).
int engine_error_text(exp_engine *e, int number, const char *text, size_t max);
