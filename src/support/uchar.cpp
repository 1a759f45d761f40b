// The character layer on ICU. Stepping and counting follow the one UTF-8 definition in utf8.h
// (the rules for what is one character must be identical everywhere); classes, case mapping,
// case folding and transcoding are ICU's.
#include "support/uchar.h"

#include "support/case_tables.h"
#include "support/utf8.h"
#include "support/utf8_blocks.h"
#include "support/process_locale.h"

#include <unicode/bytestream.h>
#include <unicode/casemap.h>
#include <unicode/ucasemap.h>
#include <unicode/stringpiece.h>
#include <unicode/uchar.h>
#include <unicode/ucnv.h>

#include <langinfo.h>

#include <algorithm>
#include <array>
#include <climits>
#include <cstring>
#include <memory>
#include <string>

namespace {

using Byte = unsigned char;

// ---- UTF-8 decoding -------------------------------------------------------------------------

using utf8::Char;

constexpr Char kEnd{0, 0, false};

const Byte* bytes(const char* text) { return reinterpret_cast<const Byte*>(text); }

// The character at a position of NUL-terminated text (kEnd at the terminator or for nullptr).
Char char_at(const char* position) {
  if (position == nullptr || *position == '\0') return kEnd;
  return utf8::decode(bytes(position), SIZE_MAX);
}

// Length of the longest prefix of `text` made of whole characters that takes at most
// `max_bytes` bytes and `max_chars` characters. Only the last few characters before the byte
// limit are stepped one at a time (a character may start up to three bytes before it and end
// after it); `text` must reach three bytes past `max_bytes` when it is longer.
std::size_t whole_prefix(std::string_view text, std::size_t max_bytes, int64_t max_chars) {
  const utf8::Walk bulk = utf8::walk(text, max_bytes > 3 ? max_bytes - 3 : 0, max_chars);
  std::size_t n = bulk.offset;
  for (int64_t chars = bulk.chars; n < text.size() && chars < max_chars; ++chars) {
    const auto len = static_cast<std::size_t>(utf8::char_length(bytes(text.data()) + n, text.size() - n));
    if (n + len > max_bytes) break;
    n += len;
  }
  return n;
}

using utf8::kEachByte;
using utf8::kHighBits;
using utf8::load_word;

using utf8::is_ascii;

// ---- classes --------------------------------------------------------------------------------

enum ClassBit : uint8_t {
  kAlpha = 1,
  kDigit = 2,
  kSpace = 4,
  kUpper = 8,
  kLower = 16,
  kPunct = 32,
  kControl = 64,
  kCombining = 128,
};

// Unicode classes of the ASCII characters, so ASCII never reaches ICU. The punctuation set is
// Unicode's (general category P), not the C library's: $ + < = > ^ ` | ~ are symbols.
constexpr uint8_t ascii_classes(Byte c) {
  constexpr std::string_view punct = "!\"#%&'()*,-./:;?@[\\]_{}";
  uint8_t bits = 0;
  if (c >= 'A' && c <= 'Z') bits |= kAlpha | kUpper;
  if (c >= 'a' && c <= 'z') bits |= kAlpha | kLower;
  if (c >= '0' && c <= '9') bits |= kDigit;
  if (np_ascii_isspace(c)) bits |= kSpace;
  if (c < 0x20 || c == 0x7F) bits |= kControl;
  if (c != 0 && punct.find(static_cast<char>(c)) != std::string_view::npos) bits |= kPunct;
  return bits;
}

constexpr std::array<uint8_t, 128> kAsciiClasses = [] {
  std::array<uint8_t, 128> table{};
  for (int c = 0; c < 128; ++c) table[c] = ascii_classes(static_cast<Byte>(c));
  return table;
}();

// Whether a non-ASCII code point belongs to a class, asked from ICU.
bool unicode_in_class(char32_t cp, ClassBit bit) {
  const auto c = static_cast<UChar32>(cp);
  switch (bit) {
    case kAlpha: return u_isalpha(c);
    case kDigit: return u_isdigit(c);
    case kSpace: return u_isUWhiteSpace(c);
    case kUpper: return u_isupper(c);
    case kLower: return u_islower(c);
    case kPunct: return u_ispunct(c);
    case kControl: return u_iscntrl(c);
    case kCombining: return (U_GET_GC_MASK(c) & U_GC_M_MASK) != 0;
  }
  return false;
}

// The shared body of the np_uchar_is* functions.
int classify(const char* position, int* byte_length, ClassBit bit) {
  const Byte first = position != nullptr ? static_cast<Byte>(*position) : 0;
  if (first != 0 && first < 0x80) {
    if (byte_length != nullptr) *byte_length = 1;
    return (kAsciiClasses[first] & bit) != 0;
  }
  const Char ch = char_at(position);
  if (byte_length != nullptr) *byte_length = ch.len;
  if (!ch.valid) return 0;
  if (ch.cp < 0x80) return (kAsciiClasses[ch.cp] & bit) != 0;
  return unicode_in_class(ch.cp, bit);
}

// ---- case mapping ---------------------------------------------------------------------------

enum class CaseOp { Lower, Upper };

// Language part of the current LC_CTYPE locale ("tr" for "tr_TR.UTF-8"), which is all ICU's case
// mapping looks at; empty for the C and POSIX locales. Reads the calling thread's locale, so a
// thread-local locale switch is honoured.
std::array<char, 16> case_language() {
  std::array<char, 16> lang{};
  process_locale_ctype_language(lang.data(), lang.size());
  if (std::strcmp(lang.data(), "C") == 0 || std::strcmp(lang.data(), "POSIX") == 0) lang.fill('\0');
  return lang;
}

// Turkish and Azeri map the ASCII letters i and I differently, so ASCII text cannot take the
// fast path there.
bool is_turkic(const char* lang) { return std::strcmp(lang, "tr") == 0 || std::strcmp(lang, "az") == 0; }

char ascii_map(CaseOp op, char c) {
  if (op == CaseOp::Upper && c >= 'a' && c <= 'z') return static_cast<char>(c - 'a' + 'A');
  if (op == CaseOp::Lower && c >= 'A' && c <= 'Z') return static_cast<char>(c - 'A' + 'a');
  return c;
}

// Maps eight ASCII bytes at once: the bytes from `first` to `last` (letters of one case) get
// their 0x20 bit flipped. Adding to the low seven bits of each byte never carries into the next.
uint64_t ascii_map_word(uint64_t w, char first, char last) {
  const uint64_t low = w & ~kHighBits;
  const uint64_t from_first = low + kEachByte * static_cast<uint64_t>(0x80 - first);
  const uint64_t past_last = low + kEachByte * static_cast<uint64_t>(0x7F - last);
  return w ^ (((from_first & ~past_last) & kHighBits) >> 2);
}

// Case mapping of pure ASCII text: same length, byte for byte.
int ascii_case(CaseOp op, std::string_view text, char* buffer, int room) {
  if (buffer == nullptr) return static_cast<int>(text.size());
  if (room < 1) return 0;
  const std::size_t n = std::min(text.size(), static_cast<std::size_t>(room - 1));
  const char first = op == CaseOp::Upper ? 'a' : 'A';
  const char last = static_cast<char>(first + 25);
  auto map_word = [&](std::size_t at) {
    const uint64_t w = ascii_map_word(load_word(text.data() + at), first, last);
    std::memcpy(buffer + at, &w, sizeof w);
  };
  if (n < 8) {
    for (std::size_t i = 0; i < n; ++i) buffer[i] = ascii_map(op, text[i]);
  } else {
    // The last word ends with the text and may overlap the one before: mapping is idempotent, so
    // the bytes it maps again (or reads back mapped, in place) come out the same.
    for (std::size_t i = 0; i + 8 < n; i += 8) map_word(i);
    map_word(n - 8);
  }
  buffer[n] = '\0';
  return static_cast<int>(n);
}

// An ICU byte sink that only counts, for measuring a conversion.
class CountingSink : public icu::ByteSink {
 public:
  void Append(const char*, int32_t n) override { count_ += n; }
  int64_t count() const { return count_; }

