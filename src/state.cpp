// Per-key state: blocks that hold the values of a program's static cells outside the program, so
// that a host can keep one state per key (group, customer, partition) and switch the program
// between them. save and restore copy; swap exchanges values without copying, which makes a
// switch cost a few words per cell.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "builtins/builtins.h"
#include "engine.h"
#include "errors.h"
#include "program.h"
#include "resource_limits.h"
#include "values.h"

namespace {

constexpr uint32_t kStateMagic = 0x53544154;  // a live block; cleared when it is freed

// Flags of a value that travel with it between a cell and a block.
constexpr uint32_t kValueFlags = EXP_NULL | SYMVAL_RAW;

// The value of one static cell, held outside the program.
struct StateEntry {
  uint32_t flags = 0;                   // the cell's type, and the kValueFlags of the value held
  uint32_t len = 0;                     // a string cell's limit, which the text fits
  exp_class *cls = nullptr;             // an object cell's class
  exp_destructor_cb destroy = nullptr;  // its destructor, kept so a block may outlive its engine
  decltype(exp_symval::value) value{};  // scalars and object references
  char *text = nullptr;                 // a string's bytes and a terminator, in `capacity` bytes
  uint32_t bytes = 0, capacity = 0;
};

int type_of(const StateEntry &s) { return static_cast<int>(s.flags & EXP_TYPE_MASK); }

// The bytes of a string cell's value: the whole buffer for a raw field, else up to the terminator.
uint32_t string_bytes(const exp_symval *c) {
  if (symval_is_null(c) || !c->value.s) return 0;
  return static_cast<uint32_t>((c->flags & SYMVAL_RAW) ? symval_buffer_bytes(c) : std::strlen(c->value.s));
}

// A cell of the program's state: declared static, and not a host symbol.
bool is_state_cell(const exp_symval *c) { return (c->flags & (EXP_STATIC | EXP_HOSTSYM)) == EXP_STATIC; }

// Appends the static cells of `p` and, once each, of the user-defined functions it calls.
void list_cells(exp_pcode *p, std::vector<exp_symval *> &cells, std::vector<const exp_pcode *> &seen) {
  if (std::find(seen.begin(), seen.end(), p) != seen.end()) return;
  seen.push_back(p);
  for (exp_sym *s = p->locals.first; s; s = s->next)
    if ((s->cell.flags & EXP_LOCAL) && is_state_cell(&s->cell)) cells.push_back(&s->cell);
  for (const exp_created_global *g = p->created_globals; g; g = g->next)
    if (is_state_cell(&g->sym->cell)) cells.push_back(&g->sym->cell);
  for (int32_t i = 0; i < p->count; ++i)
    if (p->code[i].kind == EXP_UDF_CALL && p->code[i].b.program) list_cells(p->code[i].b.program, cells, seen);
}

// A digest of what a block must match to be used with a program: its cells' count, types, string
// limits and classes (FNV-1a over them).
uint64_t layout_of(const std::vector<exp_symval *> &cells) {
  uint64_t h = 0xcbf29ce484222325ull ^ cells.size();
  auto mix = [&h](uint64_t v) { h = (h ^ v) * 0x100000001b3ull; };
  for (const exp_symval *c : cells) {
    mix(static_cast<uint64_t>(symval_type(c)));
    mix(symval_type(c) == EXP_STRING ? c->len : 0);
    mix(symval_type(c) == EXP_OBJECT ? reinterpret_cast<uintptr_t>(c->cls) : 0);
  }
  return h;
}

// The program's state cells, listed on first use.
const std::vector<exp_symval *> &state_cells(exp_pcode *p) {
  if (!p->state_cells_listed) {
    std::vector<const exp_pcode *> seen;
    p->state_cells.clear();
    list_cells(p, p->state_cells, seen);
    p->state_layout = layout_of(p->state_cells);
    p->state_cells_listed = true;
  }
  return p->state_cells;
}

}  // namespace

struct exp_state {
  uint32_t magic = kStateMagic;
  bool has_text = false;               // some entries are strings
  bool has_objects = false;            // some entries are objects
  const exp_pcode *program = nullptr;  // the program whose cells the entries follow
  uint64_t layout = 0;                 // its state_layout when the block was saved
  MemoryBudgetRef budget;              // the account of the engine that charged the block
  int64_t charged = 0;                 // bytes charged for the block, its entries and texts
  std::vector<StateEntry> entries;
};

