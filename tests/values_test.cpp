// Tests of value cells: setters on every type, bounded string copies, appending, resizing,
// byte-limited cells, doubles, and reference-counted object instances.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <memory>
#include <string>

#include "common/test_util.h"
#include "registry.h"
#include "values.h"

using testutil::Cell;
using testutil::render;

namespace {

constexpr int kAllTypes[] = {EXP_BOOLEAN, EXP_INTEGER, EXP_REAL, EXP_STRING, EXP_DATE, EXP_POINTER, EXP_OBJECT};

// Each plain setter stores into the types it names and makes every other type null.
TEST(ValueSetters, WrongTypeMakesTheCellNull) {
  int token = 0;
  decimal192 d = testutil::dec("2.5");
  const auto *fd = reinterpret_cast<const exp_decimal192 *>(&d);
  struct Setter {
    const char *name;
    void (*set)(exp_symval *, void *, const exp_decimal192 *);
    std::string expected[8];  // by type code
  };
  const Setter setters[] = {
      {"setint", [](exp_symval *c, void *, const exp_decimal192 *) { exp_symval_setint(c, 5); },
       {"", "b:5", "i:5", "null", "null", "null", "null", "null"}},
      {"setdbl", [](exp_symval *c, void *, const exp_decimal192 *) { exp_symval_setdbl(c, 0.1); },
       {"", "null", "null", "r:0.1", "null", "d:0.1", "null", "null"}},
      {"setfdnum", [](exp_symval *c, void *, const exp_decimal192 *v) { exp_symval_setfdnum(c, v); },
       {"", "null", "null", "r:2.5", "null", "d:2.5", "null", "null"}},
      {"setstr", [](exp_symval *c, void *, const exp_decimal192 *) { exp_symval_setstr(c, "hi"); },
       {"", "null", "null", "null", "s:hi", "null", "null", "null"}},
      {"setptr", [](exp_symval *c, void *p, const exp_decimal192 *) { exp_symval_setptr(c, p); },
       {"", "null", "null", "null", "null", "null", "p:set", "null"}},
  };
  for (const Setter &s : setters) {
    for (int type : kAllTypes) {
      SCOPED_TRACE(std::string(s.name) + " on " + type_name(type));
      Cell c(type, 10);
      if (type != EXP_OBJECT) {
        // Start from a non-null value so that "null" really is the setter's doing.
        if (type == EXP_BOOLEAN || type == EXP_INTEGER) exp_symval_setint(c, 1);
        if (type == EXP_REAL || type == EXP_DATE) exp_symval_setdbl(c, 1.0);
        if (type == EXP_STRING) exp_symval_setstr(c, "old");
        if (type == EXP_POINTER) exp_symval_setptr(c, &token);
        ASSERT_FALSE(EXP_IS_NULL(c.get()));
      }
      s.set(c, &token, fd);
      EXPECT_EQ(render(c), s.expected[type]);
    }
  }
}

TEST(ValueSetters, SetnullEmptiesTheValueByType) {
  Cell s(EXP_STRING, 5);
  exp_symval_setstr(s, "abc");
  exp_symval_setnull(s);
  EXPECT_TRUE(EXP_IS_NULL(s.get()));
  EXPECT_STREQ(s->value.s, "");  // buffer kept, text emptied

  Cell r(EXP_REAL);
  exp_symval_setdbl(r, 3.0);
  exp_symval_setnull(r);
  EXPECT_TRUE(decSextIsNaN(symval_dec(r.get())));

  Cell i(EXP_INTEGER);
  exp_symval_setint(i, 9);
  exp_symval_setnull(i);
  EXPECT_EQ(i->value.i, 0);

  Cell p(EXP_POINTER);
  exp_symval_setptr(p, &p);
  exp_symval_setnull(p);
  EXPECT_EQ(p->value.p, nullptr);

  exp_symval untyped{};
  exp_symval_setnull(&untyped);
  EXPECT_EQ(untyped.flags, uint32_t{EXP_NULL});
  exp_symval_setnull(nullptr);
}

TEST(ValueSetters, BooleansKeepTheirPayload) {
  Cell b(EXP_BOOLEAN);
  exp_symval_setint(b, 42);
  EXPECT_EQ(b->value.i, 42);
}

// ---- strings ----------------------------------------------------------------------------------------

TEST(ValueStrings, SetstrCutsByCharacters) {
  struct Case {
    int limit;
    std::string text, expected;
  };
  const std::string e2 = "\xC3\xA9", eu = "\xE2\x82\xAC", emoji = "\xF0\x9F\x98\x80";
  const Case cases[] = {
      {5, "0123456789", "01234"},
      {5, "abc", "abc"},
      {3, e2 + e2 + e2 + e2, e2 + e2 + e2},
      {2, eu + "a" + eu, eu + "a"},
      {1, emoji + emoji, emoji},
      {4, "a" + emoji + "b" + emoji + "c", "a" + emoji + "b" + emoji},
      {3, "", ""},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.text);
    Cell s(EXP_STRING, c.limit);
    exp_symval_setstr(s, c.text.c_str());
    EXPECT_FALSE(EXP_IS_NULL(s.get()));
    EXPECT_EQ(std::string(s->value.s), c.expected);
  }
  Cell s(EXP_STRING, 3);
  exp_symval_setstr(s, nullptr);
  EXPECT_EQ(render(s), "s:");
}