 private:
  int64_t count_ = 0;
};

void icu_case(CaseOp op, const char* lang, std::string_view text, icu::ByteSink& sink) {
  UErrorCode err = U_ZERO_ERROR;
  const icu::StringPiece piece(text.data(), static_cast<int32_t>(text.size()));
  if (op == CaseOp::Upper) {
    icu::CaseMap::utf8ToUpper(lang, 0, piece, sink, nullptr, err);
  } else {
    icu::CaseMap::utf8ToLower(lang, 0, piece, sink, nullptr, err);
  }
}

// Writes the ICU case mapping into the buffer; when it does not fit, the whole result is made
// on the heap and cut on a character boundary so no character is split.
int icu_case_into(CaseOp op, const char* lang, std::string_view text, char* buffer, int room) {
  if (room < 1) return 0;
  icu::CheckedArrayByteSink direct(buffer, room - 1);
  icu_case(op, lang, text, direct);
  std::size_t n = static_cast<std::size_t>(direct.NumberOfBytesWritten());
  if (direct.Overflowed()) {
    std::string full;
    icu::StringByteSink<std::string> sink(&full);
    icu_case(op, lang, text, sink);
    n = np_uchar_cut(full, static_cast<std::size_t>(room - 1));
    std::memcpy(buffer, full.data(), n);
  }
  buffer[n] = '\0';
  return static_cast<int>(n);
}

int map_case(CaseOp op, std::string_view text, char* buffer, int room) {
  if (text.size() > static_cast<std::size_t>(INT32_MAX)) return -1;
  const auto lang = case_language();
  if (!is_turkic(lang.data()) && is_ascii(text)) return ascii_case(op, text, buffer, room);
  if (buffer != nullptr) return icu_case_into(op, lang.data(), text, buffer, room);
  CountingSink counter;
  icu_case(op, lang.data(), text, counter);
  return counter.count() > INT_MAX ? -1 : static_cast<int>(counter.count());
}

struct CaseMapCloser {
  void operator()(UCaseMap* m) const { ucasemap_close(m); }
};

// ICU's case-mapping object for a language, opened on first use and kept by the thread for the
// language it used last: opening one looks the language up, which costs about as much as mapping
// a short text, and the language changes only with the locale. Kept per thread, not shared,
// because the engine takes no locks and engines on other threads may map text at the same time.
using Language = std::array<char, 16>;

const UCaseMap* case_map_for(const Language& lang) {
  struct Cached {
    Language lang{};
    std::unique_ptr<UCaseMap, CaseMapCloser> map;
  };
  thread_local Cached cached;
  if (!cached.map || cached.lang != lang) {
    UErrorCode err = U_ZERO_ERROR;
    cached.map.reset(ucasemap_open(lang.data(), 0, &err));
    if (U_FAILURE(err)) cached.map.reset();
    cached.lang = lang;
  }
  return cached.map.get();
}

// The ICU mapping in one pass: written whole into the buffer when it fits there with a
// terminator, its byte length returned either way.
int icu_case_whole(CaseOp op, const Language& lang, std::string_view text, char* buffer, int room) {
  const UCaseMap* map = case_map_for(lang);
  if (map == nullptr) {  // no object could be opened: measure, then write
    CountingSink counter;
    icu_case(op, lang.data(), text, counter);
    if (counter.count() > INT_MAX) return -1;
    const int need = static_cast<int>(counter.count());
    if (need < room) icu_case_into(op, lang.data(), text, buffer, room);
    return need;
  }
  const int32_t capacity = room > 0 ? room - 1 : 0;
  char* dest = capacity > 0 ? buffer : nullptr;
  const auto size = static_cast<int32_t>(text.size());
  UErrorCode err = U_ZERO_ERROR;
  const int32_t n = op == CaseOp::Upper ? ucasemap_utf8ToUpper(map, dest, capacity, text.data(), size, &err)
                                        : ucasemap_utf8ToLower(map, dest, capacity, text.data(), size, &err);
  if (err == U_BUFFER_OVERFLOW_ERROR) return n;
  if (U_FAILURE(err)) return -1;
  if (n < room) buffer[n] = '\0';
  return n;
}

// ASCII text maps byte for byte here; text that the tables cover maps from them; the rest goes
// to ICU. A covered text keeps its byte length, so the tables are tried only when that fits.
// Where the characters are stepped anyway their count is stored in `*chars`, else -1.
int map_case_whole(CaseOp op, std::string_view text, char* buffer, int room, int64_t* chars) {
  int64_t counted = -1;
  if (chars == nullptr) chars = &counted;
  *chars = -1;
  if (text.size() > static_cast<std::size_t>(INT32_MAX)) return -1;
  const auto lang = case_language();
  const auto n = static_cast<int>(text.size());
  if (!is_turkic(lang.data()) && is_ascii(text)) {
    if (n < room) ascii_case(op, text, buffer, room);
    *chars = n;
    return n;
  }
  if (n < room && case_tables::maps_like_root(lang.data()) &&
      case_tables::map(op == CaseOp::Upper, text, buffer, chars)) {
    buffer[n] = '\0';
    return n;
  }
  *chars = -1;
  return icu_case_whole(op, lang, text, buffer, room);
}

// ---- case-insensitive comparison ------------------------------------------------------------

std::string fold(std::string_view text) {
  std::string out;
  out.reserve(text.size() + 8);
  icu::StringByteSink<std::string> sink(&out);
  UErrorCode err = U_ZERO_ERROR;
  icu::CaseMap::utf8Fold(U_FOLD_CASE_DEFAULT, icu::StringPiece(text.data(), static_cast<int32_t>(text.size())),
                         sink, nullptr, err);
  return out;
}

int sign(int v) { return (v > 0) - (v < 0); }

// Compares the full case foldings of two texts by their bytes.
int fold_compare(std::string_view a, std::string_view b) {
  if (a.size() > INT32_MAX || b.size() > INT32_MAX) return sign(a.compare(b));
  return sign(std::string_view(fold(a)).compare(fold(b)));
}

Byte ascii_fold(Byte c) { return (c >= 'A' && c <= 'Z') ? static_cast<Byte>(c - 'A' + 'a') : c; }

// ---- copying --------------------------------------------------------------------------------

// Copies whole characters of NUL-terminated text while they fit in `max_bytes` and `max_chars`.
int copy_chars(const char* source, char* destination, int size, int64_t max_chars) {
  if (destination == nullptr || size < 1) return 0;
  const std::size_t max_bytes = static_cast<std::size_t>(size) - 1;
  const char* text = source != nullptr ? source : "";
  // A text whose byte length fits both limits is copied whole: it has at most that many
  // characters, so no character is cut and none need be counted.
  std::size_t n = strnlen(text, max_bytes + 1);
  if (n > max_bytes || (max_chars >= 0 && static_cast<uint64_t>(n) > static_cast<uint64_t>(max_chars))) {
    n = whole_prefix({text, strnlen(text, max_bytes + 3)}, max_bytes, max_chars < 0 ? INT64_MAX : max_chars);
  }
  std::memmove(destination, text, n);
  destination[n] = '\0';
  return static_cast<int>(n);
}

// ---- encodings ------------------------------------------------------------------------------

struct NamedEncoding {
  int id;
  const char* name;
};

// Fixed identifiers of common encodings. They are part of the engine's interface (31 is the
// month-name fallback), so entries are only ever added, never renumbered.
constexpr NamedEncoding kEncodings[] = {
    {1, "UTF-16"},        {2, "UTF-16LE"},      {3, "UTF-16BE"},      {4, "UTF-32"},
    {5, "UTF-32LE"},      {6, "UTF-32BE"},      {7, "US-ASCII"},      {10, "ISO-8859-1"},
    {11, "ISO-8859-2"},   {12, "ISO-8859-3"},   {13, "ISO-8859-4"},   {14, "ISO-8859-5"},
    {15, "ISO-8859-6"},   {16, "ISO-8859-7"},   {17, "ISO-8859-8"},   {18, "ISO-8859-9"},
    {19, "ISO-8859-10"},  {20, "ISO-8859-11"},  {21, "ISO-8859-13"},  {22, "ISO-8859-14"},
    {23, "ISO-8859-15"},  {24, "ISO-8859-16"},  {29, "windows-1250"}, {30, "windows-1251"},
    {31, "windows-1252"}, {32, "windows-1253"}, {33, "windows-1254"}, {34, "windows-1255"},
    {35, "windows-1256"}, {36, "windows-1257"}, {37, "windows-1258"}, {38, "windows-874"},
    {40, "KOI8-R"},       {41, "KOI8-U"},       {42, "Shift_JIS"},    {43, "EUC-JP"},
    {44, "ISO-2022-JP"},  {45, "GB18030"},      {46, "GBK"},          {47, "Big5"},
    {48, "EUC-KR"},       {49, "macintosh"},    {50, "IBM437"},       {51, "IBM850"},
    {52, "IBM037"},       {53, "IBM1047"},      {54, "IBM500"},       {55, "UTF-7"},
};

struct ConverterCloser {
  void operator()(UConverter* c) const { ucnv_close(c); }
};
using Converter = std::unique_ptr<UConverter, ConverterCloser>;

Converter open_converter(const char* name) {
  UErrorCode err = U_ZERO_ERROR;
  Converter cnv(ucnv_open(name, &err));
  if (U_FAILURE(err)) cnv.reset();
  return cnv;
}

bool same_converter(const char* alias, const char* canonical) {
  UErrorCode err = U_ZERO_ERROR;
  const char* name = ucnv_getAlias(alias, 0, &err);
  return name != nullptr && U_SUCCESS(err) && ucnv_compareNames(name, canonical) == 0;
}

// Identifier of an ICU converter given by its canonical name: fixed table first, then ICU's list.
int id_of_canonical(const char* canonical) {
  if (ucnv_compareNames(canonical, "UTF-8") == 0) return NP_UCHAR_ENC_UTF8;
  for (const NamedEncoding& e : kEncodings) {
    if (same_converter(e.name, canonical)) return e.id;
  }
  const int32_t count = ucnv_countAvailable();
  for (int32_t i = 0; i < count; ++i) {
    if (ucnv_compareNames(ucnv_getAvailableName(i), canonical) == 0) return NP_UCHAR_ENC_ICU_BASE + i;
  }
  return NP_UCHAR_ENC_UNKNOWN;
}

// Converts between two ICU converters, failing (rather than substituting) on malformed input or
// unmappable characters. The result is followed by a terminator as wide as the target's smallest
// character (one NUL byte for UTF-8, two for UTF-16), all within `room`.
int transcode(const char* from, const char* to, std::string_view source, char* buffer, int room) {
  if (from == nullptr || to == nullptr) return NP_UCHAR_ERR_ENCODING;
  Converter source_cnv = open_converter(from);
  Converter target_cnv = open_converter(to);
  if (!source_cnv || !target_cnv) return NP_UCHAR_ERR_ENCODING;
  const int terminator = ucnv_getMinCharSize(target_cnv.get());
  if (buffer == nullptr || room < terminator) return NP_UCHAR_ERR_ROOM;

  UErrorCode err = U_ZERO_ERROR;
  ucnv_setToUCallBack(source_cnv.get(), UCNV_TO_U_CALLBACK_STOP, nullptr, nullptr, nullptr, &err);
  ucnv_setFromUCallBack(target_cnv.get(), UCNV_FROM_U_CALLBACK_STOP, nullptr, nullptr, nullptr, &err);
  char* target = buffer;
  const char* src = source.data();
  ucnv_convertEx(target_cnv.get(), source_cnv.get(), &target, buffer + room - terminator, &src,
                 source.data() + source.size(), nullptr, nullptr, nullptr, nullptr, true, true, &err);
  if (err == U_BUFFER_OVERFLOW_ERROR) return NP_UCHAR_ERR_ROOM;
  if (U_FAILURE(err)) return NP_UCHAR_ERR_INVALID;
  std::memset(target, 0, static_cast<std::size_t>(terminator));
  return static_cast<int>(target - buffer);
}

}  // namespace

