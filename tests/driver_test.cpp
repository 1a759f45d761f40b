// Tests of the compiler's entry points: argument checks, the reported error position, the
// locale switch around compiling, user-defined functions, the failure path, and the collection
// of the symbols a text needs.
#include <gtest/gtest.h>

#include <clocale>
#include <locale.h>
#include <string>
#include <thread>
#include <vector>

#include "common/test_util.h"
#include "engine.h"
#include "errors.h"
#include "program.h"

using testutil::EnginePtr;
using testutil::make_engine;
using testutil::render;

namespace {

// What exp_error_info reports.
struct ErrorInfo {
  int error;
  std::string message;
  int line, column;
};

ErrorInfo error_info(exp_engine *e) {
  const char *m = nullptr;
  int line = -1, column = -1;
  int error = exp_error_info(e, &m, &line, &column);
  return {error, m ? m : "", line, column};
}

// Compiles, runs and frees a program; "error N" for a failure of either step.
std::string evaluate(exp_engine *e, const char *text, int type = EXP_INTEGER, int len = 0) {
  exp_pcode *p = nullptr;
  if (int rc = exp_make_pcode(e, text, &p, type, len, 0, nullptr)) return "error " + std::to_string(rc);
  exp_symval *result = nullptr;
  int rc = exp_execute(e, p, &result);
  std::string out = rc ? "error " + std::to_string(rc) : render(result);
  EXPECT_EQ(exp_free_pcode(e, p), 0);
  return out;
}

// Every required name that exp_get_next_req_symbol hands out, in order, up to its 0.
std::vector<std::string> required_names(exp_engine *e) {
  std::vector<std::string> names;
  const char *name = nullptr;
  while (names.size() < 100 && exp_get_next_req_symbol(e, &name) == 1) names.emplace_back(name);
  return names;
}

// ---- arguments and the program handed out --------------------------------------------------------

TEST(MakePcode, ArgumentChecks) {
  struct Case {
    int type, len;
    int error;
  };
  const Case cases[] = {
      {EXP_STRING, 0, ERR_ZERO_LENGTH}, {EXP_STRING, -5, ERR_ZERO_LENGTH}, {0, 0, ERR_RETURN_TYPE},
      {8, 0, ERR_RETURN_TYPE},          {-1, 0, ERR_RETURN_TYPE},          {EXP_STRING, 1, 0},
      {EXP_BOOLEAN, 0, 0},              {EXP_OBJECT, 0, 0},                {EXP_POINTER, 0, 0},
  };
  EnginePtr e = make_engine();
  for (const Case &c : cases) {
    SCOPED_TRACE(std::to_string(c.type) + "/" + std::to_string(c.len));
    exp_pcode *p = nullptr;
    EXPECT_EQ(exp_make_pcode(e.get(), "1", &p, c.type, c.len, 0, nullptr), c.error);
    EXPECT_EQ(p != nullptr, c.error == 0);
    if (p) exp_free_pcode(e.get(), p);
  }
  exp_pcode *p = nullptr;
  EXPECT_EQ(exp_make_pcode(e.get(), "1", nullptr, EXP_INTEGER, 0, 0, nullptr), ERR_INVALID_INPUT);
  EXPECT_EQ(exp_make_pcode(nullptr, "1", &p, EXP_INTEGER, 0, 0, nullptr), ERR_INVALID_INPUT);
}

TEST(MakePcode, ResultCellFollowsTypeLengthAndFlags) {
  EnginePtr e = make_engine();
  exp_pcode *p = nullptr;
  ASSERT_EQ(exp_make_pcode(e.get(), "'abcdef'", &p, EXP_STRING, 4, EXP_MAKE_BYTES, nullptr), 0);
  EXPECT_EQ(EXP_TYPE(&p->result), EXP_STRING);
  EXPECT_EQ(p->result.len, 4u);
  EXPECT_NE(p->result.flags & EXP_BYTES, 0u);
  EXPECT_EQ(p->result_type, EXP_STRING);
  EXPECT_EQ(p->result_len, 4);
  exp_symval *result = nullptr;
  ASSERT_EQ(exp_execute(e.get(), p, &result), 0);
  EXPECT_EQ(render(result), "s:abcd");
  exp_free_pcode(e.get(), p);
  ASSERT_EQ(exp_make_pcode(e.get(), "'abcdef'", &p, EXP_STRING, 4, 0, nullptr), 0);
  EXPECT_EQ(p->result.flags & EXP_BYTES, 0u);
  exp_free_pcode(e.get(), p);
}

TEST(MakePcode, EmptyProgramHasNoInstructionsAndLeavesTheResultAlone) {
  EnginePtr e = make_engine();
  for (const char *text : {"", "  // nothing\n", "/* */ ;;"}) {
    SCOPED_TRACE(text);
    exp_pcode *p = nullptr;
    ASSERT_EQ(exp_make_pcode(e.get(), text, &p, EXP_INTEGER, 0, 0, nullptr), 0);
    EXPECT_EQ(p->count, 0);
    EXPECT_EQ(p->max_args, 0);
    EXPECT_NE(p->argv, nullptr);  // room for the self cell
    exp_symval *result = nullptr;
    EXPECT_EQ(exp_execute(e.get(), p, &result), 0);
    EXPECT_EQ(render(result), "null");
    exp_free_pcode(e.get(), p);
  }
  // A null text is an empty program.
  exp_pcode *p = nullptr;
  ASSERT_EQ(exp_make_pcode(e.get(), nullptr, &p, EXP_INTEGER, 0, 0, nullptr), 0);
  exp_free_pcode(e.get(), p);
}

int three_args(exp_engine *, exp_symval *result, int argc, exp_symval **) {
  exp_symval_setint(result, argc);
  return 0;
}

// The argument vector holds the largest argument count of any call, plus the self cell.
TEST(MakePcode, ArgumentVectorFitsTheLargestCall) {
  EnginePtr e = make_engine();
  ASSERT_EQ(exp_register_function(e.get(), "args", three_args, 0, EXP_UNLIMITED, "i", 'I', 0, "", 0, nullptr), 0);
  exp_pcode *p = nullptr;
  ASSERT_EQ(exp_make_pcode(e.get(), "args(1, 2) + args(1, 2, 3, 4) + 1", &p, EXP_INTEGER, 0, 0, nullptr), 0);
  EXPECT_EQ(p->max_args, 4);
  exp_symval *result = nullptr;
  ASSERT_EQ(exp_execute(e.get(), p, &result), 0);
  EXPECT_EQ(render(result), "i:7");
  exp_free_pcode(e.get(), p);
}

// ---- the reported position ---------------------------------------------------------------------------

TEST(ErrorPosition, FollowsTheLastCompilation) {
  EnginePtr e = make_engine();
  ErrorInfo before = error_info(e.get());
  EXPECT_EQ(before.line, 0);
  EXPECT_EQ(before.column, 0);

  EXPECT_EQ(evaluate(e.get(), "1 +\n  (2 +\n    nosuch)"), "error 34");
  ErrorInfo failed = error_info(e.get());
  EXPECT_EQ(failed.error, ERR_SYMBOL_NOT_FOUND);
  EXPECT_EQ(failed.message, "Symbol 'nosuch' not found");
  EXPECT_EQ(failed.line, 3);
  EXPECT_EQ(failed.column, 5);

  exp_pcode *p = nullptr;
  ASSERT_EQ(exp_make_pcode(e.get(), "2", &p, EXP_INTEGER, 0, 0, nullptr), 0);
  ErrorInfo ok = error_info(e.get());
  EXPECT_EQ(ok.error, 0);
  EXPECT_EQ(ok.message, "");
  EXPECT_EQ(ok.line, 0);
  EXPECT_EQ(ok.column, 0);
  exp_free_pcode(e.get(), p);

  // Missing labels are found after parsing: no position.
  EXPECT_EQ(evaluate(e.get(), "\n\n  goto there"), "error 40");
  ErrorInfo label = error_info(e.get());
  EXPECT_EQ(label.message, "Label 'there' not found");
  EXPECT_EQ(label.line, 0);
  EXPECT_EQ(label.column, 0);
}

TEST(ErrorPosition, FirstLineAndLeadingLineBreaks) {
  struct Case {
    const char *text;
    int line, column;
  };
  const Case cases[] = {
      {"1 + )", 1, 5},
      {"\n1 + )", 2, 5},
      {"\r\n\r\n  )", 3, 3},
      {"\t)", 1, 2},
      {"'\xC3\xA9\xC3\xA9' + )", 1, 8},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.text);
    EnginePtr e = make_engine();
    EXPECT_EQ(evaluate(e.get(), c.text), "error 50");
    ErrorInfo info = error_info(e.get());
    EXPECT_EQ(info.line, c.line);
    EXPECT_EQ(info.column, c.column);
  }
}

