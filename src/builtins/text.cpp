// Text analysis built-ins: a string's shape (pattern), wildcard matching (match_string), control
// characters (has_control_chars), sorting characters and words (sort, sort_words) and the
// Levenshtein distance (edit_distance). All walk UTF-8 text character by character through the
// character layer; comparisons are exact (by code point or by bytes), never by locale.
#include <algorithm>
#include <cstring>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "builtins/builtins.h"
#include "builtins/cancel.h"
#include "builtins/cells.h"
#include "errors.h"
#include "support/uchar.h"
#include "values.h"

using namespace builtin_cells;

namespace {

using Cell = exp_symval;

// Byte length of the character at `p` (0 at the terminator).
int char_bytes(const char *p) {
  int n = 0;
  np_uchar_toint(p, &n);
  return n;
}

// Pointer to the character after `p`; stays at the terminator.
const char *next_char(const char *p) { return p + char_bytes(p); }

bool is_space(const char *p) { return np_uchar_isspace(p, nullptr) != 0; }

// Stores `text` as a string result. Results of these functions have at most as many characters
// as the input, so the input's character count bounds the room the result needs.
int store_text(exp_engine *e, Cell *result, std::string_view text, int64_t input_chars) {
  return store(e, result, text.data(), text.size(), input_chars);
}

// ---- pattern -------------------------------------------------------------------------------------

// The shape character of the character at `p`: the first class that holds decides.
void append_shape(std::string &out, const char *p, int bytes) {
  if (np_uchar_isupper(p, nullptr)) out += 'A';
  else if (np_uchar_islower(p, nullptr)) out += 'a';
  else if (np_uchar_ispunc(p, nullptr)) out.append(p, static_cast<size_t>(bytes));
  else if (np_uchar_isspace(p, nullptr)) out += ' ';
  else if (np_uchar_isdigit(p, nullptr)) out += '9';
  else out += '*';
}

// Each character is classified through the character layer: a unit of work apiece.
int fn_pattern(exp_engine *e, Cell *result, int argc, Cell **argv) {
  if (symval_is_null(argv[0])) return set_null(result);
  const char *s = text_of(argv[0]);
  std::string out;
  int64_t chars = 0;
  for (const char *p = s; *p; p = next_char(p), ++chars) append_shape(out, p, char_bytes(p));
  if (int rc = work_charge(e, argv[argc], chars)) return rc;
  return store_text(e, result, out, chars);
}

// ---- has_control_chars ---------------------------------------------------------------------------

// A unit of work per character classified.
int fn_has_control_chars(exp_engine *e, Cell *result, int argc, Cell **argv) {
  if (symval_is_null(argv[0])) return set_bool(result, false);
  int64_t chars = 0;
  bool found = false;
  for (const char *p = text_of(argv[0]); *p && !found; p = next_char(p), ++chars) found = np_uchar_isctl(p, nullptr);
  if (int rc = work_charge(e, argv[argc], chars)) return rc;
  return set_bool(result, found);
}

// ---- match_string --------------------------------------------------------------------------------

// True for the patterns the matcher handles: X, *X, X* and *X*, where X holds ordinary
// characters, question marks and backslash escapes. A star elsewhere, or a pattern that is just
// two stars, is refused.
bool wildcard_check(const char *pattern) {
  size_t n = std::strlen(pattern);
  int stars = 0;
  for (const char *p = pattern; *p;) {
    if (*p == '\\') {
      p = next_char(next_char(p));  // the escaped character is not looked at
      continue;
    }
    if (*p == '*') {
      size_t at = static_cast<size_t>(p - pattern);
      if (at != 0 && at != n - 1) return false;
      ++stars;
    }
    p = next_char(p);
  }
  return !(n == 2 && stars == 2);
}

bool same_char(const char *a, const char *b) { return np_uchar_toint(a, nullptr) == np_uchar_toint(b, nullptr); }

// The matcher's state within one attempt at `s` against the whole pattern.
struct WildcardAttempt {
  const char *s;
  const char *p;
  bool star_seen = false;
  bool literal_question = false;
  char star_next = 0;  // the byte after the most recent star
  size_t scanned = 0;  // bytes the last literal comparison searched before a retry
};

enum class Step { Next, Literal, Star, Advance, Fail, End, Retry };

// The star: skip text up to the first character equal to the one after the star (question marks
// after the star consume one character each until a backslash makes them literal).
Step wildcard_star(WildcardAttempt &w) {
  w.star_seen = true;
  ++w.p;
  w.star_next = *w.p;
  while (*w.s) {
    if (*w.p == '\\') {
      w.p = next_char(w.p);
      if (!*w.p) break;
      w.literal_question = true;
    } else if (*w.p == '?' && !w.literal_question) {
      w.s = next_char(w.s);
      w.p = next_char(w.p);
      if (!*w.p) break;
    } else {
      if (same_char(w.s, w.p)) break;
      w.s = next_char(w.s);
    }
  }
  if (!same_char(w.s, w.p)) return Step::Fail;
  return *w.s ? Step::Advance : Step::End;
}

// A literal comparison that fails after a star: when the byte after the star still occurs in the
// rest of the text, the whole pattern is tried again from here.
Step wildcard_literal(WildcardAttempt &w) {
  if (same_char(w.s, w.p)) return Step::Advance;
  if (!w.star_seen) return Step::Fail;
  if (!*w.s) return Step::End;
  // Searched up to the first hit only: measuring the whole rest first would make every retry
  // cost the length of the text.
  const char *hit = w.star_next ? std::strchr(w.s, w.star_next) : nullptr;
  w.scanned = hit ? static_cast<size_t>(hit - w.s) + 1 : 0;
  if (hit) return Step::Retry;
  return Step::Fail;
}

Step wildcard_next(WildcardAttempt &w) {
  switch (*w.p) {
    case '\0': return Step::Fail;
    case '\\': w.p = next_char(w.p); return Step::Literal;
    case '*': return Step::Star;
    case '?': return Step::Advance;
    default: return Step::Literal;
  }
}

// Matches `text` against a pattern that passed wildcard_check. A retry restarts the pattern at
// the current text position; it happens only after the text advanced, so the loop ends and the
// text is walked once (charged with the call), but retries can take time quadratic in the text,
// so each one's work goes to `meter` and a cancelled run stops (error 104 through *rc).
bool wildcard_match(const char *text, const char *pattern, WorkMeter &meter, int *rc) {
  WildcardAttempt w{text, pattern};
  Step step = *w.s ? Step::Next : Step::End;
  for (;;) {
    switch (step) {
      case Step::Next: step = wildcard_next(w); break;
      case Step::Literal: step = wildcard_literal(w); break;
      case Step::Star: step = wildcard_star(w); break;
      case Step::Advance:
        w.s = next_char(w.s);
        w.p = next_char(w.p);
        step = *w.s ? Step::Next : Step::End;
        break;
      case Step::Fail:
        if (*w.s) return false;
        step = Step::End;
        break;
      case Step::End: return *w.p == '\0' || *w.p == '*';
      case Step::Retry:
        // The search for the retry, and the pattern this attempt got through.
        if ((*rc = meter.add(static_cast<int64_t>(w.scanned + static_cast<size_t>(w.p - pattern)) + 1))) return false;
        w = WildcardAttempt{w.s, pattern};
        step = Step::Next;
        break;
    }
  }
}

int fn_match_string(exp_engine *e, Cell *result, int argc, Cell **argv) {
  bool s_null = symval_is_null(argv[0]), p_null = symval_is_null(argv[1]);
  if (s_null || p_null) return set_bool(result, s_null && p_null);
  const char *pattern = text_of(argv[1]);
  if (!wildcard_check(pattern)) return set_bool(result, false);
  WorkMeter meter(e, argv[argc]);
  int rc = 0;
  bool matched = wildcard_match(text_of(argv[0]), pattern, meter, &rc);
  return rc ? rc : set_bool(result, matched);
}

// ---- sort ----------------------------------------------------------------------------------------

// Thrown out of std::sort by a metered comparison when the run must stop; carries error 104.
struct SortStopped {
  int rc;
};

// `less`, with each comparison counted by `meter`: sorting a long text can take seconds, and a
// cancelled run stops inside the sort.
template <typename Less>
auto metered(Less less, WorkMeter &meter) {
  return [less, &meter](const auto &a, const auto &b) {
    if (int rc = meter.add(1)) throw SortStopped{rc};
    return less(a, b);
  };
}

// The bytes of `bytes` in order, by counting each byte value: linear, and with no comparisons.
std::string counted_sort(std::string_view bytes, bool ascending, bool unique) {
  size_t counts[256] = {};
  for (unsigned char b : bytes) ++counts[b];
  std::string out;
  out.reserve(bytes.size());
  for (int i = 0; i < 256; ++i) {
    const int b = ascending ? i : 255 - i;
    if (counts[b]) out.append(unique ? 1 : counts[b], static_cast<char>(b));
  }
  return out;
}

// The non-white-space characters of `s` sorted by code point, as UTF-8. When every one is a
// single byte the bytes themselves are sorted (so a stray invalid byte survives unchanged);
// otherwise code points are sorted and re-encoded.
std::string sorted_chars(const char *s, bool ascending, bool unique, WorkMeter &meter) {
  std::string bytes;
  std::vector<int32_t> points;
  bool multi = false;
  for (const char *p = s; *p; p = next_char(p)) {
    if (is_space(p)) continue;
    int n = 0;
    int32_t cp = np_uchar_toint(p, &n);
    multi |= n > 1;
    bytes.append(p, static_cast<size_t>(n));
    points.push_back(cp);
  }
  if (!multi) return counted_sort(bytes, ascending, unique);
  auto order = [ascending](int32_t a, int32_t b) { return ascending ? a < b : b < a; };
  std::sort(points.begin(), points.end(), metered(order, meter));
  if (unique) points.erase(std::unique(points.begin(), points.end()), points.end());
  std::string out;
  for (int32_t cp : points) {
    char buf[4];
    out.append(buf, static_cast<size_t>(np_uchar_intcopy(cp, buf, sizeof buf)));
  }
  return out;
}

// ---- sort_words ----------------------------------------------------------------------------------

// The maximal runs of non-white-space characters of `s`.
std::vector<std::string_view> split_words(const char *s) {
  std::vector<std::string_view> words;
  const char *p = s;
  while (*p) {
    while (*p && is_space(p)) p = next_char(p);
    const char *start = p;
    while (*p && !is_space(p)) p = next_char(p);
    if (p != start) words.emplace_back(start, static_cast<size_t>(p - start));
  }
  return words;
}

// Words compared byte by byte as unsigned values; a prefix sorts before the longer word.
bool word_less(std::string_view a, std::string_view b) {
  size_t n = std::min(a.size(), b.size());
  int c = std::memcmp(a.data(), b.data(), n);
  return c != 0 ? c < 0 : a.size() < b.size();
}

std::string sorted_words(const char *s, bool ascending, bool unique, WorkMeter &meter) {
  std::vector<std::string_view> words = split_words(s);
  auto order = [ascending](std::string_view a, std::string_view b) {
    return ascending ? word_less(a, b) : word_less(b, a);
  };
  std::sort(words.begin(), words.end(), metered(order, meter));
  if (unique) words.erase(std::unique(words.begin(), words.end()), words.end());
  std::string out;
  for (std::string_view w : words) {
    if (!out.empty()) out += ' ';
    out.append(w);
  }
  return out;
}

// The most memory sorted_chars and sorted_words hold for `s`, the vectors' growth included: the
// bytes, the output, and a code point per character or two views per word.
int64_t chars_scratch(const char *s) {
  return static_cast<int64_t>(std::strlen(s)) * 2 + np_uchar_length(s) * 8 + 64;
}
int64_t words_scratch(const char *s) {
  int64_t words = 0;
  bool in_word = false;
  for (const char *p = s; *p; p = next_char(p)) {
    const bool space = is_space(p);
    words += !space && !in_word;
    in_word = !space;
  }
  return static_cast<int64_t>(std::strlen(s)) + words * 2 * static_cast<int64_t>(sizeof(std::string_view)) + 64;
}

using SortFn = std::string (*)(const char *, bool, bool, WorkMeter &);

// sort(s [, ascending [, unique]]) and sort_words(s [, ascending [, unique]]): the characters or
// words of s in order, ascending unless the first flag is false, duplicates dropped when the
// second is true. The work arrays are charged to the engine's memory while they live.
template <SortFn Sorted, int64_t (*Scratch)(const char *)>
int fn_sorted(exp_engine *e, Cell *result, int argc, Cell **argv) {
  if (symval_is_null(argv[0])) return set_null(result);
  const char *s = text_of(argv[0]);
  ScratchCharge scratch(e, Scratch(s));
  if (scratch.rc()) return scratch.rc();
  WorkMeter meter(e, argv[argc]);
  // Measuring, splitting and writing walk the text a few times; comparisons are counted apart.
  if (int rc = meter.add_bytes(std::strlen(s) * 4)) return rc;
  try {
    std::string out = Sorted(s, flag_arg(argc, argv, 1, true), flag_arg(argc, argv, 2, false), meter);
    return store_text(e, result, out, np_uchar_length(s));
  } catch (const SortStopped &stop) {
    return stop.rc;
  }
}

// ---- edit_distance -------------------------------------------------------------------------------

std::vector<std::string_view> split_chars(const char *s) {
  std::vector<std::string_view> chars;
  for (const char *p = s; *p; p = next_char(p)) chars.emplace_back(p, static_cast<size_t>(char_bytes(p)));
  return chars;
}

// Levenshtein distance over characters (two characters are equal when their bytes are). Only two
// rows over the shorter text are kept; the distance is symmetric, so which text is which does not
// change the answer. Each row's work goes to `meter`, so a cancelled run stops between rows;
// error 104 then comes back through `*rc`.
int64_t levenshtein(const char *a, const char *b, WorkMeter &meter, int *rc) {
  if (np_uchar_length(a) > np_uchar_length(b)) std::swap(a, b);
  std::vector<std::string_view> shorter = split_chars(a);
  std::vector<int64_t> prev(shorter.size() + 1), cur(shorter.size() + 1);
  for (size_t i = 0; i <= shorter.size(); ++i) prev[i] = static_cast<int64_t>(i);
  int64_t row = 0;
  for (const char *q = b; *q; q = next_char(q)) {
    if ((*rc = meter.add(static_cast<int64_t>(shorter.size()) + 1))) return 0;
    std::string_view c(q, static_cast<size_t>(char_bytes(q)));
    cur[0] = ++row;
    for (size_t i = 1; i <= shorter.size(); ++i) {
      int64_t cost = shorter[i - 1] == c ? 0 : 1;
      cur[i] = std::min({prev[i - 1] + cost, cur[i - 1] + 1, prev[i] + 1});
    }
    std::swap(prev, cur);
  }
  return prev[shorter.size()];
}

int fn_edit_distance(exp_engine *e, Cell *result, int argc, Cell **argv) {
  if (symval_is_null(argv[0]) || symval_is_null(argv[1])) return set_null(result);
  // A view (16 bytes) per character of the shorter text and two rows of 8-byte distances.
  const int64_t shorter = std::min(np_uchar_length(text_of(argv[0])), np_uchar_length(text_of(argv[1])));
  ScratchCharge scratch(e, (shorter + 1) * 32);
  if (scratch.rc()) return scratch.rc();
  WorkMeter meter(e, argv[argc]);
  int rc = meter.add(shorter);  // splitting the shorter text; each row is counted as it is done
  if (rc) return rc;
  int64_t distance = levenshtein(text_of(argv[0]), text_of(argv[1]), meter, &rc);
  if (rc) return rc;
  exp_symval_setint(result, distance);
  return 0;
}

// Catches allocation failure in the functions that build work arrays.
template <exp_func_cb Fn>
int guarded(exp_engine *e, Cell *result, int argc, Cell **argv) {
  try {
    return Fn(e, result, argc, argv);
  } catch (const std::bad_alloc &) {
    return memory_failure(e);
  }
}

const exp_function kRecords[] = {
    {"pattern", guarded<fn_pattern>, 1, 1, "s", 's', 255, "Generates a pattern from the input string", 0, ""},
    {"match_string", charging_texts<fn_match_string, 0, 1>, 2, 2, "ss", 'b', 0,
     "Determines if the first string matches the second string, which may contain wildcards. To execute a "
     "search for a character that is used as a wildcard, precede the character with a backslash. This denotes "
     "that the character should be used literally and not as a wildcard.",
     0, ""},
    {"has_control_chars", fn_has_control_chars, 1, 1, "s", 'b', 0,
     "Determine if the string contains control characters", 0, ""},
    {"edit_distance", guarded<fn_edit_distance>, 2, 2, "ss", 'i', 0,
     "Returns the number of letters that are different between two strings, as well as the number of "
     "corrections necessary to turn one string into the other. Corrections can include adding, removing, or "
     "changing a letter.",
     0, ""},
    {"sort_words", guarded<fn_sorted<sorted_words, words_scratch>>, 1, 3, "sbb", 's', 255,
     "Returns a string that consists of the words in the input string sorted alphabetically. The first Boolean "
     "parameter causes the words within the string to be sorted in ascending order. Default is TRUE "
     "(ascending). FALSE results in descending order. Second Boolean parameter determines if duplicate words "
     "within the string should be discarded. Default is FALSE (duplicates are not discarded). TRUE results in "
     "duplicate strings being discarded.",
     0, ""},
    {"sort", guarded<fn_sorted<sorted_chars, chars_scratch>>, 1, 3, "sbb", 's', 255,
     "Return the string with its contents sorted alphabetically.  The first Boolean parameter causes the "
     "characters within the string to be sorted in ascending order. Default is TRUE (ascending). FALSE results "
     "in descending order. Second Boolean parameter determines if duplicate words within the string should be "
     "discarded. Default is FALSE (duplicates are not discarded). TRUE results in duplicate strings being "
     "discarded.",
     0, ""},
};

}  // namespace

std::span<const exp_function> text_functions() { return kRecords; }

bool match_string_pattern_valid(const char *pattern) { return wildcard_check(pattern); }
