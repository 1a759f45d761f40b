// The 27 operator handlers: integer and decimal arithmetic, comparisons, three-valued logic,
// concatenation, copy/coerce and the null check.
#include "operators.h"

#include <cstring>

#include "builtins/cancel.h"
#include "convert.h"
#include "engine.h"
#include "operator_rules.h"
#include "errors.h"
#include "resource_limits.h"
#include "support/decimal.h"
#include "support/decimal_reduced.h"
#include "support/uchar.h"
#include "values.h"

namespace {

using Cell = exp_symval;

bool either_null(Cell **argv) { return either_null(argv[0], argv[1]); }

int set_null(Cell *result) {
  symval_set_null_flag(result);
  return 0;
}

// Clears the null flag too: a result cell that is also an operand was not prepared by the call.
int set_bool(Cell *result, bool v) {
  result->value.i = v ? 1 : 0;
  symval_clear_null_flag(result);
  return 0;
}

// ---- integer arithmetic: overflow gives null ---------------------------------------------------

template <bool (*Op)(int64_t, int64_t, int64_t *)>
int int_arith(exp_engine *, Cell *result, int, Cell **argv) {
  if (either_null(argv)) return set_null(result);
  int64_t r;
  if (Op(argv[0]->value.i, argv[1]->value.i, &r)) return set_null(result);
  result->value.i = r;
  return 0;
}

int op_div_int(exp_engine *e, Cell *result, int, Cell **argv) {
  if (either_null(argv)) return set_null(result);
  int64_t a = argv[0]->value.i, b = argv[1]->value.i;
  if (b == 0) return engine_error(e, ERR_DIVIDE_BY_ZERO);
  if (a == INT64_MIN && b == -1) return set_null(result);
  result->value.i = a / b;
  return 0;
}

int op_mod(exp_engine *e, Cell *result, int, Cell **argv) {
  if (either_null(argv)) return set_null(result);
  int64_t a = argv[0]->value.i, b = argv[1]->value.i;
  if (b == 0) return engine_error(e, ERR_DIVIDE_BY_ZERO);
  result->value.i = (b == -1) ? 0 : a % b;
  return 0;
}

// ---- decimal arithmetic: results reduced, NaN gives null ---------------------------------------

template <DecimalOp Op>
int real_arith(exp_engine *, Cell *result, int, Cell **argv) {
  decimal_arith(Op, result, argv[0], argv[1]);
  return 0;
}

int op_div_real(exp_engine *e, Cell *result, int argc, Cell **argv) {
  if (either_null(argv)) return set_null(result);
  if (decSextIsZero(symval_dec(argv[1]))) return engine_error(e, ERR_DIVIDE_BY_ZERO);
  return real_arith<decSextDivide>(e, result, argc, argv);
}

// ---- comparisons ----------------------------------------------------------------------------------

// Sign of left - right as decimals; 2 when they are unordered (a NaN), which gives null.
int decimal_sign(const Cell *a, const Cell *b) {
  decContext ctx = context192();
  decimal192 cmp;
  decSextCompare(&cmp, symval_dec(a), symval_dec(b), &ctx);
  if (decSextIsNaN(&cmp)) return 2;  // unordered: only "not-equal" holds
  return decSextIsZero(&cmp) ? 0 : (decSextIsSigned(&cmp) ? -1 : 1);
}

// Integers compare by payload, anything else as decimals.
template <Relation R>
int op_compare(exp_engine *, Cell *result, int, Cell **argv) {
  if (either_null(argv)) return set_null(result);
  if (symval_type(argv[0]) == EXP_INTEGER)
    return set_bool(result, relation_holds(R, argv[0]->value.i, argv[1]->value.i));
  int sign = decimal_sign(argv[0], argv[1]);
  if (sign == 2) return set_null(result);
  return set_bool(result, relation_holds(R, sign));
}

int byte_sign(const Cell *a, const Cell *b) {
  int c = std::strcmp(a->value.s ? a->value.s : "", b->value.s ? b->value.s : "");
  return (c > 0) - (c < 0);
}

// Comparing, concatenating and copying texts is work linear in them: where a cell may hold a
// long text (see may_hold_long_text) the text is measured and charged to the run; other calls
// pay a comparison at their start.
bool any_long_operand(Cell **argv) { return may_hold_long_text(argv[0]) || may_hold_long_text(argv[1]); }

// The operator `Op` after its operands' texts are charged (see charge_cell_text).
template <exp_func_cb Op>
[[gnu::noinline, gnu::cold]] int charge_then_apply(exp_engine *e, Cell *result, int argc, Cell **argv) {
  for (int i = 0; i < argc; ++i)
    if (int rc = charge_cell_text(e, argv[argc], argv[i])) return rc;
  return Op(e, result, argc, argv);
}

template <Relation R>
int compare_str(exp_engine *, Cell *result, int, Cell **argv) {
  if (either_null(argv)) return set_null(result);
  return set_bool(result, relation_holds(R, byte_sign(argv[0], argv[1])));
}

template <Relation R>
int op_compare_str(exp_engine *e, Cell *result, int argc, Cell **argv) {
  if (__builtin_expect(any_long_operand(argv), 0)) return charge_then_apply<compare_str<R>>(e, result, argc, argv);
  return compare_str<R>(e, result, argc, argv);
}

// ---- logic: three-valued ----------------------------------------------------------------------------

// -1 for null, else the truth of the cell.
int tri(const Cell *c) { return symval_is_null(c) ? -1 : symval_truth(c); }

int op_and(exp_engine *, Cell *result, int, Cell **argv) {
  int a = tri(argv[0]), b = tri(argv[1]);
  if (a == 0 || b == 0) return set_bool(result, false);
  if (a < 0 || b < 0) return set_null(result);
  return set_bool(result, true);
}

int op_or(exp_engine *, Cell *result, int, Cell **argv) {
  int a = tri(argv[0]), b = tri(argv[1]);
  if (a == 1 || b == 1) return set_bool(result, true);
  if (a < 0 || b < 0) return set_null(result);
  return set_bool(result, false);
}

int op_not(exp_engine *, Cell *result, int, Cell **argv) {
  int a = tri(argv[0]);
  return a < 0 ? set_null(result) : set_bool(result, a == 0);
}

// ---- strings, copies, null check ---------------------------------------------------------------------

uint32_t limit_of(const Cell *c) { return symval_is_null(c) ? 0 : c->len; }
int64_t chars_of(const Cell *c) { return symval_is_null(c) || !c->value.s ? 0 : np_uchar_length(c->value.s); }

// The limit of a concatenation under the engine's STRING limit, when its operands' limits add up
// past it: the texts themselves are measured, and only a text past the limit stops the run
// (error 109); otherwise the STRING limit holds every character of it.
[[gnu::noinline]] int string_limited_concat(exp_engine *e, const Cell *left, const Cell *right, uint64_t *limit) {
  const int64_t string_limit = e->limits[EXP_LIMIT_STRING];
  if (chars_of(left) + chars_of(right) > string_limit) return limit_error(e, EXP_LIMIT_STRING);
  *limit = static_cast<uint64_t>(string_limit);
  return 0;
}

int concat(exp_engine *e, Cell *result, int, Cell **argv) {
  Cell *left = argv[0], *right = argv[1];
  if (symval_is_null(left) && symval_is_null(right)) return set_null(result);
  uint64_t limit = uint64_t{limit_of(left)} + limit_of(right);
  if (e && e->limits[EXP_LIMIT_STRING] != 0 && limit > static_cast<uint64_t>(e->limits[EXP_LIMIT_STRING]))
    if (int rc = string_limited_concat(e, left, right, &limit)) return rc;
  if (int rc = limit_resize_string(e, result, static_cast<int64_t>(limit), RESIZE_KEEP)) return rc;
  if (result != left) {
    if (symval_is_null(left)) result->value.s[0] = '\0';
    else exp_symval_setstr(result, left->value.s);
  }
  if (!symval_is_null(right)) exp_symval_str_concat(result, right->value.s);
  symval_clear_null_flag(result);
  return 0;
}

int op_concat(exp_engine *e, Cell *result, int argc, Cell **argv) {
  if (__builtin_expect(any_long_operand(argv), 0)) return charge_then_apply<concat>(e, result, argc, argv);
  return concat(e, result, argc, argv);
}

int copy_coerce(exp_engine *e, Cell *result, int, Cell **argv) {
  symval_convert(argv[0], result, e);
  return 0;
}

int op_copy_coerce(exp_engine *e, Cell *result, int argc, Cell **argv) {
  if (__builtin_expect(may_hold_long_text(argv[0]), 0)) return charge_then_apply<copy_coerce>(e, result, argc, argv);
  return copy_coerce(e, result, argc, argv);
}

int op_null_check(exp_engine *e, Cell *, int, Cell **argv) {
  return symval_is_null(argv[0]) ? engine_error(e, ERR_NULL_USE) : 0;
}

constexpr const char *kNotEqual = "not-equal";  // shared by the numeric and string handlers

}  // namespace

