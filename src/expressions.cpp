// Expression compilation: a recursive descent with one function per precedence level. Every
// expression yields the cell that holds its value; operators, conversions and calls emit one
// call instruction each and yield a new temporary.
//
//   expression     := and ("or" and)*
//   and            := comparison ("and" comparison)*
//   comparison     := concat [(">" | ">=" | "<" | "<=" | "==" | "<>" | "!=") concat]
//   concat         := additive ("&" additive)*
//   additive       := multiplicative (("+" | "-") multiplicative)*
//   multiplicative := unary (("*" | "/" | "%") unary)*
//   unary          := "-" unary | ("not" | "!") unary | "(" expression ")" | literal | "null"
//                   | name | call
//   call           := name "(" [expression ("," expression)*] ")"
//                   | name "." method "(" [expression ("," expression)*] ")"
#include <algorithm>
#include <cctype>
#include <initializer_list>
#include <string>
#include <vector>

#include "compiler.h"
#include "errors.h"
#include "operators.h"
#include "pcode_traits.h"
#include "values.h"

namespace {

constexpr int kCoerceStringLimit = 31;   // string temporaries made for implicit conversions
constexpr int kDefaultStringLimit = 255;

exp_parse_state *S(exp_engine *e) { return parse_state(e); }
int tok(exp_engine *e) { return S(e)->cur_code; }
int advance(exp_engine *e) { return next_token(e, S(e)); }
int type_of(const exp_symval *c) { return symval_type(c); }

// Replaces *cell with a temporary of `type` filled by a copy/coerce, unless it has that type.
int coerce_if(exp_engine *e, exp_pcode *p, exp_symval **cell, int type) {
  if (type_of(*cell) == type) return 0;
  return coerce_to_temp(e, p, *cell, type, kCoerceStringLimit, cell);
}

// Coerces to real unless the cell is already real (or, when `dates_ok`, a date).
int coerce_real(exp_engine *e, exp_pcode *p, exp_symval **cell, bool dates_ok) {
  int t = type_of(*cell);
  if (t == EXP_REAL || (dates_ok && t == EXP_DATE)) return 0;
  return coerce_to_temp(e, p, *cell, EXP_REAL, 0, cell);
}

int make_result(exp_engine *e, exp_pcode *p, int type, int limit, exp_symval **out) {
  *out = new_temp(p, type, limit, nullptr);
  return *out ? 0 : engine_error(e, ERR_MEMORY);
}

// ---- binary operators -----------------------------------------------------------------------

int compile_logic(exp_engine *e, exp_pcode *p, int token, exp_symval *l, exp_symval *r, exp_symval **out) {
  if (int rc = make_result(e, p, EXP_BOOLEAN, 0, out)) return rc;
  return emit_op(e, p, token == KW_OR ? OP_OR : OP_AND, *out, l, r);
}

struct Comparison {
  Token token;
  exp_op numeric;
  exp_op text;
};
constexpr Comparison kComparisons[] = {
    {TK_GT, OP_GT, OP_GT_STR}, {TK_GE, OP_GE, OP_GE_STR}, {TK_LT, OP_LT, OP_LT_STR},
    {TK_LE, OP_LE, OP_LE_STR}, {TK_EQ, OP_EQ, OP_EQ_STR}, {TK_NE, OP_NE, OP_NE_STR},
};

const Comparison *comparison_of(int token) {
  for (const Comparison &c : kComparisons)
    if (c.token == token) return &c;
  return nullptr;
}

bool comparable(int type) { return type >= EXP_BOOLEAN && type <= EXP_DATE; }

int compile_comparison(exp_engine *e, exp_pcode *p, int token, exp_symval *l, exp_symval *r,
                       exp_symval **out) {
  int lt = type_of(l), rt = type_of(r);
  if (!comparable(lt) || !comparable(rt)) return engine_error(e, ERR_INVALID_COMPARISON);
  const Comparison *cmp = comparison_of(token);
  exp_op op = cmp->numeric;
  int rc = 0;
  if (lt == EXP_STRING || rt == EXP_STRING) {
    op = cmp->text;
    rc = coerce_if(e, p, &l, EXP_STRING);
    if (!rc) rc = coerce_if(e, p, &r, EXP_STRING);
  } else if (lt == EXP_REAL) {
    rc = coerce_real(e, p, &r, false);
  } else if (lt == EXP_DATE || rt == EXP_REAL || rt == EXP_DATE) {
    rc = coerce_real(e, p, &l, false);
    if (!rc) rc = coerce_real(e, p, &r, false);
  } else {
    if (lt == EXP_BOOLEAN) rc = coerce_if(e, p, &l, EXP_INTEGER);
    if (!rc && rt == EXP_BOOLEAN) rc = coerce_if(e, p, &r, EXP_INTEGER);
  }
  if (rc) return rc;
  if ((rc = make_result(e, p, EXP_BOOLEAN, 0, out))) return rc;
  return emit_op(e, p, op, *out, l, r);
}

int compile_concat(exp_engine *e, exp_pcode *p, exp_symval *l, exp_symval *r, exp_symval **out) {
  if (int rc = coerce_if(e, p, &l, EXP_STRING)) return rc;
  if (int rc = coerce_if(e, p, &r, EXP_STRING)) return rc;
  int64_t limit = int64_t{l->len} + r->len;
  if (limit > kMaxStringLimit) return engine_error(e, ERR_MEMORY);
  if (int rc = make_result(e, p, EXP_STRING, static_cast<int>(limit), out)) return rc;
  return emit_op(e, p, OP_CONCAT, *out, l, r);
}

// + and -: integers stay integers; anything else is decimal, and a date operand makes a date.
int compile_additive(exp_engine *e, exp_pcode *p, int token, exp_symval *l, exp_symval *r, exp_symval **out) {
  bool plus = token == TK_PLUS;
  if (type_of(l) == EXP_INTEGER && type_of(r) == EXP_INTEGER) {
    if (int rc = make_result(e, p, EXP_INTEGER, 0, out)) return rc;
    return emit_op(e, p, plus ? OP_ADD_INT : OP_SUB_INT, *out, l, r);
  }
  if (int rc = coerce_real(e, p, &l, true)) return rc;
  if (int rc = coerce_real(e, p, &r, true)) return rc;
  int type = (type_of(l) == EXP_DATE || type_of(r) == EXP_DATE) ? EXP_DATE : EXP_REAL;
  if (int rc = make_result(e, p, type, 0, out)) return rc;
  return emit_op(e, p, plus ? OP_ADD_REAL : OP_SUB_REAL, *out, l, r);
}

int compile_multiplicative(exp_engine *e, exp_pcode *p, int token, exp_symval *l, exp_symval *r,
                           exp_symval **out) {
  if (token == TK_PERCENT) {
    if (int rc = coerce_if(e, p, &l, EXP_INTEGER)) return rc;
    if (int rc = coerce_if(e, p, &r, EXP_INTEGER)) return rc;
    if (int rc = make_result(e, p, EXP_INTEGER, 0, out)) return rc;
    return emit_op(e, p, OP_MOD, *out, l, r);
  }
  bool times = token == TK_STAR;
  if (type_of(l) == EXP_INTEGER && type_of(r) == EXP_INTEGER) {
    if (int rc = make_result(e, p, EXP_INTEGER, 0, out)) return rc;
    return emit_op(e, p, times ? OP_MUL_INT : OP_DIV_INT, *out, l, r);
  }
  if (int rc = coerce_real(e, p, &l, false)) return rc;
  if (int rc = coerce_real(e, p, &r, false)) return rc;
  if (int rc = make_result(e, p, EXP_REAL, 0, out)) return rc;
  return emit_op(e, p, times ? OP_MUL_REAL : OP_DIV_REAL, *out, l, r);
}

// ---- precedence levels ------------------------------------------------------------------------

enum class Level { Or, And, Comparison, Concat, Additive, Multiplicative, Unary };

int compile_binary(exp_engine *e, exp_pcode *p, Level level, int token, exp_symval *l, exp_symval *r,
                   exp_symval **out) {
  switch (level) {
    case Level::Or:
    case Level::And: return compile_logic(e, p, token, l, r, out);
    case Level::Comparison: return compile_comparison(e, p, token, l, r, out);
    case Level::Concat: return compile_concat(e, p, l, r, out);
    case Level::Additive: return compile_additive(e, p, token, l, r, out);
    case Level::Multiplicative: return compile_multiplicative(e, p, token, l, r, out);
    case Level::Unary: break;
  }
  return ENGINE_INTERNAL_ERROR(e, "exp_compile");
}

int parse_unary(exp_engine *e, exp_pcode *p, exp_symval **out);

// The tightest binary level whose operators include `token`, or Level::Unary for a token that
// is no binary operator.
Level level_of(int token) {
  switch (token) {
    case TK_STAR: case TK_SLASH: case TK_PERCENT: return Level::Multiplicative;
    case TK_PLUS: case TK_MINUS: return Level::Additive;
    case TK_AMP: return Level::Concat;
    default: break;
  }
  if (comparison_of(token)) return Level::Comparison;
  if (token == KW_AND) return Level::And;
  return token == KW_OR ? Level::Or : Level::Unary;
}

// The binary levels from `level` up: an operand, then operators of those levels, each taking as
// its right operand everything of the tighter levels after it (so they are left-associative),
// one operand and operator after another instead of one call per level per operand. An operator
// looser than the last one taken ends the expression here, and so does a second comparison after
// one: a comparison takes at most one operator.
int parse_level(exp_engine *e, exp_pcode *p, Level level, exp_symval **out) {
  exp_symval *left = nullptr;
  if (int rc = parse_unary(e, p, &left)) return rc;
  bool left_literal = left == S(e)->warn.literal;
  Level last = Level::Unary;  // the level of the last operator taken; Unary before the first
  for (;;) {
    const Level op = level_of(tok(e));
    if (op == Level::Unary || op < level) break;
    if (last != Level::Unary && (op > last || (op == Level::Comparison && last == Level::Comparison))) break;
    SourceMark mark(e, S(e));
    int token = tok(e);
    exp_symval *right = nullptr;
    if (int rc = advance(e)) return rc;
    if (int rc = parse_level(e, p, static_cast<Level>(static_cast<int>(op) + 1), &right)) return rc;
    const bool right_literal = right == S(e)->warn.literal;
    if (op == Level::Comparison)
      check_text_number_comparison(S(e), token, left, left_literal, right, right_literal, S(e)->mark);
    else if (token == TK_MINUS)
      check_date_difference(S(e), left, right, S(e)->mark);
    if (int rc = compile_binary(e, p, op, token, left, right, &left)) return rc;
    left_literal = false;
    last = op;
  }
  *out = left;
  return 0;
}

// ---- operands -----------------------------------------------------------------------------------

int parse_literal(exp_engine *e, exp_pcode *p, exp_symval **out) {
  const exp_symval *value = S(e)->current;
  int type = type_of(value);
  exp_symval *c = new_temp(p, type, type == EXP_STRING ? static_cast<int>(value->len) : 0, nullptr);
  if (!c) return engine_error(e, ERR_MEMORY);
  exp_symval_copy(value, c);
  *out = c;
  S(e)->warn.literal = c;
  return advance(e);
}

int parse_null(exp_engine *e, exp_pcode *p, exp_symval **out) {
  if (!(*out = new_temp(p, EXP_BOOLEAN, 0, nullptr))) return engine_error(e, ERR_MEMORY);
  return advance(e);
}

// Unary minus: a multiplication by the constant -1 of the operand's type.
int parse_negation(exp_engine *e, exp_pcode *p, exp_symval **out) {
  SourceMark mark(e, S(e));
  exp_symval *operand = nullptr;
  if (int rc = advance(e)) return rc;
  if (int rc = parse_unary(e, p, &operand)) return rc;
  if (type_of(operand) != EXP_INTEGER)
    if (int rc = coerce_real(e, p, &operand, false)) return rc;
  bool integer = type_of(operand) == EXP_INTEGER;
  exp_symval *result = new_temp(p, type_of(operand), 0, nullptr);
  exp_symval *minus_one = new_temp(p, type_of(operand), 0, nullptr);
  if (!result || !minus_one) return engine_error(e, ERR_MEMORY);
  if (integer) {
    exp_symval_setint(minus_one, -1);
  } else {
    decimal192 d;
    exp_symval_setfdnum(minus_one, reinterpret_cast<const exp_decimal192 *>(decSextFromInt32(&d, -1)));
  }
  *out = result;
  // A negated literal is a constant too, for the warnings.
  if (operand == S(e)->warn.literal) {
    S(e)->warn.literal = result;
    S(e)->warn.negated.emplace_back(result, operand);
  }
  return emit_op(e, p, integer ? OP_MUL_INT : OP_MUL_REAL, result, operand, minus_one);
}

int parse_not(exp_engine *e, exp_pcode *p, exp_symval **out) {
  SourceMark mark(e, S(e));
  exp_symval *operand = nullptr;
  if (int rc = advance(e)) return rc;
  if (int rc = parse_unary(e, p, &operand)) return rc;
  if (int rc = make_result(e, p, EXP_BOOLEAN, 0, out)) return rc;
  return emit_op(e, p, OP_NOT, *out, operand, nullptr);
}

int parse_parenthesised(exp_engine *e, exp_pcode *p, exp_symval **out) {
  if (int rc = advance(e)) return rc;
  if (int rc = parse_expression(e, p, out)) return rc;
  if (tok(e) != TK_RPAREN) return engine_error(e, ERR_PARENTHESIS);
  return advance(e);
}

// A symbol: the program's locals first, then the engine's symbols. An empty name (an empty pair
// of backquotes) is the name every temporary carries, so it refers to nothing.
exp_sym *find_symbol(exp_engine *e, exp_pcode *p, const char *name) {
  if (!*name) return nullptr;
  // One key serves both look-ups.
  const name_key key(name);
  exp_sym *s = find_declared_local(S(e), key);
  if (!s) s = sym_find_global(e, key);
  if (s) p->traits |= symbol_traits(s->cell);
  return s;
}

int parse_symbol(exp_engine *e, exp_pcode *p, exp_symval **out) {
  const char *name = token_text(S(e));
  exp_sym *sym = find_symbol(e, p, name);
  if (!sym) return engine_error(e, ERR_SYMBOL_NOT_FOUND, name);
  *out = &sym->cell;
  note_read(S(e), &sym->cell);
  return advance(e);
}

int parse_unary(exp_engine *e, exp_pcode *p, exp_symval **out) {
  Nesting nesting(S(e));
  if (nesting.too_deep()) return nesting_error(e);
  switch (tok(e)) {
    case TK_LPAREN: return parse_parenthesised(e, p, out);
    case TK_STRING:
    case TK_INTEGER:
    case TK_REAL:
    case TK_DATE:
    case TK_BOOLEAN: return parse_literal(e, p, out);
    case KW_NULL: return parse_null(e, p, out);
    case TK_MINUS: return parse_negation(e, p, out);
    case KW_NOT:
    case TK_BANG: return parse_not(e, p, out);
    case TK_IDENT: {
      int look = S(e)->look_code;
      if (look == TK_LPAREN || look == TK_DOT) return parse_call(e, p, out);
      return parse_symbol(e, p, out);
    }
    case TK_END_OF_INPUT: return engine_error(e, ERR_INCOMPLETE);
    default: return engine_error(e, ERR_UNEXPECTED_VALUE);
  }
}

// ---- calls ------------------------------------------------------------------------------------------

// What a call resolves to: a registered function or a user-defined program.
struct Callee {
  const exp_function *fn = nullptr;
  exp_pcode *udf = nullptr;
  const char *signature = "";  // remaining parameter letters of a registered function
  std::string method;          // for a method call, the name messages give it: class.method
  // Where the first argument beyond the signature's letters was found ({0, 0}: none was): the
  // call has too many arguments, reported there once all of them are counted.
  exp_srcpos extra_at = {0, 0};
  uint32_t literal_args = 0;  // bit n - 1: argument n (of the first 32) is a literal constant
};

// Resolves the method form `name.method`: checks the object and finds the implementing function's
// name. Leaves the method name as the current token and the object as the first argument.
int resolve_method(exp_engine *e, exp_pcode *p, std::string *function, std::string *shown_method,
                   std::vector<exp_symval *> *args) {
  const char *name = token_text(S(e));
  exp_sym *sym = find_symbol(e, p, name);
  if (!sym) return engine_error(e, ERR_SYMBOL_NOT_FOUND, name);
  if (int rc = advance(e)) return rc;
  if (int rc = advance(e)) return rc;
  if (type_of(&sym->cell) != EXP_OBJECT) return engine_error(e, ERR_NOT_OBJECT);
  const char *method = token_text(S(e));
  const char *fname = class_find_method(sym->cell.cls, method);
  if (!fname) return engine_error(e, ERR_NO_METHOD, sym->cell.cls ? sym->cell.cls->name : "", method);
  *function = fname;
  *shown_method = std::string(sym->cell.cls->name) + "." + method;
  note_read(S(e), &sym->cell);
  args->push_back(&sym->cell);
  return 0;
}

// Refuses, at the call's name, a callee that needs a capability group the engine denies (a
// user-defined function needs every group its own calls need), and records what the program needs.
int require_capabilities(exp_engine *e, exp_pcode *p, const Callee &callee) {
  unsigned needed = callee.udf ? callee.udf->capabilities : capability_needed(e, *callee.fn);
  if (int rc = capability_check(e, needed, token_text(S(e)), ERR_CAPABILITY)) return rc;
  p->capabilities |= needed;
  return 0;
}

int resolve_callee(exp_engine *e, exp_pcode *p, const std::string &name, bool method, Callee *callee) {
  callee->udf = udf_find(e, name.c_str());
  if (!callee->udf) callee->fn = func_find(e, name.c_str());
  if (!callee->udf && !callee->fn) return engine_error(e, ERR_FUNC_NOT_FOUND, token_text(S(e)));
  if (int rc = require_capabilities(e, p, *callee)) return rc;
  p->traits |= callee->udf ? callee->udf->traits : call_traits(*callee->fn);
  if (!callee->fn) return 0;
  callee->signature = callee->fn->signature;
  if (method) {
    char first = callee->signature[0];
    if (first != 'O' && first != 'o') return ENGINE_INTERNAL_ERROR(e, "exp_compile");
    ++callee->signature;
  }
  return 0;
}

int make_call_result(exp_engine *e, exp_pcode *p, const Callee &callee, exp_symval **out) {
  int type, limit;
  exp_class *cls = nullptr;
  if (callee.udf) {
    type = callee.udf->result_type;
    limit = callee.udf->result_len;
  } else {
    type = type_of_letter(callee.fn->ret_type);
    if (type == 0) return ENGINE_INTERNAL_ERROR(e, "exp_compile");
    limit = static_cast<int>(std::min<int64_t>(callee.fn->max_len, kMaxStringLimit));
    if (type == EXP_OBJECT && !(cls = class_find(e, callee.fn->class_name)))
      return ENGINE_INTERNAL_ERROR(e, "exp_compile");
  }
  if (type == EXP_STRING && limit <= 0) limit = kDefaultStringLimit;
  *out = new_temp(p, type, limit, cls);
  return *out ? 0 : engine_error(e, ERR_MEMORY);
}

// Checks one argument against the current signature letter: upper case demands the type, lower
// case converts to it, 'a' takes anything.
int check_argument(exp_engine *e, exp_pcode *p, Callee &callee, int position, exp_symval **arg) {
  char letter = callee.signature[0];
  if (!letter) {
    if (callee.extra_at.line == 0) callee.extra_at = S(e)->stop;
    return 0;
  }
  if (letter == 'a') return 0;
  int type = type_of_letter(letter);
  if (type == 0) return ENGINE_INTERNAL_ERROR(e, "exp_compile");
  if (type_of(*arg) == type) return 0;
  if (std::isupper(static_cast<unsigned char>(letter))) return engine_error(e, ERR_PARAM_MISMATCH, position);
  return coerce_to_temp(e, p, *arg, type, kCoerceStringLimit, arg);
}

int parse_arguments(exp_engine *e, exp_pcode *p, Callee *callee, std::vector<exp_symval *> *args) {
  if (tok(e) == TK_RPAREN) return 0;
  for (int position = 1;; ++position) {
    exp_symval *arg = nullptr;
    if (int rc = parse_expression(e, p, &arg)) return rc;
    if (arg == S(e)->warn.literal && position <= 32) callee->literal_args |= 1u << (position - 1);
    if (callee->fn)
      if (int rc = check_argument(e, p, *callee, position, &arg)) return rc;
    args->push_back(arg);
    if (tok(e) == TK_COMMA) {
      if (int rc = advance(e)) return rc;
      if (tok(e) == TK_RPAREN) return engine_error(e, ERR_PARAM_MISMATCH, position + 1);
    } else if (tok(e) == TK_RPAREN) {
      return 0;
    } else {
      return engine_error(e, ERR_MISSING_COMMA);
    }
    if (callee->fn && callee->signature[0] && callee->signature[1]) ++callee->signature;
  }
}

// Error 38 naming the function (or class.method) and the argument counts it takes, at the call
// (the position its mark holds) or, for an argument beyond the signature, where that argument
// ended; `given` counts the object of a method call, which the message leaves out.
int count_error(exp_engine *e, const Callee &callee, size_t given, bool method) {
  const exp_function *fn = callee.fn;
  size_t self = method ? 1 : 0;
  auto low = static_cast<size_t>(fn->min_args < 0 ? 0 : fn->min_args);
  low = low > self ? low - self : 0;
  std::string takes = std::to_string(low);
  if (fn->max_args == EXP_UNLIMITED) takes += " or more";
  else if (fn->max_args - self != low) takes += " to " + std::to_string(fn->max_args - self);
  const std::string shown = method ? callee.method : std::string(fn->name);
  std::string text = "Parameter count mismatch: " + shown + " takes " + takes + " argument" +
                     (takes == "1" ? "" : "s") + ", " + std::to_string(given - self) + " given";
  S(e)->stop = callee.extra_at.line ? callee.extra_at : S(e)->mark;
  return engine_error_text(e, ERR_PARAM_COUNT, text.c_str(), text.size());
}

bool count_allowed(const exp_function *fn, size_t count) {
  if (count < static_cast<size_t>(fn->min_args < 0 ? 0 : fn->min_args)) return false;
  return fn->max_args == EXP_UNLIMITED || count <= fn->max_args;
}

}  // namespace

