// Compile-time warnings through the public interface: each is given for the mistake it names and
// not for the correct form beside it; warnings never stop a compile and are kept with the program.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "expression.h"

namespace {

struct Warning {
  int code, line, column;
  std::string message;
};

// An engine with the host fields the cases use bound.
exp_engine *host_engine() {
  exp_engine *e = exp_init();
  static const std::pair<const char *, int> kFields[] = {
      {"qty", EXP_INTEGER}, {"unit_price", EXP_REAL}, {"amount", EXP_REAL}, {"name", EXP_STRING},
      {"w", EXP_STRING},    {"d1", EXP_DATE},         {"d2", EXP_DATE},
  };
  for (const auto &[name, type] : kFields) exp_add_symbol(e, name, type, 255, 0, nullptr);
  return e;
}

std::vector<Warning> warnings_of(exp_engine *e, exp_pcode *p) {
  std::vector<Warning> out;
  for (int i = 0, n = exp_pcode_warning_count(p); i < n; ++i) {
    Warning w{};
    const char *message = nullptr;
    EXPECT_EQ(exp_pcode_warning_get(p, i, &w.code, &message, &w.line, &w.column), 0);
    w.message = message;
    out.push_back(w);
    // The engine's list of its last compile is the program's.
    int code = 0, line = 0, column = 0;
    const char *engine_message = nullptr;
    EXPECT_EQ(exp_warning_get(e, i, &code, &engine_message, &line, &column), 0);
    EXPECT_EQ(code, w.code);
    EXPECT_STREQ(engine_message, message);
    EXPECT_EQ(line, w.line);
  }
  EXPECT_EQ(exp_warning_count(e), static_cast<int>(out.size()));
  return out;
}

// Compiles `text` (it must compile: a warning never stops a compile) and returns its warnings.
std::vector<Warning> compile_warnings(const char *text, std::initializer_list<const char *> outputs = {}) {
  exp_engine *e = host_engine();
  for (const char *name : outputs) exp_mark_output(e, name);
  exp_pcode *p = nullptr;
  std::vector<Warning> out;
  int rc = exp_make_pcode(e, text, &p, EXP_STRING, 100, 0, nullptr);
  EXPECT_EQ(rc, 0) << text;
  if (rc == 0) {
    out = warnings_of(e, p);
    exp_free_pcode(e, p);
  }
  exp_clean(e);
  return out;
}

struct Case {
  const char *text;
  int code;  // 0: no warning at all
  int line, column;
  const char *fragment;  // a piece of the message
};

// For each warning: the mistake, and the correct form that gives none.
const Case kCases[] = {
    // A value thrown away.
    {"amount = qty unit_price", EXP_W_VALUE_UNUSED, 1, 14, "is an operator missing between `qty` and `unit_price`?"},
    {"amount = qty * unit_price", 0, 0, 0, nullptr},
    {"amount = qty; unit_price", 0, 0, 0, nullptr},
    {"'it''s'", EXP_W_VALUE_UNUSED, 1, 5, "a quote is not doubled"},
    {"\"it's\"", 0, 0, 0, nullptr},
    {"qty + 1\nunit_price", EXP_W_VALUE_UNUSED, 1, 1, "only the program's last expression"},
    {"amount = qty + 1\nunit_price", 0, 0, 0, nullptr},
    {"if qty > 1 then upper(name)", EXP_W_VALUE_UNUSED, 1, 17, "assign it to a variable"},
    {"if qty > 1 then name = upper(name)", 0, 0, 0, nullptr},
    {"if qty > 1 then raiseerror(\"too many\")", 0, 0, 0, nullptr},  // calls something with an effect
    {"string a; string b; parse(name, \";\", a, b)\na & b", 0, 0, 0, nullptr},
    // A match_string pattern that can never match.
    {"match_string(name, \"a*c\")", EXP_W_PATTERN_NEVER_MATCHES, 1, 1, "a * may stand only first or last"},
    {"match_string(name, \"a*\")", 0, 0, 0, nullptr},
    {"match_string(name, \"a\\*c\")", 0, 0, 0, nullptr},
    {"match_string(name, w)", 0, 0, 0, nullptr},
    // A constant text longer than its variable.
    {"string(3) s; s = \"abcdef\"; s", EXP_W_TEXT_TOO_LONG, 1, 14, "(6 characters) is longer than 's' holds (3"},
    {"string(6) s; s = \"abcdef\"; s", 0, 0, 0, nullptr},
    {"string(3 bytes) s; s = \"\xC3\xA9\xC3\xA9\"; s", EXP_W_TEXT_TOO_LONG, 1, 20, "(4 bytes)"},
    // A text ordered against a number literal.
    {"w > 10", EXP_W_TEXT_NUMBER_COMPARE, 1, 3, "write `toreal(w) > 10`"},
    {"-1.5 <= w", EXP_W_TEXT_NUMBER_COMPARE, 1, 6, "write `-1.5 <= toreal(w)`"},
    {"toreal(w) > 10", 0, 0, 0, nullptr},
    {"w == 10", 0, 0, 0, nullptr},
    {"w > \"10\"", 0, 0, 0, nullptr},
    // A date minus a date.
    {"d1 - d2", EXP_W_DATE_DIFFERENCE, 1, 4, "write tointeger(d1) - tointeger(d2)"},
    {"tointeger(d1) - tointeger(d2)", 0, 0, 0, nullptr},
    {"d1 - 7", 0, 0, 0, nullptr},
    // Code after return or goto.
    {"return 1\namount = 2", EXP_W_UNREACHABLE, 2, 1, "follows a return"},
    {"if qty > 1 then return 1\namount = 2", 0, 0, 0, nullptr},
    {"begin goto done; amount = 1 end\ndone: amount = 2", EXP_W_UNREACHABLE, 1, 18, "follows a goto"},
    {"goto done\ndone: amount = 2", 0, 0, 0, nullptr},
    // A variable never read.
    {"hidden integer tmp; tmp = 1", EXP_W_UNUSED_VARIABLE, 1, 16, "'tmp' is declared but never read"},
    {"hidden integer tmp; tmp = 1; amount = tmp", 0, 0, 0, nullptr},
    {"private integer p; p = 2", EXP_W_UNUSED_VARIABLE, 1, 17, "being private"},
    {"integer shown; shown = 1", 0, 0, 0, nullptr},  // a visible global: the host may output it
    {"integer i; for i = 1 to 3 amount = amount + 1", 0, 0, 0, nullptr},
    {"hidden integer tmp; varset(\"tmp\", 1)", 0, 0, 0, nullptr},  // reached by name
};

TEST(Warnings, GivenForTheMistakeNotForTheCorrectForm) {
  for (const Case &c : kCases) {
    SCOPED_TRACE(c.text);
    std::vector<Warning> got = compile_warnings(c.text);
    if (c.code == 0) {
      EXPECT_TRUE(got.empty()) << got[0].code << " " << got[0].message;
      continue;
    }
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].code, c.code);
    EXPECT_EQ(got[0].line, c.line);
    EXPECT_EQ(got[0].column, c.column);
    EXPECT_NE(got[0].message.find(c.fragment), std::string::npos) << got[0].message;
  }
}

