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
#include <memory>
#include <new>

#include "diagnostics.h"
#include "lint.h"
#include "pool.h"
#include "records.h"
#include "session.h"
#include "streams.h"

namespace {

constexpr size_t kBatchPerJob = 4096;
constexpr size_t kMaxJobs = 256;
constexpr size_t kMaxReportedPerSlice = 10;

// Programs a signal cancels, and the signal that came (the handler may only do lock-free stores).
std::atomic<exp_pcode *> g_running[kMaxJobs];
std::atomic<int> g_signal{0};

// A record that did not go through, kept for the message.
struct Problem {
  size_t index;  // in the batch
  Outcome outcome;
  Failure failure;
};

// What one worker made of its slice of a batch.
struct SliceResult {
  std::string out;                  // formatted output lines, in order
  bool stopped = false;             // the run must stop at `stop`
  Problem stop{};
  std::vector<Problem> reported;    // skipped or nulled records (the first few)
  uint64_t skipped = 0, nulled = 0, filtered = 0;
};

using Batch = std::vector<Record>;

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

// Compiles the program without input columns (for an empty input); prints its errors.
bool check_program(const Options &o) {
  Failure f;
  if (compile_alone(o, [](exp_engine *, exp_pcode *) {}, &f)) return true;
  print_failure(stderr, "compile", f, o.program, program_name(o));
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

  // Compiles the program for the first input's columns and writes the header. Returns 0 or the
  // exit status.
  int open(const std::vector<std::string> &columns, const std::deque<Record> &window) {
    std::vector<Record> sample(window.begin(), window.begin() + static_cast<long>(std::min(window.size(), o_.infer_rows)));
    std::vector<int> types = o_.infer ? infer_types(columns, sample, o_.infer_integers)
                                      : std::vector<int>(columns.size(), EXP_STRING);
    for (const FieldType &f : o_.fields) {
      bool found = false;
      for (size_t i = 0; i < columns.size(); ++i)
        if (columns[i] == f.name) types[i] = f.type, found = true;
      if (!found) std::fprintf(stderr, "exprun: warning: --field names '%s', which is not a column\n", f.name.c_str());
    }
    for (const std::string &w : program_warnings(o_.program, columns, types))
      std::fprintf(stderr, "exprun: warning: %s\n", w.c_str());
    Failure f;
    std::vector<std::string> notices;
    auto main = Session::open(o_, columns, types, &f, &notices);
    if (!main) {
      print_failure(stderr, "compile", f, o_.program, program_name(o_));
      print_hint(stderr, f, o_.program, columns);
      return kUsage;
    }
    std::string error;
    if (!main->choose_outputs(o_, &error, &notices)) {
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
    columns_ = columns;
    std::vector<std::string> names;
    for (const OutputColumn &c : workers_[0]->outputs()) names.push_back(c.name);
    writer_.begin(names);
    return kOk;
  }

  const std::vector<std::string> &columns() const { return columns_; }
  size_t batch_size() const { return kBatchPerJob * workers_.size(); }

  // Starts running the first n records of the batch (on the pool, or here with one worker).
  void start(const Batch &batch, size_t n) {
    size_t jobs = workers_.size();
    results_.assign(jobs, SliceResult{});
    size_t per = (n + jobs - 1) / jobs;
    auto task = [this, &batch, n, per](size_t k) {
      size_t b = std::min(n, k * per), e = std::min(n, b + per);
      run_slice(*workers_[k], batch, b, e, &results_[k]);
    };
    if (pool_) pool_->start(task);
    else task(0);
  }

  // Waits for the batch started last and writes its output. Returns kOk to go on, or the exit status.
  int finish(const Batch &batch, size_t n) {
    if (pool_) pool_->wait();
    for (SliceResult &r : results_) {
      if (!writer_.write_raw(r.out)) {
        std::fprintf(stderr, "exprun: cannot write the output: %s\n", writer_.error().c_str());
        return kRunError;
      }
      skipped_ += r.skipped;
      nulled_ += r.nulled;
      filtered_ += r.filtered;
      for (const Problem &p : r.reported) report(batch, p, true);
      if (r.stopped) {
        writer_.flush();
        return report(batch, r.stop, false);
      }
    }
    records_ += n;
    return kOk;
  }

  uint64_t records() const { return records_; }

  // Writes the closing counts; returns the exit status of a run that went to its end.
  int close() {
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
  // Binds, runs and formats records [begin, end) of the batch on one session.
  void run_slice(Session &s, const Batch &batch, size_t begin, size_t end, SliceResult *r) {
    size_t i = begin;
    try {
      for (; i < end; ++i) {
        Failure f;
        Outcome oc = s.run(batch[i], &f);
        if (oc == Outcome::Filtered) {
          ++r->filtered;
          continue;
        }
        if (oc != Outcome::Ok) {
          if (o_.on_error == OnError::Stop || stop_requested()) {
            r->stopped = true;
            r->stop = {i, oc, f};
            return;
          }
          if (r->reported.size() < kMaxReportedPerSlice) r->reported.push_back({i, oc, f});
          if (o_.on_error == OnError::Skip || o_.filter) {
            ++r->skipped;
            continue;
          }
          ++r->nulled;
        }
        s.read_outputs(batch[i], oc != Outcome::Ok, oc == Outcome::InputError);
        writer_.format(s.values(), s.kinds(), &r->out);
      }
    } catch (const std::bad_alloc &) {
      r->stopped = true;
      r->stop = {i, Outcome::RunError, Failure{1, "out of memory", 0, 0}};
    }
  }

  // Prints the message of a record that failed; returns the exit status when it stops the run.
  int report(const Batch &batch, const Problem &p, bool warning) {
    uint64_t record = records_ + p.index + 1;
    std::string where = "record " + std::to_string(record) + " (input line " + std::to_string(batch[p.index].line) + "): ";
    if (!warning && stop_requested()) {
      std::fprintf(stderr, "exprun: interrupted at record %llu\n", static_cast<unsigned long long>(record));
      return g_signal.load() ? 128 + g_signal.load() : kInterrupted;
    }
    std::string policy = warning ? (o_.on_error == OnError::Skip || o_.filter ? " (skipped)" : " (written with a null result)") : "";
    if (p.outcome == Outcome::InputError) {
      std::fprintf(stderr, "exprun: %sinput error: %s%s\n", where.c_str(), p.failure.message.c_str(), policy.c_str());
      return kInputError;
    }
    print_failure(stderr, where + "run-time", p.failure, o_.program, program_name(o_));
    if (warning) std::fprintf(stderr, "exprun: %s\n", policy.c_str() + 1);
    return kRunError;
  }

  const Options &o_;
  RecordWriter &writer_;
  std::vector<std::unique_ptr<Session>> workers_;
  std::unique_ptr<WorkerPool> pool_;
  std::vector<SliceResult> results_;
  std::vector<std::string> columns_;
  uint64_t records_ = 0, skipped_ = 0, nulled_ = 0, filtered_ = 0;
};

// Fills the batch from the reader; returns the count (0 at the end or on an error: *error).
size_t fill(RecordReader &reader, Batch &batch, size_t size, const std::string &path, std::string *error) {
  if (batch.size() < size) batch.resize(size);
  size_t n = 0;
  while (n < size && reader.next(&batch[n], error)) ++n;
  std::string notice = reader.take_notice();
  if (!notice.empty()) std::fprintf(stderr, "exprun: warning: %s: %s\n", path.c_str(), notice.c_str());
  return n;
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
  ro.format = o.in_format;
  ro.separator = o.ifs;
  ro.header = o.header;
  ro.allow_ragged = o.allow_ragged;
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
    if (int rc = run.open(columns, reader.window())) return rc;
  } else if (columns != run.columns()) {
    std::fprintf(stderr, "exprun: %s: its columns differ from those of the first input\n", path.c_str());
    return kInputError;
  }
  Progress progress(o.progress, in->size());
  Batch current, next;
  size_t n = fill(reader, current, run.batch_size(), path, &error);
  while (n > 0) {
    run.start(current, n);
    // The next batch is read while the workers run this one.
    size_t m = error.empty() && !stop_requested() ? fill(reader, next, run.batch_size(), path, &error) : 0;
    if (int rc = run.finish(current, n)) return rc;
    progress.update(run.records(), reader.bytes_read());
    if (stop_requested()) {
      std::fprintf(stderr, "exprun: interrupted after record %llu\n", static_cast<unsigned long long>(run.records()));
      return g_signal.load() ? 128 + g_signal.load() : kInterrupted;
    }
    std::swap(current, next);
    n = m;
  }
  if (!error.empty()) {
    if (stop_requested()) return g_signal.load() ? 128 + g_signal.load() : kInterrupted;
    std::fprintf(stderr, "exprun: %s: %s\n", path.c_str(), error.c_str());
    return kInputError;
  }
  return kOk;
}

}  // namespace

void stop_from_signal(int signal) {
  int expected = 0;
  g_signal.compare_exchange_strong(expected, signal);
  request_stop();
  for (auto &p : g_running)
    if (exp_pcode *prog = p.load(std::memory_order_relaxed)) exp_cancel_execution(prog);
}

int process(const Options &o) {
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