TEST(ValueStrings, SetstrnTakesTheSmallerOfLimitAndCount) {
  Cell s(EXP_STRING, 4);
  exp_symval_setstrn(s, "abcdef", 2);
  EXPECT_EQ(render(s), "s:ab");
  exp_symval_setstrn(s, "abcdef", 9);
  EXPECT_EQ(render(s), "s:abcd");
  exp_symval_setstrn(s, "\xC3\xA9\xC3\xA9\xC3\xA9", 2);
  EXPECT_EQ(render(s), "s:\xC3\xA9\xC3\xA9");
  exp_symval_setstrn(s, "abc", 0);
  EXPECT_EQ(render(s), "s:");
  exp_symval_setstrn(s, "abc", -3);
  EXPECT_EQ(render(s), "s:");
}

TEST(ValueStrings, ConcatStopsAtTheLimitAndIgnoresTheNullFlag) {
  Cell s(EXP_STRING, 5);
  exp_symval_setstr(s, "abc");
  EXPECT_EQ(exp_symval_str_concat(s, "defg"), 2);
  EXPECT_EQ(render(s), "s:abcde");
  EXPECT_EQ(exp_symval_str_concat(s, "x"), 0);  // full
  EXPECT_EQ(render(s), "s:abcde");

  Cell n(EXP_STRING, 4);  // null: appends to the empty text and stays null
  EXPECT_EQ(exp_symval_str_concat(n, "xy"), 2);
  EXPECT_TRUE(EXP_IS_NULL(n.get()));
  EXPECT_STREQ(n->value.s, "xy");

  Cell m(EXP_STRING, 3);
  exp_symval_setstr(m, "\xC3\xA9");
  EXPECT_EQ(exp_symval_str_concat(m, "\xE2\x82\xAC\xE2\x82\xAC\xE2\x82\xAC"), 2);
  EXPECT_STREQ(m->value.s, "\xC3\xA9\xE2\x82\xAC\xE2\x82\xAC");

  Cell i(EXP_INTEGER);
  EXPECT_EQ(exp_symval_str_concat(i, "x"), 0);
  EXPECT_TRUE(EXP_IS_NULL(i.get()));
  EXPECT_EQ(exp_symval_str_concat(nullptr, "x"), 0);
  EXPECT_EQ(exp_symval_str_concat(s, nullptr), 0);
}

TEST(ValueStrings, ConcatOfTheCellsOwnTextDoublesItOnce) {
  Cell s(EXP_STRING, 10);
  exp_symval_setstr(s, "ab\xC3\xA9");
  EXPECT_EQ(exp_symval_str_concat(s, s->value.s), 3);
  EXPECT_STREQ(s->value.s, "ab\xC3\xA9" "ab\xC3\xA9");
}

TEST(ValueStrings, StrnConcatCountsBytesOfTheText) {
  Cell s(EXP_STRING, 10);
  exp_symval_setstr(s, "a");
  EXPECT_EQ(exp_symval_strn_concat(s, "bcdef", 3), 3);
  EXPECT_STREQ(s->value.s, "abcd");
  EXPECT_EQ(exp_symval_strn_concat(s, "xyz", 0), 0);
  EXPECT_EQ(exp_symval_strn_concat(s, "\xC3\xA9\xC3\xA9", 2), 1);
  EXPECT_STREQ(s->value.s, "abcd\xC3\xA9");
  // A character straddling byte n is not taken.
  EXPECT_EQ(exp_symval_strn_concat(s, "\xC3\xA9", 1), 0);
  EXPECT_STREQ(s->value.s, "abcd\xC3\xA9");
}

