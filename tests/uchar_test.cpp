// Tests of the character layer: stepping over valid and invalid UTF-8, classes, case mapping,
// bounded copies and transcoding.
#include "support/uchar.h"
#include "support/utf8.h"
#include "support/utf8_blocks.h"

#include <gtest/gtest.h>
#include <unicode/uchar.h>

#include <clocale>
#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace {

// Byte offsets at which each character of a text starts, plus the terminator's offset.
struct Stepping {
  const char* text;
  std::vector<int> starts;
};

const Stepping kStepping[] = {
    {"", {0}},
    {"abc", {0, 1, 2, 3}},
    {"a\xC3\xA9z", {0, 1, 3, 4}},                     // é
    {"\xE2\x82\xAC\xF0\x9F\x98\x80", {0, 3, 7}},      // € and an emoji
    {"\xFF", {0, 1}},                                 // never valid
    {"a\xC3", {0, 1, 2}},                             // truncated by the terminator
    {"\xE2\x82" "A", {0, 1, 2, 3}},                   // truncated by an ASCII byte
    {"\xC0\xAF", {0, 1, 2}},                          // overlong '/'
    {"\xED\xA0\x80", {0, 1, 2, 3}},                   // encoded surrogate
    {"\xF4\x90\x80\x80", {0, 1, 2, 3, 4}},            // above U+10FFFF
    {"\x80\xC3\xA9\xBF", {0, 1, 3, 4}},               // stray continuation bytes around é
};

TEST(UcharStepping, LengthSeekAndTellAgree) {
  for (const Stepping& t : kStepping) {
    SCOPED_TRACE(testing::PrintToString(std::string(t.text)));
    const int64_t chars = static_cast<int64_t>(t.starts.size()) - 1;
    EXPECT_EQ(np_uchar_length(t.text), chars);
    for (int64_t k = 0; k <= chars; ++k) {
      const char* p = np_uchar_seek(t.text, k);
      ASSERT_NE(p, nullptr);
      EXPECT_EQ(p - t.text, t.starts[k]);
      EXPECT_EQ(np_uchar_tell(t.text, p), k);
    }
    EXPECT_EQ(np_uchar_seek(t.text, chars + 1), nullptr);
    EXPECT_EQ(np_uchar_seek(t.text, -1), nullptr);
  }
}

TEST(UcharStepping, NullTextIsEmpty) {
  EXPECT_EQ(np_uchar_length(nullptr), 0);
  EXPECT_EQ(np_uchar_seek(nullptr, 0), nullptr);
  int len = 9;
  EXPECT_EQ(np_uchar_toint(nullptr, &len), 0);
  EXPECT_EQ(len, 0);
}

TEST(UcharStepping, TellInsideACharacterCountsItsStart) {
  const char text[16] = "a\xE2\x82\xAC" "b";
  EXPECT_EQ(np_uchar_tell(text, text + 2), 2);
  EXPECT_EQ(np_uchar_tell(text, text + 12), 3);  // stops at the terminator
}

TEST(UcharToint, CodePointsAndLengths) {
  struct Case {
    const char* text;
    int32_t cp;
    int len;
  };
  const Case cases[] = {
      {"", 0, 0},           {"A", 'A', 1},       {"\xC3\xA9", 0xE9, 2},    {"\xE2\x82\xAC", 0x20AC, 3},
      {"\xF0\x9F\x98\x80", 0x1F600, 4}, {"\xFF", 0xFFFD, 1}, {"\xC3", 0xFFFD, 1}, {"\xED\xA0\x80", 0xFFFD, 1},
      {"\xF4\x8F\xBF\xBF", 0x10FFFF, 4},
  };
  for (const Case& c : cases) {
    int len = -1;
    EXPECT_EQ(np_uchar_toint(c.text, &len), c.cp) << c.text;
    EXPECT_EQ(len, c.len) << c.text;
  }
}

// ---- classes --------------------------------------------------------------------------------

using ClassFn = int (*)(const char*, int*);

struct NamedClass {
  const char* name;
  ClassFn fn;
  bool (*icu)(UChar32);
};