TEST(Warnings, MarkedOutputsDecideWhatTheHostReads) {
  const char *text = "integer shown; shown = 1";
  EXPECT_EQ(compile_warnings(text, {"other"}).size(), 1u);
  EXPECT_TRUE(compile_warnings(text, {"other", "SHOWN"}).empty());
}

// Warnings are kept with the program after the engine compiles again, travel with a copy, and
// are also reported (those found so far) for a text that does not compile.
TEST(Warnings, KeptWithTheProgramAndBeforeAnError) {
  exp_engine *e = host_engine();
  exp_pcode *p = nullptr, *q = nullptr, *copy = nullptr;
  ASSERT_EQ(exp_make_pcode(e, "d1 - d2", &p, EXP_REAL, 0, 0, nullptr), 0);
  ASSERT_EQ(exp_make_pcode(e, "qty", &q, EXP_REAL, 0, 0, nullptr), 0);
  EXPECT_EQ(exp_warning_count(e), 0);
  EXPECT_EQ(exp_pcode_warning_count(p), 1);
  exp_engine *clone = exp_clone(e);
  for (const char *name : {"qty", "unit_price", "amount", "name", "w", "d1", "d2"})
    exp_add_symbol(clone, name, exp_symbol_get_by_name(e, name)->flags & EXP_TYPE_MASK, 255, 0, nullptr);
  ASSERT_EQ(exp_copy_pcode(e, clone, p, &copy), 0);
  EXPECT_EQ(exp_pcode_warning_count(copy), 1);
  int code = 0;
  EXPECT_EQ(exp_pcode_warning_get(p, 1, &code, nullptr, nullptr, nullptr), EXP_E_INVALID_INPUT);
  EXPECT_EQ(code, 0);
  exp_pcode *bad = nullptr;
  EXPECT_EQ(exp_make_pcode(e, "return 1; amount = 2 +", &bad, EXP_REAL, 0, 0, nullptr), EXP_E_INCOMPLETE);
  EXPECT_EQ(exp_warning_count(e), 1);
  exp_free_pcode(clone, copy);
  exp_clean(clone);
  exp_free_pcode(e, p);
  exp_free_pcode(e, q);
  exp_clean(e);
}

}  // namespace