// ---- the locale around compiling ----------------------------------------------------------------------

// Switches the process locale to one whose decimal separator is a comma for the test's duration,
// and back to "C" afterwards. available() is false when the system has no such locale.
class CommaLocale {
 public:
  CommaLocale() {
    for (const char *name : {"de_DE.UTF-8", "de_DE.utf8", "de_DE", "fr_FR.UTF-8", "fr_FR.utf8", "nl_NL.UTF-8",
                             "es_ES.UTF-8", "it_IT.UTF-8", "ru_RU.UTF-8"}) {
      if (std::setlocale(LC_ALL, name) && std::string(localeconv()->decimal_point) == ",") {
        name_ = std::setlocale(LC_ALL, nullptr);
        return;
      }
    }
    std::setlocale(LC_ALL, "C");
  }
  ~CommaLocale() { std::setlocale(LC_ALL, "C"); }
  CommaLocale(const CommaLocale &) = delete;
  CommaLocale &operator=(const CommaLocale &) = delete;
  bool available() const { return !name_.empty(); }
  const std::string &name() const { return name_; }

  // The locale is still the process locale, for this thread too, with its comma.
  void expect_in_force() const {
    EXPECT_EQ(std::string(std::setlocale(LC_ALL, nullptr)), name_);
    EXPECT_EQ(std::string(localeconv()->decimal_point), ",");
    EXPECT_EQ(uselocale(static_cast<locale_t>(0)), LC_GLOBAL_LOCALE);
  }