const NamedClass kClasses[] = {
    {"alpha", np_uchar_isalpha, [](UChar32 c) -> bool { return u_isalpha(c); }},
    {"digit", np_uchar_isdigit, [](UChar32 c) -> bool { return u_isdigit(c); }},
    {"space", np_uchar_isspace, [](UChar32 c) -> bool { return u_isUWhiteSpace(c); }},
    {"upper", np_uchar_isupper, [](UChar32 c) -> bool { return u_isupper(c); }},
    {"lower", np_uchar_islower, [](UChar32 c) -> bool { return u_islower(c); }},
    {"punc", np_uchar_ispunc, [](UChar32 c) -> bool { return u_ispunct(c); }},
    {"ctl", np_uchar_isctl, [](UChar32 c) -> bool { return u_iscntrl(c); }},
    {"comb", np_uchar_iscomb, [](UChar32 c) -> bool { return (U_GET_GC_MASK(c) & U_GC_M_MASK) != 0; }},
};

// The ASCII fast path must give exactly Unicode's answers.
TEST(UcharClasses, AsciiTableMatchesUnicode) {
  for (int c = 1; c < 128; ++c) {
    const char text[2] = {static_cast<char>(c), 0};
    for (const NamedClass& k : kClasses) {
      int len = 0;
      EXPECT_EQ(k.fn(text, &len) != 0, k.icu(c)) << k.name << " of " << c;
      EXPECT_EQ(len, 1);
    }
  }
}

TEST(UcharClasses, NonAsciiCharacters) {
  struct Case {
    const char* text;
    const char* classes;  // names of the classes it belongs to
    int len;
  };
  const Case cases[] = {
      {"\xC3\xA9", "alpha lower", 2},               // é
      {"\xC3\x89", "alpha upper", 2},               // É
      {"\xD9\xA3", "digit", 2},                     // Arabic-Indic three
      {"\xC2\xA0", "space", 2},                     // no-break space
      {"\xE3\x80\x80", "space", 3},                 // ideographic space
      {"\xCC\x81", "comb", 2},                      // combining acute
      {"\xE2\x80\x94", "punc", 3},                  // em dash
      {"\xE2\x82\xAC", "", 3},                      // euro sign: a symbol
      {"\xC2\x85", "space ctl", 2},                 // next line
      {"\xE2\x80\x8B", "ctl", 3},                   // zero width space (format)
      {"\xE4\xB8\xAD", "alpha", 3},                 // a letter without case
      {"\xFF", "", 1},                              // invalid byte: no class
      {"", "", 0},                                  // terminator: no class
  };
  for (const Case& c : cases) {
    const std::string expected = std::string(" ") + c.classes + " ";
    for (const NamedClass& k : kClasses) {
      int len = -1;
      const bool in = k.fn(c.text, &len) != 0;
      EXPECT_EQ(in, expected.find(std::string(" ") + k.name + " ") != std::string::npos)
          << k.name << " of " << testing::PrintToString(std::string(c.text));
      EXPECT_EQ(len, c.len);
    }
  }
}

// ---- case mapping ---------------------------------------------------------------------------

std::string lower(std::string_view s) {
  std::string out(static_cast<std::size_t>(np_uchar_lower(s, nullptr, -1)) + 1, '\0');
  out.resize(static_cast<std::size_t>(np_uchar_lower(s, out.data(), static_cast<int>(out.size()))));
  return out;
}

std::string upper(std::string_view s) {
  std::string out(static_cast<std::size_t>(np_uchar_upper(s, nullptr, -1)) + 1, '\0');
  out.resize(static_cast<std::size_t>(np_uchar_upper(s, out.data(), static_cast<int>(out.size()))));
  return out;
}

TEST(UcharCase, FullMappingInTheRootLocale) {
  struct Case {
    const char* text;
    const char* lower;
    const char* upper;
  };
  const Case cases[] = {
      {"Hello, World 42", "hello, world 42", "HELLO, WORLD 42"},
      {"Stra\xC3\x9F" "e", "stra\xC3\x9F" "e", "STRASSE"},                   // ß grows to SS
      {"\xC4\xB0", "i\xCC\x87", "\xC4\xB0"},                                  // İ lowers to i + dot
      {"\xCE\xA3\xCE\x91\xCE\xA3", "\xCF\x83\xCE\xB1\xCF\x82", "\xCE\xA3\xCE\x91\xCE\xA3"},  // final sigma
      {"\xC3\x89t\xC3\xA9", "\xC3\xA9t\xC3\xA9", "\xC3\x89T\xC3\x89"},
      {"a\xFF" "b", "a\xFF" "b", "A\xFF" "B"},                                 // invalid bytes kept
      {"", "", ""},
  };
  ASSERT_NE(setlocale(LC_CTYPE, "C"), nullptr);
  for (const Case& c : cases) {
    EXPECT_EQ(lower(c.text), c.lower) << c.text;
    EXPECT_EQ(upper(c.text), c.upper) << c.text;
  }
}

