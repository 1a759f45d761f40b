// Small helpers shared by the test suites: owned cells and engines, hand-built programs,
// decimals from text and cells rendered as text.
#pragma once

#include <initializer_list>
#include <memory>
#include <string>

#include "expression.h"
#include "program.h"
#include "support/decimal.h"
#include "values.h"

namespace testutil {

// A cell owned by the test: initialised with a type, limit, flags and class, set null, and
// cleared (releasing buffers and object references) when it goes out of scope.
class Cell {
 public:
  explicit Cell(int type, int limit = 0, uint32_t flags = 0, exp_class *cls = nullptr);
  ~Cell();
  Cell(const Cell &) = delete;
  Cell &operator=(const Cell &) = delete;
  exp_symval *get() { return &cell_; }
  exp_symval *operator->() { return &cell_; }
  operator exp_symval *() { return &cell_; }

 private:
  exp_symval cell_;
};

struct EngineDeleter {
  void operator()(exp_engine *e) const;
};
using EnginePtr = std::unique_ptr<exp_engine, EngineDeleter>;
// A fresh engine; the test fails when exp_init returns none.
EnginePtr make_engine();

// A decimal from numeric-string text (exact; the test fails on any condition).
decimal192 dec(const char *text);
// The decimal's scientific-string form, as stored (not reduced).
std::string dec_text(const decimal192 &d);
void set_real(exp_symval *c, const char *text);

// A cell as the tests compare it: "null", or "b:1", "i:-7", "r:2.5" (payload as stored),
// "d:2.5", "s:text", "p:set"/"p:none", "o:set"/"o:none".
std::string render(const exp_symval *c);
// The cell converted to a string of limit 255 (engine options apply), or "null".
std::string as_string(const exp_symval *c, exp_engine *e = nullptr);

// The engine's last error message, as exp_error_info reports it.
std::string last_message(exp_engine *e);

// A program built instruction by instruction, with its result and self cells set up as the
// compiler sets them. Counts itself as a live program of `e` while it exists.
class Program {
 public:
  Program(exp_engine *e, int result_type = EXP_INTEGER, int result_len = 0);
  ~Program();
  Program(const Program &) = delete;
  Program &operator=(const Program &) = delete;
  exp_pcode *get() { return p_; }
  exp_pcode *operator->() { return p_; }
  // A new unnamed local (constant or temporary), or a declared local with `flags`.
  exp_symval *local(int type, int limit = 0, uint32_t flags = 0, exp_class *cls = nullptr);
  exp_symval *int_const(int64_t v);
  int emit(int kind, int a = 0, void *b = nullptr);
  // A call instruction with its operand slots; returns the index of the call.
  int call(exp_func_cb fn, exp_symval *result, std::initializer_list<exp_symval *> args);
  int udf_call(exp_pcode *callee, exp_symval *result, std::initializer_list<exp_symval *> args);
  // Sizes the argument vector; call after the last emit.
  void finish();
  int run(exp_symval **result = nullptr);

 private:
  int emit_call(int kind, void *target, exp_symval *result, std::initializer_list<exp_symval *> args);
  exp_engine *e_;
  exp_pcode *p_;
};

}  // namespace testutil
