// Functions that write into variables or read them indirectly: parse splits text into the
// caller's variables, vareval and varset reach a variable by its name, and the parameter
// functions read the arguments of the user-defined function being run.
#include <cstring>
#include <memory>
#include <new>

#include "builtins/cells.h"
#include "builtins/types_family.h"
#include "convert.h"
#include "engine.h"
#include "errors.h"
#include "program.h"
#include "symbols.h"
#include "support/uchar.h"
#include "values.h"

using namespace builtin_cells;

namespace {

// The buffer size the character layer needs to copy at most `bytes` bytes (it counts in int and
// keeps one byte for the terminator).
int copy_size(size_t bytes) { return bytes >= INT32_MAX ? INT32_MAX : static_cast<int>(bytes) + 1; }

// ---- parse -----------------------------------------------------------------------------------------

// A text the function holds for the length of one call: either the argument's own buffer or,
// when an output of the same call will overwrite that buffer, a private copy.
class HeldText {
 public:
  // False when the copy cannot be allocated.
  bool hold(const exp_symval *arg, bool copy) {
    text_ = text_of(arg);
    if (!copy) return true;
    size_t n = std::strlen(text_) + 1;
    copy_.reset(new (std::nothrow) char[n]);
    if (!copy_) return false;
    std::memcpy(copy_.get(), text_, n);
    text_ = copy_.get();
    return true;
  }
  const char *get() const { return text_; }

 private:
  const char *text_ = "";
  std::unique_ptr<char[]> copy_;
};

// True when one of the outputs is the cell `arg` itself.
bool is_output(const exp_symval *arg, int count, exp_symval **outputs) {
  for (int i = 0; i < count; ++i)
    if (outputs[i] == arg) return true;
  return false;
}

// Stores the `n` bytes of one token into the caller's variables.
class TokenSink {
 public:
  TokenSink(exp_engine *e, int count, exp_symval **outputs, size_t max_token)
      : e_(e), count_(count), outputs_(outputs), max_token_(max_token) {}
  ~TokenSink() { symval_clear(&temp_); }
  TokenSink(const TokenSink &) = delete;
  TokenSink &operator=(const TokenSink &) = delete;

  // Stores token `index` (when there is an output for it). Returns 0 or error 1.
  int store(int index, const char *token, size_t n) {
    if (index >= count_) return 0;
    exp_symval *out = outputs_[index];
    if (symval_type(out) == EXP_STRING) {
      store_string(out, token, n);
      return 0;
    }
    if (!temp_ready_ && symval_init(&temp_, EXP_STRING, limit_for(max_token_), 0, nullptr) != 0)
      return engine_error(e_, ERR_MEMORY);
    temp_ready_ = true;
    symval_set_bytes(&temp_, token, n);
    symval_convert(&temp_, out, e_);
    return 0;
  }

 private:
  // A string output takes whole characters up to its limit, so no variable ever holds more
  // than it was declared for.
  static void store_string(exp_symval *out, const char *token, size_t n) {
    if (!out->value.s) return exp_symval_setnull(out);
    size_t room = symval_text_room(out);
    symval_clear_null_flag(out);
    np_uchar_bufncopy(token, out->value.s, copy_size(n < room ? n : room), out->len);
    symval_note_cut(out, std::strlen(out->value.s) < n);
  }
  // The temporary holds any token of the input: one character per byte is always enough.
  static int limit_for(size_t bytes) {
    return bytes < 1 ? 1 : (bytes > INT32_MAX / 4 ? INT32_MAX / 4 : static_cast<int>(bytes));
  }

