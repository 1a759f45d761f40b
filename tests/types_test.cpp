// Tests of the type, conversion, variable and parameter functions, through compiled programs.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "builtins/builtins.h"
#include "common/test_util.h"
#include "engine.h"
#include "support/uchar.h"

using testutil::render;

namespace {

struct Outcome {
  int rc;
  std::string value;    // the result rendered, when the run succeeded
  std::string message;  // the engine's message, when it failed
};

class TypesTest : public ::testing::Test {
 protected:
  void SetUp() override { e_ = testutil::make_engine(); }
  // Newest first: a user-defined function can be freed only once its callers are gone.
  void TearDown() override {
    for (auto p = programs_.rbegin(); p != programs_.rend(); ++p) EXPECT_EQ(exp_free_pcode(e_.get(), *p), 0);
  }

  // Compiles `text` (as a user-defined function when `name` is given); the program lives until
  // the end of the test, so later programs may call it.
  exp_pcode *compile(const std::string &text, int type, int len = 0, const char *name = nullptr) {
    exp_pcode *p = nullptr;
    int rc = exp_make_pcode(e_.get(), text.c_str(), &p, type, len, 0, name);
    EXPECT_EQ(rc, 0) << text << ": " << testutil::last_message(e_.get());
    if (p) programs_.push_back(p);
    return p;
  }

  // Compiles and runs `text`; the result is rendered as the test utilities render cells.
  Outcome run(const std::string &text, int type = EXP_STRING, int len = 255) {
    exp_pcode *p = compile(text, type, len);
    if (!p) return {-1, "", "compile failed"};
    exp_symval *result = nullptr;
    int rc = exp_execute(e_.get(), p, &result);
    return {rc, rc == 0 && result ? render(result) : "", testutil::last_message(e_.get())};
  }

  exp_symval *symbol(const char *name, int type, int limit = 0, int options = 0) {
    exp_symval *cell = nullptr;
    EXPECT_EQ(exp_add_symbol(e_.get(), name, type, limit, options, &cell), 0) << name;
    return cell;
  }

  struct Row {
    std::string text;
    int type;
    std::string expected;
  };
  // Runs every row and compares its rendered result.
  void expect_rows(const std::vector<Row> &rows) {
    for (const Row &row : rows) {
      Outcome o = run(row.text, row.type);
      EXPECT_EQ(o.rc, 0) << row.text << ": " << o.message;
      EXPECT_EQ(o.value, row.expected) << row.text;
    }
  }

  testutil::EnginePtr e_;
  std::vector<exp_pcode *> programs_;
};

}  // namespace

// ---- records -----------------------------------------------------------------------------------------

