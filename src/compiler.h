// The compiler's shared state and the entry points its parts call on one another.
#pragma once

#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "engine.h"
#include "expression.h"
#include "operators.h"
#include "program.h"
#include "warnings.h"

// Token codes: literals and identifiers are negative, keywords 1-30, operators 50-69. A type of
// their own, apart from the operator indices (exp_op) that emit_op takes, so that a token cannot
// be emitted as an operator.
enum Token : int {
  TK_STRING = -1, TK_INTEGER = -2, TK_REAL = -3, TK_DATE = -4, TK_BOOLEAN = -5, TK_IDENT = -6,
  TK_RAW = 0,  // inside the lexer only: a word or character not yet looked up
  KW_STRING = 1, KW_REAL = 2, KW_INTEGER = 3, KW_DATE = 4, KW_BOOLEAN = 5, KW_PUBLIC = 6,
  KW_PRIVATE = 7, KW_GLOBAL = 8, KW_GOTO = 9, KW_RETURN = 10, KW_IF = 11, KW_THEN = 12,
  KW_ELSE = 13, KW_BEGIN = 14, KW_END = 15, KW_NOT = 16, KW_AND = 17, KW_OR = 18, KW_NULL = 19,
  KW_FOR = 20, KW_TO = 21, KW_STEP = 22, KW_CALL = 23, KW_POINTER = 24, KW_WHILE = 25,
  KW_ARRAY = 26, KW_STATIC = 27, KW_HIDDEN = 28, KW_VISIBLE = 29, KW_BYTES = 30,
  TK_PLUS = 50, TK_MINUS = 51, TK_SLASH = 52, TK_STAR = 53, TK_LPAREN = 54, TK_RPAREN = 55,
  TK_GT = 56, TK_GE = 57, TK_LT = 58, TK_LE = 59, TK_ASSIGN = 60, TK_EQ = 61,
  TK_AMP = 62, TK_COLON = 63, TK_BANG = 64, TK_NE = 65, TK_COMMA = 66, TK_SEMI = 67,
  TK_PERCENT = 68, TK_DOT = 69,
  TK_END_OF_INPUT = 99,
};

// A label definition or a pending goto: name and instruction index.
struct exp_label {
  std::string name;
  int index;
};

// Deepest nesting of expressions and statements the compiler accepts; deeper text is refused
// with a compile error instead of exhausting the stack.
inline constexpr int kMaxNesting = 256;

// Tokens read between two questions to the interrupt handler while compiling: a long text can
// take a while to compile, and a host that gives up on it stops it through the handler.
inline constexpr int kTokensPerCheck = 4096;

struct exp_parse_state {
  // Lexer.
  const char *source = nullptr;
  const char *cursor = nullptr;
  bool at_end = false;           // the cursor has reached the end of the text
  int end_tokens = 0;            // end-of-input tokens read so far
  // Position of the text's last character that is not a blank or line break: end-of-input
  // tokens are reported just after it, never on a line the text does not have.
  int last_line = 1, last_column = 0;
  int line = 0, column = 0;      // position of the character under the cursor
  exp_srcpos token = {0, 0};     // start of the look-ahead token (the one just scanned)
  // Start of the current token: where compiling stopped when an error is reported. {0, 0}
  // before the first token and after the text parsed, when an error has no place in the text.
  exp_srcpos stop = {0, 0};
  // The token before the current one: where it started, and (with the current and look-ahead
  // tokens) its text in the program, quotes included; the end-of-input token's text is empty.
  // Tokens are numbered as they become current.
  exp_srcpos prev_stop = {0, 0};
  std::string_view prev_src, cur_src, look_src;
  int cur_index = 0;
  // Token values: two slots (current and look-ahead, which swap roles), each with a text cell
  // and a cell for typed literals, so that a token of either kind reuses its slot's buffer.
  exp_symval cells[4] = {};
  int look_slot = 1;
  exp_symval *current = &cells[0];
  exp_symval *lookahead = &cells[2];
  int cur_code = 0;
  int look_code = 0;
  // The limit of text token cells: the longest token read so far, at least 16 characters.
  // String literals take it as their limit.
  int text_limit = 0;
  const void *ascii_classes = nullptr;  // the lexer's table of ASCII character classes
  int tokens_left = kTokensPerCheck;    // tokens to read before the interrupt handler is asked
  // Parser.
  // Defined labels by the case folding of their names (np_uchar_fold): where each is.
  std::unordered_map<std::string, int> labels;
  std::vector<exp_label> gotos;   // pending gotos, resolved after parsing
  bool static_default = false;
  bool private_default = false;
  int depth = 0;                  // current nesting of expressions and statements
  exp_symval *last_value = nullptr;  // cell of the last top-level expression statement
  exp_srcpos mark = {0, 0};       // source position recorded for the instructions being emitted
  // The program's private declarations by the case folding of their names (np_uchar_fold).
  // Every other local (temporaries, constants) is unnamed, so name lookups search these instead
  // of the whole local list, which grows with every operation; a table keeps a lookup's cost
  // apart from how many there are, so compiling stays linear in the program's length.
  std::unordered_map<std::string, exp_sym *> declared_locals;
  WarningState warn;              // what the warnings found and watch

