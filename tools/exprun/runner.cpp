// The batch run: records are read in batches; each batch is split into one contiguous slice per
// worker (a pool of threads kept for the whole run), and each worker binds, runs and formats its
// slice into text. While the workers run a batch, the main thread reads the next one; the slices'
// text is then written in order, so the output keeps the input order.
#include "runner.h"

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <iterator>
#include <new>

#include "diagnostics.h"
#include "keyed_runner.h"
#include "lint.h"
#include "lookups.h"
#include "pool.h"
#include "records.h"
#include "session.h"
#include "streams.h"

namespace {

constexpr size_t kChunkBytes = 1 << 20;  // text of whole records per worker and round
constexpr size_t kMaxJobs = 256;
constexpr size_t kMaxReportedPerSlice = 10;

// Programs a signal cancels, and the signal that came (the handler may only do lock-free stores).
std::atomic<exp_pcode *> g_running[kMaxJobs];
std::atomic<int> g_signal{0};

// A record that did not go through, kept for the message.
struct Problem {
  size_t index;  // in its slice
  uint64_t line;
  Outcome outcome;
  Failure failure;
};

// What one worker made of its share of a round.
struct SliceResult {
  std::string out;                  // formatted output lines, in order
  uint64_t records = 0;             // records it went through
  bool stopped = false;             // the run must stop at `stop`
  Problem stop{};
  std::vector<Problem> reported;    // skipped or nulled records (the first few)
  uint64_t skipped = 0, nulled = 0, filtered = 0;
  uint64_t bad_utf8 = 0;            // values written whose bytes are not UTF-8
  size_t bad_utf8_index = 0;        // the first of them: its record in the slice, and output column
  int bad_utf8_column = -1;
};

// One worker's share of a round: records already read, or the text of whole records to read.
struct Work {
  const Record *records = nullptr;
  size_t count = 0;
  const std::string *chunk = nullptr;
  uint64_t first_line = 0;
};

class Progress {
 public:
  Progress(bool on, uint64_t total) : on_(on && isatty(2)), total_(total), start_(now()), last_(start_) {}
  Progress(const Progress &) = delete;
  Progress &operator=(const Progress &) = delete;
  void update(uint64_t records, uint64_t bytes) {
    if (!on_) return;
    auto t = now();
    if (std::chrono::duration<double>(t - last_).count() < 0.5) return;
    last_ = t;
    double secs = std::chrono::duration<double>(t - start_).count();
    std::fprintf(stderr, "\r%llu records, %.0f records/s", static_cast<unsigned long long>(records), records / secs);
    if (total_) std::fprintf(stderr, ", %.0f%%", 100.0 * static_cast<double>(bytes) / static_cast<double>(total_));
    std::fflush(stderr);
    shown_ = true;
  }
  ~Progress() {
    if (shown_) std::fprintf(stderr, "\r\033[K");
  }

 private:
  static std::chrono::steady_clock::time_point now() { return std::chrono::steady_clock::now(); }
  bool on_;
  uint64_t total_;
  std::chrono::steady_clock::time_point start_, last_;
  bool shown_ = false;
};

std::string program_name(const Options &o) { return o.program_file.empty() ? "<program>" : o.program_file; }

std::string records_text(uint64_t n) { return with_commas(n) + (n == 1 ? " record" : " records"); }

// Compiles the program without input columns (for an empty input); prints its errors and
// warnings. False when it does not compile, or has warnings under --strict.
bool check_program(const Options &o) {
  Failure f;
  int warnings = 0;
  auto show = [&](exp_engine *, exp_pcode *p, const std::vector<exp_pcode *> &functions) {
    warnings = print_all_warnings(stderr, o, p, functions, {});
  };
  if (compile_alone(o, show, &f)) return !(o.strict && warnings);
  print_failure(stderr, "compile", f, o.program, program_name(o));
  print_hint(stderr, f, o.program, {});
  return false;
}

// The whole run's state: the sessions (one per worker), the pool and the counts.
class Runner {
 public:
  Runner(const Options &o, RecordWriter &writer) : o_(o), writer_(writer) {}
  ~Runner() {
    for (auto &p : g_running) p.store(nullptr);
  }

  bool started() const { return !workers_.empty(); }

