// A light tokenizer over program text, enough to find comparisons, keywords and names.
#include "lint.h"

#include <strings.h>

#include <algorithm>
#include <cctype>
#include <set>

#include "expression.h"
#include "host_functions.h"

namespace {

enum class Tok { Ident, Number, String, Op };

struct Token {
  Tok kind;
  std::string text;
  int line, column;
};

bool word_char(unsigned char c) { return std::isalnum(c) || c == '_' || c >= 0x80; }

// Splits the program into identifiers, numbers, quoted texts and operators, skipping comments.
std::vector<Token> tokenize(const std::string &s) {
  std::vector<Token> out;
  int line = 1, col = 1;
  size_t i = 0;
  auto step = [&](size_t n) {
    for (size_t k = 0; k < n && i < s.size(); ++k, ++i) {
      if (s[i] == '\n') ++line, col = 1;
      else if ((static_cast<unsigned char>(s[i]) & 0xC0) != 0x80) ++col;
    }
  };
  while (i < s.size()) {
    unsigned char c = static_cast<unsigned char>(s[i]);
    if (std::isspace(c)) { step(1); continue; }
    if (s.compare(i, 2, "//") == 0) { while (i < s.size() && s[i] != '\n') step(1); continue; }
    if (s.compare(i, 2, "/*") == 0) {
      size_t end = s.find("*/", i + 2);
      step(end == std::string::npos ? s.size() - i : end + 2 - i);
      continue;
    }
    Token t{Tok::Op, "", line, col};
    size_t start = i;
    if (c == '"' || c == '\'' || c == '`' || c == '#') {
      size_t end = s.find(static_cast<char>(c), i + 1);
      size_t stop = end == std::string::npos ? s.size() : end + 1;
      t.kind = c == '`' ? Tok::Ident : Tok::String;
      t.text = s.substr(i + 1, (end == std::string::npos ? s.size() : end) - i - 1);
      step(stop - i);
      if (c == '`') t.kind = Tok::String;  // a backquoted name is never a keyword mistake
      out.push_back(t);
      continue;
    }
    if (std::isdigit(c) || (c == '.' && i + 1 < s.size() && std::isdigit(static_cast<unsigned char>(s[i + 1])))) {
      while (i < s.size() && (std::isdigit(static_cast<unsigned char>(s[i])) || s[i] == '.')) step(1);
      t.kind = Tok::Number;
    } else if (word_char(c)) {
      while (i < s.size() && word_char(static_cast<unsigned char>(s[i]))) step(1);
      t.kind = Tok::Ident;
    } else {
      static const char *const kTwo[] = {"==", "<>", "!=", "<=", ">="};
      bool two = std::any_of(std::begin(kTwo), std::end(kTwo), [&](const char *op) { return s.compare(i, 2, op) == 0; });
      step(two ? 2 : 1);
    }
    t.text = s.substr(start, i - start);
    out.push_back(t);
  }
  return out;
}

bool same(const std::string &a, const std::string &b) { return strcasecmp(a.c_str(), b.c_str()) == 0; }

constexpr const char *kKeywords[] = {"string", "real", "integer", "date", "boolean", "pointer", "public", "private",
                                     "global", "return", "if", "then", "else", "begin", "end", "and", "or", "not",
                                     "goto", "null", "for", "to", "step", "call", "while", "array", "static",
                                     "hidden", "visible", "bytes"};

bool is_keyword(const std::string &w) {
  return std::any_of(std::begin(kKeywords), std::end(kKeywords), [&](const char *k) { return same(w, k); });
}

size_t edit_distance(const std::string &a, const std::string &b) {
  std::vector<size_t> prev(b.size() + 1), cur(b.size() + 1);
  for (size_t j = 0; j <= b.size(); ++j) prev[j] = j;
  for (size_t i = 1; i <= a.size(); ++i) {
    cur[0] = i;
    for (size_t j = 1; j <= b.size(); ++j) {
      bool eq = std::tolower(static_cast<unsigned char>(a[i - 1])) == std::tolower(static_cast<unsigned char>(b[j - 1]));
      cur[j] = std::min({prev[j] + 1, cur[j - 1] + 1, prev[j - 1] + (eq ? 0 : 1)});
    }
    std::swap(prev, cur);
  }
  return prev[b.size()];
}

std::vector<std::string> function_names() {
  std::vector<std::string> names;
  if (exp_engine *e = exp_init_ex(EXP_INIT_NO_USER_SETTINGS)) {
    for (int i = 0, n = exp_get_function_count(e); i < n; ++i) {
      const char *name = nullptr;
      if (exp_get_function_info(e, i, &name, nullptr, nullptr, nullptr, nullptr, nullptr) == 0 && name) names.push_back(name);
    }
    exp_clean(e);
  }
  int count = 0;
  const HostFunction *host = host_functions(&count);
  for (int i = 0; i < count; ++i) names.push_back(host[i].name);
  return names;
}

// The name in single quotes of a "Symbol 'x' not found" message, or "".
std::string quoted_name(const std::string &message) {
  size_t a = message.find('\''), b = message.rfind('\'');
  return a != std::string::npos && b > a ? message.substr(a + 1, b - a - 1) : std::string();
}

}  // namespace