// Hosts bind fields straight from CSV or columnar buffers, which have no terminator: every
// length-taking setter reads only the bytes its length covers. Each buffer is a heap block of
// exactly its length, so a sanitized build reports any read past it.
TEST(ValueStrings, LengthTakingSettersNeverReadPastTheirLength) {
  const std::string pattern = "a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80";  // characters of 1, 2, 3, 4 bytes
  const size_t char_ends[] = {1, 3, 6, 10};                              // byte offsets after each
  for (size_t n = 0; n <= 2 * pattern.size(); ++n) {
    SCOPED_TRACE("bytes " + std::to_string(n));
    std::string text;
    while (text.size() < n) text += pattern;
    text.resize(n);
    auto buf = std::make_unique<char[]>(n ? n : 1);
    text.copy(buf.get(), n);
    // The longest prefix of whole characters, and how many characters it has.
    size_t whole = 0, chars = 0;
    for (size_t base = 0; base < n; base += pattern.size())
      for (size_t end : char_ends)
        if (base + end <= n) whole = base + end, ++chars;
    const std::string prefix = text.substr(0, whole);

    Cell a(EXP_STRING, 100), b(EXP_STRING, 100), c(EXP_STRING, 100);
    exp_symval_setstrn(a, buf.get(), static_cast<int>(chars));
    EXPECT_EQ(render(a), "s:" + prefix);
    exp_symval_setstr(b, "");
    EXPECT_EQ(exp_symval_strn_concat(b, buf.get(), static_cast<int>(n)), static_cast<int>(chars));
    EXPECT_EQ(render(b), "s:" + prefix);
    // A character cut by the length is invalid UTF-8 for setbytes: nothing is stored.
    int rc = exp_symval_setbytes(c, buf.get(), n);
    EXPECT_EQ(rc, whole == n ? 0 : EXP_E_INVALID_UTF8);
    EXPECT_EQ(render(c), whole == n ? "s:" + text : "null");
  }
}

TEST(ValueStrings, SetbytesStoresExactBytesOrSaysWhy) {
  struct Case {
    const char *name;
    int type, limit;
    uint32_t flags;
    std::string bytes;
    int rc;
    const char *expected;
  };
  const Case cases[] = {
      {"whole", EXP_STRING, 5, 0, "h\xC3\xA9llo", 0, "s:h\xC3\xA9llo"},
      {"empty", EXP_STRING, 5, 0, "", 0, "s:"},
      {"cut to the characters", EXP_STRING, 3, 0, "abcdef", EXP_E_TEXT_CUT, "s:abc"},
      {"cut to the bytes of a byte cell", EXP_STRING, 3, EXP_BYTES, "\xC3\xA9\xC3\xA9", EXP_E_TEXT_CUT,
       "s:\xC3\xA9"},
      {"invalid after the cut is still refused", EXP_STRING, 2, 0, "abc\xFF", EXP_E_INVALID_UTF8, "null"},
      {"overlong", EXP_STRING, 5, 0, "\xC0\x80", EXP_E_INVALID_UTF8, "null"},
      {"surrogate", EXP_STRING, 5, 0, "\xED\xA0\x80", EXP_E_INVALID_UTF8, "null"},
      {"above U+10FFFF", EXP_STRING, 5, 0, "\xF4\x90\x80\x80", EXP_E_INVALID_UTF8, "null"},
      {"embedded NUL", EXP_STRING, 5, 0, std::string("a\0b", 3), EXP_E_INVALID_UTF8, "null"},
      {"not a string cell", EXP_INTEGER, 0, 0, "12", EXP_E_INVALID_INPUT, "null"},
  };
  for (const Case &k : cases) {
    SCOPED_TRACE(k.name);
    Cell c(k.type, k.limit, k.flags);
    if (k.type == EXP_STRING) exp_symval_setstr(c, "old");
    EXPECT_EQ(exp_symval_setbytes(c, k.bytes.data(), k.bytes.size()), k.rc);
    EXPECT_EQ(render(c), k.expected);
  }
  Cell c(EXP_STRING, 5);
  EXPECT_EQ(exp_symval_setbytes(c, nullptr, 0), 0);
  EXPECT_EQ(exp_symval_setbytes(c, nullptr, 1), EXP_E_INVALID_INPUT);
  EXPECT_EQ(exp_symval_setbytes(nullptr, "a", 1), EXP_E_INVALID_INPUT);
}