// ---- stepping and counting ----------------------------------------------------------------

int64_t np_uchar_length(const char* text) {
  if (text == nullptr) return 0;
  // A short ASCII text is counted as it is read, without measuring it first.
  for (int64_t n = 0; n < 16; ++n) {
    const auto c = static_cast<Byte>(text[n]);
    if (c == 0) return n;
    if (c >= 0x80) break;
  }
  return utf8::count(text);
}

const char* np_uchar_seek(const char* text, int64_t n) {
  if (text == nullptr || n < 0) return nullptr;
  if (n < 8) {  // too few characters for whole words: stepped one at a time, the text unmeasured
    const Byte* p = bytes(text);
    for (; n > 0; --n) {
      if (*p == 0) return nullptr;
      p += *p < 0x80 ? 1 : utf8::char_length(p, SIZE_MAX);
    }
    return text + (p - bytes(text));
  }
  // n characters take at most 4n bytes: no more of the text is looked at.
  const std::size_t reach = static_cast<uint64_t>(n) < SIZE_MAX / 4 ? static_cast<std::size_t>(n) * 4 : SIZE_MAX;
  const std::size_t at = utf8::seek(std::string_view(text, strnlen(text, reach)), n);
  return at != std::string_view::npos ? text + at : nullptr;
}

