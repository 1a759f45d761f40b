// Value conversions, string setters and the run loop.
//
// (1) symval_convert between integers, reals, strings and dates, and exp_symval_setstr /
//     exp_symval_str_concat on 10- and 255-character texts (ASCII and 2-byte characters). Every
//     heap allocation made inside the timed loop is counted (malloc/calloc/realloc are wrapped)
//     and reported per operation as "allocs"; these paths must not allocate.
// (2) Hand-built programs run with exp_execute: a 1000-turn integer loop (compare, jump-if-zero,
//     add, jump) and a decimal multiply-add loop over money-like values. "instr" is the number of
//     instructions one run executes; "ns/instr" the time per executed instruction.
//
// (3) Compiled per-record programs, the shapes a data job runs once per record: each run through
//     exp_execute, prepared (as always) and with the prepared form dropped (canonical: one
//     instruction at a time), so the gain of the prepared steps shows per shape. Loops report the
//     time per turn as "ns/turn".
//
//   engine_bench --benchmark_repetitions=5 --benchmark_report_aggregates_only=true
#include <benchmark/benchmark.h>

#include <cstddef>
#include <cstdlib>
#include <iterator>
#include <string>

#include "common/alloc_count.h"
#include "convert.h"
#include "engine.h"
#include "expression.h"
#include "operators.h"
#include "prepared.h"
#include "program.h"
#include "support/decimal.h"
#include "symbols.h"
#include "values.h"

namespace {

// A cell owned by the benchmark, set null after initialisation.
class Cell {
 public:
  explicit Cell(int type, int limit = 0) {
    symval_init(&c_, type, limit, 0, nullptr);
    exp_symval_setnull(&c_);
  }
  ~Cell() { symval_clear(&c_); }
  Cell(const Cell &) = delete;
  Cell &operator=(const Cell &) = delete;
  exp_symval *get() { return &c_; }

 private:
  exp_symval c_;
};

void set_real(exp_symval *c, const char *text) {
  if (exp_symval_setreal_text(c, text) != 0) std::abort();
}

// Times symval_convert from `src` into `dst`; both prepared by the caller.
void run_convert(benchmark::State &state, exp_symval *src, exp_symval *dst, exp_engine *e) {
  const AllocationMeter meter;
  for (auto _ : state) {
    symval_convert(src, dst, e);
    benchmark::DoNotOptimize(dst->value);
  }
  meter.report(state);
  if (EXP_IS_NULL(dst)) state.SkipWithError("conversion gave null");
}

// ---- (1) conversions ------------------------------------------------------------------------------

void BM_IntegerToString(benchmark::State &state) {
  Cell src(EXP_INTEGER), dst(EXP_STRING, 31);
  exp_symval_setint(src.get(), -1234567890123);
  run_convert(state, src.get(), dst.get(), nullptr);
}
BENCHMARK(BM_IntegerToString);

void BM_StringToInteger(benchmark::State &state) {
  Cell src(EXP_STRING, 31), dst(EXP_INTEGER);
  exp_symval_setstr(src.get(), " -1234567890123");
  run_convert(state, src.get(), dst.get(), nullptr);
}
BENCHMARK(BM_StringToInteger);

void BM_RealToString(benchmark::State &state) {
  Cell src(EXP_REAL), dst(EXP_STRING, 31);
  set_real(src.get(), "1234567.89");
  run_convert(state, src.get(), dst.get(), nullptr);
}
BENCHMARK(BM_RealToString);

void BM_StringToReal(benchmark::State &state) {
  Cell src(EXP_STRING, 31), dst(EXP_REAL);
  exp_symval_setstr(src.get(), "1234567.89");
  run_convert(state, src.get(), dst.get(), nullptr);
}
BENCHMARK(BM_StringToReal);

void BM_StringToDate(benchmark::State &state) {
  exp_engine *e = exp_init();
  {
    Cell src(EXP_STRING, 31), dst(EXP_DATE);
    exp_symval_setstr(src.get(), "2026-12-06 15:13:44");
    run_convert(state, src.get(), dst.get(), e);
  }
  exp_clean(e);
}
BENCHMARK(BM_StringToDate);

void BM_DateToString(benchmark::State &state) {
  exp_engine *e = exp_init();
  exp_set_option(e, "DATE_ISO8601", "1");
  {
    Cell src(EXP_DATE), dst(EXP_STRING, 31);
    exp_symval_setdbl(src.get(), 46362.634537037);
    run_convert(state, src.get(), dst.get(), e);
  }
  exp_clean(e);
}
BENCHMARK(BM_DateToString);

// A text of `chars` characters: ASCII, or 2-byte characters when `wide`.
std::string sample_text(int64_t chars, bool wide) {
  std::string s;
  for (int64_t i = 0; i < chars; ++i) s += wide ? "\xC3\xA9" : "x";
  return s;
}

void BM_Setstr(benchmark::State &state) {
  const std::string text = sample_text(state.range(0), state.range(1) != 0);
  Cell dst(EXP_STRING, 255);
  const AllocationMeter meter;
  for (auto _ : state) {
    exp_symval_setstr(dst.get(), text.c_str());
    benchmark::DoNotOptimize(dst.get()->value.s);
  }
  meter.report(state);
}
BENCHMARK(BM_Setstr)->ArgNames({"chars", "wide"})->Args({10, 0})->Args({255, 0})->Args({10, 1})->Args({255, 1});

void BM_StrConcat(benchmark::State &state) {
  const std::string text = sample_text(state.range(0), state.range(1) != 0);
  Cell dst(EXP_STRING, 255);
  const AllocationMeter meter;
  for (auto _ : state) {
    dst.get()->value.s[0] = '\0';  // append to an empty text each time
    benchmark::DoNotOptimize(exp_symval_str_concat(dst.get(), text.c_str()));
  }
  meter.report(state);
}
BENCHMARK(BM_StrConcat)->ArgNames({"chars", "wide"})->Args({10, 0})->Args({255, 0})->Args({10, 1})->Args({255, 1});

// ---- (2) the run loop -----------------------------------------------------------------------------

// A program assembled instruction by instruction, with its result and self cells set up the way
// the compiler sets them. Counted as a live program of its engine while it exists.
class HandProgram {
 public:
  explicit HandProgram(exp_engine *e) : e_(e), p_(pcode_new()) {
    symval_init(&p_->result, EXP_INTEGER, 0, 0, nullptr);
    exp_symval_setnull(&p_->result);
    symval_init(&p_->self, EXP_POINTER, 0, 0, nullptr);
    exp_symval_setptr(&p_->self, p_);
    p_->result_type = EXP_INTEGER;
    p_->engine = e;
    ++e_->live_programs;
  }
  ~HandProgram() {
    --e_->live_programs;
    pcode_free(e_, p_);
  }
  HandProgram(const HandProgram &) = delete;
  HandProgram &operator=(const HandProgram &) = delete;

