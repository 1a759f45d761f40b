// The run loop: executes a program's instructions, calls functions and user-defined functions,
// watches the cancel flag and asks the host's interrupt handler at fixed intervals.
#include "executor.h"

#include <cstdio>
#include <cstring>
#include <iterator>
#include <new>
#include <stdexcept>

#include "convert.h"
#include "engine.h"
#include "errors.h"
#include "operator_rules.h"
#include "operators.h"
#include "prepared.h"
#include "program.h"
#include "resource_limits.h"
#include "values.h"

namespace {

constexpr int kInterruptBudget = 1048;  // instructions between two questions to the handler
// Deepest nesting of runs (user-defined functions, and host functions that run programs from
// their callbacks): deeper chains are refused before they exhaust the stack.
constexpr int kMaxRunDepth = 256;

// Error 3 for a run that cannot go ahead: a program already running (re-entered from a host
// callback, directly or through a user-defined function: its program counter, argument vector
// and result cell belong to the run in progress), or a chain of runs deeper than kMaxRunDepth.
[[gnu::noinline, gnu::cold]] int refuse_run_error(exp_engine *e, const exp_pcode *p) {
  char text[160];
  if (p->running && p->udf_name[0])
    std::snprintf(text, sizeof text, "user-defined function '%s' is already running", p->udf_name);
  else if (p->running)
    std::snprintf(text, sizeof text, "the program is already running");
  else
    std::snprintf(text, sizeof text, "runs nest more than %d deep", kMaxRunDepth);
  return engine_error(e, ERR_INVALID_INPUT, text);
}

// Returns 0 when `p` may run now, else error 3 (see refuse_run_error).
inline int refuse_run(exp_engine *e, const exp_pcode *p) {
  if (!p->running && e->run_depth < kMaxRunDepth) return 0;
  return refuse_run_error(e, p);
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

// Makes `p` the engine's host_run for the lifetime of one exp_execute, restoring the one of an
// exp_execute it is nested in (a host callback that runs another program).
class HostRunScope {
 public:
  HostRunScope(exp_engine *e, const exp_pcode *p) : e_(e), saved_(e->host_run) { e->host_run = p; }
  ~HostRunScope() { e_->host_run = saved_; }
  HostRunScope(const HostRunScope &) = delete;
  HostRunScope &operator=(const HostRunScope &) = delete;

 private:
  exp_engine *e_;
  const exp_pcode *saved_;
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

// reset_locals for a program without a prepared form, kept out of line so that the prepared
// path stays small enough to be inlined into every run.
[[gnu::noinline]] void reset_locals_by_walking(exp_pcode *p) {
  for (exp_sym *s = p->locals.first; s; s = s->next)
    if (reset_each_run(&s->cell)) exp_symval_setnull(&s->cell);
}

// Declared non-static locals start every run null.
inline void reset_locals(exp_pcode *p) {
  if (!p->prepared) return reset_locals_by_walking(p);
  for (exp_symval *c : p->prepared->reset_cells) symval_setnull(c);
}

// Rebuilds the engine's lists of declared global cells a run resets and releases.
[[gnu::noinline]] void rebuild_global_lists(exp_engine *e) {
  e->run_reset_globals.clear();
  e->run_release_globals.clear();
  for (exp_sym *s = e->symbols.first; s; s = s->next) {
    if (s->cell.flags & EXP_STATIC) continue;
    e->run_reset_globals.push_back(&s->cell);
    if (symval_type(&s->cell) == EXP_OBJECT) e->run_release_globals.push_back(&s->cell);
  }
  e->run_lists_version = e->symbols.version;
}

// The engine's lists of declared global cells a run resets and releases, rebuilt when the
// symbol table has changed since they were made.
inline void refresh_global_lists(exp_engine *e) {
  if (e->run_lists_version != e->symbols.version) rebuild_global_lists(e);
}

// The locals' part of release_objects for a program without a prepared form, out of line like
// reset_locals_by_walking.
[[gnu::noinline]] void release_objects_by_walking(exp_pcode *p) {
  for (exp_sym *s = p->locals.first; s; s = s->next)
    if (released_each_run(&s->cell)) exp_symval_setnull(&s->cell);
}

// Releases object instances held by non-static cells when a run ends: the engine's declared
// globals (outermost run only) and the program's own locals.
inline void release_objects(exp_engine *e, exp_pcode *p, bool nested) {
  if (!nested) {
    refresh_global_lists(e);
    for (exp_symval *c : e->run_release_globals) exp_symval_setnull(c);
  }
  if (!p->prepared) return release_objects_by_walking(p);
  for (exp_symval *c : p->prepared->release_cells) exp_symval_setnull(c);
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
// outermost program of the run (none when `p` is that program); a callee program runs on the
// caller's interrupt budget `*budget` and leaves in it what it did not use.
int pcode_call(exp_engine *e, exp_pcode *p, bool user, const exp_pcode *root, int *budget) {
  const exp_instr *ins = &p->code[p->pc];
  int n = ins->a;
  if (n < 0 || n > p->max_args || p->pc + 1 + n >= p->count || !p->argv)
    return engine_error(e, ERR_INVALID_INSTRUCTION, p->pc);
  exp_symval *result = ins[1].b.cell;
  exp_symval **argv = p->argv;
  // A result cell that is also one of the operands is left as it is: the callee reads every
  // operand as it stood before the call, so a null operand still gives a null result (the loop
  // increment `counter = counter + step` is such a call).
  bool result_is_operand = false;
  for (int i = 0; i < n; ++i) {
    argv[i] = ins[2 + i].b.cell;
    result_is_operand |= argv[i] == result;
  }
  if (!result_is_operand) prepare_result(result);
  argv[n] = &p->self;
  p->pc += n + 2;
  if (!user) return ins->b.fn(e, result, n, argv);
  // The runs in progress are the user-defined functions already nested, plus the outermost run.
  if (int rc = limit_check(e, EXP_LIMIT_CALL_DEPTH, e->run_depth)) return rc;
  exp_pcode *callee = ins->b.program;
  if (int rc = pcode_run(e, callee, nullptr, n, argv, root ? root : p, budget)) return rc;
  symval_convert(&callee->result, result, e);
  return 0;
}

// Called after every instruction once the budget is spent or the cancel flag is set. A spent
// budget stands for exactly kInterruptBudget instructions of the chain of runs, which are charged
// to the step limit. Returns 0 to go on, or error 104 (109 past the step limit).
int check_interrupt(exp_engine *e, const exp_pcode *p, const exp_pcode *root, int *budget) {
  if (cancelled(p, root)) return engine_error(e, ERR_INTERRUPT);
  if (*budget > 0) return 0;
  if (int rc = limit_count_steps(e, kInterruptBudget)) return rc;
  if (e->interrupt && e->interrupt(e) != 0) return engine_error(e, ERR_INTERRUPT);
  *budget = kInterruptBudget;
  return 0;
}

// The interrupt budget a run starts on: its caller's (`*budget_left`) for a nested run, a whole
// one for the outermost run (none given).
inline int start_budget(const int *budget_left) { return budget_left ? *budget_left : kInterruptBudget; }

// Ends a successful run on its interrupt budget: a nested run hands what is left back to its
// caller; the outermost run charges what it used of its last budget to the step limit, so a run
// that passed the limit fails even when it ended before the next interrupt check (only when there
// is a step limit: other runs pay nothing for it). Returns 0 or error 109.
inline int end_budget(exp_engine *e, int budget, int *budget_left) {
  if (budget_left) {
    *budget_left = budget;
    return 0;
  }
  if (e->limits[EXP_LIMIT_STEPS] == 0) return 0;
  return limit_count_steps(e, kInterruptBudget - budget);
}

// True when the instruction at p->pc is an exit: the run ends there at once, without the
// checks that follow other instructions.
inline bool at_exit(const exp_pcode *p) { return p->code[p->pc].kind == EXP_EXIT; }

// Executes the canonical instruction at p->pc, other than an exit, and moves p->pc on. A
// user-defined function called here runs on the interrupt budget `*budget` (see pcode_call).
int run_instruction(exp_engine *e, exp_pcode *p, const exp_pcode *root, int *budget) {
  const int at = p->pc;
  const exp_instr &ins = p->code[at];
  switch (ins.kind) {
    case EXP_NOOP: ++p->pc; return 0;
    case EXP_JUMP: p->pc = ins.a; return 0;
    case EXP_JUMP_IF_ZERO: p->pc = symval_truth(ins.b.cell) ? at + 1 : ins.a; return 0;
    case EXP_CALL: return pcode_call(e, p, false, root, budget);
    case EXP_UDF_CALL: return pcode_call(e, p, true, root, budget);
    default: return engine_error(e, ERR_INVALID_INSTRUCTION, at);
  }
}

// ---- prepared steps: the same work as the canonical instructions they stand for --------------

inline bool is_null(const exp_symval *c) { return (c->flags & EXP_NULL) != 0; }
inline void set_null(exp_symval *c) { c->flags |= EXP_NULL; }
// The flags are written only when the cell was null: in a loop the cell usually is not, and a
// store the next step's null test would have to wait for is saved.
inline void clear_null(exp_symval *c) {
  if (c->flags & EXP_NULL) c->flags &= ~uint32_t{EXP_NULL};
}
inline void set_int(exp_symval *c, int64_t v) {
  c->value.i = v;
  clear_null(c);
}

// Returns whether the (boolean) result tests true.
inline bool int_compare(const exp_step &s) {
  if (either_null(s.x, s.y)) {
    set_null(s.r);
    return false;
  }
  bool holds = relation_holds(s.rel, s.x->value.i, s.y->value.i);
  set_int(s.r, holds);
  return holds;
}

// A copy between cells of one integer-like type: null copies as null (payload 0).
inline void copy_int(exp_symval *to, const exp_symval *from) {
  if (is_null(from)) {
    to->value.i = 0;
    set_null(to);
  } else {
    set_int(to, from->value.i);
  }
}

inline void copy_decimal(exp_symval *to, const exp_symval *from) {
  if (is_null(from)) {
    exp_symval_setnull(to);
  } else {
    to->value.d = from->value.d;
    clear_null(to);
  }
}

// The loop head of an integer for loop once the counter holds `counter`: var = counter, then the
// direction and bound tests. False, having done nothing, when the limit, step or zero cell is null
// (the canonical instructions then run and raise or propagate exactly as they would). Otherwise
// sets `way` to the way out of the loop head the tests chose; the test cell ends as the last
// test left it.
inline bool for_head(const exp_step &f, int64_t counter, Way *way) {
  if ((f.limit->flags | f.step->flags | f.zero->flags) & EXP_NULL) return false;
  set_int(f.var, counter);
  bool up = f.step->value.i > f.zero->value.i;
  bool more = up ? counter <= f.limit->value.i : counter >= f.limit->value.i;
  set_int(f.test, more);
  *way = !more ? f.target : f.next;
  if (more && !up) way->cost = f.down_cost;
  return true;
}

// The prepared form of a program, or none when it must run in canonical form (not prepared,
// or instructions were added after it was).
inline const exp_prepared *prepared_form(const exp_pcode *p) {
  if (!p->prepared || p->prepared->count != p->count) return nullptr;
  return p->prepared.get();
}

// The step of the instruction starting at `at` (or the End step, at the program's count). Read
// through the prepared form rather than kept at hand: only the rare paths need it, and the run
// loop keeps its registers for the steps' cells.
inline const exp_step *step_of(const exp_prepared &prepared, int at) {
  return &prepared.steps[static_cast<size_t>(prepared.index[static_cast<size_t>(at)])];
}

// Runs a program that has no prepared form, one canonical instruction at a time, on the
// interrupt budget of start_budget (see end_budget for how it ends).
int run_instructions(exp_engine *e, exp_pcode *p, const exp_pcode *root, int *budget_left) {
  int budget = start_budget(budget_left);
  while (p->pc < p->count) {
    const int at = p->pc;
    if (at_exit(p)) break;
    int rc = run_instruction(e, p, root, &budget);
    if (!rc && (--budget == 0 || cancelled(p, root))) rc = check_interrupt(e, p, root, &budget);
    if (!rc && p->pc < 0) rc = engine_error(e, ERR_INVALID_INSTRUCTION, p->pc);
    if (rc) {
      p->fail_pc = at;
      return rc;
    }
  }
  return end_budget(e, budget, budget_left);
}

// Runs a prepared program. Each kind of step ends in its own dispatch to the next step (threaded
// code), so the processor predicts each transition from the step it leaves. After every step the
// budget is charged with the canonical instructions the step stood for; a step that does not fit
// the remaining budget runs as its single canonical instruction instead. The step in hand is
// `s`; the steps end with an End step, so running off the last instruction needs no test.
// `Nested` runs (user-defined functions) also watch the cancel flag of the outermost program.
// The run's interrupt budget is that of start_budget (see end_budget for how it ends).
template <bool Nested>
int run_steps(exp_engine *e, exp_pcode *p, const exp_pcode *root, const exp_prepared &prepared, int *budget_left) {
  // One entry per StepOp, made from the same list.
  static const void *const kDispatch[] = {
#define EXP_STEP_LABEL(name, meaning) &&step_##name,
      EXP_STEP_OPS(EXP_STEP_LABEL)
#undef EXP_STEP_LABEL
  };
  // While the budget is at least the largest step's cost, any step fits it and it cannot reach
  // zero before the step is charged: only below that are the two tests needed.
  const int roomy = prepared.max_cost;
  int budget = start_budget(Nested ? budget_left : nullptr), rc = 0;
  const exp_step *s = step_of(prepared, p->pc);
  const exp_step *then = nullptr;  // where the run goes on after the checks
  int last = 0;                    // the instruction an interrupted run stops at

#define EXP_DISPATCH()                                        \
  do {                                                        \
    if (s->cost > budget) goto step_Canonical;                \
    goto *kDispatch[static_cast<int>(s->op)];                 \
  } while (0)
// True when the run must go by the checks before the next step: the budget runs low, or the
// run is cancelled.
#define EXP_CHECKS_DUE()                                                  \
  (budget < roomy || p->cancel.load(std::memory_order_relaxed) ||         \
   (Nested && root->cancel.load(std::memory_order_relaxed)))
// Charges the step just run (`s`) `cost_` canonical instructions and moves on to `to_`, by way
// of the checks when they are due; a run stopped there stops at instruction `last_`.
#define EXP_MOVE_ON(to_, cost_, last_)                        \
  do {                                                        \
    budget -= (cost_);                                        \
    then = (to_);                                             \
    if (EXP_CHECKS_DUE()) {                                   \
      last = (last_);                                         \
      goto checks;                                            \
    }                                                         \
    s = then;                                                 \
    goto *kDispatch[static_cast<int>(s->op)];                 \
  } while (0)
// Takes one of the step's ways out (a Way).
#define EXP_TAKE(way) EXP_MOVE_ON((way).to, (way).cost, (way).last)
// The result goes to both cells from the register, so the copy does not wait on the store.
// Declares `plain`: true when neither operand was null and nothing overflowed. Statements, not
// one block, so that the loop step below can read `plain` after them.
#define EXP_ARITH(overflows, copy)                            \
  int64_t r;                                                  \
  const bool plain = !__builtin_expect(either_null(s->x, s->y) || \
                                       overflows(s->x->value.i, s->y->value.i, &r), 0); \
  if (plain) {                                                \
    set_int(s->r, r);                                         \
    if (copy) set_int(s->v, r);                               \
  } else {                                                    \
    set_null(s->r);                                           \
    if (copy) copy_int(s->v, s->r);                           \
  }
#define EXP_ARITH_STEP(overflows, copy)                       \
  do {                                                        \
    EXP_ARITH(overflows, copy)                                \
    EXP_TAKE(s->next);                      \
  } while (0)
// Arithmetic and copy, then the increment and test of the loop step (see for_next_up); when
// that cannot be done inline the loop step runs by itself. A body of this one step goes round
// without the indirect jump, and into `fast` (EXP_ARITH_SELF_LOOP) after a turn in which no
// operand was null and nothing overflowed.
#define EXP_ARITH_LOOP_STEP(overflows, self, fast)            \
  do {                                                        \
    EXP_ARITH(overflows, true)                                \
    int64_t sum;                                              \
    if (__builtin_expect(((s->counter->flags | s->limit->flags) & EXP_NULL) || \
                         __builtin_add_overflow(s->counter->value.i, s->stride, &sum), 0)) \
      EXP_TAKE(s->loop);                                      \
    s->counter->value.i = sum;                                \
    set_int(s->var, sum);                                     \
    bool more = sum <= s->limit->value.i;                     \
    set_int(s->test, more);                                   \
    if (!more) EXP_TAKE(s->target);       \
    if (s->next.to != s) EXP_TAKE(s->next);    \
    budget -= s->next.cost;                                   \
    if (EXP_CHECKS_DUE()) {                                   \
      then = s;                                               \
      last = s->next.last;                                    \
      goto checks;                                            \
    }                                                         \
    if (plain) goto fast;                                     \
    goto self;                                                \
  } while (0)
// The turns of a one-step loop body after a plain turn. Nothing else runs between turns, so every
// cell the step reads is as null as it was in that turn (not null), and every cell it writes
// was left not null: the turns need no null tests and no flag writes. A turn that would
// overflow goes back to `self` before writing anything; the checks always do.
#define EXP_ARITH_SELF_LOOP(overflows, self)                  \
  do {                                                        \
    exp_symval *const x = s->x, *const y = s->y, *const r = s->r, *const v = s->v; \
    exp_symval *const counter = s->counter, *const var = s->var, *const test = s->test; \
    const exp_symval *const limit = s->limit;                 \
    const int64_t stride = s->stride;                         \
    const int cost = s->next.cost;                            \
    for (;;) {                                                \
      int64_t result, sum;                                    \
      if (__builtin_expect(overflows(x->value.i, y->value.i, &result), 0)) goto self; \
      r->value.i = result;                                    \
      v->value.i = result;                                    \
      if (__builtin_expect(__builtin_add_overflow(counter->value.i, stride, &sum), 0)) \
        EXP_TAKE(s->loop);                                    \
      counter->value.i = sum;                                 \
      var->value.i = sum;                                     \
      const bool more = sum <= limit->value.i;                \
      test->value.i = more;                                   \
      if (!more) EXP_TAKE(s->target);     \
      budget -= cost;                                         \
      if (EXP_CHECKS_DUE()) {                                 \
        then = s;                                             \
        last = s->next.last;                                  \
        goto checks;                                          \
      }                                                       \
    }                                                         \
  } while (0)

  EXP_DISPATCH();

step_Canonical:
  p->pc = s->at;
  if (at_exit(p)) goto step_End;
  {
    // A copy, so that the budget itself never has its address taken and stays in a register.
    int left = budget;
    rc = run_instruction(e, p, Nested ? root : nullptr, &left);
    budget = left;
  }
  if (rc) goto fail;
  if (p->pc > p->count) p->pc = p->count;
  if (p->pc < 0 || prepared.index[static_cast<size_t>(p->pc)] < 0) {  // off the program, or in operand slots
    rc = engine_error(e, ERR_INVALID_INSTRUCTION, p->pc);
    goto fail;
  }
  EXP_MOVE_ON(step_of(prepared, p->pc), 1, s->at);

step_Jump:
  EXP_TAKE(s->target);

step_JumpIfFalse:
  if (is_null(s->r) || s->r->value.i == 0) EXP_TAKE(s->target);
  EXP_TAKE(s->next);

step_IntAdd:
  EXP_ARITH_STEP(add_overflows, false);
step_IntSub:
  EXP_ARITH_STEP(sub_overflows, false);
step_IntMul:
  EXP_ARITH_STEP(mul_overflows, false);
step_IntAddCopy:
  EXP_ARITH_STEP(add_overflows, true);
step_IntSubCopy:
  EXP_ARITH_STEP(sub_overflows, true);
step_IntMulCopy:
  EXP_ARITH_STEP(mul_overflows, true);
step_IntAddCopyLoop:
  EXP_ARITH_LOOP_STEP(add_overflows, step_IntAddCopyLoop, int_add_copy_turns);
int_add_copy_turns:
  EXP_ARITH_SELF_LOOP(add_overflows, step_IntAddCopyLoop);
step_IntSubCopyLoop:
  EXP_ARITH_LOOP_STEP(sub_overflows, step_IntSubCopyLoop, int_sub_copy_turns);
int_sub_copy_turns:
  EXP_ARITH_SELF_LOOP(sub_overflows, step_IntSubCopyLoop);
step_IntMulCopyLoop:
  EXP_ARITH_LOOP_STEP(mul_overflows, step_IntMulCopyLoop, int_mul_copy_turns);
int_mul_copy_turns:
  EXP_ARITH_SELF_LOOP(mul_overflows, step_IntMulCopyLoop);

step_IntCompare:
  int_compare(*s);
  EXP_TAKE(s->next);

step_IntCompareJump:
  if (int_compare(*s)) EXP_TAKE(s->next);
  EXP_TAKE(s->target);

step_CopyInt:
  copy_int(s->v, s->x);
  EXP_TAKE(s->next);

step_CopyDecimal:
  copy_decimal(s->v, s->x);
  EXP_TAKE(s->next);

step_DecimalArith:
  decimal_arith(s->dec, s->r, s->x, s->y);
  EXP_TAKE(s->next);

step_NullCheck:
  if (__builtin_expect(is_null(s->x), 0)) goto step_Canonical;
  clear_null(s->r);
  EXP_TAKE(s->next);

step_IntToDecimal:
  if (is_null(s->x)) {
    exp_symval_setnull(s->v);
  } else {
    decSextFromInt64(symval_dec(s->v), s->x->value.i);
    clear_null(s->v);
  }
  EXP_TAKE(s->next);

step_ForTest: {
  Way way;
  if (is_null(s->counter) || !for_head(*s, s->counter->value.i, &way)) goto step_Canonical;
  EXP_TAKE(way);
}

step_ForNext: {
  int64_t sum;
  if (((s->counter->flags | s->step->flags) & EXP_NULL) ||
      __builtin_add_overflow(s->counter->value.i, s->step->value.i, &sum))
    goto step_Canonical;
  s->counter->value.i = sum;  // not null, as just tested
  if (Way way; for_head(*s, sum, &way)) EXP_TAKE(way);
  // The increment is done; with a null loop cell the jump back and the loop head run one
  // instruction at a time.
  EXP_MOVE_ON(step_of(prepared, s->at + 2 + p->code[s->at].a), 1, s->at);
}

// A loop counting up whose step and zero cells never change (so neither is null).
step_ForNextUp: {
  int64_t sum;
  if (__builtin_expect(((s->counter->flags | s->limit->flags) & EXP_NULL) ||
                       __builtin_add_overflow(s->counter->value.i, s->stride, &sum), 0))
    goto step_ForNext;
  s->counter->value.i = sum;
  set_int(s->var, sum);
  bool more = sum <= s->limit->value.i;
  set_int(s->test, more);
  if (more) EXP_TAKE(s->next);
  EXP_TAKE(s->target);
}

step_CallObject:
  exp_symval_setnull(s->r);
  goto call_function;
step_Call:
  clear_null(s->r);
call_function: {
  // A fresh copy for every call: the callee may write to its argument vector.
  exp_symval **argv = p->argv;
  if (s->argc < kCallCellsMin) std::memcpy(argv, s->cells, kCallCellsMin * sizeof *argv);
  else std::memcpy(argv, s->cells, static_cast<size_t>(s->argc + 1) * sizeof *argv);
  p->pc = s->next.to->at;
  rc = s->fn(e, s->r, s->argc, argv);
  if (rc) goto fail;
  EXP_MOVE_ON(s->next.to, 1, s->next.last);
}

// The budget runs low, or the run is cancelled: the one place the run asks the interrupt
// handler (check_interrupt). A run stopped here stops at `last`, the last canonical instruction
// the step ran.
checks:
  if (budget == 0 || p->cancel.load(std::memory_order_relaxed) ||
      (Nested && root->cancel.load(std::memory_order_relaxed))) {
    p->pc = then->at;
    rc = check_interrupt(e, p, root, &budget);
    if (rc) {
      p->fail_pc = last;
      return rc;
    }
  }
  s = then;
  EXP_DISPATCH();

step_End:
  p->pc = p->count;
  return end_budget(e, budget, Nested ? budget_left : nullptr);

fail:  // s is the step that failed; p->pc is where the run stood
  p->fail_pc = s->at;
  return rc;
#undef EXP_ARITH_SELF_LOOP
#undef EXP_ARITH_LOOP_STEP
#undef EXP_ARITH_STEP
#undef EXP_ARITH
#undef EXP_TAKE
#undef EXP_MOVE_ON
#undef EXP_CHECKS_DUE
#undef EXP_DISPATCH
}

// Runs `p`, which refuse_run has allowed, with `n` parameters; see pcode_run.
[[gnu::always_inline]] inline int run_program(exp_engine *e, exp_pcode *p, exp_symval **out, int n, exp_symval **args,
                                                const exp_pcode *root, int *budget) {
  RunGuard guard(e, p);
  p->cancel.store(0, std::memory_order_relaxed);
  symval_setnull(&p->result);
  reset_locals(p);
  ParamScope params(e, n, args);
  p->pc = 0;
  p->fail_pc = -1;
  const exp_prepared *prepared = prepared_form(p);
  int rc = !prepared ? run_instructions(e, p, root, budget)
           : root    ? run_steps<true>(e, p, root, *prepared, budget)
                     : run_steps<false>(e, p, root, *prepared, budget);
  if (rc) return rc;
  release_objects(e, p, root != nullptr);
  if (out) *out = &p->result;
  return engine_ok(e);
}

}  // namespace

int pcode_run(exp_engine *e, exp_pcode *p, exp_symval **out, int n, exp_symval **args, const exp_pcode *root,
              int *budget) {
  if (int rc = refuse_run(e, p)) return rc;
  return run_program(e, p, out, n, args, root, budget);
}

extern "C" EXP_API int exp_execute(exp_engine *e, exp_pcode *p, exp_symval **result) {
  if (!e || !p) return e ? engine_error(e, ERR_INVALID_INPUT, "missing program") : ERR_INVALID_INPUT;
  if (p->engine != e) return pcode_refuse_foreign(e, p);  // compared here: a call per run saved
  if (int rc = refuse_run(e, p)) return rc;
  // The host may have denied a group after compiling: the program then does not start.
  if (p->capabilities & ~e->capabilities) return capability_check_program(e, e, p, ERR_CAPABILITY_RUN);
  // A function that runs out of memory through the standard library throws; the run ends with
  // error 1 like any other failed allocation (the guards above have already restored the
  // engine's state), and no exception reaches the host.
  try {
    HostRunScope host_run(e, p);
    if (e->run_depth == 0) limit_start_run(e);
    refresh_global_lists(e);
    for (exp_symval *c : e->run_reset_globals) symval_setnull(c);
    int rc = run_program(e, p, result, 0, nullptr, nullptr, nullptr);
    if (rc) engine_error_at_run_position(e, p);
    return rc;
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
