// Building the prepared form of a program (see prepared.h).
#include "prepared.h"

#include <algorithm>
#include <new>

#include "executor.h"
#include "operators.h"
#include "program.h"
#include "support/decimal.h"
#include "values.h"

namespace {

exp_func_cb handler(int op) { return exp_opcode_table[op].handler; }
bool has_type(const exp_symval *c, int type) { return c && symval_type(c) == type; }

struct ArithHandler {
  int op;
  StepOp alone;      // the step for the operation by itself
  StepOp with_copy;  // the step for the operation followed by a copy of its result
};
constexpr ArithHandler kArith[] = {{OP_ADD_INT, StepOp::IntAdd, StepOp::IntAddCopy},
                                   {OP_SUB_INT, StepOp::IntSub, StepOp::IntSubCopy},
                                   {OP_MUL_INT, StepOp::IntMul, StepOp::IntMulCopy}};

struct DecimalHandler {
  int op;
  DecimalOp operation;
};
constexpr DecimalHandler kDecimal[] = {
    {OP_ADD_REAL, decSextAdd}, {OP_SUB_REAL, decSextSubtract}, {OP_MUL_REAL, decSextMultiply}};

struct CompareHandler {
  int op;
  Relation rel;
};
constexpr CompareHandler kCompare[] = {{OP_GT, Relation::Gt}, {OP_LT, Relation::Lt}, {OP_GE, Relation::Ge},
                                       {OP_LE, Relation::Le}, {OP_EQ, Relation::Eq}, {OP_NE, Relation::Ne}};

uint16_t clamp_cost(int n) { return static_cast<uint16_t>(std::min(n, 60000)); }

class Builder {
 public:
  Builder(exp_pcode *p, std::vector<exp_step> &steps, std::vector<int32_t> &index, std::vector<exp_symval *> &cells)
      : p_(p), code_(p->code), count_(p->count), steps_(steps), index_(index), cells_(cells) {}

  // Finds where the instructions start (every index but a call's operand slots) and numbers
  // their steps in `index`. False when an operand slot lies outside the program or a jump lands
  // outside it or inside a call's operand slots: such programs run only in canonical form,
  // where the executor reports the fault.
  bool well_formed() {
    index_.assign(static_cast<size_t>(count_) + 1, -1);
    int32_t steps = 0;
    for (int i = 0; i < count_; i = after(i)) {
      const exp_instr &ins = code_[i];
      bool call = ins.kind == EXP_CALL || ins.kind == EXP_UDF_CALL;
      if (call && (ins.a < 0 || ins.a > p_->max_args || i + 1 + ins.a >= count_)) return false;
      index_[static_cast<size_t>(i)] = steps++;
    }
    index_[static_cast<size_t>(count_)] = steps;  // the End step
    for (int i = 0; i < count_; i = after(i)) {
      const exp_instr &ins = code_[i];
      bool jump = ins.kind == EXP_JUMP || ins.kind == EXP_JUMP_IF_ZERO;
      if (jump && (ins.a < 0 || ins.a > count_ || index_[static_cast<size_t>(ins.a)] < 0)) return false;
    }
    steps_.resize(static_cast<size_t>(steps) + 1);
    return true;
  }

  void build() {
    find_written_cells();
    reserve_call_cells();
    // An operand slot is no instruction: its step stays canonical (a jump there runs into the
    // canonical error), so most indexes cost nothing to prepare.
    for (int i = 0; i < count_; i = after(i)) step_ref(i) = make_step(i);
    exp_step &end = step_ref(count_);
    end.op = StepOp::End;
    end.at = count_;
    end.cost = 0;
    // A loop's increment is fused with the head it jumps back to, which is built by now.
    for (int i = 0; i < count_; i = after(i)) fuse_for_next(i);
    for (exp_step &step : steps_) thread_step(step);
    // Then the last statement of a loop body with the increment after it, now built.
    for (exp_step &step : steps_) fuse_body_end(step);
  }

  uint16_t max_cost() const {
    uint16_t most = 0;
    for (const exp_step &s : steps_) most = std::max(most, s.cost);
    return most;
  }

