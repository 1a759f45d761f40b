// Tests of expression and statement compilation: precedence, the conversions chosen at compile
// time (checked on the emitted instructions), calls of host functions and methods, control flow,
// declarations, and every compile error with the position it is reported at.
#include <gtest/gtest.h>

#include <map>
#include <random>
#include <span>
#include <string>
#include <vector>

#include "builtins/table.h"
#include "common/test_util.h"
#include "compiler.h"
#include "engine.h"
#include "errors.h"
#include "operators.h"
#include "program.h"

using testutil::EnginePtr;
using testutil::render;

namespace {

// ---- host functions used by the call tests -------------------------------------------------------

int fn_add2(exp_engine *, exp_symval *result, int, exp_symval **argv) {
  exp_symval_setint(result, argv[0]->value.i + argv[1]->value.i);
  return 0;
}

// Each function gets its own callback (Id), so that listings can name the callee.
template <int Id>
int fn_count(exp_engine *, exp_symval *result, int argc, exp_symval **) {
  exp_symval_setint(result, argc);
  return 0;
}

int fn_join(exp_engine *, exp_symval *result, int argc, exp_symval **argv) {
  exp_symval_setstr(result, "");
  for (int i = 0; i < argc; ++i) exp_symval_str_concat(result, argv[i]->value.s);
  return 0;
}

struct HostFunction {
  const char *name;
  exp_func_cb fn;
  int min_args;
  uint32_t max_args;
  const char *signature;
  char ret_type;
  uint32_t max_len;
  const char *class_name;
};

const HostFunction kHostFunctions[] = {
    {"add2", fn_add2, 2, 2, "II", 'I', 0, nullptr},
    {"count", fn_count<1>, 1, 3, "I", 'I', 0, nullptr},
    {"join", fn_join, 0, EXP_UNLIMITED, "s", 'S', 0, nullptr},
    {"nothing", fn_count<2>, 0, 0, "", 'I', 0, nullptr},
    {"strict", fn_count<3>, 1, 1, "S", 'I', 0, nullptr},
    {"anything", fn_count<4>, 1, 1, "a", 'B', 0, nullptr},
    {"short_text", [](exp_engine *, exp_symval *, int, exp_symval **) { return 0; }, 0, 0, "", 's', 10, nullptr},
    {"twice", fn_count<5>, 1, 1, "I", 'I', 0, nullptr},
    {"make_widget", fn_count<6>, 0, 0, "", 'O', 0, "widget"},
    {"make_gadget", fn_count<7>, 0, 0, "", 'O', 0, "gadget"},  // class never registered
    {"widget_size", fn_count<8>, 1, 1, "O", 'I', 0, nullptr},
    {"widget_scale", fn_count<9>, 2, 2, "Oi", 'R', 0, nullptr},
};

// Methods of class "widget": (method, implementing function). "ghost" names no function, and
// "bad" a function whose first parameter is no object.
const std::pair<const char *, const char *> kWidgetMethods[] = {
    {"size", "widget_size"}, {"scale", "widget_scale"}, {"ghost", "ghost_fn"}, {"bad", "add2"}};

struct HostSymbol {
  const char *name;
  int type;
  int limit;
  int options;
  const char *value;  // nullptr: left null
};

// The symbols every test engine binds, with their values at the start of each run.
const HostSymbol kSymbols[] = {
    {"a", EXP_INTEGER, 0, 0, "6"},       {"k", EXP_INTEGER, 0, 0, nullptr},
    {"n", EXP_INTEGER, 0, 0, nullptr},   {"x", EXP_REAL, 0, 0, "0"},
    {"r", EXP_REAL, 0, 0, "2.5"},        {"s", EXP_STRING, 20, 0, "5"},
    {"t", EXP_STRING, 20, 0, "abc"},     {"d", EXP_DATE, 0, 0, "45306"},
    {"b", EXP_BOOLEAN, 0, 0, "1"},       {"f", EXP_BOOLEAN, 0, 0, "0"},
    {"p", EXP_POINTER, 0, 0, nullptr},   {"ro", EXP_INTEGER, 0, EXP_SYM_READONLY, "1"},
};

void set_value(exp_symval *c, const char *value) {
  switch (EXP_TYPE(c)) {
    case EXP_BOOLEAN:
    case EXP_INTEGER: exp_symval_setint(c, std::stoll(value)); break;
    case EXP_REAL:
    case EXP_DATE: testutil::set_real(c, value); break;
    case EXP_STRING: exp_symval_setstr(c, value); break;
    default: break;
  }
}

// An engine with the host functions, the widget class and the symbols above.
EnginePtr standard_engine() {
  EnginePtr e = testutil::make_engine();
  for (const HostFunction &f : kHostFunctions)
    EXPECT_EQ(exp_register_function(e.get(), f.name, f.fn, f.min_args, f.max_args, f.signature, f.ret_type,
                                    f.max_len, "test function", 0, f.class_name), 0)
        << f.name;
  exp_class *widget = nullptr;
  EXPECT_EQ(exp_register_class(e.get(), "widget", "test class", nullptr, &widget), 0);
  for (const auto &[method, function] : kWidgetMethods)
    EXPECT_EQ(exp_register_class_function(e.get(), widget, function, method), 0);
  for (const HostSymbol &s : kSymbols) {
    exp_symval *cell = nullptr;
    EXPECT_EQ(exp_add_symbol(e.get(), s.name, s.type, s.limit, s.options, &cell), 0) << s.name;
    if (cell && s.value) set_value(cell, s.value);
  }
  return e;
}

// One compilation, with what exp_error_info said afterwards; frees the program on destruction.
struct Compiled {
  Compiled(exp_engine *engine, const std::string &text, int type = EXP_INTEGER, int len = 0, int flags = 0,
           const char *name = nullptr)
      : e(engine) {
    rc = exp_make_pcode(e, text.c_str(), &p, type, len, flags, name);
    const char *m = nullptr;
    exp_error_info(e, &m, &line, &column);
    message = m ? m : "";
  }
  ~Compiled() {
    if (p) exp_free_pcode(e, p);
  }
  Compiled(const Compiled &) = delete;
  Compiled &operator=(const Compiled &) = delete;

  // Runs the program; "error N" when the run fails, else the result rendered.
  std::string run() {
    exp_symval *result = nullptr;
    int run_rc = exp_execute(e, p, &result);
    return run_rc ? "error " + std::to_string(run_rc) : render(result);
  }

  exp_engine *e;
  exp_pcode *p = nullptr;
  int rc = 0, line = -1, column = -1;
  std::string message;
};

std::string symbol(exp_engine *e, const char *name) {
  exp_symval *c = exp_symbol_get_by_name(e, name);
  return c ? render(c) : "<none>";
}

// ---- rendering emitted instructions --------------------------------------------------------------

const char kTypeLetters[] = "?birsdpo";

// Renders a program's instructions, one line per instruction that is not an operand slot:
//   "add integer(t2:i, t1:i, i:1)"  a call: handler or function name, result slot, arguments;
//   "udf:name(...)", "jump 9", "jz 5 t1:b" (target index, condition), "noop", "exit".
// Operands: "result" for the program's result cell, a symbol's name, "tN:<type>[limit]" for the
// N-th temporary (an unnamed cell first met in a result slot), and the rendered value of any
// other unnamed cell (a constant: "i:2", "s:5", "null").
class Listing {
 public:
  Listing(exp_engine *e, exp_pcode *p) : e_(e), p_(p) {}

  std::vector<std::string> lines(bool with_index) {
    std::vector<std::string> out;
    for (int i = 0; i < p_->count; ++i) {
      const exp_instr &ins = p_->code[i];
      if (ins.kind == EXP_OPERAND) continue;
      std::string line = with_index ? std::to_string(i) + " " : "";
      out.push_back(line + instruction(i));
    }
    return out;
  }

