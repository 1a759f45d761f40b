// The lexer: program text to tokens with typed literal values, keywords and positions.
//
// The parser sees two tokens, the current one and one of look-ahead. The end of the program text
// (its terminating NUL, and nothing the text itself can spell) gives two end-of-input tokens;
// a third read is reported as an incomplete program.
#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <new>
#include <string_view>
#include <vector>

#include "builtins/cancel.h"
#include "compiler.h"
#include "convert.h"
#include "errors.h"
#include "support/uchar.h"
#include "values.h"

namespace {

bool is_ascii(char c) { return static_cast<unsigned char>(c) < 0x80; }

// The parser reads past the program's last token twice (current and look-ahead); reading on
// past these end-of-input tokens means the text ended inside a construct.
constexpr int kEndTokens = 2;
constexpr int kTextLimitInitial = 16;

struct Keyword {
  std::string_view word;
  int code;
};

// Searched in order, case-insensitively, whole words only.
constexpr Keyword kKeywords[] = {
    {"string", KW_STRING},   {"real", KW_REAL},       {"integer", KW_INTEGER}, {"date", KW_DATE},
    {"boolean", KW_BOOLEAN}, {"pointer", KW_POINTER}, {"public", KW_PUBLIC},   {"private", KW_PRIVATE},
    {"global", KW_GLOBAL},   {"return", KW_RETURN},   {"if", KW_IF},           {"then", KW_THEN},
    {"else", KW_ELSE},       {"begin", KW_BEGIN},     {"end", KW_END},         {"and", KW_AND},
    {"or", KW_OR},           {"not", KW_NOT},         {"goto", KW_GOTO},       {"null", KW_NULL},
    {"for", KW_FOR},         {"to", KW_TO},           {"step", KW_STEP},       {"call", KW_CALL},
    {"while", KW_WHILE},     {"array", KW_ARRAY},     {"static", KW_STATIC},   {"hidden", KW_HIDDEN},
    {"visible", KW_VISIBLE}, {"bytes", KW_BYTES},
};

// The keywords grouped by length, each group in search order. Built once.
constexpr size_t kLongestKeyword = [] {
  size_t longest = 0;
  for (const Keyword &k : kKeywords) longest = std::max(longest, k.word.size());
  return longest;
}();
using KeywordsByLength = std::array<std::vector<const Keyword *>, kLongestKeyword + 1>;
const KeywordsByLength &keywords_by_length() {
  static const KeywordsByLength table = [] {
    KeywordsByLength t;
    for (const Keyword &k : kKeywords) t.at(k.word.size()).push_back(&k);
    return t;
  }();
  return table;
}

struct Operator {
  char ch;
  int code;
};

constexpr Operator kSingleOperators[] = {
    {'!', TK_BANG},   {'%', TK_PERCENT}, {'&', TK_AMP},   {'(', TK_LPAREN}, {')', TK_RPAREN},
    {'*', TK_STAR},   {'+', TK_PLUS},    {',', TK_COMMA}, {'-', TK_MINUS},  {'.', TK_DOT},
    {'/', TK_SLASH},  {':', TK_COLON},   {';', TK_SEMI},  {'<', TK_LT}, {'=', TK_ASSIGN},
    {'>', TK_GT},
};

// The code of each single-character operator by its character, 0 for other characters.
constexpr std::array<int, 128> kSingleOperatorCodes = [] {
  std::array<int, 128> codes{};
  for (const Operator &op : kSingleOperators) codes[static_cast<unsigned char>(op.ch)] = op.code;
  return codes;
}();

struct TwoCharOperator {
  const char *text;
  int code;
};

// Tested in this order before any single character.
constexpr TwoCharOperator kDoubleOperators[] = {
    {"==", TK_EQ}, {"<>", TK_NE}, {"!=", TK_NE}, {"<=", TK_LE}, {">=", TK_GE},
};

// Whether a character is the first of a two-character operator, by its character.
constexpr std::array<bool, 128> kStartsDoubleOperator = [] {
  std::array<bool, 128> starts{};
  for (const TwoCharOperator &op : kDoubleOperators) starts[static_cast<unsigned char>(op.text[0])] = true;
  return starts;
}();

// kPlainBlank: a space, tab or line feed, which skip_plain_blanks moves over; kPlainArrival: a
// character the cursor may arrive at there without the general walk (ASCII, neither the end of
// the text nor a carriage return).
enum CharClass : uint8_t { kWordStart = 1, kWordChar = 2, kBlank = 4, kPlainBlank = 8, kPlainArrival = 16 };
using AsciiClasses = std::array<uint8_t, 128>;

// The classes of the ASCII characters, asked once of the character layer, so that the lexer's
// per-character fast path gives exactly the answers of the full lookup.
const AsciiClasses &ascii_classes() {
  static const AsciiClasses table = [] {
    AsciiClasses t{};
    for (int c = 1; c < 128; ++c) {
      const char text[2] = {static_cast<char>(c), '\0'};
      int bytes;
      if (c == '_' || c == '$' || np_uchar_isalpha(text, &bytes)) t[c] |= kWordStart | kWordChar;
      if (np_uchar_isdigit(text, &bytes)) t[c] |= kWordChar;
      if (np_uchar_isspace(text, &bytes)) t[c] |= kBlank;
      if (c == ' ' || c == '\t' || c == '\n') t[c] |= kPlainBlank;
      if (c != '\r') t[c] |= kPlainArrival;
    }
    return t;
  }();
  return table;
}

// Whether the character at p is of the class: ASCII from the table, the rest from the character
// layer ('_' and '$' are ASCII, so only letters and digits need asking).
bool has_class(const AsciiClasses &table, const char *p, CharClass c) {
  if (is_ascii(*p)) return (table[static_cast<unsigned char>(*p)] & c) != 0;
  int bytes;
  switch (c) {
    case kWordStart: return np_uchar_isalpha(p, &bytes) != 0;
    case kWordChar: return np_uchar_isalpha(p, &bytes) || np_uchar_isdigit(p, &bytes);
    case kBlank: return np_uchar_isspace(p, &bytes) != 0;
    case kPlainBlank: case kPlainArrival: break;  // ASCII classes only
  }
  return false;
}

bool is_ascii_text(std::string_view text) { return std::all_of(text.begin(), text.end(), is_ascii); }

// Case-insensitive whole-word comparison. ASCII text (nearly every word) compares byte by byte
// with ASCII case folding, which is what the character layer's comparison does for it.
bool same_word(std::string_view text, bool ascii, std::string_view word) {
  if (!ascii) return np_uchar_icomp(text, word) == 0;
  auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
  return text.size() == word.size() &&
         std::equal(text.begin(), text.end(), word.begin(), [&](char a, char b) { return lower(a) == lower(b); });
}

// The token read_token found: where it starts, its byte length and its code, and for a word
// whether all of it is ASCII.
struct RawToken {
  const char *start;
  size_t length;
  int code;
  bool ascii_word;
  const char *source_end;  // the end of the token in the text, a closing quote included
  const char *source_begin;
};

class Lexer {
 public:
  Lexer(exp_engine *e, exp_parse_state *s)
      : e_(e), s_(s), classes_(*static_cast<const AsciiClasses *>(s->ascii_classes)) {}