TEST(TypesRecords, EveryRecordHasItsFixedShape) {
  struct Shape {
    const char *name;
    int min;
    uint32_t max;
    const char *signature;
    char ret;
    uint32_t len;
    uint32_t hidden;
  };
  const Shape kShapes[] = {
      {"tostring", 1, 1, "a", 's', 255, 0},        {"tointeger", 1, 1, "a", 'i', 0, 0},
      {"todate", 1, 1, "a", 'd', 0, 0},            {"toreal", 1, 1, "a", 'r', 0, 0},
      {"toboolean", 1, 1, "a", 'b', 0, 0},         {"isnull", 1, 1, "a", 'b', 0, 0},
      {"typeof", 1, 1, "a", 's', 10, 0},           {"determine_type", 1, 1, "s", 's', 10, 0},
      {"isalpha", 1, 1, "a", 'b', 0, 0},           {"isblank", 1, 1, "a", 'b', 0, 0},
      {"parse", 3, EXP_UNLIMITED, "ssa", 'i', 0, 0}, {"inlist", 2, EXP_UNLIMITED, "a", 'b', 0, 0},
      {"parameter", 1, 1, "i", 's', 255, 0},       {"parameterstring", 1, 1, "i", 's', 255, 0},
      {"parameterinteger", 1, 1, "i", 'i', 0, 0},  {"parameterdate", 1, 1, "i", 'd', 0, 0},
      {"parameterboolean", 1, 1, "i", 'b', 0, 0},  {"parameterreal", 1, 1, "i", 'r', 0, 0},
      {"parametertype", 1, 1, "i", 's', 255, 0},   {"parametercount", 0, 0, "", 'i', 0, 0},
      {"vareval", 1, 1, "s", 's', 255, 0},         {"varset", 2, 2, "sa", 'b', 0, 0},
      {"decode", 3, 3, "sss", 'i', 0, 0},          {"encode", 3, 3, "sss", 'i', 0, 0},
      {"raiseerror", 1, 1, "s", 'b', 0, 0},        {"crash_application", 0, 0, "", 'b', 0, 1},
  };
  std::span<const exp_function> records = type_functions();
  ASSERT_EQ(records.size(), std::size(kShapes));
  for (size_t i = 0; i < records.size(); ++i) {
    const exp_function &r = records[i];
    const Shape &s = kShapes[i];
    SCOPED_TRACE(s.name);
    EXPECT_STREQ(r.name, s.name);
    EXPECT_EQ(r.min_args, s.min);
    EXPECT_EQ(r.max_args, s.max);
    EXPECT_STREQ(r.signature, s.signature);
    EXPECT_EQ(r.ret_type, s.ret);
    EXPECT_EQ(r.max_len, s.len);
    EXPECT_EQ(r.hidden, s.hidden);
    EXPECT_NE(r.fn, nullptr);
    EXPECT_GT(std::strlen(r.description), 0u);
  }
  // The long descriptions are kept whole.
  EXPECT_EQ(std::string(records[10].description).substr(0, 27), "Parses the input string. De");
  EXPECT_NE(std::strstr(records[10].description, "fewer than that total number of output variables."), nullptr);
  EXPECT_NE(std::strstr(records[24].description, "was responsible for stopping the job."), nullptr);
}

// ---- conversions, types, null-ness -----------------------------------------------------------------

TEST_F(TypesTest, ConversionsFollowTheValueRules) {
  expect_rows({
      {"tostring(1.50)", EXP_STRING, "s:1.5"},
      {"tostring(-7)", EXP_STRING, "s:-7"},
      {"tostring(true)", EXP_STRING, "s:true"},
      {"tostring(null)", EXP_STRING, "null"},
      {"tointeger(\"12\")", EXP_INTEGER, "i:12"},
      {"tointeger(2.7)", EXP_INTEGER, "i:2"},
      {"tointeger(-2.7)", EXP_INTEGER, "i:-3"},
      {"tointeger(\"x\")", EXP_INTEGER, "null"},
      {"toreal(\"1.25\")", EXP_REAL, "r:1.25"},
      {"toreal(\" 1\")", EXP_REAL, "null"},
      {"toboolean(\"no\")", EXP_BOOLEAN, "b:0"},
      {"toboolean(\"Y\")", EXP_BOOLEAN, "b:1"},
      {"toboolean(\"maybe\")", EXP_BOOLEAN, "null"},
      {"todate(true)", EXP_DATE, "null"},
      {"todate(61)", EXP_DATE, "d:61"},
  });
}

TEST_F(TypesTest, ToStringOfDatesFollowsTheEngineDateText) {
  exp_symval *d = symbol("d", EXP_DATE);
  exp_symval_setdbl(d, 46362.5);  // 2026-12-06 12:00
  EXPECT_EQ(run("tostring(d)").value, "s:12/06/26 12:00:00");
  e_->date_iso8601 = 1;
  EXPECT_EQ(run("tostring(d)").value, "s:2026-12-06 12:00:00");
  EXPECT_EQ(run("tostring(todate(\"2026-12-06 15:13:44\"))").value, "s:2026-12-06 15:13:44");
}

TEST_F(TypesTest, TypeofNamesTheDeclaredTypeEvenWhenNull) {
  exp_symval *nd = symbol("nd", EXP_DATE);
  exp_symval_setnull(nd);
  symbol("ptr", EXP_POINTER);
  symbol("ni", EXP_INTEGER);
  expect_rows({
      {"typeof(1)", EXP_STRING, "s:integer"},
      {"typeof(1.5)", EXP_STRING, "s:real"},
      {"typeof(\"x\")", EXP_STRING, "s:string"},
      {"typeof(true)", EXP_STRING, "s:boolean"},
      {"typeof(nd)", EXP_STRING, "s:date"},
      {"typeof(ni)", EXP_STRING, "s:integer"},
      {"typeof(ptr)", EXP_STRING, "s:pointer"},
      {"typeof(todate(1))", EXP_STRING, "s:date"},
  });
}

