// Resource limits set with exp_set_limit: a hostile rule stops at each with error 109 naming the
// limit, and the engine stays usable: the same program run next with good input succeeds.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/test_util.h"
#include "engine.h"
#include "expression.h"

namespace {

struct Udf {
  const char *name;
  const char *text;
};

struct LimitRow {
  int which;
  int64_t value;
  const char *word;           // the part of the message that names the limit
  std::vector<Udf> udfs;      // user-defined functions compiled before the limit is set
  std::string program;        // integer result, reads the host symbols n (integer) and t (string)
  int64_t bad_n, good_n;
  std::string bad_t, good_t;  // with the n values: the run that hits the limit, the one that does not
};

struct Engine {
  testutil::EnginePtr e = testutil::make_engine();
  exp_symval *n = nullptr, *t = nullptr;
  Engine() {
    exp_add_symbol(e.get(), "n", EXP_INTEGER, 0, 0, &n);
    exp_add_symbol(e.get(), "t", EXP_STRING, 1000000, 0, &t);
  }
  int run(exp_pcode *p, int64_t n_value, const std::string &t_value) {
    exp_symval_setint(n, n_value);
    exp_symval_setstr(t, t_value.c_str());
    return exp_execute(e.get(), p, nullptr);
  }
};

TEST(ResourceLimits, AHostileRunStopsAtEachLimitAndTheNextRunWorks) {
  const std::string catastrophic = "aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaab";
  std::string many_words;
  while (many_words.size() < 99'990) many_words += "a ";
  const LimitRow rows[] = {
      {EXP_LIMIT_MEMORY, 1 << 20, "memory limit of 1048576 bytes", {},
       "integer array a\na.dim(n)", 10'000'000, 10, "", ""},
      {EXP_LIMIT_MEMORY, 1 << 20, "memory limit", {},
       "string array a\naparse(t, \",\", a)", 0, 0, std::string(99'999, ','), "a,b"},
      // Temporaries that grow at run time, a regex's backtracking memory and a built-in's work
      // arrays count as well as declared cells.
      {EXP_LIMIT_MEMORY, 1 << 20, "memory limit", {}, "len(replace(t, \"x\", \"xxxxxxxxxx\") & \"!\")", 0, 0,
       std::string(99'999, 'x'), "ab"},
      {EXP_LIMIT_MEMORY, 1 << 20, "memory limit", {},
       "regex r\nr.compile(\"^(a|b)*$\")\nif r.findfirst(t) then return 1 else return 0", 0, 0,
       std::string(99'999, 'a'), "ab"},
      {EXP_LIMIT_MEMORY, 1 << 20, "memory limit", {}, "len(sort_words(t))", 0, 0, many_words, "b a"},
      {EXP_LIMIT_STEPS, 100'000, "step limit of 100000 steps", {},
       "integer s\ninteger i\ns = 0\nfor i = 1 to n s = s + i\ns", 10'000'000, 100, "", ""},
      // Runs shorter than one interrupt interval, and user-defined functions' instructions, count too.
      {EXP_LIMIT_STEPS, 50, "step limit of 50", {}, "integer s\ninteger i\ns = 0\nfor i = 1 to n s = s + i\ns",
       40, 2, "", ""},
      {EXP_LIMIT_STEPS, 5000, "step limit of 5000", {{"work", "integer w\ninteger k\nw = 0\nfor k = 1 to 20 w = w + k\nw"}},
       "integer s\ninteger i\ns = 0\nfor i = 1 to n s = s + work()\ns", 200, 2, "", ""},
      {EXP_LIMIT_STRING, 1000, "string limit of 1000 characters", {},
       "string array a\naparse(t, \",\", a)\nlen(a.get(1))", 0, 0, std::string(5000, 'x'), "short"},
      // Results whose cells were made wide enough when compiling still count by their text.
      {EXP_LIMIT_STRING, 1000, "string limit of 1000", {}, "len(t & t)", 0, 0, std::string(600, 'x'), "ab"},
      {EXP_LIMIT_STRING, 1000, "string limit of 1000", {}, "len(t & t & t & t)", 0, 0, std::string(300, 'x'), "ab"},
      {EXP_LIMIT_STRING, 1000, "string limit of 1000", {}, "regex r\nr.compile(\"a\")\nlen(r.replace(t, \"aaaaaaaaaa\"))",
       0, 0, std::string(200, 'a'), "ab"},
      {EXP_LIMIT_STRING, 1000, "string limit of 1000", {}, "len(vareval(\"t\"))", 0, 0, std::string(1001, 'x'), "ab"},
      {EXP_LIMIT_CALL_DEPTH, 2, "call depth limit of 2",
       {{"inner", "7"}, {"middle", "if parameterinteger(1) > 0 then return inner() else return 1"},
        {"outer", "middle(parameterinteger(1))"}},
       "outer(n)", 1, 0, "", ""},
      {EXP_LIMIT_REGEX_MATCH, 10'000, "regex match limit of 10000", {},
       "regex r\nr.compile(\"^(a+)+$\")\nif r.findfirst(t) then return 1 else return 0", 0, 0, catastrophic, "aaa"},
      {EXP_LIMIT_REGEX_DEPTH, 50, "regex depth limit of 50", {},
       "regex r\nr.compile(\"^(a|b)*$\")\nif r.findfirst(t) then return 1 else return 0", 0, 0,
       std::string(5000, 'a'), "ab"},
  };
  for (const LimitRow &row : rows) {
    SCOPED_TRACE(row.program);
    Engine engine;
    exp_engine *e = engine.e.get();
    std::vector<exp_pcode *> udfs;
    for (const Udf &u : row.udfs) {
      exp_pcode *p = nullptr;
      ASSERT_EQ(exp_make_pcode(e, u.text, &p, EXP_INTEGER, 0, 0, u.name), 0) << testutil::last_message(e);
      udfs.push_back(p);
    }
    EXPECT_EQ(exp_get_limit(e, row.which), 0) << "off by default";
    ASSERT_EQ(exp_set_limit(e, row.which, row.value), 0);
    EXPECT_EQ(exp_get_limit(e, row.which), row.value);
    exp_pcode *p = nullptr;
    ASSERT_EQ(exp_make_pcode(e, row.program.c_str(), &p, EXP_INTEGER, 0, 0, nullptr), 0) << testutil::last_message(e);
    EXPECT_EQ(engine.run(p, row.bad_n, row.bad_t), 109);
    EXPECT_NE(testutil::last_message(e).find(row.word), std::string::npos) << testutil::last_message(e);
    EXPECT_EQ(engine.run(p, row.good_n, row.good_t), 0) << testutil::last_message(e);
    // And once more after a good run: nothing the failed run held is still counted against it.
    EXPECT_EQ(engine.run(p, row.good_n, row.good_t), 0) << testutil::last_message(e);
    exp_free_pcode(e, p);
    for (auto it = udfs.rbegin(); it != udfs.rend(); ++it) exp_free_pcode(e, *it);
  }
}

// Every run starts with the same memory charged: what a run's results grew by, and the arrays and
// regexes it made, are given back when it ends, however it ends, so the same input gets the same
// answer on every run.
TEST(ResourceLimits, RunsGiveBackWhatTheirResultsGrew) {
  Engine engine;
  exp_engine *e = engine.e.get();
  ASSERT_EQ(exp_set_limit(e, EXP_LIMIT_MEMORY, 64 << 20), 0);
  exp_pcode *twice = nullptr, *p = nullptr;
  ASSERT_EQ(exp_make_pcode(e, "parameterstring(1) & parameterstring(1)", &twice, EXP_STRING, 10, 0, "twice"), 0);
  ASSERT_EQ(exp_make_pcode(e,
                           "integer k\nstring array a\nregex x\n"
                           "k = len(upper(t) & sort(t)) + len(replace(t, \"a\", \"aa\")) + len(twice(t))\n"
                           "k = k + aparse(t, \"b\", a) + len(a.get(1))\n"
                           "x.compile(\"(a|b)+\")\n"
                           "k = k + len(x.replace(t, \"<\\\\0>\"))\n"
                           "if n == 1 then raiseerror(\"stop\")\n"
                           "k",
                           &p, EXP_INTEGER, 0, 0, nullptr),
            0)
      << testutil::last_message(e);
  const int64_t charged = e->memory->used.load();
  std::string longer;
  for (int i = 0; i < 3000; ++i) longer += "ab\xC3\xA9"[i % 4 == 3 ? 2 : i % 3];
  std::vector<int64_t> answers(3, -1);
  for (int i = 0; i < 1000; ++i) {
    const int kind = i % 3;  // a long text, a short one, a long one whose run fails after growing
    exp_symval_setint(engine.n, kind == 2 ? 1 : 0);
    exp_symval_setstr(engine.t, kind == 1 ? "ab" : longer.c_str());
    exp_symval *r = nullptr;
    ASSERT_EQ(exp_execute(e, p, &r), kind == 2 ? EXP_E_USER : 0) << i;
    const int64_t answer = kind == 2 ? 0 : r->value.i;
    if (answers[kind] < 0) answers[kind] = answer;
    ASSERT_EQ(answer, answers[kind]) << i;
    ASSERT_EQ(e->memory->used.load(), charged) << "run " << i;
  }
  exp_free_pcode(e, p);
  exp_free_pcode(e, twice);
  EXPECT_EQ(e->memory->used.load(), 0);
}

struct CompileRow {
  int which;
  int64_t value;
  std::string program;
};

TEST(ResourceLimits, ProgramsPastTheStaticLimitsDoNotCompile) {
  std::string long_program = "integer x\nx = 0";
  for (int i = 0; i < 100; ++i) long_program += "\nx = x + 1";
  const CompileRow rows[] = {
      {EXP_LIMIT_MEMORY, 1 << 20, "string(100000000) s\n1"},
      {EXP_LIMIT_MEMORY, 1 << 20, "string(200000) a\nstring(200000) b\n1"},
      {EXP_LIMIT_STRING, 1000, "string(1001) s\n1"},
      {EXP_LIMIT_SYMBOLS, 3, "global integer a\nglobal integer b\n1"},
      {EXP_LIMIT_PROGRAM, 50, long_program},
  };
  for (const CompileRow &row : rows) {
    SCOPED_TRACE(row.program.substr(0, 40));
    Engine engine;
    exp_engine *e = engine.e.get();
    ASSERT_EQ(exp_set_limit(e, row.which, row.value), 0);
    exp_pcode *p = nullptr;
    EXPECT_EQ(exp_make_pcode(e, row.program.c_str(), &p, EXP_INTEGER, 0, 0, nullptr), 109);
    EXPECT_NE(testutil::last_message(e).find("Limit reached"), std::string::npos) << testutil::last_message(e);
    ASSERT_EQ(exp_make_pcode(e, "n + 1", &p, EXP_INTEGER, 0, 0, nullptr), 0) << testutil::last_message(e);
    EXPECT_EQ(engine.run(p, 1, ""), 0);
    exp_free_pcode(e, p);
  }
  Engine engine;
  EXPECT_EQ(exp_set_limit(engine.e.get(), 0, 1), 3);
  EXPECT_EQ(exp_set_limit(engine.e.get(), EXP_LIMIT_COUNT + 1, 1), 3);
  EXPECT_EQ(exp_set_limit(engine.e.get(), EXP_LIMIT_STEPS, -1), 3);
}

}  // namespace

namespace {

// Every built-in whose work grows with its input charges that work as steps: one call over a
// long text is many steps, while the same call over a short text stays within its instruction.
TEST(ResourceLimits, BuiltInWorkCountsAgainstTheStepLimit) {
  const std::string long_text = std::string(200'000, 'a') + "Z";
  const struct {
    const char *program;
    int64_t bad_n = 0;  // n of the run past the limit; the good run has n = 1 and t = "abc"
  } rows[] = {
      {"len(t)"},
      {"len(upper(t))"},
      {"instr(t, \"Z\")"},
      {"occurs(t, \"a\")"},
      {"len(replace(t, \"a\", \"b\"))"},
      {"len(trim(t))"},
      {"len(mid(t, 2))"},
      {"compare(t, \"a\")"},
      {"len(t & \"!\")"},
      {"string(300000) u\nu = t\nlen(u)"},
      {"if t == t & \"\" then return 1 else return 0"},
      {"len(tostring(t))"},
      {"len(determine_type(t))"},
      {"if isalpha(t) then return 1 else return 0"},
      {"len(pattern(t))"},
      {"len(sort(t))"},
      {"edit_distance(mid(t, 1, 300), mid(t, 2, 300))"},
      {"if match_string(t, \"*Z\") then return 1 else return 0"},
      {"string array a\naparse(t, \"a\", a)"},
      {"regex r\nr.compile(\"a\")\nlen(r.replace(t, \"\"))"},
      {"regex r\nr.compile(\"Z\")\nif r.findfirst(t) then return 1 else return 0"},
      {"integer i\nreal x\nfor i = 1 to n x = pow(1.5, 0.5)\n1", 10},
  };
  for (const auto &row : rows) {
    SCOPED_TRACE(row.program);
    Engine engine;
    exp_engine *e = engine.e.get();
    ASSERT_EQ(exp_set_limit(e, EXP_LIMIT_STEPS, 5000), 0);
    exp_pcode *p = nullptr;
    ASSERT_EQ(exp_make_pcode(e, row.program, &p, EXP_INTEGER, 0, 0, nullptr), 0) << testutil::last_message(e);
    EXPECT_EQ(engine.run(p, row.bad_n, long_text), 109);
    EXPECT_NE(testutil::last_message(e).find("step limit of 5000"), std::string::npos) << testutil::last_message(e);
    EXPECT_EQ(engine.run(p, 1, "abc"), 0) << testutil::last_message(e);
    exp_free_pcode(e, p);
  }
}

int stop_when_asked(exp_engine *) { return 1; }

// Built-ins whose one call can run for seconds ask the interrupt handler as their work grows, so
// a time-out stops them inside the call. The handler here stops at the first question.
TEST(ResourceLimits, LongBuiltInsAskTheInterruptHandler) {
  std::string letters;  // 150,000 two-byte characters in no order
  for (int i = 0; i < 150'000; ++i) letters += i % 3 ? "\xC3\xA9" : (i % 2 ? "\xC3\xB1" : "\xC3\xA0");
  std::string words;
  for (int i = 0; i < 100'000; ++i) words += std::to_string((i * 7919) % 100'003) + " ";
  const struct {
    const char *program;
    std::string text;
  } rows[] = {
      {"len(sort(t))", letters},
      {"len(sort_words(t))", words},
      {"edit_distance(t, t & \"x\")", std::string(2'000, 'a')},
  };
  for (const auto &row : rows) {
    SCOPED_TRACE(row.program);
    Engine engine;
    exp_pcode *p = nullptr;
    ASSERT_EQ(exp_make_pcode(engine.e.get(), row.program, &p, EXP_INTEGER, 0, 0, nullptr), 0);
    exp_set_interrupt_hndlr(engine.e.get(), stop_when_asked);
    EXPECT_EQ(engine.run(p, 0, row.text), 104);
    exp_set_interrupt_hndlr(engine.e.get(), nullptr);
    EXPECT_EQ(engine.run(p, 0, row.text), 0) << testutil::last_message(engine.e.get());
    exp_free_pcode(engine.e.get(), p);
  }
}

}  // namespace