  // Moves the cursor n characters on (n may be 0), never past the end of the text, keeping the
  // cursor's line and column. Returns the bytes moved.
  size_t advance(int n) {
    // One ASCII character with another after it (nearly every move): no end to arrive at and no
    // character layer to ask.
    const char *c = s_->cursor;
    if (n == 1 && is_ascii(c[0]) && c[0] != '\0' && c[1] != '\0') {
      s_->cursor = c + 1;
      arrive();
      return 1;
    }
    size_t moved = 0;
    for (int i = 0; i < n && *s_->cursor; ++i) {
      int bytes = 1;
      if (!is_ascii(*s_->cursor)) np_uchar_toint(s_->cursor, &bytes);
      if (bytes < 1) bytes = 1;
      s_->cursor += bytes;
      moved += static_cast<size_t>(bytes);
      arrive();
    }
    return moved;
  }

  // Updates the cursor position for the character now under the cursor: a line feed starts a
  // line (column 0, so the next character is column 1), a carriage return resets the column.
  // Arriving at the end of the text marks it reached; the end has no position of its own.
  void arrive() {
    char c = *s_->cursor;
    if (c == '\0') {
      s_->at_end = true;
    } else if (c == '\n') {
      ++s_->line;
      s_->column = 0;
    } else if (c == '\r') {
      s_->column = 0;
    } else {
      ++s_->column;
      if (c != ' ' && c != '\t' && c != '\v' && c != '\f') {
        s_->last_line = s_->line;
        s_->last_column = s_->column;
      }
    }
  }