 private:
  std::string name_;
};

TEST(CompileLocale, LiteralsReadTheSameUnderACommaLocale) {
  CommaLocale locale;
  if (!locale.available()) GTEST_SKIP() << "no locale with a decimal comma is installed";
  EnginePtr e = make_engine();
  EXPECT_EQ(evaluate(e.get(), "1.5", EXP_REAL), "r:1.5");
  locale.expect_in_force();
  EXPECT_EQ(evaluate(e.get(), "1.5 * 2", EXP_REAL), "r:3");
  locale.expect_in_force();
  // Numeric date literals read month/day/year while compiling, whatever the locale's order.
  double jan2 = 0;
  ASSERT_EQ(exp_compose_date(2024, 1, 2, 0, 0, 0, &jan2), 1);
  EXPECT_EQ(evaluate(e.get(), "#01/02/2024# - 0", EXP_INTEGER), "i:" + std::to_string(static_cast<int>(jan2)));
  locale.expect_in_force();
}

TEST(CompileLocale, RestoredAfterACompileError) {
  CommaLocale locale;
  if (!locale.available()) GTEST_SKIP() << "no locale with a decimal comma is installed";
  EnginePtr e = make_engine();
  EXPECT_EQ(evaluate(e.get(), "'never closed"), "error 10");
  locale.expect_in_force();
  EXPECT_EQ(evaluate(e.get(), "*/"), "error 11");
  locale.expect_in_force();
  EXPECT_EQ(evaluate(e.get(), "1.5 + nosuch"), "error 34");
  locale.expect_in_force();
  EXPECT_EQ(evaluate(e.get(), "goto nowhere"), "error 40");
  locale.expect_in_force();
}