  // Compiles the program for the first input's columns (`json`: JSON lines) and writes the
  // header. Returns 0 or the exit status.
  int open(const std::vector<std::string> &columns, const std::deque<Record> &window, bool json) {
    ColumnPlan plan = plan_columns(o_, columns, window, json);
    for (const std::string &n : plan.notes)
      if (o_.verbose || n.starts_with("warning:")) std::fprintf(stderr, "exprun: %s\n", n.c_str());
    if (!plan.error.empty()) {
      std::fprintf(stderr, "exprun: %s\n", plan.error.c_str());
      return kInputError;
    }
    Failure f;
    std::vector<std::string> notices;
    auto main = Session::open(o_, columns, plan, &f, &notices);
    if (!main) {
      print_failure(stderr, "compile", f, o_.program, program_name(o_));
      print_hint(stderr, f, o_.program, columns);
      return kUsage;
    }
    std::vector<std::string> text_columns;
    for (size_t i = 0; i < columns.size(); ++i)
      if (plan.bound[i] && plan.types[i] == EXP_STRING) text_columns.push_back(columns[i]);
    if (print_all_warnings(stderr, o_, main->program(), main->functions(), text_columns) && o_.strict) return kUsage;
    std::string error;
    if (!main->choose_outputs(o_, json && o_.on_error == OnError::Null, &error, &notices)) {
      std::fprintf(stderr, "exprun: %s\n", error.c_str());
      return kUsage;
    }
    size_t jobs = static_cast<size_t>(o_.jobs);
    std::string why;
    if (jobs > 1 && main->keeps_state(&why)) {
      std::fprintf(stderr, "exprun: notice: running on one worker, not %zu: %s\n", jobs, why.c_str());
      jobs = 1;
    }
    for (const std::string &n : notices)
      std::fprintf(stderr, "exprun: %s%s\n", o_.verbose && n.rfind("capabilities", 0) == 0 ? "" : "notice: ", n.c_str());
    workers_.push_back(std::move(main));
    for (size_t k = 1; k < jobs; ++k) {
      auto w = workers_[0]->clone(&f);
      if (!w) {
        print_failure(stderr, "worker set-up", f, o_.program, program_name(o_));
        return kUsage;
      }
      workers_.push_back(std::move(w));
    }
    for (size_t k = 0; k < workers_.size(); ++k) g_running[k].store(workers_[k]->program());
    if (workers_.size() > 1) pool_ = std::make_unique<WorkerPool>(workers_.size());
    parsed_.resize(workers_.size());
    columns_ = columns;
    std::vector<std::string> names;
    for (const OutputColumn &c : workers_[0]->outputs()) names.push_back(c.name);
    writer_.begin(names);
    return kOk;
  }

  const std::vector<std::string> &columns() const { return columns_; }
  size_t workers() const { return workers_.size(); }

  // Starts a round: worker k takes work[k] (on the pool, or here with one worker).
  void start(const std::vector<Work> &work, const ReaderOptions &ro) {
    results_.assign(workers_.size(), SliceResult{});
    auto task = [this, &work, &ro](size_t k) {
      if (k < work.size()) work_on(k, work[k], ro, &results_[k]);
    };
    if (pool_) pool_->start(task);
    else task(0);
  }

  // Splits records already read into one share per worker.
  static std::vector<Work> share(const std::vector<Record> &records, size_t workers) {
    std::vector<Work> work;
    size_t n = records.size(), per = (n + workers - 1) / workers;
    for (size_t b = 0; b < n; b += per) work.push_back({records.data() + b, std::min(per, n - b), nullptr, 0});
    return work;
  }

  // Waits for the round started last and writes its output in order. Returns kOk to go on, or
  // the exit status.
  int finish(const std::string &path) {
    if (pool_) pool_->wait();
    for (SliceResult &r : results_) {
      if (!writer_.write_raw(r.out)) {
        std::fprintf(stderr, "exprun: cannot write the output: %s\n", writer_.error().c_str());
        return kRunError;
      }
      skipped_ += r.skipped;
      nulled_ += r.nulled;
      filtered_ += r.filtered;
      if (r.bad_utf8 && !bad_utf8_) {
        bad_utf8_where_ = path + ", record " + with_commas(records_ + r.bad_utf8_index + 1) + ", column '" +
                          workers_[0]->outputs()[static_cast<size_t>(r.bad_utf8_column)].name + "'";
      }
      bad_utf8_ += r.bad_utf8;
      for (const Problem &p : r.reported) report(path, p, true);
      if (r.stopped) {
        writer_.flush();
        return report(path, r.stop, false);
      }
      records_ += r.records;
    }
    return kOk;
  }