// The names hosts get for type codes are the words programs declare with and typeof gives.
TEST_F(TypesTest, HostTypeNamesAreTheLanguagesWords) {
  for (int type = EXP_BOOLEAN; type <= EXP_POINTER; ++type) {
    const std::string name = exp_type_name(type);
    EXPECT_EQ(run(name + " v" + name + "\ntypeof(v" + name + ")").value, "s:" + name);
  }
  for (int unknown : {0, EXP_OBJECT + 1, -1, EXP_TYPE_MASK}) EXPECT_STREQ(exp_type_name(unknown), "") << unknown;
}

TEST_F(TypesTest, IsnullIsNeverNull) {
  symbol("ni", EXP_INTEGER);
  exp_symval *s = symbol("s", EXP_STRING, 10);
  exp_symval_setstr(s, "");
  expect_rows({
      {"isnull(null)", EXP_BOOLEAN, "b:1"},
      {"isnull(ni)", EXP_BOOLEAN, "b:1"},
      {"isnull(tointeger(\"x\"))", EXP_BOOLEAN, "b:1"},
      {"isnull(0)", EXP_BOOLEAN, "b:0"},
      {"isnull(s)", EXP_BOOLEAN, "b:0"},
  });
}

// ---- text classification ---------------------------------------------------------------------------

TEST_F(TypesTest, DetermineTypeClassifiesText) {
  const std::pair<const char *, const char *> kCases[] = {
      {"123", "integer"},        {"12.5", "real"},          {" 7 ", "integer"},
      {"Y", "boolean"},          {"yes", "boolean"},        {"FALSE", "boolean"},
      {"n", "boolean"},          {"t", "string"},           {"1", "integer"},
      {"", "string"},            {"+5", "integer"},         {"5-", "string"},
      {"T", "string"},           {"-1.5", "real"},          {"1e5", "integer"},
      {"1.5E-3", "real"},        {"1E+5", "integer"},       {"12abc", "string"},
      {"e5", "string"},          {"1e5e5", "string"},       {"--5", "string"},
      {"1.2.3", "string"},       {".", "string"},           {"   ", "string"},
      {"2026-12-06", "date"},    {"12/06/26", "date"},      {"12/06/26 15:13:44", "date"},
      {"2026-12-06T15:13:44", "date"}, {"2/30/26", "string"}, {"1 2", "integer"},
      {"\xd9\xa1\xd9\xa2", "integer"},  // Arabic-Indic digits one and two
      {"4\xe2\x82\xac", "string"},      // 4 followed by the euro sign
  };
  symbol("txt", EXP_STRING, 40);
  exp_pcode *p = compile("determine_type(txt)", EXP_STRING, 255);
  ASSERT_NE(p, nullptr);
  for (const auto &[text, expected] : kCases) {
    exp_symval_setstr(exp_symbol_get_by_name(e_.get(), "txt"), text);
    exp_symval *result = nullptr;
    ASSERT_EQ(exp_execute(e_.get(), p, &result), 0);
    EXPECT_EQ(render(result), std::string("s:") + expected) << "'" << text << "'";
  }
  EXPECT_EQ(run("determine_type(null)").value, "null");
}