TEST(ValueStrings, ByteLimitedCellsBoundAppendsByBytesOfTheBuffer) {
  // A cell of limit 2 holds at most 8 bytes: two emoji fill it.
  Cell s(EXP_STRING, 2);
  EXPECT_EQ(exp_symval_str_concat(s, "\xF0\x9F\x98\x80\xF0\x9F\x98\x80\xF0\x9F\x98\x80"), 2);
  EXPECT_EQ(std::string(s->value.s).size(), 8u);
}

// A host sizes its buffers by a byte cell's limit: whatever writes the cell, its text stays within
// that many bytes, cut before the character that would pass it.
TEST(ValueStrings, EveryWriterKeepsAByteCellWithinItsLimit) {
  const std::string three = "\xC3\xA9\xC3\xA9\xC3\xA9";  // "ééé", 6 bytes
  testutil::EnginePtr e = testutil::make_engine();
  exp_symval *b = nullptr, *t = nullptr;
  ASSERT_EQ(exp_add_symbol(e.get(), "b", EXP_STRING, 4, EXP_SYM_BYTES, &b), 0);
  ASSERT_EQ(exp_add_symbol(e.get(), "t", EXP_STRING, 10, 0, &t), 0);
  exp_symval_setstr(t, three.c_str());
  auto run = [&](const char *text) {
    exp_pcode *p = nullptr;
    ASSERT_EQ(exp_make_pcode(e.get(), text, &p, EXP_INTEGER, 0, 0, nullptr), 0) << testutil::last_message(e.get());
    EXPECT_EQ(exp_execute(e.get(), p, nullptr), 0) << testutil::last_message(e.get());
    exp_free_pcode(e.get(), p);
  };
  const struct {
    const char *writer;
    std::function<void()> write;
    const char *expected;
  } rows[] = {
      {"setstr", [&] { exp_symval_setstr(b, three.c_str()); }, "\xC3\xA9\xC3\xA9"},
      {"setstrn", [&] { exp_symval_setstrn(b, three.c_str(), 3); }, "\xC3\xA9\xC3\xA9"},
      {"str_concat", [&] { exp_symval_setstr(b, "a"), exp_symval_str_concat(b, three.c_str()); }, "a\xC3\xA9"},
      {"strn_concat", [&] { exp_symval_setstr(b, ""), exp_symval_strn_concat(b, three.c_str(), 6); }, "\xC3\xA9\xC3\xA9"},
      {"copy", [&] { exp_symval_copy(t, b); }, "\xC3\xA9\xC3\xA9"},
      {"coerce", [&] { exp_symval_coerce(e.get(), t, b); }, "\xC3\xA9\xC3\xA9"},
      {"settext", [&] { exp_symval_settext(e.get(), b, three.c_str()); }, "\xC3\xA9\xC3\xA9"},
      {"str_resize", [&] { exp_symval_str_resize(b, 8), exp_symval_setstr(b, three.c_str()), exp_symval_str_resize(b, 3); },
       "\xC3\xA9"},
      {"assignment", [&] { run("b = t & 'x'"); }, "\xC3\xA9\xC3\xA9"},
      {"parse", [&] { run("parse(t & ',x', ',', b)"); }, "\xC3\xA9\xC3\xA9"},
  };
  for (const auto &row : rows) {
    SCOPED_TRACE(row.writer);
    exp_symval_str_resize(b, 4);
    exp_symval_setnull(b);
    row.write();
    EXPECT_LE(std::strlen(b->value.s), b->len);
    EXPECT_EQ(render(b), std::string("s:") + row.expected);
  }
}