 private:
  std::string instruction(int i) {
    const exp_instr &ins = p_->code[i];
    switch (ins.kind) {
      case EXP_NOOP: return "noop";
      case EXP_EXIT: return "exit";
      case EXP_JUMP: return "jump " + std::to_string(ins.a);
      case EXP_JUMP_IF_ZERO: return "jz " + std::to_string(ins.a) + " " + operand(ins.b.cell, false);
      case EXP_CALL: return function_name(ins.b.fn) + operands(i);
      case EXP_UDF_CALL: return std::string("udf:") + ins.b.program->udf_name + operands(i);
    }
    return "kind " + std::to_string(ins.kind);
  }

  std::string operands(int call) {
    std::string out = "(";
    for (int i = call + 1; i < p_->count && p_->code[i].kind == EXP_OPERAND; ++i)
      out += (i > call + 1 ? ", " : "") + operand(p_->code[i].b.cell, i == call + 1);
    return out + ")";
  }

  std::string operand(exp_symval *c, bool result_slot) {
    if (c == &p_->result) return "result";
    if (const char *name = sym_of_cell(c)->name; *name) return name;
    if (auto it = temps_.find(c); it != temps_.end()) return it->second;
    if (!result_slot) return render(c);
    std::string name = "t" + std::to_string(temps_.size() + 1) + ":" + kTypeLetters[EXP_TYPE(c)];
    if (EXP_TYPE(c) == EXP_STRING) name += std::to_string(c->len);
    return temps_[c] = name;
  }

  std::string function_name(exp_func_cb fn) {
    for (int op = 0; op < OP_COUNT; ++op)
      if (exp_opcode_table[op].handler == fn) return op == OP_NE_STR ? "not-equal str" : exp_opcode_table[op].name;
    for (const exp_function &f : e_->functions)
      if (f.fn == fn) return f.name;
    for (const exp_function &f : builtin_functions())
      if (f.fn == fn) return f.name;
    return "?";
  }

