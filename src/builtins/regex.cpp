// The regex class: Perl-compatible regular expressions on PCRE2 in UTF-8 mode. The search state is
// kept in byte offsets; positions and lengths reported to programs are 1-based and counted in
// characters through a map from each byte of the last findfirst subject to its character index.
#define PCRE2_CODE_UNIT_WIDTH 8
#include <pcre2.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "builtins/builtins.h"
#include "builtins/cancel.h"
#include "builtins/cells.h"
#include "engine.h"
#include "errors.h"
#include "support/turkish.h"
#include "support/uchar.h"
#include "support/utf8.h"
#include "values.h"

using namespace builtin_cells;

namespace {

constexpr uint32_t kPairs = 10;                 // offset pairs kept per match: the match and 9 groups
constexpr size_t kReplaceLimit = 16384;         // replace output, terminator included
constexpr uint32_t kMatchLimit = 10'000'000;    // bounds catastrophic backtracking (about 0.5 s)
constexpr uint32_t kCompileOptions = PCRE2_UTF | PCRE2_MATCH_INVALID_UTF;
// The same pattern for subjects known to be well-formed UTF-8, matched without PCRE2's check of
// the subject: with PCRE2_MATCH_INVALID_UTF every match checks the whole rest of the subject
// (PCRE2_NO_UTF_CHECK is ignored), which makes a loop of matches quadratic.
constexpr uint32_t kCheckedSubjectOptions = PCRE2_UTF;
// Work charged for one match attempt besides the text it goes over (see kWorkPerCheck).
constexpr int64_t kMatchUnits = 8;
constexpr uint32_t kAnchoredNotEmpty = PCRE2_NOTEMPTY | PCRE2_ANCHORED;

struct CodeFree {
  void operator()(pcre2_code *c) const { pcre2_code_free(c); }
};
struct MatchDataFree {
  void operator()(pcre2_match_data *m) const { pcre2_match_data_free(m); }
};
struct ContextFree {
  void operator()(pcre2_match_context *c) const { pcre2_match_context_free(c); }
};
struct GeneralFree {
  void operator()(pcre2_general_context *c) const { pcre2_general_context_free(c); }
};
using Code = std::unique_ptr<pcre2_code, CodeFree>;
using MatchData = std::unique_ptr<pcre2_match_data, MatchDataFree>;
using MatchContext = std::unique_ptr<pcre2_match_context, ContextFree>;
using GeneralContext = std::unique_ptr<pcre2_general_context, GeneralFree>;

// The data of a regex instance: the compiled pattern and the state of the current search.
struct RegexData {
  // Declared first so that it outlives the match data, whose memory it is charged for.
  MemoryBudgetRef budget;        // the engine charged for the pattern and the match memory
  GeneralContext general;        // allocates match memory from `budget`; none outside an engine
  Code code;
  Code code_for_checked;         // compiled on first need with kCheckedSubjectOptions
  MatchData match;               // offset vector of the current match
  MatchContext context;          // match limits
  std::vector<int32_t> char_map;  // character index of each byte of the subject, then the count
  int32_t match_count = 0;       // valid pairs of the current match; 0 without one
  size_t subject_length = 0;     // bytes of the last findfirst subject
  bool turkish = false;          // Turkish case rules (see turkish.h)
  std::string pattern;           // as compiled (rewritten in Turkish mode), for code_for_checked
  int64_t charged = 0;           // for the compiled patterns and char_map's largest size