TEST(UcharCase, SmallRoomCutsOnWholeCharacters) {
  char buf[8];
  EXPECT_EQ(np_uchar_upper("abcdef", buf, 4), 3);
  EXPECT_STREQ(buf, "ABC");
  EXPECT_EQ(np_uchar_lower("\xC3\x80\xC3\x80", buf, 4), 2);  // "àà" needs 4 bytes; one fits
  EXPECT_STREQ(buf, "\xC3\xA0");
  EXPECT_EQ(np_uchar_upper("\xC3\x9F\xC3\x9F", buf, 4), 3);  // "SSSS" cut to three bytes
  EXPECT_STREQ(buf, "SSS");
  buf[0] = 'x';
  EXPECT_EQ(np_uchar_upper("abc", buf, 0), 0);
  EXPECT_EQ(buf[0], 'x');
  EXPECT_EQ(np_uchar_upper("\xC3\x9F", nullptr, -1), 2);
}

TEST(UcharCase, TurkishLocaleMapsDottedAndDotlessI) {
  locale_t tr = newlocale(LC_CTYPE_MASK, "tr_TR.UTF-8", static_cast<locale_t>(0));
  if (tr == static_cast<locale_t>(0)) GTEST_SKIP() << "tr_TR.UTF-8 is not installed";
  const locale_t old = uselocale(tr);
  EXPECT_EQ(upper("i"), "\xC4\xB0");
  EXPECT_EQ(lower("I"), "\xC4\xB1");
  EXPECT_EQ(lower("\xC4\xB0"), "i");
  uselocale(old);
  freelocale(tr);
}

// Random byte strings (mostly ill-formed UTF-8): the stepping functions agree with each other,
// nothing is read past the terminator (checked under the sanitizers), and measured case
// conversions match what is written.
TEST(UcharStepping, RandomBytesKeepTheInvariants) {
  uint32_t seed = 777;
  auto next = [&seed] { return seed = seed * 1103515245u + 12345u, static_cast<unsigned>(seed >> 16); };
  const unsigned char alphabet[] = {'a', 'I', ' ', 0x80, 0xBF, 0xC3, 0xA9, 0xC4, 0xB0, 0xE2, 0x82, 0xAC,
                                    0xED, 0xA0, 0xF0, 0x9F, 0x98, 0xF4, 0x90, 0xFF, 0xCC, 0x81, 0xDF};
  for (int round = 0; round < 2000; ++round) {
    std::string text(next() % 12, ' ');
    for (char& c : text) c = static_cast<char>(alphabet[next() % sizeof alphabet]);
    SCOPED_TRACE(testing::PrintToString(text));
    const int64_t chars = np_uchar_length(text.c_str());
    const char* end = np_uchar_seek(text.c_str(), chars);
    ASSERT_EQ(end, text.c_str() + text.size());
    EXPECT_EQ(np_uchar_tell(text.c_str(), end), chars);
    int64_t stepped = 0;
    for (const char* p = text.c_str(); *p != 0; ++stepped) {
      int len = 0;
      np_uchar_toint(p, &len);
      ASSERT_GE(len, 1);
      EXPECT_EQ(np_uchar_seek(p, 1), p + len);
      p += len;
    }
    EXPECT_EQ(stepped, chars);
    EXPECT_EQ(lower(text).size(), static_cast<std::size_t>(np_uchar_lower(text, nullptr, -1)));
    EXPECT_EQ(upper(text).size(), static_cast<std::size_t>(np_uchar_upper(text, nullptr, -1)));
    char buf[8];
    const int n = np_uchar_bufncopy(text.c_str(), buf, sizeof buf, 3);
    const char* cut = text.c_str() + n;  // must be a character boundary of the whole text
    EXPECT_EQ(np_uchar_seek(text.c_str(), np_uchar_tell(text.c_str(), cut)), cut);
    EXPECT_EQ(std::string_view(buf), std::string_view(text).substr(0, static_cast<std::size_t>(n)));
    EXPECT_LE(np_uchar_length(buf), 3);
  }
}

