// The instruction dump: one line per instruction, the call names found by address, the operand
// numbering, each cell type's description, and the normalisation it leaves in real cells.
#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "common/test_util.h"
#include "engine.h"
#include "program.h"

using testutil::Program;

namespace {

struct Sink {
  std::vector<std::string> pieces;
  std::string text() const {
    std::string all;
    for (const std::string &p : pieces) all += p;
    return all;
  }
  std::vector<std::string> lines() const {
    std::vector<std::string> out(1);
    for (const std::string &p : pieces) {
      if (p == "\n") out.emplace_back();
      else out.back() += p;
    }
    out.pop_back();  // after the last "\n"
    return out;
  }
};

void collect(const char *text, void *user) { static_cast<Sink *>(user)->pieces.emplace_back(text); }

std::string addr(const void *p) {
  char buf[40];
  std::snprintf(buf, sizeof buf, "%p", p);
  return buf;
}

int noop_cb(exp_engine *, exp_symval *, int, exp_symval **) { return 0; }
int host_cb(exp_engine *, exp_symval *result, int, exp_symval **) {
  exp_symval_setint(result, 1);
  return 0;
}

class DumpTest : public ::testing::Test {
 protected:
  void SetUp() override { e_ = exp_init(); }
  void TearDown() override { EXPECT_EQ(exp_clean(e_), 0); }
  std::vector<std::string> dump(exp_pcode *p) {
    Sink s;
    exp_dump_pcode(e_, p, collect, &s);
    return s.lines();
  }
  exp_engine *e_ = nullptr;
};

TEST_F(DumpTest, CallOfAbsNamesTheFunctionAndNumbersItsOperands) {
  exp_symval *x = nullptr;
  ASSERT_EQ(exp_add_symbol(e_, "x", EXP_REAL, 0, 0, &x), 0);
  testutil::set_real(x, "-2.50");
  exp_pcode *p = nullptr;
  ASSERT_EQ(exp_make_pcode(e_, "abs(x)", &p, EXP_REAL, 0, 0, nullptr), 0);
  ASSERT_EQ(p->count, 6);
  const exp_symval *temp = p->code[1].b.cell;
  const std::vector<std::string> expected = {
      "0: Call abs (1 params)",
      "1: Return val " + addr(temp) + " (real,  value is null)",
      "2: Parameter 0 " + addr(x) + " (real,  value -2.5)",
      "3: Call copy/coerce (1 params)",
      "4: Return val " + addr(&p->result) + " (real,  value is null)",
      "5: Parameter 0 " + addr(temp) + " (real,  value is null)",
  };
  EXPECT_EQ(dump(p), expected);
  EXPECT_EQ(testutil::dec_text(*symval_dec(x)), "-2.5");  // the dump left the real normalised
  EXPECT_EQ(exp_free_pcode(e_, p), 0);
}

TEST_F(DumpTest, StringOperandShowsAtMost450Bytes) {
  struct Case {
    const char *what;
    std::string text;
    std::string shown;
  };
  std::string e_acute;
  for (int i = 0; i < 500; ++i) e_acute += "\xC3\xA9";
  const Case cases[] = {
      {"ascii", std::string(500, 'x'), std::string(450, 'x')},
      {"two-byte characters", e_acute, e_acute.substr(0, 450)},
      {"short", "abc", "abc"},
  };
  exp_symval *s = nullptr;
  ASSERT_EQ(exp_add_symbol(e_, "s", EXP_STRING, 600, 0, &s), 0);
  exp_pcode *p = nullptr;
  ASSERT_EQ(exp_make_pcode(e_, "s", &p, EXP_STRING, 600, 0, nullptr), 0);
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    exp_symval_setstr(s, c.text.c_str());
    std::vector<std::string> lines = dump(p);
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[2], "2: Parameter 0 " + addr(s) + " (string, len 600 value '" + c.shown + "')");
  }
  EXPECT_EQ(exp_free_pcode(e_, p), 0);
}

