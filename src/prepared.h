// The prepared form of a program: what the run loop executes.
//
// A program keeps its canonical instructions (which the dump prints and the copy rewrites); when
// it is finished, each instruction index also gets a prepared step that does the same work with
// the decisions that depend on cell types taken once, here, instead of on every run:
//   - operator calls whose operands are integers become inline integer steps, and the real
//     addition, subtraction and multiplication call the decimal operation directly;
//   - copies between cells of one numeric type, and from integers into reals, become stores;
//   - a conditional jump on a boolean cell tests the payload directly, a null check is a test;
//   - common shapes are fused: a comparison and the jump on its result, an arithmetic step and
//     the copy of its result, and the last assignment of a loop body with the loop's increment;
//   - the head and increment of each `for` loop the compiler declared (exp_for_loop) become
//     loop steps;
//   - a loop body ending in such a fused step, alone or after a few other integer steps, runs
//     its later turns apart from the steps once the cells it touches are found not null: a
//     one-step body on registers where its cells allow (Held), a longer one through BodyTurns;
//   - the no-ops that mark jump targets are folded into the step before them, and a step that
//     continues at a jump continues where the jump goes;
//   - every other call gets its argument vector laid out once.
// A step records how many canonical instructions it stands for (`cost`): the interrupt budget
// still counts canonical instructions, and a step whose cost exceeds the remaining budget is run
// instruction by instruction, so the handler is asked after exactly as many instructions as
// without preparation, and an interrupted run stops at the same instruction. (With no handler,
// turns of a loop body may run through checks at once, as those only count steps, never past the
// step limit.) Every instruction
// has a step, so jumps land where they always did; a program with a jump into a call's operand
// slots is not prepared.
#pragma once

#include <cassert>
#include <cstdint>
#include <memory>
#include <vector>

#include "expression.h"
#include "operator_rules.h"
#include "operators.h"
#include "program.h"
#include "run_plan.h"

// Every kind of step, with what it does. The enum, the run loop's dispatch table (whose labels
// are step_<Name>) and the step names are all made from this one list, so they cannot fall out
// of order.
#define EXP_STEP_OPS(X)                                                                                     \
  X(Canonical, "run the canonical instruction (generic and user-defined calls, rare shapes)")              \
  X(Jump, "go to `target`")                                                                                \
  X(JumpIfFalse, "go to `target` when the boolean cell r is null or 0, else to `next`")                    \
  X(IntAdd, "r = x + y on integers; overflow or a null operand gives null")                               \
  X(IntSub, "r = x - y, likewise")                                                                         \
  X(IntMul, "r = x * y, likewise")                                                                         \
  X(IntAddCopy, "IntAdd, then v = r (v an integer cell)")                                                  \
  X(IntSubCopy, "IntSub, then v = r")                                                                      \
  X(IntMulCopy, "IntMul, then v = r")                                                                      \
  X(IntAddCopyLoop, "IntAddCopy ending a loop body, fused with the ForNextUp step after it (`loop`)")     \
  X(IntSubCopyLoop, "IntSubCopy, likewise")                                                                \
  X(IntMulCopyLoop, "IntMulCopy, likewise")                                                                \
  X(IntCompare, "r = x rel y on integers (boolean r)")                                                     \
  X(IntCompareJump, "IntCompare, then go to `target` when r is not true")                                  \
  X(CopyInt, "v = x between cells of one integer-like type (boolean or integer)")                          \
  X(CopyDecimal, "v = x between cells of one decimal type (real or date)")                                 \
  X(IntToDecimal, "v = x from an integer cell into a decimal cell (real or date)")                         \
  X(DecimalArith, "r = x dec y on real cells, as the real operators do it")                                \
  X(NullCheck, "go on when x is not null (else the canonical instruction raises); r is left not null")    \
  X(ForTest, "head of an integer for loop: var = counter, then the direction and bound tests")            \
  X(ForNext, "counter += step, then the loop head")                                                        \
  X(ForNextUp, "ForNext for a loop whose step never changes and is positive: direction decided once")     \
  X(Call, "a function or operator call whose result cell holds no object")                                \
  X(CallObject, "a call whose result cell is an object cell (dropped before the call)")                    \
  X(End, "one past the last instruction: the run is over")