int64_t np_uchar_tell(const char* text, const char* position) {
  if (text == nullptr || position <= text) return 0;
  const std::size_t head = strnlen(text, static_cast<std::size_t>(position - text));
  // A character that starts before `position` may end up to three bytes after it.
  const std::string_view s(text, head + strnlen(text + head, 3));
  // Bytes before `position` that are well-formed on their own are divided the same way within
  // the whole text, and hold as many characters as leads (as many as bytes when ASCII).
  if (head < utf8::blocks::kBlockBytes && is_ascii(s.substr(0, head))) return static_cast<int64_t>(head);
  if (utf8::blocks::available()) {
    const utf8::blocks::Scan before = utf8::blocks::scan(s.substr(0, head));
    if (before.well_formed) return before.leads;
  }
  return utf8::walk(s, head, INT64_MAX).chars;
}

int32_t np_uchar_toint(const char* position, int* byte_length) {
  const Char ch = char_at(position);
  if (byte_length != nullptr) *byte_length = ch.len;
  return static_cast<int32_t>(ch.cp);
}

// ---- classes ------------------------------------------------------------------------------

int np_uchar_isalpha(const char* position, int* byte_length) { return classify(position, byte_length, kAlpha); }
int np_uchar_isdigit(const char* position, int* byte_length) { return classify(position, byte_length, kDigit); }
int np_uchar_isspace(const char* position, int* byte_length) { return classify(position, byte_length, kSpace); }
int np_uchar_isupper(const char* position, int* byte_length) { return classify(position, byte_length, kUpper); }
int np_uchar_islower(const char* position, int* byte_length) { return classify(position, byte_length, kLower); }
int np_uchar_ispunc(const char* position, int* byte_length) { return classify(position, byte_length, kPunct); }
int np_uchar_isctl(const char* position, int* byte_length) { return classify(position, byte_length, kControl); }
int np_uchar_iscomb(const char* position, int* byte_length) {
  return classify(position, byte_length, kCombining);
}

