// The run loop: executes a program's instructions, calls functions and user-defined functions,
// watches the cancel flag and asks the host's interrupt handler at fixed intervals.
#include "executor.h"

#include <algorithm>
#include <cassert>
#include <climits>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <new>
#include <span>
#include <stdexcept>

#include "convert.h"
#include "engine.h"
#include "errors.h"
#include "operator_rules.h"
#include "operators.h"
#include "prepared.h"
#include "program.h"
#include "resource_limits.h"
#include "run_plan.h"
#include "values.h"

namespace {

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

// The number a failed run returns: the one its function stored. A callback that returned a
// number without storing it, or a negative one (no error number is negative), still ends the run
// with a positive number that exp_error_info reports too, so a host testing `rc > 0` or reading
// the message never takes a failure for success.
[[gnu::noinline, gnu::cold]] int settle_error(exp_engine *e, int rc) {
  if (rc > 0 && rc == e->error) return rc;
  if (rc < 0 && e->error > 0) return e->error;
  char text[96];
  if (rc < 0) {
    std::snprintf(text, sizeof text, "a function failed with %d and no error number", rc);
    return engine_error(e, ERR_FUNCTION, text);
  }
  const char *plain = exp_errstr(rc);
  if (std::strchr(plain, '%')) {
    std::snprintf(text, sizeof text, "Error %d (reported by a function without a message)", rc);
    plain = text;
  }
  return engine_error_text(e, rc, plain, std::strlen(plain));
}

// Marks a program as running and counts the engine's nested runs for the lifetime of one run.
// When the run resized a charged cell, the program's scratch strings give their growth back as
// it ends, so the next run starts from the same charge.
class RunGuard {
 public:
  RunGuard(exp_engine *e, exp_pcode *p) : e_(e), p_(p), resized_(e->cells_resized) {
    p->running = true;
    ++e->run_depth;
  }
  ~RunGuard() {
    if (e_->cells_resized != resized_) [[unlikely]] pcode_give_back(e_, p_);
    p_->running = false;
    --e_->run_depth;
  }
  RunGuard(const RunGuard &) = delete;
  RunGuard &operator=(const RunGuard &) = delete;

