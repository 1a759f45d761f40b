// Named value cells: the engine's global symbol list and programs' local lists.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "expression.h"
#include "names.h"
#include "record_arena.h"

// The name comes last: a program's records are allocated with room for their own name only
// (sym_create_in), and most of them (temporaries, constants) have an empty one.
struct exp_sym {
  exp_symval cell;              // owned by the record
  exp_sym *next;
  uint32_t hash;                // name_hash of the name, so look-ups pass over other names unread
  char name[EXP_NAME_MAX + 1];  // cut to 64 bytes when stored
};

// Position and name look-ups of a long symbol list in constant time. Built on the first look-up
// of a list longer than a few records, kept up to date by appends and dropped by removals (rare).
// Names are keyed by their name_hash (with their position, as hashes may collide); names with
// characters beyond ASCII (hash 0, whose folding may meet an ASCII name) are kept apart and
// compared one by one.
struct SymbolIndex {
  // One entry of the open-addressed name table; hash 0 marks a free entry (ASCII names never
  // hash to 0).
  struct Entry {
    uint32_t hash = 0;
    int32_t position = 0;
    exp_sym *sym = nullptr;
  };
  bool valid = false;
  std::vector<exp_sym *> by_position;
  std::vector<Entry> ascii_names;  // a power of two long, at most half full; probed linearly
  size_t ascii_count = 0;
  std::vector<exp_sym *> other_names;
};

// A singly linked list appended at the tail; index order is order of creation.
struct SymbolList {
  exp_sym *first = nullptr;
  exp_sym *last = nullptr;
  int count = 0;
  uint64_t version = 0;  // changes whenever a record is added or removed
  mutable SymbolIndex index;
};

// A new record with the cell initialised (type, limit, flags, class) and set null, or none
// when memory runs out. String types with a limit below 1 are refused (none).
exp_sym *sym_create(const char *name, int type, int limit, exp_class *cls, uint32_t flags);
// Clears the cell and frees the record.
void sym_destroy(exp_sym *s);
// Like sym_create, with the record in `arena` and only as long as its name needs. Such records
// are never destroyed one by one: their cells are cleared (symlist_clear_cells) and the arena
// released.
exp_sym *sym_create_in(RecordArena &arena, const char *name, int type, int limit, exp_class *cls, uint32_t flags);
// Frees what the cell of every record owns and empties the list, leaving the records to their
// arena, which must be released next: the cells are not reset and hold freed pointers.
void symlist_clear_cells(SymbolList &list);
void symlist_append(SymbolList &list, exp_sym *s);
// Unlinks and destroys `s` when it is in the list; does nothing otherwise.
void symlist_remove(SymbolList &list, exp_sym *s);
// Destroys every record; the list becomes empty.
void symlist_free(SymbolList &list);
exp_sym *symlist_find(const SymbolList &list, const char *name);
// The first record of the list that `key` matches, or none.
exp_sym *symlist_find(const SymbolList &list, const name_key &key);
// The record at `index` (order of creation), or none.
exp_sym *symlist_at(const SymbolList &list, int index);

// Creates a global symbol at the end of the engine's list and returns its cell, or none.
// `program`, when given, records the symbol as one that program created (freed with it).
exp_symval *sym_add_global(exp_engine *e, const char *name, int type, int limit, exp_class *cls,
                           uint32_t flags, exp_pcode *program);
exp_symval *sym_add_local(exp_pcode *p, const char *name, int type, int limit, exp_class *cls,
                          uint32_t flags);
int sym_exists(exp_engine *e, const char *name);
exp_sym *sym_find_local(exp_pcode *p, const char *name);
// The compiler's lookup of globals. While names are being collected, an unknown name is added
// to the engine's required list and the placeholder symbol is returned.
exp_sym *sym_find_global(exp_engine *e, const char *name);
exp_sym *sym_find_global(exp_engine *e, const name_key &key);
void sym_remove_global(exp_engine *e, exp_sym *s);
// The record of the cell of a symbol (cells live inside their records).
exp_sym *sym_of_cell(exp_symval *cell);