void decimal_arith(DecimalOp op, exp_symval *r, exp_symval *x, exp_symval *y) {
  if (either_null(x, y)) {
    set_null(r);
    return;
  }
  if (!decSextOperateReduced(op, symval_dec(r), symval_dec(x), symval_dec(y))) {
    set_null(r);
    return;
  }
  if (symval_is_null(r)) symval_clear_null_flag(r);
}

const exp_opcode exp_opcode_table[OP_COUNT + 1] = {
    {op_copy_coerce, "copy/coerce"},
    {int_arith<add_overflows>, "add integer"},
    {real_arith<decSextAdd>, "add real"},
    {op_and, "and"},
    {op_or, "or"},
    {op_compare<Relation::Gt>, "greater-than"},
    {op_compare<Relation::Lt>, "less-than"},
    {op_compare<Relation::Ge>, "greater-than-equal"},
    {op_compare<Relation::Le>, "less-than-equal"},
    {op_compare<Relation::Eq>, "equal"},
    {op_compare<Relation::Ne>, kNotEqual},
    {op_compare_str<Relation::Gt>, "greater-than str"},
    {op_compare_str<Relation::Lt>, "less-than str"},
    {op_compare_str<Relation::Ge>, "greater-than-equal str"},
    {op_compare_str<Relation::Le>, "less-than-equal str"},
    {op_compare_str<Relation::Eq>, "equal str"},
    {op_compare_str<Relation::Ne>, kNotEqual},
    {int_arith<sub_overflows>, "subtract int"},
    {real_arith<decSextSubtract>, "subtract real"},
    {int_arith<mul_overflows>, "multiply int"},
    {op_div_int, "divide int"},
    {real_arith<decSextMultiply>, "multiply real"},
    {op_div_real, "divide real"},
    {op_not, "not"},
    {op_concat, "concatenate"},
    {op_mod, "modulo"},
    {op_null_check, "null check"},
    {nullptr, nullptr},
};

const char *opcode_name(exp_func_cb handler) {
  for (const exp_opcode *op = exp_opcode_table; op->handler; ++op)
    if (op->handler == handler) return op->name;
  return nullptr;
}
