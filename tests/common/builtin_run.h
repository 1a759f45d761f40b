// A fixture for built-in function tests that go through compiled programs: compile a text, run
// it once, and read the result as the test utilities render cells ("i:3", "s:abc", "r:2.50",
// "null") or, for failures, as "error N: message".
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/test_util.h"
#include "expression.h"

namespace builtin_run {

class BuiltinTest : public ::testing::Test {
 protected:
  void SetUp() override { e_ = testutil::make_engine(); }

  // Compiles and runs `text` with a result of `type` (a string result holds `len` characters).
  std::string run(const std::string &text, int type, int len = 4000) {
    exp_pcode *p = nullptr;
    int rc = exp_make_pcode(e_.get(), text.c_str(), &p, type, len, 0, nullptr);
    std::string out;
    if (rc == 0) {
      exp_symval *result = nullptr;
      rc = exp_execute(e_.get(), p, &result);
      if (rc == 0) out = result ? testutil::render(result) : "no result";
    }
    if (rc != 0) out = "error " + std::to_string(rc) + ": " + message();
    if (p) exp_free_pcode(e_.get(), p);
    return out;
  }

  std::string message() { return testutil::last_message(e_.get()); }

  exp_symval *symbol(const char *name, int type, int limit = 0) {
    exp_symval *cell = nullptr;
    EXPECT_EQ(exp_add_symbol(e_.get(), name, type, limit, 0, &cell), 0) << name;
    return cell;
  }

  struct Row {
    std::string text;
    std::string expected;
  };
  // Runs every row with a result of `type` and compares the rendered result.
  void expect_rows(const std::vector<Row> &rows, int type) {
    for (const Row &row : rows) EXPECT_EQ(run(row.text, type), row.expected) << row.text;
  }

  testutil::EnginePtr e_;
};

}  // namespace builtin_run
