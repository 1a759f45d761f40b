// One compiled program in its own engine: the fields bound as symbols, the settings applied,
// the host functions registered. Runs one record from a dict or a whole batch of columns.
#pragma once

#include <pybind11/pybind11.h>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "columns.h"
#include "expression.h"
#include "host_functions.h"
#include "values.h"

namespace pyexp {

struct Settings {
  bool iso_dates = false;
  bool escaped_strings = false;
  unsigned capabilities = EXP_CAP_ALL;
  std::vector<std::pair<int, int64_t>> limits;  // EXP_LIMIT_* and its value
  bool user_settings = false;  // read the user's settings file (off: rules mean the same for everyone)
};

enum class OnError { Raise, Null, Skip };

struct Symbol {
  std::string name;
  int type = 0;
  exp_symval *cell = nullptr;
  py::str key;         // the name as a Python str, made once for dict lookups
  std::string label;   // "field 'name'", for messages
};

class Program {
 public:
  // Makes the engine and compiles `text`; raises CompileError when it does not compile.
  Program(const std::string &text, const std::vector<std::pair<std::string, int>> &fields, int result_type,
          const Settings &settings, const std::vector<HostFunction> &functions);
  ~Program();
  Program(const Program &) = delete;
  Program &operator=(const Program &) = delete;

  // Runs once with the fields taken from `record`; returns (result, {variable: value}).
  py::tuple run(const py::dict &record);
  // Runs once per row over columns given as (kind, data, mask), one per field in field order.
  // Returns {"columns": [...], "rows": kept row positions or None, "errors": [...], "error_count": n}.
  py::dict run_columns(const py::list &columns, size_t rows, OnError on_error);
  // Stops the run in progress (any thread); a batch stops as a whole.
  void cancel();
  // The program's declared variables that a host can read, as (name, type name).
  std::vector<std::pair<std::string, std::string>> variables() const;

 private:
  class Lock;
  struct Failure {
    size_t row = 0;
    int code = 0;
    std::string message;
    int line = 0, column = 0;
  };

  void release();
  void bind_fields(const std::vector<std::pair<std::string, int>> &fields);
  void apply(const Settings &s);
  Failure failure(int rc, size_t row) const;
  [[noreturn]] void raise_run_error(const Failure &f, bool with_row);
  // What a batch's rows came to: kept positions (skip), failures passed over, the one that stopped it.
  struct Outcome {
    std::vector<int64_t> kept;
    std::vector<Failure> failures;
    size_t failure_count = 0;
    Failure stop;
  };
  bool run_rows(const std::vector<InputColumn> &in, std::vector<OutputColumn> &out, size_t count, size_t first_row,
                OnError on_error, Outcome &outcome);

  PyTypes types_;
  HostFunctions host_;
  exp_engine *engine_ = nullptr;
  exp_pcode *program_ = nullptr;
  int result_type_;
  std::vector<Symbol> fields_;
  std::vector<Symbol> variables_;
  std::mutex mutex_;
  std::atomic<std::thread::id> owner_{};
  std::atomic<bool> cancelled_{false};
};

}  // namespace pyexp
