// Building and releasing compiled programs.
#include "program.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "engine.h"
#include "errors.h"
#include "prepared.h"
#include "values.h"

exp_pcode *pcode_new() { return new (std::nothrow) exp_pcode(); }

int pcode_set_capacity(exp_pcode *p, int n) {
  if (n < 0) return 1;
  if (n == 0) {
    std::free(p->code);
    p->code = nullptr;
    p->capacity = p->count = 0;
    return 0;
  }
  // Slots past `count` are never read, so growing needs neither zeroing nor a copy of its own:
  // realloc often extends the block where it is.
  auto *code = static_cast<exp_instr *>(std::realloc(p->code, static_cast<size_t>(n) * sizeof(exp_instr)));
  if (!code) return 1;
  p->code = code;
  p->capacity = n;
  p->count = std::min(p->count, n);
  return 0;
}

int pcode_init_cells(exp_pcode *p, exp_engine *e, int type, int len, uint32_t flags) {
  if (symval_init(&p->result, type, len, flags, nullptr) != 0 || symval_init(&p->self, EXP_POINTER, 0, 0, nullptr) != 0)
    return 1;
  exp_symval_setnull(&p->result);
  exp_symval_setptr(&p->self, p);
  p->engine = e;
  p->result_type = type;
  p->result_len = len;
  return 0;
}

int pcode_emit(exp_pcode *p, int kind, int a, void *b, int *index) {
  if (p->count == p->capacity) {
    if (p->capacity > INT32_MAX / 2) return 1;
    if (pcode_set_capacity(p, p->capacity ? p->capacity * 2 : 16) != 0) return 1;
  }
  exp_instr &ins = p->code[p->count];
  ins.kind = kind;
  ins.a = a;
  ins.b.any = b;
  if (index) *index = p->count;
  ++p->count;
  return 0;
}

int pcode_patch(int index, exp_pcode *p, int kind, int a, void *b) {
  if (index < 0 || index >= p->count) return 1;
  exp_instr &ins = p->code[index];
  ins.kind = kind;
  ins.a = a;
  ins.b.any = b;
  return 0;
}

// Adds `delta` to the caller count of every program that `p` calls as a user-defined function.
// A finished program (one with an argument vector) holds one link per such call, so a callee
// can tell whether freeing it would leave a live caller pointing at freed memory.
static void link_callees(exp_pcode *p, int delta) {
  for (int i = 0; i < p->count; ++i)
    if (p->code[i].kind == EXP_UDF_CALL && p->code[i].b.program) p->code[i].b.program->udf_callers += delta;
}

int pcode_finish(exp_pcode *p) {
  // The instruction array grew by doubling: its unused half would stay allocated for the
  // program's life and, while the prepared form is built, add to the compile's peak.
  if (p->capacity > p->count && pcode_set_capacity(p, p->count) != 0) return 1;
  p->positions.shrink_to_fit();
  // Walked by instruction: a call's operand slots (EXP_OPERAND) are passed over in one move.
  int max_args = 0;
  bool calls_programs = false;
  for (int i = 0; i < p->count;) {
    const exp_instr &ins = p->code[i];
    if (ins.kind != EXP_CALL && ins.kind != EXP_UDF_CALL) {
      ++i;
      continue;
    }
    max_args = std::max(max_args, ins.a);
    calls_programs |= ins.kind == EXP_UDF_CALL;
    i += 2 + std::max(ins.a, 0);
  }
  // At least kCallCellsMin entries: the run loop copies short argument vectors whole.
  size_t entries = std::max(static_cast<size_t>(max_args) + 1, static_cast<size_t>(kCallCellsMin));
  auto **argv = static_cast<exp_symval **>(std::calloc(entries, sizeof(exp_symval *)));
  if (!argv) return 1;
  if (!p->argv && calls_programs) {
    link_callees(p, +1);
    p->links_callees = true;
  }
  std::free(p->argv);
  p->argv = argv;
  p->max_args = max_args;
  return pcode_prepare(p);
}

