// Statements, declarations and control flow. Forward jumps are emitted as no-op placeholders and
// patched once their target is known; every jump target is a no-op emitted at that point.
//
//   program     := (declaration | statement | expression | ";")*
//   statement   := name "=" expression | name ":" | expression
//                | "if" expression ["then"] statement ["else" statement]
//                | "while" expression statement
//                | "for" name ["="] expression ["to"] expression ["step" expression] statement
//                | "begin" statement+ "end" | "return" expression | "call" call | "goto" label
//   declaration := modifier* type ["(" length ["bytes"] ")"] ["array"] name
#include <cstdio>
#include <cstring>

#include "compiler.h"
#include "errors.h"
#include "operators.h"
#include "pcode_traits.h"
#include "support/uchar.h"
#include "values.h"

namespace {

exp_parse_state *S(exp_engine *e) { return parse_state(e); }
int tok(exp_engine *e) { return S(e)->cur_code; }
int look(exp_engine *e) { return S(e)->look_code; }
int advance(exp_engine *e) { return next_token(e, S(e)); }

int parse_statement(exp_engine *e, exp_pcode *p);

// Emits a no-op (a placeholder or a jump target) and returns its index through *index.
int emit_noop(exp_engine *e, exp_pcode *p, int *index) { return emit(e, p, EXP_NOOP, 0, nullptr, index); }

int patch(exp_engine *e, exp_pcode *p, int index, int kind, int target, exp_symval *cell) {
  return pcode_patch(index, p, kind, target, cell) ? ENGINE_INTERNAL_ERROR(e, "exp_compile") : 0;
}

// ---- assignment targets -------------------------------------------------------------------------

int check_assignable(exp_engine *e, exp_pcode *p, exp_symval **target) {
  if (tok(e) != TK_IDENT) return engine_error(e, ERR_NOT_SYMBOL);
  const char *name = token_text(S(e));
  // An empty name would match a temporary (they are all unnamed); it names no symbol.
  if (!*name) return engine_error(e, ERR_SYMBOL_NOT_FOUND, name);
  const name_key key(name);
  if (exp_sym *local = find_declared_local(S(e), key)) {
    *target = &local->cell;
    return 0;
  }
  exp_sym *sym = sym_find_global(e, key);
  if (!sym) return engine_error(e, ERR_SYMBOL_NOT_FOUND, name);
  if (sym->cell.flags & EXP_READONLY) return engine_error(e, ERR_READ_ONLY, sym->name);
  p->traits |= symbol_traits(sym->cell);
  *target = &sym->cell;
  return 0;
}

int parse_assignment(exp_engine *e, exp_pcode *p) {
  SourceMark mark(e, S(e));
  exp_symval *target = nullptr, *value = nullptr;
  if (int rc = check_assignable(e, p, &target)) return rc;
  if (int rc = advance(e)) return rc;
  if (int rc = advance(e)) return rc;
  if (int rc = parse_expression(e, p, &value)) return rc;
  if (value == S(e)->warn.literal) check_assigned_text(S(e), target, value, S(e)->mark);
  return emit_op(e, p, OP_COPY_COERCE, target, value, nullptr);
}

// ---- labels and goto ----------------------------------------------------------------------------------

// Labels are looked up by their folded names (a hash table): compiling stays linear in the
// number of labels and gotos.
int parse_label(exp_engine *e, exp_pcode *p) {
  const char *name = token_text(S(e));
  std::string key = np_uchar_fold(name);
  if (S(e)->labels.count(key)) return engine_error(e, ERR_DUPLICATE_LABEL, name);
  int index;
  if (int rc = emit_noop(e, p, &index)) return rc;
  S(e)->labels.emplace(std::move(key), index);
  if (int rc = advance(e)) return rc;
  return advance(e);
}

int parse_goto(exp_engine *e, exp_pcode *p) {
  if (int rc = advance(e)) return rc;
  const char *name = token_text(S(e));
  if (std::strlen(name) > EXP_NAME_MAX)
    return engine_error(e, ERR_COMPILE, "a goto label is longer than 64 bytes");
  int index;
  if (int rc = emit_noop(e, p, &index)) return rc;
  S(e)->gotos.push_back(exp_label{name, index});
  return advance(e);
}

// ---- control flow -----------------------------------------------------------------------------------------

int parse_if(exp_engine *e, exp_pcode *p) {
  SourceMark mark(e, S(e));
  exp_symval *cond = nullptr;
  int skip_then, skip_else, else_at, end_at;
  if (int rc = advance(e)) return rc;
  if (int rc = parse_expression(e, p, &cond)) return rc;
  if (tok(e) == KW_THEN)
    if (int rc = advance(e)) return rc;
  if (int rc = emit_noop(e, p, &skip_then)) return rc;
  if (int rc = parse_statement(e, p)) return rc;
  if (tok(e) != KW_ELSE) {
    if (int rc = emit_noop(e, p, &end_at)) return rc;
    return patch(e, p, skip_then, EXP_JUMP_IF_ZERO, end_at, cond);
  }
  if (int rc = emit_noop(e, p, &skip_else)) return rc;
  if (int rc = emit_noop(e, p, &else_at)) return rc;
  if (int rc = advance(e)) return rc;
  if (int rc = parse_statement(e, p)) return rc;
  if (int rc = emit_noop(e, p, &end_at)) return rc;
  if (int rc = patch(e, p, skip_then, EXP_JUMP_IF_ZERO, else_at, cond)) return rc;
  return patch(e, p, skip_else, EXP_JUMP, end_at, nullptr);
}

int parse_while(exp_engine *e, exp_pcode *p) {
  SourceMark mark(e, S(e));
  exp_symval *cond = nullptr;
  int top, exit_jump, end_at;
  if (int rc = advance(e)) return rc;
  if (int rc = emit_noop(e, p, &top)) return rc;
  if (int rc = parse_expression(e, p, &cond)) return rc;
  if (int rc = emit_noop(e, p, &exit_jump)) return rc;
  if (int rc = parse_statement(e, p)) return rc;
  if (int rc = emit(e, p, EXP_JUMP, top, nullptr)) return rc;
  if (int rc = emit_noop(e, p, &end_at)) return rc;
  return patch(e, p, exit_jump, EXP_JUMP_IF_ZERO, end_at, cond);
}

// Watches a sequence of statements (the program, a block) for statements after a `return` or a
// `goto`, which never run unless a label leads to them. Warns once per such stretch.
class FlowWatch {
 public:
  // Called before each item of the sequence; the current token starts it.
  void before_statement(exp_engine *e) {
    const int t = tok(e);
    if (t == TK_SEMI) return;
    if (ended_by_ && !(t == TK_IDENT && look(e) == TK_COLON)) warn_unreachable(S(e), ended_by_, S(e)->stop);
    ended_by_ = t == KW_RETURN ? "return" : t == KW_GOTO ? "goto" : nullptr;
  }