// ---- shared with the statement compiler ----------------------------------------------------------

namespace {

// Emits an instruction followed by the operand slots of `operands` (for a call: its result and
// argument cells), all at the current source position. The program-size limit is checked and
// room made once for the whole group: operators are compiled in great numbers, and each is such
// a group.
int emit_group(exp_engine *e, exp_pcode *p, int kind, int a, void *b, std::initializer_list<exp_symval *> operands,
               int *index) {
  const int n = 1 + static_cast<int>(operands.size());
  if (int rc = limit_check(e, EXP_LIMIT_PROGRAM, int64_t{p->count} + n)) return rc;
  if (p->count > p->capacity - n) {
    if (p->capacity > INT32_MAX / 2) return engine_error(e, ERR_MEMORY);
    if (pcode_set_capacity(p, std::max({p->capacity * 2, p->count + n, 16})) != 0) return engine_error(e, ERR_MEMORY);
  }
  exp_srcpos pos = S(e)->mark;
  if (pos.line == 0) pos = S(e)->stop;
  // Instructions added without a position (none today) would leave a gap: it is filled with {0, 0}.
  if (p->positions.size() != static_cast<size_t>(p->count))
    p->positions.resize(static_cast<size_t>(p->count), exp_srcpos{0, 0});
  if (index) *index = p->count;
  exp_instr *out = p->code + p->count;
  *out++ = exp_instr{kind, a, {b}};
  for (exp_symval *cell : operands) {
    out->kind = EXP_OPERAND;
    out->a = 0;
    out->b.cell = cell;
    ++out;
  }
  p->count += n;
  for (int i = 0; i < n; ++i) p->positions.push_back(pos);
  return 0;
}

}  // namespace