TEST(ValueStrings, ResizeGrowsShrinksAndRefusesNonStrings) {
  Cell s(EXP_STRING, 3);
  exp_symval_setstr(s, "abc");
  EXPECT_EQ(exp_symval_str_resize(s, 3), 0);  // same limit: nothing changes
  EXPECT_EQ(s->len, 3u);
  EXPECT_EQ(exp_symval_str_resize(s, 8), 0);
  EXPECT_EQ(s->len, 8u);
  EXPECT_STREQ(s->value.s, "abc");
  EXPECT_EQ(exp_symval_str_concat(s, "defghijk"), 5);
  EXPECT_STREQ(s->value.s, "abcdefgh");
  EXPECT_EQ(exp_symval_str_resize(s, 2), 0);
  EXPECT_EQ(s->len, 2u);
  EXPECT_STREQ(s->value.s, "ab");
  exp_symval_setstr(s, "xyz");
  EXPECT_STREQ(s->value.s, "xy");

  Cell w(EXP_STRING, 4);
  exp_symval_setstr(w, "\xC3\xA9\xE2\x82\xAC\xC3\xA9z");
  EXPECT_EQ(exp_symval_str_resize(w, 2), 0);
  EXPECT_STREQ(w->value.s, "\xC3\xA9\xE2\x82\xAC");

  Cell i(EXP_INTEGER);
  // Each failure has its own number: none of them is 1, which says memory ran out.
  EXPECT_EQ(exp_symval_str_resize(i, 5), EXP_E_INVALID_INPUT);
  EXPECT_EQ(exp_symval_str_resize(s, 0), EXP_E_STRING_LIMIT_RANGE);
  EXPECT_EQ(exp_symval_str_resize(s, -1), EXP_E_STRING_LIMIT_RANGE);
  EXPECT_EQ(exp_symval_str_resize(nullptr, 4), EXP_E_INVALID_INPUT);
  EXPECT_EQ(s->len, 2u);
}

TEST(ValueStrings, ResizeByBytesGivesAQuarterPlusOneCharacters) {
  Cell s(EXP_STRING, 1);
  EXPECT_EQ(symval_resize(s, 10, RESIZE_KEEP | RESIZE_BYTES), 0);
  EXPECT_EQ(s->len, 3u);
}

TEST(ValueStrings, NormalizeCutsByteCellsBeforeTheCharacterThatOverflows) {
  Cell s(EXP_STRING, 5, EXP_BYTES);
  exp_symval_setstr(s, "\xC3\xA9\xC3\xA9\xC3\xA9");  // three 2-byte characters
  exp_symval_str_normalize(s);
  EXPECT_STREQ(s->value.s, "\xC3\xA9\xC3\xA9");

  exp_symval_setstr(s, "abcde");
  exp_symval_str_normalize(s);
  EXPECT_STREQ(s->value.s, "abcde");

  exp_symval_setstr(s, "abcd\xE2\x82\xAC");
  exp_symval_str_normalize(s);
  EXPECT_STREQ(s->value.s, "abcd");

  Cell chars(EXP_STRING, 5);  // without EXP_BYTES nothing is cut
  exp_symval_setstr(chars, "\xC3\xA9\xC3\xA9\xC3\xA9");
  exp_symval_str_normalize(chars);
  EXPECT_STREQ(chars->value.s, "\xC3\xA9\xC3\xA9\xC3\xA9");
}

TEST(ValueStrings, SetBytesCopiesWholeCharactersWithinTheBuffer) {
  Cell s(EXP_STRING, 1);  // 4 bytes of room
  symval_set_bytes(s, "abcdef", 6);
  EXPECT_STREQ(s->value.s, "abcd");
  symval_set_bytes(s, "ab\xE2\x82\xAC", 5);
  EXPECT_STREQ(s->value.s, "ab");
  symval_set_bytes(s, "xyz", 2);
  EXPECT_STREQ(s->value.s, "xy");
  Cell i(EXP_INTEGER);
  exp_symval_setint(i, 1);
  symval_set_bytes(i, "x", 1);
  EXPECT_TRUE(EXP_IS_NULL(i.get()));
}

TEST(ValueStrings, RetypeKeepsAShrinkingStringBuffer) {
  Cell s(EXP_STRING, 4);
  exp_symval_setstr(s, "abcd");
  char *buffer = s->value.s;
  EXPECT_EQ(symval_retype(s, EXP_STRING, 2, 0), 0);
  EXPECT_EQ(s->value.s, buffer);
  EXPECT_EQ(s->len, 2u);
  EXPECT_EQ(symval_retype(s, EXP_INTEGER, 0, EXP_LOCAL), 0);
  EXPECT_EQ(EXP_TYPE(s.get()), EXP_INTEGER);
  EXPECT_EQ(s->flags & EXP_LOCAL, uint32_t{EXP_LOCAL});
  Cell o(EXP_OBJECT);
  EXPECT_EQ(symval_retype(o, EXP_INTEGER, 0, 0), 1);
}