  exp_engine *e_;
  exp_pcode *p_;
  std::map<const exp_symval *, std::string> temps_;
};

std::vector<std::string> listing(Compiled &c, bool with_index = false) {
  return c.p ? Listing(c.e, c.p).lines(with_index) : std::vector<std::string>{"error " + std::to_string(c.rc)};
}

// ---- expressions: values ---------------------------------------------------------------------------

struct ValueCase {
  const char *text;
  int type;  // result type of the program
  const char *result;
};

void expect_values(std::span<const ValueCase> cases) {
  for (const ValueCase &v : cases) {
    SCOPED_TRACE(v.text);
    EnginePtr e = standard_engine();
    Compiled c(e.get(), v.text, v.type, v.type == EXP_STRING ? 100 : 0);
    ASSERT_EQ(c.rc, 0) << c.message;
    EXPECT_EQ(c.run(), v.result);
  }
}

TEST(ExpressionValues, PrecedenceAndAssociativity) {
  static const ValueCase cases[] = {
      {"1 + 2 * 3", EXP_INTEGER, "i:7"},
      {"(1 + 2) * 3", EXP_INTEGER, "i:9"},
      {"2 - 3 - 4", EXP_INTEGER, "i:-5"},
      {"100 / 10 / 5", EXP_INTEGER, "i:2"},
      {"2 * 3 % 4", EXP_INTEGER, "i:2"},
      {"-2 * 3", EXP_INTEGER, "i:-6"},
      {"1 + 2 & 3", EXP_STRING, "s:33"},
      {"'a' & 'b' == 'ab'", EXP_BOOLEAN, "b:1"},
      {"1 < 2 and 3 < 2 or 1 == 1", EXP_BOOLEAN, "b:1"},
      {"1 < 2 and (3 < 2 or 1 == 2)", EXP_BOOLEAN, "b:0"},
      {"not b == f", EXP_BOOLEAN, "b:1"},
      {"not (b == f)", EXP_BOOLEAN, "b:1"},
      {"! f and b", EXP_BOOLEAN, "b:1"},
      {"not not b", EXP_BOOLEAN, "b:1"},
      {"((((a))))", EXP_INTEGER, "i:6"},
  };
  expect_values(cases);
}

TEST(ExpressionValues, OperandTypesDecideTheOperation) {
  static const ValueCase cases[] = {
      {"7 / 2", EXP_INTEGER, "i:3"},
      {"7 / 2.0", EXP_REAL, "r:3.5"},
      {"\"5\" + 1", EXP_REAL, "r:6"},
      {"\"5\" & 1", EXP_STRING, "s:51"},
      {"a + r", EXP_REAL, "r:8.5"},
      {"-a", EXP_INTEGER, "i:-6"},
      {"--a", EXP_INTEGER, "i:6"},
      {"-s", EXP_REAL, "r:-5"},
      {"-r", EXP_REAL, "r:-2.5"},
      {"a % 4", EXP_INTEGER, "i:2"},
      {"d + 1", EXP_DATE, "d:45307"},
      {"d - d", EXP_REAL, "r:0"},
      {"d * 2", EXP_REAL, "r:90612"},
      {"d == d", EXP_BOOLEAN, "b:1"},
      {"d > 45305", EXP_BOOLEAN, "b:1"},
      {"b == 1", EXP_BOOLEAN, "b:1"},
      {"b + 1", EXP_REAL, "r:2"},
      {"'abc' < 'abd'", EXP_BOOLEAN, "b:1"},
      {"t <> 'abc'", EXP_BOOLEAN, "b:0"},
      {"t != 'abd'", EXP_BOOLEAN, "b:1"},
      {"s == 5", EXP_BOOLEAN, "b:1"},
      {"1 + 2", EXP_STRING, "s:3"},
      {"null", EXP_INTEGER, "null"},
      {"null == 1", EXP_BOOLEAN, "null"},
      {"n + 1", EXP_INTEGER, "null"},
  };
  expect_values(cases);
}

// ---- expressions: emitted instructions -----------------------------------------------------------

struct ListingCase {
  const char *text;
  std::vector<std::string> code;
};

void expect_listings(std::span<const ListingCase> cases, bool with_index = false) {
  for (const ListingCase &l : cases) {
    SCOPED_TRACE(l.text);
    EnginePtr e = standard_engine();
    Compiled c(e.get(), l.text);
    EXPECT_EQ(c.rc, 0) << c.message;
    EXPECT_EQ(listing(c, with_index), l.code);
  }
}

TEST(ExpressionCode, AssignmentOfAnIntegerExpressionToAReal) {
  static const ListingCase cases[] = {
      {"x = a * 2 + 1",
       {"0 multiply int(t1:i, a, i:2)", "4 add integer(t2:i, t1:i, i:1)", "8 copy/coerce(x, t2:i)"}},
  };
  expect_listings(cases, true);
}

// An expression statement at the top level also copies its value into the result (last line).
TEST(ExpressionCode, ConversionsAreInsertedAtCompileTime) {
  static const ListingCase cases[] = {
      {"7 / 2", {"divide int(t1:i, i:7, i:2)", "copy/coerce(result, t1:i)"}},
      {"7 / 2.0", {"copy/coerce(t1:r, i:7)", "divide real(t2:r, t1:r, r:2.0)", "copy/coerce(result, t2:r)"}},
      {"\"5\" + 1",
       {"copy/coerce(t1:r, s:5)", "copy/coerce(t2:r, i:1)", "add real(t3:r, t1:r, t2:r)",
        "copy/coerce(result, t3:r)"}},
      // The literal's cell is 16 characters long, the converted number 31: the result 47.
      {"\"5\" & 1", {"copy/coerce(t1:s31, i:1)", "concatenate(t2:s47, s:5, t1:s31)", "copy/coerce(result, t2:s47)"}},
      {"t & s", {"concatenate(t1:s40, t, s)", "copy/coerce(result, t1:s40)"}},
      {"1 & 2",
       {"copy/coerce(t1:s31, i:1)", "copy/coerce(t2:s31, i:2)", "concatenate(t3:s62, t1:s31, t2:s31)",
        "copy/coerce(result, t3:s62)"}},
      {"-a", {"multiply int(t1:i, a, i:-1)", "copy/coerce(result, t1:i)"}},
      {"-r", {"multiply real(t1:r, r, r:-1)", "copy/coerce(result, t1:r)"}},
      {"-s", {"copy/coerce(t1:r, s)", "multiply real(t2:r, t1:r, r:-1)", "copy/coerce(result, t2:r)"}},
      {"-d", {"copy/coerce(t1:r, d)", "multiply real(t2:r, t1:r, r:-1)", "copy/coerce(result, t2:r)"}},
      {"--a", {"multiply int(t1:i, a, i:-1)", "multiply int(t2:i, t1:i, i:-1)", "copy/coerce(result, t2:i)"}},
      {"not a", {"not(t1:b, a)", "copy/coerce(result, t1:b)"}},
      {"not b == f",
       {"not(t1:b, b)", "copy/coerce(t2:i, t1:b)", "copy/coerce(t3:i, f)", "equal(t4:b, t2:i, t3:i)",
        "copy/coerce(result, t4:b)"}},
      {"a and b", {"and(t1:b, a, b)", "copy/coerce(result, t1:b)"}},
      {"a or r", {"or(t1:b, a, r)", "copy/coerce(result, t1:b)"}},
      {"a % r", {"copy/coerce(t1:i, r)", "modulo(t2:i, a, t1:i)", "copy/coerce(result, t2:i)"}},
      {"s % 2", {"copy/coerce(t1:i, s)", "modulo(t2:i, t1:i, i:2)", "copy/coerce(result, t2:i)"}},
      {"a * r", {"copy/coerce(t1:r, a)", "multiply real(t2:r, t1:r, r)", "copy/coerce(result, t2:r)"}},
      {"a - b", {"copy/coerce(t1:r, a)", "copy/coerce(t2:r, b)", "subtract real(t3:r, t1:r, t2:r)",
                 "copy/coerce(result, t3:r)"}},
      // Dates: + and - keep them (and make a date); * and / convert them.
      {"d + 1", {"copy/coerce(t1:r, i:1)", "add real(t2:d, d, t1:r)", "copy/coerce(result, t2:d)"}},
      {"1 - d", {"copy/coerce(t1:r, i:1)", "subtract real(t2:d, t1:r, d)", "copy/coerce(result, t2:d)"}},
      {"d * 2",
       {"copy/coerce(t1:r, d)", "copy/coerce(t2:r, i:2)", "multiply real(t3:r, t1:r, t2:r)",
        "copy/coerce(result, t3:r)"}},
      {"d / r", {"copy/coerce(t1:r, d)", "divide real(t2:r, t1:r, r)", "copy/coerce(result, t2:r)"}},
  };
  expect_listings(cases);
}

TEST(ExpressionCode, ComparisonsConvertTowardsTheWiderType) {
  static const ListingCase cases[] = {
      {"a < 3", {"less-than(t1:b, a, i:3)", "copy/coerce(result, t1:b)"}},
      {"a <= 3", {"less-than-equal(t1:b, a, i:3)", "copy/coerce(result, t1:b)"}},
      {"a > 3", {"greater-than(t1:b, a, i:3)", "copy/coerce(result, t1:b)"}},
      {"a >= 3", {"greater-than-equal(t1:b, a, i:3)", "copy/coerce(result, t1:b)"}},
      {"a == 3", {"equal(t1:b, a, i:3)", "copy/coerce(result, t1:b)"}},
      {"a <> 3", {"not-equal(t1:b, a, i:3)", "copy/coerce(result, t1:b)"}},
      {"a != 3", {"not-equal(t1:b, a, i:3)", "copy/coerce(result, t1:b)"}},
      // Strings win: the other side becomes a string of 31 characters.
      {"t < 'x'", {"less-than str(t1:b, t, s:x)", "copy/coerce(result, t1:b)"}},
      {"t <= 'x'", {"less-than-equal str(t1:b, t, s:x)", "copy/coerce(result, t1:b)"}},
      {"t > 'x'", {"greater-than str(t1:b, t, s:x)", "copy/coerce(result, t1:b)"}},
      {"t >= 'x'", {"greater-than-equal str(t1:b, t, s:x)", "copy/coerce(result, t1:b)"}},
      {"t == 'x'", {"equal str(t1:b, t, s:x)", "copy/coerce(result, t1:b)"}},
      {"t != 'x'", {"not-equal str(t1:b, t, s:x)", "copy/coerce(result, t1:b)"}},
      {"a == t", {"copy/coerce(t1:s31, a)", "equal str(t2:b, t1:s31, t)", "copy/coerce(result, t2:b)"}},
      {"b == 'x'", {"copy/coerce(t1:s31, b)", "equal str(t2:b, t1:s31, s:x)", "copy/coerce(result, t2:b)"}},
      // A real on the left converts the right side, dates included.
      {"r < a", {"copy/coerce(t1:r, a)", "less-than(t2:b, r, t1:r)", "copy/coerce(result, t2:b)"}},
      {"r < d", {"copy/coerce(t1:r, d)", "less-than(t2:b, r, t1:r)", "copy/coerce(result, t2:b)"}},
      // A date on the left, or a real or date on the right: both sides become reals.
      {"a < r", {"copy/coerce(t1:r, a)", "less-than(t2:b, t1:r, r)", "copy/coerce(result, t2:b)"}},
      {"d == d",
       {"copy/coerce(t1:r, d)", "copy/coerce(t2:r, d)", "equal(t3:b, t1:r, t2:r)", "copy/coerce(result, t3:b)"}},
      {"d > 1",
       {"copy/coerce(t1:r, d)", "copy/coerce(t2:r, i:1)", "greater-than(t3:b, t1:r, t2:r)",
        "copy/coerce(result, t3:b)"}},
      {"b < d",
       {"copy/coerce(t1:r, b)", "copy/coerce(t2:r, d)", "less-than(t3:b, t1:r, t2:r)",
        "copy/coerce(result, t3:b)"}},
      // Booleans against integers (and null, a boolean) become integers.
      {"b == 1", {"copy/coerce(t1:i, b)", "equal(t2:b, t1:i, i:1)", "copy/coerce(result, t2:b)"}},
      {"1 == b", {"copy/coerce(t1:i, b)", "equal(t2:b, i:1, t1:i)", "copy/coerce(result, t2:b)"}},
      {"null == 1", {"copy/coerce(t1:i, null)", "equal(t2:b, t1:i, i:1)", "copy/coerce(result, t2:b)"}},
  };
  expect_listings(cases);
}

TEST(ExpressionCode, CallsOfHostFunctions) {
  static const ListingCase cases[] = {
      // A symbol passed unconverted is the symbol's own cell.
      {"add2(a, 1)", {"add2(t1:i, a, i:1)", "copy/coerce(result, t1:i)"}},
      {"add2(a + 1, a)", {"add integer(t1:i, a, i:1)", "add2(t2:i, t1:i, a)", "copy/coerce(result, t2:i)"}},
      // One lower-case letter: any number of arguments, each converted to its type.
      {"join(1, t, r)",
       {"copy/coerce(t1:s31, i:1)", "copy/coerce(t2:s31, r)", "join(t3:s255, t1:s31, t, t2:s31)",
        "copy/coerce(result, t3:s255)"}},
      {"join()", {"join(t1:s255)", "copy/coerce(result, t1:s255)"}},
      {"anything(d)", {"anything(t1:b, d)", "copy/coerce(result, t1:b)"}},
      {"short_text()", {"short_text(t1:s10)", "copy/coerce(result, t1:s10)"}},
      {"count(1, 2, 3)", {"count(t1:i, i:1, i:2, i:3)", "copy/coerce(result, t1:i)"}},
      {"call add2(1, 2)", {"add2(t1:i, i:1, i:2)"}},
      {"add2(1, 2) + count(1)", {"add2(t1:i, i:1, i:2)", "count(t2:i, i:1)", "add integer(t3:i, t1:i, t2:i)",
                                  "copy/coerce(result, t3:i)"}},
      {"ADD2(1, 2)", {"add2(t1:i, i:1, i:2)", "copy/coerce(result, t1:i)"}},
      // Methods: the object is the first argument, passed as the symbol's own cell.
      {"widget w; w.size()", {"widget_size(t1:i, w)", "copy/coerce(result, t1:i)"}},
      {"widget w; w.SCALE(2.5)",
       {"copy/coerce(t1:i, r:2.5)", "widget_scale(t2:r, w, t1:i)", "copy/coerce(result, t2:r)"}},
      {"widget w; call w.size()", {"widget_size(t1:i, w)"}},
      {"make_widget()", {"make_widget(t1:o)", "copy/coerce(result, t1:o)"}},
  };
  expect_listings(cases);
}

TEST(ExpressionValues, HostFunctionsRun) {
  static const ValueCase cases[] = {
      {"add2(a, 1)", EXP_INTEGER, "i:7"},
      {"count(1, 2, 3) * 10", EXP_INTEGER, "i:30"},
      {"join(1, '-', r)", EXP_STRING, "s:1-2.5"},
  };
  expect_values(cases);
}

// A user-defined function is found before a host function of the same name.
TEST(ExpressionCode, UserDefinedFunctionsComeBeforeHostFunctions) {
  EnginePtr e = standard_engine();
  Compiled udf(e.get(), "21 * 2", EXP_INTEGER, 0, 0, "twice");
  ASSERT_EQ(udf.rc, 0) << udf.message;
  Compiled c(e.get(), "twice(1) + 1");
  ASSERT_EQ(c.rc, 0) << c.message;
  EXPECT_EQ(listing(c), (std::vector<std::string>{"udf:twice(t1:i, i:1)", "add integer(t2:i, t1:i, i:1)",
                                                  "copy/coerce(result, t2:i)"}));
  EXPECT_EQ(c.run(), "i:43");
}

// ---- compile errors --------------------------------------------------------------------------------

struct ErrorCase {
  const char *text;
  int error;
  int line, column;
  const char *message;  // nullptr: not checked
};

void expect_errors(std::span<const ErrorCase> cases) {
  for (const ErrorCase &c : cases) {
    SCOPED_TRACE(c.text);
    EnginePtr e = standard_engine();
    int before = exp_symbol_count(e.get());
    Compiled r(e.get(), c.text);
    EXPECT_EQ(r.rc, c.error) << r.message;
    EXPECT_EQ(r.p, nullptr);
    EXPECT_EQ(r.line, c.line);
    EXPECT_EQ(r.column, c.column);
    if (c.message) {
      EXPECT_EQ(r.message, c.message);
    }
    // Symbols declared before the error went with the discarded program.
    EXPECT_EQ(exp_symbol_count(e.get()), before);
  }
}

TEST(ExpressionErrors, ReportedAtTheCurrentToken) {
  static const ErrorCase cases[] = {
      {"(1 + 2", ERR_PARENTHESIS, 1, 7, "Missing parenthesis"},
      {"(1 + 2;", ERR_PARENTHESIS, 1, 7, nullptr},
      {"1 +", ERR_INCOMPLETE, 1, 4, "Incomplete expression. End of input reached."},
      // The end of input is just after the last character, never on a line the text lacks.
      {"integer nx\nnx = 1 +\n", ERR_INCOMPLETE, 2, 9, nullptr},
      {"a = (1 +  \n\n", ERR_INCOMPLETE, 1, 9, nullptr},
      {"a =", ERR_INCOMPLETE, 1, 4, nullptr},
      {"a <", ERR_INCOMPLETE, 1, 4, nullptr},
      {"a < a < a", ERR_UNEXPECTED_VALUE, 1, 7, "Unexpected value"},
      {")", ERR_UNEXPECTED_VALUE, 1, 1, nullptr},
      {"a = * 2", ERR_UNEXPECTED_VALUE, 1, 5, nullptr},
      {"1 + then", ERR_UNEXPECTED_VALUE, 1, 5, nullptr},
      {"+1", ERR_UNEXPECTED_VALUE, 1, 1, nullptr},
      {"a + nosuch", ERR_SYMBOL_NOT_FOUND, 1, 5, "Symbol 'nosuch' not found"},
      {"a +\n  nosuch(1)", ERR_FUNC_NOT_FOUND, 2, 3, "Function 'nosuch' not found"},
      {"count(1 2)", ERR_MISSING_COMMA, 1, 9, "Missing comma in function call"},
      {"count(1,)", ERR_PARAM_MISMATCH, 1, 9, "Parameter mismatch on parameter 2"},
      {"count(1, 2,)", ERR_PARAM_MISMATCH, 1, 12, "Parameter mismatch on parameter 3"},
      {"strict(1)", ERR_PARAM_MISMATCH, 1, 9, "Parameter mismatch on parameter 1"},
      {"add2(1, 'x')", ERR_PARAM_MISMATCH, 1, 12, "Parameter mismatch on parameter 2"},
      {"add2(2.5, 1)", ERR_PARAM_MISMATCH, 1, 9, "Parameter mismatch on parameter 1"},
      {"nothing(1)", ERR_PARAM_COUNT, 1, 10, nullptr},
      {"p == 1;", ERR_INVALID_COMPARISON, 1, 7, "Invalid comparison"},
      {"1 <> p;", ERR_INVALID_COMPARISON, 1, 7, nullptr},
      {"widget w; w == w;", ERR_INVALID_COMPARISON, 1, 17, nullptr},
      {"t.size()", ERR_NOT_OBJECT, 1, 3, "Not an object"},
      {"nosuch.size()", ERR_SYMBOL_NOT_FOUND, 1, 1, "Symbol 'nosuch' not found"},
      {"widget w; w.resize(1)", ERR_NO_METHOD, 1, 13, "Class 'widget' doesn't support the 'resize' method"},
      {"widget w; w.ghost()", ERR_FUNC_NOT_FOUND, 1, 13, "Function 'ghost' not found"},
      {"widget w; w.size", ERR_PARENTHESIS, 1, 17, nullptr},
      {"widget w; w.size + 1", ERR_PARENTHESIS, 1, 18, nullptr},
      {"widget w; w.scale('x',)", ERR_PARAM_MISMATCH, 1, 23, "Parameter mismatch on parameter 2"},
      // Inconsistent function records are internal errors.
      {"widget w; w.bad()", ERR_INTERNAL, 1, 13, nullptr},
      {"make_gadget()", ERR_INTERNAL, 1, 13, nullptr},
  };
  expect_errors(cases);
}

// A call with too few or too many arguments is reported at the call, with the counts the
// function takes (the next statement may be lines away).
TEST(ExpressionErrors, ArgumentCountsReportedAtTheCall) {
  static const ErrorCase cases[] = {
      {"count();", ERR_PARAM_COUNT, 1, 1, "Parameter count mismatch: count takes 1 to 3 arguments, 0 given"},
      {"count(1, 2, 3, 4);", ERR_PARAM_COUNT, 1, 1, nullptr},
      {"x = add2(1)\n\ny = 2", ERR_PARAM_COUNT, 1, 5, "Parameter count mismatch: add2 takes 2 arguments, 1 given"},
      {"add2(1, 2, 3);", ERR_PARAM_COUNT, 1, 1, nullptr},
      {"widget w; w.scale(1, 2);", ERR_PARAM_COUNT, 1, 11,
       "Parameter count mismatch: widget.scale takes 1 argument, 2 given"},
      // Arguments beyond an exhausted signature: counted, and reported where the first ended.
      {"nothing(1, 2)", ERR_PARAM_COUNT, 1, 10, "Parameter count mismatch: nothing takes 0 arguments, 2 given"},
      {"widget w; w.size(5)", ERR_PARAM_COUNT, 1, 19, "Parameter count mismatch: widget.size takes 0 arguments, 1 given"},
  };
  expect_errors(cases);
}

// An empty pair of backquotes names nothing: temporaries are unnamed, and an empty name must not
// pick one of them up.
TEST(ExpressionErrors, EmptyNamesReferToNothing) {
  static const ErrorCase cases[] = {
      {"1 + ``", ERR_SYMBOL_NOT_FOUND, 1, 5, "Symbol '' not found"},
      {"2 + 3 + ``", ERR_SYMBOL_NOT_FOUND, 1, 9, nullptr},
      {"1; `` = 5", ERR_SYMBOL_NOT_FOUND, 1, 4, nullptr},
      {"1; for `` = 1 to 2 a = 1", ERR_SYMBOL_NOT_FOUND, 1, 8, nullptr},
      {"1; ``.size()", ERR_SYMBOL_NOT_FOUND, 1, 4, nullptr},
      {"integer ``", ERR_DECLARATION, 1, 9, nullptr},
  };
  expect_errors(cases);
}

// Nesting is limited so that no text can exhaust the stack.
TEST(ExpressionErrors, DeepNestingIsACompileError) {
  struct Case {
    std::string text;
    int column;  // 0: not checked
  };
  const Case cases[] = {
      {std::string(100000, '('), kMaxNesting + 1},
      {std::string(100000, '-') + "1", kMaxNesting + 1},
      // The assignment statement is one level itself.
      {"a = " + std::string(100000, '('), kMaxNesting + 4},
      {[] {
         std::string s;
         for (int i = 0; i < 100000; ++i) s += "not ";
         return s;
       }(),
       4 * kMaxNesting + 1},
      {[] {
         std::string s;
         for (int i = 0; i < 100000; ++i) s += "begin ";
         return s;
       }(),
       6 * kMaxNesting + 1},
      {[] {
         std::string s;
         for (int i = 0; i < 100000; ++i) s += "if b then ";
         return s;
       }(),
       0},
      {[] {
         std::string s;
         for (int i = 0; i < 100000; ++i) s += "count(";
         return s;
       }(),
       0},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.text.substr(0, 20));
    EnginePtr e = standard_engine();
    Compiled r(e.get(), c.text);
    EXPECT_EQ(r.rc, ERR_COMPILE);
    EXPECT_EQ(r.message, "Compilation error: the program nests expressions or statements too deeply");
    EXPECT_EQ(r.line, 1);
    if (c.column) {
      EXPECT_EQ(r.column, c.column);
    }
  }
}

