// Copying compiled programs between engines: what the destination must provide (host functions,
// host symbols, user-defined functions), what the copy owns (its globals), that a failed copy
// leaves nothing behind, and that a user-defined function outlives the programs that call it.
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "common/test_util.h"
#include "engine.h"
#include "program.h"

using testutil::last_message;
using testutil::render;

namespace {

int twice_cb(exp_engine *, exp_symval *result, int, exp_symval **argv) {
  exp_symval_setint(result, argv[0]->value.i * 2);
  return 0;
}

int triple_cb(exp_engine *, exp_symval *result, int, exp_symval **argv) {
  exp_symval_setint(result, argv[0]->value.i * 3);
  return 0;
}

// Cancels the program that called it, found through the self cell after the arguments.
int cancel_caller_cb(exp_engine *e, exp_symval *result, int argc, exp_symval **argv) {
  auto *running = static_cast<exp_pcode *>(argv[argc]->value.p);
  *static_cast<exp_pcode **>(exp_get_callback_data(e)) = running;
  exp_cancel_execution(running);
  exp_symval_setint(result, 1);
  return 0;
}

int add_twice(exp_engine *e, exp_func_cb fn = twice_cb, const char *sig = "i", char ret = 'i') {
  return exp_register_function(e, "twice", fn, 1, 1, sig, ret, 0, "Doubles", 0, nullptr);
}

// Engines made by a test and cleaned at its end (after every program of theirs is freed).
class CopyTest : public ::testing::Test {
 public:
  void TearDown() override {
    for (auto it = programs_.rbegin(); it != programs_.rend(); ++it) EXPECT_EQ(exp_free_pcode(it->first, it->second), 0);
    for (auto it = engines_.rbegin(); it != engines_.rend(); ++it) EXPECT_EQ(exp_clean(*it), 0);
  }
  exp_engine *engine(exp_engine *e) {
    EXPECT_NE(e, nullptr);
    engines_.push_back(e);
    return e;
  }
  exp_engine *fresh() { return engine(exp_init()); }
  // Compiles a program that the fixture frees at the end of the test.
  exp_pcode *compile(exp_engine *e, const char *text, const char *name = nullptr, int type = EXP_INTEGER) {
    exp_pcode *p = nullptr;
    EXPECT_EQ(exp_make_pcode(e, text, &p, type, 0, 0, name), 0) << text << ": " << last_message(e);
    if (p) programs_.push_back({e, p});
    return p;
  }
  // Copies into `dst`; a copy that succeeds is freed by the fixture.
  int copy(exp_engine *src, exp_engine *dst, exp_pcode *p, exp_pcode **out = nullptr) {
    exp_pcode *n = nullptr;
    int rc = exp_copy_pcode(src, dst, p, &n);
    if (rc == 0) programs_.push_back({dst, n});
    else EXPECT_EQ(n, nullptr);
    if (out) *out = n;
    return rc;
  }
  // Frees a program early (and forgets it).
  int free_now(exp_engine *e, exp_pcode *p) {
    int rc = exp_free_pcode(e, p);
    if (rc == 0) std::erase(programs_, std::pair<exp_engine *, exp_pcode *>{e, p});
    return rc;
  }
  std::string run(exp_engine *e, exp_pcode *p) {
    exp_symval *r = nullptr;
    int rc = exp_execute(e, p, &r);
    if (rc) return "error " + std::to_string(rc) + ": " + last_message(e);
    return render(r);
  }

