// Turkish case rules for the regular-expression layer: a pattern rewriter that follows just enough
// of the PCRE2 syntax to find the letters written as themselves and the (?i) options in force,
// and case mapping through ICU's Turkish rules.
#include "support/turkish.h"

#include <unicode/ucasemap.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

namespace {

constexpr std::string_view kDottedPair = "(?-i:[i\xC4\xB0])";   // i, İ
constexpr std::string_view kDotlessPair = "(?-i:[I\xC4\xB1])";  // I, ı

// The group names that open a group in the (*name: ...) form; every other (*...) is a verb.
constexpr std::string_view kAlphaAssertions[] = {
    "pla", "plb", "nla", "nlb", "napla", "naplb", "atomic", "sr", "asr", "positive_lookahead",
    "positive_lookbehind", "negative_lookahead", "negative_lookbehind", "non_atomic_positive_lookahead",
    "non_atomic_positive_lookbehind", "script_run", "atomic_script_run",
};

// The options the rewriter follows.
struct Options {
  bool caseless = false;
  bool extended = false;
};

bool is_name_char(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
}

// Bytes of the UTF-8 character starting with `lead` (1 for a byte that cannot start one).
size_t char_length(unsigned char lead) {
  if (lead >= 0xF0 && lead <= 0xF4) return 4;
  if (lead >= 0xE0) return lead <= 0xEF ? 3 : 1;
  if (lead >= 0xC2) return 2;
  return 1;
}

// The replacement of a letter i written as itself, or an empty view for any other character.
std::string_view pair_of(std::string_view ch) {
  if (ch == "i" || ch == "\xC4\xB0") return kDottedPair;
  if (ch == "I" || ch == "\xC4\xB1") return kDotlessPair;
  return {};
}

class PatternRewriter {
 public:
  explicit PatternRewriter(std::string_view pattern) : p_(pattern) { out_.reserve(pattern.size() + 16); }

  std::string run() {
    while (!done()) step();
    return std::move(out_);
  }

 private:
  bool done() const { return at_ >= p_.size(); }
  char peek(size_t ahead = 0) const { return at_ + ahead < p_.size() ? p_[at_ + ahead] : '\0'; }

  void copy(size_t n) {
    n = std::min(n, p_.size() - at_);
    out_.append(p_.substr(at_, n));
    at_ += n;
  }
  // Copies up to and including the first `closer` at or after `from` bytes ahead (or the rest).
  void copy_through(char closer, size_t from = 0) {
    size_t end = p_.find(closer, at_ + from);
    copy(end == std::string_view::npos ? p_.size() - at_ : end - at_ + 1);
  }

  void step() {
    char c = peek();
    if (options_.extended && c == '#') return copy_through('\n');
    switch (c) {
      case '\\': return escape();
      case '[': return char_class();
      case '(': return open_group();
      case ')': return close_group();
      default: return literal();
    }
  }

  // One character outside classes: a letter i in a caseless stretch becomes its Turkish pair.
  void literal() {
    size_t n = std::min(char_length(static_cast<unsigned char>(peek())), p_.size() - at_);
    std::string_view pair = options_.caseless ? pair_of(p_.substr(at_, n)) : std::string_view{};
    if (pair.empty()) return copy(n);
    out_.append(pair);
    at_ += n;
  }

  // \Q...\E: every character inside is a literal, so letters i are rewritten between a \E and a
  // new \Q.
  void quoted() {
    copy(2);
    while (!done()) {
      if (peek() == '\\' && peek(1) == 'E') return copy(2);
      size_t n = std::min(char_length(static_cast<unsigned char>(peek())), p_.size() - at_);
      std::string_view pair = options_.caseless ? pair_of(p_.substr(at_, n)) : std::string_view{};
      if (pair.empty()) {
        copy(n);
        continue;
      }
      out_.append("\\E").append(pair).append("\\Q");
      at_ += n;
    }
  }

  // An escape other than \Q, copied whole: its argument in braces, angle brackets or quotes, the
  // character after \c, or the one escaped character.
  void copy_escape() {
    char kind = peek(1);
    char open = peek(2);
    if (kind && std::strchr("xopPNgk", kind) && open == '{') return copy_through('}', 2);
    if ((kind == 'g' || kind == 'k') && open == '<') return copy_through('>', 2);
    if ((kind == 'g' || kind == 'k') && open == '\'') return copy_through('\'', 3);
    if (kind == 'c' || ((kind == 'p' || kind == 'P') && open)) return copy(3);
    copy(1);
    if (!done()) copy(char_length(static_cast<unsigned char>(peek())));
  }

  void escape() {
    if (peek(1) == 'Q') return quoted();
    copy_escape();
  }

  // A character class, copied as written: its letters keep the default folding.
  void char_class() {
    copy(1);
    if (peek() == '^') copy(1);
    if (peek() == ']') copy(1);
    while (!done()) {
      char c = peek();
      if (c == ']') return copy(1);
      if (c == '\\' && peek(1) == 'Q') {
        size_t end = p_.find("\\E", at_ + 2);
        copy(end == std::string_view::npos ? p_.size() - at_ : end - at_ + 2);
      } else if (c == '\\') {
        copy_escape();
      } else if (c == '[' && (peek(1) == ':' || peek(1) == '.' || peek(1) == '=')) {
        size_t end = p_.find(std::string{peek(1), ']'}, at_ + 2);
        copy(end == std::string_view::npos ? 1 : end - at_ + 2);
      } else {
        copy(1);
      }
    }
  }