TEST_F(TypesTest, IsalphaAndIsblank) {
  symbol("ni", EXP_INTEGER);
  expect_rows({
      {"isalpha(\"\")", EXP_BOOLEAN, "b:1"},
      {"isalpha(\"abc\")", EXP_BOOLEAN, "b:1"},
      {"isalpha(\"abc1\")", EXP_BOOLEAN, "b:0"},
      {"isalpha(\"a b\")", EXP_BOOLEAN, "b:0"},
      {"isalpha(5)", EXP_BOOLEAN, "b:0"},
      {"isalpha(null)", EXP_BOOLEAN, "null"},
      {"isalpha(\"\xc3\x89t\xc3\xa9\")", EXP_BOOLEAN, "b:1"},   // Été
      {"isalpha(\"e\xcc\x81t\")", EXP_BOOLEAN, "b:1"},          // e, combining acute, t
      {"isalpha(\"\xcc\x81" "e\")", EXP_BOOLEAN, "b:0"},        // combining mark first
      {"isblank(null)", EXP_BOOLEAN, "b:1"},
      {"isblank(ni)", EXP_BOOLEAN, "b:1"},
      {"isblank(\"\")", EXP_BOOLEAN, "b:1"},
      {"isblank(\"  \")", EXP_BOOLEAN, "b:1"},
      {"isblank(\" \xc2\xa0 \")", EXP_BOOLEAN, "b:1"},          // no-break space
      {"isblank(\" a\")", EXP_BOOLEAN, "b:0"},
      {"isblank(0)", EXP_BOOLEAN, "b:0"},
  });
}

// ---- parse -------------------------------------------------------------------------------------------

TEST_F(TypesTest, ParseSplitsIntoTypedVariables) {
  struct Case {
    const char *call;
    const char *count;
    std::vector<const char *> outputs;  // x, y, z, w (strings), n, m (integers), r (real)
  };
  const Case kCases[] = {
      {"parse(\"a,b,c\", \",\", x, y)", "i:3", {"s:a", "s:b", "s:keep", "s:keep"}},
      {"parse(\"a::b\", \"::\", x, y)", "i:2", {"s:a", "s:b", "s:keep", "s:keep"}},
      {"parse(\"a,b,,c\", \",\", x, y, z, w)", "i:4", {"s:a", "s:b", "s:", "s:c"}},
      {"parse(\"a,b,\", \",\", x, y, z, w)", "i:3", {"s:a", "s:b", "s:", "null"}},
      {"parse(\"\", \",\", x, y)", "i:0", {"null", "null", "s:keep", "s:keep"}},
      {"parse(\"abc\", \"\", x, y)", "i:1", {"s:abc", "s:keep", "s:keep", "s:keep"}},
      {"parse(null, \",\", x, y)", "null", {"s:keep", "s:keep", "s:keep", "s:keep"}},
      {"parse(\"a,b\", null, x)", "null", {"s:keep", "s:keep", "s:keep", "s:keep"}},
      {"parse(\"1,2,3,4,5\", \",\", x)", "i:5", {"s:1", "s:keep", "s:keep", "s:keep"}},
      {"parse(\"\xc3\xa9|\xe2\x82\xac\", \"|\", x, y)", "i:2", {"s:\xc3\xa9", "s:\xe2\x82\xac", "s:keep", "s:keep"}},
  };
  const char *kNames[] = {"x", "y", "z", "w"};
  for (const char *name : kNames) symbol(name, EXP_STRING, 20);
  for (const Case &c : kCases) {
    for (const char *name : kNames) exp_symval_setstr(exp_symbol_get_by_name(e_.get(), name), "keep");
    Outcome o = run(c.call, EXP_INTEGER);
    ASSERT_EQ(o.rc, 0) << c.call << ": " << o.message;
    EXPECT_EQ(o.value, c.count) << c.call;
    for (size_t i = 0; i < c.outputs.size(); ++i)
      EXPECT_EQ(render(exp_symbol_get_by_name(e_.get(), kNames[i])), c.outputs[i]) << c.call << " " << kNames[i];
  }
}

TEST_F(TypesTest, ParseConvertsTokensIntoOtherTypes) {
  exp_symval *n = symbol("n", EXP_INTEGER);
  exp_symval *m = symbol("m", EXP_INTEGER);
  exp_symval *k = symbol("k", EXP_INTEGER);
  exp_symval *r = symbol("r", EXP_REAL);
  exp_symval *b = symbol("b", EXP_BOOLEAN);
  exp_symval *d = symbol("d", EXP_DATE);
  Outcome o = run("parse(\"42;x;;1.25;yes;1900-03-01;extra\", \";\", n, m, k, r, b, d)", EXP_INTEGER);
  ASSERT_EQ(o.rc, 0) << o.message;
  EXPECT_EQ(o.value, "i:7");
  EXPECT_EQ(render(n), "i:42");
  EXPECT_EQ(render(m), "null");  // "x" is no integer
  EXPECT_EQ(render(k), "null");  // the empty token converts as the empty text
  EXPECT_EQ(render(r), "r:1.25");
  EXPECT_EQ(render(b), "b:1");
  EXPECT_EQ(render(d), "d:61");
  // An empty delimiter stores the whole input with the plain setter: a non-string output is null.
  exp_symval_setint(n, 5);
  EXPECT_EQ(run("parse(\"42\", \"\", n)", EXP_INTEGER).value, "i:1");
  EXPECT_EQ(render(n), "null");
}