  uint64_t records() const { return records_; }

  // Writes the closing counts; returns the exit status of a run that went to its end.
  int close() {
    report_cuts();
    if (bad_utf8_)
      std::fprintf(stderr, "exprun: warning: %s value(s) are not valid UTF-8 (the first: %s); %s\n",
                   with_commas(bad_utf8_).c_str(), bad_utf8_where_.c_str(),
                   o_.out_format == Format::Jsonl ? "their bad bytes were written to JSON as U+FFFD"
                                                  : "they were written as read");
    uint64_t dropped = 0;
    for (const auto &w : workers_) dropped += w->times_dropped();
    if (dropped)
      std::fprintf(stderr, "exprun: warning: %s date(s) had a time of day that --date-format '%s' does not write\n",
                   with_commas(dropped).c_str(), o_.date_format.c_str());
    if (o_.verbose && o_.filter)
      std::fprintf(stderr, "exprun: %llu of %llu record(s) dropped by --filter\n", static_cast<unsigned long long>(filtered_),
                   static_cast<unsigned long long>(records_));
    if (nulled_)
      std::fprintf(stderr, "exprun: %llu record(s) written with a null result after errors\n",
                   static_cast<unsigned long long>(nulled_));
    if (skipped_) {
      std::fprintf(stderr, "exprun: %llu record(s) skipped after errors\n", static_cast<unsigned long long>(skipped_));
      return kSkipped;
    }
    return kOk;
  }

 private:
  // Says once per cell how many records cut a string to its cell's limit.
  void report_cuts() const {
    if (workers_.empty()) return;
    std::map<std::pair<int, std::string>, uint64_t> counts;  // by what and name, summed over workers
    for (const auto &w : workers_)
      for (size_t k = 0; k < w->cut_watches().size(); ++k)
        counts[{static_cast<int>(w->cut_watches()[k].what), w->cut_watches()[k].name}] += w->cuts()[k];
    for (const CutWatch &c : workers_[0]->cut_watches()) {
      uint64_t n = counts[{static_cast<int>(c.what), c.name}];
      if (!n) continue;
      std::string limit = with_commas(c.limit) + (c.limit == 1 ? " character" : " characters");
      if (c.what == CutWatch::What::Variable)
        std::fprintf(stderr, "exprun: warning: %s was cut to %s in %s; declare string(n)\n", c.name.c_str(),
                     limit.c_str(), records_text(n).c_str());
      else if (c.what == CutWatch::What::Column)
        std::fprintf(stderr, "exprun: warning: values assigned to column '%s' were cut to the column's length in %s; "
                     "assign them to a declared string(n) variable instead\n", c.name.c_str(), records_text(n).c_str());
      else
        std::fprintf(stderr, "exprun: warning: the result was cut to %s in %s\n", limit.c_str(), records_text(n).c_str());
    }
  }

  // Reads the work's records when it holds text, then runs them (worker k).
  void work_on(size_t k, const Work &w, const ReaderOptions &ro, SliceResult *r) {
    if (!w.chunk) return run_slice(*workers_[k], w.records, w.count, r);
    std::vector<Record> &records = parsed_[k];
    size_t n = 0;
    std::string error;
    try {
      MemoryInput in(*w.chunk);
      RecordReader reader(in, ro, columns_, w.first_line);
      for (;; ++n) {
        if (records.size() <= n) records.emplace_back();
        if (!reader.next(&records[n], &error)) break;
      }
    } catch (const std::bad_alloc &) {
      error = "out of memory";
    }
    run_slice(*workers_[k], records.data(), n, r);
    if (!error.empty() && !r->stopped) {
      r->stopped = true;
      r->stop = {n, 0, Outcome::ReadError, Failure{0, error, 0, 0}};
    }
  }