  exp_engine *e_;
  int count_;
  exp_symval **outputs_;
  size_t max_token_;
  exp_symval temp_{};
  bool temp_ready_ = false;
};

// Splits `input` at every full occurrence of `delimiter`, handing each token to `sink`.
// Returns the number of tokens in `*tokens`, and 0 or the sink's error.
int split(const char *input, const char *delimiter, TokenSink &sink, int64_t *tokens) {
  size_t length = std::strlen(input), width = std::strlen(delimiter);
  size_t start = 0, i = 0;
  int64_t count = 0;
  while (i + width <= length) {
    if (std::memcmp(input + i, delimiter, width) != 0) {
      ++i;
      continue;
    }
    if (int rc = sink.store(static_cast<int>(count < INT32_MAX ? count : INT32_MAX), input + start, i - start))
      return rc;
    ++count;
    i += width;
    start = i;
  }
  int rc = sink.store(static_cast<int>(count < INT32_MAX ? count : INT32_MAX), input + start, length - start);
  *tokens = count + 1;
  return rc;
}

// ---- variables by name -----------------------------------------------------------------------------

// A variable by name, without regard to case, in the engine's symbol table only: a program's
// private declarations stay private to it. Temporaries and constants have no name, so an empty
// name finds nothing.
exp_sym *find_variable(exp_engine *e, const char *name) {
  if (!name || !*name) return nullptr;
  return symlist_find(e->symbols, name);
}

// Makes a string result wide enough for a string source's text. 0, error 109 for a text past
// the STRING limit, or error 1.
int fit_result(exp_engine *e, exp_symval *result, const exp_symval *source) {
  if (symval_type(result) != EXP_STRING || symval_type(source) != EXP_STRING) return 0;
  if (symval_is_null(source) || !source->value.s || source->len <= result->len) return 0;
  if (int rc = limit_check_text(e, source->value.s)) return rc;
  const int64_t chars = np_uchar_length(source->value.s);
  return chars <= static_cast<int64_t>(result->len) ? 0 : limit_resize_string(e, result, chars, RESIZE_KEEP);
}

// ---- parameters ------------------------------------------------------------------------------------

// The 1-based parameter `n` of the running user-defined function, or none.
exp_symval *parameter_at(const exp_engine *e, const exp_symval *n) {
  if (symval_is_null(n) || !e->params) return nullptr;
  int64_t index = n->value.i;
  if (index < 1 || index > e->param_count) return nullptr;
  return e->params[index - 1];
}

}  // namespace

// Outputs are nulled first (except with an empty delimiter, which stores the whole input in the
// first output only). The input and delimiter are copied when an output is the same variable,
// so writing the tokens cannot change the text being split.
int fn_parse(exp_engine *e, exp_symval *result, int argc, exp_symval **argv) {
  if (symval_is_null(argv[0]) || symval_is_null(argv[1])) {
    exp_symval_setnull(result);
    return 0;
  }
  int count = argc - 2;
  exp_symval **outputs = argv + 2;
  for (int i = 0; i < count; ++i)
    if (int rc = check_writable(e, outputs[i])) return rc;
  HeldText input, delimiter;
  if (!input.hold(argv[0], is_output(argv[0], count, outputs)) ||
      !delimiter.hold(argv[1], is_output(argv[1], count, outputs)))
    return engine_error(e, ERR_MEMORY);
  if (!*delimiter.get()) {
    if (count > 0) exp_symval_setstr(outputs[0], input.get());
    exp_symval_setint(result, 1);
    return 0;
  }
  for (int i = 0; i < count; ++i) exp_symval_setnull(outputs[i]);
  if (!*input.get()) {
    exp_symval_setint(result, 0);
    return 0;
  }
  TokenSink sink(e, count, outputs, std::strlen(input.get()));
  int64_t tokens = 0;
  if (int rc = split(input.get(), delimiter.get(), sink, &tokens)) return rc;
  exp_symval_setint(result, tokens);
  return 0;
}

// parameter, parameterstring, parameterinteger, parameterdate, parameterboolean, parameterreal:
// the result cell has the record's type, so one conversion serves all six.
int fn_parameter(exp_engine *e, exp_symval *result, int, exp_symval **argv) {
  exp_symval *p = parameter_at(e, argv[0]);
  if (!p) {
    exp_symval_setnull(result);
    return 0;
  }
  if (int rc = fit_result(e, result, p)) return rc;
  symval_convert(p, result, e);
  return 0;
}

int fn_parametertype(exp_engine *e, exp_symval *result, int, exp_symval **argv) {
  exp_symval *p = parameter_at(e, argv[0]);
  if (!p) exp_symval_setnull(result);
  else exp_symval_setstr(result, type_name(symval_type(p)));
  return 0;
}

int fn_parametercount(exp_engine *e, exp_symval *result, int, exp_symval **) {
  exp_symval_setint(result, e->params ? e->param_count : 0);
  return 0;
}

int fn_vareval(exp_engine *e, exp_symval *result, int argc, exp_symval **argv) {
  exp_sym *s = symval_is_null(argv[0]) ? nullptr : find_variable(e, text_of(argv[0]));
  if (!s) {
    exp_symval_setnull(result);
    return 0;
  }
  if (int rc = fit_result(e, result, &s->cell)) return rc;
  symval_convert(&s->cell, result, e);
  return 0;
}

// The variable keeps its type; the value is converted into it. Read-only marks guard only
// assignments in program text, not this call.
int fn_varset(exp_engine *e, exp_symval *result, int argc, exp_symval **argv) {
  if (symval_is_null(argv[0])) {
    exp_symval_setnull(result);
    return 0;
  }
  exp_sym *s = find_variable(e, text_of(argv[0]));
  if (s) symval_convert(argv[1], &s->cell, e);
  exp_symval_setint(result, s ? 1 : 0);
  return 0;
}
