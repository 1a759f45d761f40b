// Helpers for the suites of the built-in classes and system functions: compile a program text,
// run it, and look at the result or the error; a temporary directory per test.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "common/test_util.h"
#include "expression.h"

namespace classtest {

// The outcome of one run: the error number (0 on success), the engine's message, and the result
// cell as testutil::render shows it ("null", "i:3", "s:text", ...).
struct Outcome {
  int rc = 0;
  std::string message;
  std::string value;
};

using testutil::last_message;

// A program compiled once; run() may be called any number of times.
class Compiled {
 public:
  Compiled(exp_engine *e, const std::string &text, int type = EXP_STRING, int len = 4000) : e_(e) {
    rc_ = exp_make_pcode(e, text.c_str(), &p_, type, len, 0, nullptr);
    EXPECT_EQ(rc_, 0) << text << ": " << last_message(e);
  }
  ~Compiled() {
    if (p_) exp_free_pcode(e_, p_);
  }
  Compiled(const Compiled &) = delete;
  Compiled &operator=(const Compiled &) = delete;

  exp_pcode *get() const { return p_; }
  Outcome run() const {
    Outcome o;
    if (!p_) return {rc_, last_message(e_), "not compiled"};
    exp_symval *result = nullptr;
    o.rc = exp_execute(e_, p_, &result);
    o.message = last_message(e_);
    o.value = (o.rc == 0 && result) ? testutil::render(result) : "";
    return o;
  }

 private:
  exp_engine *e_;
  exp_pcode *p_ = nullptr;
  int rc_ = 0;
};

// Compiles and runs `text` once on `e`.
inline Outcome run(exp_engine *e, const std::string &text, int type = EXP_STRING, int len = 4000) {
  Compiled c(e, text, type, len);
  return c.run();
}

// The result of a run that must succeed.
inline std::string value_of(exp_engine *e, const std::string &text, int type = EXP_STRING) {
  Outcome o = run(e, text, type);
  EXPECT_EQ(o.rc, 0) << text << ": " << o.message;
  return o.value;
}

// A program-text string literal for `s` (double quotes; the text must not contain one).
inline std::string quoted(const std::string &s) { return "\"" + s + "\""; }

// A fresh engine and a fresh temporary directory for each test, removed afterwards.
class ClassTest : public ::testing::Test {
 protected:
  void SetUp() override {
    engine_ = testutil::make_engine();
    auto base = std::filesystem::temp_directory_path();
    const auto *info = ::testing::UnitTest::GetInstance()->current_test_info();
    dir_ = base / ("expr_" + std::string(info->test_suite_name()) + "_" + info->name() + "_" +
                   std::to_string(::getpid()));
    std::filesystem::remove_all(dir_);
    std::filesystem::create_directories(dir_);
  }
  void TearDown() override {
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }

  exp_engine *e() { return engine_.get(); }
  // Absolute path of `name` inside the test's directory.
  std::string path(const std::string &name) const { return (dir_ / name).string(); }
  std::string read_file(const std::string &name) const {
    std::ifstream in(path(name), std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  }
  void write_file(const std::string &name, const std::string &bytes) const {
    std::ofstream out(path(name), std::ios::binary);
    out << bytes;
  }

  testutil::EnginePtr engine_;
  std::filesystem::path dir_;
};

}  // namespace classtest