  // Binds, runs and formats records [0, n) on one session.
  void run_slice(Session &s, const Record *records, size_t n, SliceResult *r) {
    size_t i = 0;
    try {
      for (; i < n; ++i) {
        Failure f;
        Outcome oc = s.run(records[i], &f);
        if (oc == Outcome::Filtered) {
          ++r->filtered;
          continue;
        }
        // A record that fails is dropped or nulled as --on-error says; false: the run stops.
        auto failed = [&] {
          if (o_.on_error == OnError::Stop || stop_requested()) {
            r->stopped = true;
            r->stop = {i, records[i].line, oc, f};
            return false;
          }
          if (r->reported.size() < kMaxReportedPerSlice) r->reported.push_back({i, records[i].line, oc, f});
          return true;
        };
        if (oc != Outcome::Ok) {
          if (!failed()) break;
          if (o_.on_error == OnError::Skip || o_.filter) {
            ++r->skipped;
            continue;
          }
          ++r->nulled;
        }
        const size_t mark = r->out.size();
        s.read_outputs(records[i], oc != Outcome::Ok, oc == Outcome::InputError);
        RecordWriter::Written w = writer_.format(s.values(), s.kinds(), records[i].extra, &r->out);
        if (w.bad_utf8 && oc == Outcome::Ok && o_.out_format == Format::Jsonl) {
          // JSON cannot hold the value as it is: the record fails after all.
          auto k = static_cast<size_t>(w.first_bad);
          oc = Outcome::InputError;
          f = Failure{0, "column '" + s.outputs()[k].name + "': '" + shown(s.values()[k]) +
                             "' is not valid UTF-8, which JSON output cannot hold (--on-error null writes its bad "
                             "bytes as U+FFFD)", 0, 0};
          r->out.resize(mark);
          if (!failed()) break;
          if (o_.on_error == OnError::Skip || o_.filter) {
            ++r->skipped;
            continue;
          }
          ++r->nulled;
          s.read_outputs(records[i], true, true);
          w = writer_.format(s.values(), s.kinds(), records[i].extra, &r->out);
        }
        if (w.bad_utf8) {
          if (!r->bad_utf8) r->bad_utf8_index = i, r->bad_utf8_column = w.first_bad;
          r->bad_utf8 += w.bad_utf8;
        }
      }
    } catch (const std::bad_alloc &) {
      r->stopped = true;
      r->stop = {i, records[i].line, Outcome::RunError, Failure{1, "out of memory", 0, 0}};
    }
    r->records = i;
  }

  // Prints the message of a record that failed; returns the exit status when it stops the run.
  int report(const std::string &path, const Problem &p, bool warning) {
    uint64_t record = records_ + p.index + 1;
    if (!warning && stop_requested()) {
      std::fprintf(stderr, "exprun: interrupted at record %llu\n", static_cast<unsigned long long>(record));
      return g_signal.load() ? 128 + g_signal.load() : kInterrupted;
    }
    if (p.outcome == Outcome::ReadError) {
      std::fprintf(stderr, "exprun: %s: %s\n", path.c_str(), p.failure.message.c_str());
      return kInputError;
    }
    std::string where = "record " + std::to_string(record) + " (input line " + std::to_string(p.line) + "): ";
    std::string policy = warning ? (o_.on_error == OnError::Skip || o_.filter ? " (skipped)" : " (written with a null result)") : "";
    if (p.outcome == Outcome::InputError) {
      std::fprintf(stderr, "exprun: %sinput error: %s%s\n", where.c_str(), p.failure.message.c_str(), policy.c_str());
      return kInputError;
    }
    print_failure(stderr, where + "run-time", p.failure, o_.program, program_name(o_));
    std::string denied = denial_hint(p.failure);
    if (!denied.empty()) std::fprintf(stderr, "hint: %s\n", denied.c_str());
    if (warning) std::fprintf(stderr, "exprun: %s\n", policy.c_str() + 1);
    return kRunError;
  }