TEST_F(DumpTest, EveryCellTypeIsDescribed) {
  exp_class *thing = nullptr;
  ASSERT_EQ(exp_register_class(e_, "thing", "A host class", nullptr, &thing), 0);
  struct Case {
    const char *what;
    int type;
    int limit;
    std::function<void(exp_symval *)> set;
    const char *described;  // after the address
  };
  const Case cases[] = {
      {"true", EXP_BOOLEAN, 0, [](exp_symval *c) { exp_symval_setint(c, 1); }, " (bool value true)"},
      {"false", EXP_BOOLEAN, 0, [](exp_symval *c) { exp_symval_setint(c, 0); }, " (bool value false)"},
      {"integer", EXP_INTEGER, 0, [](exp_symval *c) { exp_symval_setint(c, INT64_MIN); },
       " (int value -9223372036854775808)"},
      {"null integer", EXP_INTEGER, 0, [](exp_symval *) {}, " (int value is null)"},
      {"real with trailing zeros", EXP_REAL, 0, [](exp_symval *c) { testutil::set_real(c, "1.500"); },
       " (real,  value 1.5)"},
      {"real with positive exponent", EXP_REAL, 0, [](exp_symval *c) { testutil::set_real(c, "1E+2"); },
       " (real,  value 100)"},
      {"string", EXP_STRING, 5, [](exp_symval *c) { exp_symval_setstr(c, "abc"); },
       " (string, len 5 value 'abc')"},
      {"date", EXP_DATE, 0, [](exp_symval *c) { exp_symval_setdbl(c, 45000.5); }, " (date  value 45000.5)"},
      {"pointer", EXP_POINTER, 0, [](exp_symval *c) { exp_symval_setptr(c, c); }, " (other)"},
      {"null pointer", EXP_POINTER, 0, [](exp_symval *) {}, " (other) value is null)"},
      {"object", EXP_OBJECT, 0, [](exp_symval *c) { exp_instantiate_object(c, nullptr); },
       " (object 'thing' refcount 1)"},
      {"null object", EXP_OBJECT, 0, [](exp_symval *) {}, " (object 'thing' refcount 0) value is null)"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    Program p(e_);
    exp_symval *cell = p.local(c.type, c.limit, 0, c.type == EXP_OBJECT ? thing : nullptr);
    c.set(cell);
    p.call(noop_cb, cell, {});
    std::vector<std::string> lines = dump(p.get());
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], "0: Call unknown (0 params)");
    EXPECT_EQ(lines[1], "1: Return val " + addr(cell) + c.described);
  }
}

TEST_F(DumpTest, InstructionKindsAndOperandNumbering) {
  ASSERT_EQ(exp_register_function(e_, "hostfn", host_cb, 0, 2, "i", 'i', 0, "", 0, nullptr), 0);
  Program callee(e_);
  callee.finish();
  Program p(e_);
  exp_symval *flag = p.local(EXP_BOOLEAN);
  exp_symval *one = p.int_const(1);
  p.emit(EXP_NOOP);
  p.emit(EXP_JUMP, 5);
  p.emit(EXP_JUMP_IF_ZERO, 0, flag);
  p.emit(EXP_OPERAND, 0, one);  // an operand right after a jump counts from 0
  p.call(noop_cb, one, {one});
  p.call(e_->functions.back().fn, one, {one, one});
  p.udf_call(callee.get(), one, {});
  p.emit(EXP_EXIT);
  p.emit(9);
  const std::string c = addr(one) + " (int value 1)";
  const std::vector<std::string> expected = {
      "0: No-op ",
      "1: Jump to 5",
      "2: Jump if 0 to 0",
      "3: Parameter 0 " + c,
      "4: Call unknown (1 params)",
      "5: Return val " + c,
      "6: Parameter 0 " + c,
      "7: Call hostfn (2 params)",
      "8: Return val " + c,
      "9: Parameter 0 " + c,
      "10: Parameter 1 " + c,
      "11: UDF Call unknown (0 params)",
      "12: Return val " + c,
      "13: Exit ",
      "14: Unknown",
  };
  EXPECT_EQ(dump(p.get()), expected);
}

TEST_F(DumpTest, EmptyProgramSendsNothingAndStatusIsOneLine) {
  Program p(e_);
  Sink s;
  exp_dump_pcode(e_, p.get(), collect, &s);
  EXPECT_TRUE(s.pieces.empty());
  exp_dump_global_status(collect, &s);
  EXPECT_EQ(s.pieces, std::vector<std::string>{"Global ref count is 0\n"});
}

}  // namespace