  std::vector<exp_engine *> engines_;
  std::vector<std::pair<exp_engine *, exp_pcode *>> programs_;
};

struct DestCase {
  const char *what;
  std::function<exp_engine *(CopyTest &, exp_engine *src)> make;
  int rc;
  const char *outcome;  // the message on failure, the copy's result on success
};

TEST_F(CopyTest, HostFunctionMustExistInTheDestinationWithTheSameShape) {
  const DestCase cases[] = {
      {"clone", [](CopyTest &t, exp_engine *s) { return t.engine(exp_clone(s)); }, 0, "i:6"},
      {"fresh engine", [](CopyTest &t, exp_engine *) { return t.fresh(); }, 35, "Function 'twice' not found"},
      {"other signature",
       [](CopyTest &t, exp_engine *) {
         exp_engine *d = t.fresh();
         add_twice(d, twice_cb, "r");
         return d;
       },
       35, "Function 'twice' not found"},
      {"other return letter",
       [](CopyTest &t, exp_engine *) {
         exp_engine *d = t.fresh();
         add_twice(d, twice_cb, "i", 'r');
         return d;
       },
       35, "Function 'twice' not found"},
      {"same shape, own callback",
       [](CopyTest &t, exp_engine *) {
         exp_engine *d = t.fresh();
         add_twice(d, triple_cb);
         return d;
       },
       0, "i:9"},
  };
  for (const DestCase &c : cases) {
    SCOPED_TRACE(c.what);
    exp_engine *src = fresh();
    ASSERT_EQ(add_twice(src), 0);
    exp_pcode *p = compile(src, "twice(3)");
    exp_engine *dst = c.make(*this, src);
    exp_pcode *n = nullptr;
    ASSERT_EQ(copy(src, dst, p, &n), c.rc);
    if (c.rc) {
      EXPECT_EQ(last_message(dst), c.outcome);
      EXPECT_EQ(dst->live_programs, 0);
    } else {
      EXPECT_EQ(run(dst, n), c.outcome);
      EXPECT_EQ(dst->live_programs, 1);
    }
    EXPECT_EQ(run(src, p), "i:6");  // the source is untouched
  }
}

TEST_F(CopyTest, HostSymbolIsTheDestinationsOwn) {
  exp_engine *src = fresh();
  exp_symval *qty = nullptr;
  ASSERT_EQ(exp_add_symbol(src, "qty", EXP_INTEGER, 0, 0, &qty), 0);
  exp_symval_setint(qty, 4);
  exp_pcode *p = compile(src, "qty * 10");

  exp_engine *dst = engine(exp_clone(src));
  EXPECT_EQ(copy(src, dst, p), 30);
  EXPECT_EQ(last_message(dst), "Invalid declaration: symbol 'qty' is not defined in the destination engine");
  EXPECT_EQ(dst->live_programs, 0);

  exp_symval *theirs = nullptr;
  ASSERT_EQ(exp_add_symbol(dst, "QTY", EXP_INTEGER, 0, 0, &theirs), 0);
  exp_symval_setint(theirs, 7);
  exp_pcode *n = nullptr;
  ASSERT_EQ(copy(src, dst, p, &n), 0);
  EXPECT_EQ(run(dst, n), "i:70");
  EXPECT_EQ(run(src, p), "i:40");
}

TEST_F(CopyTest, UserDefinedFunctionIsCopiedOncePerEngine) {
  exp_engine *src = fresh();
  exp_pcode *f = compile(src, "parametercount() + 40", "f");
  exp_pcode *caller = compile(src, "f(1, 2) + 1");
  exp_engine *dst = engine(exp_clone(src));

  EXPECT_EQ(copy(src, dst, caller), 35);
  EXPECT_EQ(last_message(dst), "Function 'f' not found");

  ASSERT_EQ(copy(src, dst, f), 0);
  EXPECT_EQ(exp_get_function_count(dst), exp_get_function_count(src));
  EXPECT_EQ(copy(src, dst, f), 4);
  EXPECT_EQ(last_message(dst), "Function already registered");
  EXPECT_EQ(dst->live_programs, 1);

  exp_pcode *n = nullptr;
  ASSERT_EQ(copy(src, dst, caller, &n), 0);
  EXPECT_EQ(run(dst, n), "i:43");
  EXPECT_EQ(n->code[0].kind, EXP_UDF_CALL);
  EXPECT_EQ(n->code[0].b.program, udf_find(dst, "f"));
}

TEST_F(CopyTest, CreatedGlobalsBelongToTheCopy) {
  exp_engine *src = fresh();
  exp_pcode *p = compile(src, "integer g; string(5) t; g = 5; t = \"abc\"; g + 1");
  exp_engine *dst = fresh();
  exp_pcode *n = nullptr;
  ASSERT_EQ(copy(src, dst, p, &n), 0);
  ASSERT_EQ(exp_symbol_count(dst), 2);
  exp_symval *g = exp_symbol_get_by_name(dst, "g");
  ASSERT_NE(g, nullptr);
  EXPECT_EQ(render(g), "null");
  EXPECT_EQ(exp_symbol_get_by_name(dst, "t")->len, 5u);
  EXPECT_EQ(run(dst, n), "i:6");
  EXPECT_EQ(render(g), "i:5");
  EXPECT_EQ(render(exp_symbol_get_by_name(src, "g")), "null");  // the source's global is not touched
  ASSERT_EQ(free_now(dst, n), 0);
  EXPECT_EQ(exp_symbol_count(dst), 0);
  EXPECT_EQ(exp_symbol_count(src), 2);
}

TEST_F(CopyTest, CreatedGlobalThatTheDestinationHasIsRefused) {
  exp_engine *src = fresh();
  exp_pcode *p = compile(src, "integer g; g = 5; g");
  exp_engine *dst = fresh();
  ASSERT_EQ(copy(src, dst, p), 0);
  // A second copy would own a second "g" while the program's cells pointed at the first.
  EXPECT_EQ(copy(src, dst, p), 31);
  EXPECT_EQ(last_message(dst), "Duplicate symbol 'g' found");
  EXPECT_EQ(exp_symbol_count(dst), 1);
  EXPECT_EQ(dst->live_programs, 1);
}

TEST_F(CopyTest, FailedCopyLeavesNoGlobalsBehind) {
  exp_engine *src = fresh();
  ASSERT_EQ(add_twice(src), 0);
  exp_pcode *p = compile(src, "integer g; g = twice(2); g");
  exp_engine *dst = fresh();
  EXPECT_EQ(copy(src, dst, p), 35);
  EXPECT_EQ(exp_symbol_count(dst), 0);
  EXPECT_EQ(dst->live_programs, 0);
}

// A copy is refused as compiling the program in the destination would be: its limits on program
// size, global symbols and declared strings hold for copies too, and nothing is left behind.
TEST_F(CopyTest, TheDestinationsLimitsRefuseACopyAsTheyWouldACompile) {
  const char *text = "integer g\nprivate string(20) s\ns = 'abc'\ng = len(s)\ng + 1";
  const struct {
    int which;
    int64_t value;
    const char *word;
  } rows[] = {
      {EXP_LIMIT_PROGRAM, 3, "program size limit of 3"},
      {EXP_LIMIT_SYMBOLS, 1, "symbol limit of 1"},
      {EXP_LIMIT_STRING, 10, "string limit of 10"},
      {EXP_LIMIT_MEMORY, 64, "memory limit of 64"},
  };
  exp_engine *src = fresh();
  exp_symval *h = nullptr;
  ASSERT_EQ(exp_add_symbol(src, "h", EXP_INTEGER, 0, 0, &h), 0);
  exp_pcode *p = compile(src, text);
  for (const auto &row : rows) {
    SCOPED_TRACE(row.word);
    exp_engine *dst = engine(exp_clone(src));
    ASSERT_EQ(exp_add_symbol(dst, "h", EXP_INTEGER, 0, 0, &h), 0);
    ASSERT_EQ(exp_set_limit(dst, row.which, row.value), 0);
    EXPECT_EQ(copy(src, dst, p), EXP_E_LIMIT);
    EXPECT_NE(last_message(dst).find(row.word), std::string::npos) << last_message(dst);
    EXPECT_EQ(exp_symbol_count(dst), 1);
    EXPECT_EQ(dst->live_programs, 0);
    EXPECT_EQ(dst->memory->used.load(), 0);
    // Compiling there is refused alike, and a limit the program fits lets the copy through.
    exp_pcode *compiled = nullptr;
    EXPECT_EQ(exp_make_pcode(dst, text, &compiled, EXP_INTEGER, 0, 0, nullptr), EXP_E_LIMIT);
    ASSERT_EQ(exp_set_limit(dst, row.which, row.value * 1000), 0);
    exp_pcode *n = nullptr;
    ASSERT_EQ(copy(src, dst, p, &n), 0) << last_message(dst);
    EXPECT_EQ(run(dst, n), "i:4");
  }
}

// A copy that fails half made gives back nothing it did not charge: the charge of the source's
// cells stays with the source.
TEST_F(CopyTest, AFailedCopyLeavesTheDestinationsChargeAlone) {
  exp_engine *src = fresh();
  ASSERT_EQ(exp_add_symbol(src, "h", EXP_STRING, 10, 0, nullptr), 0);
  exp_pcode *p = compile(src, "string(30) t\nt = h & 'x'\nlen(upper(t) & h)");
  exp_engine *dst = fresh();  // lacks h
  EXPECT_EQ(copy(src, dst, p), EXP_E_DECLARATION);
  EXPECT_EQ(dst->memory->used.load(), 0);
  EXPECT_GT(src->memory->used.load(), 0);
}

TEST_F(CopyTest, ConstantsLocalsAndResultLimitAreCopied) {
  exp_engine *src = fresh();
  exp_pcode *p = nullptr;
  ASSERT_EQ(exp_make_pcode(src, "private string(3) s; s = \"abcdef\"; s & \"-\" & 'x'", &p, EXP_STRING, 4,
                           EXP_MAKE_BYTES, nullptr),
            0)
      << last_message(src);
  programs_.push_back({src, p});
  exp_engine *dst = fresh();
  exp_pcode *n = nullptr;
  ASSERT_EQ(copy(src, dst, p, &n), 0);
  EXPECT_EQ(n->locals.count, p->locals.count);
  EXPECT_EQ(n->result.flags & EXP_BYTES, uint32_t{EXP_BYTES});
  EXPECT_EQ(run(dst, n), run(src, p));
  EXPECT_EQ(run(dst, n), "s:abc-");
}

TEST_F(CopyTest, CopyOutlivesTheSourceEngine) {
  exp_engine *src = exp_init();
  ASSERT_NE(src, nullptr);
  ASSERT_EQ(add_twice(src), 0);
  ASSERT_EQ(exp_register_class(src, "thing", "A host class", nullptr, nullptr), 0);
  exp_pcode *p = nullptr;
  ASSERT_EQ(exp_make_pcode(src, "private thing t; twice(21)", &p, EXP_INTEGER, 0, 0, nullptr), 0) << last_message(src);

  exp_engine *without = engine(exp_clone(src));
  EXPECT_EQ(copy(src, without, p), 30);  // the destination lacks the class

  exp_engine *dst = engine(exp_clone(src));
  ASSERT_EQ(exp_register_class(dst, "THING", "A host class", nullptr, nullptr), 0);
  exp_pcode *n = nullptr;
  ASSERT_EQ(copy(src, dst, p, &n), 0);
  ASSERT_EQ(exp_free_pcode(src, p), 0);
  ASSERT_EQ(exp_clean(src), 0);
  // The object local names the destination's class, not the cleaned engine's.
  EXPECT_EQ(n->locals.first->cell.cls, exp_get_class_by_name(dst, "thing"));
  EXPECT_EQ(run(dst, n), "i:42");
}

TEST_F(CopyTest, CopyIsCancelledThroughItsOwnSelfCell) {
  exp_engine *src = fresh();
  ASSERT_EQ(exp_register_function(src, "stop", cancel_caller_cb, 0, 0, "", 'i', 0, "", 0, nullptr), 0);
  exp_pcode *p = compile(src, "stop(); 7");
  exp_engine *dst = engine(exp_clone(src));
  exp_pcode *n = nullptr;
  ASSERT_EQ(copy(src, dst, p, &n), 0);
  exp_pcode *seen = nullptr;
  exp_set_callback_data(dst, &seen);
  EXPECT_EQ(run(dst, n), "error 104: User interrupt");
  EXPECT_EQ(seen, n);
  EXPECT_EQ(p->cancel.load(), 0);  // the source program was not touched
}

TEST_F(CopyTest, CopyReportsRunTimeErrorsAtTheSourcePosition) {
  exp_engine *src = fresh();
  exp_pcode *p = compile(src, "1;\n  2 / 0");
  exp_engine *dst = fresh();
  exp_pcode *n = nullptr;
  ASSERT_EQ(copy(src, dst, p, &n), 0);
  EXPECT_EQ(run(src, p), "error 101: Divide by zero");
  EXPECT_EQ(run(dst, n), "error 101: Divide by zero");
  int line = 0, column = 0, copy_line = 0, copy_column = 0;
  ASSERT_EQ(exp_run_position(p, &line, &column), 1);
  ASSERT_EQ(exp_run_position(n, &copy_line, &copy_column), 1);
  EXPECT_EQ(copy_line, 2);
  EXPECT_EQ(std::pair(copy_line, copy_column), std::pair(line, column));
}

TEST_F(CopyTest, FreeingNothingAndFreeingWithoutLivePrograms) {
  exp_engine *e = fresh();
  EXPECT_EQ(exp_free_pcode(e, nullptr), 0);
  exp_engine *other = fresh();
  exp_pcode *p = compile(other, "1");
  EXPECT_EQ(exp_free_pcode(e, p), 2);
  EXPECT_EQ(last_message(e).rfind("Error at ..\\..\\src\\exp_initclean (", 0), 0u) << last_message(e);
  EXPECT_EQ(run(other, p), "i:1");  // nothing was freed
}

TEST_F(CopyTest, CalledUserFunctionOutlivesItsCallers) {
  exp_engine *e = fresh();
  exp_pcode *f = compile(e, "2", "f");
  exp_pcode *a = compile(e, "f() + 1");
  exp_pcode *b = compile(e, "f() * f()");
  EXPECT_EQ(f->udf_callers, 3);

  EXPECT_EQ(free_now(e, f), 8);
  EXPECT_EQ(last_message(e), "Function 'f' is still called by 3 compiled program(s)");
  EXPECT_EQ(e->live_programs, 3);
  EXPECT_EQ(run(e, a), "i:3");

  ASSERT_EQ(free_now(e, b), 0);
  EXPECT_EQ(free_now(e, f), 8);
  EXPECT_EQ(last_message(e), "Function 'f' is still called by 1 compiled program(s)");
  ASSERT_EQ(free_now(e, a), 0);
  int before = exp_get_function_count(e);
  EXPECT_EQ(free_now(e, f), 0);
  EXPECT_EQ(exp_get_function_count(e), before - 1);
}

TEST_F(CopyTest, CopiedCallerHoldsTheDestinationsFunction) {
  exp_engine *src = fresh();
  exp_pcode *f = compile(src, "5", "f");
  exp_pcode *caller = compile(src, "f()");
  exp_engine *dst = fresh();
  exp_pcode *df = nullptr, *dc = nullptr;
  ASSERT_EQ(copy(src, dst, f, &df), 0);
  ASSERT_EQ(copy(src, dst, caller, &dc), 0);
  EXPECT_EQ(df->udf_callers, 1);
  EXPECT_EQ(f->udf_callers, 1);
  EXPECT_EQ(free_now(dst, df), 8);
  ASSERT_EQ(free_now(dst, dc), 0);
  EXPECT_EQ(df->udf_callers, 0);
  EXPECT_EQ(free_now(dst, df), 0);
}

}  // namespace
