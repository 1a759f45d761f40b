#include "common/test_util.h"

#include <gtest/gtest.h>

#include "convert.h"
#include "engine.h"
#include "symbols.h"

namespace testutil {

Cell::Cell(int type, int limit, uint32_t flags, exp_class *cls) {
  if (symval_init(&cell_, type, limit, flags, cls) != 0) ADD_FAILURE() << "symval_init failed";
  exp_symval_setnull(&cell_);
}

Cell::~Cell() { symval_clear(&cell_); }

void EngineDeleter::operator()(exp_engine *e) const { EXPECT_EQ(exp_clean(e), 0); }

EnginePtr make_engine() {
  exp_engine *e = exp_init();
  EXPECT_NE(e, nullptr);
  return EnginePtr(e);
}

decimal192 dec(const char *text) {
  decContext ctx;
  decContextDefault(&ctx, DEC_INIT_DECIMAL192);
  decimal192 d;
  decSextFromString(&d, text, &ctx);
  EXPECT_EQ(decContextGetStatus(&ctx), 0u) << "decimal text " << text;
  return d;
}

std::string dec_text(const decimal192 &d) {
  char buf[DEC192_STRING];
  return decSextToString(&d, buf);
}

void set_real(exp_symval *c, const char *text) {
  decimal192 d = dec(text);
  exp_symval_setfdnum(c, reinterpret_cast<const exp_decimal192 *>(&d));
}

std::string render(const exp_symval *c) {
  if (EXP_IS_NULL(c)) return "null";
  switch (EXP_TYPE(c)) {
    case EXP_BOOLEAN: return "b:" + std::to_string(c->value.i);
    case EXP_INTEGER: return "i:" + std::to_string(c->value.i);
    case EXP_REAL: return "r:" + dec_text(*symval_dec(c));
    case EXP_DATE: return "d:" + dec_text(*symval_dec(c));
    case EXP_STRING: return "s:" + std::string(c->value.s ? c->value.s : "");
    case EXP_POINTER: return c->value.p ? "p:set" : "p:none";
    case EXP_OBJECT: return c->value.o ? "o:set" : "o:none";
    default: return "unknown";
  }
}

std::string as_string(const exp_symval *c, exp_engine *e) {
  Cell s(EXP_STRING, 255);
  symval_convert(c, s, e);
  return EXP_IS_NULL(s.get()) ? "null" : s->value.s;
}

std::string last_message(exp_engine *e) {
  const char *m = nullptr;
  exp_error_info(e, &m, nullptr, nullptr);
  return m ? m : "";
}

Program::Program(exp_engine *e, int result_type, int result_len) : e_(e), p_(pcode_new()) {
  EXPECT_EQ(pcode_init_cells(p_, e, result_type, result_len, 0), 0);
  ++e->live_programs;
}

Program::~Program() {
  --e_->live_programs;
  pcode_free(e_, p_);
}

exp_symval *Program::local(int type, int limit, uint32_t flags, exp_class *cls) {
  exp_symval *c = sym_add_local(p_, "", type, limit, cls, flags);
  EXPECT_NE(c, nullptr);
  return c;
}

exp_symval *Program::int_const(int64_t v) {
  exp_symval *c = local(EXP_INTEGER);
  exp_symval_setint(c, v);
  return c;
}

int Program::emit(int kind, int a, void *b) {
  int index = -1;
  EXPECT_EQ(pcode_emit(p_, kind, a, b, &index), 0);
  return index;
}

int Program::emit_call(int kind, void *target, exp_symval *result,
                       std::initializer_list<exp_symval *> args) {
  int at = emit(kind, static_cast<int>(args.size()), target);
  emit(EXP_OPERAND, 0, result);
  for (exp_symval *a : args) emit(EXP_OPERAND, 0, a);
  return at;
}

int Program::call(exp_func_cb fn, exp_symval *result, std::initializer_list<exp_symval *> args) {
  return emit_call(EXP_CALL, reinterpret_cast<void *>(fn), result, args);
}

int Program::udf_call(exp_pcode *callee, exp_symval *result, std::initializer_list<exp_symval *> args) {
  return emit_call(EXP_UDF_CALL, callee, result, args);
}

void Program::finish() { EXPECT_EQ(pcode_finish(p_), 0); }

int Program::run(exp_symval **result) { return exp_execute(e_, p_, result); }

}  // namespace testutil
