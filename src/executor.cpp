// The run loop: executes a program's instructions, calls functions and user-defined functions,
// watches the cancel flag and asks the host's interrupt handler at fixed intervals.
#include "executor.h"

#include <cstdio>
#include <new>
#include <stdexcept>

#include "convert.h"
#include "engine.h"
#include "errors.h"
#include "program.h"
#include "values.h"

namespace {

constexpr int kInterruptBudget = 1048;  // instructions between two questions to the handler
// Deepest nesting of runs (user-defined functions, and host functions that run programs from
// their callbacks): deeper chains are refused before they exhaust the stack.
constexpr int kMaxRunDepth = 256;

// Refuses a run that cannot go ahead: a program already running (re-entered from a host
// callback, directly or through a user-defined function: its program counter, argument vector
// and result cell belong to the run in progress), or a chain of runs deeper than kMaxRunDepth.
// Returns 0 or error 3.
int refuse_run(exp_engine *e, const exp_pcode *p) {
  char text[160];
  if (p->running && p->udf_name[0])
    std::snprintf(text, sizeof text, "user-defined function '%s' is already running", p->udf_name);
  else if (p->running)
    std::snprintf(text, sizeof text, "the program is already running");
  else if (e->run_depth >= kMaxRunDepth)
    std::snprintf(text, sizeof text, "runs nest more than %d deep", kMaxRunDepth);
  else
    return 0;
  return engine_error(e, ERR_INVALID_INPUT, text);
}

// Marks a program as running and counts the engine's nested runs for the lifetime of one run.
class RunGuard {
 public:
  RunGuard(exp_engine *e, exp_pcode *p) : e_(e), p_(p) {
    p->running = true;
    ++e->run_depth;
  }
  ~RunGuard() {
    p_->running = false;
    --e_->run_depth;
  }
  RunGuard(const RunGuard &) = delete;
  RunGuard &operator=(const RunGuard &) = delete;

 private:
  exp_engine *e_;
  exp_pcode *p_;
};

// Makes the engine's parameters those of the run in scope, and restores the caller's on exit
// (also when the run fails, so no parameter vector outlives its run).
class ParamScope {
 public:
  ParamScope(exp_engine *e, int n, exp_symval **args) : e_(e), count_(e->param_count), params_(e->params) {
    e->param_count = n;
    e->params = args;
  }
  ~ParamScope() {
    e_->param_count = count_;
    e_->params = params_;
  }
  ParamScope(const ParamScope &) = delete;
  ParamScope &operator=(const ParamScope &) = delete;

 private:
  exp_engine *e_;
  int count_;
  exp_symval **params_;
};

// Declared non-static locals start every run null.
void reset_locals(exp_pcode *p) {
  for (exp_sym *s = p->locals.first; s; s = s->next)
    if ((s->cell.flags & (EXP_LOCAL | EXP_STATIC)) == EXP_LOCAL) exp_symval_setnull(&s->cell);
}

// Releases object instances held by non-static cells when a run ends: the engine's declared
// globals (outermost run only) and the program's own locals.
void release_objects(exp_engine *e, exp_pcode *p, bool nested) {
  if (!nested)
    for (exp_sym *s = e->symbols.first; s; s = s->next)
      if (symval_type(&s->cell) == EXP_OBJECT && !(s->cell.flags & EXP_STATIC)) exp_symval_setnull(&s->cell);
  for (exp_sym *s = p->locals.first; s; s = s->next)
    if (symval_type(&s->cell) == EXP_OBJECT && !(s->cell.flags & EXP_STATIC)) exp_symval_setnull(&s->cell);
}

// The result cell of a call is prepared before the callee runs: an object result drops its old
// instance, any other result loses its null flag (a callee that writes nothing leaves the value).
inline void prepare_result(exp_symval *result) {
  if (symval_type(result) == EXP_OBJECT) exp_symval_setnull(result);
  else symval_clear_null_flag(result);
}

// True when the run of `p` must stop: its own cancel flag, or that of the outermost program of
// a nested run (the host only knows the program it started, so cancelling that one must also stop
// a user-defined function running inside it).
inline bool cancelled(const exp_pcode *p, const exp_pcode *root) {
  return p->cancel.load(std::memory_order_relaxed) || (root && root->cancel.load(std::memory_order_relaxed));
}

// Executes the call at p->pc: gathers its operand slots into the program's argument vector,
// leaves pc after the last slot and runs the callback or the callee program. `root` is the
// outermost program of the run (none when `p` is that program).
int pcode_call(exp_engine *e, exp_pcode *p, bool user, const exp_pcode *root) {
  const exp_instr *ins = &p->code[p->pc];
  int n = ins->a;
  if (n < 0 || n > p->max_args || p->pc + 1 + n >= p->count || !p->argv)
    return engine_error(e, ERR_INVALID_INSTRUCTION, p->pc);
  exp_symval *result = ins[1].b.cell;
  prepare_result(result);
  exp_symval **argv = p->argv;
  for (int i = 0; i < n; ++i) argv[i] = ins[2 + i].b.cell;
  argv[n] = &p->self;
  p->pc += n + 2;
  if (!user) return ins->b.fn(e, result, n, argv);
  exp_pcode *callee = ins->b.program;
  if (int rc = pcode_run(e, callee, nullptr, n, argv, root ? root : p)) return rc;
  symval_convert(&callee->result, result, e);
  return 0;
}

// Called after every instruction once the budget is spent or the cancel flag is set.
// Returns 0 to go on, or error 104.
int check_interrupt(exp_engine *e, const exp_pcode *p, const exp_pcode *root, int *budget) {
  if (cancelled(p, root)) return engine_error(e, ERR_INTERRUPT);
  if (*budget > 0) return 0;
  if (e->interrupt && e->interrupt(e) != 0) return engine_error(e, ERR_INTERRUPT);
  *budget = kInterruptBudget;
  return 0;
}

}  // namespace