// ---- fast paths against the per-character definition ----------------------------------------

// Texts of random pieces, long enough for the eight-byte walk: ASCII runs, well-formed 2-, 3- and
// 4-byte characters (the leads with narrow second-byte ranges among them), and bytes that are not
// well-formed: stray continuation bytes, cut sequences, overlong forms, surrogates, bytes that
// never start a character. The case-sensitive pieces (Turkish i, final sigma, combining dot)
// exercise the language rules.
std::string generated_text(std::mt19937& rng, bool well_formed = false) {
  static const char* const kPieces[] = {
      "a",        "Zq ",      "hello, World", " ",        "\t",      "I",        "i",
      "\xC3\xA9", "\xD0\x9F", "\xCE\xA3",     "\xC3\x9F", "\xC4\xB0", "\xC4\xB1", "\xCC\x87",
      "\xE6\x97\xA5", "\xE2\x82\xAC", "\xE0\xA4\x85", "\xED\x9F\xBF", "\xEF\xBF\xBD", "\xE3\x80\x80",
      "\xF0\x9F\x98\x80", "\xF4\x8F\xBF\xBF", "\x80", "\xBF\xBF", "\xC3", "\xE2\x82", "\xF0\x9F\x98",
      "\xC0\xAF", "\xE0\x80\xAF", "\xED\xA0\x80", "\xF4\x90\x80\x80", "\xF5\x80", "\xFF"};
  constexpr std::size_t kWellFormedPieces = 22;  // the pieces before the first ill-formed one
  std::string text;
  const std::size_t pieces = rng() % (well_formed ? 80 : 40);
  for (std::size_t i = 0; i < pieces; ++i) {
    // Long runs of one kind of character reach the eight-byte path; mixed pieces break it.
    const char* piece = kPieces[rng() % (well_formed ? kWellFormedPieces : std::size(kPieces))];
    for (std::size_t n = rng() % 4 == 0 ? rng() % 12 : 1; n > 0; --n) text += piece;
  }
  return text;
}

// Well-formed text with, in half of the cases, one byte replaced by a byte that often breaks it
// (at any place, so the fault lands at every position within a block, or at its edges).
std::string nearly_well_formed_text(std::mt19937& rng) {
  static const unsigned char kBreakers[] = {0x80, 0xBF, 0xC0, 0xC1, 0xC2, 0xDF, 0xE0, 0xED, 0xEF,
                                            0xF0, 0xF4, 0xF5, 0xFF, 0x9F, 0xA0, 0x8F, 0x90, 'a'};
  std::string text = generated_text(rng, true);
  if (!text.empty() && rng() % 2 == 0) {
    text[rng() % text.size()] = static_cast<char>(kBreakers[rng() % std::size(kBreakers)]);
  }
  return text;
}

// Byte offsets of the characters of a text, stepping one character at a time with
// np_uchar_toint, plus the terminator's offset.
std::vector<std::size_t> character_starts(const std::string& text) {
  std::vector<std::size_t> starts{0};
  for (std::size_t at = 0; at < text.size();) {
    int len = 0;
    np_uchar_toint(text.c_str() + at, &len);
    starts.push_back(at += static_cast<std::size_t>(len));
  }
  return starts;
}

// Bytes of the longest prefix of whole characters within both limits, from the starts.
std::size_t expected_prefix(const std::vector<std::size_t>& starts, std::size_t max_bytes, std::size_t max_chars) {
  std::size_t k = 0;
  while (k + 1 < starts.size() && k < max_chars && starts[k + 1] <= max_bytes) ++k;
  return starts[k];
}

