// The prepared form of a program against its canonical instructions: each program runs twice,
// once as prepared and once with the prepared form dropped, and everything a host can observe
// must agree: the return code and message, the result, the number of questions to the interrupt
// handler, where an interrupted run stopped, and the dump with every cell's value after the run.
#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <vector>

#include "common/test_util.h"
#include "engine.h"
#include "expression.h"
#include "prepared.h"
#include "program.h"
#include "symbols.h"

namespace {

struct Observed {
  int rc = 0;
  std::string message, result, dump;
  int interrupts = 0;
  int line = 0, column = 0;
};

struct HandlerState {
  int calls = 0;
  int stop_at = 0;  // the call that answers "stop" (0: never; -1: no handler; -2: none, but a step limit)
};

HandlerState *g_handler = nullptr;  // the state of the run in progress (one run at a time)

int count_interrupts(exp_engine *) {
  ++g_handler->calls;
  return g_handler->calls == g_handler->stop_at ? 1 : 0;
}

void collect(const char *text, void *user) { *static_cast<std::string *>(user) += std::string(text) + "\n"; }

// Compiles `text` in a fresh engine with an integer symbol `n` = 2500, runs it (prepared or
// canonical) and records what the host can see. Cell addresses differ between engines, so the
// dump is compared without them.
Observed observe(const std::string &text, bool prepared, int stop_at) {
  Observed o;
  testutil::EnginePtr e = testutil::make_engine();
  exp_symval *n = nullptr;
  EXPECT_EQ(exp_add_symbol(e.get(), "n", EXP_INTEGER, 0, 0, &n), 0);
  exp_symval_setint(n, 2500);
  exp_pcode *p = nullptr;
  EXPECT_EQ(exp_make_pcode(e.get(), text.c_str(), &p, EXP_INTEGER, 0, 0, nullptr), 0) << text;
  if (!p) return o;
  if (!prepared) p->prepared.reset();
  HandlerState state{0, stop_at};
  g_handler = &state;
  if (stop_at >= 0) exp_set_interrupt_hndlr(e.get(), count_interrupts);
  if (stop_at == -2) {
    EXPECT_EQ(exp_set_limit(e.get(), EXP_LIMIT_STEPS, 20000), 0);
  }
  exp_symval *result = nullptr;
  o.rc = exp_execute(e.get(), p, &result);
  o.message = testutil::last_message(e.get());
  o.result = o.rc == 0 && result ? testutil::render(result) : "none";
  o.interrupts = state.calls;
  exp_run_position(p, &o.line, &o.column);
  exp_dump_pcode(e.get(), p, collect, &o.dump);
  o.dump = std::regex_replace(o.dump, std::regex("0x[0-9a-f]+"), "@");
  exp_free_pcode(e.get(), p);
  g_handler = nullptr;
  return o;
}

void expect_same(const std::string &text, int stop_at) {
  Observed fast = observe(text, true, stop_at), slow = observe(text, false, stop_at);
  SCOPED_TRACE(text + " (handler stops at call " + std::to_string(stop_at) + ")");
  EXPECT_EQ(fast.rc, slow.rc);
  EXPECT_EQ(fast.message, slow.message);
  EXPECT_EQ(fast.result, slow.result);
  EXPECT_EQ(fast.interrupts, slow.interrupts);
  EXPECT_EQ(fast.line, slow.line);
  EXPECT_EQ(fast.column, slow.column);
  EXPECT_EQ(fast.dump, slow.dump);
}

// Programs that reach the fused and specialised steps: integer arithmetic with and without a
// copy, compare-and-jump, the loop steps with fixed and variable direction, integer and decimal
// copies, overflow and null on the way, and jumps into the middle of loops.
const char *const kPrograms[] = {
    "integer s\ninteger i\ns = 0\nfor i = 1 to n s = s + i\ns",
    // One-step bodies whose turns run on registers, by where the operands come from, ending in
    // overflow of the result or of the counter.
    "integer s\ninteger i\ns = 5\nfor i = 1 to n step 7 s = i - s\ns",
    "integer s\ninteger i\ns = 1\nfor i = 1 to n s = s * 2\ns",
    "integer s\ninteger i\nfor i = 1 to n s = i * i\ns",
    "integer s\ninteger i\nfor i = 9223372036854774000 to 9223372036854775807 s = s + 1\ns",
    // Bodies of several integer steps: overflow inside the body, a comparison, a body that writes
    // the loop variable.
    "integer s\ninteger t\ninteger i\ns = 1\nt = 0\nfor i = 1 to n begin t = t + i; s = s * 3 - t end\ns + t",
    "integer s\ninteger i\nboolean b\nfor i = 1 to n begin b = i > 7; s = i * i end\ns",
    "integer s\ninteger i\ns = 0\nfor i = 1 to n begin s = s + i; i = i * 1 end\ns",
    "integer s\ninteger i\ns = 7\nfor i = n to 1 step -1 s = s - i * 2\ns",
    "integer s\ninteger i\ns = 1\nfor i = 1 to n step 3 begin if i > 1000 then s = s - i else s = s * 1 + i end\ns",
    "integer k\nk = 0\nwhile k < n k = k + 1\nk",
    "integer k\nboolean b\nk = 0\nwhile k <= 3000 begin b = k == 17; k = k + 1 end\nk",
    "integer x\ninteger i\nx = 9223372036854775000\nfor i = 1 to n x = x + 1\nx",
    "real r\ndate d\ninteger i\nr = 0\nfor i = 1 to n begin r = r + i; d = i end\n1",
    "integer s\ninteger i\ninteger m\ns = 0\nfor i = 1 to m s = s + 1\ns",
    "integer s\ninteger i\ns = 0\ngoto inside\nfor i = 1 to n begin inside: s = s + 1 end\ns",
    "integer s\ninteger i\ninteger j\ns = 0\nfor i = 1 to 60 for j = i to 1 step -1 s = s + j\ns",
    "integer s\ninteger i\ns = 0\nfor i = 1 to n begin s = s + i; i = i * 2 end\ns",
    "integer s\ninteger i\ns = 0\nfor i = n to 1 s = s + 1\ns",
    "integer s\ninteger i\ns = 0\nfor i = 9223372036854775000 to 9223372036854775807 s = s + 1\ns",
    "integer s\ninteger i\ns = 1\nfor i = 1 to 40 s = s * 3\ns",
    "real a\nreal b\nreal c\nb = 2.5\nc = a * b\na = b * b - 0.25\nc = c + a\na = a / 4\n1",
    "integer k\ninteger s\nk = 0\ns = 0\ntop: k = k + 1\nif k > 3000 then goto done\ns = s + k\ngoto top\ndone: s",
    "integer k\nk = 0\nwhile k < 3000 begin if k > 10 then goto next\nk = k + 1\nnext: k = k + 2 end\nk",
    "integer i\nfor i = 1 to n i = i + 5\ni",
    "integer s\ninteger i\ns = 0\nfor i = 1 to n s = s + n\ns",
    "integer s\ninteger z\ninteger i\nfor i = 1 to n s = z + i\ns",
    "integer s\ninteger i\ns = -9223372036854770000\nfor i = 1 to n s = s - i\ns",
    // Instructions whose result is also an operand, reached with that operand null.
    "integer s\nreal r\ns = 0\ngoto inside\nfor r = 1 to n begin inside: s = s + 1 end\nisnull(r)",
    "integer s\ninteger i\ns = 0\ngoto inside\nfor i = 1 to n begin inside: s = s + 1 end\nisnull(i)",
    "integer x\nstring t\nboolean b\nx = x\nt = t\nb = b\nisnull(x) + isnull(t) + isnull(b)",
};

TEST(PreparedTest, RunsExactlyAsTheCanonicalInstructions) {
  for (const char *text : kPrograms)
    for (int stop_at : {-2, -1, 0, 1, 2, 5}) expect_same(text, stop_at);
}

// An interrupt handler that cancels the run and answers 0 stops it within a few instructions, in
// both forms: the run must not go on for another interval before it looks at the flag again.
struct Cancelling {
  exp_pcode *p = nullptr;
  exp_symval *k = nullptr;
  int64_t k_at_call = -1;
};
Cancelling *g_cancelling = nullptr;
int cancel_and_go_on(exp_engine *) {
  g_cancelling->k_at_call = g_cancelling->k->value.i;
  exp_cancel_execution(g_cancelling->p);
  return 0;
}

TEST(PreparedTest, AHandlersCancelStopsTheRunWithinAFewInstructions) {
  for (const char *text : {"k = 0\nwhile k < 100000 k = k + 1\nk", "integer s\nfor k = 1 to 100000 s = s + k\ns"}) {
    for (bool prepared : {true, false}) {
      SCOPED_TRACE(std::string(text) + (prepared ? " (prepared)" : " (canonical)"));
      testutil::EnginePtr e = testutil::make_engine();
      Cancelling c;
      ASSERT_EQ(exp_add_symbol(e.get(), "k", EXP_INTEGER, 0, 0, &c.k), 0);
      ASSERT_EQ(exp_make_pcode(e.get(), text, &c.p, EXP_INTEGER, 0, 0, nullptr), 0);
      if (!prepared) c.p->prepared.reset();
      g_cancelling = &c;
      exp_set_interrupt_hndlr(e.get(), cancel_and_go_on);
      EXPECT_EQ(exp_execute(e.get(), c.p, nullptr), EXP_E_INTERRUPT);
      EXPECT_GT(c.k_at_call, 0);
      EXPECT_LE(c.k->value.i - c.k_at_call, 1);
      exp_free_pcode(e.get(), c.p);
      g_cancelling = nullptr;
    }
  }
}

// The names of the steps a program is prepared into, or those of its copy in a second engine.
std::string steps_of(const char *text, bool copied) {
  testutil::EnginePtr e = testutil::make_engine(), other = testutil::make_engine();
  for (exp_engine *engine : {e.get(), other.get()})
    EXPECT_EQ(exp_add_symbol(engine, "n", EXP_INTEGER, 0, 0, nullptr), 0);
  exp_pcode *p = nullptr, *copy = nullptr;
  EXPECT_EQ(exp_make_pcode(e.get(), text, &p, EXP_INTEGER, 0, 0, nullptr), 0) << text;
  if (p && copied) {
    EXPECT_EQ(exp_copy_pcode(e.get(), other.get(), p, &copy), 0);
  }
  const exp_pcode *shown = copied ? copy : p;
  std::string names;
  if (shown && shown->prepared)
    for (const exp_step &s : shown->prepared->steps) names += std::string(step_name(s.op)) + " ";
  exp_free_pcode(e.get(), p);
  if (copy) exp_free_pcode(other.get(), copy);
  return names;
}

// Integer loops run on their loop steps, in copies too: a change of the compiled layout that
// loses them would still give the right answers, only several times slower.
TEST(PreparedTest, IntegerLoopsGetLoopSteps) {
  const struct {
    const char *text, *step;
  } kLoops[] = {
      {"integer s\ninteger i\ns = 0\nfor i = 1 to n s = s + i\ns", "IntAddCopyLoop"},
      {"integer s\ninteger i\nfor i = 1 to n begin s = i; s = s * 2 end\ns", "IntMulCopyLoop"},
      {"integer s\ninteger i\nfor i = 1 to n s = abs(i)\ns", "ForNextUp"},
      {"integer s\ninteger i\nfor i = n to 1 step -1 s = s - i\ns", "ForNext"},
      {"integer s\ninteger i\nfor i = n to 1 step -1 s = s - i\ns", "ForTest"},
      {"integer k\nk = 0\nwhile k < n k = k + 1\nk", "IntCompareJump"},
  };
  for (const auto &loop : kLoops)
    for (bool copied : {false, true})
      EXPECT_NE(steps_of(loop.text, copied).find(std::string(loop.step) + " "), std::string::npos)
          << loop.text << (copied ? " (copied)" : "");
}

// The program a host function runs from inside another program's run (see run_inner_cb).
exp_pcode *g_inner = nullptr;

// Runs g_inner, nested in the run that called it, and returns its return code.
int run_inner_cb(exp_engine *e, exp_symval *result, int, exp_symval **) {
  exp_symval_setint(result, exp_execute(e, g_inner, nullptr));
  return 0;
}

// Runs a program that calls nothing (exp_execute's short path when prepared) while the host
// changes, between runs, what that path decided from: declared globals of each kind added and
// removed, the step limit, and a run nested in another program's callback. Records what the host
// sees after each run, and whether the short path was in use.
std::vector<std::string> plain_runs(bool prepared) {
  std::vector<std::string> seen;
  testutil::EnginePtr e = testutil::make_engine();
  exp_symval *n = nullptr;
  EXPECT_EQ(exp_add_symbol(e.get(), "n", EXP_INTEGER, 0, 0, &n), 0);
  exp_symval_setint(n, 20);
  EXPECT_EQ(exp_register_function(e.get(), "inner", run_inner_cb, 0, 0, "", 'i', 0, "", 0, nullptr), 0);
  exp_pcode *p = nullptr, *outer = nullptr;
  EXPECT_EQ(exp_make_pcode(e.get(), "integer total\nreal part\ntotal = n * 2 + 1\npart = total * 3\ntotal", &p,
                           EXP_INTEGER, 0, 0, nullptr), 0);
  EXPECT_EQ(exp_make_pcode(e.get(), "integer k\nk = n + 1\nk = inner() * 100 + k\nk", &outer, EXP_INTEGER, 0, 0,
                           nullptr), 0);
  if (!p || !outer) return seen;
  if (!prepared) p->prepared.reset();
  if (!prepared) outer->prepared.reset();
  std::vector<exp_symval *> cells;
  auto run = [&](exp_pcode *program, const std::string &what) {
    exp_symval *result = nullptr;
    int rc = exp_execute(e.get(), program, &result);
    std::string line = what + ": rc " + std::to_string(rc) + " '" + testutil::last_message(e.get()) + "' " +
                       (rc == 0 && result ? testutil::render(result) : "none");
    for (const char *name : {"total", "part", "gi", "gr", "gs"})
      if (exp_symval *c = exp_symbol_get_by_name(e.get(), name)) line += std::string(" ") + name + "=" + testutil::render(c);
    const bool plain = p->prepared && p->prepared->plan.plain_for == e->symbols.version;
    seen.push_back(line + (plain ? " (plain)" : ""));
  };
  run(p, "first");
  exp_symval *gi = sym_add_global(e.get(), "gi", EXP_INTEGER, 0, nullptr, 0, nullptr);
  exp_symval *gr = sym_add_global(e.get(), "gr", EXP_REAL, 0, nullptr, 0, nullptr);
  exp_symval *gs = sym_add_global(e.get(), "gs", EXP_STRING, 10, nullptr, 0, nullptr);
  auto set_globals = [&] {
    exp_symval_setint(gi, 5);
    exp_symval_setint(gr, 6);
    exp_symval_setstr(gs, "seven");
  };
  set_globals();
  run(p, "globals added");
  set_globals();
  sym_remove_global(e.get(), sym_of_cell(gi));
  run(p, "a global removed");
  EXPECT_EQ(exp_set_limit(e.get(), EXP_LIMIT_STEPS, 3), 0);
  run(p, "step limit 3");
  g_inner = p;
  EXPECT_EQ(exp_set_limit(e.get(), EXP_LIMIT_STEPS, 12), 0);
  run(outer, "nested past the limit");
  EXPECT_EQ(exp_set_limit(e.get(), EXP_LIMIT_STEPS, 0), 0);
  run(outer, "nested");
  run(p, "no limit");
  g_inner = nullptr;
  exp_free_pcode(e.get(), outer);
  exp_free_pcode(e.get(), p);
  return seen;
}

// The short path (prepared runs of a program that calls nothing) sees every change the host makes
// between runs exactly as the general path does.
TEST(PreparedTest, PlainRunsFollowTheHostsChangesBetweenRuns) {
  std::vector<std::string> fast = plain_runs(true), slow = plain_runs(false);
  ASSERT_EQ(fast.size(), 7u);
  ASSERT_EQ(slow.size(), fast.size());
  const std::string plain = " (plain)";
  for (size_t i = 0; i < fast.size(); ++i) {
    ASSERT_GE(fast[i].size(), plain.size());
    EXPECT_EQ(fast[i].substr(fast[i].size() - plain.size()), plain) << fast[i];
    EXPECT_EQ(fast[i].substr(0, fast[i].size() - plain.size()), slow[i]);
  }
  EXPECT_NE(fast[1].find("gi=null gr=null gs=null"), std::string::npos) << fast[1];
  EXPECT_NE(fast[3].find("rc 109"), std::string::npos) << fast[3];
}

}  // namespace
