// One engine with the input columns bound as symbols and the program compiled: runs records.
#pragma once

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "expression.h"
#include "options.h"
#include "records.h"

// Where and why compiling or running stopped.
struct Failure {
  int code = 0;
  std::string message;
  int line = 0, column = 0;
};

struct OutputColumn {
  std::string name;
  exp_symval *cell = nullptr;  // null for the result until the first run
  bool is_result = false;
};

class Session {
 public:
  ~Session();
  // Makes the engine, binds `columns` with `types` and compiles the program.
  static std::unique_ptr<Session> open(const Options &o, const std::vector<std::string> &columns,
                                       const std::vector<int> &types, Failure *f);
  // A worker: a clone of the engine with the same columns and a copy of the program.
  std::unique_ptr<Session> clone(Failure *f) const;
  // Chooses the output columns (inputs + result + the program's own variables, or --output).
  bool choose_outputs(const Options &o, std::string *error);

  // Binds the record, runs the program and reads the output values. Returns 0 or the error.
  int run(const Record &r, Failure *f);
  // The output of the last run (views valid until the next run).
  const std::vector<std::string_view> &values() const { return values_; }
  const std::vector<RecordWriter::Kind> &kinds() const { return kinds_; }
  // Output with the result written as null (for --on-error null).
  void null_result();
  const std::vector<OutputColumn> &outputs() const { return outputs_; }
  exp_pcode *program() const { return program_; }
  exp_engine *engine() const { return engine_; }

 private:
  Session() = default;
  bool bind(const std::vector<std::string> &columns, const std::vector<int> &types, Failure *f);
  void set_field(size_t i, const Record &r);
  void read_outputs();
  static int interrupt(exp_engine *e);

  const Options *options_ = nullptr;
  exp_engine *engine_ = nullptr;
  exp_pcode *program_ = nullptr;
  exp_symval *result_ = nullptr;
  std::vector<std::string> column_names_;
  std::vector<int> column_types_;
  std::vector<exp_symval *> cells_;
  std::vector<OutputColumn> outputs_;
  std::vector<std::string> text_;
  std::vector<std::string_view> values_;
  std::vector<RecordWriter::Kind> kinds_;
  std::chrono::steady_clock::time_point deadline_{};
};

// Reports the compile or run failure of an engine into *f.
void read_failure(exp_engine *e, int code, Failure *f);
// Classifies sample values of each column (determine_type) and returns type codes.
std::vector<int> infer_types(const std::vector<std::string> &columns, const std::vector<Record> &sample);
// Set by the SIGINT handler; every run checks it through the interrupt handler.
bool stop_requested();
void request_stop();