// A string output never holds more characters than its limit, whatever the token's bytes.
TEST_F(TypesTest, ParseCutsTokensToTheOutputLimit) {
  exp_symval *x = symbol("x", EXP_STRING, 3);
  exp_symval *y = symbol("y", EXP_STRING, 2);
  Outcome o = run("parse(\"abcdef,\xc3\xa9\xc3\xa9\xc3\xa9\", \",\", x, y)", EXP_INTEGER);
  ASSERT_EQ(o.rc, 0) << o.message;
  EXPECT_EQ(render(x), "s:abc");
  EXPECT_EQ(render(y), "s:\xc3\xa9\xc3\xa9");
}

// The input may be one of its own outputs: the text is split as it was when the call began.
TEST_F(TypesTest, ParseIntoItsOwnInput) {
  exp_symval *x = symbol("x", EXP_STRING, 20);
  exp_symval *y = symbol("y", EXP_STRING, 20);
  exp_symval_setstr(x, "p,q,r");
  EXPECT_EQ(run("parse(x, \",\", x, y)", EXP_INTEGER).value, "i:3");
  EXPECT_EQ(render(x), "s:p");
  EXPECT_EQ(render(y), "s:q");
  exp_symval_setstr(x, "whole");
  EXPECT_EQ(run("parse(x, \"\", x)", EXP_INTEGER).value, "i:1");
  EXPECT_EQ(render(x), "s:whole");
}

// ---- inlist ------------------------------------------------------------------------------------------

TEST_F(TypesTest, InlistConvertsChecksToTheValueType) {
  exp_symval *v = symbol("v", EXP_STRING, 3);
  exp_symval_setstr(v, "abc");
  symbol("ni", EXP_INTEGER);
  expect_rows({
      {"inlist(\"b\", \"a\", \"b\")", EXP_BOOLEAN, "b:1"},
      {"inlist(\"c\", \"a\", \"b\")", EXP_BOOLEAN, "b:0"},
      {"inlist(1, \"1\", 2)", EXP_BOOLEAN, "b:1"},
      {"inlist(\"A\", \"a\")", EXP_BOOLEAN, "b:0"},
      {"inlist(null, 1)", EXP_BOOLEAN, "null"},
      {"inlist(ni, 1)", EXP_BOOLEAN, "null"},
      {"inlist(1, null)", EXP_BOOLEAN, "b:0"},
      {"inlist(1, null, \"x\", 1)", EXP_BOOLEAN, "b:1"},
      {"inlist(1.0, 1)", EXP_BOOLEAN, "b:1"},
      {"inlist(2.50, \"2.5\")", EXP_BOOLEAN, "b:1"},
      {"inlist(2.5, 2)", EXP_BOOLEAN, "b:0"},
      {"inlist(true, \"yes\")", EXP_BOOLEAN, "b:1"},
      {"inlist(false, 1, 2)", EXP_BOOLEAN, "b:0"},
      {"inlist(todate(61), \"1900-03-01\")", EXP_BOOLEAN, "b:1"},
      {"inlist(v, \"abcdef\")", EXP_BOOLEAN, "b:1"},  // the check is cut to the value's limit
      {"inlist(v, \"ab\")", EXP_BOOLEAN, "b:0"},
  });
}

// ---- parameters of user-defined functions ----------------------------------------------------------