enum class StepOp : uint8_t {
#define EXP_STEP_ENUM(name, meaning) name,
  EXP_STEP_OPS(EXP_STEP_ENUM)
#undef EXP_STEP_ENUM
};

// The name of a kind of step, as the list above spells it.
const char *step_name(StepOp op);

// Steps refer to each other by address, so the run loop moves from one to the next with a
// single load; `at` is the step's instruction index, for canonical runs and error positions.
struct exp_step;

// One way out of a step: the step the run goes on at (no-ops there folded in), how many canonical
// instructions the step runs on the way (charged to the interrupt budget), and the last of them
// (where a run interrupted on the way stops). No default values: the run loop keeps one at hand
// that it fills only when a step makes its way, and pays nothing for it otherwise.
struct Way {
  const exp_step *to;
  uint16_t cost;
  int32_t last;
};

// The cells of an integer `for` loop a loop step works on (see exp_for_loop).
struct LoopCells {
  exp_symval *var = nullptr, *counter = nullptr, *limit = nullptr, *step = nullptr, *zero = nullptr,
             *test = nullptr;
};

// One operation of a loop body run by the turns of its body-end step (see BodyTurns), taking the
// null flags as proven absent: r = x op y then v = r (v is r when there is no copy), v = x, or
// r = x rel y.
struct TurnOp {
  enum class Kind : uint8_t { Add, Sub, Mul, Copy, Compare };
  Kind kind = Kind::Copy;
  Relation rel = Relation::Eq;
  uint16_t before = 0;  // canonical instructions of the turn ahead of this operation
  int32_t last = 0;     // the last of them
  const exp_step *step = nullptr;  // the step the operation stands for, where a stopped turn goes on
  exp_symval *r = nullptr, *x = nullptr, *y = nullptr, *v = nullptr;
};

// The body of a loop ending in a ...Loop step whose other steps are integer operations in a row:
// once every cell the turn touches is found not null, further turns run the operations on the
// payloads alone.
struct BodyTurns {
  std::vector<TurnOp> ops;             // the body's steps before the body-end step, in order
  std::vector<exp_symval *> cells;     // every cell a turn reads or writes
  uint16_t body_cost = 0;              // canonical instructions from the body start to the body-end step
  int32_t body_last = 0;               // the last of them
};

// Where the operand of a one-step loop body (a ...Loop step running back into itself) comes from
// while its turns keep the payloads in registers: the result it last wrote (its r or v cell), the
// loop's counter (its counter or var cell), or a cell no turn writes.
enum class Held : uint8_t { Result, Counter, Fixed };

// One prepared step. The fields every kind uses are open; those only some kinds have are set
// through the setters below and read through accessors that check, in debug builds, that the step
// is of a kind that has them. Kinds that never meet share storage for those fields, so the record
// stays small: a program holds one per instruction.
struct exp_step {
  StepOp op = StepOp::Canonical;

 private:
  // IntCompare, IntCompareJump: the Relation. The ...Loop steps: 0, or 1 + 3 * held_x + held_y.
  uint8_t small_ = 0;

 public:
  uint16_t cost = 1;  // the most canonical instructions the step may stand for
  int32_t at = 0;
  Way next{nullptr, 1, 0};    // where it continues
  Way target{nullptr, 1, 0};  // where a jump goes
  // The operation's cells: result r, operands x and y, copy destination v.
  exp_symval *r = nullptr, *x = nullptr, *y = nullptr, *v = nullptr;

