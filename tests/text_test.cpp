// Text analysis built-ins through compiled programs: shapes, wildcard matching, control
// characters, character and word sorting, and edit distances.
#include <string>

#include "common/builtin_run.h"

namespace {

class TextTest : public builtin_run::BuiltinTest {};

TEST_F(TextTest, PatternGivesTheShapeOfEachCharacter) {
  expect_rows({{"pattern(\"Hello, World 42!\")", "s:Aaaaa, Aaaaa 99!"},
               {"pattern(\"Abc-12 x\")", "s:Aaa-99 a"},
               {"pattern(\"Éé+ß\")", "s:Aa*a"},  // a symbol is not punctuation
               {"pattern(\"日本\")", "s:**"},   // letters without case
               {"pattern(\"\")", "s:"},
               {"pattern(null)", "null"}},
              EXP_STRING);
  exp_symval_setstr(symbol("t", EXP_STRING, 10), "a\tb\x01");
  EXPECT_EQ(run("pattern(t)", EXP_STRING), "s:a a*");
}

TEST_F(TextTest, ResultsGrowPastTheirRecordLength) {
  std::string text(300, 'x');
  text += " b";
  exp_symval_setstr(symbol("long", EXP_STRING, 400), text.c_str());
  EXPECT_EQ(run("pattern(long)", EXP_STRING), "s:" + std::string(300, 'a') + " a");
  EXPECT_EQ(run("sort(long)", EXP_STRING), "s:b" + std::string(300, 'x'));
  EXPECT_EQ(run("sort_words(long)", EXP_STRING), "s:b " + std::string(300, 'x'));
}

TEST_F(TextTest, MatchString) {
  expect_rows({{"match_string(\"hello\", \"h*\")", "b:1"},
               {"match_string(\"hello\", \"*llo\")", "b:1"},
               {"match_string(\"abc\", \"a?c\")", "b:1"},
               {"match_string(\"a*b\", \"a\\*b\")", "b:1"},
               {"match_string(\"a?b\", \"a\\?b\")", "b:1"},
               {"match_string(\"axb\", \"a\\?b\")", "b:0"},
               {"match_string(\"hello\", \"*l\")", "b:0"},
               {"match_string(\"abcd\", \"abc\")", "b:0"},
               {"match_string(\"abc\", \"abcd\")", "b:0"},
               {"match_string(\"hello\", \"he*lo\")", "b:0"},  // a star inside is invalid
               {"match_string(\"**\", \"**\")", "b:0"},        // two stars alone are invalid
               {"match_string(\"xay\", \"*a*\")", "b:1"},
               {"match_string(\"anything\", \"*\")", "b:1"},
               {"match_string(\"Hello\", \"hello\")", "b:0"},  // case-sensitive
               {"match_string(\"héllo\", \"h?llo\")", "b:1"},  // ? takes one character
               {"match_string(\"aab\", \"*ab\")", "b:1"},      // retried after a later mismatch
               {"match_string(\"abab\", \"*ab\")", "b:0"},     // star X does not look for X at the end
               {"match_string(\"\", \"\")", "b:1"},
               {"match_string(\"\", \"*a\")", "b:1"},
               {"match_string(\"\", \"a\")", "b:0"},
               {"match_string(null, null)", "b:1"},
               {"match_string(null, \"a\")", "b:0"},
               {"match_string(\"a\", null)", "b:0"}},
              EXP_BOOLEAN);
}

TEST_F(TextTest, HasControlChars) {
  exp_symval_setstr(symbol("tab", EXP_STRING, 10), "a\tb");
  exp_symval_setstr(symbol("zwj", EXP_STRING, 10), "a\xE2\x80\x8D" "b");  // a format character
  expect_rows({{"has_control_chars(tab)", "b:1"},
               {"has_control_chars(zwj)", "b:1"},
               {"has_control_chars(\"plain text\")", "b:0"},
               {"has_control_chars(\"\")", "b:0"},
               {"has_control_chars(null)", "b:0"}},
              EXP_BOOLEAN);
}

TEST_F(TextTest, SortCharacters) {
  expect_rows({{"sort(\"dcba\")", "s:abcd"},
               {"sort(\"b a c\", false)", "s:cba"},
               {"sort(\"aabbc\", true, true)", "s:abc"},
               {"sort(\"aabbc\", false, true)", "s:cba"},
               {"sort(\"aabbc\", null, null)", "s:aabbc"},
               {"sort(\"   \")", "s:"},
               {"sort(\"\")", "s:"},
               {"sort(\"éba\")", "s:abé"},
               {"sort(\"éaéb\", true, true)", "s:abé"},
               {"sort(\"éba\", false)", "s:éba"},
               {"sort(\"Ba\")", "s:Ba"},
               {"sort(null)", "null"}},
              EXP_STRING);
}

TEST_F(TextTest, SortWords) {
  expect_rows({{"sort_words(\"pear apple  fig\")", "s:apple fig pear"},
               {"sort_words(\"pear apple  fig\", false)", "s:pear fig apple"},
               {"sort_words(\"b a b\", true, true)", "s:a b"},
               {"sort_words(\"b a b\")", "s:a b b"},
               {"sort_words(\"b a b\", false, true)", "s:b a"},
               {"sort_words(\"Zebra apple\")", "s:Zebra apple"},
               {"sort_words(\"ab a abc\")", "s:a ab abc"},  // a prefix sorts first
               {"sort_words(\"é e z\")", "s:e z é"},         // bytes compared unsigned
               {"sort_words(\"  lone  \")", "s:lone"},
               {"sort_words(\" \")", "s:"},
               {"sort_words(null)", "null"}},
              EXP_STRING);
}

TEST_F(TextTest, EditDistance) {
  expect_rows({{"edit_distance(\"kitten\", \"sitting\")", "i:3"},
               {"edit_distance(\"sitting\", \"kitten\")", "i:3"},
               {"edit_distance(\"\", \"abc\")", "i:3"},
               {"edit_distance(\"abc\", \"\")", "i:3"},
               {"edit_distance(\"abc\", \"abc\")", "i:0"},
               {"edit_distance(\"é\", \"e\")", "i:1"},
               {"edit_distance(\"ééé\", \"éé\")", "i:1"},
               {"edit_distance(\"flaw\", \"lawn\")", "i:2"},
               {"edit_distance(\"ABC\", \"abc\")", "i:3"},
               {"edit_distance(null, \"a\")", "null"},
               {"edit_distance(\"a\", null)", "null"}},
              EXP_INTEGER);
}

}  // namespace