TEST(UcharFastPaths, SteppingMatchesOneCharacterAtATime) {
  std::mt19937 rng(2026);
  for (int round = 0; round < 3000; ++round) {
    const std::string text = round % 2 ? generated_text(rng) : nearly_well_formed_text(rng);
    SCOPED_TRACE(testing::PrintToString(text));
    const std::vector<std::size_t> starts = character_starts(text);
    const auto chars = static_cast<int64_t>(starts.size()) - 1;
    const char* s = text.c_str();
    ASSERT_EQ(np_uchar_length(s), chars);
    for (int64_t k = 0; k <= chars; ++k) ASSERT_EQ(np_uchar_seek(s, k), s + starts[static_cast<std::size_t>(k)]) << k;
    EXPECT_EQ(np_uchar_seek(s, chars + 1), nullptr);
    for (std::size_t at = 0, k = 0; at <= text.size(); ++at) {
      while (k < starts.size() && starts[k] < at) ++k;  // characters starting before `at`
      ASSERT_EQ(np_uchar_tell(s, s + at), std::min<int64_t>(static_cast<int64_t>(k), chars)) << at;
    }
    std::vector<char> buf(text.size() + 1);
    for (std::size_t max_bytes = 0; max_bytes <= text.size(); max_bytes += 1 + max_bytes / 4) {
      ASSERT_EQ(np_uchar_cut(text, max_bytes), expected_prefix(starts, max_bytes, SIZE_MAX)) << max_bytes;
      const std::size_t max_chars = rng() % (starts.size() + 1);
      const int n = np_uchar_bufncopy(s, buf.data(), static_cast<int>(max_bytes) + 1, static_cast<int64_t>(max_chars));
      ASSERT_EQ(static_cast<std::size_t>(n), expected_prefix(starts, max_bytes, max_chars)) << max_bytes;
    }
    for (int64_t k = 0; k <= chars; ++k) {
      ASSERT_EQ(utf8::seek_back(text, k), starts[static_cast<std::size_t>(chars - k)]) << k;
    }
    EXPECT_EQ(utf8::seek_back(text, chars + 1), std::string_view::npos);
    for (int trial = 0; trial < 16; ++trial) {  // first and count from -1 to one past the end
      const int64_t first = static_cast<int64_t>(rng() % static_cast<std::size_t>(chars + 3)) - 1;
      const int64_t count = static_cast<int64_t>(rng() % static_cast<std::size_t>(chars + 3)) - 1;
      const utf8::Slice part = utf8::slice(text, first, count);
      if (first < 0 || first > chars) {
        ASSERT_EQ(part.offset, std::string_view::npos) << first;
        continue;
      }
      const int64_t last = count < 0 ? chars : std::min(chars, first + count);
      ASSERT_EQ(part.offset, starts[static_cast<std::size_t>(first)]) << first << " " << count;
      ASSERT_EQ(part.offset + part.size, starts[static_cast<std::size_t>(last)]) << first << " " << count;
      ASSERT_EQ(part.chars, last - first) << first << " " << count;
    }
  }
}

// The vector scan decides well-formedness and counts leads as decoding one character at a time
// does, and finds every lead from either end.
TEST(UcharFastPaths, BlockScanMatchesDecoding) {
  if (!utf8::blocks::available()) GTEST_SKIP() << "no vector path on this processor";
  std::mt19937 rng(77);
  for (int round = 0; round < 4000; ++round) {
    const std::string text = round % 4 ? nearly_well_formed_text(rng) : generated_text(rng);
    SCOPED_TRACE(testing::PrintToString(text));
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    std::vector<std::size_t> leads;
    for (std::size_t i = 0; i < text.size(); ++i) {
      if ((p[i] & 0xC0) != 0x80) leads.push_back(i);
    }
    bool well_formed = true;
    for (std::size_t at = 0; at < text.size();) {
      const utf8::Char c = utf8::decode(p + at, text.size() - at);
      well_formed = well_formed && c.valid;
      at += static_cast<std::size_t>(c.len);
    }
    const utf8::blocks::Scan scan = utf8::blocks::scan(text);
    ASSERT_EQ(scan.well_formed, well_formed);
    ASSERT_EQ(scan.leads, static_cast<int64_t>(leads.size()));
    const auto n = static_cast<int64_t>(leads.size());
    for (int64_t k = 0; k < n; ++k) {
      ASSERT_EQ(utf8::blocks::nth_lead(text, k), leads[static_cast<std::size_t>(k)]) << k;
      ASSERT_EQ(utf8::blocks::nth_lead_from_end(text, k + 1), leads[static_cast<std::size_t>(n - 1 - k)]) << k;
    }
    EXPECT_EQ(utf8::blocks::nth_lead(text, n), text.size());
    EXPECT_EQ(utf8::blocks::nth_lead(text, n + 1), std::string_view::npos);
    EXPECT_EQ(utf8::blocks::nth_lead_from_end(text, n + 1), std::string_view::npos);
  }
}

using Whole = int (*)(std::string_view, char*, int, int64_t*);
using Reference = std::string (*)(std::string_view);
const std::pair<Whole, Reference> kWholeAndReference[] = {{np_uchar_upper_whole, upper}, {np_uchar_lower_whole, lower}};

