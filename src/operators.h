// The operator handlers: every operator of the language, plus "copy/coerce" and "null check",
// as callbacks with the function contract. The compiler picks the handler from the operand types,
// so handlers never convert; they check nulls, compute and store.
#pragma once

#include "expression.h"
#include "support/decimal.h"

struct exp_opcode {
  exp_func_cb handler;
  const char *name;
};

// Position of each handler in exp_opcode_table.
enum exp_op : int {
  OP_COPY_COERCE, OP_ADD_INT, OP_ADD_REAL, OP_AND, OP_OR, OP_GT, OP_LT, OP_GE, OP_LE, OP_EQ, OP_NE,
  OP_GT_STR, OP_LT_STR, OP_GE_STR, OP_LE_STR, OP_EQ_STR, OP_NE_STR, OP_SUB_INT, OP_SUB_REAL,
  OP_MUL_INT, OP_DIV_INT, OP_MUL_REAL, OP_DIV_REAL, OP_NOT, OP_CONCAT, OP_MOD, OP_NULL_CHECK,
  OP_COUNT
};

// The 27 handlers in order, ended by an entry whose handler and name are both absent.
extern const exp_opcode exp_opcode_table[OP_COUNT + 1];

// The decimal arithmetic of the real operators, on cells: r = x op y, null when an operand is
// null or the result is not a number, else reduced. The handlers of "add real", "subtract real"
// and "multiply real" are this with their operation; the run loop calls it directly.
using DecimalOp = decSextBinaryOp;
void decimal_arith(DecimalOp op, exp_symval *r, exp_symval *x, exp_symval *y);

// The table name of a handler, or none when the callback is not an operator.
const char *opcode_name(exp_func_cb handler);
