// Case mapping from tables made once from ICU. A two-byte character is covered when ICU's root
// mapping turns it, on its own, into one two-byte character; the one exception is capital sigma,
// whose lower case depends on the letters around it. A three-byte character is covered when no
// character of its block of 64 has case, so it maps to itself.
#include "support/case_tables.h"

#include "support/utf8.h"

#include <unicode/uchar.h>
#include <unicode/ucasemap.h>

#include <algorithm>
#include <array>
#include <bitset>
#include <cstdint>
#include <cstring>

namespace case_tables {
namespace {

using Byte = unsigned char;

constexpr char32_t kFirstTwoByte = 0x80;
constexpr char32_t kFirstThreeByte = 0x800;
constexpr char32_t kCapitalSigma = 0x3A3;

// Images of the two-byte code points in one direction, as their two UTF-8 bytes; {0, 0} for a
// code point that is not covered.
using TwoByteImages = std::array<std::array<Byte, 2>, kFirstThreeByte - kFirstTwoByte>;

struct Tables {
  TwoByteImages upper{};
  TwoByteImages lower{};
  std::bitset<0x10000 / 64> caseless_blocks;  // by code point / 64, for three-byte code points
};

// ICU's root mapping of one two-byte character, kept when it is one two-byte character.
std::array<Byte, 2> root_image(const UCaseMap* map, bool upper, char32_t cp) {
  const char in[2] = {static_cast<char>(0xC0 | (cp >> 6)), static_cast<char>(0x80 | (cp & 0x3F))};
  char out[16];
  UErrorCode err = U_ZERO_ERROR;
  const int32_t n = upper ? ucasemap_utf8ToUpper(map, out, sizeof out, in, 2, &err)
                          : ucasemap_utf8ToLower(map, out, sizeof out, in, 2, &err);
  const auto* image = reinterpret_cast<const Byte*>(out);
  if (U_FAILURE(err) || n != 2 || utf8::char_length(image, 2) != 2) return {0, 0};
  return {image[0], image[1]};
}

// True when no code point of the 64 from `first` has case or is a surrogate.
bool caseless_block(char32_t first) {
  for (char32_t cp = first; cp < first + 64; ++cp) {
    const auto c = static_cast<UChar32>(cp);
    if ((cp >= 0xD800 && cp <= 0xDFFF) || u_toupper(c) != c || u_tolower(c) != c ||
        u_hasBinaryProperty(c, UCHAR_CHANGES_WHEN_UPPERCASED) || u_hasBinaryProperty(c, UCHAR_CHANGES_WHEN_LOWERCASED))
      return false;
  }
  return true;
}

Tables build() {
  Tables t;
  UErrorCode err = U_ZERO_ERROR;
  UCaseMap* map = ucasemap_open("", 0, &err);
  if (U_FAILURE(err) || map == nullptr) return t;  // nothing covered: ICU maps everything
  for (char32_t cp = kFirstTwoByte; cp < kFirstThreeByte; ++cp) {
    t.upper[cp - kFirstTwoByte] = root_image(map, true, cp);
    if (cp != kCapitalSigma) t.lower[cp - kFirstTwoByte] = root_image(map, false, cp);
  }
  ucasemap_close(map);
  for (char32_t block = kFirstThreeByte / 64; block < t.caseless_blocks.size(); ++block)
    t.caseless_blocks[block] = caseless_block(block * 64);
  return t;
}

// Made on first use and never changed afterwards.
const Tables& tables() {
  static const Tables t = build();
  return t;
}

Byte ascii_image(bool upper, Byte c) {
  const Byte first = upper ? 'a' : 'A';
  return static_cast<Byte>(c - first) < 26 ? static_cast<Byte>(c ^ 0x20) : c;
}

}  // namespace

bool maps_like_root(std::string_view language) {
  static constexpr std::string_view kOwnRules[] = {"tr", "tur", "az", "aze", "lt", "lit",
                                                   "el", "ell", "nl", "nld", "hy", "hye"};
  const auto same = [language](std::string_view rule) {
    if (rule.size() != language.size()) return false;
    for (std::size_t i = 0; i < rule.size(); ++i)
      if ((language[i] | 0x20) != rule[i]) return false;  // ASCII letters without regard to case
    return true;
  };
  return std::none_of(std::begin(kOwnRules), std::end(kOwnRules), same);
}

bool map(bool upper, std::string_view text, char* out, int64_t* chars) {
  const Tables& t = tables();
  const TwoByteImages& images = upper ? t.upper : t.lower;
  const auto* p = reinterpret_cast<const Byte*>(text.data());
  const std::size_t n = text.size();
  int64_t count = 0;
  for (std::size_t i = 0; i < n; ++count) {
    const Byte b = p[i];
    if (b < 0x80) {
      out[i++] = static_cast<char>(ascii_image(upper, b));
      continue;
    }
    // A two-byte character is well-formed when its lead is C2-DF and a continuation byte follows.
    if (b >= 0xC2 && b <= 0xDF && i + 1 < n && (p[i + 1] & 0xC0) == 0x80) {
      const std::array<Byte, 2>& image = images[(((b & 0x1Fu) << 6) | (p[i + 1] & 0x3Fu)) - kFirstTwoByte];
      if (image[0] == 0) return false;
      std::memcpy(out + i, image.data(), 2);
      i += 2;
      continue;
    }
    if (utf8::char_length(p + i, n - i) != 3 || !t.caseless_blocks[((b & 0x0Fu) << 6) | (p[i + 1] & 0x3Fu)]) return false;
    std::memcpy(out + i, p + i, 3);
    i += 3;
  }
  *chars = count;
  return true;
}

}  // namespace case_tables