std::string whole_map(Whole whole, std::string_view s) {
  std::string out(4 * s.size() + 1, '\0');
  int64_t chars = 0;
  out.resize(static_cast<std::size_t>(whole(s, out.data(), static_cast<int>(out.size()), &chars)));
  if (chars >= 0) {
    EXPECT_EQ(chars, np_uchar_length(out.c_str())) << "characters counted on the way";
  }
  return out;
}
std::string whole_upper(std::string_view s) { return whole_map(np_uchar_upper_whole, s); }
std::string whole_lower(std::string_view s) { return whole_map(np_uchar_lower_whole, s); }

// The one-pass conversion the built-ins use gives the measured-then-written conversion, fits
// exactly when it says so, and follows a change of language within the thread.
TEST(UcharFastPaths, WholeCaseMappingMatchesTheTwoPassOne) {
  locale_t tr = newlocale(LC_CTYPE_MASK, "tr_TR.UTF-8", static_cast<locale_t>(0));
  std::mt19937 rng(16);
  for (int round = 0; round < 600; ++round) {
    const bool turkish = tr != static_cast<locale_t>(0) && round % 3 == 2;
    const locale_t old = turkish ? uselocale(tr) : static_cast<locale_t>(0);
    const std::string text = generated_text(rng);
    SCOPED_TRACE(testing::PrintToString(text) + (turkish ? " (tr)" : ""));
    for (auto [whole, reference] : kWholeAndReference) {
      const std::string expected = reference(text);
      const auto need = static_cast<int>(expected.size());
      std::string out(expected.size() + 1, 'Z');
      int64_t chars = 0;
      ASSERT_EQ(whole(text, out.data(), need + 1, &chars), need);
      EXPECT_EQ(out.substr(0, expected.size()), expected);
      EXPECT_EQ(out[expected.size()], '\0');
      if (chars >= 0) {
        EXPECT_EQ(chars, np_uchar_length(expected.c_str()));
      }
      EXPECT_EQ(whole(text, out.data(), need, nullptr), need);  // one byte short: reported, not written whole
    }
    if (turkish) uselocale(old);
  }
  if (tr != static_cast<locale_t>(0)) freelocale(tr);
  // Every two-byte character and one three-byte character of each block, alone and between
  // letters, in both directions.
  for (int32_t cp = 0x80; cp < 0x10000; cp += cp < 0x800 ? 1 : 61) {
    char buf[4];
    const std::string c(buf, static_cast<std::size_t>(np_uchar_intcopy(cp, buf, sizeof buf)));
    for (const std::string& text : {c, "A" + c + "b", "A" + c}) {
      EXPECT_EQ(whole_upper(text), upper(text)) << cp;
      EXPECT_EQ(whole_lower(text), lower(text)) << cp;
    }
  }
}

TEST(UcharIcomp, FoldedComparison) {
  struct Case {
    const char* a;
    const char* b;
    int sign;
  };
  const Case cases[] = {
      {"abc", "ABC", 0},
      {"Total", "TOTAL", 0},
      {"Stra\xC3\x9F" "e", "STRASSE", 0},
      {"\xC3\xA9t\xC3\xA9", "\xC3\x89T\xC3\x89", 0},
      {"k", "\xE2\x84\xAA", 0},          // Kelvin sign folds to k
      {"a", "B", -1},
      {"B", "a", 1},
      {"ab", "a", 1},
      {"", "a", -1},
      {"", "", 0},
      {"z", "\xC3\xA9", -1},             // code point order: z < é
      {"\xFE", "\xFF", -1},              // invalid bytes compare as bytes
      {"x\xFF", "X\xFF", 0},
  };
  for (const Case& c : cases) {
    const int r = np_uchar_icomp(c.a, c.b);
    EXPECT_EQ((r > 0) - (r < 0), c.sign) << c.a << " vs " << c.b;
    const int back = np_uchar_icomp(c.b, c.a);
    EXPECT_EQ((back > 0) - (back < 0), -c.sign) << c.b << " vs " << c.a;
  }
  EXPECT_EQ(np_uchar_icomp(static_cast<const char*>(nullptr), ""), 0);
}

// ---- copying --------------------------------------------------------------------------------