TEST(ValueCells, InitGivesStringsABufferForFourBytesPerCharacter) {
  Cell s(EXP_STRING, 3, EXP_STATIC);
  EXPECT_EQ(symval_buffer_bytes(s), 12u);
  EXPECT_EQ(s->flags & ~uint32_t{EXP_NULL}, uint32_t{EXP_STATIC | EXP_STRING});
  EXPECT_EQ(symval_buffer_bytes(Cell(EXP_INTEGER).get()), 0u);
  exp_symval c;
  EXPECT_EQ(symval_init(&c, EXP_STRING, 0, 0, nullptr), 0);  // no buffer, nothing to free
  EXPECT_EQ(c.value.s, nullptr);
  exp_symval_setstr(&c, "x");  // a string cell without a buffer never writes
  EXPECT_TRUE(EXP_IS_NULL(&c));
  symval_clear(&c);
}

// ---- doubles ----------------------------------------------------------------------------------------

TEST(ValueDoubles, GetdblReadsRealsAndDates) {
  double out = -1;
  Cell r(EXP_REAL);
  EXPECT_EQ(exp_symval_getdbl(r, &out), 0);  // null
  EXPECT_EQ(out, 0.0);
  exp_symval_setdbl(r, 0.1);
  EXPECT_EQ(render(r), "r:0.1");
  EXPECT_EQ(exp_symval_getdbl(r, &out), 1);
  EXPECT_EQ(out, 0.1);

  testutil::set_real(r, "1E+400");  // beyond the double range: written, but reported
  EXPECT_EQ(exp_symval_getdbl(r, &out), 0);

  Cell d(EXP_DATE);
  exp_symval_setdbl(d, 46362.5);
  EXPECT_EQ(exp_symval_getdbl(d, &out), 1);
  EXPECT_EQ(out, 46362.5);

  Cell i(EXP_INTEGER);
  exp_symval_setint(i, 3);
  out = -1;
  EXPECT_EQ(exp_symval_getdbl(i, &out), 0);
  EXPECT_EQ(out, 0.0);
  EXPECT_EQ(exp_symval_getdbl(nullptr, &out), 0);
}

// ---- objects ----------------------------------------------------------------------------------------

int g_destroyed = 0;
void count_destroy(void *data) {
  ++g_destroyed;
  delete static_cast<int *>(data);
}

class ObjectCells : public ::testing::Test {
 protected:
  void SetUp() override {
    g_destroyed = 0;
    e_ = testutil::make_engine();
    ASSERT_EQ(exp_register_class(e_.get(), "thing", "a thing", count_destroy, &thing_), 0);
    ASSERT_EQ(exp_register_class(e_.get(), "other", "another", count_destroy, &other_), 0);
  }
  testutil::EnginePtr e_;
  exp_class *thing_ = nullptr;
  exp_class *other_ = nullptr;
};

TEST_F(ObjectCells, SharedInstanceIsDestroyedOnceWithTheLastReference) {
  Cell a(EXP_OBJECT, 0, 0, thing_), b(EXP_OBJECT, 0, 0, thing_);
  exp_object *o = exp_instantiate_object(a, new int(5));
  ASSERT_NE(o, nullptr);
  EXPECT_EQ(o->refcount, 1u);
  EXPECT_FALSE(EXP_IS_NULL(a.get()));
  EXPECT_EQ(*static_cast<int *>(exp_object_value(o)), 5);

  exp_symval_copy(a, b);
  EXPECT_EQ(b->value.o, o);
  EXPECT_EQ(o->refcount, 2u);
  exp_symval_setnull(a);
  EXPECT_EQ(g_destroyed, 0);
  EXPECT_EQ(o->refcount, 1u);
  exp_symval_setnull(b);
  EXPECT_EQ(g_destroyed, 1);
  exp_symval_setnull(b);  // nothing left to release
  EXPECT_EQ(g_destroyed, 1);
}

TEST_F(ObjectCells, CopyOntoItselfKeepsTheInstance) {
  Cell a(EXP_OBJECT, 0, 0, thing_);
  exp_object *o = exp_instantiate_object(a, new int(1));
  exp_symval_copy(a, a);
  EXPECT_EQ(a->value.o, o);
  EXPECT_EQ(o->refcount, 1u);
  EXPECT_FALSE(EXP_IS_NULL(a.get()));
  EXPECT_EQ(g_destroyed, 0);
}