TEST_F(TypesTest, ParametersInsideAUserDefinedFunction) {
  struct Case {
    const char *body;
    int type;
    const char *expected;
  };
  const Case kCases[] = {
      {"parametercount()", EXP_INTEGER, "i:4"},
      {"parameter(2)", EXP_STRING, "s:5"},
      {"parameterstring(1)", EXP_STRING, "s:x"},
      {"parameterinteger(2)", EXP_INTEGER, "i:5"},
      {"parameterreal(2)", EXP_REAL, "r:5"},
      {"parameterboolean(3)", EXP_BOOLEAN, "b:1"},
      {"parameterboolean(1)", EXP_BOOLEAN, "null"},
      {"parameterdate(4)", EXP_DATE, "d:61"},
      {"parameter(3)", EXP_STRING, "s:true"},
      {"parametertype(1)", EXP_STRING, "s:string"},
      {"parametertype(2)", EXP_STRING, "s:integer"},
      {"parametertype(3)", EXP_STRING, "s:boolean"},
      {"parameter(5)", EXP_STRING, "null"},
      {"parameter(0)", EXP_STRING, "null"},
      {"parameter(-1)", EXP_STRING, "null"},
      {"parametertype(5)", EXP_STRING, "null"},
      {"parameter(null)", EXP_STRING, "null"},
  };
  for (const Case &c : kCases) {
    std::string name = "f" + std::to_string(&c - kCases);
    ASSERT_NE(compile(c.body, c.type, 255, name.c_str()), nullptr);
    Outcome o = run(name + "(\"x\", 5, true, \"1900-03-01\")", c.type);
    ASSERT_EQ(o.rc, 0) << c.body << ": " << o.message;
    EXPECT_EQ(o.value, c.expected) << c.body;
  }
}

TEST_F(TypesTest, ParametersOutsideAndAfterNestedCalls) {
  EXPECT_EQ(run("parametercount()", EXP_INTEGER).value, "i:0");
  EXPECT_EQ(run("parameter(1)").value, "null");
  ASSERT_NE(compile("parametercount()", EXP_INTEGER, 0, "inner"), nullptr);
  // The outer function sees its own one argument again once the inner call has returned.
  ASSERT_NE(compile("inner(1, 2, 3) * 10 + parametercount()", EXP_INTEGER, 0, "outer"), nullptr);
  EXPECT_EQ(run("outer(\"a\")", EXP_INTEGER).value, "i:31");
  EXPECT_EQ(run("parametercount()", EXP_INTEGER).value, "i:0");
}

// A string parameter longer than the record's 255 characters comes back whole.
TEST_F(TypesTest, ParameterGrowsTheResultForLongStrings) {
  exp_symval *big = symbol("big", EXP_STRING, 300);
  std::string text(300, 'z');
  exp_symval_setstr(big, text.c_str());
  ASSERT_NE(compile("parameter(1)", EXP_STRING, 400, "echo"), nullptr);
  Outcome o = run("echo(big)", EXP_STRING, 400);
  ASSERT_EQ(o.rc, 0) << o.message;
  EXPECT_EQ(o.value, "s:" + text);
}

// ---- variables by name -----------------------------------------------------------------------------

TEST_F(TypesTest, VarevalAndVarsetIgnoreCase) {
  exp_symval *total = symbol("total", EXP_INTEGER);
  exp_symval *when = symbol("When", EXP_DATE);
  exp_symval *locked = symbol("locked", EXP_STRING, 10, EXP_SYM_READONLY);
  expect_rows({
      {"varset(\"Total\", 5)", EXP_BOOLEAN, "b:1"},
      {"vareval(\"TOTAL\")", EXP_STRING, "s:5"},
      {"varset(\"total\", \"12\")", EXP_BOOLEAN, "b:1"},
      {"varset(\"WHEN\", \"1900-03-01\")", EXP_BOOLEAN, "b:1"},
      {"varset(\"Locked\", 3.5)", EXP_BOOLEAN, "b:1"},
      {"varset(\"nosuch\", 1)", EXP_BOOLEAN, "b:0"},
      {"varset(null, 1)", EXP_BOOLEAN, "null"},
      {"varset(\"\", 1)", EXP_BOOLEAN, "b:0"},
      {"vareval(\"nosuch\")", EXP_STRING, "null"},
      {"vareval(null)", EXP_STRING, "null"},
      {"vareval(\"\")", EXP_STRING, "null"},
  });
  EXPECT_EQ(render(total), "i:12");
  EXPECT_EQ(render(when), "d:61");
  EXPECT_EQ(render(locked), "s:3.5");
  EXPECT_EQ(run("varset(\"total\", \"many\")", EXP_BOOLEAN).value, "b:1");
  EXPECT_EQ(render(total), "null");  // an unconvertible value makes the variable null
}

