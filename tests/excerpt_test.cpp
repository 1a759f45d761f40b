// The caret excerpt of errors and warnings: the caret stands under the column on a terminal
// (tabs kept, wide characters two columns, combining marks none), long lines are windowed, and
// no output, whole or cut to a buffer, ever splits a UTF-8 character.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>

#include "expression.h"

namespace {

std::string excerpt(const std::string &source, int line, int column, size_t size = 4096) {
  std::string out(size, '\x7f');
  int n = exp_format_excerpt(source.c_str(), line, column, out.data(), size);
  EXPECT_GE(n, 0);
  return out.c_str();
}

bool valid_utf8(const std::string &s) {
  for (size_t i = 0; i < s.size();) {
    const auto c = static_cast<unsigned char>(s[i]);
    const size_t n = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
    if (n == 0 || i + n > s.size()) return false;
    for (size_t k = 1; k < n; ++k)
      if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80) return false;
    i += n;
  }
  return true;
}

TEST(Excerpt, CaretStandsUnderTheColumn) {
  struct Case {
    const char *source;
    int line, column;
    const char *expected;
  };
  static const Case kCases[] = {
      {"integer n\nn = n +* 2", 2, 8, "   | n = n +* 2\n   |        ^\n"},
      {"\xE5\x90\x8D\xE5\x89\x8D = 1 +", 1, 6, "   | \xE5\x90\x8D\xE5\x89\x8D = 1 +\n   |        ^\n"},  // 2 wide
      {"\tx = y +", 1, 6, "   | \tx = y +\n   | \t    ^\n"},
      {"e\xCC\x81 x", 1, 4, "   | e\xCC\x81 x\n   |   ^\n"},  // a combining accent takes no column
      {"abc", 1, 4, "   | abc\n   |    ^\n"},                     // just past the end of the text
      {"a = 1\r\nb +", 2, 3, "   | b +\n   |   ^\n"},              // CRLF line ends
      {"a\x01" "b", 1, 3, "   | a?b\n   |   ^\n"},                 // control characters
      {"x\xFFy", 1, 3, "   | x?y\n   |   ^\n"},                    // an invalid byte
      {"abc", 2, 1, ""},                                           // no such line
      {"", 1, 1, ""},
  };
  for (const Case &c : kCases) {
    SCOPED_TRACE(c.source);
    EXPECT_EQ(excerpt(c.source, c.line, c.column), c.expected);
  }
  EXPECT_EQ(exp_format_excerpt(nullptr, 1, 1, nullptr, 0), 0);
}

TEST(Excerpt, LongLinesShowAWindowAroundTheCaret) {
  std::string line(300, 'a');
  line[249] = 'X';
  std::string got = excerpt(line, 1, 250);
  size_t nl = got.find('\n');
  ASSERT_NE(nl, std::string::npos);
  std::string text = got.substr(0, nl), caret = got.substr(nl + 1);
  EXPECT_EQ(text.substr(0, 8), "   | ...");
  EXPECT_EQ(text.substr(text.size() - 3), "...");
  EXPECT_LE(text.size(), 5u + 3 + 100 + 3);
  EXPECT_EQ(text[caret.find('^')], 'X');
}

// Random lines of mixed characters at random columns: every output, whole or cut to any buffer
// size, is valid UTF-8, and the whole one is two lines whose second is an indent and a caret.
TEST(Excerpt, NeverSplitsACharacter) {
  static const char *const kPieces[] = {"a", "\xC3\xA9", "\xE5\x90\x8D", "\xF0\x9F\x98\x80", "\t", "\xCC\x81", "\x01",
                                        "\xFF", " ", "\r"};
  std::mt19937 random(29);
  for (int round = 0; round < 300; ++round) {
    std::string source;
    const int n = static_cast<int>(random() % 240);
    for (int i = 0; i < n; ++i) source += kPieces[random() % std::size(kPieces)];
    const int column = 1 + static_cast<int>(random() % 260);
    const std::string whole = excerpt(source, 1, column, 1 << 14);
    SCOPED_TRACE(source);
    ASSERT_TRUE(valid_utf8(whole));
    if (!whole.empty()) {
      const size_t nl = whole.find('\n');
      const std::string caret = whole.substr(nl + 1);
      EXPECT_EQ(caret.find_first_not_of(" \t", 5), caret.size() - 2) << caret;
      EXPECT_EQ(caret.substr(caret.size() - 2), "^\n");
    }
    const size_t size = 1 + random() % (whole.size() + 1);
    const std::string cut = excerpt(source, 1, column, size);
    EXPECT_TRUE(valid_utf8(cut));
    EXPECT_EQ(whole.compare(0, cut.size(), cut), 0);
  }
}

TEST(Excerpt, ErrorsAndWarningsWithTheirPlace) {
  exp_engine *e = exp_init();
  exp_pcode *p = nullptr;
  const char *text = "date a\ndate b\na - b";
  char out[512];
  EXPECT_EQ(exp_format_error(e, text, out, sizeof out), 0);
  ASSERT_EQ(exp_make_pcode(e, text, &p, EXP_REAL, 0, 0, nullptr), 0);
  int n = exp_format_warning(e, 0, text, out, sizeof out);
  EXPECT_EQ(n, static_cast<int>(std::strlen(out)));
  EXPECT_EQ(std::string(out).substr(0, 33), "warning 1005: a date minus a date");
  EXPECT_NE(std::string(out).find("  --> line 3, column 3\n   | a - b\n   |   ^\n"), std::string::npos) << out;
  exp_pcode *bad = nullptr;
  EXPECT_NE(exp_make_pcode(e, "1 +", &bad, EXP_REAL, 0, 0, nullptr), 0);
  exp_format_error(e, "1 +", out, sizeof out);
  EXPECT_STREQ(out, "error 10: Incomplete expression. End of input reached.\n  --> line 1, column 4\n   | 1 +\n   |    ^\n");
  exp_free_pcode(e, p);
  exp_clean(e);
}

}  // namespace