TEST_F(ObjectCells, DifferentClassesGiveNull) {
  Cell a(EXP_OBJECT, 0, 0, thing_), b(EXP_OBJECT, 0, 0, other_);
  exp_object *held = exp_instantiate_object(b, new int(2));
  exp_instantiate_object(a, new int(1));
  exp_symval_copy(a, b);  // b's own instance is released, nothing is shared
  EXPECT_TRUE(EXP_IS_NULL(b.get()));
  EXPECT_EQ(b->value.o, nullptr);
  EXPECT_EQ(g_destroyed, 1);
  EXPECT_NE(held, nullptr);
  EXPECT_EQ(a->value.o->refcount, 1u);
}

TEST_F(ObjectCells, ClearingReleasesAndNullSourceNullsTheDestination) {
  {
    Cell a(EXP_OBJECT, 0, 0, thing_), b(EXP_OBJECT, 0, 0, thing_);
    exp_instantiate_object(a, new int(1));
    exp_symval_copy(a, b);
    Cell empty(EXP_OBJECT, 0, 0, thing_);
    exp_symval_copy(empty, a);
    EXPECT_TRUE(EXP_IS_NULL(a.get()));
    EXPECT_EQ(g_destroyed, 0);
  }  // b cleared here
  EXPECT_EQ(g_destroyed, 1);
}

TEST_F(ObjectCells, ClassWithoutDestructorJustFreesTheInstance) {
  exp_class *plain = nullptr;
  ASSERT_EQ(exp_register_class(e_.get(), "plain", "", nullptr, &plain), 0);
  Cell a(EXP_OBJECT, 0, 0, plain);
  int data = 0;
  exp_instantiate_object(a, &data);
  exp_symval_setnull(a);
  EXPECT_EQ(a->value.o, nullptr);
}

TEST_F(ObjectCells, InstantiateRefusesCellsThatAreNotObjects) {
  Cell s(EXP_STRING, 4);
  exp_symval_setstr(s, "abc");
  int data = 0;
  EXPECT_EQ(exp_instantiate_object(s, &data), nullptr);
  EXPECT_EQ(render(s), "s:abc");
  EXPECT_EQ(exp_instantiate_object(nullptr, &data), nullptr);
  EXPECT_EQ(exp_object_value(nullptr), nullptr);
}

// ---- copies of plain values ------------------------------------------------------------------------

TEST(ValueCopy, SameTypeCopiesAndOtherTypesGiveNull) {
  Cell src(EXP_STRING, 10), short_dst(EXP_STRING, 3), num(EXP_INTEGER);
  exp_symval_setstr(src, "abcdef");
  exp_symval_copy(src, short_dst);
  EXPECT_EQ(render(short_dst), "s:abc");
  exp_symval_setint(num, 1);
  exp_symval_copy(src, num);  // never converts
  EXPECT_EQ(render(num), "null");
  exp_symval_copy(src, src);
  EXPECT_EQ(render(src), "s:abcdef");

  Cell r1(EXP_REAL), r2(EXP_REAL);
  testutil::set_real(r1, "1.50");
  exp_symval_copy(r1, r2);
  EXPECT_EQ(render(r2), "r:1.50");  // copied as stored
  exp_symval_setnull(r1);
  exp_symval_copy(r1, r2);
  EXPECT_EQ(render(r2), "null");
}

// ---- the cut flag ----------------------------------------------------------------------------------

