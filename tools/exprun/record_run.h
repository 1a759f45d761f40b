// What every run over records shares, the plain run (runner.cpp) and the keyed one
// (keyed_runner.cpp): opening the program on the first input's columns, reading the inputs round
// by round, settling each record's fate as --on-error says, the messages of failed records and the
// closing counts.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "options.h"
#include "records.h"
#include "runner.h"
#include "session.h"

// A record that did not go through, kept for the message. `index` counts records from 0: within
// a worker's share (plain run) or over the whole run (keyed run), as the run that keeps it says.
struct Problem {
  uint64_t index = 0;
  uint64_t line = 0;
  Outcome outcome = Outcome::Ok;
  Failure failure;
};

// What one worker met in its share of a round.
struct Tally {
  std::vector<Problem> reported;  // skipped or nulled records (the first few)
  bool stopped = false;           // the run must stop at `stop`
  Problem stop;
  uint64_t skipped = 0, nulled = 0, filtered = 0;
  uint64_t bad_utf8 = 0;          // values written whose bytes are not UTF-8
  uint64_t bad_utf8_index = 0;    // the first of them: its record (as Problem::index) and output column
  int bad_utf8_column = -1;
  void clear() { *this = Tally{}; }
};

// What becomes of a record after its run.
enum class Fate { Write, Drop, Stop };

// Settles the fate of a record that ran with outcome `oc` (not Filtered): Write when it went
// well; else the run stops (--on-error stop, or an interrupt), or the record is dropped
// (--on-error skip, --filter, groups) or written with nulls, counted and kept in *t.
Fate settle(const Options &o, Outcome oc, const Failure &f, uint64_t index, uint64_t line, Tally *t);

// Appends the output of a record that is to be written to *out (with nulls when `oc` is a
// failure). A value that JSON output cannot hold (bytes that are not UTF-8) fails a record that
// ran well after all, and its fate is settled again (*failed_late tells); values that are not
// UTF-8 are counted in *t either way.
Fate write_record(Session &s, const RecordWriter &writer, const Options &o, const Record &r, Outcome oc, uint64_t index,
                  std::string *out, Tally *t, bool *failed_late);

// The counts of a whole run, summed from the workers' tallies round by round.
class RunTotals {
 public:
  // Adds a tally whose record indexes start at `first_record` (0-based over the run) in input
  // `path`; `outputs` names the output columns.
  void add(const Tally &t, uint64_t first_record, const std::string &path, const std::vector<OutputColumn> &outputs);
  // Prints the closing counts: texts cut to their variable's length, values that are not UTF-8,
  // times of day --date-format did not write, records dropped by --filter, nulled and skipped.
  // Returns kSkipped when records were skipped after errors, else kOk.
  int report(const Options &o, const std::vector<const Session *> &sessions, uint64_t records) const;

 private:
  uint64_t skipped_ = 0, nulled_ = 0, filtered_ = 0, bad_utf8_ = 0;
  std::string bad_utf8_where_;
};

// Prints the message of failed record number `record` (from 1) of input `path`. A `warning` is a
// record that was dropped or nulled; else the record stopped the run. Returns the exit status of
// such a stop.
int report_problem(const Options &o, const std::string &path, uint64_t record, const Problem &p, bool warning);

// Plans the first input's columns (`json`: JSON lines), opens the main session on them and prints
// what the compiler says (errors with their hint, warnings); the session's notices are appended
// to *notices. Null with the exit status in *status when the run cannot start.
std::unique_ptr<Session> open_main_session(const Options &o, const std::vector<std::string> &columns,
                                           const std::deque<Record> &window, bool json,
                                           std::vector<std::string> *notices, int *status);
// The number of workers: --jobs, or one with a notice when `one_worker` (*why says why).
size_t worker_count(const Options &o, bool one_worker, const std::string &why);
// Prints the notices of opening the session (--verbose's capability line without "notice:").
void print_notices(const Options &o, const std::vector<std::string> &notices);
// Clones the main session for workers 1 to jobs - 1 into *workers (the main one first); prints a
// failure and returns false when one cannot be made. Their programs are cancelled on a signal.
bool start_workers(const Options &o, std::unique_ptr<Session> main, size_t jobs,
                   std::vector<std::unique_ptr<Session>> *workers);

// One worker's share of a round: records already read, or the text of whole records to parse.
struct Work {
  const Record *records = nullptr;
  size_t count = 0;
  const std::string *chunk = nullptr;
  uint64_t first_line = 0;
};

// Parses a share of text into *records (reused from round to round); returns how many it read,
// with *error when the text stopped reading.
size_t parse_work(const Work &w, const ReaderOptions &ro, const std::vector<std::string> &columns,
                  std::vector<Record> *records, std::string *error);

// A run over the records of every input, round by round: the plain run or a keyed one.
class RecordRun {
 public:
  virtual ~RecordRun() = default;
  virtual bool started() const = 0;
  // Compiles the program for the first input's columns (`json`: JSON lines), chooses the output
  // and writes the header. kOk or the exit status.
  virtual int open(const std::vector<std::string> &columns, const std::deque<Record> &window, bool json) = 0;
  virtual const std::vector<std::string> &columns() const = 0;
  virtual size_t workers() const = 0;
  // The records the run went through so far.
  virtual uint64_t records() const = 0;
  // Starts a round: worker k takes work[k]. The caller may read the next round before finish.
  virtual void start(const std::vector<Work> &work, const ReaderOptions &ro) = 0;
  // Ends the round started last and writes its output in input order. kOk to go on, or the exit
  // status.
  virtual int finish(const std::string &path) = 0;
  // After the last input: writes what is written at the end and the closing counts; returns the
  // exit status of a run that went to its end.
  virtual int close() = 0;
};

// Runs every input through `run` and closes it; returns the exit status.
int run_inputs(const Options &o, RecordRun &run);

// The name of the program in messages.
std::string program_name(const Options &o);