int np_uchar_width(const char* position, int* byte_length) {
  const Char ch = char_at(position);
  if (byte_length != nullptr) *byte_length = ch.len;
  if (ch.len == 0) return 0;
  if (!ch.valid || ch.cp < 0x300) return 1;  // below the first combining mark: one column each
  const auto width = static_cast<UEastAsianWidth>(u_getIntPropertyValue(ch.cp, UCHAR_EAST_ASIAN_WIDTH));
  if (width == U_EA_WIDE || width == U_EA_FULLWIDTH) return 2;
  const int8_t category = u_charType(ch.cp);
  if (category == U_NON_SPACING_MARK || category == U_ENCLOSING_MARK || category == U_FORMAT_CHAR) return 0;
  return 1;
}

// ---- comparing and case mapping -----------------------------------------------------------

// ASCII runs are compared here byte by byte; from the first non-ASCII byte on (always a
// character boundary in both texts, since everything before was ASCII and equal) the rest of
// both texts is folded by ICU. Folding is context-free, so comparing the folded rests gives
// the same answer as folding the whole texts.
int np_uchar_icomp(std::string_view a, std::string_view b) {
  const std::size_t n = std::min(a.size(), b.size());
  for (std::size_t i = 0; i < n; ++i) {
    const Byte ca = static_cast<Byte>(a[i]);
    const Byte cb = static_cast<Byte>(b[i]);
    if ((ca | cb) >= 0x80) return fold_compare(a.substr(i), b.substr(i));
    const int d = ascii_fold(ca) - ascii_fold(cb);
    if (d != 0) return sign(d);
  }
  // Folding never maps a character to nothing, so the longer text sorts after.
  return (a.size() > b.size()) - (a.size() < b.size());
}