TEST(ExpressionErrors, NestingBelowTheLimitCompiles) {
  EnginePtr e = standard_engine();
  std::string parens = std::string(200, '(') + "1" + std::string(200, ')');
  Compiled c(e.get(), parens);
  ASSERT_EQ(c.rc, 0) << c.message;
  EXPECT_EQ(c.run(), "i:1");
  std::string blocks;
  for (int i = 0; i < 100; ++i) blocks += "begin ";
  blocks += "a = 1";
  for (int i = 0; i < 100; ++i) blocks += " end";
  Compiled b(e.get(), blocks);
  EXPECT_EQ(b.rc, 0) << b.message;
}

// ---- statements ------------------------------------------------------------------------------------

struct RunCase {
  const char *text;
  const char *symbols;  // names of symbols to show after the run
  const char *after;    // their values, then the result: "a=i:1 x=r:2 -> null"
};

std::string run_and_show(exp_engine *e, const RunCase &rc) {
  Compiled c(e, rc.text);
  if (c.rc) return "compile error " + std::to_string(c.rc) + ": " + c.message;
  std::string result = c.run();
  std::string out;
  std::string names = rc.symbols;
  for (size_t pos = 0; pos < names.size();) {
    size_t end = names.find(' ', pos);
    if (end == std::string::npos) end = names.size();
    std::string name = names.substr(pos, end - pos);
    out += name + "=" + symbol(e, name.c_str()) + " ";
    pos = end + 1;
  }
  return out + "-> " + result;
}

