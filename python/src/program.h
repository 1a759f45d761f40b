// One compiled program in its own engine: the fields bound as symbols, the settings applied,
// the host functions registered. Runs one record from a dict or a whole batch of columns.
#pragma once

#include <pybind11/pybind11.h>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

#include "columns.h"
#include "expression.h"
#include "host_functions.h"
#include "signals.h"
#include "values.h"

namespace pyexp {

struct Settings {
  bool iso_dates = false;
  bool escaped_strings = false;
  bool tz_to_utc = false;
  unsigned capabilities = EXP_CAP_ALL;
  std::vector<std::pair<int, int64_t>> limits;  // EXP_LIMIT_* and its value
  bool user_settings = false;  // read the user's settings file (off: rules mean the same for everyone)
};

enum class OnError { Raise, Null, Skip };

// The longest string result a program may have: its cell takes one character more, so that a
// text that fills the cell was longer than the result's limit.
inline constexpr int kMaxResultLength = EXP_MAX_STRING - 1;

struct Symbol {
  std::string name;
  int type = 0;
  exp_symval *cell = nullptr;
  py::str key;  // the name as a Python str, made once for dict lookups
};

// Why a row gave no output: the program failed, a field's value did not convert, or an output
// value has no form in the output column.
struct Failure {
  enum class Kind { Run, Input, Output };
  Kind kind = Kind::Run;
  static constexpr size_t kNoRow = SIZE_MAX;  // a single run's failure
  size_t row = kNoRow;
  int code = 0;
  std::string message;
  int line = 0, column = 0;
  std::string name;  // the field (input) or the output column (output)
  std::string text;  // the value that did not convert (input)
  // The tuple pyexpression.errors.failure_error builds the exception from.
  py::tuple as_tuple() const;
};

// The line of `source` at `line` with a caret under `column`, as the library lays it out for a
// terminal (two lines, each ending in a line feed), or "" without a position.
std::string excerpt(const std::string &source, int line, int column);

class Program {
 public:
  // Makes the engine and compiles `text`; raises CompileError when it does not compile. A string
  // result longer than `result_length` characters fails its row (never cut); 0 says the result
  // is not output (and so not checked).
  // `result_name` names the result in messages.
  Program(const std::string &text, const std::vector<std::pair<std::string, int>> &fields, int result_type,
          int result_length, std::string result_name, const Settings &settings,
          const std::vector<HostFunction> &functions);
  ~Program();
  Program(const Program &) = delete;
  Program &operator=(const Program &) = delete;

  // Runs once with the fields taken from `record`; returns (result, {variable: value}, cuts), cuts
  // being the (name, limit) of the string variables this run cut to their limit. Raises
  // InputError, RunError or OutputError; KeyboardInterrupt on Ctrl-C.
  py::tuple run(const py::dict &record);
  // Runs once per row over columns given as (kind, data, mask), one per field in field order.
  // Returns {"columns": [...], "rows": kept positions or None, "failures": [...], "failure_count":
  // n, "cuts": [(name, limit, rows)] for the string variables cut in rows that went through,
  // "stop": the failure that ended the batch or None, "cause": its Python exception or None}.
  // `keep_all` keeps every failure, else the first 100. Raises KeyboardInterrupt on Ctrl-C.
  py::dict run_columns(const py::list &columns, size_t rows, OnError on_error, const OutputForm &form, bool keep_all);
  // Stops the run in progress (any thread); a batch stops as a whole.
  void cancel();
  // The program's declared variables that a host can read, as (name, type name).
  std::vector<std::pair<std::string, std::string>> variables() const;
  // The compiler's warnings about the program, as (code, message, line, column).
  std::vector<std::tuple<int, std::string, int, int>> warnings() const;
  // EXP_TRAIT_* of the compiled program.
  unsigned traits() const { return exp_pcode_traits(program_); }

 private:
  class Lock;
  // A string variable of the program whose cuts to its limit are counted.
  struct CutWatch {
    std::string name;
    const exp_symval *cell;
    uint32_t limit;  // characters
  };
  // What a batch's rows came to: kept positions (skip), failures passed over, the one that
  // stopped it, and per watched variable the rows that cut it.
  struct Outcome {
    std::vector<int64_t> kept;
    std::vector<uint64_t> cuts;
    std::vector<Failure> failures;
    size_t failure_count = 0;
    bool keep_all = false;
    bool stopped = false;
    Failure stop;
  };

  void release();
  void bind_fields(const std::vector<std::pair<std::string, int>> &fields);
  void apply(const Settings &s);
  static int on_interrupt(exp_engine *e);
  Failure run_failure(int rc, size_t row) const;
  // The failure of a run that succeeded but whose string result is longer than allowed, or false.
  bool result_too_long(const exp_symval *result, size_t row, Failure *f) const;
  // Captures the outputs of a run that succeeded; false, with the failure in *f and nothing
  // captured, when a value has no form in its column.
  bool capture_outputs(const exp_symval *result, std::vector<OutputColumn> &out, size_t row, Failure *f) const;
  [[noreturn]] void raise_failure(const Failure &f);
  bool run_rows(const std::vector<InputColumn> &in, std::vector<OutputColumn> &out, size_t count, size_t first_row,
                OnError on_error, Outcome &outcome);

  PyTypes types_;
  HostFunctions host_;
  SignalWatch signals_;
  EngineHooks hooks_;
  exp_engine *engine_ = nullptr;
  exp_pcode *program_ = nullptr;
  int result_type_;
  size_t result_length_ = 0;  // characters a string result may have; 0 for other results
  std::string result_name_;
  std::vector<Symbol> fields_;
  std::vector<Symbol> variables_;
  std::vector<CutWatch> cut_watches_;  // every string variable the program declares, hidden ones too
  std::mutex mutex_;
  std::atomic<std::thread::id> owner_{};
  std::atomic<bool> cancelled_{false};
};

}  // namespace pyexp