  RegexData() = default;
  ~RegexData() {
    if (budget) limit_release(*budget, charged);
  }
  RegexData(const RegexData &) = delete;
  RegexData &operator=(const RegexData &) = delete;
};

void regex_destructor(void *data) { delete static_cast<RegexData *>(data); }

// ---- helpers ----------------------------------------------------------------------------------------

constexpr const char *kClassName = "regex";

bool is_regex_cell(const exp_symval *cell) { return is_object_of(cell, kClassName); }

// The compiled regex of argv[0] for every method but compile: "No regex is compiled" when null.
int compiled_regex(exp_engine *e, exp_symval **argv, RegexData **out) {
  if (!is_regex_cell(argv[0])) return wrong_object(e, kClassName);
  *out = instance_of<RegexData>(argv[0]);
  return *out ? 0 : exp_raise_error(e, "No regex is compiled");
}

// Reports a PCRE2 error code with PCRE2's own text as a function error; PCRE2 running out of
// memory is the engine's memory error.
int pcre_error(exp_engine *e, int code) {
  // A limit the host set is reported as that limit, not as a failure of the pattern.
  if (code == PCRE2_ERROR_MATCHLIMIT && e->limits[EXP_LIMIT_REGEX_MATCH]) return limit_error(e, EXP_LIMIT_REGEX_MATCH);
  if (code == PCRE2_ERROR_DEPTHLIMIT && e->limits[EXP_LIMIT_REGEX_DEPTH]) return limit_error(e, EXP_LIMIT_REGEX_DEPTH);
  if (code == PCRE2_ERROR_NOMEMORY || code == PCRE2_ERROR_HEAP_FAILED) return memory_failure(e);
  PCRE2_UCHAR text[256];
  if (pcre2_get_error_message(code, text, sizeof text) < 0) return exp_raise_error(e, "regular expression error");
  return exp_raise_error(e, reinterpret_cast<const char *>(text));
}

// Match results that must stop the program rather than read as "no match": the resource limits
// that bound a runaway pattern.
bool is_limit_error(int rc) {
  return rc == PCRE2_ERROR_MATCHLIMIT || rc == PCRE2_ERROR_DEPTHLIMIT || rc == PCRE2_ERROR_HEAPLIMIT ||
         rc == PCRE2_ERROR_NOMEMORY;
}

int run_match(const RegexData &re, pcre2_match_data *into, std::string_view subject, size_t start, uint32_t options) {
  return pcre2_match(re.code.get(), reinterpret_cast<PCRE2_SPTR>(subject.data()), subject.size(), start, options,
                     into, re.context.get());
}

// Byte offset of the character after the one at `at` (one past the end at the end).
size_t next_char(std::string_view subject, size_t at) {
  if (at >= subject.size()) return subject.size() + 1;
  const char *next = np_uchar_seek(subject.data() + at, 1);
  return next ? static_cast<size_t>(next - subject.data()) : at + 1;
}

// True when the first seven characters of `option` spell "turkish" in any case.
bool is_turkish(const char *option) {
  const char *end = np_uchar_seek(option, 7);
  return end && np_uchar_icomp(std::string_view(option, static_cast<size_t>(end - option)), "turkish") == 0;
}

// ---- compile ------------------------------------------------------------------------------------------

// Compiles `pattern` into `re`; 0, or a function error with PCRE2's text. In Turkish mode the
// pattern as written is compiled first, so errors name what the program wrote.
int compile_pattern(exp_engine *e, RegexData *re, const char *pattern) {
  int code = 0;
  PCRE2_SIZE offset = 0;
  re->code.reset(pcre2_compile(reinterpret_cast<PCRE2_SPTR>(pattern), PCRE2_ZERO_TERMINATED, kCompileOptions,
                               &code, &offset, nullptr));
  if (!re->code) return pcre_error(e, code);
  re->pattern = re->turkish ? turkish_pattern(pattern) : std::string(pattern);
  if (!re->turkish) return 0;
  re->code.reset(pcre2_compile(reinterpret_cast<PCRE2_SPTR>(re->pattern.c_str()), re->pattern.size(),
                               kCompileOptions, &code, &offset, nullptr));
  return re->code ? 0 : pcre_error(e, code);
}

// Bytes a compiled pattern holds.
int64_t code_size(const pcre2_code *code) {
  size_t size = 0;
  pcre2_pattern_info(code, PCRE2_INFO_SIZE, &size);
  return static_cast<int64_t>(size);
}

// The pattern compiled for well-formed subjects (see kCheckedSubjectOptions), compiled and
// charged to the engine's memory on first need. 0, or error 109 or 1.
int prepare_code_for_checked(exp_engine *e, RegexData *re) {
  if (re->code_for_checked) return 0;
  int code = 0;
  PCRE2_SIZE offset = 0;
  Code compiled(pcre2_compile(reinterpret_cast<PCRE2_SPTR>(re->pattern.c_str()), re->pattern.size(),
                              kCheckedSubjectOptions, &code, &offset, nullptr));
  if (!compiled) return pcre_error(e, code);  // it compiled with the other options: memory
  const int64_t size = code_size(compiled.get());
  if (re->budget) {
    if (int rc = limit_charge(e, size)) return rc;
    re->charged += size;
  }
  re->code_for_checked = std::move(compiled);
  return 0;
}

// Sets the match limits (the engine's, where the host set them) and charges the compiled pattern
// to the engine's memory. 0, or error 109 past the memory limit.
int apply_limits(exp_engine *e, RegexData *re) {
  if (!e) {
    pcre2_set_match_limit(re->context.get(), kMatchLimit);
    return 0;
  }
  const int64_t match = e->limits[EXP_LIMIT_REGEX_MATCH], depth = e->limits[EXP_LIMIT_REGEX_DEPTH];
  pcre2_set_match_limit(re->context.get(), match ? static_cast<uint32_t>(std::min<int64_t>(match, UINT32_MAX))
                                                 : kMatchLimit);
  if (depth) pcre2_set_depth_limit(re->context.get(), static_cast<uint32_t>(std::min<int64_t>(depth, UINT32_MAX)));
  const int64_t size = code_size(re->code.get());
  if (int rc = limit_charge(e, size)) return rc;
  re->charged = size;
  return 0;
}

// compile(re, pattern [, option]): replaces the variable's regex; true on success. A null pattern
// leaves the variable alone; a pattern that does not compile leaves it null.
int regex_compile(exp_engine *e, exp_symval *result, int argc, exp_symval **argv) {
  if (!is_regex_cell(argv[0])) return wrong_object(e, kClassName);
  if (symval_is_null(argv[1])) return set_int(result, 0);
  exp_symval_setnull(argv[0]);
  std::unique_ptr<RegexData> re(new (std::nothrow) RegexData);
  if (!re) return exp_raise_memory_error(e);
  re->turkish = argc >= 3 && !symval_is_null(argv[2]) && is_turkish(argv[2]->value.s);
  try {
    if (int rc = compile_pattern(e, re.get(), argv[1]->value.s)) return rc;
  } catch (const std::bad_alloc &) {
    return exp_raise_memory_error(e);
  }
  if (e) {
    // Match memory (PCRE2's backtracking frames) counts toward the engine's memory limit.
    re->budget = e->memory;
    re->general.reset(pcre2_general_context_create(budget_malloc, budget_free, re->budget.get()));
    if (!re->general) return memory_failure(e);
  }
  re->match.reset(pcre2_match_data_create(kPairs, re->general.get()));
  re->context.reset(pcre2_match_context_create(re->general.get()));
  if (!re->match || !re->context) return memory_failure(e);
  if (int rc = apply_limits(e, re.get())) return rc;
  if (!exp_instantiate_object(argv[0], re.get())) return exp_raise_memory_error(e);
  re.release();
  return set_int(result, 1);
}

// ---- searching ------------------------------------------------------------------------------------------

// Rebuilds the byte-to-character map for `subject`. 0, or error 109 when a map larger than any
// before would pass the memory limit.
int build_char_map(exp_engine *e, RegexData *re, std::string_view subject) {
  const auto bytes = static_cast<int64_t>((subject.size() + 1) * sizeof(int32_t));
  const auto held = static_cast<int64_t>(re->char_map.capacity() * sizeof(int32_t));
  if (re->budget && bytes > held) {
    if (int rc = limit_charge(e, bytes - held)) return rc;
    re->charged += bytes - held;
  }
  re->char_map.assign(subject.size() + 1, 0);
  int32_t index = 0;
  for (size_t at = 0; at < subject.size(); ++index) {
    size_t next = next_char(subject, at);
    for (; at < next && at < subject.size(); ++at) re->char_map[at] = index;
  }
  re->char_map[subject.size()] = index;
  return 0;
}

// Records the outcome of a match attempt: true for a match, false for none, or an error number
// through *error for a limit error.
bool record_match(exp_engine *e, RegexData *re, int rc, int *error) {
  *error = 0;
  if (rc >= 0) {
    re->match_count = rc == 0 ? static_cast<int32_t>(kPairs) : rc;
    return true;
  }
  re->match_count = 0;
  if (is_limit_error(rc)) *error = pcre_error(e, rc);
  return false;
}

// The work of a match attempt from `start` in `subject` (see kMatchUnits): PCRE2 checks the rest
// of the subject, then searches it.
int64_t match_units(std::string_view subject, size_t start) {
  const size_t rest = start < subject.size() ? subject.size() - start : 0;
  return kMatchUnits + static_cast<int64_t>(2 * rest / kBytesPerUnit);
}

// findfirst(re, s): starts a search of s; true when a match was found.
int regex_findfirst(exp_engine *e, exp_symval *result, int argc, exp_symval **argv) {
  RegexData *re = nullptr;
  if (int rc = compiled_regex(e, argv, &re)) return rc;
  if (symval_is_null(argv[1])) return set_int(result, 0);
  std::string_view subject(argv[1]->value.s);
  // The character map is written for every byte, then the subject is matched.
  if (int rc = work_charge(e, argv[argc], match_units(subject, 0) + static_cast<int64_t>(subject.size() / 4)))
    return rc;
  try {
    if (int rc = build_char_map(e, re, subject)) {
      re->match_count = 0;
      return rc;
    }
  } catch (const std::bad_alloc &) {
    re->match_count = 0;
    return exp_raise_memory_error(e);
  }
  re->subject_length = subject.size();
  int error = 0;
  bool found = record_match(e, re, run_match(*re, re->match.get(), subject, 0, 0), &error);
  return error ? error : set_int(result, found ? 1 : 0);
}

// findnext(re, s): the next match after the current one in the same subject. After an empty match
// only non-empty matches anchored one character further on are tried, moving a character at a
// time, so an empty match is never found twice.
int regex_findnext(exp_engine *e, exp_symval *result, int argc, exp_symval **argv) {
  RegexData *re = nullptr;
  if (int rc = compiled_regex(e, argv, &re)) return rc;
  if (symval_is_null(argv[1]) || re->match_count == 0) return set_int(result, 0);
  std::string_view subject(argv[1]->value.s);
  if (subject.size() != re->subject_length)
    return exp_raise_error(e, "String passed to findnext differs from string passed to findfirst");
  const PCRE2_SIZE *ov = pcre2_get_ovector_pointer(re->match.get());
  size_t start = ov[1];
  uint32_t options = ov[0] == ov[1] ? kAnchoredNotEmpty : 0;
  for (;;) {
    if (start > subject.size()) break;
    if (int rc = work_charge(e, argv[argc], match_units(subject, start))) return rc;
    int rc = run_match(*re, re->match.get(), subject, start, options);
    int error = 0;
    if (record_match(e, re, rc, &error)) return set_int(result, 1);
    if (error) return error;
    if (rc != PCRE2_ERROR_NOMATCH || options == 0) break;
    start = next_char(subject, start);
  }
  re->match_count = 0;
  return set_int(result, 0);
}

// ---- reporting on the current match ----------------------------------------------------------------------

// Character index of byte offset `at` of the current subject.
int32_t char_index(const RegexData &re, size_t at) {
  if (re.char_map.empty()) return 0;
  return re.char_map[at < re.char_map.size() ? at : re.char_map.size() - 1];
}

// Start (1-based) or length in characters of pair `pair`; null without a match or when the group
// did not take part.
int report_pair(exp_symval *result, const RegexData &re, int64_t pair, bool length) {
  if (re.match_count == 0 || pair < 0 || pair >= re.match_count) return set_null(result);
  const PCRE2_SIZE *ov = pcre2_get_ovector_pointer(re.match.get());
  size_t from = ov[2 * pair], to = ov[2 * pair + 1];
  if (from == PCRE2_UNSET) return set_null(result);
  return set_int(result, length ? char_index(re, to) - char_index(re, from) : char_index(re, from) + 1);
}

template <bool Length>
int match_report(exp_engine *e, exp_symval *result, int, exp_symval **argv) {
  RegexData *re = nullptr;
  if (int rc = compiled_regex(e, argv, &re)) return rc;
  return report_pair(result, *re, 0, Length);
}

template <bool Length>
int substring_report(exp_engine *e, exp_symval *result, int, exp_symval **argv) {
  RegexData *re = nullptr;
  if (int rc = compiled_regex(e, argv, &re)) return rc;
  if (symval_is_null(argv[1])) return set_null(result);
  return report_pair(result, *re, argv[1]->value.i - 1, Length);
}

int regex_substringcount(exp_engine *e, exp_symval *result, int, exp_symval **argv) {
  RegexData *re = nullptr;
  if (int rc = compiled_regex(e, argv, &re)) return rc;
  return set_int(result, re->match_count);
}

// ---- replace ----------------------------------------------------------------------------------------------

// The case conversions a replacement template asks for with \U \L \E \u \l.
struct CaseState {
  bool upper = false, lower = false;            // \U / \L mode
  bool next_upper = false, next_lower = false;  // \u / \l: the next piece's first character
  bool upper_just_set = false, lower_just_set = false;