// The switch is made for the compiling thread only: a locale the thread had chosen itself is
// its locale again afterwards, and other threads never see a change.
TEST(CompileLocale, OnlyTheCompilingThreadSwitches) {
  locale_t mine = newlocale(LC_ALL_MASK, "C.UTF-8", static_cast<locale_t>(0));
  if (!mine) GTEST_SKIP() << "no C.UTF-8 locale";
  locale_t previous = uselocale(mine);
  {
    EnginePtr e = make_engine();
    EXPECT_EQ(evaluate(e.get(), "2.5 * 2", EXP_REAL), "r:5");
    EXPECT_EQ(uselocale(static_cast<locale_t>(0)), mine);
    EXPECT_EQ(evaluate(e.get(), "2.5 +"), "error 10");
    EXPECT_EQ(uselocale(static_cast<locale_t>(0)), mine);
  }
  uselocale(previous);
  freelocale(mine);

  // Compiling on two threads with two engines at once.
  std::vector<std::string> results(2);
  std::vector<std::thread> threads;
  for (int i = 0; i < 2; ++i)
    threads.emplace_back([&results, i] {
      EnginePtr e = make_engine();
      std::string last;
      for (int n = 0; n < 200; ++n) last = evaluate(e.get(), i ? "0.25 * 4" : "1.5 + 1", EXP_REAL);
      results[i] = last;
    });
  for (std::thread &t : threads) t.join();
  EXPECT_EQ(results[0], "r:2.5");
  EXPECT_EQ(results[1], "r:1");
}

// ---- user-defined functions ----------------------------------------------------------------------------

TEST(UserFunctions, CallableByNameUntilFreed) {
  EnginePtr e = make_engine();
  exp_pcode *answer = nullptr;
  ASSERT_EQ(exp_make_pcode(e.get(), "21 * 2", &answer, EXP_INTEGER, 0, 0, "Answer"), 0);
  EXPECT_STREQ(answer->udf_name, "Answer");
  EXPECT_EQ(evaluate(e.get(), "answer() + 1"), "i:43");
  EXPECT_EQ(evaluate(e.get(), "ANSWER(1, 'x', 2.5)"), "i:42");  // no argument checks

  // The name is taken, in any case, while the program lives.
  exp_pcode *other = nullptr;
  EXPECT_EQ(exp_make_pcode(e.get(), "1", &other, EXP_INTEGER, 0, 0, "ANSWER"), ERR_FUNC_REGISTERED);
  EXPECT_EQ(error_info(e.get()).message, "Function already registered");
  EXPECT_EQ(other, nullptr);

  ASSERT_EQ(exp_free_pcode(e.get(), answer), 0);
  EXPECT_EQ(evaluate(e.get(), "answer()"), "error 35");
  ASSERT_EQ(exp_make_pcode(e.get(), "7", &other, EXP_INTEGER, 0, 0, "answer"), 0);
  EXPECT_EQ(evaluate(e.get(), "answer()"), "i:7");
  exp_free_pcode(e.get(), other);
}

TEST(UserFunctions, ResultTypeAndLengthOfTheCallee) {
  EnginePtr e = make_engine();
  exp_pcode *text = nullptr, *real = nullptr;
  ASSERT_EQ(exp_make_pcode(e.get(), "'abcdef'", &text, EXP_STRING, 3, 0, "text3"), 0);
  ASSERT_EQ(exp_make_pcode(e.get(), "1.25", &real, EXP_REAL, 0, 0, "quarter"), 0);
  EXPECT_EQ(evaluate(e.get(), "text3() & 'x'", EXP_STRING, 20), "s:abcx");
  EXPECT_EQ(evaluate(e.get(), "quarter() * 2", EXP_REAL), "r:2.5");
  exp_free_pcode(e.get(), text);
  exp_free_pcode(e.get(), real);
}

