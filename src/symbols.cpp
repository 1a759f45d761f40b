// The symbol table: global symbols of the engine, local symbols of programs, and the collection
// of the names a program text needs.
#include "symbols.h"

#include <algorithm>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string_view>

#include "engine.h"
#include "errors.h"
#include "program.h"
#include "support/uchar.h"
#include "values.h"

exp_sym *sym_create(const char *name, int type, int limit, exp_class *cls, uint32_t flags) {
  if (type == EXP_STRING && limit < 1) return nullptr;
  auto *s = static_cast<exp_sym *>(std::calloc(1, sizeof(exp_sym)));
  if (!s) return nullptr;
  copy_name(s->name, name, EXP_NAME_MAX);
  s->hash = name_hash(s->name);
  if (symval_init(&s->cell, type, limit, flags, cls) != 0) {
    std::free(s);
    return nullptr;
  }
  exp_symval_setnull(&s->cell);
  return s;
}

namespace {

// String buffers up to this size (a limit of about 1,000 characters: every temporary and
// constant of ordinary programs) come from the program's arena with the records; larger ones,
// which few programs have, from the heap.
constexpr size_t kLargestArenaBuffer = 4096;

// symval_init for a record in `arena`: a short string's buffer is carved from the arena too, so
// that a compile makes no heap block per string temporary. False when memory runs out.
bool init_cell_in(RecordArena &arena, exp_symval *c, int type, int limit, uint32_t flags, exp_class *cls) {
  if (type == EXP_STRING && limit >= 1 && limit <= kMaxStringLimit) {
    const size_t size = symval_buffer_size(limit);
    if (size <= kLargestArenaBuffer) {
      auto *buffer = static_cast<char *>(arena.allocate(size, 1));
      if (!buffer) return false;
      symval_init_arena_string(c, limit, flags, buffer);
      return true;
    }
  }
  return symval_init(c, type, limit, flags, cls) == 0;
}

}  // namespace

exp_sym *sym_create_in(RecordArena &arena, const char *name, int type, int limit, exp_class *cls, uint32_t flags) {
  if (type == EXP_STRING && limit < 1) return nullptr;
  // Temporaries and constants (most records) are unnamed: they skip the cut and the hash.
  constexpr uint32_t kUnnamedHash = name_hash_end(kNameHashStart);  // name_hash("")
  const bool named = name && *name;
  char cut[EXP_NAME_MAX + 1];
  size_t name_bytes = 1;
  if (named) {
    copy_name(cut, name, EXP_NAME_MAX);
    name_bytes = std::strlen(cut) + 1;
  }
  void *storage = arena.allocate(offsetof(exp_sym, name) + name_bytes, alignof(exp_sym));
  if (!storage) return nullptr;
  auto *s = static_cast<exp_sym *>(storage);
  s->next = nullptr;
  if (named) {
    std::memcpy(s->name, cut, name_bytes);
    s->hash = name_hash(std::string_view(cut, name_bytes - 1));
  } else {
    s->name[0] = '\0';
    s->hash = kUnnamedHash;
  }
  if (!init_cell_in(arena, &s->cell, type, limit, flags, cls)) return nullptr;
  // A new integer or boolean cell (most temporaries) already holds the null value's payload, 0.
  if (type == EXP_INTEGER || type == EXP_BOOLEAN) symval_set_null_flag(&s->cell);
  else exp_symval_setnull(&s->cell);
  return s;
}

void sym_destroy(exp_sym *s) {
  if (!s) return;
  symval_clear(&s->cell);
  std::free(s);
}

