// Tests of the run loop on programs built instruction by instruction: control flow, calls and
// their argument vectors, malformed instructions, the interrupt budget, cancellation, nested
// user-defined functions, the resetting of cells between runs and the release of objects.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "common/test_util.h"
#include "engine.h"
#include "errors.h"
#include "operators.h"
#include "symbols.h"

using testutil::Cell;
using testutil::EnginePtr;
using testutil::Program;
using testutil::render;

namespace {

const exp_func_cb kCopy = exp_opcode_table[OP_COPY_COERCE].handler;

// What the callbacks below record; reached through the engine's callback data.
struct Probe {
  int calls = 0;
  int interrupts = 0;
  int interrupt_answer = 0;
  int cancel_times = 0;  // how many more calls of cancel_cb cancel the run
  bool write = true;
  int argc = -1;
  std::vector<exp_symval *> argv;
  int param_count = -1;
  std::vector<std::string> params;
  std::vector<std::string> seen;
  exp_pcode *outer = nullptr;  // the program that cancel_outer_cb cancels
};

Probe &probe(exp_engine *e) { return *static_cast<Probe *>(exp_get_callback_data(e)); }

int count_cb(exp_engine *e, exp_symval *, int, exp_symval **) {
  ++probe(e).calls;
  return 0;
}

// Records the argument vector, including the extra entry after the arguments.
int record_args_cb(exp_engine *e, exp_symval *, int argc, exp_symval **argv) {
  Probe &pr = probe(e);
  pr.argc = argc;
  pr.argv.assign(argv, argv + argc + 1);
  return 0;
}

int record_params_cb(exp_engine *e, exp_symval *, int, exp_symval **) {
  Probe &pr = probe(e);
  pr.param_count = e->param_count;
  pr.params.clear();
  for (int i = 0; i < e->param_count; ++i) pr.params.push_back(render(e->params[i]));
  return 0;
}

int cancel_cb(exp_engine *e, exp_symval *, int argc, exp_symval **argv) {
  Probe &pr = probe(e);
  if (pr.cancel_times > 0) {
    --pr.cancel_times;
    exp_cancel_execution(static_cast<exp_pcode *>(argv[argc]->value.p));
  }
  return 0;
}

// Counts its calls and cancels the outer program on the fifth.
int cancel_outer_cb(exp_engine *e, exp_symval *, int, exp_symval **) {
  Probe &pr = probe(e);
  if (++pr.calls == 5) exp_cancel_execution(pr.outer);
  return 0;
}

// Safety net for tests of cancellation: stops a run that the cancel failed to stop.
int stop_interrupt_cb(exp_engine *e) {
  ++probe(e).interrupts;
  return 1;
}

int fail_cb(exp_engine *e, exp_symval *, int, exp_symval **) { return exp_raise_error(e, "bad thing"); }
int fail_date_cb(exp_engine *e, exp_symval *, int, exp_symval **) { return engine_error(e, ERR_DATE); }

int text_cb(exp_engine *e, exp_symval *result, int, exp_symval **) {
  if (probe(e).write) exp_symval_setstr(result, "abc");
  return 0;
}

int interrupt_cb(exp_engine *e) {
  Probe &pr = probe(e);
  ++pr.interrupts;
  return pr.interrupt_answer;
}

class ExecutorTest : public ::testing::Test {
 protected:
  void SetUp() override {
    e_ = testutil::make_engine();
    exp_set_callback_data(e_.get(), &probe_);
  }
  exp_engine *e() { return e_.get(); }
  std::string message() { return testutil::last_message(e()); }
  EnginePtr e_;
  Probe probe_;
};

// ---- control flow -----------------------------------------------------------------------------------

TEST_F(ExecutorTest, EmptyProgramEndsAtOnceWithANullResult) {
  Program prog(e());
  prog.finish();
  EXPECT_EQ(prog->count, 0);
  EXPECT_NE(prog->argv, nullptr);  // room for the self cell
  exp_symval *result = nullptr;
  EXPECT_EQ(prog.run(&result), 0);
  EXPECT_EQ(result, &prog->result);
  EXPECT_EQ(render(result), "null");
}

TEST_F(ExecutorTest, JumpsSkipAndExitEnds) {
  Program prog(e());
  exp_symval *one = prog.int_const(1), *two = prog.int_const(2), *three = prog.int_const(3);
  prog.emit(EXP_JUMP, 4);
  prog.call(kCopy, &prog->result, {one});  // 1..3, skipped
  prog.call(kCopy, &prog->result, {two});  // 4..6
  prog.emit(EXP_EXIT);                     // 7
  prog.call(kCopy, &prog->result, {three});
  prog.finish();
  exp_symval *result = nullptr;
  ASSERT_EQ(prog.run(&result), 0);
  EXPECT_EQ(render(result), "i:2");
}

TEST_F(ExecutorTest, JumpToTheInstructionCountEndsNormally) {
  Program prog(e());
  prog.call(kCopy, &prog->result, {prog.int_const(1)});  // 0..2
  prog.emit(EXP_JUMP, 7);                                // 3
  prog.call(kCopy, &prog->result, {prog.int_const(2)});  // 4..6
  prog.finish();
  ASSERT_EQ(prog->count, 7);
  exp_symval *result = nullptr;
  ASSERT_EQ(prog.run(&result), 0);
  EXPECT_EQ(render(result), "i:1");
}

TEST_F(ExecutorTest, JumpIfZeroFollowsTheTruthTest) {
  static int token;
  struct Case {
    const char *what;
    int type;
    void (*set)(exp_symval *);
    bool jumps;
  };
  const Case cases[] = {
      {"null integer", EXP_INTEGER, [](exp_symval *) {}, true},
      {"integer 0", EXP_INTEGER, [](exp_symval *c) { exp_symval_setint(c, 0); }, true},
      {"integer -3", EXP_INTEGER, [](exp_symval *c) { exp_symval_setint(c, -3); }, false},
      {"boolean true", EXP_BOOLEAN, [](exp_symval *c) { exp_symval_setint(c, 1); }, false},
      {"real 0.0", EXP_REAL, [](exp_symval *c) { testutil::set_real(c, "0.0"); }, true},
      {"real 0.5", EXP_REAL, [](exp_symval *c) { testutil::set_real(c, "0.5"); }, false},
      {"date 0", EXP_DATE, [](exp_symval *c) { testutil::set_real(c, "0"); }, true},
      {"empty string", EXP_STRING, [](exp_symval *c) { exp_symval_setstr(c, ""); }, true},
      {"string no", EXP_STRING, [](exp_symval *c) { exp_symval_setstr(c, "no"); }, true},
      {"string maybe", EXP_STRING, [](exp_symval *c) { exp_symval_setstr(c, "maybe"); }, false},
      {"pointer set", EXP_POINTER, [](exp_symval *c) { exp_symval_setptr(c, &token); }, false},
      {"pointer none", EXP_POINTER, [](exp_symval *c) { exp_symval_setptr(c, nullptr); }, true},
      {"object", EXP_OBJECT, [](exp_symval *) {}, true},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    Program prog(e());
    exp_symval *cond = prog.local(c.type, 10);
    c.set(cond);
    prog.emit(EXP_JUMP_IF_ZERO, 4, cond);
    prog.call(kCopy, &prog->result, {prog.int_const(1)});
    prog.finish();
    exp_symval *result = nullptr;
    ASSERT_EQ(prog.run(&result), 0);
    EXPECT_EQ(render(result), c.jumps ? "null" : "i:1");
  }
}

TEST_F(ExecutorTest, CallsPassTheSelfCellAfterTheArguments) {
  Program prog(e());
  exp_symval *a = prog.int_const(10), *b = prog.int_const(20);
  prog.call(record_args_cb, prog.local(EXP_INTEGER), {a, b});
  prog.finish();
  EXPECT_EQ(prog->max_args, 2);
  ASSERT_EQ(prog.run(), 0);
  ASSERT_EQ(probe_.argc, 2);
  EXPECT_EQ(probe_.argv[0], a);
  EXPECT_EQ(probe_.argv[1], b);
  EXPECT_EQ(probe_.argv[2], &prog->self);
  EXPECT_EQ(probe_.argv[2]->value.p, prog.get());

  Program none(e());
  none.call(record_args_cb, none.local(EXP_INTEGER), {});
  none.finish();
  ASSERT_EQ(none.run(), 0);
  EXPECT_EQ(probe_.argc, 0);
  EXPECT_EQ(probe_.argv[0], &none->self);
}

// ---- malformed programs ---------------------------------------------------------------------------

TEST_F(ExecutorTest, AnOperandSlotRunAsAnInstructionIsError100) {
  Program prog(e());
  prog.emit(EXP_NOOP);
  prog.emit(EXP_OPERAND, 0, prog.local(EXP_INTEGER));
  prog.finish();
  exp_symval *result = nullptr;
  EXPECT_EQ(prog.run(&result), ERR_INVALID_INSTRUCTION);
  EXPECT_EQ(message(), "Invalid instruction #1");
  EXPECT_EQ(result, nullptr);  // no result address after a failure
}

TEST_F(ExecutorTest, JumpIntoAnOperandSlotOrToAnUnknownKindIsError100) {
  Program into(e());
  into.emit(EXP_JUMP, 2);
  into.call(count_cb, into.local(EXP_INTEGER), {into.int_const(1)});
  into.finish();
  EXPECT_EQ(into.run(), ERR_INVALID_INSTRUCTION);
  EXPECT_EQ(message(), "Invalid instruction #2");

  Program unknown(e());
  unknown.emit(EXP_NOOP);
  unknown.emit(9);
  unknown.finish();
  EXPECT_EQ(unknown.run(), ERR_INVALID_INSTRUCTION);
  EXPECT_EQ(message(), "Invalid instruction #1");
}

TEST_F(ExecutorTest, CallsWithMissingSlotsOrArgumentRoomAreRefused) {
  Program cut(e());  // the call announces two arguments but its program ends first
  exp_symval *r = cut.local(EXP_INTEGER);
  cut.emit(EXP_CALL, 2, reinterpret_cast<void *>(count_cb));
  cut.emit(EXP_OPERAND, 0, r);
  cut.emit(EXP_OPERAND, 0, r);
  cut.finish();
  EXPECT_EQ(cut.run(), ERR_INVALID_INSTRUCTION);
  EXPECT_EQ(probe_.calls, 0);

  Program unfinished(e());  // no argument vector sized
  unfinished.call(count_cb, unfinished.local(EXP_INTEGER), {});
  EXPECT_EQ(unfinished.run(), ERR_INVALID_INSTRUCTION);
  EXPECT_EQ(probe_.calls, 0);
}

TEST_F(ExecutorTest, NegativeJumpIsError100AndTheProgramStaysUsable) {
  Program prog(e());
  exp_symval *flag = prog.local(EXP_BOOLEAN, 0, EXP_STATIC);
  prog.emit(EXP_JUMP_IF_ZERO, 2, flag);
  prog.emit(EXP_JUMP, -5);
  prog.finish();
  exp_symval_setint(flag, 1);
  EXPECT_EQ(prog.run(), ERR_INVALID_INSTRUCTION);
  exp_symval_setint(flag, 0);
  EXPECT_EQ(prog.run(), 0);
  EXPECT_EQ(message(), "");
}

TEST_F(ExecutorTest, ExecuteWithoutAProgramReportsBadInput) {
  EXPECT_EQ(exp_execute(e(), nullptr, nullptr), ERR_INVALID_INPUT);
  EXPECT_EQ(exp_execute(nullptr, nullptr, nullptr), ERR_INVALID_INPUT);
}

// ---- interrupts and cancellation ------------------------------------------------------------------

TEST_F(ExecutorTest, InterruptHandlerIsAskedEvery1048Instructions) {
  Program prog(e());
  for (int i = 0; i < 3000; ++i) prog.emit(EXP_NOOP);
  prog.finish();
  exp_set_interrupt_hndlr(e(), interrupt_cb);
  ASSERT_EQ(prog.run(), 0);
  EXPECT_EQ(probe_.interrupts, 2);  // after instructions 1048 and 2096

  probe_.interrupts = 0;
  probe_.interrupt_answer = 1;
  EXPECT_EQ(prog.run(), ERR_INTERRUPT);
  EXPECT_EQ(message(), "User interrupt");
  EXPECT_EQ(probe_.interrupts, 1);
  EXPECT_EQ(prog->pc, 1048);
}

TEST_F(ExecutorTest, HandlerStopsAnEndlessLoopAfterExactly1048Instructions) {
  Program prog(e());
  prog.call(count_cb, prog.local(EXP_INTEGER), {});  // 0..1
  prog.emit(EXP_JUMP, 0);                            // 2
  prog.finish();
  probe_.interrupt_answer = 1;
  exp_set_interrupt_hndlr(e(), interrupt_cb);
  EXPECT_EQ(prog.run(), ERR_INTERRUPT);
  EXPECT_EQ(probe_.calls, 524);  // 1048 instructions, two per turn
}

TEST_F(ExecutorTest, CancelFromACallbackStopsRightAfterItAndTheNextRunIsNormal) {
  Program prog(e());
  prog.call(cancel_cb, prog.local(EXP_INTEGER), {});
  prog.call(count_cb, prog.local(EXP_INTEGER), {});
  prog.finish();
  probe_.cancel_times = 1;
  EXPECT_EQ(prog.run(), ERR_INTERRUPT);
  EXPECT_EQ(message(), "User interrupt");
  EXPECT_EQ(probe_.calls, 0);
  EXPECT_EQ(prog.run(), 0);
  EXPECT_EQ(probe_.calls, 1);
  // A cancel that comes before the run starts is forgotten when it starts.
  exp_cancel_execution(prog.get());
  EXPECT_EQ(prog.run(), 0);
  EXPECT_EQ(probe_.calls, 2);
  exp_cancel_execution(nullptr);
}

TEST_F(ExecutorTest, CancelFromAnotherThreadStopsALoop) {
  Program prog(e());
  prog.call(count_cb, prog.local(EXP_INTEGER), {});
  prog.emit(EXP_JUMP, 0);
  prog.finish();
  std::atomic<bool> done{false};
  std::thread canceller([&] {
    while (!done.load()) {
      exp_cancel_execution(prog.get());
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  });
  EXPECT_EQ(prog.run(), ERR_INTERRUPT);
  done = true;
  canceller.join();
}

TEST_F(ExecutorTest, CancellingTheOuterProgramStopsAUserFunctionRunningInsideIt) {
  Program callee(e());  // loops for ever
  callee.call(cancel_outer_cb, callee.local(EXP_INTEGER), {});
  callee.emit(EXP_JUMP, 0);
  callee.finish();
  Program caller(e());
  caller.udf_call(callee.get(), caller.local(EXP_INTEGER), {});
  caller.call(count_cb, caller.local(EXP_INTEGER), {});
  caller.finish();
  probe_.outer = caller.get();
  exp_set_interrupt_hndlr(e(), stop_interrupt_cb);
  EXPECT_EQ(caller.run(), ERR_INTERRUPT);
  EXPECT_EQ(probe_.calls, 5);  // stopped right after the call that cancelled
  EXPECT_EQ(probe_.interrupts, 0);
  EXPECT_EQ(e()->param_count, 0);
}

// ---- results, parameters and nested programs --------------------------------------------------------

TEST_F(ExecutorTest, ResultIsNullWhenARunStoresNothing) {
  Program prog(e());
  exp_symval *flag = prog.local(EXP_BOOLEAN, 0, EXP_STATIC);
  prog.emit(EXP_JUMP_IF_ZERO, 4, flag);
  prog.call(kCopy, &prog->result, {prog.int_const(5)});
  prog.finish();
  exp_symval_setint(flag, 1);
  exp_symval *result = nullptr;
  ASSERT_EQ(prog.run(&result), 0);
  EXPECT_EQ(render(result), "i:5");
  exp_symval_setint(flag, 0);
  ASSERT_EQ(prog.run(&result), 0);
  EXPECT_EQ(render(result), "null");
}

TEST_F(ExecutorTest, ACallbackThatWritesNothingLeavesThePreviousText) {
  Program prog(e());
  exp_symval *text = prog.local(EXP_STRING, 10);
  prog.call(text_cb, text, {});
  prog.finish();
  ASSERT_EQ(prog.run(), 0);
  EXPECT_EQ(render(text), "s:abc");
  probe_.write = false;
  exp_symval_setnull(text);
  exp_symval_setstr(text, "old");
  text->flags |= EXP_NULL;  // even a cell flagged null comes out of the call as a value
  ASSERT_EQ(prog.run(), 0);
  EXPECT_EQ(render(text), "s:old");
}

TEST_F(ExecutorTest, CellsAreResetByTheirFlagsAtTheStartOfEachRun) {
  exp_symval *host = nullptr;
  ASSERT_EQ(exp_add_symbol(e(), "host", EXP_INTEGER, 0, 0, &host), 0);
  exp_symval *declared = sym_add_global(e(), "declared", EXP_INTEGER, 0, nullptr, 0, nullptr);
  exp_symval *kept = sym_add_global(e(), "kept", EXP_INTEGER, 0, nullptr, EXP_STATIC, nullptr);
  Program prog(e());
  exp_symval *local = prog.local(EXP_INTEGER, 0, EXP_LOCAL);
  exp_symval *static_local = prog.local(EXP_INTEGER, 0, EXP_LOCAL | EXP_STATIC);
  exp_symval *constant = prog.int_const(9);
  prog.call(record_args_cb, prog.local(EXP_INTEGER), {host, declared, kept, local, static_local, constant});
  prog.finish();
  for (exp_symval *c : {host, declared, kept, local, static_local}) exp_symval_setint(c, 1);
  ASSERT_EQ(prog.run(), 0);
  std::vector<std::string> seen;
  for (int i = 0; i < probe_.argc; ++i) seen.push_back(render(probe_.argv[i]));
  EXPECT_EQ(seen, (std::vector<std::string>{"i:1", "null", "i:1", "null", "i:1", "i:9"}));
}

TEST_F(ExecutorTest, UserFunctionResultIsConvertedAndParametersAreTheCallers) {
  Program callee(e(), EXP_INTEGER);
  callee.call(record_params_cb, callee.local(EXP_INTEGER), {});
  callee.call(kCopy, &callee->result, {callee.int_const(42)});
  callee.finish();

  Program caller(e(), EXP_STRING, 10);
  exp_symval *text = caller.local(EXP_STRING, 10);
  exp_symval *arg = caller.local(EXP_STRING, 5);
  exp_symval_setstr(arg, "x");
  caller.udf_call(callee.get(), text, {caller.int_const(7), arg});
  caller.call(kCopy, &caller->result, {text});
  caller.finish();

  exp_symval *result = nullptr;
  ASSERT_EQ(caller.run(&result), 0);
  EXPECT_EQ(render(result), "s:42");
  EXPECT_EQ(probe_.param_count, 2);
  EXPECT_EQ(probe_.params, (std::vector<std::string>{"i:7", "s:x"}));
  EXPECT_EQ(e()->param_count, 0);
  EXPECT_EQ(e()->params, nullptr);
}

TEST_F(ExecutorTest, UserFunctionErrorsPassUnchangedAndParametersAreRestored) {
  Program callee(e(), EXP_INTEGER);
  callee.call(fail_date_cb, callee.local(EXP_INTEGER), {});
  callee.finish();
  Program caller(e());
  caller.udf_call(callee.get(), caller.local(EXP_INTEGER), {caller.int_const(1)});
  caller.call(count_cb, caller.local(EXP_INTEGER), {});
  caller.finish();
  EXPECT_EQ(caller.run(), ERR_DATE);
  EXPECT_EQ(message(), "Invalid date");
  EXPECT_EQ(probe_.calls, 0);
  EXPECT_EQ(e()->param_count, 0);
  EXPECT_EQ(e()->params, nullptr);
}

TEST_F(ExecutorTest, CallbackErrorNumberAndMessagePropagate) {
  Program prog(e());
  prog.call(count_cb, prog.local(EXP_INTEGER), {});
  prog.call(fail_cb, prog.local(EXP_INTEGER), {});
  prog.call(count_cb, prog.local(EXP_INTEGER), {});
  prog.finish();
  EXPECT_EQ(prog.run(), ERR_FUNCTION);
  EXPECT_EQ(message(), "Error in function: bad thing");
  EXPECT_EQ(probe_.calls, 1);
}

// ---- objects ------------------------------------------------------------------------------------------

int g_destroyed = 0;
void destroy_int(void *data) {
  ++g_destroyed;
  delete static_cast<int *>(data);
}

int make_object_cb(exp_engine *, exp_symval *result, int, exp_symval **) {
  return exp_instantiate_object(result, new int(1)) ? 0 : 1;
}

int seen_cb(exp_engine *e, exp_symval *, int argc, exp_symval **argv) {
  for (int i = 0; i < argc; ++i) probe(e).seen.push_back(render(argv[i]));
  return 0;
}

class ExecutorObjects : public ExecutorTest {
 protected:
  void SetUp() override {
    ExecutorTest::SetUp();
    g_destroyed = 0;
    ASSERT_EQ(exp_register_class(e(), "thing", "", destroy_int, &cls_), 0);
  }
  exp_class *cls_ = nullptr;
};

TEST_F(ExecutorObjects, NonStaticObjectsAreReleasedWhenARunEnds) {
  exp_symval *global = sym_add_global(e(), "g", EXP_OBJECT, 0, cls_, 0, nullptr);
  exp_symval *static_global = sym_add_global(e(), "sg", EXP_OBJECT, 0, cls_, EXP_STATIC, nullptr);
  Program prog(e());
  exp_symval *local = prog.local(EXP_OBJECT, 0, EXP_LOCAL, cls_);
  exp_symval *static_local = prog.local(EXP_OBJECT, 0, EXP_LOCAL | EXP_STATIC, cls_);
  exp_symval *temp = prog.local(EXP_OBJECT, 0, 0, cls_);
  for (exp_symval *c : {global, static_global, local, static_local, temp}) prog.call(make_object_cb, c, {});
  prog.finish();

  ASSERT_EQ(prog.run(), 0);
  EXPECT_EQ(render(global), "null");
  EXPECT_EQ(render(local), "null");
  EXPECT_EQ(render(temp), "null");
  EXPECT_EQ(render(static_global), "o:set");
  EXPECT_EQ(render(static_local), "o:set");
  EXPECT_EQ(g_destroyed, 3);

  // The next run replaces the static instances: each old one is released before its call.
  ASSERT_EQ(prog.run(), 0);
  EXPECT_EQ(g_destroyed, 3 + 2 + 3);
  EXPECT_EQ(static_global->value.o->refcount, 1u);
}

TEST_F(ExecutorObjects, NestedRunsKeepTheGlobalObjectsUntilTheOutermostEnds) {
  exp_symval *global = sym_add_global(e(), "g", EXP_OBJECT, 0, cls_, 0, nullptr);
  Program callee(e());
  exp_symval *callee_local = callee.local(EXP_OBJECT, 0, EXP_LOCAL, cls_);
  callee.call(make_object_cb, global, {});
  callee.call(make_object_cb, callee_local, {});
  callee.finish();
  Program caller(e());
  caller.udf_call(callee.get(), caller.local(EXP_INTEGER), {});
  caller.call(seen_cb, caller.local(EXP_INTEGER), {global, callee_local});
  caller.finish();

  ASSERT_EQ(caller.run(), 0);
  EXPECT_EQ(probe_.seen, (std::vector<std::string>{"o:set", "null"}));
  EXPECT_EQ(render(global), "null");
  EXPECT_EQ(g_destroyed, 2);
}

}  // namespace
