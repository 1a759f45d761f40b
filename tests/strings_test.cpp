// String built-ins through compiled programs: clamping of positions and counts, searching,
// replacing, case mapping with growth, trimming, comparing, and multi-byte text throughout.
#include <gtest/gtest.h>

#include <random>
#include <string>

#include "builtins/builtins.h"
#include "common/builtin_run.h"
#include "support/text_search.h"

namespace {

class StringsTest : public builtin_run::BuiltinTest {};

// Each name with its counts, signature and return letter, as a host enumerates them; occurs is
// callable but not listed.
TEST_F(StringsTest, RecordsAsEnumerated) {
  struct Expected {
    const char *name, *signature;
    int min;
    uint32_t max;
    char ret;
  };
  const Expected rows[] = {
      {"len", "s", 1, 1, 'i'},    {"mid", "sii", 2, 3, 's'},     {"right", "si", 2, 2, 's'},
      {"left", "si", 2, 2, 's'},  {"instr", "ssi", 2, 3, 'i'},   {"chr", "i", 1, 1, 's'},
      {"asc", "s", 1, 1, 'i'},    {"lower", "s", 1, 1, 's'},     {"upper", "s", 1, 1, 's'},
      {"trim", "s", 1, 1, 's'},   {"replace", "sssi", 3, 4, 's'}, {"compare", "ssb", 2, 3, 'i'},
  };
  int count = exp_get_function_count(e_.get());
  for (const Expected &x : rows) {
    bool found = false;
    for (int i = 0; i < count && !found; ++i) {
      const char *name, *signature, *description;
      int min;
      uint32_t max;
      char ret;
      ASSERT_EQ(exp_get_function_info(e_.get(), i, &name, &min, &max, &signature, &ret, &description), 0);
      if (std::string(name) != x.name) continue;
      found = true;
      EXPECT_STREQ(signature, x.signature) << x.name;
      EXPECT_EQ(min, x.min) << x.name;
      EXPECT_EQ(max, x.max) << x.name;
      EXPECT_EQ(ret, x.ret) << x.name;
    }
    EXPECT_TRUE(found) << x.name;
  }
  for (int i = 0; i < count; ++i) {
    const char *name, *signature, *description;
    int min;
    uint32_t max;
    char ret;
    exp_get_function_info(e_.get(), i, &name, &min, &max, &signature, &ret, &description);
    EXPECT_STRNE(name, "occurs");
  }
  EXPECT_EQ(run("occurs(\"abab\", \"b\")", EXP_INTEGER), "i:2");
}

TEST_F(StringsTest, LengthCountsCharacters) {
  expect_rows({{"len(\"\")", "i:0"},
               {"len(\"abc\")", "i:3"},
               {"len(\"héllo wörld\")", "i:11"},
               {"len(\"日本語\")", "i:3"},
               {"len(\"😀x\")", "i:2"},
               {"len(null)", "null"}},
              EXP_INTEGER);
}

TEST_F(StringsTest, MidClampsStartAndCount) {
  expect_rows({{"mid(\"abcdef\", 2, 3)", "s:bcd"},
               {"mid(\"abcdef\", 3)", "s:cdef"},
               {"mid(\"abcdef\", 3, -1)", "s:cdef"},
               {"mid(\"abcdef\", 3, 100)", "s:cdef"},
               {"mid(\"abcdef\", 3, 0)", "s:"},
               {"mid(\"abcdef\", 3, null)", "s:cdef"},
               {"mid(\"abcdef\", 6, 5)", "s:f"},
               {"mid(\"abcdef\", 7, 1)", "s:"},
               {"mid(\"abc\", 4)", "s:"},
               {"mid(\"abc\", 0, 2)", "s:"},
               {"mid(\"abc\", -5, 2)", "s:"},
               {"mid(\"abc\", null)", "null"},
               {"mid(null, 1)", "null"},
               {"mid(\"aäöüz\", 2, 3)", "s:äöü"},
               {"mid(\"日本語テキスト\", 4)", "s:テキスト"},
               {"mid(\"日本語\", 4)", "s:"}},
              EXP_STRING);
}

TEST_F(StringsTest, LeftAndRightClamp) {
  expect_rows({{"left(\"abc\", 2)", "s:ab"},
               {"left(\"abc\", -1)", "s:"},
               {"left(\"abc\", 0)", "s:"},
               {"left(\"abc\", 5)", "s:abc"},
               {"left(\"ñandú\", 4)", "s:ñand"},
               {"left(null, 1)", "null"},
               {"left(\"abc\", null)", "null"},
               {"right(\"abc\", 2)", "s:bc"},
               {"right(\"abc\", 0)", "s:"},
               {"right(\"abc\", -3)", "s:"},
               {"right(\"abc\", 3)", "s:abc"},
               {"right(\"abc\", 5)", "s:abc"},
               {"right(\"ñandú\", 2)", "s:dú"},
               {"right(null, 1)", "null"},
               {"right(\"abc\", null)", "null"}},
              EXP_STRING);
}

// Occurrences do not overlap; positions count characters even when the text before the match
// is multi-byte.
TEST_F(StringsTest, InstrFindsNthOccurrence) {
  expect_rows({{"instr(\"abcabc\", \"bc\")", "i:2"},
               {"instr(\"abcabc\", \"bc\", 2)", "i:5"},
               {"instr(\"abcabc\", \"bc\", 3)", "i:0"},
               {"instr(\"abc\", \"x\")", "i:0"},
               {"instr(\"abc\", \"x\", 0)", "i:1"},
               {"instr(\"abc\", \"x\", -4)", "i:1"},
               {"instr(\"aaa\", \"aa\", 2)", "i:0"},
               {"instr(\"aaaa\", \"aa\", 2)", "i:3"},
               {"instr(\"abc\", \"\")", "i:1"},
               {"instr(\"abc\", \"\", 2147483647)", "i:1"},
               {"instr(\"abc\", \"B\")", "i:0"},
               {"instr(\"日本語の日本\", \"日本\", 2)", "i:5"},
               {"instr(\"çaça\", \"a\", 2)", "i:4"},
               {"instr(\"abcabc\", \"c\", null)", "i:3"},
               {"instr(null, \"a\")", "null"},
               {"instr(\"a\", null)", "null"}},
              EXP_INTEGER);
}

// An empty second string counts 0 occurrences (and the call returns).
TEST_F(StringsTest, OccursCountsWithoutOverlap) {
  expect_rows({{"occurs(\"abcabc\", \"bc\")", "i:2"},
               {"occurs(\"aaaa\", \"aa\")", "i:2"},
               {"occurs(\"aaa\", \"aa\")", "i:1"},
               {"occurs(\"\", \"a\")", "i:0"},
               {"occurs(\"abc\", \"\")", "i:0"},
               {"occurs(\"\", \"\")", "i:0"},
               {"occurs(\"€ und €\", \"€\")", "i:2"},
               {"occurs(null, \"a\")", "null"},
               {"occurs(\"a\", null)", "null"}},
              EXP_INTEGER);
}

TEST_F(StringsTest, ChrAndAscAreCodePoints) {
  expect_rows({{"chr(65)", "s:A"},
               {"chr(233)", "s:é"},
               {"chr(8364)", "s:€"},
               {"chr(128512)", "s:😀"},
               {"chr(-1)", "null"},
               {"chr(55296)", "null"},
               {"chr(1114112)", "null"},
               {"chr(null)", "null"}},
              EXP_STRING);
  expect_rows({{"asc(\"A\")", "i:65"},
               {"asc(\"€uro\")", "i:8364"},
               {"asc(\"\")", "i:0"},
               {"asc(null)", "null"}},
              EXP_INTEGER);
}

TEST_F(StringsTest, CaseMappingCoversUnicode) {
  expect_rows({{"upper(\"abc xyz\")", "s:ABC XYZ"},
               {"lower(\"ABC Xyz\")", "s:abc xyz"},
               {"upper(\"straße\")", "s:STRASSE"},
               {"lower(\"ÀÉÎÕÜ\")", "s:àéîõü"},
               {"upper(\"привет\")", "s:ПРИВЕТ"},
               {"upper(\"\")", "s:"},
               {"upper(null)", "null"},
               {"lower(null)", "null"}},
              EXP_STRING);
}

// 255 "ß" upper-case to 510 characters: the result grows past its 255-character start. A
// 300-character text (longer than the record's length) is kept whole by every function that
// returns all of it.
TEST_F(StringsTest, ResultsGrowPastRecordLength) {
  std::string sharp;
  for (int i = 0; i < 255; ++i) sharp += "ß";
  std::string up = run("upper(\"" + sharp + "\")", EXP_STRING);
  EXPECT_EQ(up, "s:" + std::string(510, 'S'));
  EXPECT_EQ(run("len(upper(\"" + sharp + "\"))", EXP_INTEGER), "i:510");

  std::string cyr;
  for (int i = 0; i < 255; ++i) cyr += "Ж";
  EXPECT_EQ(run("lower(\"" + cyr + "\")", EXP_STRING), "s:" + [] {
    std::string s;
    for (int i = 0; i < 255; ++i) s += "ж";
    return s;
  }());

  std::string long_text(300, 'x');
  std::string quoted = "\"" + long_text + "\"";
  for (const char *fn : {"mid(%, 1)", "left(%, 1000)", "right(%, 1000)", "trim(%)", "lower(%)",
                         "replace(%, \"y\", \"z\")"}) {
    std::string call(fn);
    call.replace(call.find('%'), 1, quoted);
    EXPECT_EQ(run(call, EXP_STRING), "s:" + long_text) << fn;
  }
  EXPECT_EQ(run("len(replace(" + quoted + ", \"x\", \"éé\"))", EXP_INTEGER), "i:600");
}

TEST_F(StringsTest, TrimRemovesOuterWhiteSpaceOnly) {
  expect_rows({{"trim(\"  a b  \")", "s:a b"},
               {"trim(\"   \")", "s:"},
               {"trim(\"\")", "s:"},
               {"trim(\"abc\")", "s:abc"},
               {"trim(\"\t x\n\")", "s:x"},
               {"trim(\"\v\f\r x\x1c\")", "s:x\x1c"},  // the separators below space are not white space
               {"trim(\"\u3000日本\u3000 \")", "s:日本"},
               {"trim(\" é \u00a0\")", "s:é"},
               {"trim(\"\xC2\x85" "abc\xC2\x85\")", "s:abc"},
               {"trim(\" x\xC3\")", "s:x\xC3"},
               {"trim(\"é\xA9 \")", "s:é\xA9"},
               {"trim(\"\xA9\xA9\xA9\xA9 \")", "s:\xA9\xA9\xA9\xA9"},
               {"trim(null)", "null"}},
              EXP_STRING);
}

TEST_F(StringsTest, ReplaceLimitsAndNulls) {
  expect_rows({{"replace(\"a-b-c\", \"-\", \"+\")", "s:a+b+c"},
               {"replace(\"a-b-c\", \"-\", \"+\", 1)", "s:a+b-c"},
               {"replace(\"a-b-c\", \"-\", \"+\", 2)", "s:a+b+c"},
               {"replace(\"a-b-c\", \"-\", \"+\", 9)", "s:a+b+c"},
               {"replace(\"a-b-c\", \"-\", \"+\", 0)", "s:a+b+c"},
               {"replace(\"a-b-c\", \"-\", \"+\", -1)", "s:a+b+c"},
               {"replace(\"a-b-c\", \"-\", \"+\", null)", "s:a+b+c"},
               {"replace(\"aaa\", \"a\", \"bb\")", "s:bbbbbb"},
               {"replace(\"aaaa\", \"aa\", \"a\")", "s:aa"},
               {"replace(\"abc\", \"\", \"x\")", "s:abc"},
               {"replace(\"abc\", \"b\", \"\")", "s:ac"},
               {"replace(\"\", \"b\", \"x\")", "s:"},
               {"replace(\"abc\", \"B\", \"x\")", "s:abc"},
               {"replace(\"naïve café\", \"é\", \"e\")", "s:naïve cafe"},
               {"replace(\"日本日本\", \"本\", \"本語\")", "s:日本語日本語"},
               {"replace(null, null, \"x\")", "s:x"},
               {"replace(null, \"-\", \"x\")", "null"},
               {"replace(null, null, null)", "null"},
               {"replace(\"abc\", null, \"x\")", "s:abc"},
               {"replace(\"abc\", \"b\", null)", "s:abc"}},
              EXP_STRING);
}

TEST_F(StringsTest, CompareBytesOrFoldedCase) {
  expect_rows({{"compare(\"a\", \"B\")", "i:1"},
               {"compare(\"a\", \"B\", true)", "i:-1"},
               {"compare(\"a\", \"A\", true)", "i:0"},
               {"compare(\"a\", \"A\", false)", "i:1"},
               {"compare(\"a\", \"A\", null)", "i:1"},
               {"compare(\"abc\", \"abc\")", "i:0"},
               {"compare(\"ab\", \"abc\")", "i:-1"},
               {"compare(\"é\", \"z\")", "i:1"},
               {"compare(\"STRASSE\", \"straße\", true)", "i:0"},
               {"compare(\"Ärger\", \"ärger\", true)", "i:0"},
               {"compare(null, \"a\")", "null"},
               {"compare(\"a\", null)", "null"}},
              EXP_INTEGER);
}

// Results assigned to declared variables are cut to the variable's length, not the function's.
TEST_F(StringsTest, GrownResultIsCutByDeclaredVariable) {
  EXPECT_EQ(run("string(5) s; s = upper(\"abcdefgh\"); s", EXP_STRING), "s:ABCDE");
}

// The substring search of instr, occurs, replace and aparse against std::string_view::find, over
// texts of two letters where partial matches are everywhere, with needles on both sides of the
// length where the search changes method.
TEST(TextFind, AgreesWithPlainSearch) {
  std::mt19937 rng(7);
  auto text = [&](size_t n) {
    std::string s(n, 'a');
    for (char &c : s) c = rng() % 8 ? 'a' : 'b';
    return s;
  };
  for (int round = 0; round < 3000; ++round) {
    const std::string s = text(rng() % 300);
    // Half the needles are cut from the text, so long ones are found too.
    const size_t at = rng() % (s.size() + 1);
    const std::string t = round % 2 ? text(rng() % 70) : s.substr(at, rng() % 70);
    const size_t from = rng() % (s.size() + 3);
    ASSERT_EQ(text_find(s, t, from), std::string_view(s).find(t, from)) << s << " / " << t << " from " << from;
  }
}

}  // namespace