// A name is registered only once its compilation has succeeded, so a program cannot call
// itself, and a function can call only those compiled before it.
TEST(UserFunctions, NoSelfCallsAndNoCallsOfLaterFunctions) {
  EnginePtr e = make_engine();
  exp_pcode *p = nullptr;
  EXPECT_EQ(exp_make_pcode(e.get(), "1 + selfish()", &p, EXP_INTEGER, 0, 0, "selfish"), ERR_FUNC_NOT_FOUND);
  EXPECT_EQ(error_info(e.get()).message, "Function 'selfish' not found");
  EXPECT_EQ(p, nullptr);
  // The failed compilation registered nothing: the name is free.
  EXPECT_EQ(evaluate(e.get(), "selfish()"), "error 35");

  EXPECT_EQ(exp_make_pcode(e.get(), "second() + 1", &p, EXP_INTEGER, 0, 0, "first"), ERR_FUNC_NOT_FOUND);
  exp_pcode *second = nullptr, *first = nullptr;
  ASSERT_EQ(exp_make_pcode(e.get(), "10", &second, EXP_INTEGER, 0, 0, "second"), 0);
  ASSERT_EQ(exp_make_pcode(e.get(), "second() + 1", &first, EXP_INTEGER, 0, 0, "first"), 0);
  EXPECT_EQ(evaluate(e.get(), "first() * 2"), "i:22");
  exp_free_pcode(e.get(), first);
  exp_free_pcode(e.get(), second);
}

TEST(UserFunctions, EmptyAndLongNames) {
  EnginePtr e = make_engine();
  // An empty name registers no callable name, and does not block a second empty name.
  exp_pcode *a = nullptr, *b = nullptr;
  ASSERT_EQ(exp_make_pcode(e.get(), "1", &a, EXP_INTEGER, 0, 0, ""), 0);
  ASSERT_EQ(exp_make_pcode(e.get(), "2", &b, EXP_INTEGER, 0, 0, ""), 0);
  EXPECT_EQ(evaluate(e.get(), "``()"), "error 35");
  exp_free_pcode(e.get(), a);
  exp_free_pcode(e.get(), b);

  // A long name is kept to its first 64 bytes, which is the name callers use.
  std::string name(70, 'n');
  ASSERT_EQ(exp_make_pcode(e.get(), "5", &a, EXP_INTEGER, 0, 0, name.c_str()), 0);
  EXPECT_EQ(std::string(a->udf_name), name.substr(0, 64));
  EXPECT_EQ(evaluate(e.get(), (name.substr(0, 64) + "()").c_str()), "i:5");
  exp_free_pcode(e.get(), a);
}

// ---- the failure path -------------------------------------------------------------------------------------

TEST(FailurePath, DiscardsEverythingTheProgramMade) {
  EnginePtr e = make_engine();
  int symbols = exp_symbol_count(e.get());
  exp_pcode *sentinel = reinterpret_cast<exp_pcode *>(0x1);
  exp_pcode *p = sentinel;
  EXPECT_EQ(exp_make_pcode(e.get(), "public integer q; global string g; q = nosuch", &p, EXP_INTEGER, 0, 0,
                           "broken"),
            ERR_SYMBOL_NOT_FOUND);
  EXPECT_EQ(p, sentinel);
  EXPECT_EQ(exp_symbol_count(e.get()), symbols);
  EXPECT_EQ(e->live_programs, 0);
  // Neither the symbols nor the function name remain taken.
  exp_symval *q = nullptr;
  EXPECT_EQ(exp_add_symbol(e.get(), "q", EXP_INTEGER, 0, 0, &q), 0);
  p = nullptr;
  ASSERT_EQ(exp_make_pcode(e.get(), "1", &p, EXP_INTEGER, 0, 0, "broken"), 0);
  exp_free_pcode(e.get(), p);
  // The same after a failure in goto resolution, the last step.
  p = sentinel;
  EXPECT_EQ(exp_make_pcode(e.get(), "integer r; goto nowhere", &p, EXP_INTEGER, 0, 0, "late"), ERR_LABEL_NOT_FOUND);
  EXPECT_EQ(p, sentinel);
  EXPECT_EQ(exp_symbol_get_by_name(e.get(), "r"), nullptr);
  EXPECT_EQ(evaluate(e.get(), "late()"), "error 35");
  EXPECT_EQ(e->live_programs, 0);
}