// Names are looked up in the engine's symbol table only: a private declaration stays private,
// in a program and in a user-defined function.
TEST_F(TypesTest, VariablesByNameReachOnlyGlobalSymbols) {
  exp_symval *host = symbol("host", EXP_INTEGER);
  exp_symval_setint(host, 9);
  Outcome o = run("private integer Count; Count = 3; "
                  "tostring(varset(\"COUNT\", 4)) & \"/\" & tostring(isnull(vareval(\"count\"))) & \"/\" & "
                  "tostring(Count) & \"/\" & vareval(\"HOST\")");
  ASSERT_EQ(o.rc, 0) << o.message;
  EXPECT_EQ(o.value, "s:false/true/3/9");
  ASSERT_NE(compile("private string tag; tag = \"mine\"; tostring(varset(\"TAG\", parameter(1))) & \"/\" & "
                    "tostring(isnull(vareval(\"tag\"))) & \"/\" & tag",
                    EXP_STRING, 255, "tagged"), nullptr);
  EXPECT_EQ(run("tagged(\"t1\")").value, "s:false/true/mine");
}

TEST_F(TypesTest, VarevalGrowsTheResultForLongStrings) {
  exp_symval *big = symbol("big", EXP_STRING, 300);
  std::string text(299, 'q');
  exp_symval_setstr(big, (text + "\xc3\xa9").c_str());
  Outcome o = run("vareval(\"BIG\")", EXP_STRING, 300);
  ASSERT_EQ(o.rc, 0) << o.message;
  EXPECT_EQ(o.value, "s:" + text + "\xc3\xa9");
}

// ---- user errors -------------------------------------------------------------------------------------

TEST_F(TypesTest, RaiseerrorStopsTheRunWithItsOwnText) {
  exp_symval *k = symbol("k", EXP_INTEGER);
  exp_symval *msg = symbol("msg", EXP_STRING, 400);
  exp_symval *edge = symbol("edge", EXP_STRING, 400);
  exp_symval_setstr(edge, (std::string(253, 'x') + "\xc3\xa9").c_str());  // 255 bytes
  std::string euros;
  for (int i = 0; i < 100; ++i) euros += "\xe2\x82\xac";  // 300 bytes of 3-byte characters
  exp_symval_setstr(msg, ("a" + euros).c_str());
  struct Case {
    const char *text;
    std::string message;
  };
  const Case kCases[] = {
      {"raiseerror(\"bad row\"); k = 1", "bad row"},
      {"raiseerror(null); k = 1", "User defined error was raised"},
      {"raiseerror(\"\"); k = 1", ""},
      // 254 bytes allow the 'a' and 84 whole euro signs (253 bytes), never a split one.
      {"raiseerror(msg); k = 1", "a" + euros.substr(0, 84 * 3)},
      // The 2-byte character would end at byte 255: it is left out whole.
      {"raiseerror(edge); k = 1", std::string(253, 'x')},
  };
  for (const Case &c : kCases) {
    exp_symval_setint(k, 0);
    Outcome o = run(c.text, EXP_BOOLEAN);
    EXPECT_EQ(o.rc, 107) << c.text;
    EXPECT_EQ(o.message, c.message) << c.text;
    EXPECT_EQ(render(k), "i:0") << "the run went on after " << c.text;
  }
}

TEST_F(TypesTest, CrashApplicationIsAnOrdinaryError) {
  Outcome o = run("crash_application()", EXP_BOOLEAN);
  EXPECT_EQ(o.rc, 102);
  EXPECT_EQ(o.message.rfind("Error in function: crash_application", 0), 0u) << o.message;
}

// ---- encodings ---------------------------------------------------------------------------------------

