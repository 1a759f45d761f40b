// Value cells: initialisation, release, and the internal writers behind the exported setters.
#pragma once

#include <cstddef>
#include <cstdint>

#include "expression.h"
#include "support/decimal.h"

// The largest string limit a cell may have: its buffer of 4 bytes per character and a terminator
// must stay within what the character layer and the engine count in 32-bit ints.
inline constexpr int64_t kMaxStringLimit = EXP_MAX_STRING;
static_assert(kMaxStringLimit * 4 + 1 <= INT32_MAX && (kMaxStringLimit + 1) * 4 + 1 > INT32_MAX);

// Options of symval_resize.
enum : int { RESIZE_KEEP = 1, RESIZE_BYTES = 2 };

// Zeroes the cell and gives it a type, limit, flags and class. A string of limit n >= 1 gets
// a buffer of 4n + 1 bytes holding "". Returns 0, or 1 when the buffer cannot be allocated.
int symval_init(exp_symval *c, int type, int limit, uint32_t flags, exp_class *cls);
// Bytes of the buffer of a string cell of `limit` characters, its terminator included.
size_t symval_buffer_size(int64_t limit);
// Like symval_init for a string of `limit` characters (1 to the largest limit), with `buffer`
// (symval_buffer_size(limit) bytes from the program's record arena, zeroed here) as its buffer.
void symval_init_arena_string(exp_symval *c, int limit, uint32_t flags, char *buffer);
// Releases what the cell owns (a heap string buffer, its reference to an object) and leaves the
// cell's fields as they are: for cells about to die with the records that hold them.
void symval_release(exp_symval *c);
// Releases what the cell owns and zeroes it, type included.
void symval_clear(exp_symval *c);
// Changes type, limit and flags. Object cells are refused (1). A string that shrinks keeps its
// buffer and its text cut to the new size; otherwise the cell is initialised anew.
int symval_retype(exp_symval *c, int type, int limit, uint32_t flags);
// Changes a string cell's limit (n characters, or n bytes under RESIZE_BYTES). Returns 0 or 1.
int symval_resize(exp_symval *c, int64_t n, int options);
// The largest text in bytes that a string cell's buffer takes (4 x limit), else 0.
size_t symval_buffer_bytes(const exp_symval *c);
// The most bytes of text a string cell holds: its limit for a cell flagged EXP_BYTES, else its
// buffer's 4 bytes per character (0 for other cells). Every writer of text cuts to it, on a
// character boundary, so a host sizing buffers by the limit never meets a longer text.
size_t symval_text_room(const exp_symval *c);
// symval_text_room of a cell known to be a string cell.
inline size_t string_text_room(const exp_symval *c) {
  return (c->flags & EXP_BYTES) ? c->len : static_cast<size_t>(c->len) * 4;
}
// Stores at most min(n, the cell's text room) bytes of text, cut on a character boundary, and a
// terminator; not a string: null.
void symval_set_bytes(exp_symval *c, const char *text, size_t n);
// Drops the cell's reference to its object instance, destroying it with the last reference.
void symval_release_object(exp_symval *c);

// Internal flag of a string cell whose buffer holds a raw field written byte by byte (the
// mainframe formats, the file class's readbytes): bytes past its first zero byte belong to it.
inline constexpr uint32_t SYMVAL_RAW = 0x8000;
// Internal flag of a program's string cell whose whole buffer is charged to its engine's memory:
// growth of the cell is charged too, and freeing the program gives back what the cell holds then.
inline constexpr uint32_t SYMVAL_CHARGED = 0x4000;
// Internal flag of a program's charged string cell that growth at run time moved to a larger heap
// buffer: the end of the run gives the growth back (pcode_give_back).
inline constexpr uint32_t SYMVAL_WIDENED = 0x10000;
// Internal flag of a string cell whose buffer lies in its program's record arena (temporaries
// and constants made while compiling): it dies with the program's records and is never freed by
// itself. A cell that grows past it takes a heap buffer and drops the flag.
inline constexpr uint32_t SYMVAL_ARENA = 0x2000;
// True when a reader of raw fields takes every byte of the buffer as the value's: raw fields, and
// host-bound cells (hosts write raw records straight into the buffer). Any other string's value
// ends at its terminator, and a reader sees zero bytes past it.
inline bool symval_raw_bytes(const exp_symval *c) { return (c->flags & (SYMVAL_RAW | EXP_HOSTSYM)) != 0; }
// Prepares a string cell for a raw field: a cell that did not hold one is zeroed whole first, so
// no byte of an earlier value stays behind the field.
void symval_mark_raw(exp_symval *c);
// Zeroes the buffer of a cell whose bytes are read raw past its text (the setters call it after
// storing text): a shorter value never leaves part of an earlier, longer one readable. The cell
// then holds text again.
void symval_clear_stale(exp_symval *c);

inline int symval_type(const exp_symval *c) { return static_cast<int>(c->flags & EXP_TYPE_MASK); }
inline bool symval_is_null(const exp_symval *c) { return (c->flags & EXP_NULL) != 0; }
inline void symval_set_null_flag(exp_symval *c) { c->flags |= EXP_NULL; }
inline void symval_clear_null_flag(exp_symval *c) { c->flags &= ~uint32_t{EXP_NULL}; }
// Records whether the store just made into a string cell cut its text (EXP_CUT): the flag
// describes the value the cell holds now.
inline void symval_note_cut(exp_symval *c, bool cut) {
  if (cut) c->flags |= EXP_CUT;
  else c->flags &= ~uint32_t{EXP_CUT};
}

// The decimal payload of a real or date cell, in the core's own type.
inline decimal192 *symval_dec(exp_symval *c) { return reinterpret_cast<decimal192 *>(&c->value.d); }
inline const decimal192 *symval_dec(const exp_symval *c) {
  return reinterpret_cast<const decimal192 *>(&c->value.d);
}

// exp_symval_setnull with the commonest cells, booleans, integers and decimals, done inline: the
// run loop and the per-run resets call it for every result and declared cell.
inline void symval_setnull(exp_symval *c) {
  int t = symval_type(c);
  if (t == EXP_INTEGER || t == EXP_BOOLEAN) {
    c->value.i = 0;
    symval_set_null_flag(c);
  } else if (t == EXP_REAL || t == EXP_DATE) {
    decSextNaN(symval_dec(c));
    symval_set_null_flag(c);
  } else {
    exp_symval_setnull(c);
  }
}

// Type names as exp_type_name gives them, "unknown" for other codes.
const char *type_name(int type);
