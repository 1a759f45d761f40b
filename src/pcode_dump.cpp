// Printing a compiled program instruction by instruction through a host callback, for diagnosis.
#include <cinttypes>
#include <cstdio>

#include "builtins/table.h"
#include "engine.h"
#include "operators.h"
#include "program.h"
#include "registry.h"
#include "values.h"

namespace {

// Sends formatted pieces to the host's callback.
class DumpOut {
 public:
  DumpOut(exp_dump_cb cb, void *user) : cb_(cb), user_(user) {}

  template <typename... Args>
  void printf(const char *format, Args... args) {
    char text[512];
    std::snprintf(text, sizeof text, format, args...);
    cb_(text, user_);
  }
  void put(const char *text) { cb_(text, user_); }

 private:
  exp_dump_cb cb_;
  void *user_;
};

// The name of a call's target: an operator, a static built-in, or a record of the engine's own
// table, found by address. A user-defined function's program matches none of them.
const char *callee_name(exp_engine *e, const void *target) {
  if (const char *op = opcode_name(reinterpret_cast<exp_func_cb>(const_cast<void *>(target)))) return op;
  for (const exp_function &f : builtin_functions())
    if (reinterpret_cast<const void *>(f.fn) == target) return f.name;
  if (e)
    for (const exp_function &f : e->functions)
      if (reinterpret_cast<const void *>(f.fn) == target) return f.name;
  return "unknown";
}

// The opening of an operand cell's description: its address and type.
void describe_type(DumpOut &out, const exp_symval *c) {
  const void *addr = c;
  switch (symval_type(c)) {
    case EXP_BOOLEAN: return out.printf("%p (bool", addr);
    case EXP_INTEGER: return out.printf("%p (int", addr);
    case EXP_REAL: return out.printf("%p (real, ", addr);
    case EXP_STRING: return out.printf("%p (string, len %d", addr, static_cast<int>(c->len));
    case EXP_DATE: return out.printf("%p (date ", addr);
    case EXP_OBJECT: {
      const char *cls = c->cls ? c->cls->name : "";
      int refs = (!symval_is_null(c) && c->value.o) ? static_cast<int>(c->value.o->refcount) : 0;
      return out.printf("%p (object '%s' refcount %d)", addr, cls, refs);
    }
    default: return out.printf("%p (other)", addr);
  }
}

// A real cell's value in its normalised form (reduced, then plus zero), which the cell keeps.
void describe_real(DumpOut &out, exp_symval *c) {
  decContext ctx;
  decContextDefault(&ctx, DEC_INIT_DECIMAL192);
  decimal192 zero;
  decSextZero(&zero);
  decimal192 *d = symval_dec(c);
  decSextReduce(d, d, &ctx);
  decSextAdd(d, d, &zero, &ctx);
  char text[DEC192_STRING];
  decSextToString(d, text);
  out.put(" value ");
  out.put(text);
  out.put(")");
}

// The value part of an operand cell's description; pointers and objects show none.
void describe_value(DumpOut &out, exp_symval *c) {
  if (symval_is_null(c)) return out.put(" value is null)");
  switch (symval_type(c)) {
    case EXP_BOOLEAN: return out.printf(" value %s)", c->value.i ? "true" : "false");
    case EXP_INTEGER: return out.printf(" value %" PRId64 ")", c->value.i);
    case EXP_STRING: return out.printf(" value '%.450s')", c->value.s ? c->value.s : "");
    case EXP_DATE: {
      decContext ctx;
      decContextDefault(&ctx, DEC_INIT_DECIMAL192);
      return out.printf(" value %g)", decSextToDouble(symval_dec(c), &ctx, 2));
    }
    case EXP_REAL: return describe_real(out, c);
    default: return;
  }
}

void describe_cell(DumpOut &out, exp_symval *c) {
  if (!c) return out.put("(no cell)");
  describe_type(out, c);
  describe_value(out, c);
}

// Kind words of the instructions that have a fixed one.
const char *kind_word(int kind) {
  switch (kind) {
    case EXP_NOOP: return "No-op ";
    case EXP_JUMP: return "Jump ";
    case EXP_JUMP_IF_ZERO: return "Jump if 0 ";
    case EXP_CALL: return "Call ";
    case EXP_EXIT: return "Exit ";
    case EXP_UDF_CALL: return "UDF Call ";
    default: return "Unknown";
  }
}

// One line of the dump. `operand` counts the operand slots since the last call: -1 before the
// result slot, then the argument number.
void dump_instruction(DumpOut &out, exp_engine *e, exp_pcode *p, int i, int &operand) {
  exp_instr &ins = p->code[i];
  out.printf("%d: ", i);
  if (ins.kind == EXP_OPERAND) {
    if (operand == -1) out.put("Return val ");
    else out.printf("Parameter %d ", operand);
    ++operand;
    describe_cell(out, ins.b.cell);
  } else {
    out.put(kind_word(ins.kind));
    if (ins.kind == EXP_CALL || ins.kind == EXP_UDF_CALL) {
      out.printf("%s (%d params)", callee_name(e, ins.b.any), ins.a);
      operand = -1;
    } else if (ins.kind == EXP_JUMP || ins.kind == EXP_JUMP_IF_ZERO) {
      out.printf("to %d", ins.a);
      operand = 0;
    }
  }
  out.put("\n");
}

}  // namespace

extern "C" EXP_API void exp_dump_pcode(exp_engine *e, exp_pcode *p, exp_dump_cb cb, void *user) {
  // A freed program, and one of another engine, is not shown.
  if (!pcode_is_live(p) || !cb || (e && p->engine != e)) return;
  DumpOut out(cb, user);
  int operand = -1;
  for (int i = 0; i < p->count; ++i) dump_instruction(out, e, p, i, operand);
}

extern "C" EXP_API void exp_dump_global_status(exp_dump_cb cb, void *user) {
  if (!cb) return;
  DumpOut(cb, user).printf("Global ref count is %d\n", 0);
}
