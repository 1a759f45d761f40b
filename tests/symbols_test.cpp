// Tests of the symbol table: host symbols and their flags, lookups, reset and erase, symbols
// that programs create, and the collection of names a program text needs.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "common/test_util.h"
#include "engine.h"
#include "errors.h"
#include "names.h"
#include "record_arena.h"
#include "support/uchar.h"
#include "symbols.h"

using testutil::EnginePtr;
using testutil::last_message;
using testutil::make_engine;
using testutil::render;

namespace {

TEST(SymbolAdd, RefusesBadInput) {
  EnginePtr e = make_engine();
  struct Case {
    const char *name;
    int type, limit, error;
    const char *message;
  };
  const Case cases[] = {
      {nullptr, EXP_INTEGER, 0, ERR_INVALID_INPUT, "Invalid input: missing symbol name"},
      {"", EXP_INTEGER, 0, ERR_INVALID_INPUT, "Invalid input: missing symbol name"},
      {"s", EXP_STRING, 0, ERR_ZERO_LENGTH, "Zero length strings are not allowed"},
      {"s", EXP_STRING, -5, ERR_ZERO_LENGTH, "Zero length strings are not allowed"},
      // Only the seven type codes bind a cell that programs can use.
      {"t", -1, 0, ERR_INVALID_INPUT, "Invalid input: unknown type code"},
      {"t", 0, 0, ERR_INVALID_INPUT, "Invalid input: unknown type code"},
      {"t", 8, 0, ERR_INVALID_INPUT, "Invalid input: unknown type code"},
      {"t", 16, 0, ERR_INVALID_INPUT, "Invalid input: unknown type code"},
      {"Amount", EXP_INTEGER, 0, 0, ""},
      {"AMOUNT", EXP_REAL, 0, ERR_DUPLICATE_SYMBOL, "Duplicate symbol 'AMOUNT' found"},
      {"amount", EXP_STRING, 5, ERR_DUPLICATE_SYMBOL, "Duplicate symbol 'amount' found"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name ? c.name : "(null)");
    exp_symval *out = nullptr;
    EXPECT_EQ(exp_add_symbol(e.get(), c.name, c.type, c.limit, 0, &out), c.error);
    EXPECT_EQ(last_message(e.get()), c.message);
    EXPECT_EQ(out != nullptr, c.error == 0);
  }
  EXPECT_EQ(exp_symbol_count(e.get()), 1);
}

TEST(SymbolAdd, FlagsFollowTheOptions) {
  EnginePtr e = make_engine();
  const uint32_t expected[] = {0xA0, 0xE0, 0x4A0, 0x4E0};
  for (int options = 0; options < 4; ++options) {
    exp_symval *out = nullptr;
    std::string name = "s" + std::to_string(options);
    ASSERT_EQ(exp_add_symbol(e.get(), name.c_str(), EXP_STRING, 8, options, &out), 0);
    EXPECT_EQ(out->flags & ~uint32_t{EXP_NULL | EXP_TYPE_MASK}, expected[options]);
    EXPECT_TRUE(EXP_IS_NULL(out));
    EXPECT_EQ(EXP_TYPE(out), EXP_STRING);
    EXPECT_EQ(out->len, 8u);
  }
  exp_symval *obj = nullptr;
  ASSERT_EQ(exp_add_symbol(e.get(), "o", EXP_OBJECT, 0, 0, &obj), 0);
  EXPECT_EQ(obj->cls, nullptr);
  // The out pointer is optional.
  EXPECT_EQ(exp_add_symbol(e.get(), "n", EXP_INTEGER, 0, 0, nullptr), 0);
}

TEST(SymbolLookup, IndexOrderIsCreationOrderAndNamesIgnoreCase) {
  EnginePtr e = make_engine();
  const char *names[] = {"first", "Second", "THIRD"};
  exp_symval *cells[3];
  for (int i = 0; i < 3; ++i) ASSERT_EQ(exp_add_symbol(e.get(), names[i], EXP_INTEGER, 0, 0, &cells[i]), 0);
  for (int i = 0; i < 3; ++i) {
    exp_symval *c = nullptr;
    const char *n = nullptr;
    EXPECT_EQ(exp_symbol_get(e.get(), i, &c), 0);
    EXPECT_EQ(c, cells[i]);
    EXPECT_EQ(exp_symbol_name_get(e.get(), i, &n), 0);
    EXPECT_STREQ(n, names[i]);
  }
  EXPECT_EQ(exp_symbol_get_by_name(e.get(), "second"), cells[1]);
  EXPECT_EQ(exp_symbol_get_by_name(e.get(), "third"), cells[2]);
  EXPECT_EQ(exp_symbol_get_by_name(e.get(), "fourth"), nullptr);
  EXPECT_EQ(exp_symbol_get_by_name(e.get(), nullptr), nullptr);
}

TEST(SymbolLookup, IndexOutOfRangeIsError2) {
  EnginePtr e = make_engine();
  exp_symval *c = nullptr;
  const char *n = nullptr;
  EXPECT_EQ(exp_symbol_get(e.get(), 0, &c), ERR_INTERNAL);  // empty table
  ASSERT_EQ(exp_add_symbol(e.get(), "a", EXP_INTEGER, 0, 0, nullptr), 0);
  EXPECT_EQ(exp_symbol_get(e.get(), exp_symbol_count(e.get()), &c), ERR_INTERNAL);
  EXPECT_EQ(exp_symbol_get(e.get(), -1, &c), ERR_INTERNAL);
  EXPECT_EQ(exp_symbol_name_get(e.get(), 1, &n), ERR_INTERNAL);
  EXPECT_EQ(last_message(e.get()).rfind("Error at ..\\..\\src\\exp_symbol (", 0), 0u) << last_message(e.get());
  EXPECT_EQ(c, nullptr);
  EXPECT_EQ(n, nullptr);
}

TEST(SymbolLookup, LongNamesAreCutTo64BytesAndStillFound) {
  EnginePtr e = make_engine();
  std::string long_name(70, 'x');
  exp_symval *c = nullptr;
  ASSERT_EQ(exp_add_symbol(e.get(), long_name.c_str(), EXP_INTEGER, 0, 0, &c), 0);
  const char *n = nullptr;
  ASSERT_EQ(exp_symbol_name_get(e.get(), 0, &n), 0);
  EXPECT_EQ(std::string(n), std::string(64, 'x'));
  EXPECT_EQ(exp_symbol_get_by_name(e.get(), long_name.c_str()), c);
  EXPECT_EQ(exp_add_symbol(e.get(), long_name.c_str(), EXP_INTEGER, 0, 0, nullptr), ERR_DUPLICATE_SYMBOL);
  EXPECT_EQ(exp_add_symbol(e.get(), (long_name + "y").c_str(), EXP_INTEGER, 0, 0, nullptr), ERR_DUPLICATE_SYMBOL);
  // A multi-byte character straddling byte 64 is dropped whole.
  std::string wide = std::string(63, 'w') + "\xC3\xA9" + "tail";
  ASSERT_EQ(exp_add_symbol(e.get(), wide.c_str(), EXP_INTEGER, 0, 0, nullptr), 0);
  ASSERT_EQ(exp_symbol_name_get(e.get(), 1, &n), 0);
  EXPECT_EQ(std::string(n), std::string(63, 'w'));
}

// Long lists are looked up through an index: every answer must match the list itself, through
// appends, removals, names cut to 64 bytes and case folding beyond ASCII (the Kelvin sign folds
// to k, so "\u212Aey" names the symbol "key").
TEST(SymbolLookup, LongListsAnswerAsTheListDoes) {
  EnginePtr e = make_engine();
  std::vector<std::pair<std::string, exp_symval *>> expected;
  auto add = [&](const std::string &name) {
    exp_symval *c = nullptr;
    ASSERT_EQ(exp_add_symbol(e.get(), name.c_str(), EXP_INTEGER, 0, 0, &c), 0) << name;
    expected.emplace_back(name.substr(0, 64), c);
  };
  auto check = [&] {
    ASSERT_EQ(exp_symbol_count(e.get()), static_cast<int>(expected.size()));
    for (size_t i = 0; i < expected.size(); ++i) {
      exp_symval *c = nullptr;
      const char *n = nullptr;
      EXPECT_EQ(exp_symbol_get(e.get(), static_cast<int>(i), &c), 0);
      EXPECT_EQ(exp_symbol_name_get(e.get(), static_cast<int>(i), &n), 0);
      EXPECT_EQ(c, expected[i].second);
      EXPECT_EQ(n, expected[i].first);
      EXPECT_EQ(exp_symbol_get_by_name(e.get(), expected[i].first.c_str()), c) << expected[i].first;
    }
  };
  for (int i = 0; i < 40; ++i) add("col" + std::to_string(i));
  add("Key");
  add("\xC3\x84rger");  // Ärger
  add(std::string(70, 'L'));
  check();
  EXPECT_EQ(exp_symbol_get_by_name(e.get(), "COL7"), expected[7].second);
  EXPECT_EQ(exp_symbol_get_by_name(e.get(), "\xE2\x84\xAA" "ey"), expected[40].second);
  EXPECT_EQ(exp_symbol_get_by_name(e.get(), "\xC3\xA4RGER"), expected[41].second);
  EXPECT_EQ(exp_symbol_get_by_name(e.get(), (std::string(64, 'l') + "zzz").c_str()), expected[42].second);
  EXPECT_EQ(exp_symbol_get_by_name(e.get(), "col40"), nullptr);
  EXPECT_EQ(exp_add_symbol(e.get(), "KEY", EXP_INTEGER, 0, 0, nullptr), ERR_DUPLICATE_SYMBOL);
  {
    testutil::Program prog(e.get());
    for (int i = 0; i < 30; ++i)
      ASSERT_NE(sym_add_global(e.get(), ("tmp" + std::to_string(i)).c_str(), EXP_INTEGER, 0, nullptr, 0, prog.get()), nullptr);
    EXPECT_NE(exp_symbol_get_by_name(e.get(), "TMP29"), nullptr);
  }
  EXPECT_EQ(exp_symbol_get_by_name(e.get(), "tmp29"), nullptr);
  add("after");
  check();
}

// Name comparison takes a byte-by-byte path for ASCII and the character layer otherwise: on
// random names mixing both (case pairs, the Kelvin sign that folds to k, sharp s, a character
// straddling the 64-byte cut), it must answer exactly as the character layer's comparison of
// the stored names does, with or without the stored name's hash.
TEST(SymbolLookup, NameComparisonAgreesWithTheCharacterLayer) {
  const std::vector<std::string> pieces = {"k", "K", "e", "E", "y", "_", "1", "$", "\xE2\x84\xAA", "\xC3\xA4",
                                           "\xC3\x84", "\xC3\x9F", "ss", "SS", std::string(60, 'a'), ""};
  std::mt19937 random(20);
  auto name = [&] {
    std::string n;
    for (int parts = static_cast<int>(random() % 5); parts > 0; --parts) n += pieces[random() % pieces.size()];
    return n;
  };
  for (int i = 0; i < 20000; ++i) {
    char stored[EXP_NAME_MAX + 1], query_cut[EXP_NAME_MAX + 1];
    const std::string query = name();
    copy_name(stored, name().c_str(), EXP_NAME_MAX);
    copy_name(query_cut, query.c_str(), EXP_NAME_MAX);
    const bool expected = np_uchar_icomp(std::string_view(stored), std::string_view(query_cut)) == 0;
    ASSERT_EQ(name_key(query.c_str()).matches(stored), expected) << "stored '" << stored << "' query '" << query << "'";
    // The walk of a list compares the stored hash first: it must never turn a match away.
    ASSERT_EQ(name_key(query.c_str()).matches(stored, name_hash(stored)), expected) << "stored '" << stored << "' query '" << query << "'";
    ASSERT_TRUE(name_key(query.c_str()).matches(query_cut)) << query;
  }
}

TEST(SymbolReset, EveryGlobalBecomesNullStaticAndHostIncluded) {
  EnginePtr e = make_engine();
  exp_symval *i = nullptr, *s = nullptr;
  ASSERT_EQ(exp_add_symbol(e.get(), "i", EXP_INTEGER, 0, EXP_SYM_READONLY, &i), 0);
  ASSERT_EQ(exp_add_symbol(e.get(), "s", EXP_STRING, 4, 0, &s), 0);
  exp_symval_setint(i, 3);
  exp_symval_setstr(s, "abcd");
  exp_raise_error(e.get(), "kept");
  exp_reset_symbols(e.get());
  EXPECT_EQ(render(i), "null");
  EXPECT_EQ(render(s), "null");
  EXPECT_STREQ(s->value.s, "");
  EXPECT_EQ(exp_symbol_count(e.get()), 2);
  EXPECT_EQ(last_message(e.get()), "Error in function: kept");  // reports nothing
}

TEST(SymbolErase, RefusedWhileAProgramLives) {
  EnginePtr e = make_engine();
  ASSERT_EQ(exp_add_symbol(e.get(), "a", EXP_INTEGER, 0, 0, nullptr), 0);
  {
    testutil::Program prog(e.get());
    EXPECT_EQ(exp_erase_symbols(e.get()), ERR_ACTIVE_HANDLES);
    EXPECT_EQ(exp_symbol_count(e.get()), 1);
  }
  EXPECT_EQ(exp_erase_symbols(e.get()), 0);
  EXPECT_EQ(exp_symbol_count(e.get()), 0);
  EXPECT_EQ(exp_symbol_get_by_name(e.get(), "a"), nullptr);
  // The list is usable again after erasing.
  exp_symval *b = nullptr;
  ASSERT_EQ(exp_add_symbol(e.get(), "a", EXP_STRING, 3, 0, &b), 0);
  EXPECT_EQ(exp_symbol_get_by_name(e.get(), "A"), b);
}

TEST(SymbolPrograms, GlobalsAProgramCreatesGoWithIt) {
  EnginePtr e = make_engine();
  ASSERT_EQ(exp_add_symbol(e.get(), "host", EXP_INTEGER, 0, 0, nullptr), 0);
  {
    testutil::Program prog(e.get());
    ASSERT_NE(sym_add_global(e.get(), "declared", EXP_STRING, 10, nullptr, 0, prog.get()), nullptr);
    ASSERT_NE(sym_add_global(e.get(), "other", EXP_INTEGER, 0, nullptr, EXP_STATIC, prog.get()), nullptr);
    EXPECT_EQ(exp_symbol_count(e.get()), 3);
    EXPECT_TRUE(sym_exists(e.get(), "DECLARED"));
    EXPECT_EQ(sym_add_global(e.get(), "bad", EXP_STRING, 0, nullptr, 0, prog.get()), nullptr);
    EXPECT_EQ(exp_symbol_count(e.get()), 3);
  }
  EXPECT_EQ(exp_symbol_count(e.get()), 1);
  EXPECT_FALSE(sym_exists(e.get(), "declared"));
  // The tail was fixed: appending still works.
  ASSERT_EQ(exp_add_symbol(e.get(), "later", EXP_INTEGER, 0, 0, nullptr), 0);
  const char *n = nullptr;
  ASSERT_EQ(exp_symbol_name_get(e.get(), 1, &n), 0);
  EXPECT_STREQ(n, "later");
}

TEST(SymbolPrograms, RemovingTheMiddleOrLastKeepsTheListWhole) {
  EnginePtr e = make_engine();
  exp_symval *cells[3];
  for (int i = 0; i < 3; ++i) {
    std::string name = "g" + std::to_string(i);
    cells[i] = sym_add_global(e.get(), name.c_str(), EXP_INTEGER, 0, nullptr, 0, nullptr);
    ASSERT_NE(cells[i], nullptr);
  }
  sym_remove_global(e.get(), sym_of_cell(cells[2]));
  sym_remove_global(e.get(), sym_of_cell(cells[0]));
  EXPECT_EQ(exp_symbol_count(e.get()), 1);
  exp_symval *c = nullptr;
  ASSERT_EQ(exp_symbol_get(e.get(), 0, &c), 0);
  EXPECT_EQ(c, cells[1]);
  ASSERT_NE(sym_add_global(e.get(), "g3", EXP_INTEGER, 0, nullptr, 0, nullptr), nullptr);
  const char *n = nullptr;
  ASSERT_EQ(exp_symbol_name_get(e.get(), 1, &n), 0);
  EXPECT_STREQ(n, "g3");
  // A record that is not in the list is left alone.
  exp_sym *stray = sym_create("stray", EXP_INTEGER, 0, nullptr, 0);
  sym_remove_global(e.get(), stray);
  EXPECT_EQ(exp_symbol_count(e.get()), 2);
  sym_destroy(stray);
}

TEST(SymbolPrograms, LocalsAreFoundInTheirProgramOnly) {
  EnginePtr e = make_engine();
  testutil::Program prog(e.get());
  exp_symval *x = sym_add_local(prog.get(), "x", EXP_INTEGER, 0, nullptr, EXP_LOCAL);
  ASSERT_NE(x, nullptr);
  EXPECT_EQ(sym_add_local(prog.get(), "bad", EXP_STRING, 0, nullptr, 0), nullptr);
  EXPECT_EQ(prog->locals.count, 1);
  exp_sym *found = sym_find_local(prog.get(), "X");
  ASSERT_NE(found, nullptr);
  EXPECT_EQ(&found->cell, x);
  EXPECT_EQ(sym_find_global(e.get(), "x"), nullptr);
  // A host symbol may share a local's name.
  EXPECT_EQ(exp_add_symbol(e.get(), "x", EXP_INTEGER, 0, 0, nullptr), 0);
}

TEST(SymbolCollection, UnknownNamesAreCollectedOnceWhileThePlaceholderExists) {
  EnginePtr e = make_engine();
  ASSERT_EQ(exp_add_symbol(e.get(), "known", EXP_INTEGER, 0, 0, nullptr), 0);
  EXPECT_EQ(sym_find_global(e.get(), "b"), nullptr);  // not collecting
  EXPECT_TRUE(e->req_symbols.empty());

  e->req_placeholder.reset(sym_create("__dummy", EXP_STRING, 255, nullptr, 0));
  ASSERT_NE(e->req_placeholder, nullptr);
  exp_sym *placeholder = e->req_placeholder.get();
  EXPECT_EQ(sym_find_global(e.get(), "b"), placeholder);
  EXPECT_EQ(sym_find_global(e.get(), "B"), placeholder);
  EXPECT_EQ(sym_find_global(e.get(), "c"), placeholder);
  exp_sym *known = sym_find_global(e.get(), "KNOWN");
  ASSERT_NE(known, nullptr);
  EXPECT_STREQ(known->name, "known");
  ASSERT_EQ(e->req_symbols.size(), 2u);
  EXPECT_EQ(e->req_symbols[0], "b");
  EXPECT_EQ(e->req_symbols[1], "c");
  e->req_placeholder.reset();
  EXPECT_EQ(sym_find_global(e.get(), "d"), nullptr);
}


// Records and string buffers share a program's arena, whose blocks may end unaligned (a request
// larger than the next block gets a block of its own size). Every allocation after such a block
// must still lie inside a block: aligned, apart from the others, and covered by the bytes the
// arena holds (under AddressSanitizer, writing each byte also proves it addressable).
TEST(RecordArenaTest, AllocationsStayInsideOddSizedBlocks) {
  struct Case {
    size_t first, align;
  };
  const Case cases[] = {{5000, 1}, {4097, 1}, {4099, 8}, {70000, 1}, {1021, 1}};
  for (const Case &c : cases) {
    SCOPED_TRACE(c.first);
    RecordArena arena;
    std::vector<std::pair<uintptr_t, size_t>> ranges;
    size_t requested = 0;
    auto take = [&](size_t bytes, size_t align) {
      auto *p = static_cast<unsigned char *>(arena.allocate(bytes, align));
      ASSERT_NE(p, nullptr);
      EXPECT_EQ(reinterpret_cast<uintptr_t>(p) % align, 0u);
      std::fill(p, p + bytes, 0xA5);
      ranges.emplace_back(reinterpret_cast<uintptr_t>(p), bytes);
      requested += bytes;
    };
    take(c.first, c.align);
    for (int i = 0; i < 300; ++i) take(static_cast<size_t>(1 + (i * 37) % 61), i % 2 ? 16 : 8);
    std::sort(ranges.begin(), ranges.end());
    for (size_t i = 1; i < ranges.size(); ++i) EXPECT_LE(ranges[i - 1].first + ranges[i - 1].second, ranges[i].first);
    EXPECT_GE(arena.held(), requested);
  }
}

}  // namespace
