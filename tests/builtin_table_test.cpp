// The complete registry of a fresh engine, compared row by row with the published tables: the
// global built-ins in enumeration order, the class-method functions in load order, the classes and
// their methods.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "builtins/table.h"
#include "expression.h"

namespace {

struct Row {
  const char *name;
  const char *signature;
  int min_args;
  uint32_t max_args;
  char ret;
  uint32_t max_len;
  int hidden;
};

// Global built-in functions, in the order hosts enumerate them.
const Row kGlobal[] = {
    {"abs", "r", 1, 1, 'r', 0, 0},
    {"asc", "s", 1, 1, 'i', 0, 0},
    {"ceil", "r", 1, 1, 'r', 0, 0},
    {"chr", "i", 1, 1, 's', 1, 0},
    {"floor", "r", 1, 1, 'r', 0, 0},
    {"formatdate", "ds", 2, 2, 's', 40, 0},
    {"instr", "ssi", 2, 3, 'i', 0, 0},
    {"isnull", "a", 1, 1, 'b', 0, 0},
    {"left", "si", 2, 2, 's', 255, 0},
    {"len", "s", 1, 1, 'i', 0, 0},
    {"lower", "s", 1, 1, 's', 255, 0},
    {"max", "r", 1, EXP_UNLIMITED, 'r', 0, 0},
    {"mid", "sii", 2, 3, 's', 255, 0},
    {"min", "r", 1, EXP_UNLIMITED, 'r', 0, 0},
    {"pow", "rr", 2, 2, 'r', 0, 0},
    {"replace", "sssi", 3, 4, 's', 255, 0},
    {"right", "si", 2, 2, 's', 255, 0},
    {"round", "ri", 1, 2, 'r', 0, 0},
    {"today", "", 0, 0, 'd', 0, 0},
    {"todaygmt", "", 0, 0, 'd', 0, 0},
    {"todayutc", "", 0, 0, 'd', 0, 0},
    {"trim", "s", 1, 1, 's', 255, 0},
    {"upper", "s", 1, 1, 's', 255, 0},
    {"isnumber", "a", 1, 1, 'b', 0, 0},
    {"parse", "ssa", 3, EXP_UNLIMITED, 'i', 0, 0},
    {"inlist", "a", 2, EXP_UNLIMITED, 'b', 0, 0},
    {"isalpha", "a", 1, 1, 'b', 0, 0},
    {"compare", "ssb", 2, 3, 'i', 0, 0},
    {"execute", "s", 1, EXP_UNLIMITED, 'i', 0, 0},
    {"sleep", "i", 1, 1, 'b', 0, 0},
    {"locale", "s", 0, 1, 's', 255, 0},
    {"deletefile", "s", 1, 1, 'b', 0, 0},
    {"fileexists", "s", 1, 1, 'b', 0, 0},
    {"parameter", "i", 1, 1, 's', 255, 0},
    {"parameterstring", "i", 1, 1, 's', 255, 0},
    {"parameterinteger", "i", 1, 1, 'i', 0, 0},
    {"parameterdate", "i", 1, 1, 'd', 0, 0},
    {"parameterboolean", "i", 1, 1, 'b', 0, 0},
    {"parameterreal", "i", 1, 1, 'r', 0, 0},
    {"parametertype", "i", 1, 1, 's', 255, 0},
    {"parametercount", "", 0, 0, 'i', 0, 0},
    {"typeof", "a", 1, 1, 's', 10, 0},
    {"determine_type", "s", 1, 1, 's', 10, 0},
    {"pattern", "s", 1, 1, 's', 255, 0},
    {"raiseerror", "s", 1, 1, 'b', 0, 0},
    {"match_string", "ss", 2, 2, 'b', 0, 0},
    {"has_control_chars", "s", 1, 1, 'b', 0, 0},
    {"filedate", "sb", 1, 2, 'd', 0, 0},
    {"vareval", "s", 1, 1, 's', 255, 0},
    {"movefile", "ss", 2, 2, 'b', 0, 0},
    {"copyfile", "ss", 2, 2, 'b', 0, 0},
    {"isblank", "a", 1, 1, 'b', 0, 0},
    {"piccomp", "ss", 1, 2, 'r', 0, 0},
    {"piccomp3", "as", 1, 2, 'r', 0, 0},
    {"piccomp5", "ss", 1, 2, 'r', 0, 0},
    {"picsigndec", "ssbb", 1, 4, 'r', 0, 0},
    {"formatpiccomp", "rss", 3, 3, 'i', 0, 0},
    {"formatpiccomp3", "rss", 3, 3, 'i', 0, 0},
    {"formatpiccomp5", "rss", 3, 3, 'i', 0, 0},
    {"formatpicsigndec", "rssbb", 3, 5, 'i', 0, 0},
    {"ib", "ss", 1, 2, 'r', 0, 0},
    {"pd", "ss", 1, 2, 'r', 0, 0},
    {"s370fib", "ss", 1, 2, 'r', 0, 0},
    {"s370fpd", "ss", 1, 2, 'r', 0, 0},
    {"formatib", "rss", 3, 3, 'i', 16, 0},
    {"formatpd", "rss", 3, 3, 'i', 16, 0},
    {"formats370fib", "rss", 3, 3, 'i', 0, 0},
    {"formats370fpd", "rss", 3, 3, 'i', 0, 0},
    {"normsinv", "r", 1, 1, 'r', 0, 0},
    {"encode", "sss", 3, 3, 'i', 0, 0},
    {"decode", "sss", 3, 3, 'i', 0, 0},
    {"edit_distance", "ss", 2, 2, 'i', 0, 0},
    {"varset", "sa", 2, 2, 'b', 0, 0},
    {"sort_words", "sbb", 1, 3, 's', 255, 0},
    {"sort", "sbb", 1, 3, 's', 255, 0},
    {"username", "", 0, 0, 's', 255, 0},
    {"uniqueid", "", 0, 0, 's', 16, 0},
    {"mkdir", "sb", 1, 2, 'b', 0, 0},
    {"rmdir", "s", 1, 1, 'b', 0, 0},
    {"tostring", "a", 1, 1, 's', 255, 0},
    {"tointeger", "a", 1, 1, 'i', 0, 0},
    {"todate", "a", 1, 1, 'd', 0, 0},
    {"toreal", "a", 1, 1, 'r', 0, 0},
    {"toboolean", "a", 1, 1, 'b', 0, 0},
    {"crash_application", "", 0, 0, 'b', 0, 1},
    {"occurs", "ss", 2, 2, 'i', 0, 1},
};

// Functions behind the class methods (and aparse), in the order every engine loads them.
const Row kClassFunctions[] = {
    {"int_array_dim", "Oi", 1, 2, 'i', 0, 1},
    {"int_array_set", "Oii", 3, 3, 'i', 0, 1},
    {"int_array_get", "Oi", 2, 2, 'i', 0, 1},
    {"str_array_dim", "Oi", 1, 2, 'i', 0, 1},
    {"str_array_set", "Ois", 3, 3, 's', 255, 1},
    {"str_array_get", "Oi", 2, 2, 's', 255, 1},
    {"real_array_dim", "Oi", 1, 2, 'i', 0, 1},
    {"real_array_set", "Oir", 3, 3, 'r', 0, 1},
    {"real_array_get", "Oi", 2, 2, 'r', 0, 1},
    {"bool_array_dim", "Oi", 1, 2, 'i', 0, 1},
    {"bool_array_set", "Oib", 3, 3, 'b', 0, 1},
    {"bool_array_get", "Oi", 2, 2, 'b', 0, 1},
    {"date_array_dim", "Oi", 1, 2, 'i', 0, 1},
    {"date_array_set", "Oid", 3, 3, 'd', 0, 1},
    {"date_array_get", "Oi", 2, 2, 'd', 0, 1},
    {"aparse", "ssO", 3, 3, 'i', 0, 0},
    {"file_open", "Oss", 2, 3, 'b', 0, 1},
    {"file_close", "O", 1, 1, 'b', 0, 1},
    {"file_readline", "O", 1, 1, 's', 1024, 1},
    {"file_readbytes", "Ois", 3, 3, 'i', 0, 1},
    {"file_writeline", "Os", 2, 2, 'b', 0, 1},
    {"file_writebytes", "Ois", 3, 3, 'i', 0, 1},
    {"file_seekbegin", "Oi", 2, 2, 'b', 0, 1},
    {"file_seekcurrent", "Oi", 2, 2, 'b', 0, 1},
    {"file_seekend", "Oi", 2, 2, 'b', 0, 1},
    {"file_position", "O", 1, 1, 'i', 0, 1},
    {"regex_compile", "Oss", 2, 3, 'b', 0, 1},
    {"regex_findfirst", "Os", 2, 2, 'b', 0, 1},
    {"regex_replace", "Oss", 3, 3, 's', 16383, 1},
    {"regex_findnext", "Os", 2, 2, 'b', 0, 1},
    {"regex_matchstart", "O", 1, 1, 'i', 0, 1},
    {"regex_matchlength", "O", 1, 1, 'i', 0, 1},
    {"regex_substringcount", "O", 1, 1, 'i', 0, 1},
    {"regex_substringstart", "Oi", 2, 2, 'i', 0, 1},
    {"regex_substringlength", "Oi", 2, 2, 'i', 0, 1},
};

struct ClassRow {
  const char *name;
  const char *description;
  int hidden;
  std::vector<std::pair<const char *, const char *>> methods;  // method, implementing function
};

const ClassRow kClasses[] = {
    {"integer_array", "Array of integer", 1, {{"dim", "int_array_dim"}, {"set", "int_array_set"}, {"get", "int_array_get"}}},
    {"string_array", "Array of string", 1, {{"dim", "str_array_dim"}, {"set", "str_array_set"}, {"get", "str_array_get"}}},
    {"real_array", "Array of real", 1, {{"dim", "real_array_dim"}, {"set", "real_array_set"}, {"get", "real_array_get"}}},
    {"boolean_array", "Array of boolean", 1, {{"dim", "bool_array_dim"}, {"set", "bool_array_set"}, {"get", "bool_array_get"}}},
    {"date_array", "Array of date", 1, {{"dim", "date_array_dim"}, {"set", "date_array_set"}, {"get", "date_array_get"}}},
    {"file", "File", 0,
     {{"open", "file_open"}, {"close", "file_close"}, {"readline", "file_readline"}, {"readbytes", "file_readbytes"},
      {"writeline", "file_writeline"}, {"writebytes", "file_writebytes"}, {"seekbegin", "file_seekbegin"},
      {"seekcurrent", "file_seekcurrent"}, {"seekend", "file_seekend"}, {"position", "file_position"}}},
    {"regex", "Regular Expression", 0,
     {{"compile", "regex_compile"}, {"replace", "regex_replace"}, {"findfirst", "regex_findfirst"},
      {"findnext", "regex_findnext"}, {"matchstart", "regex_matchstart"}, {"matchlength", "regex_matchlength"},
      {"substringcount", "regex_substringcount"}, {"substringstart", "regex_substringstart"},
      {"substringlength", "regex_substringlength"}}},
};

class FreshEngine : public ::testing::Test {
 protected:
  void SetUp() override { e_ = exp_init(); ASSERT_NE(e_, nullptr); }
  void TearDown() override { exp_clean(e_); }
  exp_engine *e_ = nullptr;
};

TEST_F(FreshEngine, ReportsEightyFiveVisibleFunctionsAndTwoVisibleClasses) {
  EXPECT_EQ(exp_get_function_count(e_), 85);
  EXPECT_EQ(exp_get_class_count(e_), 2);
}

// The visible functions are the visible global rows in order, then aparse.
TEST_F(FreshEngine, EnumerationMatchesTheGlobalTableThenAparse) {
  std::vector<const Row *> expected;
  for (const Row &r : kGlobal)
    if (!r.hidden) expected.push_back(&r);
  for (const Row &r : kClassFunctions)
    if (!r.hidden) expected.push_back(&r);
  ASSERT_EQ(static_cast<int>(expected.size()), exp_get_function_count(e_));
  for (size_t i = 0; i < expected.size(); ++i) {
    const char *name = nullptr, *sig = nullptr, *desc = nullptr;
    int min = -1;
    uint32_t max = 0;
    char ret = 0;
    ASSERT_EQ(exp_get_function_info(e_, static_cast<int>(i), &name, &min, &max, &sig, &ret, &desc), 0);
    const Row &r = *expected[i];
    SCOPED_TRACE(r.name);
    EXPECT_STREQ(name, r.name);
    EXPECT_STREQ(sig, r.signature);
    EXPECT_EQ(min, r.min_args);
    EXPECT_EQ(max, r.max_args);
    EXPECT_EQ(ret, r.ret);
    EXPECT_GT(std::strlen(desc), 0u);
  }
}

// Every record, hidden ones included, is callable with its exact counts, letters and length:
// checked through the method and function lookups a host can make.
TEST_F(FreshEngine, ClassesAndMethodsMatchTheirTables) {
  for (const ClassRow &c : kClasses) {
    SCOPED_TRACE(c.name);
    exp_class *cls = exp_get_class_by_name(e_, c.name);
    ASSERT_NE(cls, nullptr);
    ASSERT_EQ(exp_get_class_function_count(cls), static_cast<int>(c.methods.size()));
    for (size_t m = 0; m < c.methods.size(); ++m) {
      const char *method = nullptr, *sig = nullptr, *desc = nullptr;
      int min = -1;
      uint32_t max = 0;
      char ret = 0;
      ASSERT_EQ(exp_get_class_function_info(e_, cls, static_cast<int>(m), &method, &min, &max, &sig, &ret, &desc), 0);
      EXPECT_STREQ(method, c.methods[m].first);
      const Row *row = nullptr;
      for (const Row &r : kClassFunctions)
        if (std::strcmp(r.name, c.methods[m].second) == 0) row = &r;
      ASSERT_NE(row, nullptr);
      EXPECT_STRNE(desc, "invalid method");
      EXPECT_STREQ(sig, row->signature);
      EXPECT_EQ(min, row->min_args);
      EXPECT_EQ(max, row->max_args);
      EXPECT_EQ(ret, row->ret);
    }
  }
  int visible = 0;
  for (const ClassRow &c : kClasses) {
    if (c.hidden) continue;
    const char *name = nullptr, *desc = nullptr;
    ASSERT_EQ(exp_get_class_info(e_, visible++, &name, &desc, nullptr), 0);
    EXPECT_STREQ(name, c.name);
    EXPECT_STREQ(desc, c.description);
  }
}

// Registering any table name again is refused, so every row of both tables is present under
// its exact name (hidden rows included).
TEST_F(FreshEngine, EveryTableNameIsRegistered) {
  auto fn = [](exp_engine *, exp_symval *, int, exp_symval **) { return 0; };
  for (const Row *table : {kGlobal, kClassFunctions}) {
    size_t n = table == kGlobal ? std::size(kGlobal) : std::size(kClassFunctions);
    for (size_t i = 0; i < n; ++i) {
      SCOPED_TRACE(table[i].name);
      EXPECT_EQ(exp_register_function(e_, table[i].name, fn, 0, 0, "", 'i', 0, "", 0, nullptr), 4);
    }
  }
}

// The static records themselves, hidden rows and result lengths included, in table order.
void expect_records(std::span<const exp_function> actual, const Row *expected, size_t n) {
  ASSERT_EQ(actual.size(), n);
  for (size_t i = 0; i < n; ++i) {
    const exp_function &f = actual[i];
    const Row &r = expected[i];
    SCOPED_TRACE(r.name);
    EXPECT_STREQ(f.name, r.name);
    EXPECT_STREQ(f.signature, r.signature);
    EXPECT_EQ(f.min_args, r.min_args);
    EXPECT_EQ(f.max_args, r.max_args);
    EXPECT_EQ(f.ret_type, r.ret);
    EXPECT_EQ(f.max_len, r.max_len);
    EXPECT_EQ(f.hidden != 0, r.hidden != 0);
    EXPECT_NE(f.fn, nullptr);
    EXPECT_GT(std::strlen(f.description), 0u);
  }
}

TEST(BuiltinRecords, GlobalAndClassFunctionTablesMatchRowForRow) {
  expect_records(builtin_functions(), kGlobal, std::size(kGlobal));
  expect_records(builtin_class_functions(), kClassFunctions, std::size(kClassFunctions));
}

// String results use their record's length: the result of each string function that is not
// grown by its own rules holds exactly that many characters.
TEST_F(FreshEngine, StringResultLengthsFollowTheRecords) {
  struct Case {
    const char *program;
    size_t length;
  } cases[] = {{"chr(65)", 1}, {"typeof(1)", 7}, {"uniqueid()", 16}};
  for (const Case &c : cases) {
    exp_pcode *p = nullptr;
    ASSERT_EQ(exp_make_pcode(e_, c.program, &p, EXP_STRING, 4096, 0, nullptr), 0) << c.program;
    exp_symval *r = nullptr;
    ASSERT_EQ(exp_execute(e_, p, &r), 0) << c.program;
    EXPECT_EQ(std::strlen(r->value.s), c.length) << c.program;
    exp_free_pcode(e_, p);
  }
}

}  // namespace