void expect_runs(std::span<const RunCase> cases) {
  for (const RunCase &r : cases) {
    SCOPED_TRACE(r.text);
    EnginePtr e = standard_engine();
    EXPECT_EQ(run_and_show(e.get(), r), r.after);
  }
}

TEST(Statements, AssignmentsAndTheProgramResult) {
  static const RunCase cases[] = {
      {"a = 1 x = 2", "a x", "a=i:1 x=r:2 -> null"},
      {"a = 1; x = a / 4", "a x", "a=i:1 x=r:0 -> null"},
      {"x = a / 4.0", "x", "x=r:1.5 -> null"},
      {"1 + 2", "", "-> i:3"},
      {"'41' + 1", "", "-> i:42"},
      {"a = 5; a", "a", "a=i:5 -> i:5"},
      // The last top-level expression's cell is read when the run ends.
      {"a; a = 9", "a", "a=i:9 -> i:9"},
      {"1; 2; a", "", "-> i:6"},
      {"a = null", "a", "a=null -> null"},
      {"t = a & t", "t", "t=s:6abc -> null"},
      {"if b then a", "", "-> null"},
      {";;; a = 2 ;;", "a", "a=i:2 -> null"},
      {"add2(1, 2)", "", "-> i:3"},
      {"call add2(1, 2)", "", "-> null"},
      {"return a + 1; a = 100", "a", "a=i:6 -> i:7"},
      {"if b then return 1; return 2", "", "-> i:1"},
      {"if f then return 1; return 2", "", "-> i:2"},
      {"return 1.75 * 4", "", "-> i:7"},
      // Words that once marked the end are ordinary names: the text after them is compiled.
      {"integer ___END_OF_INPUT___ ___end_of_input___ = 2 a = ___END_OF_INPUT___ + 1", "a", "a=i:3 -> null"},
      {"string w; w = \"___INPUT_ERROR___\"; len(w)", "", "-> i:17"},
  };
  expect_runs(cases);
}

TEST(Statements, IfWhileAndBlocks) {
  static const RunCase cases[] = {
      {"if b then a = 1", "a", "a=i:1 -> null"},
      {"if f then a = 1", "a", "a=i:6 -> null"},
      {"if b a = 1", "a", "a=i:1 -> null"},
      {"if f then a = 1 else a = 2", "a", "a=i:2 -> null"},
      {"if f then a = 1; else a = 2;", "a", "a=i:2 -> null"},
      {"if a > 5 then begin a = 1; x = 2 end else x = 3", "a x", "a=i:1 x=r:2 -> null"},
      // The else belongs to the inner if.
      {"if b then if f then a = 1 else a = 2", "a", "a=i:2 -> null"},
      {"if f then if b then a = 1 else a = 2", "a", "a=i:6 -> null"},
      // Any type is a condition, tested for truth at run time.
      {"if a then x = 1", "x", "x=r:1 -> null"},
      {"if n then x = 1 else x = 2", "x", "x=r:2 -> null"},
      {"while a < 10 a = a + 1", "a", "a=i:10 -> null"},
      {"while a < 3 a = a + 1", "a", "a=i:6 -> null"},
      {"while a > 0 begin a = a - 1; x = x + 1 end", "a x", "a=i:0 x=r:6 -> null"},
      {"begin a = 1 begin x = 2 end end", "a x", "a=i:1 x=r:2 -> null"},
      {"BEGIN a = 1 END", "a", "a=i:1 -> null"},
  };
  expect_runs(cases);
}