  void push(Options inner) {
    stack_.push_back(options_);
    options_ = inner;
  }

  void close_group() {
    copy(1);
    if (stack_.empty()) return;
    options_ = stack_.back();
    stack_.pop_back();
  }

  // (*VERB...) is copied whole; (*name: of an alpha assertion opens a group.
  void star_group() {
    size_t end = at_ + 2;
    while (end < p_.size() && is_name_char(p_[end])) ++end;
    std::string_view name = p_.substr(at_ + 2, end - at_ - 2);
    bool assertion = end < p_.size() && p_[end] == ':';
    if (assertion) {
      assertion = false;
      for (std::string_view a : kAlphaAssertions) assertion |= a == name;
    }
    if (!assertion) return copy_through(')');
    copy(end - at_ + 1);
    push(options_);
  }

  // (?C...) callout, its text argument possibly holding a ')'.
  void callout() {
    char delimiter = peek(3);
    char closer = delimiter == '{' ? '}' : delimiter;
    if (delimiter && std::strchr("`'\"^%#${", delimiter)) {
      size_t end = at_ + 4;
      while (end < p_.size()) {
        if (p_[end] == closer && (end + 1 >= p_.size() || p_[end + 1] != closer)) break;
        end += p_[end] == closer ? 2 : 1;
      }
      copy(end - at_);
    }
    copy_through(')');
  }

  // (?letters) or (?letters: with i, x, ^ and - followed; returns false when it is not one.
  bool option_setting() {
    Options changed = options_;
    bool on = true;
    size_t end = at_ + 2;
    for (; end < p_.size(); ++end) {
      char c = p_[end];
      if (c == ':' || c == ')') break;
      if (c == '^') changed = Options{};
      else if (c == '-') on = false;
      else if (c == 'i') changed.caseless = on;
      else if (c == 'x') changed.extended = on;
      else if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'))) return false;
    }
    if (end >= p_.size()) return false;
    bool scoped = p_[end] == ':';
    copy(end - at_ + 1);
    if (scoped) push(changed);
    else options_ = changed;
    return true;
  }

  // A conditional group: the condition is copied, or, when it is an assertion, left for the main
  // loop to treat as a group of its own.
  void conditional() {
    copy(2);
    push(options_);
    if (peek(1) == '?' || peek(1) == '*') return;
    copy_through(')');
  }

  void question_group() {
    char c = peek(2), d = peek(3);
    if (c == '#') return copy_through(')');
    if (c == '(') return conditional();
    if (c == 'C') return callout();
    if (c == 'P' && (d == '=' || d == '>')) return copy_through(')');
    if (c == '&' || c == 'R' || (c >= '0' && c <= '9') || ((c == '+' || c == '-') && d >= '0' && d <= '9'))
      return copy_through(')');
    if (c == 'P' || c == '\'' || (c == '<' && d != '=' && d != '!' && d != '*')) {
      copy_through(c == '\'' ? '\'' : '>', 3);
      return push(options_);
    }
    if (option_setting()) return;
    copy(c == '<' ? 4 : 3);
    push(options_);
  }

  void open_group() {
    if (peek(1) == '*') return star_group();
    if (peek(1) == '?') return question_group();
    copy(1);
    push(options_);
  }

  std::string_view p_;
  size_t at_ = 0;
  std::string out_;
  Options options_;
  std::vector<Options> stack_;
};

struct CaseMapCloser {
  void operator()(UCaseMap *m) const { ucasemap_close(m); }
};

// ICU's case mapper with the Turkish rules, opened once; it is only read afterwards, so threads
// may share it.
const UCaseMap *turkish_case_map() {
  static const std::unique_ptr<UCaseMap, CaseMapCloser> map([] {
    UErrorCode status = U_ZERO_ERROR;
    UCaseMap *m = ucasemap_open("tr", 0, &status);
    return U_SUCCESS(status) ? m : nullptr;
  }());
  return map.get();
}

using Mapper = int32_t (*)(const UCaseMap *, char *, int32_t, const char *, int32_t, UErrorCode *);

// Runs an ICU UTF-8 case mapper over `text`: measured first, then converted into a string of that size.
std::string map_case(std::string_view text, Mapper mapper) {
  const UCaseMap *map = turkish_case_map();
  if (!map || text.size() > INT32_MAX) return std::string(text);
  auto length = static_cast<int32_t>(text.size());
  UErrorCode status = U_ZERO_ERROR;
  int32_t needed = mapper(map, nullptr, 0, text.data(), length, &status);
  if (status != U_BUFFER_OVERFLOW_ERROR && U_FAILURE(status)) return std::string(text);
  std::string out(static_cast<size_t>(needed), '\0');
  status = U_ZERO_ERROR;
  mapper(map, out.data(), needed, text.data(), length, &status);
  if (U_FAILURE(status)) return std::string(text);
  return out;
}

}  // namespace

std::string turkish_pattern(std::string_view pattern) { return PatternRewriter(pattern).run(); }

std::string turkish_upper(std::string_view text) { return map_case(text, ucasemap_utf8ToUpper); }

std::string turkish_lower(std::string_view text) { return map_case(text, ucasemap_utf8ToLower); }
