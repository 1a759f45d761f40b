// The character layer: counting, stepping, classifying, case mapping, comparing, copying and
// transcoding UTF-8 text.
//
// Conventions shared by every function here:
// - Texts given as `const char*` are NUL-terminated UTF-8; nothing is ever read past the
//   terminator, and a null pointer is treated as the empty text. Texts given as
//   `std::string_view` are bounded by their size instead (they may hold NUL bytes).
// - A "character" is one well-formed UTF-8 sequence (1 to 4 bytes, no overlong forms, no
//   surrogates, nothing above U+10FFFF). Every byte that does not start a well-formed sequence
//   counts as one character of its own, so stepping always makes progress and never splits a
//   well-formed character.
// - Classes and case mapping follow Unicode through ICU; plain ASCII takes table-driven fast
//   paths that give the same answers.
// - Byte rooms include the terminator: a room of n allows n - 1 bytes of text plus a NUL.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

// ---- stepping and counting ----------------------------------------------------------------

// Number of characters in `text`.
int64_t np_uchar_length(const char* text);

// Pointer to the character `n` characters after `text` (the terminator counts as a position, so
// seeking by the length gives the terminator). Returns nullptr when the text ends first or when
// `n` is negative.
const char* np_uchar_seek(const char* text, int64_t n);

// 0-based character index of `position` within `text`: the number of characters that start
// before it. A position past the terminator counts as the terminator; one before `text` gives 0.
int64_t np_uchar_tell(const char* text, const char* position);

// Code point of the character at `position`, its byte length stored in `*byte_length` (which
// may be nullptr). The terminator gives 0 with byte length 0; a byte that does not start a
// well-formed character gives U+FFFD with byte length 1.
int32_t np_uchar_toint(const char* position, int* byte_length);

// ---- classes ------------------------------------------------------------------------------
// Each returns non-zero when the character at `position` belongs to the class and stores its
// byte length in `*byte_length` (may be nullptr): 0 at the terminator, 1 for an invalid byte
// (which belongs to no class).
//   alpha: a letter (general category L*)      digit: a decimal digit (Nd)
//   space: Unicode White_Space                   upper / lower: Lu / Ll
//   punc:  punctuation (P*; symbols such as + $ < are not punctuation)
//   ctl:   control, format, line or paragraph separator (Cc, Cf, Zl, Zp)
//   comb:  a combining mark (M*)
int np_uchar_isalpha(const char* position, int* byte_length);
int np_uchar_isdigit(const char* position, int* byte_length);
int np_uchar_isspace(const char* position, int* byte_length);
int np_uchar_isupper(const char* position, int* byte_length);
int np_uchar_islower(const char* position, int* byte_length);
int np_uchar_ispunc(const char* position, int* byte_length);
int np_uchar_isctl(const char* position, int* byte_length);
int np_uchar_iscomb(const char* position, int* byte_length);

// Columns the character at `position` takes on a terminal: 2 for East Asian wide and fullwidth
// characters, 0 for combining marks and format characters (such as zero-width joiners), 1 for
// every other character and invalid byte; 0 at the terminator. Stores its byte length as the
// classes do.
int np_uchar_width(const char* position, int* byte_length);