int emit(exp_engine *e, exp_pcode *p, int kind, int a, void *b, int *index) {
  return emit_group(e, p, kind, a, b, {}, index);
}

exp_symval *new_temp(exp_pcode *p, int type, int limit, exp_class *cls) {
  if (type == EXP_STRING && limit < 1) return nullptr;
  return sym_add_local(p, "", type, limit, cls, 0);
}

int emit_op(exp_engine *e, exp_pcode *p, exp_op op, exp_symval *result, exp_symval *a, exp_symval *b) {
  void *handler = reinterpret_cast<void *>(exp_opcode_table[op].handler);
  if (b) return emit_group(e, p, EXP_CALL, 2, handler, {result, a, b}, nullptr);
  return emit_group(e, p, EXP_CALL, 1, handler, {result, a}, nullptr);
}

int coerce_to_temp(exp_engine *e, exp_pcode *p, exp_symval *src, int type, int limit, exp_symval **out) {
  if (type == EXP_STRING && limit < 1) return ENGINE_INTERNAL_ERROR(e, "exp_compile");
  exp_symval *t = new_temp(p, type, limit, nullptr);
  if (!t) return engine_error(e, ERR_MEMORY);
  *out = t;
  return emit_op(e, p, OP_COPY_COERCE, t, src, nullptr);
}

