// One engine with the input columns bound as symbols and the program compiled: runs records.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "column_plan.h"
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
  exp_symval *cell = nullptr;  // null for the result and for columns not bound
  bool is_result = false;
  int column = -1;             // the input column it writes, or -1
  bool is_input_text = false;  // the text of a JSON line that could not be read (--on-error null)
};

// A string cell whose cuts are counted: a variable the program declared, a bound column, or
// the result (cell null: the result cell of each run).
struct CutWatch {
  enum class What : uint8_t { Variable, Column, Result };
  std::string name;
  exp_symval *cell = nullptr;
  What what = What::Variable;
  uint32_t limit = 0;  // the characters the cell holds (a column's grows with its input)
};

// What one record came to.
enum class Outcome { Ok, Filtered, InputError, RunError, ReadError };

class Session {
 public:
  ~Session();
  // Makes the engine, binds the columns `plan` binds with its types and compiles the program.
  // Notices about the program (compile-time warnings) are appended to *notices.
  static std::unique_ptr<Session> open(const Options &o, const std::vector<std::string> &columns,
                                       const ColumnPlan &plan, Failure *f, std::vector<std::string> *notices);
  // A worker: a clone of the engine with the same columns and a copy of the program.
  std::unique_ptr<Session> clone(Failure *f) const;
  // Chooses the output columns (inputs + result + the program's own variables, or --output and
  // --exclude; with `input_text`, a last column for the text of JSON lines that could not be
  // read). A name used twice is refused, except for input columns passed through as read; a
  // result named like a column is renamed (notice).
  bool choose_outputs(const Options &o, bool input_text, std::string *error, std::vector<std::string> *notices);

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
  // Whether the program keeps state from one record to the next, as the library decided when
  // compiling it (EXP_TRAIT_KEEPS_STATE), so that it must run on one worker; *why says what.
  bool keeps_state(std::string *why) const;
  // Whether the program or the --end program depends on the order of all records through
  // something other than static variables (EXP_TRAIT_ORDER_BOUND: uniqueid, varset, vareval,
  // files written), so that keeping the statics per key does not make it safe to spread keys
  // over workers; *why says what.
  bool order_bound(std::string *why) const;
  // The string cells whose cuts are counted, and per cell the records whose run cut it.
  const std::vector<CutWatch> &cut_watches() const { return watches_; }
  const std::vector<uint64_t> &cuts() const { return cuts_; }
  // Dates written with a --date-format that has no time although they had one.
  uint64_t times_dropped() const { return times_dropped_; }

 private:
  // What a bound cell held right after binding, to tell whether the program changed it.
  struct Snapshot {
    uint32_t flags = 0;
    decltype(exp_symval::value) value{};
  };
  Session() = default;
  bool configure(Failure *f);
  bool bind(const std::vector<std::string> &columns, const ColumnPlan &plan, Failure *f);
  void watch_cuts();
  bool compile_end(Failure *f);
  Outcome run_program(exp_pcode *p, const Record &r, Failure *f);
  bool set_field(size_t i, const Record &r, std::string *why);
  bool fit_string(size_t i, const std::string &v, std::string *why);
  bool grow(size_t i, size_t chars, size_t bytes, std::string *why);
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
  ColumnPlan plan_;
  std::vector<exp_symval *> cells_;  // per column, null for columns not bound
  std::vector<size_t> bound_;        // the bound columns, in order
  int64_t field_bytes_ = 0;          // bytes of the bound string columns' buffers
  std::vector<CutWatch> watches_;
  std::vector<uint64_t> cuts_;
  uint64_t times_dropped_ = 0;
  bool pattern_time_ = false;        // --date-format writes the time of day
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
// error, the allowed capabilities and limits, exprun's own functions, and the columns --output
// names (so that the compiler knows what is read). Returns 0 or the error.
int setup_engine(exp_engine *e, const Options &o);
// Compiles the program (after the --function files) in an engine of its own, with every name it
// uses but does not declare bound as a column (typed by --field, else string), and hands the
// program to `use`. False with *f when it does not compile.
// `use` also gets the programs of the --function files.
using CompiledUse = std::function<void(exp_engine *, exp_pcode *, const std::vector<exp_pcode *> &functions)>;
bool compile_alone(const Options &o, const CompiledUse &use, Failure *f);
// The value as it may be shown in a message: about 60 bytes, cut between characters, with control
// bytes and bytes that are not UTF-8 written as \xNN.
std::string shown(std::string_view v);
// Sets `cell` (of type `type`, not string) from the text of an input value that is neither empty
// nor null, exactly or not at all: integers and reals as written plainly, reals of at most 52
// significant digits, dates in ISO 8601 or exactly in `date_format`. False with *why ("is not an
// integer") when the text does not convert.
bool set_typed_text(exp_engine *e, exp_symval *cell, int type, const std::string &v, const std::string &date_format,
                    std::string *why);
// Reports the compile or run failure of an engine into *f.
void read_failure(exp_engine *e, int code, Failure *f);
// Set by the signal handlers; every run checks it through the interrupt handler.
bool stop_requested();
void request_stop();