int pcode_run(exp_engine *e, exp_pcode *p, exp_symval **out, int n, exp_symval **args, const exp_pcode *root) {
  if (int rc = refuse_run(e, p)) return rc;
  RunGuard guard(e, p);
  p->cancel.store(0, std::memory_order_relaxed);
  exp_symval_setnull(&p->result);
  reset_locals(p);
  ParamScope params(e, n, args);
  int budget = kInterruptBudget;
  const int count = p->count;
  p->pc = 0;
  p->fail_pc = -1;
  while (p->pc < count) {
    const int at = p->pc;
    const exp_instr &ins = p->code[at];
    int rc = 0;
    switch (ins.kind) {
      case EXP_NOOP: ++p->pc; break;
      case EXP_JUMP: p->pc = ins.a; break;
      case EXP_JUMP_IF_ZERO: p->pc = symval_truth(ins.b.cell) ? p->pc + 1 : ins.a; break;
      case EXP_CALL: rc = pcode_call(e, p, false, root); break;
      case EXP_UDF_CALL: rc = pcode_call(e, p, true, root); break;
      case EXP_EXIT: p->pc = count; continue;
      default: rc = engine_error(e, ERR_INVALID_INSTRUCTION, at); break;
    }
    if (!rc && (--budget == 0 || cancelled(p, root))) rc = check_interrupt(e, p, root, &budget);
    if (!rc && p->pc < 0) rc = engine_error(e, ERR_INVALID_INSTRUCTION, p->pc);
    if (rc) {
      p->fail_pc = at;
      return rc;
    }
  }
  release_objects(e, p, root != nullptr);
  if (out) *out = &p->result;
  return engine_ok(e);
}

extern "C" EXP_API int exp_execute(exp_engine *e, exp_pcode *p, exp_symval **result) {
  if (!e || !p) return e ? engine_error(e, ERR_INVALID_INPUT, "missing program") : ERR_INVALID_INPUT;
  if (int rc = refuse_run(e, p)) return rc;
  for (exp_sym *s = e->symbols.first; s; s = s->next)
    if (!(s->cell.flags & EXP_STATIC)) exp_symval_setnull(&s->cell);
  // A function that runs out of memory through the standard library throws; the run ends with
  // error 1 like any other failed allocation (the guards above have already restored the
  // engine's state), and no exception reaches the host.
  try {
    return pcode_run(e, p, result, 0, nullptr, nullptr);
  } catch (const std::bad_alloc &) {
    return engine_error(e, ERR_MEMORY);
  } catch (const std::length_error &) {
    return engine_error(e, ERR_MEMORY);
  }
}

extern "C" EXP_API void exp_cancel_execution(exp_pcode *p) {
  if (p) p->cancel.store(1, std::memory_order_relaxed);
}

extern "C" EXP_API int exp_run_position(exp_pcode *p, int *line, int *column) {
  if (line) *line = 0;
  if (column) *column = 0;
  if (!p || p->fail_pc < 0 || static_cast<size_t>(p->fail_pc) >= p->positions.size()) return 0;
  const exp_srcpos &pos = p->positions[static_cast<size_t>(p->fail_pc)];
  if (pos.line <= 0) return 0;
  if (line) *line = pos.line;
  if (column) *column = pos.column;
  return 1;
}
