// Helpers the built-in families share for reading their argument cells and filling their result
// cells: texts and flags of arguments, result setters that end a callback, growing a string
// result, the object of a method call and the program making the call.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string_view>

#include "convert.h"
#include "engine.h"
#include "errors.h"
#include "expression.h"
#include "registry.h"
#include "resource_limits.h"
#include "symbols.h"
#include "values.h"

namespace builtin_cells {

// ---- arguments -----------------------------------------------------------------------------------

// The text of a string cell; a cell of another type, or one without a buffer, reads as "".
inline const char *text_of(const exp_symval *c) {
  return symval_type(c) == EXP_STRING && c->value.s ? c->value.s : "";
}

// A boolean argument: `fallback` when argument `i` is absent or null, else its value.
inline bool flag_arg(int argc, exp_symval **argv, int i, bool fallback) {
  if (argc <= i || symval_is_null(argv[i])) return fallback;
  return argv[i]->value.i != 0;
}

// 0 when a built-in may write into argument cell `c`; error 42 naming the symbol when the host
// bound it read-only: the mark holds for built-ins that write into their arguments as it does for
// assignment. Only host symbols carry the mark, and their cells live in symbol records.
inline int check_writable(exp_engine *e, exp_symval *c) {
  if (!(c->flags & EXP_READONLY)) return 0;
  return engine_error(e, ERR_READ_ONLY, sym_of_cell(c)->name);
}

// ---- results -------------------------------------------------------------------------------------

// Each setter stores its value and returns 0, so a callback can end with `return set_...(...)`.
inline int set_null(exp_symval *result) {
  exp_symval_setnull(result);
  return 0;
}

// An integer or boolean result (any other result cell becomes null).
inline int set_int(exp_symval *result, int64_t v) {
  exp_symval_setint(result, v);
  return 0;
}

inline int set_bool(exp_symval *result, bool v) { return set_int(result, v ? 1 : 0); }

// Makes a string result cell able to hold `chars` characters in `bytes` bytes, growing it
// (content not kept) when either exceeds its room. Returns 0, or error 1 when the cell has no
// buffer or cannot grow.
inline int reserve(exp_engine *e, exp_symval *result, int64_t chars, size_t bytes) {
  if (!result->value.s) return engine_error(e, ERR_MEMORY);
  int64_t need = chars;
  auto by_bytes = static_cast<int64_t>((bytes + 3) / 4);
  if (by_bytes > need) need = by_bytes;
  if (need <= static_cast<int64_t>(result->len)) return 0;
  return limit_resize_string(e, result, need, 0);
}

// Stores `bytes` bytes of `text` as the string result, growing the cell first when needed;
// `chars` is the text's character count or an upper bound of it. The text may not live in the
// result's own buffer. A text past the engine's STRING limit is error 109.
inline int store(exp_engine *e, exp_symval *result, const char *text, size_t bytes, int64_t chars) {
  if (int rc = limit_check_text(e, std::string_view(text, bytes))) return rc;
  if (int rc = reserve(e, result, chars, bytes)) return rc;
  std::memcpy(result->value.s, text, bytes);
  result->value.s[bytes] = '\0';
  symval_clear_null_flag(result);
  symval_note_cut(result, false);  // the cell grew to hold the whole text
  return 0;
}

// ---- the object of a method call -----------------------------------------------------------------

// True when `cell` is an object cell of the class named `class_name`. Methods are also callable
// by their function names, so the class is checked before the instance data is trusted.
inline bool is_object_of(const exp_symval *cell, const char *class_name) {
  return cell && symval_type(cell) == EXP_OBJECT && cell->cls && std::strcmp(cell->cls->name, class_name) == 0;
}

// The instance data a non-null object cell holds, or none.
template <typename T>
T *instance_of(const exp_symval *cell) {
  if (symval_is_null(cell) || !cell->value.o) return nullptr;
  return static_cast<T *>(cell->value.o->data);
}

// The function error for a method called on something that is not an object of `class_name`.
inline int wrong_object(exp_engine *e, const char *class_name) {
  char text[EXP_NAME_MAX + 32];
  std::snprintf(text, sizeof text, "Invalid object: %s expected", class_name);
  return exp_raise_error(e, text);
}

// ---- the caller ----------------------------------------------------------------------------------

// The program making the call, from the self cell the executor passes after the arguments; none
// when that cell is missing, null or not a pointer.
inline exp_pcode *calling_program(const exp_symval *self) {
  if (!self || symval_type(self) != EXP_POINTER || symval_is_null(self)) return nullptr;
  return static_cast<exp_pcode *>(self->value.p);
}

}  // namespace builtin_cells