// ---- collecting the symbols a text needs ------------------------------------------------------------------

TEST(DetermineSymbols, ListsUnknownNamesInOrderOnce) {
  struct Case {
    const char *text;
    int error;
    std::vector<std::string> names;
  };
  const Case cases[] = {
      {"a = b + c", 0, {"a", "b", "c"}},
      {"integer x; x = y + Y", 0, {"y"}},
      {"Foo + foo + FOO", 0, {"Foo"}},
      {"known + other", 0, {"other"}},
      {"for i = 1 to n total = total + i", 0, {"i", "n", "total"}},
      {"private integer p1; p1 = z", 0, {"z"}},
      // Unknown names compile as strings of 255 characters.
      {"s & t == 'x' and len > 3", 0, {"s", "t", "len"}},
      {"n.dim(5)", ERR_NOT_OBJECT, {"n"}},
      {"b + c + )", ERR_UNEXPECTED_VALUE, {"b", "c"}},
      {"1 + ``", ERR_SYMBOL_NOT_FOUND, {}},
      {"", 0, {}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.text);
    EnginePtr e = make_engine();
    exp_symval *known = nullptr;
    ASSERT_EQ(exp_add_symbol(e.get(), "known", EXP_INTEGER, 0, 0, &known), 0);
    EXPECT_EQ(exp_determine_symbols(e.get(), c.text), c.error);
    EXPECT_EQ(required_names(e.get()), c.names);
    // Nothing the trial compilation made stays behind, the placeholder included.
    EXPECT_EQ(exp_symbol_count(e.get()), 1);
    EXPECT_EQ(e->live_programs, 0);
    EXPECT_EQ(evaluate(e.get(), "never_declared"), "error 34");
  }
}

TEST(DetermineSymbols, WalkingTheListStartsOverAfterTheEnd) {
  EnginePtr e = make_engine();
  ASSERT_EQ(exp_determine_symbols(e.get(), "a + b"), 0);
  const char *name = nullptr;
  ASSERT_EQ(exp_get_next_req_symbol(e.get(), &name), 1);
  EXPECT_STREQ(name, "a");
  ASSERT_EQ(exp_get_next_req_symbol(e.get(), &name), 1);
  EXPECT_STREQ(name, "b");
  EXPECT_EQ(exp_get_next_req_symbol(e.get(), &name), 0);
  ASSERT_EQ(exp_get_next_req_symbol(e.get(), &name), 1);
  EXPECT_STREQ(name, "a");
  // A new collection replaces the list and starts at its first name.
  ASSERT_EQ(exp_determine_symbols(e.get(), "c"), 0);
  EXPECT_EQ(required_names(e.get()), std::vector<std::string>{"c"});
  EXPECT_EQ(exp_get_next_req_symbol(nullptr, &name), 0);
}

TEST(DetermineSymbols, DoesNotDisturbUserFunctionsOrLivePrograms) {
  EnginePtr e = make_engine();
  exp_pcode *f = nullptr;
  ASSERT_EQ(exp_make_pcode(e.get(), "3", &f, EXP_INTEGER, 0, 0, "three"), 0);
  ASSERT_EQ(exp_determine_symbols(e.get(), "three() + unknown"), 0);
  EXPECT_EQ(required_names(e.get()), std::vector<std::string>{"unknown"});
  EXPECT_EQ(e->live_programs, 1);
  EXPECT_EQ(evaluate(e.get(), "three()"), "i:3");
  exp_free_pcode(e.get(), f);
}

}  // namespace