TEST_F(TypesTest, DecodeAndEncodeRoundTrip) {
  exp_symval *raw = symbol("raw", EXP_STRING, 50);
  exp_symval *back = symbol("back", EXP_STRING, 50);
  struct Case {
    const char *encoding;
    const char *text;
    const char *bytes;  // the text in that encoding
  };
  const Case kCases[] = {
      {"ISO-8859-1", "caf\xc3\xa9", "caf\xe9"},
      {"latin1", "\xc3\xa9t\xc3\xa9", "\xe9t\xe9"},
      {"windows-1252", "5\xe2\x82\xac", "5\x80"},
      {"UTF-8", "caf\xc3\xa9", "caf\xc3\xa9"},
      {"utf8", "", ""},
  };
  for (const Case &c : kCases) {
    SCOPED_TRACE(c.encoding);
    std::string enc = std::string("\"") + c.encoding + "\"";
    Outcome o = run("decode(" + enc + ", \"" + c.text + "\", raw)", EXP_INTEGER);
    ASSERT_EQ(o.rc, 0) << o.message;
    EXPECT_EQ(o.value, "i:" + std::to_string(std::strlen(c.bytes)));
    EXPECT_EQ(render(raw), std::string("s:") + c.bytes);
    o = run("encode(" + enc + ", raw, back)", EXP_INTEGER);
    ASSERT_EQ(o.rc, 0) << o.message;
    EXPECT_EQ(o.value, "i:" + std::to_string(std::strlen(c.text)));
    EXPECT_EQ(render(back), std::string("s:") + c.text);
  }
}

TEST_F(TypesTest, TranscodingFailuresGiveZeroAndANullOutput) {
  exp_symval *out = symbol("out", EXP_STRING, 50);
  exp_symval *tiny = symbol("tiny", EXP_STRING, 1);
  const char *kCalls[] = {
      "decode(\"no-such-encoding\", \"abc\", out)",
      "encode(\"no-such-encoding\", \"abc\", out)",
      "decode(null, \"abc\", out)",
      "decode(\"latin1\", null, out)",
      "encode(\"latin1\", null, out)",
      "decode(\"ISO-8859-1\", \"\xe2\x82\xac\", out)",  // the euro sign is not in Latin-1
      "encode(\"UTF-16BE\", \"\xd8\", out)",             // half a surrogate pair
      "decode(\"latin1\", \"abcdefgh\", tiny)",          // four bytes of room and the terminator
  };
  for (const char *call : kCalls) {
    exp_symval_setstr(out, "old");
    exp_symval_setstr(tiny, "o");
    Outcome o = run(call, EXP_INTEGER);
    ASSERT_EQ(o.rc, 0) << call << ": " << o.message;
    EXPECT_EQ(o.value, "i:0") << call;
    std::string after = render(std::strstr(call, "tiny") ? tiny : out);
    EXPECT_EQ(after, "null") << call;
  }
}

TEST_F(TypesTest, EncodeCutsToTheOutputLimit) {
  exp_symval *raw = symbol("raw", EXP_STRING, 50);
  exp_symval *small = symbol("small", EXP_STRING, 3);
  exp_symval_setstr(raw, "\xe9t\xe9 long");  // Latin-1 bytes
  Outcome o = run("encode(\"latin1\", raw, small)", EXP_INTEGER);
  ASSERT_EQ(o.rc, 0) << o.message;
  EXPECT_EQ(render(small), "s:\xc3\xa9t\xc3\xa9");
  EXPECT_EQ(o.value, "i:5");  // the bytes kept, not the bytes converted
}

// Transcoding a variable into itself converts the text it held when the call began.
TEST_F(TypesTest, DecodeIntoItsOwnSource) {
  exp_symval *s = symbol("s", EXP_STRING, 20);
  exp_symval_setstr(s, "caf\xc3\xa9");
  EXPECT_EQ(run("decode(\"latin1\", s, s)", EXP_INTEGER).value, "i:4");
  EXPECT_EQ(render(s), "s:caf\xe9");
  EXPECT_EQ(run("encode(\"latin1\", s, s)", EXP_INTEGER).value, "i:5");
  EXPECT_EQ(render(s), "s:caf\xc3\xa9");
}
