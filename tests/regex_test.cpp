// The regex class through compiled programs, and the Turkish pattern rewriting on its own.
#include <gtest/gtest.h>

#include <string>

#include "common/classes_util.h"
#include "support/turkish.h"

namespace {

using classtest::ClassTest;
using classtest::Outcome;
using classtest::run;
using classtest::value_of;

class Regex : public ClassTest {
 protected:
  // The value of `body` run after `regex r; r.compile(pattern[, option])`.
  std::string with(const std::string &pattern, const std::string &body, const std::string &option = "") {
    std::string compile = "regex r; r.compile(\"" + pattern + "\"" + (option.empty() ? "" : ", \"" + option + "\"") + ");";
    return value_of(e(), compile + body);
  }
  Outcome outcome(const std::string &program) { return run(e(), program); }
};

struct Case {
  const char *pattern;
  const char *body;
  const char *expected;
};

TEST_F(Regex, PositionsAndLengthsCountCharacters) {
  const Case cases[] = {
      {"b+", R"(r.findfirst("aébbc"); r.matchstart() & "/" & r.matchlength())", "s:3/2"},
      {"é+", R"(r.findfirst("aééb"); r.matchstart() & "/" & r.matchlength())", "s:2/2"},
      {"c", R"(r.findfirst("日本語c"); r.matchstart())", "s:4"},
      {"(a)(x)?(c)", R"(r.findfirst("ac"); r.substringcount())", "s:4"},
      {"(a)(x)?(c)", R"(r.findfirst("ac"); isnull(r.substringstart(3)))", "s:true"},
      {"(a)(x)?(c)", R"(r.findfirst("zac"); r.substringstart(1) == r.matchstart())", "s:true"},
      {"(a)(x)?(c)", R"(r.findfirst("zac"); r.substringstart(4) & "/" & r.substringlength(4))", "s:3/1"},
      {"(a)(x)?(c)", R"(r.findfirst("ac"); isnull(r.substringstart(0)) and isnull(r.substringstart(5)))", "s:true"},
      {"(a)(x)?(c)", R"(r.findfirst("ac"); isnull(r.substringstart(null)))", "s:true"},
      {"q", R"(r.findfirst("abc"); isnull(r.matchstart()) and r.substringcount() == 0)", "s:true"},
  };
  for (const Case &c : cases) EXPECT_EQ(with(c.pattern, c.body), c.expected) << c.pattern << " " << c.body;
}

TEST_F(Regex, FindNextWalksTheMatches) {
  const Case cases[] = {
      {"a", R"(r.findfirst("aaa") & r.findnext("aaa") & r.findnext("aaa") & r.findnext("aaa"))", "s:truetruetruefalse"},
      {"a", R"(r.findfirst("bab"); r.findnext("bab") & isnull(r.matchstart()))", "s:falsetrue"},
      {"a", R"(r.findfirst("xyz"); r.findnext("xyz"))", "s:false"},
      {"a", R"(r.findfirst("aaa"); isnull(r.findnext(null)))", "s:false"},
      // An empty match is found once; after it only non-empty matches further on count.
      {"x*", R"(r.findfirst("abc") & r.matchstart() & r.matchlength() & r.findnext("abc"))", "s:true10false"},
      {"x*", R"(r.findfirst("abxc"); r.findnext("abxc") & r.matchstart() & r.matchlength())", "s:true31"},
      // After an empty match the search moves a whole character on, so a match right after a
      // multi-byte character is still found.
      {"x*|b", R"(r.findfirst("éb"); r.findnext("éb") & r.matchstart())", "s:true2"},
      {"é", R"(r.findfirst("éaé"); r.findnext("éaé") & r.matchstart())", "s:true3"},
  };
  for (const Case &c : cases) EXPECT_EQ(with(c.pattern, c.body), c.expected) << c.pattern << " " << c.body;
}

TEST_F(Regex, FindNextRefusesASubjectOfAnotherLength) {
  Outcome o = outcome(R"(regex r; r.compile("a"); r.findfirst("abc"); r.findnext("abcd"))");
  EXPECT_EQ(o.rc, 102);
  EXPECT_EQ(o.message, "Error in function: String passed to findnext differs from string passed to findfirst");
}

TEST_F(Regex, MethodsOnANullRegexRaiseTheMessage) {
  for (const char *call : {"r.findfirst(\"a\")", "r.matchstart()", "r.substringcount()", "r.replace(\"a\", \"b\")"}) {
    Outcome o = outcome(std::string("regex r; ") + call);
    EXPECT_EQ(o.rc, 102) << call;
    EXPECT_EQ(o.message, "Error in function: No regex is compiled") << call;
  }
}

TEST_F(Regex, CompileFailuresUsePcreTextAndLeaveTheVariableNull) {
  classtest::Compiled setup(e(), R"(global regex r; r.compile("a"))");
  ASSERT_EQ(setup.run().rc, 0);
  Outcome bad = outcome(R"(r.compile("(a"))");
  EXPECT_EQ(bad.rc, 102);
  EXPECT_EQ(bad.message, "Error in function: missing closing parenthesis");
  Outcome after = outcome(R"(r.findfirst("a"))");
  EXPECT_EQ(after.message, "Error in function: No regex is compiled");
  // A null pattern leaves the previous regex in place.
  EXPECT_EQ(value_of(e(), R"(r.compile("b"); r.compile(null) & r.findfirst("b"))"), "s:falsetrue");
}

TEST_F(Regex, RunawayBacktrackingStopsAtTheMatchLimit) {
  std::string subject(60, 'a');
  Outcome o = outcome(R"(regex r; r.compile("^(\w+\s?)*$"); r.findfirst(")" + subject + "!\")");
  EXPECT_EQ(o.rc, 102);
  EXPECT_EQ(o.message, "Error in function: match limit exceeded");
  Outcome replaced = outcome(R"(regex r; r.compile("^(\w+\s?)*$"); r.replace(")" + subject + "!\", \"x\")");
  EXPECT_EQ(replaced.message, "Error in function: match limit exceeded");
}