 private:
  // Collects the cells the program may write: every call's result cell, and every argument of a
  // call that is not an operator (host and built-in functions may write their arguments; the
  // operators write only their result). Any other cell keeps the value it had when the program
  // was prepared.
  void find_written_cells() {
    for (int i = 0; i < count_; ++i) {
      const exp_instr &ins = code_[i];
      if (ins.kind != EXP_CALL && ins.kind != EXP_UDF_CALL) continue;
      written_.push_back(slot(i, 0));
      if (ins.kind == EXP_CALL && is_operator(ins.b.fn)) continue;
      for (int k = 1; k <= call_argc(i); ++k) written_.push_back(slot(i, k));
    }
    std::sort(written_.begin(), written_.end());
  }
  static bool is_operator(exp_func_cb fn) {
    for (int op = 0; op < OP_COUNT; ++op)
      if (handler(op) == fn) return true;
    return false;
  }
  // True when no instruction can change the cell: its value now is its value on every run.
  bool constant(const exp_symval *c) const { return !std::binary_search(written_.begin(), written_.end(), c); }

  // Index of the first instruction at or after i that is not a no-op; *skipped counts them.
  int skip_noops(int i, int *skipped) const {
    int n = 0;
    while (i < count_ && code_[i].kind == EXP_NOOP) ++i, ++n;
    *skipped = n;
    return i;
  }
  bool is_call(int i, int op) const {
    return i >= 0 && i < count_ && code_[i].kind == EXP_CALL && code_[i].b.fn == handler(op) && i + 1 + code_[i].a < count_;
  }
  int call_argc(int i) const { return code_[i].a; }
  bool result_is_operand(int i) const {
    for (int k = 1; k <= call_argc(i); ++k)
      if (slot(i, k) == slot(i, 0)) return true;
    return false;
  }
  // Operand slot k of the call at i: 0 is the result, 1.. the arguments.
  exp_symval *slot(int i, int k) const { return code_[i + 1 + k].b.cell; }
  int after_call(int i) const { return i + 2 + code_[i].a; }

  // The index after the instruction at i (after a call's operand slots).
  int after(int i) const {
    const exp_instr &ins = code_[i];
    return ins.kind == EXP_CALL || ins.kind == EXP_UDF_CALL ? i + 2 + ins.a : i + 1;
  }
  // The step of the instruction starting at i (or of the end, at count_).
  exp_step &step_ref(int i) const { return steps_[static_cast<size_t>(index_[static_cast<size_t>(i)])]; }
  const exp_step *step_at(int i) const { return &step_ref(i); }

  // Room for every call's argument vector, reserved before any is laid out so that the steps'
  // pointers into it stay valid.
  void reserve_call_cells() {
    size_t total = 0;
    for (int i = 0; i < count_; ++i)
      if (code_[i].kind == EXP_CALL) total += static_cast<size_t>(std::max(call_argc(i) + 1, kCallCellsMin));
    cells_.reserve(total);
  }
  // Lays out the argument vector of the call at i: its arguments, the program's own cell, then
  // padding up to kCallCellsMin entries.
  exp_symval *const *add_call_cells(int i) const {
    size_t start = cells_.size();
    for (int k = 1; k <= call_argc(i); ++k) cells_.push_back(slot(i, k));
    cells_.push_back(&p_->self);
    while (cells_.size() - start < static_cast<size_t>(kCallCellsMin)) cells_.push_back(nullptr);
    return cells_.data() + start;
  }

  // Sets one way out of a step, the no-ops where it lands folded in: where it goes, its cost
  // (`spent`, the step's own, plus the no-ops) and its last instruction (`last`, the step's own
  // last one, or the last folded no-op, which runs after it).
  void set_way(exp_step &s, const exp_step *&to, uint16_t &cost, int32_t &last_out, int at, int spent,
               int last) const {
    int skipped;
    int lands = skip_noops(at, &skipped);
    to = step_at(lands);
    cost = clamp_cost(spent + skipped);
    last_out = skipped ? lands - 1 : last;
    s.cost = std::max(s.cost, cost);
  }
  void set_next(exp_step &s, int next, int spent, int last) const {
    set_way(s, s.next, s.next_cost, s.next_last, next, spent, last);
  }
  void set_target(exp_step &s, int target, int spent, int last) const {
    set_way(s, s.target, s.target_cost, s.target_last, target, spent, last);
  }

  exp_step make_step(int i) const {
    exp_step s;
    s.at = i;
    s.next = step_at(after(i));
    const exp_instr &ins = code_[i];
    switch (ins.kind) {
      case EXP_NOOP:
        if (make_for_test(i, &s)) return s;
        s.op = StepOp::Jump;
        s.cost = 0;
        set_target(s, i + 1, 1, i);
        return s;
      case EXP_JUMP:
        s.op = StepOp::Jump;
        s.cost = 0;
        set_target(s, ins.a, 1, i);
        return s;
      case EXP_JUMP_IF_ZERO:
        if (!has_type(ins.b.cell, EXP_BOOLEAN)) return s;
        s.op = StepOp::JumpIfFalse;
        s.r = ins.b.cell;
        s.cost = 0;
        set_next(s, i + 1, 1, i);
        set_target(s, ins.a, 1, i);
        return s;
      case EXP_CALL: return make_call_step(i);
      default: return s;
    }
  }

