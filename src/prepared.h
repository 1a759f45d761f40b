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
//   - the no-ops that mark jump targets are folded into the step before them, and a step that
//     continues at a jump continues where the jump goes;
//   - every other call gets its argument vector laid out once.
// A step records how many canonical instructions it stands for (`cost`): the interrupt budget
// still counts canonical instructions, and a step whose cost exceeds the remaining budget is run
// instruction by instruction, so the handler is asked after exactly as many instructions as
// without preparation, and an interrupted run stops at the same instruction. Every instruction
// has a step, so jumps land where they always did; a program with a jump into a call's operand
// slots is not prepared.
#pragma once

#include <cstdint>
#include <vector>

#include "expression.h"
#include "operator_rules.h"
#include "operators.h"
#include "program.h"

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
// (where a run interrupted on the way stops).
struct Way {
  const exp_step *to = nullptr;
  uint16_t cost = 1;
  int32_t last = 0;
};

struct exp_step {
  StepOp op = StepOp::Canonical;
  Relation rel = Relation::Eq;
  uint16_t cost = 1;  // the most canonical instructions the step may stand for
  int32_t at = 0;
  Way next;    // where it continues
  Way target;  // where a jump goes
  exp_symval *r = nullptr, *x = nullptr, *y = nullptr, *v = nullptr;
  // ForTest and ForNext: the loop's cells (`var` the loop variable); ForTest continues at `next`
  // (the body) or `target` (the end), `down_cost` being the body path's length when the step
  // counts down. The ...Loop steps hold copies of their loop step's cells.
  exp_symval *var = nullptr, *counter = nullptr, *limit = nullptr, *step = nullptr, *zero = nullptr,
             *test = nullptr;
  uint16_t down_cost = 0;
  int64_t stride = 0;  // ForNextUp and the ...Loop steps: the step cell's value, which never changes
  // The ...Loop steps: the way to the loop step fused in, taken when it cannot run inline.
  Way loop{nullptr, 0, 0};
  // Call: the callback, its argument count and its argument vector as the callback receives it
  // (the argument cells, then the program's own cell), padded to at least kCallCellsMin entries.
  exp_func_cb fn = nullptr;
  DecimalOp dec = nullptr;  // DecimalArith: the operation
  int32_t argc = 0;
  exp_symval *const *cells = nullptr;
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
};

// Builds the prepared form of a finished program. Returns 0, or 1 when memory runs out.
int pcode_prepare(exp_pcode *p);
