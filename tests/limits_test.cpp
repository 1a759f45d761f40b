// Limits on hostile input: sizes that cannot be represented are refused with a clear error before
// anything is allocated, runaway work is bounded, and a host that re-enters the engine from a
// callback gets an error instead of a corrupted run.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "common/test_util.h"
#include "expression.h"
#include "operators.h"
#include "values.h"

// Under AddressSanitizer a refused allocation must come back as none (as it does from the
// system allocator) instead of stopping the test: the engine's handling of it is what is tested.
extern "C" const char *__asan_default_options() { return "allocator_may_return_null=1"; }

namespace {

using testutil::EnginePtr;

struct Outcome {
  int rc = 0;
  std::string message;
  std::string result;  // testutil::render of the result cell on success
};

std::string message_of(exp_engine *e) {
  const char *m = "";
  exp_error_info(e, &m, nullptr, nullptr);
  return m;
}

// Compiles and runs `text` once with a string result, then frees the program.
Outcome run(exp_engine *e, const std::string &text, int type = EXP_STRING) {
  Outcome out;
  exp_pcode *p = nullptr;
  out.rc = exp_make_pcode(e, text.c_str(), &p, type, 100, 0, nullptr);
  if (out.rc == 0) {
    exp_symval *result = nullptr;
    out.rc = exp_execute(e, p, &result);
    if (out.rc == 0) out.result = testutil::render(result);
  }
  out.message = message_of(e);
  if (p) {
    EXPECT_EQ(exp_free_pcode(e, p), 0);
  }
  return out;
}

// ---- string limits -----------------------------------------------------------------------------

constexpr int kTooLong = static_cast<int>(kMaxStringLimit) + 1;

TEST(StringLimits, HostSymbolsAndResultsAboveTheLargestLimitAreRefused) {
  EnginePtr e = testutil::make_engine();
  for (int limit : {kTooLong, INT32_MAX}) {
    exp_symval *cell = nullptr;
    EXPECT_EQ(exp_add_symbol(e.get(), "s", EXP_STRING, limit, 0, &cell), 3) << limit;
    EXPECT_EQ(message_of(e.get()), "Invalid input: string limit too large");
    EXPECT_EQ(exp_symbol_count(e.get()), 0);
    exp_pcode *p = nullptr;
    EXPECT_EQ(exp_make_pcode(e.get(), "'x'", &p, EXP_STRING, limit, 0, nullptr), 3) << limit;
    EXPECT_EQ(p, nullptr);
  }
  // The engine stays usable.
  EXPECT_EQ(run(e.get(), "'ok'").result, "s:ok");
}

TEST(StringLimits, DeclaredLengthsWhoseBufferWouldNotFitAreACompileError) {
  EnginePtr e = testutil::make_engine();
  for (const char *text : {"string(536870912) s", "string(2000000000) s", "private string(2147483647 bytes) s"}) {
    Outcome r = run(e.get(), text);
    EXPECT_EQ(r.rc, 32) << text;
    EXPECT_EQ(r.message, "Compilation error: string length above 536870911 characters") << text;
  }
  EXPECT_EQ(exp_symbol_count(e.get()), 0);
}

TEST(StringLimits, ResizeBeyondTheLargestLimitFailsAndKeepsTheCell) {
  testutil::Cell c(EXP_STRING, 5);
  exp_symval_setstr(c, "hello");
  EXPECT_EQ(exp_symval_str_resize(c, kTooLong), EXP_E_STRING_LIMIT_RANGE);
  EXPECT_EQ(exp_symval_str_resize(c, INT32_MAX), EXP_E_STRING_LIMIT_RANGE);
  EXPECT_EQ(c->len, 5u);
  EXPECT_EQ(testutil::render(c), "s:hello");
}

// Concatenating cells whose limits add up past the largest limit is refused before the result
// grows. The operands' limits are set by hand: real cells that large would take gigabytes.
TEST(StringLimits, ConcatenationThatWouldOverflowTheLimitIsAnError) {
  EnginePtr e = testutil::make_engine();
  testutil::Cell left(EXP_STRING, 4), right(EXP_STRING, 4), result(EXP_STRING, 8);
  exp_symval_setstr(left, "ab");
  exp_symval_setstr(right, "cd");
  left->len = static_cast<uint32_t>(kMaxStringLimit);
  exp_symval *argv[] = {left.get(), right.get(), nullptr};
  EXPECT_EQ(exp_opcode_table[OP_CONCAT].handler(e.get(), result, 2, argv), 1);
  EXPECT_EQ(result->len, 8u);
  left->len = 4;
}

// Results that would grow past the largest limit: 200000 occurrences each replaced by 200000
// characters is 4 * 10^10 characters, refused without allocating.
TEST(StringLimits, GrowthOfReplaceBeyondTheLargestLimitIsAnError) {
  EnginePtr e = testutil::make_engine();
  exp_symval *s = nullptr, *r = nullptr;
  ASSERT_EQ(exp_add_symbol(e.get(), "big", EXP_STRING, 200000, 0, &s), 0);
  ASSERT_EQ(exp_add_symbol(e.get(), "rep", EXP_STRING, 200000, 0, &r), 0);
  exp_symval_setstr(s, std::string(200000, 'a').c_str());
  exp_symval_setstr(r, std::string(200000, 'b').c_str());
  Outcome out = run(e.get(), "len(replace(big, 'a', rep))", EXP_INTEGER);
  EXPECT_EQ(out.rc, 1);
  EXPECT_EQ(out.message, "Memory Allocation Failed");
  // Growth that fits is delivered whole.
  EXPECT_EQ(run(e.get(), "len(replace(big, 'a', 'xyz'))", EXP_INTEGER).result, "i:600000");
}

TEST(StringLimits, FormatdateGrowsItsResultToTheWholeText) {
  EnginePtr e = testutil::make_engine();
  std::string pattern;
  for (int k = 0; k < 50; ++k) pattern += "MMMM ";
  Outcome out = run(e.get(), "len(formatdate(#2026-09-01#, '" + pattern + "'))", EXP_INTEGER);
  EXPECT_EQ(out.result, "i:" + std::to_string(50 * 10));
}

// ---- arrays ----------------------------------------------------------------------------------------

TEST(ArrayLimits, SizesOutsideTheElementCountAreRefused) {
  EnginePtr e = testutil::make_engine();
  for (const char *size : {"2147483648", "9223372036854775807", "-1"}) {
    Outcome out = run(e.get(), std::string("integer array a\na.dim(") + size + ")", EXP_INTEGER);
    EXPECT_EQ(out.rc, 1) << size;
    EXPECT_EQ(out.message, "Memory Allocation Failed") << size;
  }
}

// ---- regular expressions ---------------------------------------------------------------------------

TEST(RegexLimits, CatastrophicBacktrackingStopsAtTheMatchLimit) {
  EnginePtr e = testutil::make_engine();
  Outcome out = run(e.get(),
                    "regex re\nre.compile('(a+)+$')\n"
                    "re.findfirst('aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa!')",
                    EXP_BOOLEAN);
  EXPECT_EQ(out.rc, 102);
  EXPECT_EQ(out.message, "Error in function: match limit exceeded");
}

// ---- running programs from host callbacks ----------------------------------------------------------

// What the host callbacks below use, reached through the engine's callback data.
struct Host {
  exp_pcode *target = nullptr;         // the program host_run runs
  std::vector<exp_pcode *> chain;      // host_next runs chain[depth]
  size_t depth = 0;
  int inner_rc = -1;
  std::string inner_message;
};

Host &host(exp_engine *e) { return *static_cast<Host *>(exp_get_callback_data(e)); }

// host_run(): runs the target program from inside a run; the result is the error number.
int host_run(exp_engine *e, exp_symval *result, int, exp_symval **) {
  Host &h = host(e);
  exp_symval *inner = nullptr;
  h.inner_rc = exp_execute(e, h.target, &inner);
  h.inner_message = message_of(e);
  exp_symval_setint(result, h.inner_rc);
  return 0;
}

// host_free(): tries to free the target program while it runs.
int host_free(exp_engine *e, exp_symval *result, int, exp_symval **) {
  Host &h = host(e);
  h.inner_rc = exp_free_pcode(e, h.target);
  h.inner_message = message_of(e);
  exp_symval_setint(result, h.inner_rc);
  return 0;
}

// host_next(): runs the next program of the chain, passing its error on.
int host_next(exp_engine *e, exp_symval *result, int, exp_symval **) {
  Host &h = host(e);
  if (h.depth >= h.chain.size()) return 0;
  exp_pcode *next = h.chain[h.depth++];
  exp_symval *inner = nullptr;
  int rc = exp_execute(e, next, &inner);
  exp_symval_setint(result, rc);
  return rc;
}

class Reentry : public ::testing::Test {
 protected:
  void SetUp() override {
    e_ = testutil::make_engine();
    exp_set_callback_data(e_.get(), &host_);
    const std::pair<const char *, exp_func_cb> functions[] = {
        {"host_run", host_run}, {"host_free", host_free}, {"host_next", host_next}};
    for (const auto &[name, fn] : functions)
      ASSERT_EQ(exp_register_function(e_.get(), name, fn, 0, 0, "", 'i', 0, name, 0, nullptr), 0);
  }
  void TearDown() override {
    for (auto it = programs_.rbegin(); it != programs_.rend(); ++it) EXPECT_EQ(exp_free_pcode(e_.get(), *it), 0);
  }
  exp_pcode *compile(const std::string &text, const char *name = nullptr) {
    exp_pcode *p = nullptr;
    EXPECT_EQ(exp_make_pcode(e_.get(), text.c_str(), &p, EXP_INTEGER, 0, 0, name), 0) << message_of(e_.get());
    if (p) programs_.push_back(p);
    return p;
  }
  int execute(exp_pcode *p, exp_symval **result) { return exp_execute(e_.get(), p, result); }