 private:
  const char *ended_by_ = nullptr;
};

// The cells of a for loop: the loop counts in its own integer counter, so assigning to the
// variable in the body does not change the count.
struct ForCells {
  exp_symval *counter, *limit, *step, *zero, *test, *check;
};

int make_for_cells(exp_engine *e, exp_pcode *p, ForCells *c) {
  c->counter = new_temp(p, EXP_INTEGER, 0, nullptr);
  c->limit = new_temp(p, EXP_INTEGER, 0, nullptr);
  c->step = new_temp(p, EXP_INTEGER, 0, nullptr);
  c->zero = new_temp(p, EXP_INTEGER, 0, nullptr);
  c->test = new_temp(p, EXP_BOOLEAN, 0, nullptr);
  c->check = new_temp(p, EXP_BOOLEAN, 0, nullptr);
  if (!c->counter || !c->limit || !c->step || !c->zero || !c->test || !c->check) return engine_error(e, ERR_MEMORY);
  exp_symval_setint(c->zero, 0);
  return 0;
}

// Parses an expression and copies its value into `into` (converted to an integer).
int parse_into(exp_engine *e, exp_pcode *p, exp_symval *into) {
  exp_symval *value = nullptr;
  if (int rc = parse_expression(e, p, &value)) return rc;
  return emit_op(e, p, OP_COPY_COERCE, into, value, nullptr);
}

// Start, end and step are evaluated once; a null in any of them stops the run before the first
// pass. The loop runs up while counter <= limit for a positive step, else down while >= limit.
// The layout, recorded in the program's loop list for the prepared form:
//
//        counter = start; limit = end; step = step (or 1)
//        null check counter, limit, step
//   TOP: no-op
//        var = counter
//        test = step > zero
//        if not test goto NEG                      direction
//        test = counter <= limit
//        if not test goto END                      bound, counting up
//        goto BODY
//   NEG: test = counter >= limit
//        if not test goto END                      bound, counting down
//  BODY: no-op
//        ... the statement ...
//  NEXT: counter = counter + step
//        goto TOP
//   END: no-op
//
// The head thus tests the direction, then the bound, and reaches BODY or END; the prepared form
// relies on that order (see Builder::follow_head) but not on the instructions in between.
int parse_for(exp_engine *e, exp_pcode *p) {
  SourceMark mark(e, S(e));
  exp_symval *var = nullptr;
  ForCells c;
  int top, to_negative, to_end_up, to_body, negative, to_end_down, body, next, end_at;
  if (int rc = advance(e)) return rc;
  if (int rc = check_assignable(e, p, &var)) return rc;
  note_read(S(e), var);  // a loop's variable serves the loop, even when the body never reads it
  if (int rc = advance(e)) return rc;
  if (tok(e) == TK_ASSIGN)
    if (int rc = advance(e)) return rc;
  if (int rc = make_for_cells(e, p, &c)) return rc;
  if (int rc = parse_into(e, p, c.counter)) return rc;
  if (tok(e) == KW_TO)
    if (int rc = advance(e)) return rc;
  if (int rc = parse_into(e, p, c.limit)) return rc;
  if (tok(e) == KW_STEP) {
    if (int rc = advance(e)) return rc;
    if (int rc = parse_into(e, p, c.step)) return rc;
  } else {
    exp_symval_setint(c.step, 1);
  }
  for (exp_symval *checked : {c.counter, c.limit, c.step})
    if (int rc = emit_op(e, p, OP_NULL_CHECK, c.check, checked, nullptr)) return rc;
  if (int rc = emit_noop(e, p, &top)) return rc;
  if (int rc = emit_op(e, p, OP_COPY_COERCE, var, c.counter, nullptr)) return rc;
  if (int rc = emit_op(e, p, OP_GT, c.test, c.step, c.zero)) return rc;
  if (int rc = emit_noop(e, p, &to_negative)) return rc;
  if (int rc = emit_op(e, p, OP_LE, c.test, c.counter, c.limit)) return rc;
  if (int rc = emit_noop(e, p, &to_end_up)) return rc;
  if (int rc = emit_noop(e, p, &to_body)) return rc;
  negative = p->count;
  if (int rc = emit_op(e, p, OP_GE, c.test, c.counter, c.limit)) return rc;
  if (int rc = emit_noop(e, p, &to_end_down)) return rc;
  if (int rc = emit_noop(e, p, &body)) return rc;
  if (int rc = parse_statement(e, p)) return rc;
  next = p->count;
  if (int rc = emit_op(e, p, OP_ADD_INT, c.counter, c.counter, c.step)) return rc;
  if (int rc = emit(e, p, EXP_JUMP, top, nullptr)) return rc;
  if (int rc = emit_noop(e, p, &end_at)) return rc;
  if (int rc = patch(e, p, to_negative, EXP_JUMP_IF_ZERO, negative, c.test)) return rc;
  if (int rc = patch(e, p, to_end_up, EXP_JUMP_IF_ZERO, end_at, c.test)) return rc;
  if (int rc = patch(e, p, to_body, EXP_JUMP, body, nullptr)) return rc;
  if (int rc = patch(e, p, to_end_down, EXP_JUMP_IF_ZERO, end_at, c.test)) return rc;
  p->loops.push_back(exp_for_loop{top, body, next, end_at, var, c.counter, c.limit, c.step, c.zero, c.test});
  return 0;
}

int parse_block(exp_engine *e, exp_pcode *p) {
  if (int rc = advance(e)) return rc;
  if (tok(e) == KW_END) return engine_error(e, ERR_EXPECTED_STATEMENT);
  FlowWatch flow;
  while (tok(e) != KW_END) {
    if (tok(e) == TK_END_OF_INPUT) return engine_error(e, ERR_BEGIN_NO_END);
    flow.before_statement(e);
    if (int rc = parse_statement(e, p)) return rc;
  }
  return advance(e);
}

int parse_return(exp_engine *e, exp_pcode *p) {
  SourceMark mark(e, S(e));
  exp_symval *value = nullptr;
  if (int rc = advance(e)) return rc;
  if (int rc = parse_expression(e, p, &value)) return rc;
  if (int rc = emit_op(e, p, OP_COPY_COERCE, &p->result, value, nullptr)) return rc;
  return emit(e, p, EXP_EXIT, 0, nullptr);
}

int parse_call_statement(exp_engine *e, exp_pcode *p) {
  if (int rc = advance(e)) return rc;
  if (tok(e) != TK_IDENT) return engine_error(e, ERR_UNKNOWN_FUNCTION);
  return parse_call(e, p, nullptr);
}

using StatementParser = int (*)(exp_engine *, exp_pcode *);

struct StatementForm {
  int keyword;
  StatementParser parse;
};

constexpr StatementForm kStatements[] = {
    {KW_GOTO, parse_goto},   {KW_RETURN, parse_return}, {KW_IF, parse_if},
    {KW_BEGIN, parse_block}, {KW_FOR, parse_for},       {KW_CALL, parse_call_statement},
    {KW_WHILE, parse_while},
};

StatementParser statement_form(int token) {
  for (const StatementForm &f : kStatements)
    if (f.keyword == token) return f.parse;
  return nullptr;
}

int skip_semicolons(exp_engine *e) {
  while (tok(e) == TK_SEMI)
    if (int rc = advance(e)) return rc;
  return 0;
}

// An expression statement; its value is thrown away unless it is the program's last top-level
// one, which `last_value` then receives.
int parse_expression_statement(exp_engine *e, exp_pcode *p, exp_symval **last_value) {
  const ExpressionStatement st = expression_statement_start(S(e));
  if (int rc = parse_expression(e, p, last_value)) return rc;
  expression_statement_done(S(e), st, last_value != nullptr);
  return 0;
}

int parse_statement_body(exp_engine *e, exp_pcode *p) {
  int t = tok(e);
  if (t == TK_IDENT) {
    if (look(e) == TK_ASSIGN) return parse_assignment(e, p);
    if (look(e) == TK_COLON) return parse_label(e, p);
    return parse_expression_statement(e, p, nullptr);
  }
  if (StatementParser parse = statement_form(t)) return parse(e, p);
  if (t == KW_ELSE) return engine_error(e, ERR_MISSING_STATEMENT);
  return engine_error(e, ERR_EXPECTED_STATEMENT);
}

int parse_statement(exp_engine *e, exp_pcode *p) {
  Nesting nesting(S(e));
  if (nesting.too_deep()) return nesting_error(e);
  if (int rc = skip_semicolons(e)) return rc;
  if (int rc = parse_statement_body(e, p)) return rc;
  return skip_semicolons(e);
}

// ---- declarations ------------------------------------------------------------------------------------------

struct TypeKeyword {
  int keyword;
  int type;
  const char *array_class;
};

constexpr TypeKeyword kTypeKeywords[] = {
    {KW_BOOLEAN, EXP_BOOLEAN, "boolean_array"}, {KW_INTEGER, EXP_INTEGER, "integer_array"},
    {KW_REAL, EXP_REAL, "real_array"},          {KW_STRING, EXP_STRING, "string_array"},
    {KW_DATE, EXP_DATE, "date_array"},          {KW_POINTER, EXP_POINTER, nullptr},
};

const TypeKeyword *type_keyword(int token) {
  for (const TypeKeyword &t : kTypeKeywords)
    if (t.keyword == token) return &t;
  return nullptr;
}

bool is_modifier(int token) {
  return token == KW_PUBLIC || token == KW_PRIVATE || token == KW_GLOBAL || token == KW_STATIC ||
         token == KW_HIDDEN || token == KW_VISIBLE;
}

struct Declaration {
  bool is_public = false, is_private = false, is_global = false, is_static = false;
  bool is_hidden = false, is_visible = false, bytes = false;
  int type = 0;
  int limit = 255;
  exp_class *cls = nullptr;
  const TypeKeyword *keyword = nullptr;
};

int parse_modifiers(exp_engine *e, Declaration *d) {
  for (int t = tok(e); is_modifier(t); t = tok(e)) {
    d->is_public |= t == KW_PUBLIC;
    d->is_private |= t == KW_PRIVATE;
    d->is_global |= t == KW_GLOBAL;
    d->is_static |= t == KW_STATIC;
    d->is_hidden |= t == KW_HIDDEN;
    d->is_visible |= t == KW_VISIBLE;
    if (int rc = advance(e)) return rc;
  }
  const exp_parse_state *s = S(e);
  if (s->private_default && !d->is_public && !d->is_global) d->is_private = true;
  if (s->static_default) d->is_static = true;
  if ((d->is_global && d->is_private) || (d->is_public && d->is_private) || (d->is_hidden && d->is_visible))
    return engine_error(e, ERR_DECLARATION);
  if (d->is_global) d->is_static = true;
  return 0;
}

// Error 32 for a declared string length whose buffer (4 bytes per character) would not fit.
int refuse_string_length(exp_engine *e) {
  char text[96];
  std::snprintf(text, sizeof text, "string length above %lld characters", static_cast<long long>(kMaxStringLimit));
  return engine_error(e, ERR_COMPILE, text);
}

// `(` length [`bytes`] `)` after `string`.
int parse_string_length(exp_engine *e, Declaration *d) {
  if (int rc = advance(e)) return rc;
  if (tok(e) != TK_INTEGER) return engine_error(e, ERR_DECLARATION);
  d->limit = static_cast<int32_t>(S(e)->current->value.i);
  if (int rc = advance(e)) return rc;
  if (tok(e) == KW_BYTES) {
    d->bytes = true;
    if (int rc = advance(e)) return rc;
  }
  if (tok(e) != TK_RPAREN) return engine_error(e, ERR_DECLARATION);
  return advance(e);
}

int parse_type(exp_engine *e, Declaration *d) {
  if ((d->keyword = type_keyword(tok(e)))) {
    d->type = d->keyword->type;
  } else if (tok(e) == TK_IDENT && (d->cls = class_find(e, token_text(S(e))))) {
    d->type = EXP_OBJECT;
  } else {
    return engine_error(e, ERR_DECLARATION);
  }
  if (int rc = advance(e)) return rc;
  if (d->type == EXP_STRING && tok(e) == TK_LPAREN)
    if (int rc = parse_string_length(e, d)) return rc;
  if (tok(e) != KW_ARRAY) return 0;
  if (!d->keyword || !d->keyword->array_class) return engine_error(e, ERR_DECLARATION);
  if (!(d->cls = class_find(e, d->keyword->array_class))) return ENGINE_INTERNAL_ERROR(e, "exp_compile");
  d->type = EXP_OBJECT;
  return advance(e);
}

// Error 109 for a declaration past the engine's limits: a string longer than the longest allowed,
// a buffer larger than the memory limit, or a global beyond the number of symbols allowed. The
// program's memory as a whole is charged once it compiles.
int check_declaration_limits(exp_engine *e, const Declaration &d) {
  if (d.type == EXP_STRING) {
    if (int rc = limit_check(e, EXP_LIMIT_STRING, d.limit)) return rc;
    int64_t bytes = int64_t{d.limit} * 4 + 1;
    if (int rc = limit_check(e, EXP_LIMIT_MEMORY, e->memory->used.load(std::memory_order_relaxed) + bytes))
      return rc;
  }
  if (d.is_private) return 0;
  return limit_check(e, EXP_LIMIT_SYMBOLS, int64_t{e->symbols.count} + 1);
}

int parse_declaration(exp_engine *e, exp_pcode *p) {
  Declaration d;
  if (int rc = parse_modifiers(e, &d)) return rc;
  if (int rc = parse_type(e, &d)) return rc;
  if (tok(e) != TK_IDENT || !*token_text(S(e))) return engine_error(e, ERR_DECLARATION);
  char name[EXP_NAME_MAX + 1];
  copy_name(name, token_text(S(e)), EXP_NAME_MAX);
  if (find_declared_local(S(e), name) || sym_exists(e, name))
    return engine_error(e, ERR_DUPLICATE_SYMBOL, name);
  if (d.type == EXP_STRING && d.limit < 1) return engine_error(e, ERR_ZERO_LENGTH);
  if (d.type == EXP_STRING && d.limit > kMaxStringLimit) return refuse_string_length(e);
  if (int rc = check_declaration_limits(e, d)) return rc;
  uint32_t flags = (d.is_static ? EXP_STATIC : 0) | (d.is_hidden ? EXP_HIDDEN : 0) |
                   (d.bytes ? EXP_BYTES : 0) | (d.is_private ? EXP_LOCAL : 0);
  exp_symval *cell = d.is_private ? sym_add_local(p, name, d.type, d.limit, d.cls, flags)
                                  : sym_add_global(e, name, d.type, d.limit, d.cls, flags, p);
  if (!cell) return engine_error(e, ERR_MEMORY);  // the limit was checked: only memory can fail
  p->traits |= symbol_traits(*cell);
  if (d.is_private) S(e)->declared_locals.emplace(np_uchar_fold(name), sym_of_cell(cell));
  S(e)->warn.declared.push_back(DeclaredVariable{cell, S(e)->stop});
  return advance(e);
}

bool starts_declaration(exp_engine *e) {
  int t = tok(e);
  if (type_keyword(t) || is_modifier(t)) return true;
  return t == TK_IDENT && class_find(e, token_text(S(e))) != nullptr;
}

bool starts_statement(exp_engine *e) {
  int t = tok(e);
  if (statement_form(t)) return true;
  return t == TK_IDENT && (look(e) == TK_ASSIGN || look(e) == TK_COLON);
}

}  // namespace