  void apply(char letter) {
    switch (letter) {
      case 'E': *this = CaseState{}; break;
      case 'L': *this = CaseState{false, true, false, false, false, true}; break;
      case 'U': *this = CaseState{true, false, false, false, true, false}; break;
      case 'l':
        if (!upper || upper_just_set) {
          next_lower = true;
          next_upper = false;
        }
        upper_just_set = lower_just_set = false;
        break;
      case 'u':
        if (!lower || lower_just_set) {
          next_upper = true;
          next_lower = false;
        }
        upper_just_set = lower_just_set = false;
        break;
      default: break;
    }
  }
};

// Builds the output of replace: the unmatched text and the expanded templates, at most
// kReplaceLimit - 1 bytes, cut on character boundaries.
class Substitution {
 public:
  Substitution(std::string_view subject, bool turkish) : subject_(subject), turkish_(turkish) {}

  // Appends text as it stands, as far as the room allows.
  void emit(std::string_view text) {
    size_t room = kReplaceLimit - 1 - out_.size();
    out_.append(text.substr(0, np_uchar_cut(text, room)));
  }

  // Expands the template for the match whose `pairs` offsets are given (`count` valid pairs).
  void expand(std::string_view templ, const PCRE2_SIZE *pairs, int count) {
    bool escaped = false;
    for (char c : templ) {
      if (!escaped) {
        escaped = c == '\\';
        if (!escaped) append_piece(std::string_view(&c, 1));
        continue;
      }
      escaped = false;
      if (c >= '0' && c <= '9') {
        append_piece(group(pairs, count, c - '0'));
      } else if (c != '\0' && std::strchr("ELUlu", c)) {
        flush();
        case_.apply(c);
      } else {
        append_piece(std::string_view(&c, 1));
      }
    }
    flush();
  }

