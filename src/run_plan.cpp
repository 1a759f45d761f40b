// The plan exp_execute follows for a prepared program: whether it is plain, and its cells to reset.
#include "run_plan.h"

#include <array>
#include <new>

#include "engine.h"
#include "executor.h"
#include "prepared.h"
#include "program.h"
#include "values.h"

namespace {

// A plain program's cells are listed per program: past this many, the general path (which walks
// the engine's shared list) costs less memory and about as much time.
constexpr size_t kMaxPlanCells = 256;

// The steps a plain program may hold: none calls out, falls back to a call, or loops.
constexpr std::array<bool, static_cast<size_t>(StepOp::End) + 1> kPlainSteps = [] {
  std::array<bool, static_cast<size_t>(StepOp::End) + 1> plain{};
  for (StepOp op : {StepOp::Jump, StepOp::JumpIfFalse, StepOp::IntAdd, StepOp::IntSub, StepOp::IntMul,
                    StepOp::IntAddCopy, StepOp::IntSubCopy, StepOp::IntMulCopy, StepOp::IntCompare,
                    StepOp::IntCompareJump, StepOp::CopyInt, StepOp::CopyDecimal, StepOp::IntToDecimal,
                    StepOp::DecimalArith, StepOp::End})
    plain[static_cast<size_t>(op)] = true;
  return plain;
}();

// True when the way leaves step `s` forward (or leads nowhere, as a Jump's `next` may).
bool forward(const exp_step &s, const Way &way) { return !way.to || way.to->at > s.at; }

// True when step `s` of `p` can run in a plain program: a kind that never calls out or loops, and
// ways that only go forward. A canonical step may only be a no-op or an exit.
bool plain_step(const exp_pcode *p, const exp_step &s) {
  if (s.op == StepOp::Canonical) {
    if (s.at < 0 || s.at >= p->count) return false;
    const int kind = p->code[s.at].kind;
    return kind == EXP_NOOP || kind == EXP_EXIT;
  }
  if (!kPlainSteps[static_cast<size_t>(s.op)]) return false;
  return s.op == StepOp::End || (forward(s, s.next) && forward(s, s.target));
}

// True when no run of `p` can reach host code: plain steps only, and too short for its run to spend
// an interrupt budget (instructions never run twice when ways only go forward, and a step that
// does not fit the remaining budget, or a spent budget, is then impossible).
bool plain_program(const exp_pcode *p, const exp_prepared &prepared) {
  if (p->count >= kInterruptBudget || !prepared.release_cells.empty()) return false;
  for (const exp_step &s : prepared.steps)
    if (!plain_step(p, s)) return false;
  return true;
}

// How a cell is reset: 0 integer-like, 1 decimal, 2 other (exp_symval_setnull), 3 an object.
int reset_kind(const exp_symval *c) {
  switch (symval_type(c)) {
    case EXP_BOOLEAN: case EXP_INTEGER: return 0;
    case EXP_REAL: case EXP_DATE: return 1;
    case EXP_OBJECT: return 3;
    default: return 2;
  }
}

// Lists the cells of a plain program's run start in `plan`, grouped by reset_kind. False when one
// holds objects or there are too many.
bool list_cells(exp_engine *e, exp_pcode *p, const exp_prepared &prepared, RunPlan &plan) {
  std::vector<exp_symval *> found[3];
  auto add = [&](exp_symval *c) {
    const int kind = reset_kind(c);
    if (kind == 3) return false;
    found[kind].push_back(c);
    return true;
  };
  for (exp_sym *s = e->symbols.first; s; s = s->next)
    if (!(s->cell.flags & EXP_STATIC) && !add(&s->cell)) return false;
  if (!add(&p->result)) return false;
  for (exp_symval *c : prepared.reset_cells)
    if (!add(c)) return false;
  const size_t total = found[0].size() + found[1].size() + found[2].size();
  if (total > kMaxPlanCells) return false;
  plan.cells.clear();
  plan.cells.reserve(total);
  for (const auto &cells : found) plan.cells.insert(plan.cells.end(), cells.begin(), cells.end());
  plan.ints = static_cast<uint32_t>(found[0].size());
  plan.decimals = static_cast<uint32_t>(found[1].size());
  return true;
}

}  // namespace

void run_plan_make(exp_engine *e, exp_pcode *p, exp_prepared &prepared) noexcept {
  RunPlan &plan = prepared.plan;
  plan.plain_for = UINT64_MAX;
  bool plain = false;
  try {
    plain = plain_program(p, prepared) && list_cells(e, p, prepared, plan);
  } catch (const std::bad_alloc &) {
    plan.made_for = UINT64_MAX;  // no plan: the general path runs, and the next run tries again
    return;
  }
  if (!plain) plan.cells = {};
  plan.made_for = e->symbols.version;
  if (plain) plan.plain_for = plan.made_for;
}
