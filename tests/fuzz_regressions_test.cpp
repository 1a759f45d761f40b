// Programs that once crashed or hung the engine under fuzzing, run in the same environment as
// the compile-and-run fuzz target (fuzz/fuzz_host.h: a symbol of every type, host functions that
// re-enter the engine, an interrupt handler that bounds each run). Each row is a program text and
// what it must now give: the error number and message, or the rendered result.
#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

#include "../fuzz/fuzz_host.h"
#include "common/test_util.h"

namespace {

struct Regression {
  const char *found;     // what went wrong before the fix
  std::string text;      // the program
  int type;              // its result type
  int rc;                // the error number it must give
  std::string expected;  // the message on error, else testutil::render of the result
};

// Test output shows the program (printing the raw bytes would read the padding).
void PrintTo(const Regression &row, std::ostream *os) { *os << row.text; }

class FuzzRegressions : public ::testing::TestWithParam<Regression> {
 protected:
  void SetUp() override {
    e_ = testutil::make_engine();
    fuzz::setup_hostile_host(e_.get());
    exp_set_callback_data(e_.get(), &state_);
  }
  void TearDown() override { exp_set_callback_data(e_.get(), nullptr); }

  testutil::EnginePtr e_;
  fuzz::HostState state_;
};

TEST_P(FuzzRegressions, ProgramGivesItsDefinedOutcome) {
  const Regression &row = GetParam();
  exp_pcode *p = nullptr;
  int rc = exp_make_pcode(e_.get(), row.text.c_str(), &p, row.type, 100, 0, nullptr);
  exp_symval *result = nullptr;
  if (rc == 0) {
    state_.program = p;
    rc = exp_execute(e_.get(), p, &result);
  }
  const char *message = "";
  exp_error_info(e_.get(), &message, nullptr, nullptr);
  EXPECT_EQ(rc, row.rc) << row.found << "\n" << message;
  EXPECT_EQ(rc == 0 ? testutil::render(result) : std::string(message), row.expected) << row.found;
  if (p) {
    EXPECT_EQ(exp_free_pcode(e_.get(), p), 0);
  }
}

const Regression kRegressions[] = {
    {"a host function that ran its calling program again recursed until the stack overflowed",
     "host_echo(r) & host_echo(d) & host_echo(b) & host_reenter()", EXP_STRING, 0,
     "s:3.1415926535897932384612/09/25 12:00:00true3"},
};

INSTANTIATE_TEST_SUITE_P(Found, FuzzRegressions, ::testing::ValuesIn(kRegressions));

}  // namespace