std::string nearest_name(const std::string &name, const std::vector<std::string> &known) {
  std::string best;
  size_t best_d = std::max<size_t>(1, name.size() / 3) + 1;
  for (const std::string &k : known) {
    size_t d = edit_distance(name, k);
    if (d < best_d && d < name.size()) best = k, best_d = d;
  }
  return best;
}

std::string denial_hint(const Failure &f) {
  std::string m = f.message;
  std::transform(m.begin(), m.end(), m.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  if (f.code != EXP_E_CAPABILITY_DENIED && m.find("denied") == std::string::npos &&
      m.find("not allowed") == std::string::npos)
    return {};
  // The built-ins exprun denies by default, and the word of --allow that allows each. A refused
  // pseudo file names its group ("pseudo files") and comes first, as its message also says "file".
  static const std::pair<const char *, const char *> kDenied[] = {
      {"pseudo files", "pseudo"}, {"execute", "process"}, {"deletefile", "files"}, {"movefile", "files"},
      {"copyfile", "files"},      {"mkdir", "files"},     {"rmdir", "files"},      {"locale", "locale"},
      {"file", "files"}};
  for (const auto &[name, word] : kDenied)
    if (m.find(name) != std::string::npos)
      return std::string("exprun denies this by default; run with --allow ") + word + " to allow it";
  return "exprun denies processes, file writes and locale changes by default; --allow process,files,locale allows them";
}

void print_hint(std::FILE *out, const Failure &f, const std::string &program, const std::vector<std::string> &columns) {
  std::string denied = denial_hint(f);
  if (!denied.empty()) {
    std::fprintf(out, "hint: %s\n", denied.c_str());
    return;
  }
  std::vector<Token> t = tokenize(program);
  for (const std::string &c : columns) {
    if (!is_keyword(c)) continue;
    bool used = std::any_of(t.begin(), t.end(), [&](const Token &tok) { return tok.kind == Tok::Ident && same(tok.text, c); });
    if (used) {
      std::fprintf(out, "hint: the column '%s' has the name of a keyword: write it in backquotes, `%s`\n", c.c_str(), c.c_str());
      return;
    }
  }
  // `if a = "x"`: a single = in a condition assigns.
  for (size_t i = 0; i < t.size(); ++i) {
    if (t[i].kind != Tok::Ident || !same(t[i].text, "if")) continue;
    for (size_t k = i + 1; k < t.size() && !(t[k].kind == Tok::Ident && same(t[k].text, "then")); ++k)
      if (t[k].kind == Tok::Op && t[k].text == "=") {
        std::fprintf(out, "hint: line %d: to compare in a condition, write '==' ('=' assigns)\n", t[k].line);
        return;
      }
  }
  if (f.code == EXP_E_SYMBOL_NOT_FOUND || f.code == EXP_E_FUNCTION_NOT_FOUND || f.code == EXP_E_UNKNOWN_FUNCTION) {
    std::string name = quoted_name(f.message);
    if (name.empty()) return;
    std::vector<std::string> known = f.code == EXP_E_SYMBOL_NOT_FOUND ? columns : function_names();
    std::string best = nearest_name(name, known);
    if (!best.empty()) std::fprintf(out, "hint: did you mean `%s`?\n", best.c_str());
  }
}