  int read(RawToken *t);

 private:
  char ch(int offset = 0) const { return s_->cursor[offset]; }
  bool next_is(char c) const { return ch() != '\0' && ch(1) == c; }
  void skip_plain_blanks();
  int skip_blanks_and_comments();
  int read_word(RawToken *t);
  void skip_ascii_word(RawToken *t);
  int read_quoted(RawToken *t, char quote);
  int read_number(RawToken *t);
  int read_end(RawToken *t);
  int read_token(RawToken *t);

  bool at(CharClass c) const { return has_class(classes_, s_->cursor, c); }

  exp_engine *e_;
  exp_parse_state *s_;
  const AsciiClasses &classes_;
};

// Moves over a run of spaces, tabs and line feeds (nearly all there is between tokens), as
// advance(1) per character would. Stops before a move onto the end of the text, a carriage return
// or a character beyond ASCII, which the general walk handles.
void Lexer::skip_plain_blanks() {
  for (;;) {
    // Index 0 (the end of the text) has no class, so the character after is looked at only when
    // this one is a blank; characters beyond ASCII stop the run.
    const auto now = static_cast<unsigned char>(ch());
    if (now >= 0x80 || !(classes_[now] & kPlainBlank)) return;
    const auto next = static_cast<unsigned char>(ch(1));
    if (next >= 0x80 || !(classes_[next] & kPlainArrival)) return;
    ++s_->cursor;
    arrive();
  }
}

// Skips white space, line comments and (nested) block comments up to the start of a token.
int Lexer::skip_blanks_and_comments() {
  skip_plain_blanks();
  int depth = 0;
  bool line_comment = false;
  for (;;) {
    if (ch() == '/') {
      if (next_is('/') && depth == 0) {
        line_comment = true;
        advance(2);
      }
      if (ch() == '/' && next_is('*') && !line_comment) {
        ++depth;
        advance(2);
      }
    }
    if (ch() == '*' && next_is('/') && !line_comment) {
      if (--depth < 0) return engine_error(e_, ERR_COMMENT);
      advance(2);
    }
    if (ch() == '\n' || ch() == '\r') {
      line_comment = false;
    } else if (!(depth > 0 || line_comment || at(kBlank))) {
      return 0;
    }
    advance(1);
    // The end of the text ends a line comment, but not a block comment.
    if (ch() == '\0') return depth > 0 ? engine_error(e_, ERR_COMMENT) : 0;
  }
}

// Moves over the leading run of ASCII word characters of the word at the cursor in one step,
// with the position advance(1) per character would leave: none of them is a blank or a line
// break, so only the column moves and each is the last visible character so far. The character
// that ends the run is arrived at through advance(1), which knows the end of the text, line
// breaks and characters beyond ASCII. A run ended by a character beyond ASCII is left to the
// caller's character-by-character walk, which asks the character layer whether it continues
// the word.
void Lexer::skip_ascii_word(RawToken *t) {
  const char *c = s_->cursor;
  size_t run = 0;
  for (unsigned char b; (b = static_cast<unsigned char>(c[run])) < 0x80 && (classes_[b] & kWordChar);) ++run;
  if (run == 0 || !is_ascii(c[run])) return;
  t->ascii_word = true;
  const auto inside = static_cast<int>(run - 1);
  s_->cursor += inside;
  s_->column += inside;
  if (inside > 0 && !s_->at_end) {
    s_->last_line = s_->line;
    s_->last_column = s_->column;
  }
  t->length += static_cast<size_t>(inside) + advance(1);
}

int Lexer::read_word(RawToken *t) {
  skip_ascii_word(t);
  // A word ended by an ASCII character that is no word character is whole; any other goes on
  // character by character.
  if (!t->ascii_word) {
    while (ch() && at(kWordChar)) t->length += advance(1);
  }
  std::string_view word(t->start, t->length);
  bool ascii = t->ascii_word || is_ascii_text(word);
  t->ascii_word = ascii;
  if (same_word(word, ascii, "true") || same_word(word, ascii, "false")) t->code = TK_BOOLEAN;
  return 0;
}

// A quoted string, backquoted identifier or date literal: the quotes are not part of the text.
int Lexer::read_quoted(RawToken *t, char quote) {
  advance(1);
  t->start = s_->cursor;
  bool escapes = quote != '#' && e_->escaped_string;
  while (ch() != quote) {
    if (ch() == '\0') return engine_error(e_, ERR_INCOMPLETE);
    if (escapes && ch() == '\\') {
      t->length += advance(1);
      if (ch() == '\0') return engine_error(e_, ERR_INCOMPLETE);
    }
    t->length += advance(1);
  }
  advance(1);
  return 0;
}

// Digits and one decimal point; no sign, exponent or separators.
int Lexer::read_number(RawToken *t) {
  bool point = false;
  while ((ch() >= '0' && ch() <= '9') || ch() == '.') {
    if (ch() == '.') {
      if (point) break;
      point = true;
    }
    t->length += advance(1);
  }
  if (point) t->code = t->length == 1 ? TK_RAW : TK_REAL;
  else t->code = t->length <= 18 ? TK_INTEGER : TK_REAL;
  return 0;
}

// The end of the text: an end-of-input token, with no text, the first two times; a further read
// means the parser needed more than the text holds.
int Lexer::read_end(RawToken *t) {
  if (s_->end_tokens >= kEndTokens) return engine_error(e_, ERR_INCOMPLETE);
  ++s_->end_tokens;
  t->code = TK_END_OF_INPUT;
  return 0;
}

int Lexer::read(RawToken *t) {
  t->code = TK_RAW;
  if (int rc = skip_blanks_and_comments()) return rc;
  t->source_begin = s_->cursor;
  const int rc = read_token(t);
  t->source_end = s_->cursor;
  return rc;
}

int Lexer::read_token(RawToken *t) {
  // The end-of-input token stands just after the text's last visible character, never on a
  // line the text does not have.
  s_->token = s_->at_end ? exp_srcpos{s_->last_line, s_->last_column + 1} : exp_srcpos{s_->line, s_->column};
  t->start = s_->cursor;
  t->length = 0;
  char c = ch();
  if (c == '\0') return read_end(t);
  if (at(kWordStart)) return read_word(t);
  if (c == '"' || c == '\'') {
    t->code = TK_STRING;
    return read_quoted(t, c);
  }
  if (c == '`') {
    t->code = TK_IDENT;
    return read_quoted(t, c);
  }
  if (c == '#') {
    t->code = TK_DATE;
    return read_quoted(t, '#');
  }
  if ((c >= '0' && c <= '9') || c == '.') return read_number(t);
  // A one-character operator that starts no two-character one is known here: no search of the
  // two-character operators and no word lookup.
  if (is_ascii(c) && !kStartsDoubleOperator[static_cast<unsigned char>(c)])
    if (int code = kSingleOperatorCodes[static_cast<unsigned char>(c)]) {
      t->length = advance(1);
      t->code = code;
      return 0;
    }
  for (const TwoCharOperator &op : kDoubleOperators) {
    if (c == op.text[0] && next_is(op.text[1])) {
      advance(2);
      t->code = op.code;
      return 0;
    }
  }
  t->length = advance(1);
  return 0;
}

// Resolves a raw token: a single-character operator, a keyword, or else an identifier. Words
// never start with an operator character, so only one-byte tokens can be operators.
int lookup_word(std::string_view text, bool ascii) {
  if (text.size() == 1 && is_ascii(text[0]))
    if (int code = kSingleOperatorCodes[static_cast<unsigned char>(text[0])]) return code;
  if (!ascii && !is_ascii_text(text)) {
    for (const Keyword &k : kKeywords)
      if (same_word(text, false, k.word)) return k.code;
    return TK_IDENT;
  }
  // ASCII matches need the same length: only the keywords of the word's length are compared.
  const KeywordsByLength &by_length = keywords_by_length();
  if (text.empty() || text.size() >= by_length.size()) return TK_IDENT;
  // Keywords are lower case: most words differ from each in their first letter.
  const char first = text[0] >= 'A' && text[0] <= 'Z' ? static_cast<char>(text[0] - 'A' + 'a') : text[0];
  for (const Keyword *k : by_length[text.size()])
    if (k->word[0] == first && same_word(text, true, k->word)) return k->code;
  return TK_IDENT;
}

// The literal's value, converted from its text into a cell of the literal's type.
int literal_type(int code) {
  switch (code) {
    case TK_BOOLEAN: return EXP_BOOLEAN;
    case TK_DATE: return EXP_DATE;
    case TK_REAL: return EXP_REAL;
    case TK_INTEGER: return EXP_INTEGER;
    default: return 0;
  }
}

// Copies a token's text: short ones (nearly all) by two fixed-size moves that may overlap, which
// read and write inside the text only, instead of a call.
void copy_token(char *to, std::string_view raw) {
  const char *from = raw.data();
  const size_t n = raw.size();
  if (n >= 8 && n <= 16) {
    std::memcpy(to, from, 8);
    std::memcpy(to + n - 8, from + n - 8, 8);
  } else if (n >= 4 && n < 8) {
    std::memcpy(to, from, 4);
    std::memcpy(to + n - 4, from + n - 4, 4);
  } else if (n > 0 && n < 4) {
    to[0] = from[0];
    to[n / 2] = from[n / 2];
    to[n - 1] = from[n - 1];
  } else if (n > 16) {
    std::memcpy(to, from, n);
  }
}

// Builds the look-ahead token's value from its raw text in the look-ahead slot. The raw text
// always goes into the slot's text cell, whose buffer (4 bytes per character of text_limit)
// has room for the token: it is the value of words and strings, and the text a typed literal is
// converted from into the slot's typed cell (token_text still finds it there).
int build_value(exp_engine *e, exp_parse_state *s, int code, std::string_view raw) {
  exp_symval *text_cell = &s->cells[2 * s->look_slot];
  // The cell usually is already a plain text cell of the limit (the limit only changes when a
  // token longer than any before arrives). Otherwise it is retyped, which fails only when its
  // buffer cannot be allocated, as a token cell is never an object.
  const bool ready = text_cell->flags == EXP_STRING && text_cell->len == static_cast<uint32_t>(s->text_limit) &&
                     text_cell->value.s;
  if (!ready && symval_retype(text_cell, EXP_STRING, s->text_limit, 0) != 0) return engine_error(e, ERR_MEMORY);
  copy_token(text_cell->value.s, raw);
  text_cell->value.s[raw.size()] = '\0';
  symval_clear_null_flag(text_cell);
  if (int type = literal_type(code)) {
    exp_symval *typed = text_cell + 1;
    if (symval_retype(typed, type, 0, 0) != 0) return engine_error(e, ERR_MEMORY);
    if (code == TK_INTEGER) {
      // At most 18 digits and nothing else (read_number): the value fits, read here as the
      // conversion from text would read it.
      int64_t value = 0;
      for (char c : raw) value = value * 10 + (c - '0');
      symval_clear_null_flag(typed);
      typed->value.i = value;
    } else {
      symval_convert(text_cell, typed, e);
    }
    s->lookahead = typed;
    return 0;
  }
  if (e->escaped_string && (code == TK_STRING || code == TK_IDENT)) unescape_text(text_cell->value.s);
  s->lookahead = text_cell;
  return 0;
}

}  // namespace

