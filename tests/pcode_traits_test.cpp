// Program traits: what the compiler records about a program's dependence on earlier runs and its
// calls into the host, through the program's own text and the user-defined functions it calls.
#include <gtest/gtest.h>

#include <string>

#include "common/test_util.h"

using testutil::last_message;

namespace {

int one_cb(exp_engine *, exp_symval *result, int, exp_symval **) {
  exp_symval_setint(result, 1);
  return 0;
}

struct TraitCase {
  const char *text;
  unsigned traits;
};

class Traits : public ::testing::TestWithParam<TraitCase> {};

// Each program compiles in an engine with a host symbol, a host function, a replaced built-in,
// a static global another program declared, and two user-defined functions, one keeping state.
TEST_P(Traits, AreDecidedWhenCompilingAndCopied) {
  exp_engine *e = exp_init();
  ASSERT_NE(e, nullptr);
  ASSERT_EQ(exp_add_symbol(e, "n", EXP_INTEGER, 0, 0, nullptr), 0);
  ASSERT_EQ(exp_register_function(e, "hostone", one_cb, 0, 0, "", 'i', 0, "", 0, nullptr), 0);
  ASSERT_EQ(exp_replace_function(e, "username", one_cb, 0, 0, "", 'i', 0, "", 0, nullptr), 0);
  exp_pcode *setup[3] = {}, *p = nullptr;
  ASSERT_EQ(exp_make_pcode(e, "static integer shared_total", &setup[0], EXP_INTEGER, 0, 0, nullptr), 0);
  ASSERT_EQ(exp_make_pcode(e, "private static integer c; c = c + 1; c", &setup[1], EXP_INTEGER, 0, 0, "counter"), 0);
  ASSERT_EQ(exp_make_pcode(e, "n * 2", &setup[2], EXP_INTEGER, 0, 0, "pure"), 0);
  const TraitCase &c = GetParam();
  ASSERT_EQ(exp_make_pcode(e, c.text, &p, EXP_STRING, 100, 0, nullptr), 0) << last_message(e);
  EXPECT_EQ(exp_pcode_traits(p), c.traits) << c.text;

  // A copy into a clone (which gets the same symbols and user-defined functions) carries them.
  exp_engine *clone = exp_clone(e);
  ASSERT_NE(clone, nullptr);
  ASSERT_EQ(exp_add_symbol(clone, "n", EXP_INTEGER, 0, 0, nullptr), 0);
  exp_pcode *copies[4] = {};
  for (int i = 0; i < 3; ++i) ASSERT_EQ(exp_copy_pcode(e, clone, setup[i], &copies[i]), 0) << last_message(clone);
  ASSERT_EQ(exp_copy_pcode(e, clone, p, &copies[3]), 0) << last_message(clone);
  EXPECT_EQ(exp_pcode_traits(copies[3]), c.traits) << c.text;

  for (exp_pcode *q : {copies[3], copies[0], copies[1], copies[2]}) EXPECT_EQ(exp_free_pcode(clone, q), 0);
  for (exp_pcode *q : {p, setup[0], setup[1], setup[2]}) EXPECT_EQ(exp_free_pcode(e, q), 0);
  EXPECT_EQ(exp_clean(clone), 0);
  EXPECT_EQ(exp_clean(e), 0);
  EXPECT_EQ(exp_pcode_traits(nullptr), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Programs, Traits,
    ::testing::Values(TraitCase{"n + 1", 0}, TraitCase{"integer x; x = n; upper(tostring(x))", 0},
                      TraitCase{"static integer total; total = total + n; total", EXP_TRAIT_KEEPS_STATE},
                      TraitCase{"private static string s; s", EXP_TRAIT_KEEPS_STATE},
                      TraitCase{"shared_total = n; 1", EXP_TRAIT_KEEPS_STATE},
                      TraitCase{"shared_total + 1", EXP_TRAIT_KEEPS_STATE},
                      TraitCase{"uniqueid()", EXP_TRAIT_KEEPS_STATE | EXP_TRAIT_ORDER_BOUND},
                      TraitCase{"VarSet(\"n\", 5)", EXP_TRAIT_KEEPS_STATE | EXP_TRAIT_ORDER_BOUND},
                      TraitCase{"vareval(\"n\")", EXP_TRAIT_KEEPS_STATE | EXP_TRAIT_ORDER_BOUND},
                      TraitCase{"file f; f.open(\"x.txt\", \"a\"); 1", EXP_TRAIT_KEEPS_STATE | EXP_TRAIT_ORDER_BOUND},
                      // A write keeps state though the program opens nothing (capability_any is only open's).
                      TraitCase{"file f; f.writebytes(1, \"x\")", EXP_TRAIT_KEEPS_STATE | EXP_TRAIT_ORDER_BOUND},
                      TraitCase{"counter() + 1", EXP_TRAIT_KEEPS_STATE}, TraitCase{"pure() + 1", 0},
                      TraitCase{"hostone()", EXP_TRAIT_CALLS_HOST},
                      TraitCase{"username()", EXP_TRAIT_CALLS_HOST},
                      TraitCase{"static integer k; hostone() + k", EXP_TRAIT_KEEPS_STATE | EXP_TRAIT_CALLS_HOST}));

}  // namespace
