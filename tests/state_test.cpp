// Per-key state blocks: a program's static cells (its own, private ones and those of the
// user-defined functions it calls) saved, restored and swapped, with strings, nulls and arrays.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "expression.h"

namespace {

struct EngineGuard {
  exp_engine *e = exp_init();
  ~EngineGuard() { exp_clean(e); }
};

std::string text_of(exp_engine *e, const exp_symval *c) {
  if (EXP_IS_NULL(c)) return "null";
  char buf[256];
  exp_symval_to_text(e, c, buf, sizeof buf);
  return buf;
}

// A function with a private static counter, and a program with statics of every kind that
// reports them all; `amount` and `who` are host symbols, which are not state.
const char kCounter[] = "private static integer k; if isnull(k) then k = 0; k = k + 1; k";
const char kProgram[] =
    "static integer n; static real total; static string(4) last; private static string(300) seen\n"
    "static string array names\n"
    "if isnull(n) then begin n = 0; total = 0; names.dim(0) end\n"
    "n = n + 1; total = total + amount\n"
    "if not isnull(last) then seen = seen & last\n"
    "last = who; names.dim(n); names.set(n, who)\n"
    "n & '|' & total & '|' & seen & '|' & names.get(1) & names.dim() & '|' & counter()";

struct Fixture {
  EngineGuard g;
  exp_symval *amount = nullptr, *who = nullptr;
  exp_pcode *counter = nullptr, *p = nullptr;
  Fixture() {
    exp_add_symbol(g.e, "amount", EXP_REAL, 0, 0, &amount);
    exp_add_symbol(g.e, "who", EXP_STRING, 40, 0, &who);
    EXPECT_EQ(exp_make_pcode(g.e, kCounter, &counter, EXP_INTEGER, 0, 0, "counter"), 0);
    EXPECT_EQ(exp_make_pcode(g.e, kProgram, &p, EXP_STRING, 200, 0, nullptr), 0);
  }
  ~Fixture() {
    exp_free_pcode(g.e, p);
    exp_free_pcode(g.e, counter);
  }
  std::string run(const char *amount_text, const char *who_text) {
    exp_symval_setreal_text(amount, amount_text);
    exp_symval_setstr(who, who_text);
    exp_symval *result = nullptr;
    EXPECT_EQ(exp_execute(g.e, p, &result), 0);
    return result ? text_of(g.e, result) : "";
  }
};

// The switching scheme of the header: swap the previous key's values out, then the key's in.
TEST(State, EachKeyKeepsItsOwnStaticsWhenSwappedPerRecord) {
  Fixture f;
  exp_state *fresh = exp_state_save(f.g.e, f.p);
  ASSERT_NE(fresh, nullptr);
  std::map<std::string, exp_state *> blocks;
  std::string active;
  auto switch_to = [&](const std::string &key) {
    if (key == active) return;
    if (!active.empty()) {
      ASSERT_EQ(exp_state_swap(f.g.e, f.p, blocks[active]), 0);
    }
    if (blocks.count(key)) {
      ASSERT_EQ(exp_state_swap(f.g.e, f.p, blocks[key]), 0);
    } else {
      ASSERT_EQ(exp_state_restore(f.g.e, f.p, fresh), 0);
      blocks[key] = exp_state_save(f.g.e, f.p);
    }
    active = key;
  };
  struct Step {
    const char *key, *amount, *who, *expected;
  };
  const Step steps[] = {
      {"a", "1.5", "ann", "1|1.5||ann1|1"},
      {"b", "10", "bob", "1|10||bob1|1"},
      {"b", "0.25", "bea", "2|10.25|bob|bob2|2"},
      {"a", "2", "al", "2|3.5|ann|ann2|2"},
      {"c", "7", "cy", "1|7||cy1|1"},
      {"a", "1", "amy", "3|4.5|annal|ann3|3"},
      {"b", "1", "ben", "3|11.25|bobbea|bob3|3"},
  };
  for (const Step &s : steps) {
    switch_to(s.key);
    EXPECT_EQ(f.run(s.amount, s.who), s.expected) << s.key;
  }
  // The active key's values stay readable by name after the run; a global of the program.
  EXPECT_EQ(text_of(f.g.e, exp_symbol_get_by_name(f.g.e, "total")), "11.25");
  for (auto &[key, block] : blocks) exp_state_free(block);
  exp_state_free(fresh);
}

// save and restore copy: a saved block does not follow later runs, arrays included, and one
// block can be restored any number of times.
TEST(State, RestoreGoesBackToTheSavedValues) {
  Fixture f;
  EXPECT_EQ(f.run("1", "ann"), "1|1||ann1|1");
  exp_state *saved = exp_state_save(f.g.e, f.p);
  ASSERT_NE(saved, nullptr);
  EXPECT_EQ(f.run("2", "bob"), "2|3|ann|ann2|2");
  for (int i = 0; i < 2; ++i) {
    ASSERT_EQ(exp_state_restore(f.g.e, f.p, saved), 0);
    EXPECT_EQ(f.run("2", "bob"), "2|3|ann|ann2|2");
  }
  exp_state_free(saved);
}

TEST(State, BlocksAreRefusedWhereTheyDoNotBelongAndCharged) {
  Fixture f;
  exp_pcode *other = nullptr;
  ASSERT_EQ(exp_make_pcode(f.g.e, "static integer z; z", &other, EXP_INTEGER, 0, 0, nullptr), 0);
  exp_state *s = exp_state_save(f.g.e, f.p);
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(exp_state_swap(f.g.e, other, s), EXP_E_INVALID_INPUT);
  EXPECT_EQ(exp_state_restore(f.g.e, other, s), EXP_E_INVALID_INPUT);
  EngineGuard second;
  EXPECT_EQ(exp_state_swap(second.e, f.p, s), EXP_E_FOREIGN_HANDLE);
  EXPECT_EQ(exp_state_save(f.g.e, nullptr), nullptr);
  exp_free_pcode(f.g.e, other);

  // Blocks count against the memory limit: saving stops with error 109 and a message.
  ASSERT_EQ(exp_set_limit(f.g.e, EXP_LIMIT_MEMORY, 64 * 1024), 0);
  std::vector<exp_state *> many;
  exp_state *next = nullptr;
  while (many.size() < 100000 && (next = exp_state_save(f.g.e, f.p))) many.push_back(next);
  EXPECT_EQ(next, nullptr);
  const char *message = nullptr;
  EXPECT_EQ(exp_error_info(f.g.e, &message, nullptr, nullptr), EXP_E_LIMIT);
  // Freeing gives the memory back: as many blocks fit again.
  size_t fitted = many.size();
  for (exp_state *b : many) exp_state_free(b);
  many.clear();
  while (many.size() < fitted && (next = exp_state_save(f.g.e, f.p))) many.push_back(next);
  EXPECT_EQ(many.size(), fitted);
  for (exp_state *b : many) exp_state_free(b);
  exp_state_free(s);
}

// A block holding an array may outlive its program and engine; freeing it then frees the array.
TEST(State, BlocksOutliveTheirProgramAndEngine) {
  exp_state *s = nullptr;
  {
    Fixture f;
    f.run("1", "ann");
    s = exp_state_save(f.g.e, f.p);
    ASSERT_NE(s, nullptr);
  }
  exp_state_free(s);
  exp_state_free(nullptr);
}

}  // namespace