namespace {

// Lists up to this length are walked; longer ones are looked up through their index.
constexpr int kIndexedLength = 8;

// Puts a record with an ASCII name into the name table, which has a free entry.
void table_put(std::vector<SymbolIndex::Entry> &table, const SymbolIndex::Entry &entry) {
  const size_t mask = table.size() - 1;
  size_t at = entry.hash & mask;
  while (table[at].hash != 0) at = (at + 1) & mask;
  table[at] = entry;
}

// Adds one record to a valid index (may throw std::bad_alloc) as the list's record `position`.
void index_add(SymbolIndex &ix, exp_sym *s, int position) {
  ix.by_position.push_back(s);
  if (!s->hash) {
    ix.other_names.push_back(s);
    return;
  }
  // Kept at most half full, so that a probe meets a free entry within a few steps.
  if (2 * (ix.ascii_count + 1) > ix.ascii_names.size()) {
    std::vector<SymbolIndex::Entry> larger(std::max<size_t>(16, 2 * ix.ascii_names.size()));
    for (const SymbolIndex::Entry &entry : ix.ascii_names)
      if (entry.hash) table_put(larger, entry);
    ix.ascii_names.swap(larger);
  }
  table_put(ix.ascii_names, SymbolIndex::Entry{s->hash, position, s});
  ++ix.ascii_count;
}

// Makes the list's index current. False when the list is short or memory runs out: look-ups
// then walk the list.
bool index_ready(const SymbolList &list) {
  SymbolIndex &ix = list.index;
  if (ix.valid) return true;
  if (list.count <= kIndexedLength) return false;
  try {
    ix.by_position.reserve(static_cast<size_t>(list.count));
    int position = 0;
    for (exp_sym *s = list.first; s; s = s->next) index_add(ix, s, position++);
    ix.valid = true;
  } catch (const std::bad_alloc &) {
    ix = SymbolIndex{};
  }
  return ix.valid;
}

// The first record `key` matches, through the index; `found` is false when the index cannot
// answer (a name with characters beyond ASCII). The earliest of the records whose hash and name
// agree is the one the walk of the list would find.
exp_sym *index_find(const SymbolList &list, const name_key &key, bool *found) {
  *found = false;
  if (key.hash() == 0) return nullptr;
  *found = true;
  const SymbolIndex &ix = list.index;
  exp_sym *first = nullptr;
  int first_position = 0;
  const std::vector<SymbolIndex::Entry> &table = ix.ascii_names;
  if (!table.empty()) {
    const size_t mask = table.size() - 1;
    for (size_t at = key.hash() & mask; table[at].hash != 0; at = (at + 1) & mask) {
      const SymbolIndex::Entry &entry = table[at];
      if ((!first || entry.position < first_position) && key.matches(entry.sym->name, entry.hash))
        first = entry.sym, first_position = entry.position;
    }
  }
  if (first) return first;
  for (exp_sym *s : ix.other_names)
    if (key.matches(s->name)) return s;
  return nullptr;
}

}  // namespace

void symlist_append(SymbolList &list, exp_sym *s) {
  ++list.version;
  s->next = nullptr;
  if (list.last) list.last->next = s;
  else list.first = s;
  list.last = s;
  ++list.count;
  if (!list.index.valid) return;
  try {
    index_add(list.index, s, list.count - 1);
  } catch (const std::bad_alloc &) {
    list.index = SymbolIndex{};
  }
}

void symlist_remove(SymbolList &list, exp_sym *s) {
  exp_sym *prev = nullptr;
  for (exp_sym *cur = list.first; cur; prev = cur, cur = cur->next) {
    if (cur != s) continue;
    (prev ? prev->next : list.first) = cur->next;
    if (list.last == cur) list.last = prev;
    --list.count;
    ++list.version;
    list.index = SymbolIndex{};  // rebuilt by the next look-up
    sym_destroy(cur);
    return;
  }
}

void symlist_free(SymbolList &list) {
  uint64_t version = list.version + 1;
  for (exp_sym *s = list.first; s;) {
    exp_sym *next = s->next;
    sym_destroy(s);
    s = next;
  }
  list = SymbolList{};
  list.version = version;
}

void symlist_clear_cells(SymbolList &list) {
  uint64_t version = list.version + 1;
  // Not zeroed after: the records die with their arena, and most cells (numbers) own nothing.
  for (exp_sym *s = list.first; s; s = s->next) symval_release(&s->cell);
  list = SymbolList{};
  list.version = version;
}

exp_sym *symlist_find(const SymbolList &list, const char *name) { return symlist_find(list, name_key(name)); }

exp_sym *symlist_find(const SymbolList &list, const name_key &key) {
  // Short lists (most) are walked without asking for the index.
  if (key.text() && (list.index.valid || list.count > kIndexedLength) && index_ready(list)) {
    bool found = false;
    exp_sym *s = index_find(list, key, &found);
    if (found) return s;
  }
  for (exp_sym *s = list.first; s; s = s->next)
    if (key.matches(s->name, s->hash)) return s;
  return nullptr;
}

exp_sym *symlist_at(const SymbolList &list, int index) {
  if (index < 0 || index >= list.count) return nullptr;
  if (index_ready(list)) return list.index.by_position[static_cast<size_t>(index)];
  exp_sym *s = list.first;
  for (; s && index > 0; --index) s = s->next;
  return s;
}

exp_sym *sym_of_cell(exp_symval *cell) {
  return reinterpret_cast<exp_sym *>(reinterpret_cast<char *>(cell) - offsetof(exp_sym, cell));
}

exp_symval *sym_add_global(exp_engine *e, const char *name, int type, int limit, exp_class *cls,
                           uint32_t flags, exp_pcode *program) {
  exp_sym *s = sym_create(name, type, limit, cls, flags);
  if (!s) return nullptr;
  if (program) {
    auto *node = static_cast<exp_created_global *>(std::calloc(1, sizeof(exp_created_global)));
    if (!node) {
      sym_destroy(s);
      return nullptr;
    }
    node->sym = s;
    if (program->created_globals_tail) program->created_globals_tail->next = node;
    else program->created_globals = node;
    program->created_globals_tail = node;
  }
  symlist_append(e->symbols, s);
  return &s->cell;
}