// The ASCII members of White_Space (tab, line feed, vertical tab, form feed, carriage return and
// space), for callers that step ASCII bytes without a call per byte.
constexpr bool np_ascii_isspace(unsigned char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

// ---- comparing and case mapping -----------------------------------------------------------

// Compares two texts without regard to case, using full Unicode case folding ("Straße" equals
// "STRASSE"). Returns 0 when equal, otherwise negative or positive by the order of the folded
// texts' bytes (which is code point order). Invalid bytes compare as themselves.
int np_uchar_icomp(std::string_view a, std::string_view b);
int np_uchar_icomp(const char* a, const char* b);

// The full case folding of `text` as np_uchar_icomp compares texts: two texts compare equal
// exactly when their foldings are equal, so a folding serves as the key of a lookup without
// regard to case.
std::string np_uchar_fold(std::string_view text);

// Converts `text` to lower or upper case with full Unicode case mapping (the result may be
// longer or shorter than the text: "ß" upper-cases to "SS"). The language of the current
// LC_CTYPE locale selects language-specific rules (Turkish and Azeri dotted/dotless i,
// Lithuanian, Greek). Invalid bytes are copied unchanged.
// With `buffer` == nullptr, returns the bytes the whole conversion needs (no terminator counted).
// Otherwise writes at most `room` - 1 bytes of whole characters plus a terminator and returns
// the bytes written (0 when `room` < 1, nothing written then). Returns -1 for a text beyond
// ICU's 2 GiB limit.
int np_uchar_lower(std::string_view text, char* buffer, int room);
int np_uchar_upper(std::string_view text, char* buffer, int room);

// The same conversions in one pass, for callers that size their buffer from the result: the
// whole converted text and a terminator are written when they fit in `room` bytes, and the
// converted text's byte length is returned either way (a value >= `room` means nothing usable
// was written; `buffer` may then be nullptr). Returns -1 for a text beyond ICU's 2 GiB limit.
// `chars`, when not nullptr, receives the converted text's number of characters when it was
// counted on the way (it is for most texts), else -1.
int np_uchar_lower_whole(std::string_view text, char* buffer, int room, int64_t* chars = nullptr);
int np_uchar_upper_whole(std::string_view text, char* buffer, int room, int64_t* chars = nullptr);

// ---- copying ------------------------------------------------------------------------------

// Copies `source` into `destination` (`size` bytes) as whole characters, at most `size` - 1 bytes,
// and terminates it. Returns the bytes copied. With `size` < 1 nothing is written.
int np_uchar_bufcopy(const char* source, char* destination, int size);

// Like np_uchar_bufcopy, but also stops after `n` characters (`n` < 0: no character limit).
int np_uchar_bufncopy(const char* source, char* destination, int size, int64_t n);

// Encodes `code_point` as UTF-8 into `buffer` (no terminator). Returns the bytes written, or 0
// when the code point is not a Unicode scalar value (negative, a surrogate, above U+10FFFF) or
// does not fit in `room`.
int np_uchar_intcopy(int32_t code_point, char* buffer, int room);

// Length of the longest prefix of `text` of at most `max_bytes` bytes that ends on a character
// boundary: cutting there never splits a well-formed character.
std::size_t np_uchar_cut(std::string_view text, std::size_t max_bytes);

// ---- encodings ----------------------------------------------------------------------------

// Encoding identifiers. 0 is the engine's own UTF-8. Common encodings have fixed identifiers
// (the table in uchar.cpp; 31 is Windows-1252, the fallback for month names); any other
// converter that ICU offers gets NP_UCHAR_ENC_ICU_BASE + its index in ICU's converter list.
inline constexpr int NP_UCHAR_ENC_UNKNOWN = -1;
inline constexpr int NP_UCHAR_ENC_UTF8 = 0;
inline constexpr int NP_UCHAR_ENC_UTF16 = 1;     // with byte-order mark, big-endian when writing
inline constexpr int NP_UCHAR_ENC_UTF16LE = 2;
inline constexpr int NP_UCHAR_ENC_UTF16BE = 3;
inline constexpr int NP_UCHAR_ENC_ISO8859_1 = 10;
inline constexpr int NP_UCHAR_ENC_WINDOWS_1252 = 31;
inline constexpr int NP_UCHAR_ENC_ICU_BASE = 1000;

// Failure codes of np_uchar_encode / np_uchar_decode (always negative).
inline constexpr int NP_UCHAR_ERR_ENCODING = -1;  // unknown encoding identifier
inline constexpr int NP_UCHAR_ERR_INVALID = -2;   // malformed input or a character the target lacks
inline constexpr int NP_UCHAR_ERR_ROOM = -3;      // the result and its terminator do not fit

// Identifier of the encoding called `name` (any ICU converter name or alias, compared the way
// ICU compares them: "utf8", "UTF-8" and "Utf-8" are the same). -1 for an unknown or empty name
// or one whose converter data is missing, 0 for UTF-8.
int np_uchar_getenc(const char* name);

// ICU converter name of an identifier from np_uchar_getenc; nullptr for an unknown identifier.
const char* np_uchar_encname(int encoding);

// Converts `source`, text in `encoding`, into UTF-8 in `buffer`. The result and a NUL terminator
// must fit in `room` bytes. Returns the bytes written (terminator not counted) or one of the
// negative NP_UCHAR_ERR_* codes; malformed input fails rather than being replaced.
int np_uchar_encode(int encoding, std::string_view source, char* buffer, int room);

// Converts UTF-8 `source` into `encoding` in `buffer`, followed by a terminator as wide as the
// encoding's smallest character (two NUL bytes for UTF-16). The result and the terminator must
// fit in `room` bytes. Returns the bytes written (terminator not counted) or a negative
// NP_UCHAR_ERR_* code; a character the target cannot represent fails.
int np_uchar_decode(int encoding, std::string_view source, char* buffer, int room);

// Converts `source`, text in the character set called `charset` (for example the process
// locale's character set, nullptr when unknown), into UTF-8 as np_uchar_encode does. An unknown
// or null character-set name falls back to Windows-1252.
int np_uchar_encode_charset(const char* charset, std::string_view source, char* buffer, int room);