TEST(UcharCopy, BoundedCopiesNeverSplitCharacters) {
  struct Case {
    const char* source;
    int size;
    int64_t chars;  // -1: only the byte bound
    const char* expected;
  };
  const Case cases[] = {
      {"abcdef", 4, -1, "abc"},
      {"abc", 10, -1, "abc"},
      {"a\xE2\x82\xAC", 4, -1, "a"},                 // € needs 3 more bytes, only 2 left
      {"a\xE2\x82\xAC", 5, -1, "a\xE2\x82\xAC"},
      {"\xC3\xA9\xC3\xA9\xC3\xA9", 100, 2, "\xC3\xA9\xC3\xA9"},
      {"\xC3\xA9\xC3\xA9\xC3\xA9", 4, 3, "\xC3\xA9"},
      {"abc", 10, 0, ""},
      {"a\xFF\xFF" "b", 4, -1, "a\xFF\xFF"},        // invalid bytes are one character each
      {"abc", 1, -1, ""},
  };
  for (const Case& c : cases) {
    char buf[128];
    std::memset(buf, 'Z', sizeof buf);
    const int n = np_uchar_bufncopy(c.source, buf, c.size, c.chars);
    EXPECT_STREQ(buf, c.expected) << c.source;
    EXPECT_EQ(n, static_cast<int>(std::strlen(c.expected)));
    EXPECT_EQ(buf[c.size], 'Z') << "wrote past the size";
    if (c.chars < 0) {
      EXPECT_EQ(np_uchar_bufcopy(c.source, buf, c.size), n);
      EXPECT_STREQ(buf, c.expected);
    }
  }
  char buf[4] = "xyz";
  EXPECT_EQ(np_uchar_bufcopy("abc", buf, 0), 0);
  EXPECT_STREQ(buf, "xyz");
}

TEST(UcharCopy, Intcopy) {
  struct Case {
    int32_t cp;
    int room;
    const char* expected;  // nullptr: nothing written
  };
  const Case cases[] = {
      {'A', 4, "A"},
      {0xE9, 4, "\xC3\xA9"},
      {0x20AC, 4, "\xE2\x82\xAC"},
      {0x1F600, 4, "\xF0\x9F\x98\x80"},
      {0x10FFFF, 4, "\xF4\x8F\xBF\xBF"},
      {0x1F600, 3, nullptr},
      {0xD800, 4, nullptr},
      {0x110000, 4, nullptr},
      {-1, 4, nullptr},
  };
  for (const Case& c : cases) {
    char buf[5] = {};
    const int n = np_uchar_intcopy(c.cp, buf, c.room);
    if (c.expected == nullptr) {
      EXPECT_EQ(n, 0) << c.cp;
    } else {
      EXPECT_EQ(std::string(buf, static_cast<std::size_t>(n)), c.expected) << c.cp;
      int len = 0;
      EXPECT_EQ(np_uchar_toint(buf, &len), c.cp);
      EXPECT_EQ(len, n);
    }
  }
}

TEST(UcharCopy, CutAtByteLimit) {
  const std::string_view text = "ab\xE2\x82\xAC" "c";
  const std::size_t expected[] = {0, 1, 2, 2, 2, 5, 6, 6};
  for (std::size_t limit = 0; limit < std::size(expected); ++limit) {
    EXPECT_EQ(np_uchar_cut(text, limit), expected[limit]) << limit;
  }
  EXPECT_EQ(np_uchar_cut("\xE2\x82", 1), 1u);  // a truncated sequence is two one-byte characters
}

// ---- encodings ------------------------------------------------------------------------------

TEST(UcharEncodings, NamesAndIdentifiers) {
  struct Case {
    const char* name;
    int id;
  };
  const Case cases[] = {
      {"UTF-8", 0},           {"utf8", 0},          {"ISO-8859-1", 10},  {"latin1", 10},
      {"windows-1252", 31},   {"CP1252", 31},       {"UTF-16LE", 2},     {"no-such-charset", -1},
      {"", -1},               {nullptr, -1},        {"ANSI_X3.4-1968", 7},
  };
  for (const Case& c : cases) EXPECT_EQ(np_uchar_getenc(c.name), c.id) << (c.name ? c.name : "null");
  EXPECT_STREQ(np_uchar_encname(31), "windows-1252");
  EXPECT_EQ(np_uchar_encname(-1), nullptr);
  EXPECT_EQ(np_uchar_encname(999), nullptr);

  // A converter outside the fixed table gets an identifier that maps back to itself.
  const int id = np_uchar_getenc("ibm-1140");
  ASSERT_GE(id, NP_UCHAR_ENC_ICU_BASE);
  EXPECT_EQ(np_uchar_getenc(np_uchar_encname(id)), id);
}