namespace {

// Charges `bytes` more to the block's engine. 0 or error 109.
int charge(exp_engine *e, exp_state *s, int64_t bytes) {
  if (int rc = limit_charge(e, bytes)) return rc;
  s->charged += bytes;
  return 0;
}

// Makes room for `need` bytes and a terminator in a string entry. 0, or error 1 or 109.
int reserve_text(exp_engine *e, exp_state *s, StateEntry &en, uint32_t need) {
  if (en.capacity > need) return 0;
  uint32_t capacity = std::max<uint32_t>(need + 1, 16);
  if (int rc = charge(e, s, int64_t{capacity} - en.capacity)) return rc;
  auto *text = static_cast<char *>(std::realloc(en.text, capacity));
  if (!text) {
    limit_release(*s->budget, int64_t{capacity} - en.capacity);
    s->charged -= int64_t{capacity} - en.capacity;
    return exp_raise_memory_error(e);
  }
  en.text = text;
  en.capacity = capacity;
  return 0;
}

// Drops an entry's reference to its object instance, destroying it with the last reference.
void release_object(StateEntry &en) {
  exp_object *o = en.value.o;
  en.value.o = nullptr;
  if (!o || o->refcount == 0 || --o->refcount > 0) return;
  if (en.destroy) en.destroy(o->data);
  std::free(o);
}

// A program cell holding an entry's object (or null), to hand it to the cell helpers.
exp_symval object_view(const StateEntry &en) {
  exp_symval c{};
  c.flags = EXP_OBJECT | (en.value.o ? 0 : EXP_NULL);
  c.cls = en.cls;
  c.value.o = en.value.o;
  return c;
}

// A copy of an object for a block or a program: a new array for the array classes, the same
// instance (one more reference) for every other class, which cannot be duplicated. The copy is
// left in *out (an object cell of the class). 0, or error 1 or 109.
int copy_object(exp_engine *e, const exp_symval &from, exp_symval *out) {
  *out = exp_symval{};
  out->flags = EXP_OBJECT | EXP_NULL;
  out->cls = from.cls;
  if (symval_is_null(&from) || !from.value.o) return 0;
  if (array_cell(&from)) return array_copy(e, &from, out);
  ++from.value.o->refcount;
  out->value.o = from.value.o;
  out->flags &= ~uint32_t{EXP_NULL};
  return 0;
}

// Copies the value of program cell `c` into a new entry. 0 or an error (the entry then holds
// nothing that needs freeing).
int capture(exp_engine *e, exp_state *s, const exp_symval *c, StateEntry &en) {
  en.flags = (c->flags & EXP_TYPE_MASK) | (c->flags & kValueFlags);
  switch (symval_type(c)) {
    case EXP_STRING: {
      en.len = c->len;
      uint32_t n = string_bytes(c);
      if (int rc = reserve_text(e, s, en, n)) return rc;
      if (n) std::memcpy(en.text, c->value.s, n);
      en.text[n] = '\0';
      en.bytes = n;
      return 0;
    }
    case EXP_OBJECT: {
      en.cls = c->cls;
      en.destroy = c->cls ? c->cls->destructor : nullptr;
      exp_symval copy;
      if (int rc = copy_object(e, *c, &copy)) return rc;
      en.value.o = copy.value.o;
      en.flags = EXP_OBJECT | (copy.value.o ? 0 : EXP_NULL);
      return 0;
    }
    default: en.value = c->value; return 0;
  }
}

// Writes a string entry's value into its cell (whose limit the entry was taken from).
void put_text(const StateEntry &en, exp_symval *c) {
  if (en.flags & EXP_NULL) {
    exp_symval_setnull(c);
    return;
  }
  if (en.flags & SYMVAL_RAW) {
    symval_mark_raw(c);
    std::memcpy(c->value.s, en.text, en.bytes);
  } else {
    std::memcpy(c->value.s, en.text, en.bytes);
    c->value.s[en.bytes] = '\0';
    symval_clear_stale(c);
  }
  c->flags = (c->flags & ~kValueFlags) | (en.flags & kValueFlags);
}

void free_entries(exp_state *s) {
  for (StateEntry &en : s->entries) {
    if (type_of(en) == EXP_OBJECT) release_object(en);
    std::free(en.text);
    en.text = nullptr;
  }
}

// 0 when block `s` may be used with program `p` of engine `e`, else the error reported in `e`.
int check(exp_engine *e, exp_pcode *p, const exp_state *s) {
  if (!engine_is_live(e)) return ERR_INVALID_INPUT;
  if (!p || !s) return engine_error(e, ERR_INVALID_INPUT, "no program or no state");
  if (int rc = pcode_refuse_foreign(e, p)) return rc;
  if (s->magic != kStateMagic) return engine_error(e, ERR_INVALID_INPUT, "the state was freed");
  if (p->running) return engine_error(e, ERR_INVALID_INPUT, "the program is running");
  // The layout digest also catches a block of a freed program whose memory a new one took.
  state_cells(p);
  if (s->program == p && s->layout == p->state_layout) return 0;
  return engine_error(e, ERR_INVALID_INPUT, "the state was saved from another program");
}

// Exchanges the values of a string cell and its entry in place; the entry has room for the
// cell's value (reserve_text) and the cell for the entry's (same limit).
void swap_text(StateEntry &en, exp_symval *c) {
  const uint32_t cell_bytes = string_bytes(c);
  const uint32_t entry_bytes = (en.flags & EXP_NULL) ? 0 : en.bytes;
  const uint32_t common = std::max(cell_bytes, entry_bytes);
  std::swap_ranges(c->value.s, c->value.s + common, en.text);
  // Past its own value the cell keeps nothing of the other's: zero bytes, as after a setter.
  std::memset(c->value.s + entry_bytes, 0, common - entry_bytes + 1);
  en.text[cell_bytes] = '\0';
  en.bytes = cell_bytes;
  const uint32_t cell_flags = c->flags & kValueFlags;
  c->flags = (c->flags & ~kValueFlags) | (en.flags & kValueFlags);
  en.flags = (en.flags & ~kValueFlags) | cell_flags;
}

}  // namespace