void unescape_text(char *text) {
  if (!text) return;
  char *out = text;
  char prev = '\0';
  for (const char *in = text; *in; ++in) {
    char c = *in;
    if (!(c == '\\' && prev != '\\')) *out++ = c;
    prev = c;
  }
  *out = '\0';
}

int lexer_init(exp_engine *e, exp_parse_state *s, const char *text) {
  s->source = s->cursor = text ? text : "";
  s->at_end = false;
  s->end_tokens = 0;
  s->last_line = 1;
  s->last_column = 0;
  s->text_limit = kTextLimitInitial;
  s->ascii_classes = &ascii_classes();
  if (symval_init(&s->cells[0], EXP_STRING, kTextLimitInitial, 0, nullptr) != 0 ||
      symval_init(&s->cells[2], EXP_STRING, kTextLimitInitial, 0, nullptr) != 0)
    return engine_error(e, ERR_MEMORY);
  // The first character's own position: a text that opens with a line break starts line 2.
  s->line = 1;
  s->column = 0;
  Lexer(e, s).arrive();
  s->token = s->stop = {1, 1};
  return 0;
}

namespace {

// Error 104 when the host's interrupt handler asks to stop the compile, or the compile runs inside
// a host function of a run that was cancelled; else 0.
[[gnu::noinline]] int check_compile_interrupt(exp_engine *e, exp_parse_state *s) {
  s->tokens_left = kTokensPerCheck;
  if (builtin_cancelled(e, nullptr) || (e->interrupt && e->interrupt(e) != 0)) return engine_error(e, ERR_INTERRUPT);
  return 0;
}

}  // namespace

int next_token(exp_engine *e, exp_parse_state *s) {
  if (--s->tokens_left <= 0)
    if (int rc = check_compile_interrupt(e, s)) return rc;
  s->cur_code = s->look_code;
  std::swap(s->current, s->lookahead);
  s->look_slot ^= 1;
  s->prev_stop = s->stop;
  s->stop = s->token;
  s->prev_src = s->cur_src;
  s->cur_src = s->look_src;
  ++s->cur_index;
  RawToken t{};
  if (int rc = Lexer(e, s).read(&t)) return rc;
  s->look_src = std::string_view(t.source_begin, static_cast<size_t>(t.source_end - t.source_begin));
  if (t.length > kMaxStringLimit) return engine_error(e, ERR_MEMORY);
  const std::string_view raw(t.start, t.length);  // in the program text; empty at its end
  s->text_limit = std::max(s->text_limit, static_cast<int>(t.length));
  if (t.code == TK_RAW) t.code = lookup_word(raw, t.ascii_word);
  s->look_code = t.code;
  if (int rc = build_value(e, s, t.code, raw)) return rc;
  if (t.code == TK_IDENT && t.length > EXP_NAME_MAX) return engine_error(e, ERR_IDENT_TOO_LONG);
  return 0;
}