  EnginePtr e_;
  Host host_;
  std::vector<exp_pcode *> programs_;
};

TEST_F(Reentry, RunningTheSameProgramFromItsOwnCallbackIsRefused) {
  exp_pcode *p = compile("integer n\nn = host_run()\nn + 1");
  host_.target = p;
  exp_symval *result = nullptr;
  ASSERT_EQ(execute(p, &result), 0);
  EXPECT_EQ(host_.inner_rc, 3);
  EXPECT_EQ(host_.inner_message, "Invalid input: the program is already running");
  EXPECT_EQ(testutil::render(result), "i:4");  // the outer run finished with the inner error number
  // Nothing is left marked as running.
  ASSERT_EQ(execute(p, &result), 0);
  EXPECT_EQ(testutil::render(result), "i:4");
}

TEST_F(Reentry, AnotherProgramMayRunFromACallback) {
  exp_pcode *inner = compile("40 + 2");
  exp_pcode *outer = compile("host_run() + 1");
  host_.target = inner;
  exp_symval *result = nullptr;
  ASSERT_EQ(execute(outer, &result), 0);
  EXPECT_EQ(host_.inner_rc, 0);
  EXPECT_EQ(testutil::render(result), "i:1");
}

TEST_F(Reentry, AUserDefinedFunctionReenteredThroughTheHostIsRefused) {
  exp_pcode *f = compile("host_run()", "f");
  exp_pcode *outer = compile("f()");
  exp_pcode *inner = compile("f()");
  ASSERT_TRUE(f && outer && inner);
  host_.target = inner;  // outer -> f -> host_run -> inner -> f again
  exp_symval *result = nullptr;
  ASSERT_EQ(execute(outer, &result), 0);
  EXPECT_EQ(host_.inner_rc, 3);
  EXPECT_EQ(host_.inner_message, "Invalid input: user-defined function 'f' is already running");
  // Once the outer run is over, f runs again normally.
  host_.target = compile("7");
  ASSERT_EQ(execute(inner, &result), 0);
  EXPECT_EQ(host_.inner_rc, 0);
}

TEST_F(Reentry, FreeingTheRunningProgramFromACallbackIsRefused) {
  exp_pcode *p = compile("host_free()");
  host_.target = p;
  exp_symval *result = nullptr;
  ASSERT_EQ(execute(p, &result), 0);
  EXPECT_EQ(host_.inner_rc, 3);
  EXPECT_EQ(host_.inner_message, "Invalid input: the program is running");
}

TEST_F(Reentry, ChainsOfRunsDeeperThanTheLimitStopWithAnError) {
  for (int k = 0; k < 300; ++k) host_.chain.push_back(compile("host_next()"));
  host_.depth = 1;  // chain[0] is the one run first
  exp_symval *result = nullptr;
  EXPECT_EQ(execute(host_.chain[0], &result), 3);
  EXPECT_EQ(message_of(e_.get()), "Invalid input: runs nest more than 256 deep");
  // A chain within the limit runs to its end.
  host_.depth = 1;
  host_.chain.resize(200);
  EXPECT_EQ(execute(host_.chain[0], &result), 0);
  EXPECT_EQ(host_.depth, 200u);
}

// ---- runaway programs -----------------------------------------------------------------------------

int stop_at_third(exp_engine *e) { return ++*static_cast<int *>(exp_get_callback_data(e)) >= 3; }

TEST(RunLimits, AnEndlessLoopIsStoppedByTheInterruptHandler) {
  EnginePtr e = testutil::make_engine();
  int asked = 0;
  exp_set_callback_data(e.get(), &asked);
  exp_set_interrupt_hndlr(e.get(), stop_at_third);
  Outcome out = run(e.get(), "integer n\nwhile true n = n + 1", EXP_INTEGER);
  EXPECT_EQ(out.rc, 104);
  EXPECT_EQ(asked, 3);
}

}  // namespace