  exp_symval *cell(int type) { return sym_add_local(p_, "", type, 0, nullptr, 0); }
  exp_symval *integer(int64_t v) {
    exp_symval *c = cell(EXP_INTEGER);
    exp_symval_setint(c, v);
    return c;
  }
  exp_symval *real(const char *text) {
    exp_symval *c = cell(EXP_REAL);
    set_real(c, text);
    return c;
  }
  int here() const { return p_->count; }
  void emit(int kind, int a = 0, void *b = nullptr) {
    if (pcode_emit(p_, kind, a, b, nullptr) != 0) std::abort();
  }
  void op(int op, exp_symval *result, exp_symval *a, exp_symval *b = nullptr) {
    emit(EXP_CALL, b ? 2 : 1, reinterpret_cast<void *>(exp_opcode_table[op].handler));
    emit(EXP_OPERAND, 0, result);
    emit(EXP_OPERAND, 0, a);
    if (b) emit(EXP_OPERAND, 0, b);
  }
  void patch_jump(int at, int kind, int target, exp_symval *cond) { pcode_patch(at, p_, kind, target, cond); }
  void finish() {
    if (pcode_finish(p_) != 0) std::abort();
  }
  exp_pcode *get() { return p_; }

 private:
  exp_engine *e_;
  exp_pcode *p_;
};

constexpr int64_t kTurns = 1000;

// Runs the program once per iteration and reports the time per executed instruction.
void run_program(benchmark::State &state, exp_engine *e, exp_pcode *p, int64_t instructions) {
  const AllocationMeter meter;
  for (auto _ : state) {
    exp_symval *result = nullptr;
    if (exp_execute(e, p, &result) != 0) state.SkipWithError("run failed");
    benchmark::DoNotOptimize(result);
  }
  meter.report(state);
  state.counters["instr"] = static_cast<double>(instructions);
  state.counters["ns/instr"] = benchmark::Counter(static_cast<double>(instructions) * 1e-9,
                                                  benchmark::Counter::kIsIterationInvariantRate |
                                                      benchmark::Counter::kInvert);
}

// i = 0; while i < n: i = i + 1.  Four instructions per turn: less-than, jump-if-zero, add, jump.
void BM_IntegerLoop(benchmark::State &state) {
  exp_engine *e = exp_init();
  {
    HandProgram prog(e);
    exp_symval *i = prog.cell(EXP_INTEGER), *cond = prog.cell(EXP_BOOLEAN);
    exp_symval *zero = prog.integer(0), *one = prog.integer(1), *n = prog.integer(kTurns);
    prog.op(OP_COPY_COERCE, i, zero);
    const int top = prog.here();
    prog.op(OP_LT, cond, i, n);
    const int exit_jump = prog.here();
    prog.emit(EXP_JUMP_IF_ZERO);
    prog.op(OP_ADD_INT, i, i, one);
    prog.emit(EXP_JUMP, top);
    prog.patch_jump(exit_jump, EXP_JUMP_IF_ZERO, prog.here(), cond);
    prog.op(OP_COPY_COERCE, &prog.get()->result, i);
    prog.finish();
    run_program(state, e, prog.get(), 1 + 4 * kTurns + 2 + 1);
    if (prog.get()->result.value.i != kTurns) state.SkipWithError("wrong result");
  }
  exp_clean(e);
}
BENCHMARK(BM_IntegerLoop);

// total = 0; i = 0; while i < n: total = total + price * qty; i = i + 1.
// Six instructions per turn: less-than, jump-if-zero, multiply real, add real, add integer, jump.
void BM_DecimalMultiplyAddLoop(benchmark::State &state) {
  exp_engine *e = exp_init();
  {
    HandProgram prog(e);
    exp_symval *i = prog.cell(EXP_INTEGER), *cond = prog.cell(EXP_BOOLEAN);
    exp_symval *total = prog.cell(EXP_REAL), *line = prog.cell(EXP_REAL);
    exp_symval *zero = prog.integer(0), *one = prog.integer(1), *n = prog.integer(kTurns);
    exp_symval *price = prog.real("12.34"), *qty = prog.real("3"), *rzero = prog.real("0");
    prog.op(OP_COPY_COERCE, i, zero);
    prog.op(OP_COPY_COERCE, total, rzero);
    const int top = prog.here();
    prog.op(OP_LT, cond, i, n);
    const int exit_jump = prog.here();
    prog.emit(EXP_JUMP_IF_ZERO);
    prog.op(OP_MUL_REAL, line, price, qty);
    prog.op(OP_ADD_REAL, total, total, line);
    prog.op(OP_ADD_INT, i, i, one);
    prog.emit(EXP_JUMP, top);
    prog.patch_jump(exit_jump, EXP_JUMP_IF_ZERO, prog.here(), cond);
    prog.finish();
    run_program(state, e, prog.get(), 2 + 6 * kTurns + 2);
    char text[64];
    if (exp_symval_to_text(e, total, text, sizeof text) < 0 || std::string(text) != "37020")
      state.SkipWithError("wrong total");
  }
  exp_clean(e);
}
BENCHMARK(BM_DecimalMultiplyAddLoop);

// ---- (3) compiled programs ---------------------------------------------------------------------

struct Shape {
  const char *name;
  const char *text;
  int turns;  // loop turns per run (0: straight-line)
};
// Host symbols: qty (integer 7), price and discount (reals 12.34 and 0.15), name (string).
constexpr Shape kShapes[] = {
    {"int_assign", "integer total\ntotal = qty * 2 + 1", 0},
    {"decimal_assign", "real amount\namount = price * qty * (1 - discount)", 0},
    {"for_sum", "integer s\ninteger i\ns = 0\nfor i = 1 to 100 s = s + i", 100},
    {"for_two_statements", "integer s\ninteger t\ninteger i\ns = 0\nt = 0\nfor i = 1 to 100 begin t = t + 2; s = s + i end",
     100},
    {"while_count", "integer k\nk = 0\nwhile k < 100 k = k + 1", 100},
    {"for_if", "integer s\ninteger i\ns = 0\nfor i = 1 to 100 if i > 50 then s = s + i else s = s - 1", 100},
    {"for_decimal", "real r\ninteger i\nr = 0\nfor i = 1 to 100 r = r + price", 100},
    {"strings", "string up\nup = upper(trim(name)) & \"!\"", 0},
};

// Arguments: the shape's index in kShapes, and 1 to run canonical instructions only.
void BM_Program(benchmark::State &state) {
  const Shape &shape = kShapes[state.range(0)];
  const bool canonical = state.range(1) != 0;
  state.SetLabel(std::string(shape.name) + (canonical ? " canonical" : " prepared"));
  exp_engine *e = exp_init();
  exp_symval *cell = nullptr;
  exp_add_symbol(e, "qty", EXP_INTEGER, 0, 0, &cell);
  exp_symval_setint(cell, 7);
  exp_add_symbol(e, "price", EXP_REAL, 0, 0, &cell);
  set_real(cell, "12.34");
  exp_add_symbol(e, "discount", EXP_REAL, 0, 0, &cell);
  set_real(cell, "0.15");
  exp_add_symbol(e, "name", EXP_STRING, 40, 0, &cell);
  exp_symval_setstr(cell, "  Hannah  Montana ");
  exp_pcode *p = nullptr;
  if (exp_make_pcode(e, shape.text, &p, EXP_BOOLEAN, 0, 0, nullptr) != 0) {
    state.SkipWithError("compile failed");
  } else {
    if (canonical) p->prepared.reset();
    const AllocationMeter meter;
    for (auto _ : state)
      if (exp_execute(e, p, nullptr) != 0) state.SkipWithError("run failed");
    meter.report(state);
    if (shape.turns)
      state.counters["ns/turn"] = benchmark::Counter(shape.turns * 1e-9, benchmark::Counter::kIsIterationInvariantRate |
                                                                             benchmark::Counter::kInvert);
    exp_free_pcode(e, p);
  }
  exp_clean(e);
}
BENCHMARK(BM_Program)->ArgsProduct({benchmark::CreateDenseRange(0, std::size(kShapes) - 1, 1), {0, 1}});

}  // namespace

BENCHMARK_MAIN();