 private:
  exp_engine *e_;
  exp_pcode *p_;
  uint64_t resized_;
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
// caller; the outermost run charges what it used of its last budget, and the built-in work not yet
// settled, to the step limit, so a run that passed the limit fails even when it ended before the
// next check (only when there is a step limit: other runs pay nothing for it). Returns 0 or 109.
inline int end_budget(exp_engine *e, int budget, int *budget_left) {
  if (budget_left) {
    *budget_left = budget;
    return 0;
  }
  if (e->limits[EXP_LIMIT_STEPS] == 0) return 0;
  return limit_count_steps(e, kInterruptBudget - budget + work_unsettled(e));
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
  bool holds = relation_holds(s.rel(), s.x->value.i, s.y->value.i);
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
  const LoopCells &c = f.loop_cells();
  if ((c.limit->flags | c.step->flags | c.zero->flags) & EXP_NULL) return false;
  set_int(c.var, counter);
  bool up = c.step->value.i > c.zero->value.i;
  bool more = up ? counter <= c.limit->value.i : counter >= c.limit->value.i;
  set_int(c.test, more);
  *way = !more ? f.target : f.next;
  if (more && !up) way->cost = f.down_cost();
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
  assert(at >= 0 && at <= prepared.count && prepared.index[static_cast<size_t>(at)] >= 0);
  return &prepared.steps[static_cast<size_t>(prepared.index[static_cast<size_t>(at)])];
}

// ---- step bodies: each does its step's work and returns the way the run goes on ---------------
//
// They are inlined into the run loop, which charges the way's cost and moves on (run_steps). The
// way is one of the step's own, or one made in `made` when it depends on the run. A body that
// returns none has done nothing: its step's canonical instruction runs instead and raises or
// propagates exactly as it would.

using Overflows = bool (*)(int64_t, int64_t, int64_t *);

// r = x op y on integers (and v = r when `Copy`); overflow or a null operand gives null. Returns
// true when neither happened. The result goes to both cells from the register, so the copy does
// not wait on the store.
template <Overflows Op, bool Copy>
[[gnu::always_inline]] inline bool int_arith(const exp_step &s) {
  int64_t r;
  const bool plain = !__builtin_expect(either_null(s.x, s.y) || Op(s.x->value.i, s.y->value.i, &r), 0);
  if (plain) {
    set_int(s.r, r);
    if (Copy) set_int(s.v, r);
  } else {
    set_null(s.r);
    if (Copy) copy_int(s.v, s.r);
  }
  return plain;
}

template <Overflows Op, bool Copy>
[[gnu::always_inline]] inline const Way *int_arith_step(const exp_step &s) {
  int_arith<Op, Copy>(s);
  return &s.next;
}

[[gnu::always_inline]] inline const Way *jump_if_false(const exp_step &s) {
  return is_null(s.r) || s.r->value.i == 0 ? &s.target : &s.next;
}

[[gnu::always_inline]] inline const Way *int_compare_jump(const exp_step &s) {
  return int_compare(s) ? &s.next : &s.target;
}

[[gnu::always_inline]] inline const Way *null_check(const exp_step &s) {
  if (__builtin_expect(is_null(s.x), 0)) return nullptr;
  clear_null(s.r);
  return &s.next;
}

[[gnu::always_inline]] inline const Way *int_to_decimal(const exp_step &s) {
  if (is_null(s.x)) {
    exp_symval_setnull(s.v);
  } else {
    decSextFromInt64(symval_dec(s.v), s.x->value.i);
    clear_null(s.v);
  }
  return &s.next;
}

[[gnu::always_inline]] inline const Way *for_test(const exp_step &s, Way &made) {
  const exp_symval *counter = s.loop_cells().counter;
  if (is_null(counter) || !for_head(s, counter->value.i, &made)) return nullptr;
  return &made;
}

// counter += step, then the loop head. With a null loop cell after the increment, the jump back
// and the head run one instruction at a time (the `loop` way).
[[gnu::always_inline]] inline const Way *for_next(const exp_step &s, Way &made) {
  const LoopCells &c = s.loop_cells();
  int64_t sum;
  if (((c.counter->flags | c.step->flags) & EXP_NULL) || __builtin_add_overflow(c.counter->value.i, c.step->value.i, &sum))
    return nullptr;
  c.counter->value.i = sum;  // not null, as just tested
  if (for_head(s, sum, &made)) return &made;
  return &s.loop();
}

// The increment of a loop counting up whose step and zero cells never change (so neither is
// null). Sets *more to whether the loop goes round again; false, having done nothing, when the
// counter or limit is null or the increment overflows.
[[gnu::always_inline]] inline bool for_next_up_inline(const exp_step &s, bool *more) {
  const LoopCells &c = s.loop_cells();
  int64_t sum;
  if (__builtin_expect(((c.counter->flags | c.limit->flags) & EXP_NULL) ||
                           __builtin_add_overflow(c.counter->value.i, s.stride(), &sum),
                       0))
    return false;
  c.counter->value.i = sum;
  set_int(c.var, sum);
  *more = sum <= c.limit->value.i;
  set_int(c.test, *more);
  return true;
}

[[gnu::always_inline]] inline const Way *for_next_up(const exp_step &s, Way &made) {
  bool more;
  if (!for_next_up_inline(s, &more)) return for_next(s, made);
  return more ? &s.next : &s.target;
}

// `way` made longer by the `spent` instructions run before it, in `made`.
[[gnu::always_inline]] inline const Way *after(const Way &way, int spent, Way &made) {
  made = Way{way.to, static_cast<uint16_t>(spent + way.cost), way.last};
  return &made;
}

// Does one operation of a loop body on the payloads of its cells (none null, see body_turns).
// False, having written nothing, when the arithmetic overflows.
[[gnu::always_inline]] inline bool turn_op(const TurnOp &op) {
  int64_t r = 0;
  switch (op.kind) {
    case TurnOp::Kind::Add:
      if (__builtin_add_overflow(op.x->value.i, op.y->value.i, &r)) return false;
      break;
    case TurnOp::Kind::Sub:
      if (__builtin_sub_overflow(op.x->value.i, op.y->value.i, &r)) return false;
      break;
    case TurnOp::Kind::Mul:
      if (__builtin_mul_overflow(op.x->value.i, op.y->value.i, &r)) return false;
      break;
    case TurnOp::Kind::Copy: op.v->value.i = op.x->value.i; return true;
    case TurnOp::Kind::Compare: op.r->value.i = relation_holds(op.rel, op.x->value.i, op.y->value.i); return true;
  }
  op.r->value.i = r;
  op.v->value.i = r;
  return true;
}

// More turns of a loop after a plain turn that ended at its body-end step `s` and cost `spent`:
// the body's other operations `ops` (costing `body` instructions, the last of them `body_last`),
// then the step's own arithmetic, increment and test, while the turns keep the cost within `room`
// (so no check can fall due on the way). The caller has made sure no cell a turn touches is null:
// every operation then reads payloads and writes results that are not null, as the plain steps
// would, so the flags stay as they are. An operation that would overflow stops the turns before
// it, with every cell as the steps before it left them, and its step runs it in full. Returns the
// way on, its cost the turns' in all.
template <Overflows Op>
[[gnu::always_inline]] inline const Way *turns_of(const exp_step &s, std::span<const TurnOp> ops, int body,
                                                  int32_t body_last, int spent, int room, Way &made) {
  exp_symval *const x = s.x, *const y = s.y, *const r = s.r, *const v = s.v;
  const LoopCells &c = s.loop_cells();
  exp_symval *const counter = c.counter, *const var = c.var, *const test = c.test;
  const exp_symval *const limit = c.limit;
  const int64_t stride = s.stride();
  const int cost = body + s.next.cost;
  // A turn is started only when it fits whichever way it ends.
  for (const int last_start = room - body - s.cost; spent <= last_start; spent += cost) {
    for (const TurnOp &op : ops)
      if (__builtin_expect(!turn_op(op), 0)) return after(Way{op.step, 0, op.last}, spent + op.before, made);
    int64_t result, sum;
    if (__builtin_expect(Op(x->value.i, y->value.i, &result), 0)) return after(Way{&s, 0, body_last}, spent + body, made);
    r->value.i = result;
    v->value.i = result;
    if (__builtin_expect(__builtin_add_overflow(counter->value.i, stride, &sum), 0)) return after(s.loop(), spent + body, made);
    counter->value.i = sum;
    var->value.i = sum;
    const bool more = sum <= limit->value.i;
    test->value.i = more;
    if (!more) return after(s.target, spent + body, made);
  }
  return after(Way{s.next.to, 0, s.next.last}, spent, made);
}

// More turns of a one-step loop body (see turns_of). Nothing else runs between turns, so every
// cell the step reads is as null as it was in the plain turn (not null), and every cell it writes
// was left not null.
template <Overflows Op>
[[gnu::always_inline]] inline const Way *more_turns(const exp_step &s, int spent, int room, Way &made) {
  return turns_of<Op>(s, {}, 0, s.next.last, spent, room, made);
}

// More turns of a loop body of several steps (BodyTurns), run only when no cell a turn touches is
// null (see turns_of).
template <Overflows Op>
[[gnu::noinline]] const Way *body_turns(const exp_step &s, int spent, int room, Way &made) {
  const BodyTurns &t = *s.turns();
  uint32_t flags = 0;
  for (const exp_symval *c : t.cells) flags |= c->flags;
  if (flags & EXP_NULL) return &s.next;
  return turns_of<Op>(s, t.ops, t.body_cost, t.body_last, spent, room, made);
}

// The payload an operand of held_turns reads: the result, the counter, or its fixed value.
template <Held Where>
[[gnu::always_inline]] inline int64_t held_value(int64_t result, int64_t counter, int64_t fixed) {
  return Where == Held::Result ? result : Where == Held::Counter ? counter : fixed;
}

// more_turns for a one-step body whose payloads can stay in registers (see exp_step::held): the
// turns that both fit `room` and go round again run on registers, and the cells are written once
// at the end. The turn that leaves the loop, and one that would overflow, are left to the step,
// with every cell as the turns before it left them. Returns the way back to the step, its cost
// the turns' in all.
template <Overflows Op, Held X, Held Y>
[[gnu::always_inline]] inline const Way *held_turns_of(const exp_step &s, int spent, int room, Way &made) {
  const LoopCells &c = s.loop_cells();
  const int cost = s.next.cost;
  const uint64_t stride = static_cast<uint64_t>(s.stride());
  int64_t result = s.v->value.i, counter = c.counter->value.i;
  // The last turn ended going round, so counter <= limit: the turns still going round are these
  // (divided only for a stride other than 1, a division costing more than many turns).
  const uint64_t distance = static_cast<uint64_t>(c.limit->value.i) - static_cast<uint64_t>(counter);
  const uint64_t going_round = stride == 1 ? distance : distance / stride;
  const int fitting = room - s.cost - spent;  // the turns starting at most this far on fit
  if (fitting < 0) return &s.next;
  const uint64_t fit = static_cast<uint64_t>(fitting);
  const bool all_fit = going_round <= fit + 1 && (going_round == 0 || (going_round - 1) * cost <= fit);
  const uint64_t turns = all_fit ? going_round : fit / static_cast<uint64_t>(cost) + 1;
  const int64_t fx = X == Held::Fixed ? s.x->value.i : 0, fy = Y == Held::Fixed ? s.y->value.i : 0;
  // The counter of every turn stays within the limit: its steps cannot overflow.
  auto step = [stride](int64_t n) { return static_cast<int64_t>(static_cast<uint64_t>(n) + stride); };
  // Four turns at a time, their overflows tested together; a block that overflows anywhere is
  // done again below one turn at a time, to stop before the turn that overflows.
  uint64_t done = 0;
  for (; turns - done >= 4; done += 4) {
    const int64_t c1 = step(counter), c2 = step(c1), c3 = step(c2);
    int64_t r0, r1, r2, r3;
    bool over = Op(held_value<X>(result, counter, fx), held_value<Y>(result, counter, fy), &r0);
    over |= Op(held_value<X>(r0, c1, fx), held_value<Y>(r0, c1, fy), &r1);
    over |= Op(held_value<X>(r1, c2, fx), held_value<Y>(r1, c2, fy), &r2);
    over |= Op(held_value<X>(r2, c3, fx), held_value<Y>(r2, c3, fy), &r3);
    if (__builtin_expect(over, 0)) break;
    result = r3;
    counter = step(c3);
  }
  for (; done < turns; ++done) {
    int64_t r;
    if (__builtin_expect(Op(held_value<X>(result, counter, fx), held_value<Y>(result, counter, fy), &r), 0)) break;
    result = r;
    counter = step(counter);
  }
  s.r->value.i = result;
  s.v->value.i = result;
  c.counter->value.i = counter;
  c.var->value.i = counter;
  return after(Way{&s, 0, s.next.last}, spent + static_cast<int>(done) * cost, made);
}

// held_turns_of for the operands' places the step records.
template <Overflows Op>
[[gnu::always_inline]] inline const Way *held_turns(const exp_step &s, int spent, int room, Way &made) {
  constexpr Held R = Held::Result, C = Held::Counter, F = Held::Fixed;
  switch (3 * static_cast<int>(s.held_x()) + static_cast<int>(s.held_y())) {
    case 0: return held_turns_of<Op, R, R>(s, spent, room, made);
    case 1: return held_turns_of<Op, R, C>(s, spent, room, made);
    case 2: return held_turns_of<Op, R, F>(s, spent, room, made);
    case 3: return held_turns_of<Op, C, R>(s, spent, room, made);
    case 4: return held_turns_of<Op, C, C>(s, spent, room, made);
    case 5: return held_turns_of<Op, C, F>(s, spent, room, made);
    case 6: return held_turns_of<Op, F, R>(s, spent, room, made);
    case 7: return held_turns_of<Op, F, C>(s, spent, room, made);
    default: return held_turns_of<Op, F, F>(s, spent, room, made);
  }
}

// What a loop body's turns leave: the way on, its cost every canonical instruction they ran, and
// the interrupt budget to charge it to (the run's, plus the budgets the turns ran through).
struct Turned {
  const Way *way;
  int budget;
};

// The most budgets that turns may run through at once (see budgets_unwatched): enough to make the
// way back to the run loop rare, few enough that the run still looks at the cancel flag within a
// fraction of a millisecond and a way's cost fits its 16 bits.
constexpr int kUnwatchedBudgets = 24;

// How many interrupt checks turns may run through without anyone seeing where they fall: none
// with an interrupt handler; otherwise a check only resets the budget and counts a budget's
// steps against the step limit, so as many as pass that limit (up to kUnwatchedBudgets). The
// check that fails it is left to the run loop.
inline int budgets_unwatched(const exp_engine *e) {
  if (e->interrupt) return 0;
  const int64_t limit = e->limits[EXP_LIMIT_STEPS];
  if (limit == 0) return kUnwatchedBudgets;
  const int64_t passing = (limit - e->steps_run) / kInterruptBudget;
  return static_cast<int>(std::clamp<int64_t>(passing, 0, kUnwatchedBudgets));
}

// The further turns of a loop body after a plain turn of its body-end step `s` (see body_end):
// held_turns or more_turns for a body of this one step, body_turns for a longer one, within the
// budget less the largest step (`roomy`), so no check falls due, or through the further budgets
// of budgets_unwatched, whose checks are then done here.
template <Overflows Op>
[[gnu::noinline]] Turned turns_after(const exp_step &s, exp_engine *e, int budget, int roomy, Way &made) {
  const int free = budgets_unwatched(e) * kInterruptBudget;
  const int room = budget - roomy + free;
  const Way *way = s.next.to != &s ? body_turns<Op>(s, s.next.cost, room, made)
                   : s.held()      ? held_turns<Op>(s, s.next.cost, room, made)
                                   : more_turns<Op>(s, s.next.cost, room, made);
  if (!free || way->cost < budget) return Turned{way, budget};
  // The turns ran through checks (reaching zero is one): each reset the budget and counted a
  // budget's steps.
  const int checks = (way->cost - budget) / kInterruptBudget + 1;
  (void)limit_count_steps(e, checks * kInterruptBudget);  // passes, see budgets_unwatched
  return Turned{way, budget + checks * kInterruptBudget};
}

// An arithmetic-and-copy step ending a loop body, with the increment and test of the loop step
// after it (see for_next_up); when that cannot be done inline the loop step runs by itself. After
// a plain turn, a body that can go round without the run loop does so in turns_after.
template <Overflows Op>
[[gnu::always_inline]] inline Turned body_end(const exp_step &s, exp_engine *e, int budget, int roomy, Way &made) {
  const bool plain = int_arith<Op, true>(s);
  bool more;
  if (!for_next_up_inline(s, &more)) return Turned{&s.loop(), budget};
  if (!more) return Turned{&s.target, budget};
  if (!plain || (s.next.to != &s && !s.turns())) return Turned{&s.next, budget};
  return turns_after<Op>(s, e, budget, roomy, made);
}

// What run_canonical returns: the instruction's code, and the interrupt budget it left.
struct Ran {
  int rc;
  int budget;
};

// Runs the canonical instruction at p->pc for the run loop, on its interrupt budget, taken and
// given back by value: the loop's budget never has its address taken, and stays in a register.
[[gnu::noinline]] Ran run_canonical(exp_engine *e, exp_pcode *p, const exp_pcode *root, int budget) {
  int rc = run_instruction(e, p, root, &budget);
  return Ran{rc, budget};
}

// check_interrupt for the run loop, with the budget passed by value like run_canonical's.
[[gnu::noinline]] Ran check_interrupt_for_steps(exp_engine *e, const exp_pcode *p, const exp_pcode *root, int budget) {
  int rc = check_interrupt(e, p, root, &budget);
  return Ran{rc, budget};
}

// Runs a Call or CallObject step whose result cell is ready: a fresh copy of the argument vector
// for every call (the callee may write to it), and p->pc where the canonical call leaves it.
// Returns the callback's code.
[[gnu::always_inline]] inline int call_step(exp_engine *e, exp_pcode *p, const exp_step &s) {
  exp_symval **argv = p->argv;
  if (s.argc() < kCallCellsMin) std::memcpy(argv, s.cells(), kCallCellsMin * sizeof *argv);
  else std::memcpy(argv, s.cells(), static_cast<size_t>(s.argc() + 1) * sizeof *argv);
  p->pc = s.next.to->at;
  return s.fn()(e, s.r, s.argc(), argv);
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

// Sets null every cell a plain program's run starts with (see RunPlan), each group the way
// symval_setnull does it.
inline void reset_plan_cells(const RunPlan &plan) {
  exp_symval *const *c = plan.cells.data();
  exp_symval *const *const ints_end = c + plan.ints;
  exp_symval *const *const decimals_end = ints_end + plan.decimals;
  exp_symval *const *const end = c + plan.cells.size();
  // Each cell is taken into a local first: a store to it could otherwise be the list's entry.
  for (; c != ints_end; ++c) {
    exp_symval *cell = *c;
    cell->value.i = 0;
    symval_set_null_flag(cell);
  }
  for (; c != decimals_end; ++c) {
    exp_symval *cell = *c;
    decSextNaN(symval_dec(cell));
    symval_set_null_flag(cell);
  }
  for (; c != end; ++c) exp_symval_setnull(*c);
}

// The start of a plain program's run (see run_steps), with what the general path does at its
// start that anyone can see: the step count started for an outermost run, the globals, result and
// locals set null, the cancel flag cleared. The running flag, run depth, host run and parameters
// are left alone: no host code runs before the run ends (see RunPlan).
[[gnu::always_inline]] inline void plain_start(exp_engine *e, exp_pcode *p, const RunPlan &plan) {
  if (e->run_depth == 0) limit_start_run(e);
  reset_plan_cells(plan);
  p->cancel.store(0, std::memory_order_relaxed);
  p->pc = 0;
  p->fail_pc = -1;
}

// The end of a plain program's failed run: the error gets the run's position, as exp_execute
// gives it on the general path. Returns `rc`.
[[gnu::noinline, gnu::cold]] int plain_failed(exp_engine *e, exp_pcode *p, int rc) {
  engine_error_at_run_position(e, p);
  return rc;
}

// Runs a prepared program. The step in hand is `s`; its body (above) returns the way the run goes
// on, and the one move-on below charges the way's cost to the interrupt budget and goes to its
// step, by way of the checks when they are due. The move-on is repeated after each kind of step
// (threaded code), so the processor predicts each transition from the step it leaves. A step that
// does not fit the remaining budget runs as its single canonical instruction instead. The steps
// end with an End step, so running off the last instruction needs no test. `Nested` runs
// (user-defined functions) also watch the cancel flag of the outermost program. The run's
// interrupt budget is that of start_budget (see end_budget for how it ends).
// A `Plain` run is exp_execute's whole run of a plain program (see RunPlan): the run's start
// (plain_start) and end (the result cell in *out and a cleared error, or the error's position)
// are done here, so that exp_execute reaches the steps with a single jump.
template <bool Nested, bool Plain = false>
int run_steps(exp_engine *e, exp_pcode *p, const exp_pcode *root, const exp_prepared &prepared, int *budget_left,
              exp_symval **out = nullptr) {
  static_assert(!(Nested && Plain));
  // One entry per StepOp, made from the same list.
  static const void *const kDispatch[] = {
#define EXP_STEP_LABEL(name, meaning) &&step_##name,
      EXP_STEP_OPS(EXP_STEP_LABEL)
#undef EXP_STEP_LABEL
  };
  assert(!Nested == !budget_left && prepared.count == p->count);
  if constexpr (Plain) plain_start(e, p, prepared.plan);
  // While the budget is at least the largest step's cost, any step fits it and it cannot reach
  // zero before the step is charged: only below that are the checks needed.
  // Raised out of reach when the interrupt handler cancels the run, so that the next move-on
  // goes to the checks, which stop it there.
  int roomy = prepared.max_cost;
  int budget = start_budget(Nested ? budget_left : nullptr), rc = 0;
  // A run starts at instruction 0, whose step is the first (step_of without the look-up).
  assert(p->pc == 0 && prepared.index[0] == 0);
  const exp_step *s = prepared.steps.data();
  const Way *way = nullptr;  // the way out of the step just run
  Way made;                  // that way, when the step made it

// Charges `way` and goes on along it: the one place the run moves from step to step.
// The cancel flag is looked at only there: an ordinary step runs no code that could set it on
// this thread, and another thread's cancel is seen within an interrupt interval.
#define EXP_MOVE_ON()                                                                             \
  do {                                                                                            \
    assert(way->to && way->cost <= budget);                                                       \
    budget -= way->cost;                                                                          \
    if (budget < roomy) goto checks;                                                              \
    s = way->to;                                                                                  \
    goto *kDispatch[static_cast<int>(s->op)];                                                     \
  } while (0)
// The move-on after a step that ran host code (a callback, a user-defined function, a built-in),
// which may have cancelled the run: such a cancel stops the run before its next step.
#define EXP_MOVE_ON_AFTER_HOST()                                                                  \
  do {                                                                                            \
    if (cancelled(p, Nested ? root : nullptr)) {                                                  \
      budget -= way->cost;                                                                        \
      goto checks;                                                                                \
    }                                                                                             \
    EXP_MOVE_ON();                                                                                \
  } while (0)
// A step whose body returns its way out, or none to have its canonical instruction run.
// The way to `next` gets a move-on of its own, so a step that branches ends in one dispatch per
// direction, each predicted apart, and a step that always goes on to `next` loads its way with
// no detour.
#define EXP_STEP(name, body)                                                                      \
  step_##name : way = (body);                                                                     \
  if (__builtin_expect(!way, 0)) goto step_Canonical;                                             \
  if (way == &s->next) EXP_MOVE_ON();                                                             \
  EXP_MOVE_ON()

// A step ending a loop body (body_end), whose turns may also have run through interrupt checks.
#define EXP_LOOP_STEP(name, op)                                                                   \
  step_##name : {                                                                                 \
    const Turned turned = body_end<op>(*s, e, budget, roomy, made);                               \
    way = turned.way;                                                                             \
    budget = turned.budget;                                                                       \
  }                                                                                               \
  if (way == &s->next) EXP_MOVE_ON();                                                             \
  EXP_MOVE_ON()

  goto dispatch;

  EXP_STEP(Jump, &s->target);
  EXP_STEP(JumpIfFalse, jump_if_false(*s));
  EXP_STEP(IntAdd, (int_arith_step<add_overflows, false>(*s)));
  EXP_STEP(IntSub, (int_arith_step<sub_overflows, false>(*s)));
  EXP_STEP(IntMul, (int_arith_step<mul_overflows, false>(*s)));
  EXP_STEP(IntAddCopy, (int_arith_step<add_overflows, true>(*s)));
  EXP_STEP(IntSubCopy, (int_arith_step<sub_overflows, true>(*s)));
  EXP_STEP(IntMulCopy, (int_arith_step<mul_overflows, true>(*s)));
  EXP_LOOP_STEP(IntAddCopyLoop, add_overflows);
  EXP_LOOP_STEP(IntSubCopyLoop, sub_overflows);
  EXP_LOOP_STEP(IntMulCopyLoop, mul_overflows);
  EXP_STEP(IntCompare, (int_compare(*s), &s->next));
  EXP_STEP(IntCompareJump, int_compare_jump(*s));
  EXP_STEP(CopyInt, (copy_int(s->v, s->x), &s->next));
  EXP_STEP(CopyDecimal, (copy_decimal(s->v, s->x), &s->next));
  EXP_STEP(IntToDecimal, int_to_decimal(*s));
  EXP_STEP(DecimalArith, (decimal_arith(s->dec(), s->r, s->x, s->y), &s->next));
  EXP_STEP(NullCheck, null_check(*s));
  EXP_STEP(ForTest, for_test(*s, made));
  EXP_STEP(ForNext, for_next(*s, made));
  EXP_STEP(ForNextUp, for_next_up(*s, made));

step_CallObject:
  exp_symval_setnull(s->r);
  goto call;
step_Call:
  clear_null(s->r);
call:
  rc = call_step(e, p, *s);
  if (rc) goto fail;
  way = &s->next;
  EXP_MOVE_ON_AFTER_HOST();

step_Canonical: {
  p->pc = s->at;
  if (at_exit(p)) goto step_End;
  const Ran ran = run_canonical(e, p, Nested ? root : nullptr, budget);
  rc = ran.rc;
  budget = ran.budget;
  if (rc) goto fail;
  if (p->pc > p->count) p->pc = p->count;
  if (p->pc < 0 || prepared.index[static_cast<size_t>(p->pc)] < 0) {  // off the program, or in operand slots
    rc = engine_error(e, ERR_INVALID_INSTRUCTION, p->pc);
    goto fail;
  }
  made = Way{step_of(prepared, p->pc), 1, s->at};
  way = &made;
  EXP_MOVE_ON_AFTER_HOST();
}

// The budget runs low, or the run is cancelled: the one place the run asks the interrupt
// handler (check_interrupt). A run stopped here stops at the last canonical instruction the step
// ran.
checks:
  if (budget == 0 || cancelled(p, Nested ? root : nullptr)) {
    p->pc = way->to->at;
    const Ran ran = check_interrupt_for_steps(e, p, root, budget);
    rc = ran.rc;
    budget = ran.budget;
    if (rc) {
      p->fail_pc = way->last;
      return Plain ? plain_failed(e, p, rc) : rc;
    }
    // The handler cancelled the run and answered 0: the run stops after the next step.
    if (cancelled(p, Nested ? root : nullptr)) roomy = INT_MAX;
  }
  s = way->to;
dispatch:
  if (s->cost > budget) goto step_Canonical;
  goto *kDispatch[static_cast<int>(s->op)];

step_End:
  p->pc = p->count;
  if constexpr (Plain) {
    if ((rc = end_budget(e, budget, nullptr))) return plain_failed(e, p, rc);
    if (out) *out = &p->result;
    return engine_clear_error(e);
  }
  return end_budget(e, budget, Nested ? budget_left : nullptr);

fail:  // s is the step that failed; p->pc is where the run stood
  p->fail_pc = s->at;
  return Plain ? plain_failed(e, p, rc) : rc;
#undef EXP_LOOP_STEP
#undef EXP_STEP
#undef EXP_MOVE_ON_AFTER_HOST
#undef EXP_MOVE_ON
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
  // A failed run lets go of its objects too: what it held is not charged until the next run.
  release_objects(e, p, root != nullptr);
  if (rc) return rc;
  if (out) *out = &p->result;
  return engine_clear_error(e);
}

// The prepared form of `p` when its plan, made for the engine's symbol table as it stands, says
// the program is plain; else none (also when the plan is stale: see execute_general).
inline const exp_prepared *plain_form(const exp_engine *e, const exp_pcode *p) {
  const exp_prepared *prepared = p->prepared.get();
  if (!prepared || prepared->count != p->count || prepared->plan.plain_for != e->symbols.version) return nullptr;
  return prepared;
}

// Error 3 for exp_execute without a program (none, without an engine to report it in either).
[[gnu::noinline, gnu::cold]] int missing_program(exp_engine *e) {
  return engine_is_live(e) ? engine_error(e, ERR_INVALID_INPUT, "missing program") : ERR_INVALID_INPUT;
}

// exp_execute for a plain program: its whole run is run_steps' (see there). Nothing in it throws:
// its steps call nothing and allocate nothing.
inline int execute_plain(exp_engine *e, exp_pcode *p, const exp_prepared &prepared, exp_symval **result) {
  return run_steps<false, true>(e, p, nullptr, prepared, nullptr, result);
}

// exp_execute for any program that exp_execute has allowed to run. A prepared program whose plan
// is stale gets a new one first, and runs plain when it now is.
[[gnu::noinline]] int execute_general(exp_engine *e, exp_pcode *p, exp_symval **result) {
  exp_prepared *prepared = p->prepared.get();
  if (prepared && prepared->count == p->count && prepared->plan.made_for != e->symbols.version) {
    run_plan_make(e, p, *prepared);
    if (plain_form(e, p)) return execute_plain(e, p, *prepared, result);
  }
  // A function that runs out of memory through the standard library throws; the run ends with
  // error 1 like any other failed allocation (the guards have already restored the engine's
  // state), and no exception reaches the host.
  try {
    HostRunScope host_run(e, p);
    if (e->run_depth == 0) limit_start_run(e);
    refresh_global_lists(e);
    for (exp_symval *c : e->run_reset_globals) symval_setnull(c);
    int rc = run_program(e, p, result, 0, nullptr, nullptr, nullptr);
    if (rc) {
      rc = settle_error(e, rc);
      engine_error_at_run_position(e, p);
    }
    return rc;
  } catch (const std::bad_alloc &) {
    return engine_error(e, ERR_MEMORY);
  } catch (const std::length_error &) {
    return engine_error(e, ERR_MEMORY);
  }
}

}  // namespace

int pcode_run(exp_engine *e, exp_pcode *p, exp_symval **out, int n, exp_symval **args, const exp_pcode *root,
              int *budget) {
  if (int rc = refuse_run(e, p)) return rc;
  return run_program(e, p, out, n, args, root, budget);
}

extern "C" EXP_API int exp_execute(exp_engine *e, exp_pcode *p, exp_symval **result) {
  if (!e || !p) return missing_program(e);
  // Compared here, a call per run saved; a freed program (whose engine is cleared) or a freed
  // engine is told apart on the way out.
  if (p->engine != e) return pcode_refuse_foreign(e, p);
  if (int rc = refuse_run(e, p)) return rc;
  // The host may have denied a group after compiling: the program then does not start.
  if (p->capabilities & ~e->capabilities) return capability_check_program(e, e, p, ERR_CAPABILITY_RUN);
  if (const exp_prepared *plain = plain_form(e, p)) return execute_plain(e, p, *plain, result);
  return execute_general(e, p, result);
}

extern "C" EXP_API void exp_cancel_execution(exp_pcode *p) {
  if (pcode_is_live(p)) p->cancel.store(1, std::memory_order_relaxed);
}

extern "C" EXP_API int exp_run_position(exp_pcode *p, int *line, int *column) {
  if (line) *line = 0;
  if (column) *column = 0;
  if (!pcode_is_live(p) || p->fail_pc < 0 || static_cast<size_t>(p->fail_pc) >= p->positions.size()) return 0;
  const exp_srcpos &pos = p->positions[static_cast<size_t>(p->fail_pc)];
  if (pos.line <= 0) return 0;
  if (line) *line = pos.line;
  if (column) *column = pos.column;
  return 1;
}
