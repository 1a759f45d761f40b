// Copying a compiled program into another engine (typically a clone), so that several engines run
// the same program without compiling it again. The copy gets its own locals and result cell, the
// destination's globals, host functions and user-defined functions; operator handlers and static
// built-ins are shared by all engines and stay as they are.
#include <cstdio>
#include <cstring>
#include <new>
#include <unordered_map>

#include "engine.h"
#include "errors.h"
#include "program.h"
#include "registry.h"
#include "resource_limits.h"
#include "symbols.h"
#include "values.h"

namespace {

// Source cell address to destination cell address, for the duration of one copy.
using CellMap = std::unordered_map<const exp_symval *, exp_symval *>;

// Everything one copy works on. The copy is owned here until it is handed to the caller, so
// every failure path frees it (and the globals it created) in one place.
struct CopyJob {
  CopyJob(exp_engine *s, exp_engine *d, const exp_pcode *p) : src(s), dst(d), from(p) {}
  CopyJob(const CopyJob &) = delete;
  CopyJob &operator=(const CopyJob &) = delete;
  exp_engine *src;
  exp_engine *dst;
  const exp_pcode *from;
  exp_pcode *to = nullptr;
  CellMap locals;
  CellMap globals;

  ~CopyJob() {
    if (to) pcode_free(dst, to);
  }
};

// The flag bits a cell was declared with, without its type, its null state and the library's
// own marks of its present state (a charge, a raw field, a buffer): a copy that failed before its
// cells were charged must not give back what the source's cells were charged.
uint32_t declared_flags(const exp_symval *c) {
  return c->flags & (EXP_STATIC | EXP_READONLY | EXP_HOSTSYM | EXP_HIDDEN | EXP_LOCAL | EXP_BYTES);
}

// The destination's class of the same name as an object cell's class. Classes belong to their
// engine, so a copy must never keep a pointer into the source engine's class list. Returns
// false when the destination lacks the class.
bool map_class(CopyJob &job, const exp_symval *c, exp_class **out) {
  *out = nullptr;
  if (symval_type(c) != EXP_OBJECT || !c->cls) return true;
  *out = class_find(job.dst, c->cls->name);
  return *out != nullptr;
}

// Result and self cells set up as the compiler sets them for a new program.
int init_program_cells(CopyJob &job) {
  const exp_pcode *p = job.from;
  exp_pcode *n = job.to;
  if (pcode_init_cells(n, job.dst, p->result_type, p->result_len, declared_flags(&p->result)) != 0)
    return engine_error(job.dst, ERR_MEMORY);
  return 0;
}

int copy_instructions(CopyJob &job) {
  const exp_pcode *p = job.from;
  exp_pcode *n = job.to;
  if (p->capacity > 0 && pcode_set_capacity(n, p->capacity) != 0) return engine_error(job.dst, ERR_MEMORY);
  if (p->count > 0) std::memcpy(n->code, p->code, sizeof(exp_instr) * static_cast<size_t>(p->count));
  n->count = p->count;
  n->positions = p->positions;  // run-time errors of the copy point into the same text
  n->warnings = p->warnings;
  std::memcpy(n->udf_name, p->udf_name, sizeof n->udf_name);
  return 0;
}

// Declares every local of the source in the copy, in order, with its value (constants keep
// theirs; temporaries and declared locals are overwritten by runs anyway).
int copy_locals(CopyJob &job) {
  for (const exp_sym *s = job.from->locals.first; s; s = s->next) {
    const exp_symval *old_cell = &s->cell;
    exp_class *cls = nullptr;
    if (!map_class(job, old_cell, &cls)) return engine_error(job.dst, ERR_DECLARATION);
    exp_symval *cell = sym_add_local(job.to, s->name, symval_type(old_cell), static_cast<int>(old_cell->len),
                                     cls, declared_flags(old_cell));
    if (!cell) return engine_error(job.dst, ERR_MEMORY);
    exp_symval_copy(old_cell, cell);
    job.locals.emplace(old_cell, cell);
  }
  return 0;
}

// Declares in the destination the globals that the source program's declarations created, owned
// by the copy so that freeing it removes them. A name already present in the destination is
// refused as compiling the declaration there would refuse it: two globals of one name would let
// one program's cells be freed under another.
int copy_created_globals(CopyJob &job) {
  for (const exp_created_global *g = job.from->created_globals; g; g = g->next) {
    const exp_sym *s = g->sym;
    if (symlist_find(job.dst->symbols, s->name)) return engine_error(job.dst, ERR_DUPLICATE_SYMBOL, s->name);
    exp_class *cls = nullptr;
    if (!map_class(job, &s->cell, &cls)) return engine_error(job.dst, ERR_DECLARATION);
    if (!sym_add_global(job.dst, s->name, symval_type(&s->cell), static_cast<int>(s->cell.len), cls,
                        declared_flags(&s->cell), job.to))
      return engine_error(job.dst, ERR_MEMORY);
  }
  return 0;
}

// Pairs every source global with the destination global of the same name, where there is one.
void map_globals(CopyJob &job) {
  for (const exp_sym *s = job.src->symbols.first; s; s = s->next)
    if (exp_sym *d = symlist_find(job.dst->symbols, s->name)) job.globals.emplace(&s->cell, &d->cell);
}

// Error 30 for an operand the destination cannot provide, naming the source's global symbol
// when it is one (the usual case: a clone that lacks a host symbol), so the host knows what to add.
int refuse_missing_global(CopyJob &job, const exp_symval *cell) {
  for (const exp_sym *s = job.src->symbols.first; s; s = s->next) {
    if (&s->cell != cell) continue;
    char text[160];
    std::snprintf(text, sizeof text, "Invalid declaration: symbol '%s' is not defined in the destination engine",
                  s->name);
    return engine_error_text(job.dst, ERR_DECLARATION, text, sizeof text);
  }
  return engine_error(job.dst, ERR_DECLARATION);
}

// The copy's cell for a cell of the source program: its result, a local or a global. None when
// the destination has no such global.
exp_symval *map_cell(const CopyJob &job, const exp_symval *cell) {
  if (cell == &job.from->result) return &job.to->result;
  for (const CellMap *map : {&job.locals, &job.globals}) {
    auto it = map->find(cell);
    if (it != map->end()) return it->second;
  }
  return nullptr;
}

int rewrite_cell(CopyJob &job, exp_instr &ins) {
  exp_symval *to = map_cell(job, ins.b.cell);
  if (!to) return refuse_missing_global(job, ins.b.cell);
  ins.b.cell = to;
  return 0;
}

// The copy declares the same loops, on its own cells.
int copy_loops(CopyJob &job) {
  job.to->loops = job.from->loops;
  for (exp_for_loop &loop : job.to->loops)
    for (exp_symval **c : {&loop.var, &loop.counter, &loop.limit, &loop.step, &loop.zero, &loop.test}) {
      exp_symval *to = map_cell(job, *c);
      if (!to) return refuse_missing_global(job, *c);
      *c = to;
    }
  return 0;
}

// A callback that belongs to a record of the source engine's table, or to a built-in the
// destination has replaced, becomes the callback of the destination's record of that name, which
// must promise the same result and parameters. Other callbacks (operators, static built-ins) are
// shared by every engine.
int rewrite_callback(CopyJob &job, exp_instr &ins) {
  const exp_function *own = registry_find_callback(job.src, ins.b.any);
  if (!own) return 0;
  const exp_function *there = func_find(job.dst, own->name);
  if (there == own) return 0;
  if (!there || there->ret_type != own->ret_type || std::strcmp(there->signature, own->signature) != 0)
    return engine_error(job.dst, ERR_FUNC_NOT_FOUND, own->name);
  ins.b.fn = there->fn;
  return 0;
}

int rewrite_udf(CopyJob &job, exp_instr &ins) {
  const char *name = ins.b.program ? ins.b.program->udf_name : "";
  exp_pcode *callee = udf_find(job.dst, name);
  if (!callee) return engine_error(job.dst, ERR_FUNC_NOT_FOUND, name);
  ins.b.program = callee;
  return 0;
}

// Points every operand of the copy at the destination's cells, functions and programs.
int rewrite_operands(CopyJob &job) {
  for (int i = 0; i < job.to->count; ++i) {
    exp_instr &ins = job.to->code[i];
    int rc = 0;
    switch (ins.kind) {
      case EXP_OPERAND:
      case EXP_JUMP_IF_ZERO: rc = rewrite_cell(job, ins); break;
      case EXP_CALL: rc = rewrite_callback(job, ins); break;
      case EXP_UDF_CALL: rc = rewrite_udf(job, ins); break;
      default: break;  // jump targets are indices
    }
    if (rc) return rc;
  }
  return 0;
}

// Error 109 when the destination's limits refuse the program as compiling it there would: more
// instructions than PROGRAM, more globals than SYMBOLS once its declarations are added, or a
// declared string longer than STRING. Memory is charged when the copy is made.
int check_copy_limits(const CopyJob &job) {
  const exp_pcode *p = job.from;
  exp_engine *dst = job.dst;
  if (int rc = limit_check(dst, EXP_LIMIT_PROGRAM, p->count)) return rc;
  int64_t globals = dst->symbols.count;
  for (const exp_created_global *g = p->created_globals; g; g = g->next) {
    ++globals;
    if (symval_type(&g->sym->cell) == EXP_STRING)
      if (int rc = limit_check(dst, EXP_LIMIT_STRING, g->sym->cell.len)) return rc;
  }
  if (int rc = limit_check(dst, EXP_LIMIT_SYMBOLS, globals)) return rc;
  for (const exp_sym *s = p->locals.first; s; s = s->next)
    if ((s->cell.flags & EXP_LOCAL) && symval_type(&s->cell) == EXP_STRING)
      if (int rc = limit_check(dst, EXP_LIMIT_STRING, s->cell.len)) return rc;
  return 0;
}

int copy_program(CopyJob &job) {
  const exp_pcode *p = job.from;
  if (p->udf_name[0] && udf_find(job.dst, p->udf_name)) return engine_error(job.dst, ERR_FUNC_REGISTERED);
  if (int rc = check_copy_limits(job)) return rc;
  if (job.dst->capabilities != EXP_CAP_ALL)
    if (int rc = capability_check_program(job.dst, job.src, p, ERR_CAPABILITY)) return rc;
  job.to = pcode_new();
  if (!job.to) return engine_error(job.dst, ERR_MEMORY);
  job.to->capabilities = p->capabilities;
  job.to->traits = p->traits;
  if (int rc = init_program_cells(job)) return rc;
  if (int rc = copy_instructions(job)) return rc;
  if (int rc = copy_locals(job)) return rc;
  if (int rc = copy_created_globals(job)) return rc;
  map_globals(job);
  if (int rc = rewrite_operands(job)) return rc;
  if (int rc = copy_loops(job)) return rc;
  // Sized after the rewrite: finishing links the copy to the destination's callees.
  if (pcode_finish(job.to) != 0) return engine_error(job.dst, ERR_MEMORY);
  if (int rc = pcode_charge_memory(job.dst, job.to)) return rc;
  if (pcode_register_udf(job.dst, job.to) != 0) return engine_error(job.dst, ERR_MEMORY);
  return 0;
}

}  // namespace

// Copies `p` of engine `src` into engine `dst`. On success `*out` receives the copy, counted as a
// live program of `dst`; on failure nothing is left behind in `dst` and the error is reported there.
extern "C" EXP_API int exp_copy_pcode(exp_engine *src, exp_engine *dst, exp_pcode *p, exp_pcode **out) {
  if (!engine_is_live(dst)) return ERR_INVALID_INPUT;
  if (!src || !p || !out) return engine_error(dst, ERR_INVALID_INPUT, "missing engine or program");
  if (!engine_is_live(src)) return engine_error(dst, ERR_INVALID_INPUT, "the source engine was freed");
  if (!pcode_is_live(p)) return engine_error(dst, ERR_INVALID_INPUT, "the program to copy was freed");
  if (p->engine != src) return engine_error(dst, ERR_FOREIGN_HANDLE, "The program to copy");
  try {
    CopyJob job(src, dst, p);
    if (int rc = copy_program(job)) return rc;
    *out = job.to;
    job.to = nullptr;
  } catch (const std::bad_alloc &) {
    return engine_error(dst, ERR_MEMORY);
  }
  ++dst->live_programs;
  return engine_ok(dst);
}