  // IntCompare, IntCompareJump: the relation tested.
  Relation rel() const {
    assert(op == StepOp::IntCompare || op == StepOp::IntCompareJump);
    return static_cast<Relation>(small_);
  }
  // The loop steps, and the ...Loop steps (copies of their loop step's cells).
  const LoopCells &loop_cells() const {
    assert(is_loop_step() || is_body_end());
    return loop_.cells;
  }
  // The loop steps: the cost of the way into the body when the loop counts down.
  uint16_t down_cost() const {
    assert(is_loop_step());
    return loop_.down_cost;
  }
  // ForNextUp and the ...Loop steps: the step cell's value, which never changes.
  int64_t stride() const {
    assert(op == StepOp::ForNextUp || is_body_end());
    return loop_.stride;
  }
  // The ...Loop steps: the way to the loop step fused in, taken when it cannot run inline.
  // ForNext and ForNextUp: the way on from the increment alone, taken when the loop head cannot
  // run inline.
  const Way &loop() const {
    assert(op == StepOp::ForNext || op == StepOp::ForNextUp || is_body_end());
    return loop_.loop;
  }
  // The ...Loop steps of a multi-step body that BodyTurns can run, else none.
  const BodyTurns *turns() const {
    assert(is_body_end());
    return loop_.turns;
  }
  // The ...Loop steps: whether its turns may run in registers (a one-step body whose written cells
  // are all distinct and whose stride is positive), and where its operands come from then.
  bool held() const {
    assert(is_body_end());
    return small_ != 0;
  }
  Held held_x() const {
    assert(held());
    return static_cast<Held>((small_ - 1) / 3);
  }
  Held held_y() const {
    assert(held());
    return static_cast<Held>((small_ - 1) % 3);
  }
  // Call, CallObject: the callback, its argument count and its argument vector as the callback
  // receives it (the argument cells, then the program's own cell), padded to at least
  // kCallCellsMin entries.
  exp_func_cb fn() const {
    assert(is_call());
    return call_.fn;
  }
  int32_t argc() const {
    assert(is_call());
    return call_.argc;
  }
  exp_symval *const *cells() const {
    assert(is_call());
    return call_.cells;
  }
  // DecimalArith: the operation.
  DecimalOp dec() const {
    assert(op == StepOp::DecimalArith);
    return dec_;
  }

  void set_rel(Relation rel) { small_ = static_cast<uint8_t>(rel); }
  void set_loop_cells(const LoopCells &cells) { loop_.cells = cells; }
  void set_down_cost(uint16_t cost) { loop_.down_cost = cost; }
  void set_stride(int64_t stride) { loop_.stride = stride; }
  void set_loop(const Way &way) { loop_.loop = way; }
  void set_call(exp_func_cb fn, int32_t argc, exp_symval *const *cells) { call_ = CallPart{fn, cells, argc}; }
  void set_dec(DecimalOp dec) { dec_ = dec; }
  void set_turns(const BodyTurns *turns) { loop_.turns = turns; }
  void set_held(Held x, Held y) { small_ = static_cast<uint8_t>(1 + 3 * static_cast<int>(x) + static_cast<int>(y)); }

  bool is_loop_step() const { return op == StepOp::ForTest || op == StepOp::ForNext || op == StepOp::ForNextUp; }
  bool is_body_end() const {
    return op == StepOp::IntAddCopyLoop || op == StepOp::IntSubCopyLoop || op == StepOp::IntMulCopyLoop;
  }
  bool is_call() const { return op == StepOp::Call || op == StepOp::CallObject; }

 private:
  // The fields of the loop steps and the ...Loop steps.
  struct LoopPart {
    LoopCells cells;
    Way loop{nullptr, 0, 0};
    int64_t stride = 0;
    union {
      const BodyTurns *turns = nullptr;  // the ...Loop steps
      uint16_t down_cost;                // the loop steps
    };
  };
  // The fields of Call and CallObject.
  struct CallPart {
    exp_func_cb fn;
    exp_symval *const *cells;
    int32_t argc;
  };
  union {
    LoopPart loop_{};
    CallPart call_;
    DecimalOp dec_;  // DecimalArith
  };
};

// Argument vectors this short are copied whole, in one fixed-size move.
inline constexpr int kCallCellsMin = 4;

struct exp_prepared {
  int32_t count = -1;                      // the instructions prepared (none: -1)
  std::vector<exp_step> steps;             // one per instruction (operand slots have none), then End
  std::vector<int32_t> index;              // count + 1 entries: the step of each instruction index,
                                           // -1 for operand slots; the last is the End step
  uint16_t max_cost = 0;                   // the largest step cost: a budget at least this high
                                           // fits any step
  std::vector<exp_symval *> reset_cells;   // declared non-static locals, set null at each run
  std::vector<exp_symval *> release_cells; // non-static object locals, released after each run
  std::vector<exp_symval *> call_cells;    // the argument vectors of the Call steps
  std::vector<std::unique_ptr<BodyTurns>> turns;  // the multi-step loop bodies run by turns
  RunPlan plan;                            // how exp_execute runs it, made on its first run
};

// Builds the prepared form of a finished program. Returns 0, or 1 when memory runs out.
int pcode_prepare(exp_pcode *p);
