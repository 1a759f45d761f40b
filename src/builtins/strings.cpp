// String built-ins: measuring, cutting, searching, case mapping, trimming, replacing and
// comparing UTF-8 text. Positions and lengths visible to programs count characters; searching
// and byte-order comparison work on the encoded bytes.
//
// No function allocates except to grow its result cell when the text it produces does not fit.
// Their work is linear in their texts, charged to the run when a text may be long (see
// charging_texts in cancel.h); replace also charges the text its replacements add.
#include <array>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "builtins/builtins.h"
#include "builtins/cancel.h"
#include "builtins/cells.h"
#include "errors.h"
#include "support/text_search.h"
#include "support/uchar.h"
#include "support/utf8.h"
#include "values.h"

using namespace builtin_cells;

namespace {

using Cell = exp_symval;

// ---- argument and result helpers -----------------------------------------------------------------

// Integer arguments are used as signed 32-bit values (the low 32 bits of the payload).
int32_t int_arg(const Cell *c) { return static_cast<int32_t>(static_cast<uint32_t>(c->value.i)); }

// True when argument `i` was passed and is null.
bool given_null(int argc, Cell **argv, int i) { return argc > i && symval_is_null(argv[i]); }

int store_empty(exp_engine *e, Cell *result) { return store(e, result, "", 0, 0); }

// Stores characters `first` (0-based) to `first + count` of `text` (all the rest when `count` < 0
// or beyond the end); the empty text when `text` has fewer than `first` characters.
int store_slice(exp_engine *e, Cell *result, std::string_view text, int64_t first, int64_t count) {
  const utf8::Slice part = utf8::slice(text, first, count);
  if (part.offset == std::string_view::npos) return store_empty(e, result);
  return store(e, result, text.data() + part.offset, part.size, part.chars);
}

// Characters of `text` when that matters for fitting into `room` characters: a text of no more
// bytes than `room` has no more characters either, and is not counted (the count returned is
// then its byte length, an upper bound that fits just the same).
int64_t chars_for_room(std::string_view text, uint32_t room) {
  return text.size() <= room ? static_cast<int64_t>(text.size()) : utf8::count(text);
}

// Byte offset of the `n`-th non-overlapping occurrence of the non-empty `t` in `s` (each search
// restarts just after the previous match), or npos when there are fewer.
size_t nth_occurrence(std::string_view s, std::string_view t, int64_t n) {
  size_t at = std::string_view::npos;
  size_t from = 0;
  for (int64_t i = 0; i < n; ++i) {
    at = text_find(s, t, from);
    if (at == std::string_view::npos) return at;
    from = at + t.size();
  }
  return at;
}

// Number of non-overlapping occurrences of the non-empty `t` in `s`, counting stops at `limit`
// when `limit` > 0.
int64_t count_occurrences(std::string_view s, std::string_view t, int64_t limit) {
  int64_t count = 0;
  for (size_t at = text_find(s, t); at != std::string_view::npos; at = text_find(s, t, at + t.size())) {
    ++count;
    if (limit > 0 && count == limit) break;
  }
  return count;
}

// ---- measuring and cutting -----------------------------------------------------------------------

int fn_len(exp_engine *, Cell *result, int, Cell **argv) {
  if (symval_is_null(argv[0])) return set_null(result);
  return set_int(result, np_uchar_length(text_of(argv[0])));
}

// mid(s, start [, count]): `count` characters from character position `start` (1-based); a
// missing, null or negative count, or one past the end, means the rest of the text. A start
// below 1 or past the end gives the empty string.
int fn_mid(exp_engine *e, Cell *result, int argc, Cell **argv) {
  if (symval_is_null(argv[0]) || symval_is_null(argv[1])) return set_null(result);
  int32_t start = int_arg(argv[1]);
  int32_t count = (argc > 2 && !symval_is_null(argv[2])) ? int_arg(argv[2]) : -1;
  if (start < 1) return store_empty(e, result);
  return store_slice(e, result, text_of(argv[0]), start - 1, count);
}

// left(s, n): the first n characters, n clamped to 0 .. length.
int fn_left(exp_engine *e, Cell *result, int, Cell **argv) {
  if (symval_is_null(argv[0]) || symval_is_null(argv[1])) return set_null(result);
  int32_t n = int_arg(argv[1]);
  if (n < 0) n = 0;
  return store_slice(e, result, text_of(argv[0]), 0, n);
}

// right(s, n): the last n characters; all of s when n reaches its length, "" when n < 1.
int fn_right(exp_engine *e, Cell *result, int, Cell **argv) {
  if (symval_is_null(argv[0]) || symval_is_null(argv[1])) return set_null(result);
  int32_t n = int_arg(argv[1]);
  if (n < 1) return store_empty(e, result);
  std::string_view s = text_of(argv[0]);
  const size_t from = utf8::seek_back(s, n);
  if (from == std::string_view::npos) return store(e, result, s.data(), s.size(), chars_for_room(s, result->len));
  return store(e, result, s.data() + from, s.size() - from, n);
}

// ---- searching -----------------------------------------------------------------------------------

// instr(s, t [, occurrence]): 1-based character position of the occurrence-th non-overlapping
// match of t, 0 when there are fewer. An occurrence below 1 or an empty t gives 1 without
// searching (an empty t matches at the start, every time).
int fn_instr(exp_engine *, Cell *result, int argc, Cell **argv) {
  if (symval_is_null(argv[0]) || symval_is_null(argv[1])) return set_null(result);
  int32_t occurrence = argc > 2 ? int_arg(argv[2]) : 1;
  if (given_null(argc, argv, 2)) occurrence = 1;
  std::string_view t = text_of(argv[1]);
  if (occurrence < 1 || t.empty()) return set_int(result, 1);
  const char *s = text_of(argv[0]);
  size_t at = nth_occurrence(s, t, occurrence);
  if (at == std::string_view::npos) return set_int(result, 0);
  return set_int(result, np_uchar_tell(s, s + at) + 1);
}

// occurs(s, t): the number of non-overlapping occurrences of t in s, counted from the left.
// An empty t gives 0: the empty text has no extent, so there is nothing to count (and counting
// it would never advance).
int fn_occurs(exp_engine *, Cell *result, int, Cell **argv) {
  if (symval_is_null(argv[0]) || symval_is_null(argv[1])) return set_null(result);
  std::string_view t = text_of(argv[1]);
  if (t.empty()) return set_int(result, 0);
  return set_int(result, count_occurrences(text_of(argv[0]), t, 0));
}

// ---- characters and codes ------------------------------------------------------------------------

// chr(code): the character of the code point; null when it has no UTF-8 form.
int fn_chr(exp_engine *e, Cell *result, int, Cell **argv) {
  if (symval_is_null(argv[0])) return set_null(result);
  char buf[4];
  int n = np_uchar_intcopy(int_arg(argv[0]), buf, sizeof buf);
  if (n == 0) return set_null(result);
  return store(e, result, buf, static_cast<size_t>(n), 1);
}

// asc(s): the code point of the first character (0 for the empty string).
int fn_asc(exp_engine *, Cell *result, int, Cell **argv) {
  if (symval_is_null(argv[0])) return set_null(result);
  return set_int(result, np_uchar_toint(text_of(argv[0]), nullptr));
}

// ---- case mapping --------------------------------------------------------------------------------

using CaseMap = int (*)(std::string_view, char *, int, int64_t *);

// Writes the case-mapped text into the result in one pass when it fits the cell's buffer; only a
// longer result grows the cell (to the bytes the conversion needs) and is converted again. When
// the converted text has more characters than the limit (a character that maps to several), the
// limit grows to its character count.
int map_case_into(exp_engine *e, Cell *result, const Cell *arg, CaseMap map) {
  if (symval_is_null(arg)) return set_null(result);
  if (!result->value.s) return engine_error(e, ERR_MEMORY);
  std::string_view text = text_of(arg);
  const size_t room = symval_buffer_bytes(result) + 1;
  int64_t chars = -1;
  int need = map(text, result->value.s, room > INT32_MAX ? INT32_MAX : static_cast<int>(room), &chars);
  if (need < 0 || need == INT32_MAX) return engine_error(e, ERR_MEMORY);
  if (static_cast<size_t>(need) >= room) {
    if (int rc = reserve(e, result, 0, static_cast<size_t>(need))) return rc;
    map(text, result->value.s, need + 1, &chars);
  }
  symval_clear_null_flag(result);
  if (int rc = limit_check_text(e, std::string_view(result->value.s, static_cast<size_t>(need)))) return rc;
  if (need <= static_cast<int64_t>(result->len)) return 0;  // characters <= bytes <= limit
  if (chars < 0) chars = np_uchar_length(result->value.s);
  if (chars <= static_cast<int64_t>(result->len)) return 0;
  return limit_resize_string(e, result, chars, RESIZE_KEEP);
}

int fn_lower(exp_engine *e, Cell *result, int, Cell **argv) {
  return map_case_into(e, result, argv[0], np_uchar_lower_whole);
}

int fn_upper(exp_engine *e, Cell *result, int, Cell **argv) {
  return map_case_into(e, result, argv[0], np_uchar_upper_whole);
}

// ---- trimming ------------------------------------------------------------------------------------

// False when the character starting with the non-ASCII byte `lead` cannot be white space: every
// Unicode White_Space character is ASCII or starts with one of the bytes C2 (U+0085, U+00A0), E1
// (U+1680), E2 (U+2000-U+205F) or E3 (U+3000). Others need not be classified.
bool may_be_space(unsigned char lead) { return lead == 0xC2 || lead == 0xE1 || lead == 0xE2 || lead == 0xE3; }

// True when the character at `p` is white space; `*step` gets its byte length (at least 1).
bool space_at(const char *p, int *step) {
  const auto lead = static_cast<unsigned char>(*p);
  if (lead < 0x80) {
    *step = 1;
    return np_ascii_isspace(lead);
  }
  if (!may_be_space(lead)) {
    // The terminator ends every sequence, so nothing past it is read.
    *step = utf8::char_length(reinterpret_cast<const unsigned char *>(p), SIZE_MAX);
    return false;
  }
  bool space = np_uchar_isspace(p, step) != 0;
  if (*step < 1) *step = 1;
  return space;
}

// Start of the character that ends at `end` (> `begin`), as forward stepping divides the text:
// the well-formed sequence ending there when there is one (its lead byte is the nearest
// non-continuation byte, at most three bytes back), otherwise the single byte before `end`.
const char *previous_char(const char *begin, const char *end) {
  const char *lead = end - 1;
  while (lead > begin && end - lead < 4 && (static_cast<unsigned char>(*lead) & 0xC0) == 0x80) --lead;
  const auto bytes = static_cast<size_t>(end - lead);
  if (bytes > 1 && static_cast<size_t>(utf8::char_length(reinterpret_cast<const unsigned char *>(lead), bytes)) == bytes)
    return lead;
  return end - 1;
}

// trim(s): s without leading and trailing white space (Unicode White_Space); inner white space
// stays. Only the white space at both ends is classified: leading characters forward, trailing
// ones backward from the end.
int fn_trim(exp_engine *e, Cell *result, int, Cell **argv) {
  if (symval_is_null(argv[0])) return set_null(result);
  const char *text = text_of(argv[0]);
  const char *start = text;
  int step = 1;
  while (*start && space_at(start, &step)) start += step;
  const char *end = start + std::strlen(start);
  while (end > start) {
    const char *prev = previous_char(start, end);
    if (!space_at(prev, &step)) break;
    end = prev;
  }
  std::string_view kept(start, static_cast<size_t>(end - start));
  return store(e, result, kept.data(), kept.size(), chars_for_room(kept, result->len));
}

// ---- replacing -----------------------------------------------------------------------------------

// Occurrences of a text found for replacing: how many, and where the first of them are, so that
// building the result does not search for them again.
struct Occurrences {
  static constexpr int64_t kKept = 64;
  int64_t count = 0;
  std::array<size_t, kKept> at;  // only the first min(count, kKept) are set: clearing all would cost more than a short replace
};

// The non-overlapping occurrences of the non-empty `t` in `s`, from the left, at most `limit` of
// them when `limit` > 0.
Occurrences find_occurrences(std::string_view s, std::string_view t, int64_t limit) {
  Occurrences found;
  for (size_t at = text_find(s, t); at != std::string_view::npos; at = text_find(s, t, at + t.size())) {
    if (found.count < Occurrences::kKept) found.at[static_cast<size_t>(found.count)] = at;
    if (++found.count == limit) break;
  }
  return found;
}

// Builds s with the found occurrences of t replaced by r into the result, sized once; a long
// result is charged to the run as the text it writes (the run's cancel flag is that of the
// program the host runs, which is all a built-in needs to look at).
int replace_into(exp_engine *e, Cell *result, std::string_view s, std::string_view t, std::string_view r,
                 const Occurrences &found) {
  const int64_t count = found.count;
  size_t grown = 0, bytes = 0;
  if (__builtin_mul_overflow(r.size(), static_cast<size_t>(count), &grown) ||
      __builtin_add_overflow(s.size() - t.size() * static_cast<size_t>(count), grown, &bytes))
    return engine_error(e, ERR_MEMORY);  // far beyond any cell's size
  if (int rc = charge_bytes(e, nullptr, bytes)) return rc;
  int64_t chars = bytes <= result->len ? static_cast<int64_t>(bytes)
                                       : utf8::count(s) + (utf8::count(r) - utf8::count(t)) * count;
  if (int rc = reserve(e, result, chars, bytes)) return rc;
  char *out = result->value.s;
  size_t from = 0;
  for (int64_t i = 0; i < count; ++i) {
    size_t at = i < Occurrences::kKept ? found.at[static_cast<size_t>(i)] : text_find(s, t, from);
    std::memcpy(out, s.data() + from, at - from);
    out += at - from;
    std::memcpy(out, r.data(), r.size());
    out += r.size();
    from = at + t.size();
  }
  std::memcpy(out, s.data() + from, s.size() - from);
  out[s.size() - from] = '\0';
  symval_clear_null_flag(result);
  if (int rc = limit_check_text(e, std::string_view(result->value.s, bytes))) return rc;
  // The estimate adds up counts of the parts, which holds for well-formed text. Where a part is
  // not well formed, an occurrence can split or join what the count takes for one character, so
  // a grown result is counted whole and its limit raised to hold every character.
  if (bytes <= result->len) return 0;
  const int64_t held = utf8::count(std::string_view(result->value.s, bytes));
  return held <= static_cast<int64_t>(result->len) ? 0 : limit_resize_string(e, result, held, RESIZE_KEEP);
}

// replace(s, t, r [, limit]): s with the first `limit` (all when 0, negative or absent)
// non-overlapping occurrences of t replaced by r. A null s gives r when t is null too, else
// null; a null t or r, or an empty s or t, gives s unchanged.
int fn_replace(exp_engine *e, Cell *result, int argc, Cell **argv) {
  bool t_null = symval_is_null(argv[1]), r_null = symval_is_null(argv[2]);
  if (symval_is_null(argv[0])) {
    if (!t_null || r_null) return set_null(result);
    std::string_view r = text_of(argv[2]);
    return store(e, result, r.data(), r.size(), chars_for_room(r, result->len));
  }
  int32_t limit = (argc > 3 && !symval_is_null(argv[3])) ? int_arg(argv[3]) : 0;
  std::string_view s = text_of(argv[0]);
  std::string_view t = t_null ? std::string_view() : text_of(argv[1]);
  const Occurrences found = (r_null || t.empty() || s.empty()) ? Occurrences{} : find_occurrences(s, t, limit);
  if (found.count == 0) return store(e, result, s.data(), s.size(), chars_for_room(s, result->len));
  return replace_into(e, result, s, t, text_of(argv[2]), found);
}

// ---- comparing -----------------------------------------------------------------------------------

// compare(a, b [, ignore_case]): -1, 0 or 1; byte order (unsigned), or the character library's
// case-insensitive order when the third argument is true.
int fn_compare(exp_engine *, Cell *result, int argc, Cell **argv) {
  if (symval_is_null(argv[0]) || symval_is_null(argv[1])) return set_null(result);
  std::string_view a = text_of(argv[0]), b = text_of(argv[1]);
  bool fold = flag_arg(argc, argv, 2, false);
  int d = fold ? np_uchar_icomp(a, b) : a.compare(b);
  return set_int(result, (d > 0) - (d < 0));
}

const exp_function kRecords[] = {
    {"len", charging_texts<fn_len, 0>, 1, 1, "s", 'i', 0, "Returns length of a string", 0, ""},
    {"mid", charging_texts<fn_mid, 0>, 2, 3, "sii", 's', 255,
     "Returns a sub-string of a string starting at position idicated by first integer for second integer "
     "number of characters",
     0, ""},
    {"right", charging_texts<fn_right, 0>, 2, 2, "si", 's', 255,
     "Returns the rightmost characters of a string, where the second parameter is the number of characters "
     "from the right.",
     0, ""},
    {"left", charging_texts<fn_left, 0>, 2, 2, "si", 's', 255,
     "Returns the leftmost characters of a string, where the second parameter specifies the number of "
     "characters from the left",
     0, ""},
    {"instr", charging_texts<fn_instr, 0, 1>, 2, 3, "ssi", 'i', 0,
     "Returns location of second string within first string, optionally starting at the nth occurrence in a "
     "string. Returns 0 if not found",
     0, ""},
    {"occurs", charging_texts<fn_occurs, 0, 1>, 2, 2, "ss", 'i', 0,
     "Returns the number of times the second string occurs in the first string", 1, ""},
    {"chr", fn_chr, 1, 1, "i", 's', 1, "Returns an ascii character for an ascii code", 0, ""},
    {"asc", fn_asc, 1, 1, "s", 'i', 0, "Returns an ascii character code for a character", 0, ""},
    {"lower", charging_texts<fn_lower, 0>, 1, 1, "s", 's', 255, "Returns the string in lower-case", 0, ""},
    {"upper", charging_texts<fn_upper, 0>, 1, 1, "s", 's', 255, "Returns the string in upper-case", 0, ""},
    {"trim", charging_texts<fn_trim, 0>, 1, 1, "s", 's', 255, "Returns the string with leading and trailing whitespace removed", 0,
     ""},
    {"replace", charging_texts<fn_replace, 0, 2>, 3, 4, "sssi", 's', 255,
     "Searches first string for second string and replaces with third string. Returns the first string with "
     "the replacements made. If the fourth parameter is omitted or set to 0, all occurrences are replaced in "
     "the string. If set to another number, that many replacements are made.  Null is propogated if first "
     "string is null unless second string is null.  If first and second are null, third string is returned.",
     0, ""},
    {"compare", charging_texts<fn_compare, 0, 1>, 2, 3, "ssb", 'i', 0,
     "Compares two strings. Returns -1 if first < second, 0 if they are equal, and 1 if first is > second. If "
     "the third parameter is true, they are compared case-insensitively.",
     0, ""},
};

}  // namespace

std::span<const exp_function> string_functions() { return kRecords; }