  const Options &o_;
  RecordWriter &writer_;
  std::vector<std::unique_ptr<Session>> workers_;
  std::unique_ptr<WorkerPool> pool_;
  std::vector<SliceResult> results_;
  std::vector<std::vector<Record>> parsed_;  // each worker's records, reused from round to round
  std::vector<std::string> columns_;
  uint64_t records_ = 0, skipped_ = 0, nulled_ = 0, filtered_ = 0;
  uint64_t bad_utf8_ = 0;
  std::string bad_utf8_where_;
};

// Reads the text of the next round: one chunk of whole records per worker. Returns the count.
size_t read_round(RecordReader &reader, size_t workers, std::vector<std::string> &chunks, std::vector<Work> &work,
                  std::string *error) {
  chunks.resize(workers);
  work.clear();
  uint64_t first_line = 0;
  for (size_t k = 0; k < workers && error->empty(); ++k) {
    if (!reader.read_chunk(&chunks[k], kChunkBytes, &first_line, error)) break;
    work.push_back({nullptr, 0, &chunks[k], first_line});
  }
  return work.size();
}

// Runs one input through the runner. Returns kOk to go on with the next input, or the exit status.
int run_input(const Options &o, const std::string &path, Runner &run) {
  std::string error;
  auto in = InputStream::open(path, &error);
  if (!in) {
    std::fprintf(stderr, "exprun: %s\n", error.c_str());
    return kInputError;
  }
  ReaderOptions ro;
  ro.format = input_format(o, path);
  ro.separator = input_separator(o, ro.format);
  ro.header = o.header;
  ro.allow_ragged = o.allow_ragged;
  ro.late = !o.output.empty()                 ? ReaderOptions::Late::Ignore
            : o.out_format == Format::Jsonl ? ReaderOptions::Late::Carry
                                            : ReaderOptions::Late::Refuse;
  RecordReader reader(*in, ro);
  std::vector<std::string> columns;
  if (!reader.start(&columns, &error)) {
    if (!error.empty()) {
      std::fprintf(stderr, "exprun: %s: %s\n", path.c_str(), error.c_str());
      return kInputError;
    }
    // An empty input has no columns: the program is still checked, so that its errors show.
    if (!run.started()) return check_program(o) ? kOk : kUsage;
    return kOk;
  }
  if (!run.started()) {
    if (int rc = run.open(columns, reader.window(), ro.format == Format::Jsonl)) return rc;
  } else if (columns != run.columns()) {
    std::fprintf(stderr, "exprun: %s: its columns differ from those of the first input\n", path.c_str());
    return kInputError;
  }
  Progress progress(o.progress, in->size());
  // The records read ahead to find the columns go first; then whole records' text is handed to
  // the workers, which parse it themselves.
  std::deque<Record> ahead = reader.take_window();
  std::vector<Record> window(std::make_move_iterator(ahead.begin()), std::make_move_iterator(ahead.end()));
  std::vector<Work> work = Runner::share(window, run.workers());
  std::vector<std::string> chunks[2];
  std::vector<Work> next_work;
  std::string read_error = error;
  int side = 0;
  if (work.empty()) {
    read_round(reader, run.workers(), chunks[0], work, &read_error);
    side = 1;
  }
  while (!work.empty()) {
    run.start(work, ro);
    // The next round is read while the workers run this one.
    if (read_error.empty() && !stop_requested()) read_round(reader, run.workers(), chunks[side], next_work, &read_error);
    else next_work.clear();
    if (int rc = run.finish(path)) return rc;
    progress.update(run.records(), in->file_bytes());
    if (stop_requested()) {
      std::fprintf(stderr, "exprun: interrupted after record %llu\n", static_cast<unsigned long long>(run.records()));
      return interrupted_status();
    }
    std::swap(work, next_work);
    side = 1 - side;
  }
  if (!read_error.empty()) {
    if (stop_requested()) return interrupted_status();
    std::fprintf(stderr, "exprun: %s: %s\n", path.c_str(), read_error.c_str());
    return kInputError;
  }
  return kOk;
}

}  // namespace

int interrupted_status() { return g_signal.load() ? 128 + g_signal.load() : kInterrupted; }

void stop_from_signal(int signal) {
  int expected = 0;
  g_signal.compare_exchange_strong(expected, signal);
  request_stop();
  for (auto &p : g_running)
    if (exp_pcode *prog = p.load(std::memory_order_relaxed)) exp_cancel_execution(prog);
}

int process(const Options &o) {
  if (o.key_mode != KeyMode::None) return process_keyed(o);
  std::string error;
  auto out = OutputStream::open(o.output_path, &error);
  if (!out) {
    std::fprintf(stderr, "exprun: %s\n", error.c_str());
    return kUsage;
  }
  RecordWriter writer(*out, o.out_format, o.ofs, o.out_header);
  Runner run(o, writer);
  std::vector<std::string> inputs = o.inputs.empty() ? std::vector<std::string>{"-"} : o.inputs;
  int status = kOk;
  for (const std::string &path : inputs)
    if ((status = run_input(o, path, run)) != kOk) break;
  if (status == kOk) status = run.close();
  if (!out->close()) {
    std::fprintf(stderr, "exprun: cannot write the output: %s\n", out->error().c_str());
    if (status == kOk || status == kSkipped) status = kRunError;
  }
  return status;
}
