// The array classes and aparse, through compiled programs.
#include <gtest/gtest.h>

#include <string>

#include "common/classes_util.h"

namespace {

using classtest::ClassTest;
using classtest::Outcome;
using classtest::run;
using classtest::value_of;

class Arrays : public ClassTest {};

struct Case {
  const char *program;
  const char *expected;
};

// Runs each program in an engine of its own, so that every case can declare the same names.
void expect_values(std::initializer_list<Case> cases) {
  for (const Case &c : cases) {
    testutil::EnginePtr fresh = testutil::make_engine();
    EXPECT_EQ(value_of(fresh.get(), c.program), c.expected) << c.program;
  }
}

void expect_error(const std::string &program, const std::string &message) {
  testutil::EnginePtr e = testutil::make_engine();
  Outcome o = run(e.get(), program);
  EXPECT_EQ(o.rc, 102) << program;
  EXPECT_EQ(o.message, "Error in function: " + message) << program;
}

TEST_F(Arrays, DimGetAndSetFollowTheElementLifecycle) {
  expect_values({
      {"integer array a; a.dim()", "null"},
      {"integer array a; a.dim(3); a.dim()", "s:3"},
      {"integer array a; a.dim(3); isnull(a.get(1))", "s:true"},
      {"integer array a; a.dim(3); isnull(a.set(2, 7))", "s:true"},
      {"integer array a; a.dim(3); a.set(2, 7); a.set(2, 9)", "s:7"},
      {"integer array a; a.dim(3); a.set(2, 7); a.set(2, 9); a.get(2)", "s:9"},
      {"integer array a; a.dim(3); a.set(2, 7); isnull(a.set(null, 5))", "s:true"},
      {"integer array a; a.dim(3); a.set(2, 7); a.set(null, 5); a.get(2)", "s:7"},
      {"integer array a; a.dim(3); a.set(2, 7); a.set(2, null)", "s:7"},
      {"integer array a; a.dim(3); a.set(2, 7); a.set(2, null); isnull(a.get(2))", "s:true"},
      {"real array r; r.dim(2); r.set(1, 2.5); r.get(1) * 2", "s:5"},
      {"boolean array b; b.dim(2); b.set(2, true); b.get(2)", "s:true"},
      {"date array d; d.dim(1); d.set(1, #2024-02-29#); d.get(1) == #2024-02-29#",
       "s:true"},
      {"string array s; s.dim(1); s.set(1, \"x\"); s.get(1)", "s:x"},
  });
}

TEST_F(Arrays, ResizingKeepsElementsAndAddsNullOnes) {
  expect_values({
      {"integer array a; a.dim(3); a.set(1, 1); a.set(3, 3); a.dim(5); "
       "tostring(a.get(1)) & tostring(a.get(3)) & tostring(isnull(a.get(4))) & tostring(a.dim())",
       "s:13true5"},
      {"string array s; s.dim(5); s.set(1, \"a\"); s.set(2, \"b\"); s.set(5, \"e\"); s.dim(2); "
       "s.get(1) & s.get(2) & tostring(s.dim())",
       "s:ab2"},
      {"integer array a; a.dim(3); a.dim(0); a.dim()", "s:0"},
      {"integer array a; a.dim(3); a.dim(0); a.dim(2); a.dim()", "s:2"},
  });
  expect_error("integer array a; a.dim(3); a.dim(0); a.get(1)", "Index out of bounds");
}

TEST_F(Arrays, BadAccessRaisesTheArrayMessages) {
  expect_error("integer array a; a.get(1)", "Array is null");
  expect_error("string array a; a.set(1, \"x\")", "Array is null");
  expect_error("integer array a; a.dim(3); a.get(0)", "Index out of bounds");
  expect_error("integer array a; a.dim(3); a.get(4)", "Index out of bounds");
  expect_error("integer array a; a.dim(3); a.get(-1)", "Index out of bounds");
  // Indexes beyond 32 bits are out of bounds, not wrapped onto a valid element.
  expect_error("integer array a; a.dim(3); a.get(4294967297)", "Index out of bounds");
}

TEST_F(Arrays, SizesThatCannotBeAllocatedAreRefused) {
  // Negative sizes, and sizes beyond 32 bits (never wrapped onto a small size).
  for (const char *size : {"-1", "4294967297", "9223372036854775807"}) {
    testutil::EnginePtr e = testutil::make_engine();
    std::string program = std::string("integer array a; a.dim(2); a.set(1, 5); a.dim(") + size + ")";
    Outcome o = run(e.get(), program);
    EXPECT_EQ(o.rc, 1) << size;
    EXPECT_EQ(o.message, "Memory Allocation Failed") << size;
  }
  // After a refused resize the array keeps its size and elements (a global keeps its instance
  // from one run to the next).
  classtest::Compiled setup(e(), "global integer array a; a.dim(2); a.set(1, 5)");
  ASSERT_EQ(setup.run().rc, 0);
  EXPECT_EQ(run(e(), "a.dim(-1)").rc, 1);
  EXPECT_EQ(value_of(e(), "a.dim() & \"/\" & a.get(1)"), "s:2/5");
}

TEST_F(Arrays, AssignmentSharesTheInstance) {
  expect_values({
      {"string array a; string array b; a.dim(2); b = a; a.set(1, \"x\"); b.get(1)", "s:x"},
      {"integer array a; integer array b; a.dim(2); b = a; b.dim(7); a.dim()", "s:7"},
      {"integer array a; integer array b; a.dim(2); b = a; a = null; b.dim()", "s:2"},
  });
}

TEST_F(Arrays, LongStringElementsComeBackWhole) {
  std::string text(1000, 'x');
  text += "é";
  std::string program = "string array s; s.dim(1); s.set(1, \"" + text + "\"); s.get(1)";
  EXPECT_EQ(value_of(e(), program), "s:" + text);
  testutil::EnginePtr f = testutil::make_engine();
  EXPECT_EQ(value_of(f.get(), "string array s; s.dim(1); s.set(1, \"" + text + "\"); len(s.get(1))"),
            "s:1001");
}

TEST_F(Arrays, MethodFunctionsRefuseAnotherClass) {
  expect_error("real array r; r.dim(1); int_array_get(r, 1)", "Invalid object: integer_array expected");
}

TEST_F(Arrays, AparseSplitsAtEveryDelimiter) {
  expect_values({
      {"string array p; aparse(\"a,b,,c\", \",\", p)", "s:4"},
      {"string array p; aparse(\"a,b,,c\", \",\", p); p.get(1) & \"|\" & p.get(2) & \"|\" & p.get(3) & \"|\" & p.get(4)",
       "s:a|b||c"},
      {"string array p; aparse(\"a,\", \",\", p); tostring(p.dim()) & p.get(1) & \"|\" & p.get(2)", "s:2a|"},
      {"string array p; aparse(\"abc\", \"\", p); p.get(1)", "s:abc"},
      {"string array p; aparse(\"x--y\", \"--\", p); p.get(1) & p.get(2)", "s:xy"},
      {"string array p; aparse(\"x---y\", \"--\", p); p.get(1) & \"|\" & p.get(2)", "s:x|-y"},
      {"string array p; aparse(\"\", \",\", p); tostring(p.dim()) & \"[\" & p.get(1) & \"]\"", "s:1[]"},
      {"string array p; p.dim(3); p.set(1, \"keep\"); isnull(aparse(null, \",\", p))", "s:true"},
      {"string array p; p.dim(3); p.set(1, \"keep\"); aparse(null, \",\", p); p.get(1)", "s:keep"},
  });
  expect_error("integer array p; aparse(null, \",\", p)",
               "aparse parameter 3 is invalid type. Must be string array.");
}

TEST_F(Arrays, AparseGrowsPastItsInitialStorage) {
  std::string source;
  for (int k = 1; k <= 41; ++k) source += (k > 1 ? ";" : "") + std::to_string(k);
  std::string program = "string array p; integer n; n = aparse(\"" + source +
                        "\", \";\", p); tostring(n) & \" \" & p.get(1) & \" \" & p.get(17) & \" \" & "
                        "p.get(33) & \" \" & p.get(41)";
  EXPECT_EQ(value_of(e(), program), "s:41 1 17 33 41");
}

TEST_F(Arrays, AparseReplacesOnlyTheTargetsReference) {
  expect_values({
      {"string array p; string array q; p.dim(1); p.set(1, \"old\"); q = p; aparse(\"n1,n2\", \",\", p); "
       "q.get(1) & \" \" & tostring(q.dim()) & \" \" & p.get(2)",
       "s:old 1 n2"},
  });
}

}  // namespace