namespace {

int64_t cell_bytes(const exp_symval *c) {
  return symval_type(c) == EXP_STRING && c->value.s ? static_cast<int64_t>(c->len) * 4 + 1 : 0;
}

// Calls `visit` with every cell the program owns: its result, its locals (constants and
// temporaries among them) and the globals its declarations created.
template <typename Visit>
void for_each_owned_cell(exp_pcode *p, Visit visit) {
  visit(&p->result);
  for (exp_sym *s = p->locals.first; s; s = s->next) visit(&s->cell);
  for (const exp_created_global *g = p->created_globals; g; g = g->next) visit(&g->sym->cell);
}

}  // namespace

namespace {

bool is_scratch_candidate(const exp_symval *c) {
  return symval_type(c) == EXP_STRING && c->value.s && !(c->flags & EXP_STATIC);
}

// The program's scratch strings: the string results of its calls that are temporaries (unnamed
// records of its own) and its non-static declared string locals. Globals and the result cell are
// left out: the host reads them after the run.
void list_scratch_strings(exp_pcode *p) {
  std::vector<exp_symval *> cells;
  for (int i = 0; i + 1 < p->count; ++i) {
    const exp_instr &ins = p->code[i];
    if (ins.kind != EXP_CALL && ins.kind != EXP_UDF_CALL) continue;
    exp_symval *r = p->code[i + 1].b.cell;
    if (r && r != &p->result && is_scratch_candidate(r) && sym_of_cell(r)->name[0] == '\0') cells.push_back(r);
  }
  for (exp_sym *s = p->locals.first; s; s = s->next)
    if ((s->cell.flags & EXP_LOCAL) && is_scratch_candidate(&s->cell)) cells.push_back(&s->cell);
  std::sort(cells.begin(), cells.end());
  cells.erase(std::unique(cells.begin(), cells.end()), cells.end());
  p->scratch_strings.clear();
  p->scratch_strings.reserve(cells.size());
  for (exp_symval *c : cells) {
    c->flags &= ~SYMVAL_WIDENED;
    p->scratch_strings.push_back({c, (c->flags & SYMVAL_ARENA) ? c->value.s : nullptr, c->len});
  }
}

}  // namespace

int pcode_charge_memory(exp_engine *e, exp_pcode *p) {
  int64_t bytes = 0;
  for_each_owned_cell(p, [&](exp_symval *c) {
    c->flags &= ~SYMVAL_CHARGED;
    bytes += cell_bytes(c);
  });
  try {
    list_scratch_strings(p);
  } catch (const std::bad_alloc &) {
    return engine_error(e, ERR_MEMORY);
  }
  if (int rc = limit_charge(e, bytes)) return rc;
  // From here on growth of these cells is charged as it happens (limit_resize_string).
  for_each_owned_cell(p, [](exp_symval *c) {
    if (cell_bytes(c)) c->flags |= SYMVAL_CHARGED;
  });
  return 0;
}

namespace {

// Gives back one scratch string's growth. A cell that moved to a heap buffer gets its arena
// buffer again, or a new one of its compiled size (kept widened, and charged as such, when that
// allocation fails); a cell whose limit alone changed keeps its buffer.
void give_back(exp_engine *e, const exp_scratch_string &s) {
  exp_symval *c = s.cell;
  if (!(c->flags & SYMVAL_WIDENED) && c->len == s.len) return;
  const int64_t before = cell_bytes(c);
  if (c->flags & SYMVAL_WIDENED) {
    char *buffer = s.buffer ? s.buffer : static_cast<char *>(std::calloc(symval_buffer_size(s.len), 1));
    if (!buffer) return;
    std::free(c->value.s);
    c->value.s = buffer;
    c->flags &= ~SYMVAL_WIDENED;
    if (s.buffer) c->flags |= SYMVAL_ARENA;
  }
  c->len = s.len;
  c->value.s[0] = c->value.s[symval_buffer_bytes(c)] = '\0';
  // Nothing of this run's text stays behind in the buffer for a reader of raw bytes.
  if (c->flags & SYMVAL_RAW) std::memset(c->value.s, 0, symval_buffer_size(s.len));
  c->flags = (c->flags & ~SYMVAL_RAW) | EXP_NULL;
  limit_release(*e->memory, before - cell_bytes(c));  // negative when the compiled buffer is held again
}

}  // namespace

