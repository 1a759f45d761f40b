// The regex class through compiled programs, and the Turkish pattern rewriting on its own.
#define PCRE2_CODE_UNIT_WIDTH 8
#include <gtest/gtest.h>
#include <pcre2.h>

#include <algorithm>
#include <random>
#include <string>
#include <string_view>

#include "common/classes_util.h"
#include "support/turkish.h"
#include "support/uchar.h"

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

// ---- replace against a reference ----------------------------------------------------------------

// replace as a plain loop of PCRE2 matches in invalid-UTF mode, one match at a time from each
// match's end (one character on after an empty match), each expansion of `templ` (\0-\9 and
// escaped characters) emitted whole, the output cut at 16383 bytes on a character boundary.
std::string reference_replace(const std::string &pattern, const std::string &subject, const std::string &templ) {
  int error = 0;
  PCRE2_SIZE offset = 0;
  pcre2_code *code = pcre2_compile(reinterpret_cast<PCRE2_SPTR>(pattern.c_str()), PCRE2_ZERO_TERMINATED,
                                   PCRE2_UTF | PCRE2_MATCH_INVALID_UTF, &error, &offset, nullptr);
  pcre2_match_data *data = pcre2_match_data_create(10, nullptr);
  std::string out;
  auto emit = [&out](std::string_view text) { out.append(text.substr(0, np_uchar_cut(text, 16383 - out.size()))); };
  auto match = [&](size_t start) {
    return pcre2_match(code, reinterpret_cast<PCRE2_SPTR>(subject.data()), subject.size(), start, 0, data, nullptr);
  };
  auto next_char = [&subject](size_t at) {
    if (at >= subject.size()) return subject.size() + 1;
    return static_cast<size_t>(np_uchar_seek(subject.c_str() + at, 1) - subject.c_str());
  };
  size_t copied = 0;
  for (int rc = match(0); rc >= 0;) {
    const PCRE2_SIZE *ov = pcre2_get_ovector_pointer(data);
    const int count = rc == 0 ? 10 : rc;
    std::string expansion;
    for (size_t k = 0; k < templ.size(); ++k) {
      if (templ[k] != '\\' || ++k == templ.size()) {
        if (k < templ.size()) expansion += templ[k];
        continue;
      }
      const int group = templ[k] - '0';
      if (group < 0 || group > 9) expansion += templ[k];
      else if (group < count && ov[2 * group] != PCRE2_UNSET && ov[2 * group + 1] >= ov[2 * group])
        expansion += subject.substr(ov[2 * group], ov[2 * group + 1] - ov[2 * group]);
    }
    const size_t from = std::max<size_t>(ov[0], copied), to = std::max<size_t>(ov[1], from);
    emit(std::string_view(subject).substr(copied, from - copied));
    emit(expansion);
    copied = to;
    const size_t next = from == to ? next_char(to) : to;
    if (next >= subject.size()) break;
    rc = match(next);
  }
  emit(std::string_view(subject).substr(std::min(copied, subject.size())));
  pcre2_match_data_free(data);
  pcre2_code_free(code);
  return out;
}

// Random subjects, well-formed or holding stray bytes, and long enough at times to fill the
// output, replaced through the engine and through the reference: the same text every time.
TEST(RegexReplace, AgreesWithAPlainLoopOfMatches) {
  const char *const patterns[] = {",", "a*", "(a)(b)?", "\\b", "x|", "[^a]", "é", ".", "$", "^a", "(?<=a)b", "\\w+",
                                  "(?m)^", "\\Ga"};
  const char *const templates[] = {"<\\0>", "", "\\1|\\2", "-", "\\\\"};
  const char *const pieces[] = {"a", "b", ",", "é", "日", "\xff", "\xc3", "\xe9", " ", "ab", "\n"};
  std::mt19937 random(27);
  testutil::EnginePtr e = testutil::make_engine();
  exp_symval *s = nullptr;
  ASSERT_EQ(exp_add_symbol(e.get(), "s", EXP_STRING, 100000, 0, &s), 0);
  for (const char *pattern : patterns) {
    for (const char *templ : templates) {
      const std::string text = std::string("regex r\nr.compile(\"") + pattern + "\")\nr.replace(s, \"" + templ + "\")";
      exp_pcode *p = nullptr;
      ASSERT_EQ(exp_make_pcode(e.get(), text.c_str(), &p, EXP_STRING, 20000, 0, nullptr), 0) << text;
      for (int round = 0; round < 40; ++round) {
        std::string subject;
        const int length = round % 10 == 9 ? 6000 : static_cast<int>(random() % 30);
        for (int k = 0; k < length; ++k) subject += pieces[random() % std::size(pieces)];
        exp_symval_setstr(s, subject.c_str());
        ASSERT_EQ(std::string(s->value.s), subject);
        exp_symval *result = nullptr;
        ASSERT_EQ(exp_execute(e.get(), p, &result), 0) << text;
        EXPECT_EQ(std::string(result->value.s), reference_replace(pattern, subject, templ))
            << pattern << " / " << templ << " on " << subject.substr(0, 60);
      }
      exp_free_pcode(e.get(), p);
    }
  }
}

int stop_when_asked(exp_engine *) { return 1; }

// One replace over a long text is a long piece of work: a time-out stops it inside the call, and
// the step limit counts it.
TEST(RegexReplace, ALongReplaceIsCancellableAndCountsAsSteps) {
  testutil::EnginePtr e = testutil::make_engine();
  exp_symval *s = nullptr;
  ASSERT_EQ(exp_add_symbol(e.get(), "s", EXP_STRING, 1 << 20, 0, &s), 0);
  std::string subject;
  while (subject.size() < 300'000) subject += "a,";
  exp_symval_setstr(s, subject.c_str());
  exp_pcode *p = nullptr;
  ASSERT_EQ(exp_make_pcode(e.get(), "regex r\nr.compile(\"[a,]\")\nlen(r.replace(s, \"\"))", &p, EXP_INTEGER, 0, 0,
                           nullptr),
            0);
  exp_set_interrupt_hndlr(e.get(), stop_when_asked);
  EXPECT_EQ(exp_execute(e.get(), p, nullptr), 104);
  exp_set_interrupt_hndlr(e.get(), nullptr);
  ASSERT_EQ(exp_set_limit(e.get(), EXP_LIMIT_STEPS, 10'000), 0);
  EXPECT_EQ(exp_execute(e.get(), p, nullptr), 109);
  ASSERT_EQ(exp_set_limit(e.get(), EXP_LIMIT_STEPS, 0), 0);
  exp_symval *result = nullptr;
  ASSERT_EQ(exp_execute(e.get(), p, &result), 0);
  EXPECT_EQ(result->value.i, 0);
  exp_free_pcode(e.get(), p);
}

}  // namespace