namespace {

// The class records as hosts see them: the array classes are hidden, file and regex are listed,
// and only aparse of the class functions appears in the function list.
TEST(ClassTable, ArrayClassesAreHiddenAndAparseIsListed) {
  testutil::EnginePtr e = testutil::make_engine();
  EXPECT_EQ(exp_get_class_count(e.get()), 2);
  const char *name = nullptr;
  ASSERT_EQ(exp_get_class_info(e.get(), 0, &name, nullptr, nullptr), 0);
  EXPECT_STREQ(name, "file");
  ASSERT_EQ(exp_get_class_info(e.get(), 1, &name, nullptr, nullptr), 0);
  EXPECT_STREQ(name, "regex");
  exp_class *strings = exp_get_class_by_name(e.get(), "STRING_ARRAY");
  ASSERT_NE(strings, nullptr);
  EXPECT_EQ(exp_get_class_function_count(strings), 3);
  const char *method = nullptr, *signature = nullptr, *description = nullptr;
  int min_args = 0;
  uint32_t max_args = 0;
  char ret = 0;
  ASSERT_EQ(exp_get_class_function_info(e.get(), strings, 1, &method, &min_args, &max_args, &signature, &ret,
                                        &description),
            0);
  EXPECT_STREQ(method, "set");
  EXPECT_EQ(min_args, 3);
  EXPECT_STREQ(signature, "Ois");
  EXPECT_EQ(ret, 's');
  EXPECT_STREQ(description, "Set an element. The old value is returned");
  bool aparse_listed = false, dim_listed = false;
  for (int k = 0; k < exp_get_function_count(e.get()); ++k) {
    ASSERT_EQ(exp_get_function_info(e.get(), k, &name, nullptr, nullptr, nullptr, nullptr, nullptr), 0);
    aparse_listed |= std::string(name) == "aparse";
    dim_listed |= std::string(name) == "int_array_dim";
  }
  EXPECT_TRUE(aparse_listed);
  EXPECT_FALSE(dim_listed);
}

}  // namespace