TEST_F(Regex, ReplaceExpandsGroupsAndCaseConversions) {
  const Case cases[] = {
      {R"((\w+)-(\w+))", R"(r.replace("ab-cd ef-gh", "\2-\1"))", "s:cd-ab gh-ef"},
      {R"((\w+))", R"(r.replace("hello", "\U\1"))", "s:HELLO"},
      {R"((\w+))", R"(r.replace("hello", "\u\1"))", "s:Hello"},
      {R"((\w+))", R"(r.replace("HELLO", "\l\1"))", "s:hELLO"},
      {R"((\w+))", R"(r.replace("HeLLo", "\L\1"))", "s:hello"},
      {"x", R"(r.replace("x", "\Ufoo\Ebar"))", "s:FOObar"},
      {"x", R"(r.replace("x", "\U\lfoo"))", "s:foo"},
      {"x", R"(r.replace("x", "<\0>\9|\\|\q"))", "s:<x>|\\|q"},
      {"(é)", R"(r.replace("aéb", "\U\1"))", "s:aÉb"},
      {"q", R"(r.replace("abc", "z"))", "s:abc"},
      // A case mode stays on from one match's expansion to the next.
      {"a", R"(r.replace("a-a", "x\Uy"))", "s:xY-XY"},
      // After an empty match the character at its position is kept.
      {"x*", R"(r.replace("abc", "-"))", "s:-a-b-c"},
      {"x*", R"(r.replace("éa", "-"))", "s:-é-a"},
      {"b*", R"(r.replace("abbc", "-"))", "s:-a--c"},
  };
  for (const Case &c : cases) EXPECT_EQ(with(c.pattern, c.body), c.expected) << c.pattern << " " << c.body;
  EXPECT_EQ(with("a", R"(isnull(r.replace(null, "x")) and isnull(r.replace("a", null)))"), "s:true");
}

TEST_F(Regex, PatternsWithMoreThanNineGroupsStillMatchAndReplace) {
  const char *pattern = "(a)(b)(c)(d)(e)(f)(g)(h)(i)(j)";
  EXPECT_EQ(with(pattern, R"(r.findfirst("xabcdefghij") & r.substringcount() & r.substringstart(10))"), "s:true1010");
  EXPECT_EQ(with(pattern, R"(r.replace("xabcdefghijy", "\9\1"))"), "s:xiay");
}

TEST_F(Regex, SubjectsWithInvalidBytesAreSearchedAroundThem) {
  write_file("raw.bin", std::string("\xff\xfe" "ab\xc3" "c", 6));
  std::string program = "string(20) b; file f; regex r; f.open(" + classtest::quoted(path("raw.bin")) +
                        "); f.readbytes(20, b); r.compile(\"c\"); r.findfirst(b) & r.matchstart()";
  EXPECT_EQ(value_of(e(), program), "s:true6");
}

TEST_F(Regex, ReplaceCutsItsOutputAt16383Bytes) {
  std::string subject(10000, 'a');
  EXPECT_EQ(with("a", "len(r.replace(\"" + subject + "\", \"bb\"))"), "s:16383");
  // A cut never splits a character: 16383 bytes of two-byte characters leave 8191 of them.
  EXPECT_EQ(with("a", "len(r.replace(\"" + subject + "\", \"éé\"))"), "s:8191");
}