  exp_parse_state() = default;
  ~exp_parse_state();
  exp_parse_state(const exp_parse_state &) = delete;
  exp_parse_state &operator=(const exp_parse_state &) = delete;
};

// The private symbol this compilation declared under `name` (compared as symbol names are),
// or none.
exp_sym *find_declared_local(const exp_parse_state *s, const char *name);
exp_sym *find_declared_local(const exp_parse_state *s, const name_key &key);

// Makes the current token's position the source position of the instructions emitted while it
// lives (the operator, call or statement being compiled); the previous mark returns after.
class SourceMark {
 public:
  SourceMark(exp_engine *, exp_parse_state *s) : s_(s), saved_(s->mark) { s->mark = s->stop; }
  ~SourceMark() { s_->mark = saved_; }
  SourceMark(const SourceMark &) = delete;
  SourceMark &operator=(const SourceMark &) = delete;

 private:
  exp_parse_state *s_;
  exp_srcpos saved_;
};

// Lexer: shifts the look-ahead into the current token and reads the next one. 0 or an error.
int next_token(exp_engine *e, exp_parse_state *s);
int lexer_init(exp_engine *e, exp_parse_state *s, const char *text);
// Rewrites text in place: a backslash is dropped unless the character before it was one.
void unescape_text(char *text);

// Expressions.
int parse_expression(exp_engine *e, exp_pcode *p, exp_symval **out);
int parse_call(exp_engine *e, exp_pcode *p, exp_symval **out);
int coerce_to_temp(exp_engine *e, exp_pcode *p, exp_symval *src, int type, int limit, exp_symval **out);
exp_symval *new_temp(exp_pcode *p, int type, int limit, exp_class *cls);
// Emits a call of operator `op` with result and up to two operands (nullptr for unary).

int emit_op(exp_engine *e, exp_pcode *p, exp_op op, exp_symval *result, exp_symval *a, exp_symval *b);
// Emits one instruction; out of memory gives error 1.
int emit(exp_engine *e, exp_pcode *p, int kind, int a, void *b, int *index = nullptr);

// Statements.
int parse_program(exp_engine *e, exp_pcode *p);
int resolve_gotos(exp_engine *e, exp_pcode *p);

// The text of the current token: its string value when it has one, else (a typed literal) its
// raw text, which the lexer leaves in the text cell of the token's slot.
inline const char *token_text(const exp_parse_state *s) {
  const exp_symval *c = s->current;
  if ((c->flags & EXP_TYPE_MASK) == EXP_STRING && c->value.s) return c->value.s;
  const char *raw = s->cells[2 * (s->look_slot ^ 1)].value.s;
  return raw ? raw : "";
}

// One more level of nested expressions or statements while it lives; texts nested deeper than
// kMaxNesting are refused (nesting_error) before they exhaust the stack.
class Nesting {
 public:
  explicit Nesting(exp_parse_state *s) : s_(s) { ++s_->depth; }
  ~Nesting() { --s_->depth; }
  bool too_deep() const { return s_->depth > kMaxNesting; }
  Nesting(const Nesting &) = delete;
  Nesting &operator=(const Nesting &) = delete;

 private:
  exp_parse_state *s_;
};
// Error 32 for a text nested too deeply.
int nesting_error(exp_engine *e);

// The state of the compilation in progress (always present while compiling).
inline exp_parse_state *parse_state(exp_engine *e) { return e->compiling; }