TEST(Statements, ForLoops) {
  static const RunCase cases[] = {
      {"for k = 1 to 3 x = x + k", "k x", "k=i:4 x=r:6 -> null"},
      {"for k 1 3 x = x + k", "k x", "k=i:4 x=r:6 -> null"},
      {"for k = 3 to 1 step -1 a = a + 1", "k a", "k=i:0 a=i:9 -> null"},
      {"for k = 1 to 0 a = 0", "k a", "k=i:1 a=i:6 -> null"},
      {"for k = 1 to 5 step 2 a = a + 1", "k a", "k=i:7 a=i:9 -> null"},
      {"for k = 1 to 5 step 2.0 a = a + 1", "k a", "k=i:7 a=i:9 -> null"},
      {"for k = '1' to '3' a = a + k", "k a", "k=i:4 a=i:12 -> null"},
      // The loop counts in its own counter: assigning to the variable changes nothing.
      {"for k = 1 to 3 begin a = a + 1; k = 10 end", "k a", "k=i:4 a=i:9 -> null"},
      // Start, end and step are evaluated once.
      {"for k = 1 to a a = a - 1", "k a", "k=i:7 a=i:0 -> null"},
      // The variable may be of any type.
      {"for x = 1 to 2 a = a + 1", "x a", "x=r:3 a=i:8 -> null"},
      {"for t = 1 to 2 a = a + 1", "t a", "t=s:3 a=i:8 -> null"},
      {"for k = 1 to n a = 1", "a", "a=i:6 -> error 103"},
      {"for k = n to 1 a = 1", "a", "a=i:6 -> error 103"},
      {"for k = 1 to 2 step n a = 1", "a", "a=i:6 -> error 103"},
      {"for k = 1 to 2 for a = 1 to 3 x = x + 1", "k a x", "k=i:3 a=i:4 x=r:6 -> null"},
  };
  expect_runs(cases);
}

TEST(Statements, GotoAndLabels) {
  static const RunCase cases[] = {
      {"goto skip; a = 1; skip: x = 2", "a x", "a=i:6 x=r:2 -> null"},
      {"a = 0; top: a = a + 1; if a < 5 then goto top", "a", "a=i:5 -> null"},
      {"goto DONE; a = 1; done:", "a", "a=i:6 -> null"},
      // Out of a loop and into a block.
      {"while 1 begin a = a + 1; if a > 8 then goto out end; out: x = 1", "a x", "a=i:9 x=r:1 -> null"},
      {"goto inner; begin a = 1; inner: x = 1 end", "a x", "a=i:6 x=r:1 -> null"},
      {"begin goto l1 end a = 1 l1: a = 2", "a", "a=i:2 -> null"},
      // Labels match without regard to case, by full case folding.
      {"goto STRASSE; a = 1; straße: x = 2", "a x", "a=i:6 x=r:2 -> null"},
      {"goto ÉTÉ; a = 1; été: x = 2", "a x", "a=i:6 x=r:2 -> null"},
  };
  expect_runs(cases);
}

// The control-flow layouts: every jump target is a no-op; forward jumps are patched placeholders.
TEST(StatementCode, ControlFlowLayout) {
  static const ListingCase cases[] = {
      {"if b then a = 1", {"0 jz 4 b", "1 copy/coerce(a, i:1)", "4 noop"}},
      {"if b then a = 1 else a = 2",
       {"0 jz 5 b", "1 copy/coerce(a, i:1)", "4 jump 9", "5 noop", "6 copy/coerce(a, i:2)", "9 noop"}},
      {"while a < 3 a = a + 1",
       {"0 noop", "1 less-than(t1:b, a, i:3)", "5 jz 14 t1:b", "6 add integer(t2:i, a, i:1)",
        "10 copy/coerce(a, t2:i)", "13 jump 0", "14 noop"}},
      {"return a + 1", {"0 add integer(t1:i, a, i:1)", "4 copy/coerce(result, t1:i)", "7 exit"}},
      {"goto skip; x = 1; skip: a = 2",
       {"0 jump 4", "1 copy/coerce(x, i:1)", "4 noop", "5 copy/coerce(a, i:2)"}},
      {"back: goto back", {"0 noop", "1 jump 0"}},
      {"call count(1)", {"0 count(t1:i, i:1)"}},
      // The step defaults to a constant 1; the test and check cells are booleans.
      {"for k = 1 to 3 x = x + k",
       {"0 copy/coerce(t1:i, i:1)", "3 copy/coerce(t2:i, i:3)", "6 null check(t3:b, t1:i)",
        "9 null check(t3:b, t2:i)", "12 null check(t3:b, i:1)", "15 noop", "16 copy/coerce(k, t1:i)",
        "19 greater-than(t4:b, i:1, i:0)", "23 jz 30 t4:b", "24 less-than-equal(t4:b, t1:i, t2:i)",
        "28 jz 51 t4:b", "29 jump 35", "30 greater-than-equal(t4:b, t1:i, t2:i)", "34 jz 51 t4:b", "35 noop",
        "36 copy/coerce(t5:r, k)", "39 add real(t6:r, x, t5:r)", "43 copy/coerce(x, t6:r)",
        "46 add integer(t1:i, t1:i, i:1)", "50 jump 15", "51 noop"}},
      {"for k = 1 to 3 step a x = 1",
       {"0 copy/coerce(t1:i, i:1)", "3 copy/coerce(t2:i, i:3)", "6 copy/coerce(t3:i, a)",
        "9 null check(t4:b, t1:i)", "12 null check(t4:b, t2:i)", "15 null check(t4:b, t3:i)", "18 noop",
        "19 copy/coerce(k, t1:i)", "22 greater-than(t5:b, t3:i, i:0)", "26 jz 33 t5:b",
        "27 less-than-equal(t5:b, t1:i, t2:i)", "31 jz 47 t5:b", "32 jump 38",
        "33 greater-than-equal(t5:b, t1:i, t2:i)", "37 jz 47 t5:b", "38 noop", "39 copy/coerce(x, i:1)",
        "42 add integer(t1:i, t1:i, t3:i)", "46 jump 18", "47 noop"}},
  };
  expect_listings(cases, true);
}