TEST(UcharEncodings, RoundTrips) {
  struct Case {
    const char* encoding;
    std::string utf8;
    std::string encoded;
  };
  const Case cases[] = {
      {"ISO-8859-1", "caf\xC3\xA9", "caf\xE9"},
      {"windows-1252", "\xE2\x82\xAC" "5", std::string("\x80" "5")},
      {"UTF-16LE", "\xC3\xA9\xE2\x82\xAC", std::string("\xE9\x00\xAC\x20", 4)},
      {"UTF-16BE", "A\xF0\x9F\x98\x80", std::string("\x00\x41\xD8\x3D\xDE\x00", 6)},
      {"KOI8-R", "\xD0\xB4\xD0\xB0", "\xC4\xC1"},
      {"UTF-8", "\xC3\xA9", "\xC3\xA9"},
      {"ISO-8859-1", "", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.encoding);
    const int id = np_uchar_getenc(c.encoding);
    ASSERT_GE(id, 0);
    char buf[32];
    std::memset(buf, 'Z', sizeof buf);
    const int n = np_uchar_decode(id, c.utf8, buf, sizeof buf);
    ASSERT_EQ(n, static_cast<int>(c.encoded.size()));
    EXPECT_EQ(std::string(buf, static_cast<std::size_t>(n)), c.encoded);
    EXPECT_EQ(buf[n], '\0');  // terminated

    char back[32];
    const int m = np_uchar_encode(id, c.encoded, back, sizeof back);
    ASSERT_EQ(m, static_cast<int>(c.utf8.size()));
    EXPECT_EQ(std::string(back), c.utf8);
  }
}

TEST(UcharEncodings, Failures) {
  char buf[8];
  const int latin1 = np_uchar_getenc("ISO-8859-1");
  EXPECT_EQ(np_uchar_decode(latin1, "\xE2\x82\xAC", buf, sizeof buf), NP_UCHAR_ERR_INVALID);  // € missing
  EXPECT_EQ(np_uchar_decode(latin1, "a\xFF", buf, sizeof buf), NP_UCHAR_ERR_INVALID);         // bad UTF-8
  EXPECT_EQ(np_uchar_encode(NP_UCHAR_ENC_UTF8, "a\xFF", buf, sizeof buf), NP_UCHAR_ERR_INVALID);
  EXPECT_EQ(np_uchar_decode(latin1, "abcd", buf, 4), NP_UCHAR_ERR_ROOM);  // no room for the NUL
  EXPECT_EQ(np_uchar_decode(latin1, "abc", buf, 4), 3);
  EXPECT_EQ(np_uchar_encode(latin1, "\xE9\xE9\xE9\xE9", buf, 8), NP_UCHAR_ERR_ROOM);  // 8 + NUL
  EXPECT_EQ(np_uchar_decode(NP_UCHAR_ENC_UTF16LE, "a", buf, 3), NP_UCHAR_ERR_ROOM);  // 2 + 2-byte NUL
  EXPECT_EQ(np_uchar_decode(999, "a", buf, sizeof buf), NP_UCHAR_ERR_ENCODING);
  EXPECT_EQ(np_uchar_encode(-1, "a", buf, sizeof buf), NP_UCHAR_ERR_ENCODING);
}

TEST(UcharEncodings, CharsetFallsBackToWindows1252) {
  char buf[32];
  EXPECT_EQ(np_uchar_encode_charset(nullptr, "M\xE4rz", buf, sizeof buf), 5);
  EXPECT_STREQ(buf, "M\xC3\xA4rz");
  EXPECT_EQ(np_uchar_encode_charset("bogus", "\x80", buf, sizeof buf), 3);
  EXPECT_STREQ(buf, "\xE2\x82\xAC");
  EXPECT_EQ(np_uchar_encode_charset("ANSI_X3.4-1968", "March", buf, sizeof buf), 5);
  EXPECT_EQ(np_uchar_encode_charset("UTF-8", "M\xC3\xA4rz", buf, sizeof buf), 5);
}

}  // namespace