  std::string &text() { return out_; }
  // True once the output holds as many bytes as it may: nothing later can change it.
  bool full() const { return out_.size() >= kReplaceLimit - 1; }

 private:
  std::string_view group(const PCRE2_SIZE *pairs, int count, int n) const {
    if (n >= count || pairs[2 * n] == PCRE2_UNSET || pairs[2 * n + 1] < pairs[2 * n]) return {};
    return subject_.substr(pairs[2 * n], pairs[2 * n + 1] - pairs[2 * n]);
  }

  void append_piece(std::string_view text) {
    piece_.append(text);
    case_.upper_just_set = case_.lower_just_set = false;
  }

  std::string convert(std::string_view text, bool upper) const {
    if (turkish_) return upper ? turkish_upper(text) : turkish_lower(text);
    auto mapper = upper ? np_uchar_upper : np_uchar_lower;
    int needed = mapper(text, nullptr, 0);
    if (needed < 0) return std::string(text);
    std::string out(static_cast<size_t>(needed) + 1, '\0');
    out.resize(static_cast<size_t>(mapper(text, out.data(), needed + 1)));
    return out;
  }

  // Sends the piece to the output with the case conversion in force, then empties it.
  void flush() {
    if (piece_.empty()) return;
    if (case_.next_upper || case_.next_lower) {
      bool upper = case_.next_upper;
      case_.next_upper = case_.next_lower = false;
      const char *second = np_uchar_seek(piece_.c_str(), 1);
      size_t first = second ? static_cast<size_t>(second - piece_.c_str()) : 1;
      emit(convert(std::string_view(piece_).substr(0, first), upper));
      emit(std::string_view(piece_).substr(first));
    } else if (case_.upper || case_.lower) {
      emit(convert(piece_, case_.upper));
    } else {
      emit(piece_);
    }
    piece_.clear();
  }

