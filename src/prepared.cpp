// Building the prepared form of a program (see prepared.h).
#include "prepared.h"

#include <algorithm>
#include <array>
#include <cassert>
#include <cstdint>
#include <functional>
#include <iterator>
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

// The row of `table` (one of the three above) for operator `op`, which the caller knows is there.
template <class Row, size_t N>
const Row &row_for(const Row (&table)[N], int op) {
  return *std::find_if(std::begin(table), std::end(table), [op](const Row &r) { return r.op == op; });
}

uint16_t clamp_cost(int n) { return static_cast<uint16_t>(std::min(n, 60000)); }

// The operators by handler, sorted for a binary search (the first operator of a handler first).
// Built once.
struct HandlerOp {
  exp_func_cb fn;
  int op;
};
using HandlerOps = std::array<HandlerOp, OP_COUNT>;
const HandlerOps &handler_ops() {
  static const HandlerOps table = [] {
    HandlerOps t{};
    for (int op = 0; op < OP_COUNT; ++op) t[static_cast<size_t>(op)] = {handler(op), op};
    std::sort(t.begin(), t.end(), [](const HandlerOp &a, const HandlerOp &b) {
      return std::less<>{}(a.fn, b.fn) || (a.fn == b.fn && a.op < b.op);
    });
    return t;
  }();
  return table;
}

// The operator whose handler `fn` is, or OP_COUNT for any other callback: one search per call
// instead of one comparison per operator and shape.
int operator_of(exp_func_cb fn) {
  const HandlerOps &t = handler_ops();
  auto it = std::lower_bound(t.begin(), t.end(), fn,
                             [](const HandlerOp &h, exp_func_cb f) { return std::less<>{}(h.fn, f); });
  return it != t.end() && it->fn == fn ? it->op : OP_COUNT;
}

class Builder {
 public:
  Builder(exp_pcode *p, exp_prepared &prepared)
      : p_(p),
        code_(p->code),
        count_(p->count),
        steps_(prepared.steps),
        index_(prepared.index),
        cells_(prepared.call_cells),
        turns_(prepared.turns) {}