TEST_F(Regex, TurkishOptionIsTheFirstSevenLetters) {
  const char *dotted_upper = R"((?i)istanbul)";
  const struct {
    const char *option;
    const char *expected;
  } options[] = {{"turkish", "s:true"}, {"TURKISH", "s:true"}, {"Turkish-ci", "s:true"},
                 {"turkey", "s:false"}, {"turkis", "s:false"}, {"", "s:false"}};
  for (const auto &o : options)
    EXPECT_EQ(with(dotted_upper, R"(r.findfirst("İSTANBUL"))", o.option), o.expected) << o.option;
}

TEST_F(Regex, TurkishModeFoldsDottedAndDotlessI) {
  const struct {
    const char *pattern;
    const char *subject;
    const char *turkish;
    const char *standard;
  } cases[] = {
      {"(?i)istanbul", "İSTANBUL", "s:true", "s:false"},
      {"(?i)istanbul", "ISTANBUL", "s:false", "s:true"},
      {"(?i)IRMAK", "ırmak", "s:true", "s:false"},
      {"(?i)IRMAK", "irmak", "s:false", "s:true"},
      {"(?i)ıi", "Iİ", "s:true", "s:false"},
      // Case-sensitive stretches are left alone.
      {"istanbul", "İstanbul", "s:false", "s:false"},
      {"(?i:i)I", "İI", "s:true", "s:false"},
      {"(?i:i)I", "İı", "s:false", "s:false"},
      {"(?i)a(?-i)i", "Ai", "s:true", "s:true"},
      {"(?i)a(?-i)i", "Aİ", "s:false", "s:false"},
      // Quoted text is rewritten; named groups, comments and escapes are not disturbed.
      {R"((?i)\Qi.\E)", "İ.", "s:true", "s:false"},
      {"(?i)(?<id>i)(?#i)\\x{69}", "İi", "s:true", "s:false"},
  };
  for (const auto &c : cases) {
    std::string body = std::string("r.findfirst(\"") + c.subject + "\")";
    EXPECT_EQ(with(c.pattern, body, "turkish"), c.turkish) << c.pattern << " on " << c.subject;
    EXPECT_EQ(with(c.pattern, body), c.standard) << c.pattern << " on " << c.subject;
  }
  EXPECT_EQ(with("(?i)(?<id>i)", R"(r.findfirst("xİ"); r.substringstart(2))", "turkish"), "s:2");
}

TEST_F(Regex, TurkishModeConvertsCaseTheTurkishWay) {
  EXPECT_EQ(with("(.+)", R"(r.replace("istanbul", "\U\1"))", "turkish"), "s:İSTANBUL");
  EXPECT_EQ(with("(.+)", R"(r.replace("istanbul", "\U\1"))"), "s:ISTANBUL");
  EXPECT_EQ(with("(.+)", R"(r.replace("IRMAK", "\L\1"))", "turkish"), "s:ırmak");
  EXPECT_EQ(with("(.+)", R"(r.replace("ipek", "\u\1"))", "turkish"), "s:İpek");
}

TEST(TurkishPattern, RewritesOnlyLettersInCaselessStretches) {
  const struct {
    const char *pattern;
    const char *rewritten;
  } cases[] = {
      {"istanbul", "istanbul"},
      {"(?i)ix", "(?i)(?-i:[iİ])x"},
      {"(?i)Iı", "(?i)(?-i:[Iı])(?-i:[Iı])"},
      {"(?i:i)i", "(?i:(?-i:[iİ]))i"},
      {"(?i)[i](?#i)\\pL\\p{Lu}\\x{69}", "(?i)[i](?#i)\\pL\\p{Lu}\\x{69}"},
      {"(?i)(?<id>i)\\k<id>(?P<ii>x)(?P=ii)", "(?i)(?<id>(?-i:[iİ]))\\k<id>(?P<ii>x)(?P=ii)"},
      {"(?i)(*MARK:i)(*pla:i)", "(?i)(*MARK:i)(*pla:(?-i:[iİ]))"},
      {"(?i)\\Qai\\E", "(?i)\\Qa\\E(?-i:[iİ])\\Q\\E"},
      {"(?ix) i # i\n i", "(?ix) (?-i:[iİ]) # i\n (?-i:[iİ])"},
      {"(?i)(?(?=i)i|x)", "(?i)(?(?=(?-i:[iİ]))(?-i:[iİ])|x)"},
      {"(?i)\\ci", "(?i)\\ci"},
      {"(?i)(?C\"i)\")i", "(?i)(?C\"i)\")(?-i:[iİ])"},
  };
  for (const auto &c : cases) EXPECT_EQ(turkish_pattern(c.pattern), c.rewritten) << c.pattern;
}

}  // namespace
