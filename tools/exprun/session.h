// One engine with the input columns bound as symbols and the program compiled: runs records.
#pragma once

#include <chrono>
#include <functional>
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
  exp_symval *cell = nullptr;  // null for the result
  bool is_result = false;
  int column = -1;             // the input column it writes, or -1
};

// What one record came to.
enum class Outcome { Ok, Filtered, InputError, RunError, ReadError };

class Session {
 public:
  ~Session();
  // Makes the engine, binds `columns` with `types` and compiles the program. Notices about the
  // program (compile-time warnings) are appended to *notices.
  static std::unique_ptr<Session> open(const Options &o, const std::vector<std::string> &columns,
                                       const std::vector<int> &types, Failure *f, std::vector<std::string> *notices);
  // A worker: a clone of the engine with the same columns and a copy of the program.
  std::unique_ptr<Session> clone(Failure *f) const;
  // Chooses the output columns (inputs + result + the program's own variables, or --output and
  // --exclude). A name used twice is refused; a result named like a column is renamed (notice).
  bool choose_outputs(const Options &o, std::string *error, std::vector<std::string> *notices);

  // Binds the record and runs the program. An input error (a value that does not convert or
  // cannot be carried whole) is described in f->message with the column and the text.
  Outcome run(const Record &r, Failure *f);
  // Makes the output of the last record: input columns as read unless the program changed them,
  // the others from their cells; with `null_result` the result and variables are null (and after
  // an input error the program did not run, so every input column is as read).
  void read_outputs(const Record &r, bool null_result, bool input_error);
  // The output of the last read_outputs (views valid until the next record).
  const std::vector<std::string_view> &values() const { return values_; }
  const std::vector<RecordWriter::Kind> &kinds() const { return kinds_; }
  const std::vector<OutputColumn> &outputs() const { return outputs_; }
  exp_pcode *program() const { return program_; }
  exp_engine *engine() const { return engine_; }
  // Whether the program keeps state from one record to the next (static variables, or built-ins
  // whose effects depend on the order of records), so that it must run on one worker; *why says
  // what was found.
  bool keeps_state(std::string *why) const;

 private:
  // What a bound cell held right after binding, to tell whether the program changed it.
  struct Snapshot {
    uint32_t flags = 0;
    decltype(exp_symval::value) value{};
  };
  Session() = default;
  bool configure(Failure *f);
  bool bind(const std::vector<std::string> &columns, const std::vector<int> &types, Failure *f);
  bool set_field(size_t i, const Record &r, std::string *why);
  bool unchanged(size_t i, const Record &r) const;
  RecordWriter::Kind kind_as_read(size_t ci, const Record &r) const;
  void format_cell(size_t i, const exp_symval *c, bool with_time);
  static int interrupt(exp_engine *e);

  const Options *options_ = nullptr;
  exp_engine *engine_ = nullptr;
  exp_pcode *program_ = nullptr;
  exp_symval *result_ = nullptr;
  std::vector<std::string> column_names_;
  std::vector<int> column_types_;
  std::vector<exp_symval *> cells_;
  std::vector<Snapshot> snapshots_;
  std::vector<OutputColumn> outputs_;
  std::vector<std::string> text_;
  std::vector<std::string_view> values_;
  std::vector<RecordWriter::Kind> kinds_;
  std::chrono::steady_clock::time_point deadline_{};
  bool timed_out_ = false;
};

// A new engine that reads the user's settings file only when --settings asks for it, so a
// program means the same whoever runs it. None when memory runs out.
exp_engine *new_engine(const Options &o);
// Applies exprun's settings to an engine: ISO dates inside programs, child output to standard
// error, the allowed capabilities and limits, and exprun's own functions. Returns 0 or the error.
int setup_engine(exp_engine *e, const Options &o);
// Compiles the program in an engine of its own, with every name it uses but does not declare
// bound as a column (typed by --field, else string), and hands the program to `use`. False with
// *f when it does not compile.
bool compile_alone(const Options &o, const std::function<void(exp_engine *, exp_pcode *)> &use, Failure *f);
// Reports the compile or run failure of an engine into *f.
void read_failure(exp_engine *e, int code, Failure *f);
// Classifies sample values of each column and returns type codes: numbers are real unless
// `integers` lets whole-number columns be integer.
std::vector<int> infer_types(const std::vector<std::string> &columns, const std::vector<Record> &sample, bool integers);
// Set by the signal handlers; every run checks it through the interrupt handler.
bool stop_requested();
void request_stop();