int parse_program(exp_engine *e, exp_pcode *p) {
  exp_parse_state *s = S(e);
  FlowWatch flow;
  while (tok(e) != TK_END_OF_INPUT) {
    int rc = 0;
    if (tok(e) == TK_SEMI) {
      rc = advance(e);
    } else if (tok(e) == KW_END) {
      rc = engine_error(e, ERR_END_NO_BEGIN);
    } else if (starts_statement(e)) {
      flow.before_statement(e);
      rc = parse_statement(e, p);
    } else if (starts_declaration(e)) {
      rc = parse_declaration(e, p);
    } else {
      flow.before_statement(e);
      rc = parse_expression_statement(e, p, &s->last_value);
    }
    if (rc) return rc;
  }
  if (!s->last_value) return 0;
  return emit_op(e, p, OP_COPY_COERCE, &p->result, s->last_value, nullptr);
}

int resolve_gotos(exp_engine *e, exp_pcode *p) {
  const exp_parse_state *s = S(e);
  for (auto g = s->gotos.rbegin(); g != s->gotos.rend(); ++g) {
    const auto label = s->labels.find(np_uchar_fold(g->name));
    if (label == s->labels.end()) return engine_error(e, ERR_LABEL_NOT_FOUND, g->name.c_str());
    if (int rc = patch(e, p, g->index, EXP_JUMP, label->second, nullptr)) return rc;
  }
  return 0;
}
