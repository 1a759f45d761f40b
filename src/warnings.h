// Compile-time warnings: texts that compile but almost certainly do not say what their author
// meant. A warning never stops a compilation; the compiler collects them into its state, and the
// driver hands them to the engine (the last compile) and to the program.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_set>
#include <utility>
#include <vector>

#include "expression.h"
#include "positions.h"

struct exp_function;
struct exp_parse_state;

// One warning: its EXP_W_* code, its message and where in the text it lies.
struct exp_warning {
  int code;
  std::string message;
  int line, column;
};

// A declared variable, watched for being read: its cell (in its symbol record, which holds the
// name) and where the declaration names it.
struct DeclaredVariable {
  const exp_symval *cell;
  exp_srcpos at;
};

// An expression statement being parsed: what its warnings need to know of it and of what
// stands before it.
struct ExpressionStatement {
  int effects_before = 0;
  exp_srcpos at = {0, 0};
  const char *begin = nullptr;   // its first token in the text
  bool adjacent = false;         // right after another expression, on the same line, nothing between
  int before_end = -1;           // the token that ended that expression
  std::string_view before;       // that expression's text
  std::string_view before_last;  // its last token's text
};

// What the compiler notes for the warnings while it parses. Kept in the compilation state.
struct WarningState {
  std::vector<exp_warning> found;
  std::vector<DeclaredVariable> declared;
  std::unordered_set<const exp_symval *> read;  // cells of declared variables the text reads
  bool names_at_run_time = false;  // the text reaches variables by name (vareval, varset)
  int effects = 0;                 // calls so far that may change more than their result
  // The cell of the literal parsed last: a constant, which no instruction writes. A negated
  // literal counts as one too; `negated` pairs such a cell with the literal it negates.
  const exp_symval *literal = nullptr;
  std::vector<std::pair<const exp_symval *, const exp_symval *>> negated;
  // The last expression parsed: the index of its last token, and its text.
  int expression_end = -1;
  std::string_view expression_text;
  // The top-level expression statement whose value is the result only if no other follows.
  bool pending = false;
  exp_srcpos pending_at = {0, 0};
  int pending_end = -1;
};

// Adds a warning at `at` (a position of the text).
void warn(exp_parse_state *s, int code, exp_srcpos at, std::string message);

// Notes a call of `fn` (a registered function; none for a user-defined one) for the decision
// whether an expression statement has an effect, and whether the text reaches variables by name.
void note_call(exp_parse_state *s, const exp_function *fn, bool method);
// Notes the end of an expression that began at `begin` in the text.
void note_expression(exp_parse_state *s, const char *begin);
// Notes that the text reads the variable whose cell is `cell`.
void note_read(exp_parse_state *s, const exp_symval *cell);

// An expression statement starts at the current token.
ExpressionStatement expression_statement_start(const exp_parse_state *s);
// The expression statement `st` has been parsed: warns when its value is thrown away (at the top
// level, once another expression statement follows) and calls nothing with an effect.
void expression_statement_done(exp_parse_state *s, const ExpressionStatement &st, bool top_level);

// Warns when a call of match_string has a constant pattern that can never match. Bit n - 1 of
// `literal_args` says argument n is a literal.
void check_match_pattern(exp_parse_state *s, const exp_function *fn, const std::vector<exp_symval *> &args,
                         uint32_t literal_args, exp_srcpos at);
// Warns when a constant text is assigned to a string variable that cannot hold it whole.
void check_assigned_text(exp_parse_state *s, const exp_symval *target, const exp_symval *value, exp_srcpos at);
// Warns about an ordering comparison (`op`) of a text with a number literal.
void check_text_number_comparison(exp_parse_state *s, int op, const exp_symval *left, bool left_literal,
                                  const exp_symval *right, bool right_literal, exp_srcpos at);
// Warns about a date subtracted from a date.
void check_date_difference(exp_parse_state *s, const exp_symval *left, const exp_symval *right, exp_srcpos at);
// Warns that the statement at `at` follows `what` ("return" or "goto") and never runs.
void warn_unreachable(exp_parse_state *s, const char *what, exp_srcpos at);
// After the whole text compiled: warns about every declared variable that is never read and that
// the host does not read either.
void check_unread_variables(const exp_engine *e, exp_parse_state *s);