std::string np_uchar_fold(std::string_view text) {
  std::string out(text);
  bool ascii = true;
  for (char& c : out) {
    const Byte b = static_cast<Byte>(c);
    ascii &= b < 0x80;
    c = static_cast<char>(ascii_fold(b));
  }
  // Beyond ASCII the comparison folds through ICU (see fold_compare), which folds ASCII the
  // same way.
  if (ascii || text.size() > INT32_MAX) return out;
  return fold(text);
}

int np_uchar_icomp(const char* a, const char* b) {
  return np_uchar_icomp(std::string_view(a != nullptr ? a : ""), std::string_view(b != nullptr ? b : ""));
}

int np_uchar_lower(std::string_view text, char* buffer, int room) {
  return map_case(CaseOp::Lower, text, buffer, room);
}

int np_uchar_upper(std::string_view text, char* buffer, int room) {
  return map_case(CaseOp::Upper, text, buffer, room);
}

int np_uchar_lower_whole(std::string_view text, char* buffer, int room, int64_t* chars) {
  return map_case_whole(CaseOp::Lower, text, buffer, room, chars);
}

int np_uchar_upper_whole(std::string_view text, char* buffer, int room, int64_t* chars) {
  return map_case_whole(CaseOp::Upper, text, buffer, room, chars);
}