  bool int_operands(int i) const {
    return call_argc(i) == 2 && has_type(slot(i, 0), EXP_INTEGER) && has_type(slot(i, 1), EXP_INTEGER) &&
           has_type(slot(i, 2), EXP_INTEGER);
  }
  bool real_operands(int i) const {
    return call_argc(i) == 2 && has_type(slot(i, 0), EXP_REAL) && has_type(slot(i, 1), EXP_REAL) &&
           has_type(slot(i, 2), EXP_REAL);
  }
  bool int_comparison(int i) const {
    return call_argc(i) == 2 && has_type(slot(i, 0), EXP_BOOLEAN) && has_type(slot(i, 1), EXP_INTEGER) &&
           has_type(slot(i, 2), EXP_INTEGER);
  }
  // A copy/coerce at i from `from` into an integer cell.
  bool is_int_copy_from(int i, const exp_symval *from) const {
    return is_call(i, OP_COPY_COERCE) && call_argc(i) == 1 && slot(i, 1) == from && has_type(slot(i, 0), EXP_INTEGER);
  }

  exp_step make_call_step(int i) const {
    exp_step s;
    s.at = i;
    s.next = step_at(after(i));
    for (const ArithHandler &a : kArith) {
      if (!is_call(i, a.op) || !int_operands(i)) continue;
      s.r = slot(i, 0), s.x = slot(i, 1), s.y = slot(i, 2);
      int after = after_call(i);
      if (is_int_copy_from(after, s.r)) {
        s.op = a.with_copy;
        s.v = slot(after, 0);
        set_next(s, after_call(after), 2, after);
      } else {
        s.op = a.alone;
        set_next(s, after, 1, i);
      }
      return s;
    }
    for (const CompareHandler &c : kCompare) {
      if (!is_call(i, c.op) || !int_comparison(i)) continue;
      s.rel = c.rel;
      s.r = slot(i, 0), s.x = slot(i, 1), s.y = slot(i, 2);
      int after = after_call(i);
      if (after < count_ && code_[after].kind == EXP_JUMP_IF_ZERO && code_[after].b.cell == s.r) {
        s.op = StepOp::IntCompareJump;
        s.cost = 0;
        set_next(s, after + 1, 2, after);
        set_target(s, code_[after].a, 2, after);
      } else {
        s.op = StepOp::IntCompare;
        set_next(s, after, 1, i);
      }
      return s;
    }
    if (is_call(i, OP_COPY_COERCE) && call_argc(i) == 1) {
      exp_symval *to = slot(i, 0), *from = slot(i, 1);
      int t = symval_type(to), f = symval_type(from);
      bool decimal_to = t == EXP_REAL || t == EXP_DATE;
      if ((f == t && (t == EXP_INTEGER || t == EXP_BOOLEAN || decimal_to)) || (f == EXP_INTEGER && decimal_to)) {
        s.op = f != t ? StepOp::IntToDecimal : decimal_to ? StepOp::CopyDecimal : StepOp::CopyInt;
        s.v = to, s.x = from;
        set_next(s, after_call(i), 1, i);
        return s;
      }
    }
    for (const DecimalHandler &d : kDecimal) {
      if (!is_call(i, d.op) || !real_operands(i)) continue;
      s.op = StepOp::DecimalArith;
      s.dec = d.operation;
      s.r = slot(i, 0), s.x = slot(i, 1), s.y = slot(i, 2);
      set_next(s, after_call(i), 1, i);
      return s;
    }
    if (is_call(i, OP_NULL_CHECK) && call_argc(i) == 1) {
      s.op = StepOp::NullCheck;
      s.r = slot(i, 0), s.x = slot(i, 1);
      set_next(s, after_call(i), 1, i);
      return s;
    }
    // A call whose result cell is also an operand runs as its canonical instruction, which keeps
    // that cell as it stood for the callee to read (see prepare_result in the run loop).
    if (result_is_operand(i)) return s;
    // Any other call: its operands are fixed, so its argument vector is laid out now, and whether
    // the result holds objects is known.
    s.op = symval_type(slot(i, 0)) == EXP_OBJECT ? StepOp::CallObject : StepOp::Call;
    s.fn = code_[i].b.fn;
    s.argc = call_argc(i);
    s.r = slot(i, 0);
    s.cells = add_call_cells(i);
    s.next = step_at(after_call(i));  // not folded: p->pc must point right after the call's slots
    s.next_cost = 1;
    s.next_last = i;
    return s;
  }