exp_symval *sym_add_local(exp_pcode *p, const char *name, int type, int limit, exp_class *cls,
                          uint32_t flags) {
  exp_sym *s = sym_create_in(p->records, name, type, limit, cls, flags);
  if (!s) return nullptr;
  symlist_append(p->locals, s);
  return &s->cell;
}

int sym_exists(exp_engine *e, const char *name) { return symlist_find(e->symbols, name) != nullptr; }

exp_sym *sym_find_local(exp_pcode *p, const char *name) { return symlist_find(p->locals, name); }

exp_sym *sym_find_global(exp_engine *e, const char *name) { return sym_find_global(e, name_key(name)); }

exp_sym *sym_find_global(exp_engine *e, const name_key &key) {
  if (exp_sym *s = symlist_find(e->symbols, key)) return s;
  const char *name = key.text();
  if (!e->req_placeholder) return nullptr;
  for (const std::string &n : e->req_symbols)
    if (np_uchar_icomp(n.c_str(), name) == 0) return e->req_placeholder.get();
  // Only the compiler collects names; a failed allocation here reaches its entry point as
  // std::bad_alloc and becomes error 1 (returning none would read as "symbol not found").
  e->req_symbols.emplace_back(name);
  return e->req_placeholder.get();
}

void sym_remove_global(exp_engine *e, exp_sym *s) { symlist_remove(e->symbols, s); }

// ---- exported ----------------------------------------------------------------------------------

extern "C" EXP_API int exp_add_symbol(exp_engine *e, const char *name, int type, int limit,
                                      int options, exp_symval **out) {
  if (!engine_is_live(e)) return ERR_INVALID_INPUT;
  if (!name || !*name) return engine_error(e, ERR_INVALID_INPUT, "missing symbol name");
  // A code outside the seven types would bind a cell no program can read or assign.
  if (type < EXP_BOOLEAN || type > EXP_OBJECT) return engine_error(e, ERR_INVALID_INPUT, "unknown type code");
  if (type == EXP_STRING && limit < 1) return engine_error(e, ERR_ZERO_LENGTH);
  if (type == EXP_STRING && limit > kMaxStringLimit) return engine_error(e, ERR_INVALID_INPUT, "string limit too large");
  if (sym_exists(e, name)) return engine_error(e, ERR_DUPLICATE_SYMBOL, name);
  if (int rc = limit_check(e, EXP_LIMIT_SYMBOLS, int64_t{e->symbols.count} + 1)) return rc;
  uint32_t flags = EXP_STATIC | EXP_HOSTSYM;
  if (options & EXP_SYM_READONLY) flags |= EXP_READONLY;
  if (options & EXP_SYM_BYTES) flags |= EXP_BYTES;
  exp_symval *cell = sym_add_global(e, name, type, limit, nullptr, flags, nullptr);
  if (!cell) return engine_error(e, ERR_MEMORY);
  if (out) *out = cell;
  return engine_ok(e);
}

extern "C" EXP_API void exp_reset_symbols(exp_engine *e) {
  if (!e) return;
  for (exp_sym *s = e->symbols.first; s; s = s->next) exp_symval_setnull(&s->cell);
}

extern "C" EXP_API int exp_symbol_count(const exp_engine *e) { return e ? e->symbols.count : 0; }

// The record at `index` of the global list, or none.
static exp_sym *symbol_at(exp_engine *e, int index) { return symlist_at(e->symbols, index); }

extern "C" EXP_API int exp_symbol_get(exp_engine *e, int index, exp_symval **out) {
  if (!engine_is_live(e)) return ERR_INVALID_INPUT;
  exp_sym *s = symbol_at(e, index);
  if (!s) return ENGINE_INTERNAL_ERROR(e, "exp_symbol");
  if (out) *out = &s->cell;
  return engine_ok(e);
}

extern "C" EXP_API int exp_symbol_name_get(exp_engine *e, int index, const char **out) {
  if (!engine_is_live(e)) return ERR_INVALID_INPUT;
  exp_sym *s = symbol_at(e, index);
  if (!s) return ENGINE_INTERNAL_ERROR(e, "exp_symbol");
  if (out) *out = s->name;
  return engine_ok(e);
}

extern "C" EXP_API exp_symval *exp_symbol_get_by_name(const exp_engine *e, const char *name) {
  if (!e || !name) return nullptr;
  exp_sym *s = symlist_find(e->symbols, name);
  return s ? &s->cell : nullptr;
}

extern "C" EXP_API int exp_erase_symbols(exp_engine *e) {
  if (!engine_is_live(e)) return ERR_INVALID_INPUT;
  if (e->live_programs != 0) return engine_error(e, ERR_ACTIVE_HANDLES);
  symlist_free(e->symbols);
  return engine_ok(e);
}