void pcode_give_back(exp_engine *e, exp_pcode *p) noexcept {
  for (const exp_scratch_string &s : p->scratch_strings) give_back(e, s);
}

// What the program's cells hold now: what was charged when it was made plus the growth charged
// since.
static int64_t charged_cell_bytes(exp_pcode *p) {
  int64_t bytes = 0;
  for_each_owned_cell(p, [&](exp_symval *c) {
    if (c->flags & SYMVAL_CHARGED) bytes += cell_bytes(c);
  });
  return bytes;
}

void pcode_free(exp_engine *e, exp_pcode *p) {
  if (!p) return;
  // Cells carry the charge themselves, so a program never charged gives back nothing.
  if (e)
    if (int64_t bytes = charged_cell_bytes(p)) limit_release(*e->memory, bytes);
  if (p->links_callees) link_callees(p, -1);
  pcode_set_capacity(p, 0);
  symlist_clear_cells(p->locals);
  p->records.release();
  for (exp_created_global *g = p->created_globals; g;) {
    exp_created_global *next = g->next;
    if (e) sym_remove_global(e, g->sym);
    std::free(g);
    g = next;
  }
  p->created_globals = p->created_globals_tail = nullptr;
  if (e) {
    auto &udfs = e->user_functions;
    auto it = std::find_if(udfs.begin(), udfs.end(), [p](const auto &u) { return u->program == p; });
    if (it != udfs.end()) udfs.erase(it);
  }
  std::free(p->argv);
  symval_clear(&p->result);
  symval_clear(&p->self);
  // Volatile stores: not dropped as stores to memory freed right after.
  *static_cast<volatile uint32_t *>(&p->magic) = 0;
  *static_cast<exp_engine *volatile *>(&p->engine) = nullptr;
  delete p;
}

// Error 8 for a user-defined function that live programs still call: they hold its address,
// so it must outlive them.
static int refuse_called_udf(exp_engine *e, const exp_pcode *p) {
  char text[160];
  std::snprintf(text, sizeof text, "Function '%s' is still called by %d compiled program(s)", p->udf_name,
                static_cast<int>(p->udf_callers));
  return engine_error_text(e, ERR_ACTIVE_HANDLES, text, sizeof text);
}

int pcode_refuse_foreign(exp_engine *e, const exp_pcode *p) {
  if (!engine_is_live(e)) return ERR_INVALID_INPUT;
  if (!pcode_is_live(p)) return engine_error(e, ERR_INVALID_INPUT, "the program was freed");
  return p->engine == e ? 0 : engine_error(e, ERR_FOREIGN_HANDLE, "The program");
}

extern "C" EXP_API int exp_free_pcode(exp_engine *e, exp_pcode *p) {
  if (!engine_is_live(e)) return ERR_INVALID_INPUT;
  if (!p) return engine_ok(e);
  if (!pcode_is_live(p)) return engine_error(e, ERR_INVALID_INPUT, "the program was freed");
  if (e->live_programs < 1) return ENGINE_INTERNAL_ERROR(e, "exp_initclean");
  if (int rc = pcode_refuse_foreign(e, p)) return rc;
  if (p->udf_callers > 0) return refuse_called_udf(e, p);
  // A host callback may try to free the program that called it: the run still needs it.
  if (p->running) return engine_error(e, ERR_INVALID_INPUT, "the program is running");
  pcode_free(e, p);
  --e->live_programs;
  return engine_ok(e);
}