TEST(StatementErrors, ReportedAtTheCurrentToken) {
  static const ErrorCase cases[] = {
      {"end", ERR_END_NO_BEGIN, 1, 1, "Found 'End' without 'Begin'"},
      {"a = 1 end", ERR_END_NO_BEGIN, 1, 7, nullptr},
      {"begin a = 1", ERR_BEGIN_NO_END, 1, 12, "Found 'Begin' with no 'End'"},
      {"begin a = 1 ___END_OF_INPUT___ end", ERR_SYMBOL_NOT_FOUND, 1, 13, "Symbol '___END_OF_INPUT___' not found"},
      {"integer y; y = 5; ___END_OF_INPUT___ y = undefined_fn(", ERR_SYMBOL_NOT_FOUND, 1, 19, nullptr},
      {"begin end", ERR_EXPECTED_STATEMENT, 1, 7, "Expected statement"},
      {"if b then 1", ERR_EXPECTED_STATEMENT, 1, 11, nullptr},
      {"if b then (a)", ERR_EXPECTED_STATEMENT, 1, 11, nullptr},
      {"while b integer q", ERR_EXPECTED_STATEMENT, 1, 9, nullptr},
      {"begin integer q end", ERR_EXPECTED_STATEMENT, 1, 7, nullptr},
      {"begin a = 1 end end", ERR_END_NO_BEGIN, 1, 17, nullptr},
      {"else", ERR_UNEXPECTED_VALUE, 1, 1, nullptr},
      {"if b then a = 1 else else a = 2", ERR_MISSING_STATEMENT, 1, 22,
       "Missing statement, or 'else' without 'if'"},
      {"begin else end", ERR_MISSING_STATEMENT, 1, 7, nullptr},
      {"for 5 = 1 to 2 a = 1", ERR_NOT_SYMBOL, 1, 5, "Can't assign a value to a non-symbol"},
      {"for nosuch = 1 to 2 a = 1", ERR_SYMBOL_NOT_FOUND, 1, 5, "Symbol 'nosuch' not found"},
      {"nosuch = 1", ERR_SYMBOL_NOT_FOUND, 1, 1, nullptr},
      {"ro = 2", ERR_READ_ONLY, 1, 1, "Symbol 'ro' is read-only"},
      {"RO = 2", ERR_READ_ONLY, 1, 1, "Symbol 'ro' is read-only"},
      {"for ro = 1 to 2 a = 1", ERR_READ_ONLY, 1, 5, nullptr},
      {"call 5", ERR_UNKNOWN_FUNCTION, 1, 6, "Invalid/unknown function"},
      {"call (add2(1, 2))", ERR_UNKNOWN_FUNCTION, 1, 6, nullptr},
      {"call add2", ERR_PARENTHESIS, 1, 10, nullptr},
      {"call add2 1, 2", ERR_PARENTHESIS, 1, 11, nullptr},
      {"call nosuch()", ERR_FUNC_NOT_FOUND, 1, 6, nullptr},
      {"l1: a = 1; L1: a = 2", ERR_DUPLICATE_LABEL, 1, 12, "Duplicate label 'L1' found"},
      {"été: a = 1; ÉTÉ: a = 2", ERR_DUPLICATE_LABEL, 1, 13, "Duplicate label 'ÉTÉ' found"},
      {"return", ERR_INCOMPLETE, 1, 7, nullptr},
      {"a = 1 if", ERR_INCOMPLETE, 1, 9, nullptr},
      {"for k = 1 to", ERR_INCOMPLETE, 1, 13, nullptr},
  };
  expect_errors(cases);
}

// A missing label is found after parsing, when no token is current any more.
TEST(StatementErrors, MissingLabelsAreReportedWithoutPosition) {
  static const ErrorCase cases[] = {
      {"goto nowhere", ERR_LABEL_NOT_FOUND, 0, 0, "Label 'nowhere' not found"},
      {"goto one; goto two; one:", ERR_LABEL_NOT_FOUND, 0, 0, "Label 'two' not found"},
      {"goto two; goto one", ERR_LABEL_NOT_FOUND, 0, 0, "Label 'one' not found"},
      {"goto 10", ERR_LABEL_NOT_FOUND, 0, 0, "Label '10' not found"},
      {"goto 'x y'", ERR_LABEL_NOT_FOUND, 0, 0, "Label 'x y' not found"},
  };
  expect_errors(cases);
}

TEST(StatementErrors, GotoLabelLongerThanANameIsRefused) {
  EnginePtr e = standard_engine();
  std::string text = "goto '" + std::string(65, 'x') + "'";
  Compiled c(e.get(), text);
  EXPECT_EQ(c.rc, ERR_COMPILE);
  EXPECT_EQ(c.message, "Compilation error: a goto label is longer than 64 bytes");
  EXPECT_EQ(c.line, 1);
  EXPECT_EQ(c.column, 6);
  // 64 bytes is a name like any other.
  Compiled ok(e.get(), "goto '" + std::string(64, 'x') + "'");
  EXPECT_EQ(ok.rc, ERR_LABEL_NOT_FOUND);
}

// ---- declarations -----------------------------------------------------------------------------------

struct DeclarationCase {
  const char *text;
  int flags;              // exp_make_pcode flags
  const char *name;       // the declared symbol
  bool global;            // in the engine's table (else in the program's locals)
  int type;
  uint32_t cell_flags;    // EXP_STATIC, EXP_HIDDEN, EXP_BYTES, EXP_LOCAL
  uint32_t limit;
};

TEST(Declarations, TypeLengthFlagsAndPlace) {
  static const DeclarationCase cases[] = {
      {"integer q", 0, "q", true, EXP_INTEGER, 0, 0},
      {"boolean q", 0, "q", true, EXP_BOOLEAN, 0, 0},
      {"real q", 0, "q", true, EXP_REAL, 0, 0},
      {"date q", 0, "q", true, EXP_DATE, 0, 0},
      {"pointer q", 0, "q", true, EXP_POINTER, 0, 0},
      {"string q", 0, "q", true, EXP_STRING, 0, 255},
      {"string(12) q", 0, "q", true, EXP_STRING, 0, 12},
      {"string(10 bytes) q", 0, "q", true, EXP_STRING, EXP_BYTES, 10},
      {"STRING(10 BYTES) Q", 0, "Q", true, EXP_STRING, EXP_BYTES, 10},
      {"static integer q", 0, "q", true, EXP_INTEGER, EXP_STATIC, 0},
      {"global integer q", 0, "q", true, EXP_INTEGER, EXP_STATIC, 0},
      {"hidden integer q", 0, "q", true, EXP_INTEGER, EXP_HIDDEN, 0},
      {"public visible integer q", 0, "q", true, EXP_INTEGER, 0, 0},
      {"static static hidden integer q", 0, "q", true, EXP_INTEGER, EXP_STATIC | EXP_HIDDEN, 0},
      {"private integer q", 0, "q", false, EXP_INTEGER, EXP_LOCAL, 0},
      {"private static string(3) q", 0, "q", false, EXP_STRING, EXP_LOCAL | EXP_STATIC, 3},
      {"integer q", EXP_MAKE_STATIC, "q", true, EXP_INTEGER, EXP_STATIC, 0},
      {"integer q", EXP_MAKE_PRIVATE, "q", false, EXP_INTEGER, EXP_LOCAL, 0},
      {"public integer q", EXP_MAKE_PRIVATE, "q", true, EXP_INTEGER, 0, 0},
      {"global integer q", EXP_MAKE_PRIVATE, "q", true, EXP_INTEGER, EXP_STATIC, 0},
      {"integer q", EXP_MAKE_PRIVATE | EXP_MAKE_STATIC, "q", false, EXP_INTEGER, EXP_LOCAL | EXP_STATIC, 0},
      {"widget q", 0, "q", true, EXP_OBJECT, 0, 0},
      {"`my var` integer `x y`", 0, "x y", true, EXP_INTEGER, 0, 0},
  };
  for (const DeclarationCase &d : cases) {
    SCOPED_TRACE(d.text);
    EnginePtr e = testutil::make_engine();
    exp_class *widget = nullptr;
    ASSERT_EQ(exp_register_class(e.get(), "widget", "", nullptr, &widget), 0);
    exp_symval *my_var = nullptr;
    ASSERT_EQ(exp_add_symbol(e.get(), "my var", EXP_INTEGER, 0, 0, &my_var), 0);
    int before = exp_symbol_count(e.get());
    Compiled c(e.get(), d.text, EXP_INTEGER, 0, d.flags);
    ASSERT_EQ(c.rc, 0) << c.message;
    exp_sym *local = sym_find_local(c.p, d.name);
    exp_sym *global = symlist_find(e->symbols, d.name);
    ASSERT_EQ(global != nullptr, d.global);
    ASSERT_EQ(local != nullptr, !d.global);
    const exp_symval *cell = d.global ? &global->cell : &local->cell;
    EXPECT_EQ(EXP_TYPE(cell), d.type);
    EXPECT_EQ(cell->flags & (EXP_STATIC | EXP_HIDDEN | EXP_BYTES | EXP_LOCAL | EXP_READONLY | EXP_HOSTSYM),
              d.cell_flags);
    EXPECT_TRUE(EXP_IS_NULL(cell));
    EXPECT_EQ(cell->len, d.limit);
    EXPECT_EQ(cell->cls, d.type == EXP_OBJECT ? widget : nullptr);
    // A program's global declarations leave the engine with the program.
    exp_free_pcode(e.get(), c.p);
    c.p = nullptr;
    EXPECT_EQ(exp_symbol_count(e.get()), before);
  }
}