int parse_expression(exp_engine *e, exp_pcode *p, exp_symval **out) {
  exp_symval *cell = nullptr;
  const char *begin = S(e)->cur_src.data();
  if (int rc = parse_level(e, p, Level::Or, &cell)) return rc;
  note_expression(S(e), begin);
  if (out) *out = cell;
  return 0;
}

int parse_call(exp_engine *e, exp_pcode *p, exp_symval **out) {
  SourceMark mark(e, S(e));
  std::vector<exp_symval *> args;
  std::string name = token_text(S(e));
  Callee callee;
  bool method = S(e)->look_code == TK_DOT;
  if (method)
    if (int rc = resolve_method(e, p, &name, &callee.method, &args)) return rc;
  if (int rc = resolve_callee(e, p, name, method, &callee)) return rc;
  if (int rc = advance(e)) return rc;
  if (tok(e) != TK_LPAREN) return engine_error(e, ERR_PARENTHESIS);
  if (int rc = advance(e)) return rc;
  exp_symval *result = nullptr;
  if (int rc = make_call_result(e, p, callee, &result)) return rc;
  if (int rc = parse_arguments(e, p, &callee, &args)) return rc;
  if (callee.fn && (callee.extra_at.line || !count_allowed(callee.fn, args.size())))
    return count_error(e, callee, args.size(), method);
  note_call(S(e), callee.fn, method);
  if (callee.fn && !method) check_match_pattern(S(e), callee.fn, args, callee.literal_args, S(e)->mark);
  if (int rc = advance(e)) return rc;
  int argc = static_cast<int>(args.size());
  void *target = callee.udf ? static_cast<void *>(callee.udf) : reinterpret_cast<void *>(callee.fn->fn);
  if (int rc = emit(e, p, callee.udf ? EXP_UDF_CALL : EXP_CALL, argc, target)) return rc;
  if (int rc = emit(e, p, EXP_OPERAND, 0, result)) return rc;
  for (exp_symval *arg : args)
    if (int rc = emit(e, p, EXP_OPERAND, 0, arg)) return rc;
  if (out) *out = result;
  return 0;
}