  // The head of a `for` loop as the compiler lays it out:
  //   TOP: no-op; var = counter; test = step > zero; if not test goto NEG;
  //        test = counter <= limit; if not test goto END; goto BODY;
  //   NEG: test = counter >= limit; if not test goto END;
  //   BODY: no-op ...
  // Fused when every cell is an integer (test a boolean).
  bool make_for_test(int top, exp_step *out) const {
    int copy = top + 1;
    if (!is_call(copy, OP_COPY_COERCE) || call_argc(copy) != 1) return false;
    exp_symval *var = slot(copy, 0), *counter = slot(copy, 1);
    int gt = after_call(copy);
    if (!is_call(gt, OP_GT) || !int_comparison(gt)) return false;
    exp_symval *test = slot(gt, 0), *step = slot(gt, 1), *zero = slot(gt, 2);
    int jz_neg = after_call(gt);
    int le = jz_neg + 1;
    if (jz_neg >= count_ || code_[jz_neg].kind != EXP_JUMP_IF_ZERO || code_[jz_neg].b.cell != test) return false;
    if (!is_call(le, OP_LE) || !int_comparison(le) || slot(le, 0) != test || slot(le, 1) != counter) return false;
    exp_symval *limit = slot(le, 2);
    int jz_end = after_call(le), jump_body = jz_end + 1, ge = jump_body + 1;
    if (ge >= count_ || code_[jz_end].kind != EXP_JUMP_IF_ZERO || code_[jz_end].b.cell != test) return false;
    if (code_[jump_body].kind != EXP_JUMP || code_[jz_neg].a != ge) return false;
    if (!is_call(ge, OP_GE) || !int_comparison(ge) || slot(ge, 0) != test || slot(ge, 1) != counter ||
        slot(ge, 2) != limit)
      return false;
    int jz_end2 = after_call(ge), body = jz_end2 + 1;
    if (body >= count_ || code_[jz_end2].kind != EXP_JUMP_IF_ZERO || code_[jz_end2].b.cell != test ||
        code_[jz_end2].a != code_[jz_end].a || code_[jump_body].a != body || code_[body].kind != EXP_NOOP)
      return false;
    if (!has_type(var, EXP_INTEGER) || !has_type(counter, EXP_INTEGER)) return false;
    exp_step &s = *out;
    s.op = StepOp::ForTest;
    s.var = var, s.counter = counter, s.limit = limit, s.step = step, s.zero = zero, s.test = test;
    s.cost = 0;
    // Up: no-op, copy, gt, jz, le, jz, jump (7) then BODY; down: no-op, copy, gt, jz, ge, jz (6).
    set_next(s, body, 7, jump_body);
    int skipped;
    skip_noops(body, &skipped);
    s.down_cost = clamp_cost(6 + skipped);
    s.cost = std::max(s.cost, s.down_cost);
    set_target(s, code_[jz_end].a, 6, jz_end);
    return true;
  }

  // counter = counter + step; goto TOP, where TOP's step is a fused loop head on that counter.
  void fuse_for_next(int i) {
    if (!is_call(i, OP_ADD_INT) || !int_operands(i)) return;
    int jump = after_call(i);
    if (jump >= count_ || code_[jump].kind != EXP_JUMP) return;
    int top = code_[jump].a;
    if (top < 0 || top >= count_) return;
    const exp_step &head = step_ref(top);
    if (head.op != StepOp::ForTest || slot(i, 0) != head.counter || slot(i, 1) != head.counter ||
        slot(i, 2) != head.step)
      return;
    exp_step s = head;
    s.op = StepOp::ForNext;
    s.at = i;
    // A step and zero that nothing writes fix the loop's direction for good.
    if (constant(head.step) && constant(head.zero) && !symval_is_null(head.step) && !symval_is_null(head.zero) &&
        head.step->value.i > head.zero->value.i) {
      s.op = StepOp::ForNextUp;
      s.stride = head.step->value.i;
    }
    s.cost = clamp_cost(head.cost + 2);
    s.next_cost = clamp_cost(head.next_cost + 2);
    s.down_cost = clamp_cost(head.down_cost + 2);
    s.target_cost = clamp_cost(head.target_cost + 2);
    step_ref(i) = s;
  }

