// The plain run: each round's records are split into one contiguous share per worker (a pool of
// threads kept for the whole run), and each worker binds, runs and formats its share into text.
// While the workers run a round, the main thread reads the next one; the shares' text is then
// written in order, so the output keeps the input order.
#include "runner.h"

#include <cstdio>
#include <memory>
#include <new>

#include "keyed_runner.h"
#include "pool.h"
#include "record_run.h"
#include "records.h"
#include "session.h"
#include "streams.h"

namespace {

// What one worker made of its share of a round.
struct SliceResult {
  std::string out;       // formatted output lines, in order
  uint64_t records = 0;  // records it went through
  Tally tally;           // its problems, by their index in the share
};

class Runner : public RecordRun {
 public:
  Runner(const Options &o, RecordWriter &writer) : o_(o), writer_(writer) {}

  bool started() const override { return !workers_.empty(); }

  int open(const std::vector<std::string> &columns, const std::deque<Record> &window, bool json) override {
    int status = kOk;
    std::vector<std::string> notices;
    auto main = open_main_session(o_, columns, window, json, &notices, &status);
    if (!main) return status;
    std::string error;
    if (!main->choose_outputs(o_, json && o_.on_error == OnError::Null, &error, &notices)) {
      std::fprintf(stderr, "exprun: %s\n", error.c_str());
      return kUsage;
    }
    std::string why;
    const size_t jobs = worker_count(o_, main->keeps_state(&why), why);
    print_notices(o_, notices);
    if (!start_workers(o_, std::move(main), jobs, &workers_)) return kUsage;
    if (workers_.size() > 1) pool_ = std::make_unique<WorkerPool>(workers_.size());
    parsed_.resize(workers_.size());
    columns_ = columns;
    std::vector<std::string> names;
    for (const OutputColumn &c : workers_[0]->outputs()) names.push_back(c.name);
    writer_.begin(names);
    return kOk;
  }

  const std::vector<std::string> &columns() const override { return columns_; }
  size_t workers() const override { return workers_.size(); }
  uint64_t records() const override { return records_; }

  void start(const std::vector<Work> &work, const ReaderOptions &ro) override {
    results_.assign(workers_.size(), SliceResult{});
    auto task = [this, &work, &ro](size_t k) {
      if (k < work.size()) work_on(k, work[k], ro, &results_[k]);
    };
    if (pool_) pool_->start(task);
    else task(0);
  }

  int finish(const std::string &path) override {
    if (pool_) pool_->wait();
    for (SliceResult &r : results_) {
      if (!writer_.write_raw(r.out)) {
        std::fprintf(stderr, "exprun: cannot write the output: %s\n", writer_.error().c_str());
        return kRunError;
      }
      totals_.add(r.tally, records_, path, workers_[0]->outputs());
      for (const Problem &p : r.tally.reported) report_problem(o_, path, records_ + p.index + 1, p, true);
      if (r.tally.stopped) {
        writer_.flush();
        return report_problem(o_, path, records_ + r.tally.stop.index + 1, r.tally.stop, false);
      }
      records_ += r.records;
    }
    return kOk;
  }

  int close() override {
    std::vector<const Session *> sessions;
    for (const auto &w : workers_) sessions.push_back(w.get());
    return totals_.report(o_, sessions, records_);
  }

 private:
  // Reads the work's records when it holds text, then runs them (worker k).
  void work_on(size_t k, const Work &w, const ReaderOptions &ro, SliceResult *r) {
    if (!w.chunk) return run_slice(*workers_[k], w.records, w.count, r);
    std::string error;
    const size_t n = parse_work(w, ro, columns_, &parsed_[k], &error);
    run_slice(*workers_[k], parsed_[k].data(), n, r);
    if (!error.empty() && !r->tally.stopped) {
      r->tally.stopped = true;
      r->tally.stop = {n, 0, Outcome::ReadError, Failure{0, error, 0, 0}};
    }
  }

  // Binds, runs and formats records [0, n) on one session.
  void run_slice(Session &s, const Record *records, size_t n, SliceResult *r) {
    size_t i = 0;
    try {
      for (; i < n; ++i) {
        Failure f;
        const Outcome oc = s.run(records[i], &f);
        if (oc == Outcome::Filtered) {
          ++r->tally.filtered;
          continue;
        }
        Fate fate = settle(o_, oc, f, i, records[i].line, &r->tally);
        bool failed_late = false;
        if (fate == Fate::Write) fate = write_record(s, writer_, o_, records[i], oc, i, &r->out, &r->tally, &failed_late);
        if (fate == Fate::Stop) break;
      }
    } catch (const std::bad_alloc &) {
      r->tally.stopped = true;
      r->tally.stop = {i, records[i].line, Outcome::RunError, Failure{1, "out of memory", 0, 0}};
    }
    r->records = i;
  }

  const Options &o_;
  RecordWriter &writer_;
  std::vector<std::unique_ptr<Session>> workers_;
  std::unique_ptr<WorkerPool> pool_;
  std::vector<SliceResult> results_;
  std::vector<std::vector<Record>> parsed_;  // each worker's records, reused from round to round
  std::vector<std::string> columns_;
  uint64_t records_ = 0;
  RunTotals totals_;
};

}  // namespace

int process(const Options &o) {
  std::string error;
  auto out = OutputStream::open(o.output_path, &error);
  if (!out) {
    std::fprintf(stderr, "exprun: %s\n", error.c_str());
    return kUsage;
  }
  RecordWriter writer(*out, o.out_format, o.ofs, o.out_header);
  std::unique_ptr<RecordRun> run;
  if (o.key_mode != KeyMode::None) run = make_keyed_run(o, writer);
  else run = std::make_unique<Runner>(o, writer);
  int status = run_inputs(o, *run);
  if (!out->close()) {
    std::fprintf(stderr, "exprun: cannot write the output: %s\n", out->error().c_str());
    if (status == kOk || status == kSkipped) status = kRunError;
  }
  return status;
}