// EXP_CUT tells whether the text a cell holds now was cut: each store sets or clears it, starting
// here from a cell whose last store was cut.
TEST(ValueCut, EachStoreSetsOrClearsTheFlag) {
  struct Case {
    const char *what;
    void (*store)(exp_symval *);
    bool cut;
  } cases[] = {
      {"setstr longer", [](exp_symval *c) { exp_symval_setstr(c, "abcd"); }, true},
      {"setstr fits", [](exp_symval *c) { exp_symval_setstr(c, "abc"); }, false},
      {"setstr multi-byte", [](exp_symval *c) { exp_symval_setstr(c, "\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9"); }, true},
      {"setstrn caller's bound", [](exp_symval *c) { exp_symval_setstrn(c, "abcdef", 2); }, false},
      {"setstrn past the limit", [](exp_symval *c) { exp_symval_setstrn(c, "abcdef", 5); }, true},
      {"setstrn exactly the limit", [](exp_symval *c) { exp_symval_setstrn(c, "abcdef", 3); }, false},
      {"setbytes longer", [](exp_symval *c) { exp_symval_setbytes(c, "abcd", 4); }, true},
      {"setbytes fits", [](exp_symval *c) { exp_symval_setbytes(c, "ab", 2); }, false},
      {"setnull", [](exp_symval *c) { exp_symval_setnull(c); }, false},
      {"append past the limit", [](exp_symval *c) { exp_symval_setstr(c, "ab"); exp_symval_str_concat(c, "cd"); }, true},
      {"append that fits", [](exp_symval *c) { exp_symval_setstr(c, "a"); exp_symval_str_concat(c, "bc"); }, false},
      {"bounded append", [](exp_symval *c) { exp_symval_setstr(c, "a"); exp_symval_strn_concat(c, "bcdef", 2); }, false},
      {"coerce a long integer", [](exp_symval *c) { Cell i(EXP_INTEGER); exp_symval_setint(i, 12345); exp_symval_coerce(nullptr, i, c); }, true},
      {"coerce a short integer", [](exp_symval *c) { Cell i(EXP_INTEGER); exp_symval_setint(i, 12); exp_symval_coerce(nullptr, i, c); }, false},
      {"copy", [](exp_symval *c) { Cell s(EXP_STRING, 9); exp_symval_setstr(s, "abcdefg"); exp_symval_copy(s, c); }, true},
  };
  for (const Case &k : cases) {
    SCOPED_TRACE(k.what);
    Cell c(EXP_STRING, 3);
    exp_symval_setstr(c, "abcdef");
    ASSERT_TRUE(c->flags & EXP_CUT);
    k.store(c);
    EXPECT_EQ((c->flags & EXP_CUT) != 0, k.cut) << render(c);
  }
  // Appending whole text to a cut value leaves it cut; shrinking a cell cuts its text.
  Cell c(EXP_STRING, 5);
  exp_symval_setstr(c, "abcdefg");
  exp_symval_str_resize(c, 10);
  exp_symval_str_concat(c, "x");
  EXPECT_TRUE(c->flags & EXP_CUT);
  exp_symval_setstr(c, "abcdef");
  EXPECT_FALSE(c->flags & EXP_CUT);
  exp_symval_str_resize(c, 4);
  EXPECT_TRUE(c->flags & EXP_CUT);
}

// After a run, a declared variable's flag tells whether that run cut it: assignments,
// concatenations and built-in results alike.
TEST(ValueCut, ARunTellsWhichVariablesItCut) {
  auto e = testutil::make_engine();
  exp_symval *a = nullptr;
  ASSERT_EQ(exp_add_symbol(e.get(), "a", EXP_STRING, 50, 0, &a), 0);
  exp_pcode *p = nullptr;
  ASSERT_EQ(exp_make_pcode(e.get(), "string(4) t; string(4) u; string(4) w; t = a; u = upper(a); w = left(a, 2) & a; 1", &p, EXP_INTEGER, 0, 0,
                           nullptr), 0);
  exp_symval *t = exp_symbol_get_by_name(e.get(), "t"), *u = exp_symbol_get_by_name(e.get(), "u"),
             *w = exp_symbol_get_by_name(e.get(), "w");
  exp_symval *result = nullptr;
  for (const char *text : {"abcdef", "ab", "abcd"}) {
    SCOPED_TRACE(text);
    exp_symval_setstr(a, text);
    ASSERT_EQ(exp_execute(e.get(), p, &result), 0);
    bool longer = std::strlen(text) > 4;
    EXPECT_EQ((t->flags & EXP_CUT) != 0, longer);
    EXPECT_EQ((u->flags & EXP_CUT) != 0, longer);
    EXPECT_EQ((w->flags & EXP_CUT) != 0, std::strlen(text) + 2 > 4);
    EXPECT_FALSE(a->flags & EXP_CUT);
  }
  exp_free_pcode(e.get(), p);
  // Built-ins writing into a variable a text they keep whole clear what an earlier store set.
  ASSERT_EQ(exp_make_pcode(e.get(), "string(4) d; string(4) f; d = a; f = a; decode(\"ISO-8859-1\", \"ab\", d); "
                           "formatib(7, \"2\", f); 1", &p, EXP_INTEGER, 0, 0, nullptr), 0) << testutil::last_message(e.get());
  exp_symval_setstr(a, "abcdef");
  ASSERT_EQ(exp_execute(e.get(), p, &result), 0) << testutil::last_message(e.get());
  for (const char *name : {"d", "f"}) EXPECT_FALSE(exp_symbol_get_by_name(e.get(), name)->flags & EXP_CUT) << name;
  exp_free_pcode(e.get(), p);
}

}  // namespace