extern "C" EXP_API exp_state *exp_state_save(exp_engine *e, exp_pcode *p) {
  if (!engine_is_live(e)) return nullptr;
  if (!p) {
    engine_error(e, ERR_INVALID_INPUT, "no program");
    return nullptr;
  }
  if (pcode_refuse_foreign(e, p)) return nullptr;
  if (p->running) {
    engine_error(e, ERR_INVALID_INPUT, "the program is running");
    return nullptr;
  }
  try {
    const std::vector<exp_symval *> &cells = state_cells(p);
    std::unique_ptr<exp_state, void (*)(exp_state *)> s(new exp_state, exp_state_free);
    s->program = p;
    s->layout = p->state_layout;
    for (const exp_symval *c : cells) {
      s->has_text |= symval_type(c) == EXP_STRING;
      s->has_objects |= symval_type(c) == EXP_OBJECT;
    }
    s->budget = e->memory;
    if (charge(e, s.get(), static_cast<int64_t>(sizeof(exp_state) + cells.size() * sizeof(StateEntry)))) return nullptr;
    s->entries.resize(cells.size());
    for (size_t i = 0; i < cells.size(); ++i)
      if (capture(e, s.get(), cells[i], s->entries[i])) return nullptr;
    engine_ok(e);
    return s.release();
  } catch (const std::bad_alloc &) {
    exp_raise_memory_error(e);
    return nullptr;
  }
}

extern "C" EXP_API int exp_state_restore(exp_engine *e, exp_pcode *p, const exp_state *s) {
  if (int rc = check(e, p, s)) return rc;
  const std::vector<exp_symval *> &cells = state_cells(p);
  // Objects are copied first, so that a failure leaves every cell as it was.
  std::vector<exp_symval> objects;
  try {
    if (s->has_objects) objects.reserve(cells.size());
  } catch (const std::bad_alloc &) {
    return exp_raise_memory_error(e);
  }
  for (const StateEntry &en : s->entries) {
    if (type_of(en) != EXP_OBJECT) continue;
    exp_symval copy;
    int rc = copy_object(e, object_view(en), &copy);
    if (rc) {
      for (exp_symval &o : objects) exp_symval_setnull(&o);
      return rc;
    }
    objects.push_back(copy);
  }
  size_t next_object = 0;
  for (size_t i = 0; i < cells.size(); ++i) {
    const StateEntry &en = s->entries[i];
    exp_symval *c = cells[i];
    switch (type_of(en)) {
      case EXP_STRING: put_text(en, c); break;
      case EXP_OBJECT:
        exp_symval_setnull(c);
        c->value.o = objects[next_object].value.o;
        c->flags = (c->flags & ~kValueFlags) | (objects[next_object++].flags & EXP_NULL);
        break;
      default:
        c->value = en.value;
        c->flags = (c->flags & ~kValueFlags) | (en.flags & EXP_NULL);
    }
  }
  return engine_clear_error(e);
}

extern "C" EXP_API int exp_state_swap(exp_engine *e, exp_pcode *p, exp_state *s) {
  if (int rc = check(e, p, s)) return rc;
  const std::vector<exp_symval *> &cells = state_cells(p);
  // Room for the strings first: past this point nothing can fail.
  for (size_t i = 0; s->has_text && i < cells.size(); ++i)
    if (type_of(s->entries[i]) == EXP_STRING)
      if (int rc = reserve_text(e, s, s->entries[i], string_bytes(cells[i]))) return rc;
  for (size_t i = 0; i < cells.size(); ++i) {
    StateEntry &en = s->entries[i];
    exp_symval *c = cells[i];
    if (type_of(en) == EXP_STRING) {
      swap_text(en, c);
      continue;
    }
    std::swap(en.value, c->value);
    const uint32_t cell_flags = c->flags & EXP_NULL;
    c->flags = (c->flags & ~uint32_t{EXP_NULL}) | (en.flags & EXP_NULL);
    en.flags = (en.flags & ~uint32_t{EXP_NULL}) | cell_flags;
  }
  return engine_clear_error(e);
}

extern "C" EXP_API void exp_state_free(exp_state *s) {
  if (!s || s->magic != kStateMagic) return;
  s->magic = 0;
  free_entries(s);
  if (s->budget) limit_release(*s->budget, s->charged);
  delete s;
}