TEST(Declarations, ArraysUseTheElementTypesArrayClass) {
  EnginePtr e = testutil::make_engine();
  exp_class *cls = exp_get_class_by_name(e.get(), "integer_array");
  if (!cls) GTEST_SKIP() << "the array classes are not registered yet";
  Compiled c(e.get(), "integer array q; private string array w");
  ASSERT_EQ(c.rc, 0) << c.message;
  exp_symval *q = exp_symbol_get_by_name(e.get(), "q");
  ASSERT_NE(q, nullptr);
  EXPECT_EQ(EXP_TYPE(q), EXP_OBJECT);
  EXPECT_EQ(q->cls, cls);
  exp_sym *w = sym_find_local(c.p, "w");
  ASSERT_NE(w, nullptr);
  EXPECT_EQ(w->cell.cls, exp_get_class_by_name(e.get(), "string_array"));
}

TEST(Declarations, DeclaredSymbolsAreUsable) {
  static const RunCase cases[] = {
      {"private integer q; q = 3; q * 2", "", "-> i:6"},
      {"private integer Straße; STRASSE = 3; straße * 2", "", "-> i:6"},
      {"integer q q = 4 q + 1", "", "-> i:5"},
      {"real q; q = 1.5; q * 2", "", "-> i:3"},
      {"string(3) q; q = 'abcdef'; a = q", "a", "a=null -> null"},
      {"string(3) q; q = '12345'; a = q", "a", "a=i:123 -> null"},
  };
  expect_runs(cases);
}

TEST(Declarations, Errors) {
  static const ErrorCase cases[] = {
      {"global private integer g", ERR_DECLARATION, 1, 16, "Invalid declaration"},
      {"public private integer g", ERR_DECLARATION, 1, 16, nullptr},
      {"hidden visible integer h", ERR_DECLARATION, 1, 16, nullptr},
      {"integer(5) q", ERR_DECLARATION, 1, 8, nullptr},
      {"string(x) q", ERR_DECLARATION, 1, 8, nullptr},
      {"string(5 q", ERR_DECLARATION, 1, 10, nullptr},
      {"string(5 bytes q", ERR_DECLARATION, 1, 16, nullptr},
      {"string(1.5) q", ERR_DECLARATION, 1, 8, nullptr},
      {"pointer array q", ERR_DECLARATION, 1, 9, nullptr},
      {"widget array q", ERR_DECLARATION, 1, 8, nullptr},
      {"integer 5", ERR_DECLARATION, 1, 9, nullptr},
      {"integer", ERR_DECLARATION, 1, 8, nullptr},
      {"static 5", ERR_DECLARATION, 1, 8, nullptr},
      {"public a = 1", ERR_DECLARATION, 1, 8, nullptr},
      {"string(0) q", ERR_ZERO_LENGTH, 1, 11, "Zero length strings are not allowed"},
      {"string(-1) q", ERR_DECLARATION, 1, 8, nullptr},
      {"string(4294967296) q", ERR_ZERO_LENGTH, 1, 20, nullptr},
      {"integer a", ERR_DUPLICATE_SYMBOL, 1, 9, "Duplicate symbol 'a' found"},
      {"integer A", ERR_DUPLICATE_SYMBOL, 1, 9, "Duplicate symbol 'A' found"},
      {"private real a", ERR_DUPLICATE_SYMBOL, 1, 14, nullptr},
      {"private real été; private integer ÉTÉ", ERR_DUPLICATE_SYMBOL, 1, 35, nullptr},
      {"private integer q; integer q", ERR_DUPLICATE_SYMBOL, 1, 28, nullptr},
      {"integer q; private integer q", ERR_DUPLICATE_SYMBOL, 1, 28, nullptr},
      {"q = 1; integer q", ERR_SYMBOL_NOT_FOUND, 1, 1, nullptr},
  };
  expect_errors(cases);
}

TEST(Declarations, PrivateNamesPerProgramPublicNamesPerEngine) {
  EnginePtr e = testutil::make_engine();
  Compiled one(e.get(), "private integer a");
  Compiled two(e.get(), "private integer a");
  EXPECT_EQ(one.rc, 0);
  EXPECT_EQ(two.rc, 0);
  {
    Compiled pub(e.get(), "public integer b");
    ASSERT_EQ(pub.rc, 0);
    Compiled again(e.get(), "private integer b");
    EXPECT_EQ(again.rc, ERR_DUPLICATE_SYMBOL);
    Compiled again_public(e.get(), "integer b");
    EXPECT_EQ(again_public.rc, ERR_DUPLICATE_SYMBOL);
  }
  // The declaring program is freed: the name is free again.
  Compiled later(e.get(), "private integer b");
  EXPECT_EQ(later.rc, 0);
  // A public name hides nothing that a program already declared privately.
  Compiled pub_a(e.get(), "public integer a");
  EXPECT_EQ(pub_a.rc, 0);
}

int stop_at_third_question(exp_engine *e) {
  int *asked = static_cast<int *>(exp_get_callback_data(e));
  return ++*asked >= 3;
}

// A long text takes a while to compile: the interrupt handler is asked as the tokens go by and
// stops the compile when it answers so.
TEST(CompilerWork, TheInterruptHandlerStopsALongCompile) {
  std::string text;
  for (int i = 0; i < 20'000; ++i) text += "l" + std::to_string(i) + ": goto l" + std::to_string(i + 1) + "\n";
  text += "l20000: 1";
  EnginePtr e = testutil::make_engine();
  int asked = 0;
  exp_set_callback_data(e.get(), &asked);
  exp_set_interrupt_hndlr(e.get(), stop_at_third_question);
  exp_pcode *p = nullptr;
  EXPECT_EQ(exp_make_pcode(e.get(), text.c_str(), &p, EXP_INTEGER, 0, 0, nullptr), ERR_INTERRUPT);
  EXPECT_EQ(asked, 3);
  EXPECT_EQ(p, nullptr);
  exp_set_interrupt_hndlr(e.get(), nullptr);
  ASSERT_EQ(exp_make_pcode(e.get(), text.c_str(), &p, EXP_INTEGER, 0, 0, nullptr), 0);
  exp_free_pcode(e.get(), p);
}

}  // namespace

namespace {

// The position table keeps runs of equal positions: after random appends, gaps filled with
// {0, 0} and cuts, every index must read back what a plain per-instruction list holds.
TEST(CompilerPositions, RunsReadBackAsAListOfPositions) {
  std::mt19937 random(7);
  PositionTable table;
  std::vector<exp_srcpos> plain;
  auto check = [&] {
    ASSERT_EQ(table.size(), plain.size());
    for (size_t i = 0; i < plain.size(); ++i) {
      const exp_srcpos got = table[i];
      ASSERT_TRUE(got == plain[i]) << "instruction " << i;
    }
  };
  for (int round = 0; round < 200; ++round) {
    switch (random() % 8) {
      case 0: {  // a gap, as emit fills it
        const size_t n = plain.size() + random() % 3;
        table.resize(n, exp_srcpos{0, 0});
        plain.resize(n, exp_srcpos{0, 0});
        break;
      }
      case 1: {  // a cut
        const size_t n = plain.empty() ? 0 : random() % plain.size();
        table.resize(n, exp_srcpos{0, 0});
        plain.resize(n);
        break;
      }
      default:
        for (int k = static_cast<int>(random() % 5); k >= 0; --k) {
          const exp_srcpos pos{static_cast<int32_t>(random() % 3), static_cast<int32_t>(random() % 2)};
          table.push_back(pos);
          plain.push_back(pos);
        }
    }
    check();
  }
}

}  // namespace