  // Finds where the instructions start (every index but a call's operand slots) and numbers
  // their steps in `index`. False when an operand slot lies outside the program or a jump lands
  // outside it or inside a call's operand slots: such programs run only in canonical form,
  // where the executor reports the fault.
  bool well_formed() {
    index_.assign(static_cast<size_t>(count_) + 1, -1);
    int32_t steps = 0;
    call_cells_ = 0;
    calls_ = 0;
    for (int i = 0; i < count_; i = after(i)) {
      const exp_instr &ins = code_[i];
      bool call = ins.kind == EXP_CALL || ins.kind == EXP_UDF_CALL;
      if (call && (ins.a < 0 || ins.a > p_->max_args || i + 1 + ins.a >= count_)) return false;
      index_[static_cast<size_t>(i)] = steps++;
      if (ins.kind == EXP_CALL) call_cells_ += static_cast<size_t>(std::max(ins.a + 1, kCallCellsMin));
      calls_ += call;
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
    find_noop_runs();
    // Room for every call's argument vector, reserved before any is laid out so that the steps'
    // pointers into it stay valid.
    cells_.reserve(call_cells_);
    // Only loops ask which cells are written.
    if (!p_->loops.empty()) written_.reserve(calls_);
    // An operand slot is no instruction: its step stays canonical (a jump there runs into the
    // canonical error), so most indexes cost nothing to prepare. Each step is made where it lies.
    for (int i = 0; i < count_; i = after(i)) make_step(i, step_ref(i));
    exp_step &end = step_ref(count_);
    end.op = StepOp::End;
    end.at = count_;
    end.cost = 0;
    make_loop_steps();
    for (exp_step &step : steps_) thread_step(step);
    // Then the last statement of a loop body with the increment after it, now built.
    for (exp_step &step : steps_) fuse_body_end(step);
    // Only the ...Loop steps, rare, have turns or registers to find; neither depends on the other.
    for (exp_step &step : steps_) {
      if (!step.is_body_end()) continue;
      make_body_turns(step);
      hold_in_registers(step);
    }
  }

  uint16_t max_cost() const {
    uint16_t most = 0;
    for (const exp_step &s : steps_) most = std::max(most, s.cost);
    return most;
  }

  // Checks, in debug builds, what the run loop relies on: a step's cost covers every way out of
  // it (so a budget of at least that cost fits whichever it takes), and every way leads to a step.
  void check_steps() const {
#ifndef NDEBUG
    for (const exp_step &s : steps_) {
      if (s.op == StepOp::End || s.op == StepOp::Canonical) continue;
      assert(s.cost >= s.next.cost && s.cost >= s.target.cost);
      assert(s.op == StepOp::Jump || s.next.to);
      assert(s.next.to || s.target.to);
      if (s.is_loop_step()) assert(s.cost >= s.down_cost() && s.target.to);
      if (s.is_body_end() || s.op == StepOp::ForNext || s.op == StepOp::ForNextUp)
        assert(s.cost >= s.loop().cost && s.loop().to);
    }
#endif
  }

 private:
  // operator_of through a small cache by address: a program calls few handlers, many times.
  int cached_operator_of(exp_func_cb fn) {
    auto &entry = recent_[(reinterpret_cast<uintptr_t>(fn) >> 4) % recent_.size()];
    if (entry.fn != fn) entry = HandlerOp{fn, operator_of(fn)};
    return entry.op;
  }

  // Notes the cells the call at i (of operator `op`, OP_COUNT for none) may write: its result
  // cell, and every argument of a call that is not an operator (host and built-in functions may
  // write their arguments; the operators write only their result). Any other cell keeps the
  // value it had when the program was prepared.
  void note_written(int i, int op) {
    if (p_->loops.empty()) return;
    written_.push_back(slot(i, 0));
    if (op != OP_COUNT) return;
    for (int k = 1; k <= call_argc(i); ++k) written_.push_back(slot(i, k));
  }
  // Keeps of the written cells only those among `asked`, sorted: one pass in which a filter of
  // the asked cells' addresses turns most away before any search (a program writes thousands of
  // cells, and its loops ask about a few each).
  void keep_written_among(std::vector<const exp_symval *> asked) {
    std::sort(asked.begin(), asked.end());
    constexpr size_t kBits = 256;
    auto bit = [](const exp_symval *c) { return (reinterpret_cast<uintptr_t>(c) >> 3) % kBits; };
    std::array<uint64_t, kBits / 64> filter{};
    for (const exp_symval *c : asked) filter[bit(c) / 64] |= uint64_t{1} << (bit(c) % 64);
    size_t kept = 0;
    for (const exp_symval *c : written_)
      if ((filter[bit(c) / 64] >> (bit(c) % 64) & 1) && std::binary_search(asked.begin(), asked.end(), c))
        written_[kept++] = c;
    written_.resize(kept);
    std::sort(written_.begin(), written_.end());
  }
  // True when no instruction can change the cell, one of those keep_written_among was asked
  // about: its value now is its value on every run.
  bool constant(const exp_symval *c) const { return !std::binary_search(written_.begin(), written_.end(), c); }

  // Index of the first instruction at or after i that is not a no-op; *skipped counts them.
  // Read from a table made once: walking a run of no-ops for each of its members would make
  // preparing quadratic in the run's length (thousands of labels in a row).
  int skip_noops(int i, int *skipped) const {
    const int lands = i < count_ ? noops_end_[static_cast<size_t>(i)] : i;
    *skipped = lands - i;
    return lands;
  }
  // For each index, the first index at or after it that is not a no-op (see skip_noops).
  void find_noop_runs() {
    noops_end_.resize(static_cast<size_t>(count_) + 1);
    noops_end_[static_cast<size_t>(count_)] = count_;
    for (int i = count_ - 1; i >= 0; --i)
      noops_end_[static_cast<size_t>(i)] = code_[i].kind == EXP_NOOP ? noops_end_[static_cast<size_t>(i) + 1] : i;
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
  void set_way(exp_step &s, Way &way, int at, int spent, int last) const {
    int skipped;
    int lands = skip_noops(at, &skipped);
    way.to = step_at(lands);
    way.cost = clamp_cost(spent + skipped);
    way.last = skipped ? lands - 1 : last;
    s.cost = std::max(s.cost, way.cost);
  }
  void set_next(exp_step &s, int next, int spent, int last) const { set_way(s, s.next, next, spent, last); }
  void set_target(exp_step &s, int target, int spent, int last) const { set_way(s, s.target, target, spent, last); }

  // Makes the step of the instruction at i in `s`, a step as default-made.
  void make_step(int i, exp_step &s) {
    s.at = i;
    const exp_instr &ins = code_[i];
    switch (ins.kind) {
      case EXP_NOOP:
        s.next.to = step_at(i + 1);
        s.op = StepOp::Jump;
        s.cost = 0;
        set_target(s, i + 1, 1, i);
        return;
      case EXP_JUMP:
        s.next.to = step_at(i + 1);
        s.op = StepOp::Jump;
        s.cost = 0;
        set_target(s, ins.a, 1, i);
        return;
      case EXP_JUMP_IF_ZERO:
        s.next.to = step_at(i + 1);
        if (!has_type(ins.b.cell, EXP_BOOLEAN)) return;
        s.op = StepOp::JumpIfFalse;
        s.r = ins.b.cell;
        s.cost = 0;
        set_next(s, i + 1, 1, i);
        set_target(s, ins.a, 1, i);
        return;
      case EXP_CALL: {
        s.next.to = step_at(after_call(i));
        const int op = cached_operator_of(ins.b.fn);
        note_written(i, op);
        make_call_step(i, op, s);
        return;
      }
      case EXP_UDF_CALL:
        s.next.to = step_at(after_call(i));
        note_written(i, OP_COUNT);
        return;
      default: s.next.to = step_at(i + 1); return;
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

  // Makes the step of the call at i, whose handler is that of operator `op` (OP_COUNT for a
  // function), in `s` (its `at` and `next.to` set): the operator's own step where its operand
  // types allow one, else a generic call step.
  void make_call_step(int i, int op, exp_step &s) const {
    switch (op) {
      case OP_ADD_INT: case OP_SUB_INT: case OP_MUL_INT:
        if (int_operands(i)) return make_int_arith(i, op, s);
        break;
      case OP_GT: case OP_LT: case OP_GE: case OP_LE: case OP_EQ: case OP_NE:
        if (int_comparison(i)) return make_int_compare(i, op, s);
        break;
      case OP_COPY_COERCE:
        if (call_argc(i) == 1 && make_copy(i, s)) return;
        break;
      case OP_ADD_REAL: case OP_SUB_REAL: case OP_MUL_REAL:
        if (real_operands(i)) return make_decimal_arith(i, op, s);
        break;
      case OP_NULL_CHECK:
        if (call_argc(i) != 1) break;
        s.op = StepOp::NullCheck;
        s.r = slot(i, 0), s.x = slot(i, 1);
        return set_next(s, after_call(i), 1, i);
      default: break;
    }
    // A call whose result cell is also an operand runs as its canonical instruction, which keeps
    // that cell as it stood for the callee to read (see prepare_result in the run loop).
    if (result_is_operand(i)) return;
    // Any other call: its operands are fixed, so its argument vector is laid out now, and whether
    // the result holds objects is known.
    s.op = symval_type(slot(i, 0)) == EXP_OBJECT ? StepOp::CallObject : StepOp::Call;
    s.set_call(code_[i].b.fn, call_argc(i), add_call_cells(i));
    s.r = slot(i, 0);
    s.next = Way{step_at(after_call(i)), 1, i};  // not folded: p->pc must stand right after the slots
  }

  // Integer addition, subtraction or multiplication, fused with a copy of its result after it.
  void make_int_arith(int i, int op, exp_step &s) const {
    const ArithHandler &a = row_for(kArith, op);
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
  }

  // An integer comparison, fused with a conditional jump on its result after it.
  void make_int_compare(int i, int op, exp_step &s) const {
    const CompareHandler &c = row_for(kCompare, op);
    s.set_rel(c.rel);
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
  }

  // A copy between cells of one numeric type, or from an integer into a decimal cell; false
  // (the step untouched) for any other copy.
  bool make_copy(int i, exp_step &s) const {
    exp_symval *to = slot(i, 0), *from = slot(i, 1);
    int t = symval_type(to), f = symval_type(from);
    bool decimal_to = t == EXP_REAL || t == EXP_DATE;
    if (!((f == t && (t == EXP_INTEGER || t == EXP_BOOLEAN || decimal_to)) || (f == EXP_INTEGER && decimal_to)))
      return false;
    s.op = f != t ? StepOp::IntToDecimal : decimal_to ? StepOp::CopyDecimal : StepOp::CopyInt;
    s.v = to, s.x = from;
    set_next(s, after_call(i), 1, i);
    return true;
  }

  // Real addition, subtraction or multiplication through the decimal operation itself.
  void make_decimal_arith(int i, int op, exp_step &s) const {
    const DecimalHandler &d = row_for(kDecimal, op);
    s.op = StepOp::DecimalArith;
    s.set_dec(d.operation);
    s.r = slot(i, 0), s.x = slot(i, 1), s.y = slot(i, 2);
    set_next(s, after_call(i), 1, i);
  }

  // Where the canonical instructions from `from` lead when the conditional jumps they meet see
  // `direction` and then `more`, up to the loop's body or end: the instruction reached, how many
  // ran and the last of them. None (`to` -1) when the way meets anything but no-ops, jumps and
  // calls, a third conditional jump, or neither place within a few instructions.
  struct HeadPath {
    int to = -1, cost = 0, last = 0;
  };
  // The four ways out of a loop's head, by the first test's answer and the second's.
  struct HeadWays {
    HeadPath way[2][2];  // [direction][more]
  };
  static constexpr int kMaxHeadLength = 32;
  enum class Leg { Arrived, Test, Lost };
  // Walks `way` on from `at` (n instructions walked so far) up to the loop's body or end
  // (Arrived, `way.to` set), a conditional jump (Test: `at` is the jump, counted in `way`), or
  // anything else (Lost).
  Leg walk_head(int &at, int &n, HeadPath &way, const exp_for_loop &loop) const {
    for (; n < kMaxHeadLength && at >= 0 && at < count_ && index_[static_cast<size_t>(at)] >= 0; ++n) {
      if (at == loop.body || at == loop.end) {
        way.to = at;
        return Leg::Arrived;
      }
      const exp_instr &ins = code_[at];
      way.last = at;
      ++way.cost;
      switch (ins.kind) {
        case EXP_NOOP: at = at + 1; break;
        case EXP_JUMP: at = ins.a; break;
        case EXP_CALL: at = after(at); break;
        case EXP_JUMP_IF_ZERO: ++n; return Leg::Test;
        default: return Leg::Lost;
      }
    }
    return Leg::Lost;
  }
  // Follows the head from `from` once, branching at its conditional jumps: the part of the way
  // before a test is walked once for every answer that shares it.
  HeadWays follow_head(int from, const exp_for_loop &loop) const {
    HeadWays ways;
    auto fill = [](HeadPath *pair, const HeadPath &way) { pair[0] = pair[1] = way; };
    HeadPath way;
    int at = from, n = 0;
    Leg leg = walk_head(at, n, way, loop);
    if (leg != Leg::Test) {
      const HeadPath all = leg == Leg::Arrived ? way : HeadPath{};
      fill(ways.way[0], all), fill(ways.way[1], all);
      return ways;
    }
    for (int direction = 0; direction < 2; ++direction) {
      HeadPath first = way;
      int at1 = direction ? at + 1 : code_[at].a, n1 = n;
      leg = walk_head(at1, n1, first, loop);
      if (leg != Leg::Test) {
        fill(ways.way[direction], leg == Leg::Arrived ? first : HeadPath{});
        continue;
      }
      for (int more = 0; more < 2; ++more) {
        HeadPath second = first;
        int at2 = more ? at1 + 1 : code_[at1].a, n2 = n1;
        // A third test is more than a head holds.
        ways.way[direction][more] = walk_head(at2, n2, second, loop) == Leg::Arrived ? second : HeadPath{};
      }
    }
    return ways;
  }

  // True when the loop's parts lie where instructions start and the cells it runs on are integers
  // (the test a boolean): the loop steps can stand for its head and increment.
  bool loop_fits(const exp_for_loop &loop) const {
    for (int at : {loop.top, loop.body, loop.next, loop.end})
      if (at < 0 || at > count_ || index_[static_cast<size_t>(at)] < 0) return false;
    for (const exp_symval *c : {loop.var, loop.counter, loop.limit, loop.step, loop.zero})
      if (!has_type(c, EXP_INTEGER)) return false;
    return has_type(loop.test, EXP_BOOLEAN) && is_call(loop.next, OP_ADD_INT) && call_argc(loop.next) == 2 &&
           slot(loop.next, 0) == loop.counter && slot(loop.next, 1) == loop.counter && slot(loop.next, 2) == loop.step;
  }

  // The ForTest step of a loop's head, run when it is reached from `from` (the head itself, or
  // the increment before it): false when a way out of the head could not be followed, or the two
  // ways to the end differ.
  bool make_for_test(const exp_for_loop &loop, int from, exp_step *out) const {
    const HeadWays ways = follow_head(from, loop);
    const HeadPath &up = ways.way[1][1], &down = ways.way[0][1], &up_end = ways.way[1][0], &down_end = ways.way[0][0];
    if (up.to != loop.body || down.to != loop.body || up_end.to != loop.end || down_end.to != loop.end ||
        up_end.cost != down_end.cost)
      return false;
    exp_step &s = *out;
    s.op = StepOp::ForTest;
    s.at = from;
    s.set_loop_cells(LoopCells{loop.var, loop.counter, loop.limit, loop.step, loop.zero, loop.test});
    s.cost = 0;
    set_next(s, loop.body, up.cost, up.last);
    int skipped;
    skip_noops(loop.body, &skipped);
    s.set_down_cost(clamp_cost(down.cost + skipped));
    s.cost = std::max(s.cost, s.down_cost());
    set_target(s, loop.end, up_end.cost, up_end.last);
    return true;
  }

  // The steps of every `for` loop the compiler declared that fits them: a ForTest step for its
  // head, and for its increment a ForNext step that goes on into the head (ForNextUp when the
  // step and zero cells are constant and the loop counts up, so the direction is known now). The
  // increment's `loop` way goes on past the increment alone, for when the head cannot run inline.
  void make_loop_steps() {
    std::vector<const exp_symval *> asked;
    for (const exp_for_loop &loop : p_->loops) asked.insert(asked.end(), {loop.step, loop.zero});
    keep_written_among(std::move(asked));
    for (const exp_for_loop &loop : p_->loops) {
      exp_step head, next;
      if (!loop_fits(loop) || !make_for_test(loop, loop.top, &head) || !make_for_test(loop, loop.next, &next))
        continue;
      step_ref(loop.top) = head;
      next.op = StepOp::ForNext;
      next.set_loop(Way{step_at(after(loop.next)), 1, loop.next});
      if (constant(loop.step) && constant(loop.zero) && !symval_is_null(loop.step) && !symval_is_null(loop.zero) &&
          loop.step->value.i > loop.zero->value.i) {
        next.op = StepOp::ForNextUp;
        next.set_stride(loop.step->value.i);
      }
      step_ref(loop.next) = next;
    }
  }

  // A step that continues at a jump continues where the jump goes, the jump's cost added: the
  // end of a `then` branch, of a `while` body. Chains are followed a few jumps deep (a jump may
  // lead to itself). Calls keep their `next`, which is where the program counter stands while
  // the callee runs; a jump's own `next` means nothing. A step whose two ways would then meet
  // having run different instructions is left alone: an interrupt tells them apart by where
  // they continue.
  // The fields of a step that threading changes, apart from the step until they are kept.
  struct Threaded {
    Way next, target;
    uint16_t cost, down;
  };
  static void thread_jumps(const exp_step &s, Threaded &t) {
    switch (s.op) {
      case StepOp::Canonical: case StepOp::Call: case StepOp::CallObject: case StepOp::End: case StepOp::Jump: break;
      default:
        follow_jumps(t.next, &t.down);
        t.cost = std::max(t.cost, t.down);
    }
    if (s.op != StepOp::Canonical && s.op != StepOp::End) follow_jumps(t.target, nullptr);
    t.cost = std::max({t.cost, t.next.cost, t.target.cost});
  }
  static void follow_jumps(Way &way, uint16_t *other_cost) {
    constexpr int kMaxHops = 4;
    for (int hop = 0; hop < kMaxHops && way.to && way.to->op == StepOp::Jump; ++hop) {
      const Way &jump = way.to->target;
      if (other_cost && *other_cost) *other_cost = clamp_cost(*other_cost + jump.cost);
      way = Way{jump.to, clamp_cost(way.cost + jump.cost), jump.last};
    }
  }
  // Threads one step, keeping its two ways apart (see thread_jumps).
  static void thread_step(exp_step &s) {
    auto is_jump = [](const exp_step *to) { return to && to->op == StepOp::Jump; };
    if (!is_jump(s.next.to) && !is_jump(s.target.to)) return;  // most steps: nothing to follow
    Threaded t{s.next, s.target, s.cost, static_cast<uint16_t>(s.is_loop_step() ? s.down_cost() : 0)};
    thread_jumps(s, t);
    if (t.next.to == t.target.to && t.next.last != t.target.last && s.next.to != s.target.to) return;
    s.next = t.next;
    s.target = t.target;
    s.cost = t.cost;
    if (s.is_loop_step()) s.set_down_cost(t.down);
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
    const exp_step &loop = *s.next.to;
    if (loop.op != StepOp::ForNextUp) return;
    s.op = fused;
    s.set_loop(s.next);
    s.set_loop_cells(loop.loop_cells());
    s.set_stride(loop.stride());
    // Running on through the loop step: its own ways, with the way to it added.
    s.next = Way{loop.next.to, clamp_cost(s.loop().cost + loop.next.cost), loop.next.last};
    s.target = Way{loop.target.to, clamp_cost(s.loop().cost + loop.target.cost), loop.target.last};
    s.cost = std::max({s.loop().cost, s.next.cost, s.target.cost});
  }

  // The operation of a step that BodyTurns can run in a loop body: one that always goes on to
  // `next` and works on integer payloads alone. False for any other step.
  static bool turn_op(const exp_step &b, TurnOp *op) {
    using Kind = TurnOp::Kind;
    struct Shape {
      StepOp step;
      Kind kind;
      bool copy;
    };
    static constexpr Shape kShapes[] = {
        {StepOp::IntAdd, Kind::Add, false},     {StepOp::IntSub, Kind::Sub, false},
        {StepOp::IntMul, Kind::Mul, false},     {StepOp::IntAddCopy, Kind::Add, true},
        {StepOp::IntSubCopy, Kind::Sub, true},  {StepOp::IntMulCopy, Kind::Mul, true},
        {StepOp::CopyInt, Kind::Copy, true},    {StepOp::IntCompare, Kind::Compare, false},
    };
    for (const Shape &shape : kShapes) {
      if (b.op != shape.step) continue;
      op->kind = shape.kind;
      op->r = b.r, op->x = b.x, op->y = b.y;
      op->v = shape.copy ? b.v : b.r;
      if (shape.kind == Kind::Compare) op->rel = b.rel();
      return true;
    }
    return false;
  }

  // A loop body that ends in a ...Loop step and runs into it through a few integer operations in
  // a row gets BodyTurns, so that its later turns skip the null flags and the dispatch between
  // its steps.
  void make_body_turns(exp_step &s) {
    constexpr size_t kMostOps = 8;
    if (!s.is_body_end() || s.next.to == &s) return;
    // The walk gathers the operations in place, so that a body the turns cannot run costs no
    // allocation, and the vectors of one they can run are sized once.
    std::array<TurnOp, kMostOps> ops;
    size_t count = 0;
    int before = 0;
    int32_t last = s.next.last;
    for (const exp_step *b = s.next.to; b != &s; b = b->next.to) {
      if (!b || count == kMostOps || !turn_op(*b, &ops[count])) return;
      TurnOp &op = ops[count++];
      op.before = clamp_cost(before);
      op.last = last;
      op.step = b;
      before += b->next.cost;
      last = b->next.last;
    }
    if (before + s.cost > 30000) return;
    auto turns = std::make_unique<BodyTurns>();
    turns->ops.assign(ops.begin(), ops.begin() + static_cast<std::ptrdiff_t>(count));
    turns->cells.reserve(4 * count + 8);
    for (const TurnOp &op : turns->ops)
      for (exp_symval *c : {op.r, op.x, op.y, op.v})
        if (c) turns->cells.push_back(c);
    turns->body_cost = clamp_cost(before);
    turns->body_last = last;
    const LoopCells &c = s.loop_cells();
    for (exp_symval *cell : {s.r, s.x, s.y, s.v, c.counter, c.var, c.test, c.limit}) turns->cells.push_back(cell);
    std::sort(turns->cells.begin(), turns->cells.end());
    turns->cells.erase(std::unique(turns->cells.begin(), turns->cells.end()), turns->cells.end());
    s.set_turns(turns.get());
    turns_.push_back(std::move(turns));
  }

  // A one-step loop body whose turns can keep the payloads in registers: the cells a turn writes
  // (result, copy, counter, variable, test) are distinct from each other except result and copy,
  // which always hold the same value, the limit is none of them, and each operand is one of them
  // that holds the result or the counter, or a cell no turn writes.
  static void hold_in_registers(exp_step &s) {
    if (!s.is_body_end() || s.next.to != &s || s.stride() <= 0 || s.next.cost == 0) return;
    const LoopCells &c = s.loop_cells();
    const exp_symval *written[] = {s.r, s.v, c.counter, c.var, c.test};
    for (size_t a = 0; a < std::size(written); ++a) {
      if (written[a] == c.limit) return;
      for (size_t b = a + 1; b < std::size(written); ++b)
        if (written[a] == written[b] && a + b != 1) return;
    }
    auto held = [&](const exp_symval *operand, Held *where) {
      if (operand == s.r || operand == s.v) *where = Held::Result;
      else if (operand == c.counter || operand == c.var) *where = Held::Counter;
      else if (operand == c.test) return false;
      else *where = Held::Fixed;
      return true;
    };
    Held x, y;
    if (held(s.x, &x) && held(s.y, &y)) s.set_held(x, y);
  }

  exp_pcode *p_;
  const exp_instr *code_;
  int count_;
  std::vector<exp_step> &steps_;
  std::vector<int32_t> &index_;              // step of each instruction start, -1 in operand slots
  std::vector<exp_symval *> &cells_;         // the calls' argument vectors
  std::vector<std::unique_ptr<BodyTurns>> &turns_;  // the multi-step loop bodies
  std::vector<const exp_symval *> written_;  // the cells calls write, then those of them asked about
  size_t call_cells_ = 0;                    // entries of all calls' argument vectors
  size_t calls_ = 0;                         // calls of either kind
  std::vector<int> noops_end_;               // see skip_noops
  std::array<HandlerOp, 16> recent_{};       // handlers met lately, with their operators
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
    Builder builder(p, *prepared);
    if (builder.well_formed()) {
      builder.build();
      builder.check_steps();
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