  // A step that continues at a jump continues where the jump goes, the jump's cost added: the
  // end of a `then` branch, of a `while` body. Chains are followed a few jumps deep (a jump may
  // lead to itself). Calls keep their `next`, which is where the program counter stands while
  // the callee runs; a jump's own `next` means nothing. A step whose two ways would then meet
  // having run different instructions is left alone: an interrupt tells them apart by where
  // they continue.
  static void thread_jumps(exp_step &s) {
    switch (s.op) {
      case StepOp::Canonical: case StepOp::Call: case StepOp::CallObject: case StepOp::End: case StepOp::Jump: break;
      default: follow_jumps(s.next, s.next_cost, s.next_last, &s.down_cost);
    }
    if (s.op != StepOp::Canonical && s.op != StepOp::End) follow_jumps(s.target, s.target_cost, s.target_last, nullptr);
    s.cost = std::max({s.cost, s.next_cost, s.target_cost, s.down_cost});
  }
  static void follow_jumps(const exp_step *&to, uint16_t &cost, int32_t &last, uint16_t *other_cost) {
    constexpr int kMaxHops = 4;
    for (int hop = 0; hop < kMaxHops && to && to->op == StepOp::Jump; ++hop) {
      const exp_step &jump = *to;
      to = jump.target;
      cost = clamp_cost(cost + jump.target_cost);
      if (other_cost && *other_cost) *other_cost = clamp_cost(*other_cost + jump.target_cost);
      last = jump.target_last;
    }
  }
  // Threads one step, keeping its two ways apart (see thread_jumps).
  static void thread_step(exp_step &s) {
    auto is_jump = [](const exp_step *to) { return to && to->op == StepOp::Jump; };
    if (!is_jump(s.next) && !is_jump(s.target)) return;  // most steps: nothing to follow
    exp_step threaded = s;
    thread_jumps(threaded);
    if (threaded.next == threaded.target && threaded.next_last != threaded.target_last && s.next != s.target) return;
    s = threaded;
  }

  // An integer arithmetic-and-copy step followed by a ForNextUp step takes that step in: one
  // dispatch per turn of a loop whose body ends with such an assignment.
  static void fuse_body_end(exp_step &s) {
    StepOp fused;
    switch (s.op) {
      case StepOp::IntAddCopy: fused = StepOp::IntAddCopyLoop; break;
      case StepOp::IntSubCopy: fused = StepOp::IntSubCopyLoop; break;
      case StepOp::IntMulCopy: fused = StepOp::IntMulCopyLoop; break;
      default: return;
    }
    const exp_step &loop = *s.next;
    if (loop.op != StepOp::ForNextUp) return;
    s.op = fused;
    s.loop = &loop;
    s.var = loop.var, s.counter = loop.counter, s.limit = loop.limit, s.test = loop.test;
    s.stride = loop.stride;
    s.loop_cost = s.next_cost;
    s.loop_last = s.next_last;
    s.next = loop.next;
    s.next_cost = clamp_cost(s.loop_cost + loop.next_cost);
    s.next_last = loop.next_last;
    s.target = loop.target;
    s.target_cost = clamp_cost(s.loop_cost + loop.target_cost);
    s.target_last = loop.target_last;
    s.cost = std::max({s.loop_cost, s.next_cost, s.target_cost});
  }

  exp_pcode *p_;
  const exp_instr *code_;
  int count_;
  std::vector<exp_step> &steps_;
  std::vector<int32_t> &index_;              // step of each instruction start, -1 in operand slots
  std::vector<exp_symval *> &cells_;         // the calls' argument vectors
  std::vector<const exp_symval *> written_;  // sorted
};

}  // namespace

void PreparedDeleter::operator()(exp_prepared *prepared) const { delete prepared; }

const char *step_name(StepOp op) {
  static constexpr const char *kNames[] = {
#define EXP_STEP_NAME(name, meaning) #name,
      EXP_STEP_OPS(EXP_STEP_NAME)
#undef EXP_STEP_NAME
  };
  return kNames[static_cast<size_t>(op)];
}

int pcode_prepare(exp_pcode *p) {
  try {
    std::unique_ptr<exp_prepared, PreparedDeleter> prepared(new exp_prepared());
    for (exp_sym *s = p->locals.first; s; s = s->next) {
      if (reset_each_run(&s->cell)) prepared->reset_cells.push_back(&s->cell);
      if (released_each_run(&s->cell)) prepared->release_cells.push_back(&s->cell);
    }
    Builder builder(p, prepared->steps, prepared->index, prepared->call_cells);
    if (builder.well_formed()) {
      builder.build();
      prepared->max_cost = builder.max_cost();
      prepared->count = p->count;
    } else {
      prepared->steps.clear();
      prepared->index.clear();
    }
    p->prepared = std::move(prepared);
  } catch (const std::bad_alloc &) {
    p->prepared.reset();
    return 1;
  }
  return 0;
}