  std::string_view subject_;
  bool turkish_;
  std::string out_;
  std::string piece_;
  CaseState case_;
};

// Runs the substitution loop. Returns 0, or an error for a limit error or a stopped run. After an
// empty match the next search starts one character further on, and that character stays in the
// output. A well-formed subject is checked once and then matched unchecked, so the loop takes
// time linear in the subject; a subject holding invalid bytes is matched as PCRE2's invalid-UTF
// mode has it, each match checking the rest of the subject again (charged as such). The search
// ends once the output is full. Every match's work goes to `meter`.
int substitute(exp_engine *e, RegexData &re, std::string_view subject, std::string_view templ, Substitution *out,
               WorkMeter &meter) {
  if (int rc = meter.add_bytes(subject.size())) return rc;
  const bool well_formed = utf8::well_formed(subject);
  if (well_formed)
    if (int rc = prepare_code_for_checked(e, &re)) return rc;
  const pcre2_code *code = well_formed ? re.code_for_checked.get() : re.code.get();
  const uint32_t options = well_formed ? PCRE2_NO_UTF_CHECK : 0;
  MatchData match(pcre2_match_data_create(kPairs, re.general.get()));
  if (!match) throw std::bad_alloc();
  const int64_t per_match = kMatchUnits + static_cast<int64_t>(templ.size() / kBytesPerUnit);
  size_t copied = 0, start = 0;
  int rc = 0;
  for (;;) {
    rc = pcre2_match(code, reinterpret_cast<PCRE2_SPTR>(subject.data()), subject.size(), start, options,
                     match.get(), re.context.get());
    const PCRE2_SIZE *ov = pcre2_get_ovector_pointer(match.get());
    // The text the search went over, and for an unchecked subject PCRE2's check of the rest.
    const size_t reached = rc >= 0 && ov[1] >= start ? ov[1] : subject.size();
    const size_t checked = well_formed ? 0 : subject.size() - start;
    if (int stop = meter.add(per_match + static_cast<int64_t>((reached - start + checked) / kBytesPerUnit)))
      return stop;
    if (rc < 0) break;
    size_t from = ov[0] < copied ? copied : ov[0], to = ov[1] < from ? from : ov[1];
    out->emit(subject.substr(copied, from - copied));
    out->expand(templ, ov, rc == 0 ? static_cast<int>(kPairs) : rc);
    copied = to;
    size_t next = from == to ? next_char(subject, to) : to;
    if (next >= subject.size() || out->full()) break;
    start = next;
  }
  if (is_limit_error(rc)) return pcre_error(e, rc);
  out->emit(subject.substr(copied < subject.size() ? copied : subject.size()));
  return 0;
}

// replace(re, s, t): s with every match replaced by the expansion of t (\0-\9 the match and its
// groups, \U \L \E \u \l case conversions), at most 16383 bytes. The search state is untouched.
int regex_replace(exp_engine *e, exp_symval *result, int argc, exp_symval **argv) {
  RegexData *re = nullptr;
  if (int rc = compiled_regex(e, argv, &re)) return rc;
  if (symval_is_null(argv[1]) || symval_is_null(argv[2])) return set_null(result);
  std::string_view subject(argv[1]->value.s), templ(argv[2]->value.s);
  WorkMeter meter(e, argv[argc]);
  try {
    Substitution out(subject, re->turkish);
    if (int rc = substitute(e, *re, subject, templ, &out, meter)) return rc;
    if (int rc = limit_check_text(e, out.text())) return rc;
    symval_set_bytes(result, out.text().data(), out.text().size());
  } catch (const std::bad_alloc &) {
    return set_null(result);
  }
  return 0;
}

// ---- records ------------------------------------------------------------------------------------------------

const builtin_class kClasses[] = {{"regex", "Regular Expression", false, regex_destructor}};

const builtin_method kMethods[] = {
    {"regex", "compile", "regex_compile"},
    {"regex", "replace", "regex_replace"},
    {"regex", "findfirst", "regex_findfirst"},
    {"regex", "findnext", "regex_findnext"},
    {"regex", "matchstart", "regex_matchstart"},
    {"regex", "matchlength", "regex_matchlength"},
    {"regex", "substringcount", "regex_substringcount"},
    {"regex", "substringstart", "regex_substringstart"},
    {"regex", "substringlength", "regex_substringlength"},
};

const exp_function kFunctions[] = {
    {"regex_compile", charging_texts<regex_compile, 1>, 2, 3, "Oss", 'b', 0,
     "Compile a regex. Pass in the regex and optional string 'turkish'. This must be called before "
     "searching.",
     1, ""},
    {"regex_findfirst", regex_findfirst, 2, 2, "Os", 'b', 0,
     "Search a string for a match to the compiled regex. Returns true if found.", 1, ""},
    {"regex_replace", regex_replace, 3, 3, "Oss", 's', 16383,
     "Substitute matches to the compiled regex with a replacement string. Returns the replacement "
     "string which right now is limited to 16383 characters.",
     1, ""},
    {"regex_findnext", regex_findnext, 2, 2, "Os", 'b', 0,
     "Find the next occurrence of the match in the string passed in. Returns true if found.", 1, ""},
    {"regex_matchstart", match_report<false>, 1, 1, "O", 'i', 0,
     "Returns the starting position in the string of the last match.", 1, ""},
    {"regex_matchlength", match_report<true>, 1, 1, "O", 'i', 0, "Return the length of the last match.", 1, ""},
    {"regex_substringcount", regex_substringcount, 1, 1, "O", 'i', 0, "Returns the number of captured substrings",
     1, ""},
    {"regex_substringstart", substring_report<false>, 2, 2, "Oi", 'i', 0,
     "Returns the starting position of the nth substring.", 1, ""},
    {"regex_substringlength", substring_report<true>, 2, 2, "Oi", 'i', 0,
     "Returns the length of the nth substring.", 1, ""},
};

}  // namespace

class_family regex_class() { return {kClasses, kMethods, kFunctions}; }
