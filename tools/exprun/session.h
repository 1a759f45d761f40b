// One engine with the input columns bound as symbols and the program compiled: runs records.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "expression.h"
#include "host_functions.h"
#include "options.h"
#include "records.h"

// Where and why compiling or running stopped.
struct Failure {
  Failure(int code_ = 0, std::string message_ = {}, int line_ = 0, int column_ = 0)
      : code(code_), message(std::move(message_)), line(line_), column(column_) {}
  int code;
  std::string message;
  int line, column;
  std::string file, text;  // the --function file that failed to compile (empty: the program)
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
  Outcome run(const Record &r, Failure *f) { return run_program(program_, r, f); }
  // Binds the record (the keys of a group) and runs the --end program.
  Outcome run_end(const Record &r, Failure *f) { return run_program(end_program_, r, f); }
  // Replaces the output columns (a group's keys and variables).
  void set_outputs(std::vector<OutputColumn> outputs);
  // The index of the first global symbol the --end program declared (symbols from there on are
  // its variables).
  int end_symbols_from() const { return end_symbols_from_; }
  HostState *host_state() { return &host_state_; }
  // Makes the output of the last record: input columns as read unless the program changed them,
  // the others from their cells; with `null_result` the result and variables are null (and after
  // an input error the program did not run, so every input column is as read).
  void read_outputs(const Record &r, bool null_result, bool input_error);
  // The output of the last read_outputs (views valid until the next record).
  const std::vector<std::string_view> &values() const { return values_; }
  const std::vector<RecordWriter::Kind> &kinds() const { return kinds_; }
  const std::vector<OutputColumn> &outputs() const { return outputs_; }
  exp_pcode *program() const { return program_; }
  // The programs of the --function files, in their order.
  const std::vector<exp_pcode *> &functions() const { return functions_; }
  // The result cell of the last run that succeeded (none before).
  const exp_symval *result() const { return result_; }
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
  bool compile_end(Failure *f);
  Outcome run_program(exp_pcode *p, const Record &r, Failure *f);
  bool set_field(size_t i, const Record &r, std::string *why);
  bool unchanged(size_t i, const Record &r) const;
  RecordWriter::Kind kind_as_read(size_t ci, const Record &r) const;
  void format_cell(size_t i, const exp_symval *c, bool with_time);
  static int interrupt(exp_engine *e);

  const Options *options_ = nullptr;
  exp_engine *engine_ = nullptr;
  exp_pcode *program_ = nullptr;
  exp_pcode *end_program_ = nullptr;  // --end, compiled after the program
  int end_symbols_from_ = 0;
  HostState host_state_;
  std::vector<exp_pcode *> functions_;
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

// Applies exprun's settings to an engine: ISO dates inside programs, child output to standard
// error, the allowed capabilities and limits, exprun's own functions, and the columns --output
// names (so that the compiler knows what is read). Returns 0 or the error.
int setup_engine(exp_engine *e, const Options &o);
// Compiles the program (after the --function files) in an engine of its own, with every name it
// uses but does not declare bound as a column (typed by --field, else string), and hands the
// program to `use`. False with *f when it does not compile.
// `use` also gets the programs of the --function files.
using CompiledUse = std::function<void(exp_engine *, exp_pcode *, const std::vector<exp_pcode *> &functions)>;
bool compile_alone(const Options &o, const CompiledUse &use, Failure *f);
// Reports the compile or run failure of an engine into *f.
void read_failure(exp_engine *e, int code, Failure *f);
// Classifies sample values of each column and returns type codes: numbers are real unless
// `integers` lets whole-number columns be integer.
std::vector<int> infer_types(const std::vector<std::string> &columns, const std::vector<Record> &sample, bool integers);
// Set by the signal handlers; every run checks it through the interrupt handler.
bool stop_requested();
void request_stop();