// ---- copying ------------------------------------------------------------------------------

int np_uchar_bufcopy(const char* source, char* destination, int size) {
  return copy_chars(source, destination, size, -1);
}

int np_uchar_bufncopy(const char* source, char* destination, int size, int64_t n) {
  return copy_chars(source, destination, size, n);
}

int np_uchar_intcopy(int32_t code_point, char* buffer, int room) {
  if (buffer == nullptr || code_point < 0 || code_point > 0x10FFFF) return 0;
  if (code_point >= 0xD800 && code_point <= 0xDFFF) return 0;
  const auto cp = static_cast<uint32_t>(code_point);
  const int len = cp < 0x80 ? 1 : cp < 0x800 ? 2 : cp < 0x10000 ? 3 : 4;
  if (room < len) return 0;
  constexpr Byte kLeadMarks[] = {0x00, 0x00, 0xC0, 0xE0, 0xF0};
  for (int i = len - 1; i > 0; --i) buffer[i] = static_cast<char>(0x80 | ((cp >> (6 * (len - 1 - i))) & 0x3F));
  buffer[0] = static_cast<char>(kLeadMarks[len] | (cp >> (6 * (len - 1))));
  return len;
}

std::size_t np_uchar_cut(std::string_view text, std::size_t max_bytes) {
  return whole_prefix(text, max_bytes, INT64_MAX);
}

// ---- encodings ----------------------------------------------------------------------------

int np_uchar_getenc(const char* name) {
  if (name == nullptr || *name == '\0') return NP_UCHAR_ENC_UNKNOWN;
  Converter cnv = open_converter(name);
  if (!cnv) return NP_UCHAR_ENC_UNKNOWN;
  UErrorCode err = U_ZERO_ERROR;
  const char* canonical = ucnv_getName(cnv.get(), &err);
  if (canonical == nullptr || U_FAILURE(err)) return NP_UCHAR_ENC_UNKNOWN;
  return id_of_canonical(canonical);
}

const char* np_uchar_encname(int encoding) {
  if (encoding == NP_UCHAR_ENC_UTF8) return "UTF-8";
  for (const NamedEncoding& e : kEncodings) {
    if (e.id == encoding) return e.name;
  }
  if (encoding >= NP_UCHAR_ENC_ICU_BASE && encoding - NP_UCHAR_ENC_ICU_BASE < ucnv_countAvailable()) {
    return ucnv_getAvailableName(encoding - NP_UCHAR_ENC_ICU_BASE);
  }
  return nullptr;
}

int np_uchar_encode(int encoding, std::string_view source, char* buffer, int room) {
  return transcode(np_uchar_encname(encoding), "UTF-8", source, buffer, room);
}

int np_uchar_decode(int encoding, std::string_view source, char* buffer, int room) {
  return transcode("UTF-8", np_uchar_encname(encoding), source, buffer, room);
}

int np_uchar_encode_charset(const char* charset, std::string_view source, char* buffer, int room) {
  int encoding = np_uchar_getenc(charset);
  if (encoding < 0) encoding = NP_UCHAR_ENC_WINDOWS_1252;
  return np_uchar_encode(encoding, source, buffer, room);
}
