// Records are read in rounds of one chunk of text per worker, as in the plain run. Each round has
// two phases on the worker pool: every worker parses its chunk and keys its records; then every
// worker runs, in input order, the records whose key hashes to it, switching the program to the
// key's state (--group-by, --partition-by) or dropping keys seen before (--unique). The records
// written are then put back in input order; groups are written at the end, in order of their
// first record.
#include "keyed_runner.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <functional>
#include <memory>
#include <new>
#include <unordered_set>

#include "diagnostics.h"
#include "keys.h"
#include "pool.h"
#include "record_run.h"
#include "records.h"
#include "session.h"

namespace {

constexpr size_t kMaxReportedPerRound = 10;

// One share of a round: the text of whole records, or records the main reader read ahead.
struct Batch {
  const std::string *chunk = nullptr;
  uint64_t first_line = 0;
  std::vector<Record> parsed;     // the chunk's records (kept from round to round)
  const Record *records = nullptr;
  size_t count = 0;
  std::vector<std::string> keys;  // per record
  std::vector<uint32_t> owners;   // per record: the worker its key hashes to
  std::string read_error;         // the chunk's text stopped reading after `count` records
  uint64_t base = 0;              // index over the run of its first record
};

// What a worker made of its records in a round.
struct RoundResult {
  std::string out;                // formatted records, in order
  std::vector<uint32_t> lengths;  // per record it went through: its bytes in `out` (0: none)
  Tally tally;                    // its problems, by their index over the run
};

// A group's output row, written at the end in order of the group's first record.
struct GroupRow {
  uint64_t first;
  std::string text;
};

// A group whose --end program (or state) failed.
struct GroupProblem {
  uint64_t first;
  std::string key;  // as people read it
  Failure failure;
};

// The members are destroyed in reverse order: the key states before the session they belong to.
struct Worker {
  std::unique_ptr<Session> session;
  std::unique_ptr<KeyStates> states;  // --group-by, --partition-by
  std::unordered_set<std::string> seen;  // --unique
  int64_t key_bytes = 0;  // counted against --max-memory
  RoundResult result;
  std::vector<GroupRow> rows;
  std::vector<GroupProblem> group_problems;
  Tally group_tally;  // values of the group rows that are not UTF-8
};

class KeyedRun : public RecordRun {
 public:
  KeyedRun(const Options &o, RecordWriter &writer) : o_(o), writer_(writer) {}

  bool started() const override { return !workers_.empty(); }
  const std::vector<std::string> &columns() const override { return columns_; }
  size_t workers() const override { return workers_.size(); }
  uint64_t records() const override { return records_; }

  int open(const std::vector<std::string> &columns, const std::deque<Record> &window, bool json) override {
    std::string error;
    if (!keys_.bind(o_.keys, columns, &error)) {
      std::fprintf(stderr, "exprun: %s\n", error.c_str());
      return kUsage;
    }
    int status = kOk;
    std::vector<std::string> notices;
    auto main = open_main_session(o_, columns, window, json, &notices, &status);
    if (!main) return status;
    const bool chosen = o_.key_mode == KeyMode::Group
                            ? choose_group_outputs(*main, columns, &error, &notices)
                            : main->choose_outputs(o_, json && o_.on_error == OnError::Null, &error, &notices);
    if (!chosen) {
      std::fprintf(stderr, "exprun: %s\n", error.c_str());
      return kUsage;
    }
    // Every key has its own statics, so only what depends on the order of all records keeps a
    // keyed run on one worker (--unique keeps no state per key: any state does).
    std::string why;
    const bool one_worker = o_.key_mode == KeyMode::Unique ? main->keeps_state(&why) : main->order_bound(&why);
    const size_t jobs = worker_count(o_, one_worker, why);
    print_notices(o_, notices);
    std::vector<std::unique_ptr<Session>> sessions;
    if (!start_workers(o_, std::move(main), jobs, &sessions)) return kUsage;
    workers_.resize(sessions.size());
    for (size_t k = 0; k < sessions.size(); ++k) workers_[k].session = std::move(sessions[k]);
    if (o_.key_mode != KeyMode::Unique)
      for (Worker &w : workers_) {
        w.states = std::make_unique<KeyStates>(w.session->engine(), w.session->program());
        if (int rc = w.states->start()) {
          Failure f;
          read_failure(w.session->engine(), rc, &f);
          std::fprintf(stderr, "exprun: cannot keep the program's state: %s\n", f.message.c_str());
          return kRunError;
        }
      }
    if (workers_.size() > 1) pool_ = std::make_unique<WorkerPool>(workers_.size());
    columns_ = columns;
    std::vector<std::string> names;
    for (const OutputColumn &c : workers_[0].session->outputs()) names.push_back(c.name);
    writer_.begin(names);
    return kOk;
  }

  // Runs the whole round here: both phases need every share.
  void start(const std::vector<Work> &work, const ReaderOptions &ro) override {
    batches_.resize(work.size());
    for (size_t k = 0; k < work.size(); ++k) {
      Batch &b = batches_[k];
      b.chunk = work[k].chunk;
      b.first_line = work[k].first_line;
      b.records = work[k].records;
      b.count = work[k].count;
      b.read_error.clear();
    }
    on_pool([&](size_t k) {
      if (k < batches_.size()) key_batch(batches_[k], ro);
    });
    limit_ = UINT64_MAX;  // records from here on are not run: a chunk stopped reading
    read_error_ = nullptr;
    for (size_t k = 0; k < batches_.size(); ++k) {
      batches_[k].base = k ? batches_[k - 1].base + batches_[k - 1].count : records_;
      if (!batches_[k].read_error.empty() && !read_error_) {
        read_error_ = &batches_[k].read_error;
        limit_ = batches_[k].base + batches_[k].count;
      }
    }
    on_pool([&](size_t w) { run_records(w); });
  }

  int finish(const std::string &path) override {
    last_path_ = path;
    return merge(path);
  }

  int close() override {
    int groups = kOk;
    if (o_.key_mode == KeyMode::Group && started()) {
      groups = write_groups();
      if (groups != kOk && groups != kSkipped) return groups;
    }
    std::vector<const Session *> sessions;
    for (const Worker &w : workers_) sessions.push_back(w.session.get());
    const int status = totals_.report(o_, sessions, records_);
    return status != kOk ? status : groups;
  }

 private:
  // The columns of a group's row: its keys, then the program's static variables and the --end
  // program's variables (hidden ones aside), or those --output names; --exclude drops some.
  bool choose_group_outputs(Session &s, const std::vector<std::string> &columns, std::string *error,
                            std::vector<std::string> *notices) const {
    std::vector<OutputColumn> all;
    for (size_t k : keys_.indexes()) all.push_back({columns[k], nullptr, false, static_cast<int>(k)});
    exp_engine *e = s.engine();
    for (int i = 0, n = exp_symbol_count(e); i < n; ++i) {
      exp_symval *cell = nullptr;
      const char *name = nullptr;
      if (exp_symbol_get(e, i, &cell) || exp_symbol_name_get(e, i, &name)) continue;
      if (cell->flags & (EXP_HOSTSYM | EXP_HIDDEN)) continue;
      if ((cell->flags & EXP_STATIC) || i >= s.end_symbols_from()) all.push_back({name, cell, false, -1});
    }
    std::vector<OutputColumn> chosen;
    for (const std::string &name : o_.output) {
      auto it = std::find_if(all.begin(), all.end(), [&](const OutputColumn &c) { return c.name == name; });
      if (it == all.end()) {
        *error = "--output names '" + name + "', which is neither a key column nor a variable kept per group";
        return false;
      }
      chosen.push_back(*it);
    }
    if (o_.output.empty()) chosen = all;
    for (const std::string &name : o_.exclude) {
      auto it = std::remove_if(chosen.begin(), chosen.end(), [&](const OutputColumn &c) { return c.name == name; });
      if (it == chosen.end()) notices->push_back("--exclude names '" + name + "', which is not written anyway");
      chosen.erase(it, chosen.end());
    }
    s.set_outputs(std::move(chosen));
    return true;
  }

  // Runs task(k) for every worker: on the pool, or here with one worker.
  void on_pool(const std::function<void(size_t)> &task) {
    if (!pool_) return task(0);
    pool_->start(task);
    pool_->wait();
  }

  // Parses the batch's chunk (when it has one) and keys its records.
  void key_batch(Batch &b, const ReaderOptions &ro) {
    if (b.chunk) {
      b.count = parse_work({nullptr, 0, b.chunk, b.first_line}, ro, columns_, &b.parsed, &b.read_error);
      b.records = b.parsed.data();
    }
    if (b.keys.size() < b.count) b.keys.resize(b.count);
    b.owners.resize(b.count);
    const size_t workers = workers_.size();
    for (size_t i = 0; i < b.count; ++i) {
      keys_.encode(b.records[i], &b.keys[i]);
      b.owners[i] = workers == 1 ? 0 : static_cast<uint32_t>(std::hash<std::string>{}(b.keys[i]) % workers);
    }
  }

  // The message for keys that no longer fit in --max-memory.
  std::string memory_message() const {
    const unsigned long long n = keys_total_.load();
    return o_.key_mode == KeyMode::Unique
               ? "the keys of " + std::to_string(n) + " distinct records do not fit in --max-memory (" +
                     std::to_string(o_.max_memory) + " bytes); raise --max-memory"
               : "the state of " + std::to_string(n) + " groups does not fit in --max-memory (" +
                     std::to_string(o_.max_memory) + " bytes); raise --max-memory or use fewer keys";
  }

  // The failure of a state call of the library; past the memory limit, the message names the keys.
  Failure library_failure(exp_engine *e) const {
    const char *message = nullptr;
    Failure f;
    read_failure(e, exp_error_info(e, &message, nullptr, nullptr), &f);
    if (f.code == EXP_E_LIMIT) f = Failure{0, memory_message(), 0, 0};
    return f;
  }

  // Counts a new key's bytes; false when they pass --max-memory.
  bool count_key(Worker &w, const std::string &key) {
    keys_total_.fetch_add(1, std::memory_order_relaxed);
    w.key_bytes += static_cast<int64_t>(key.size()) + kKeyOverhead;
    return w.key_bytes <= o_.max_memory;
  }

  // Worker w runs its records of the round, below the limit.
  void run_records(size_t w) {
    Worker &wk = workers_[w];
    RoundResult &r = wk.result;
    r.out.clear();
    r.lengths.clear();
    r.tally.clear();
    uint64_t index = 0, line = 0;
    try {
      for (const Batch &b : batches_)
        for (size_t i = 0; i < b.count && b.base + i < limit_; ++i) {
          if (b.owners[i] != w) continue;
          index = b.base + i;
          line = b.records[i].line;
          if (!run_record(wk, b.records[i], b.keys[i], index)) return;
        }
    } catch (const std::bad_alloc &) {
      r.tally.stopped = true;
      r.tally.stop = {index, line, Outcome::RunError, Failure{1, "out of memory", 0, 0}};
    }
  }

  // Runs one record on its worker; false when the run must stop.
  bool run_record(Worker &w, const Record &rec, const std::string &key, uint64_t index) {
    RoundResult &r = w.result;
    Session &s = *w.session;
    const bool unique = o_.key_mode == KeyMode::Unique;
    auto stop = [&](const Failure &f) {
      r.tally.stopped = true;
      r.tally.stop = {index, rec.line, Outcome::RunError, f};
      return false;
    };
    auto nothing_written = [&] {
      r.lengths.push_back(0);
      return true;
    };
    if (unique && !o_.filter && w.seen.count(key)) return nothing_written();
    if (w.states) {
      bool added = false;
      if (w.states->enter(key, index, &added)) return stop(library_failure(s.engine()));
      if (added && !count_key(w, key)) return stop(Failure{0, memory_message(), 0, 0});
    }
    // A record that fails and is dropped or nulled must leave no trace in its key's state: a copy
    // of the state is kept while it runs.
    std::unique_ptr<exp_state, void (*)(exp_state *)> undo(nullptr, exp_state_free);
    if (w.states && o_.on_error != OnError::Stop) {
      undo.reset(exp_state_save(s.engine(), s.program()));
      if (!undo) return stop(library_failure(s.engine()));
    }
    Failure f;
    const Outcome oc = s.run(rec, &f);
    if (oc != Outcome::Ok && oc != Outcome::Filtered && undo) exp_state_restore(s.engine(), s.program(), undo.get());
    if (oc == Outcome::Filtered) {
      ++r.tally.filtered;
      return nothing_written();
    }
    Fate fate = settle(o_, oc, f, index, rec.line, &r.tally);
    if (fate == Fate::Stop) return false;
    if (fate == Fate::Drop) return nothing_written();
    if (unique) {
      if (!w.seen.insert(key).second) return nothing_written();
      if (!count_key(w, key)) return stop(Failure{0, memory_message(), 0, 0});
    }
    if (o_.key_mode == KeyMode::Group) return nothing_written();
    const size_t before = r.out.size();
    bool failed_late = false;
    fate = write_record(s, writer_, o_, rec, oc, index, &r.out, &r.tally, &failed_late);
    if (failed_late && undo) exp_state_restore(s.engine(), s.program(), undo.get());
    if (fate == Fate::Stop) return false;
    r.lengths.push_back(static_cast<uint32_t>(r.out.size() - before));
    return true;
  }

  // Writes the round's records in input order up to the first stop, reports its problems, and
  // returns the exit status of a stop (else kOk).
  int merge(const std::string &path) {
    uint64_t limit = limit_;
    const Problem *stop = nullptr;
    for (Worker &w : workers_)
      if (w.result.tally.stopped && w.result.tally.stop.index < limit) {
        limit = w.result.tally.stop.index;
        stop = &w.result.tally.stop;
      }
    std::vector<size_t> next(workers_.size(), 0), offset(workers_.size(), 0);
    std::string out;
    for (const Batch &b : batches_)
      for (size_t i = 0; i < b.count && b.base + i < limit; ++i) {
        const size_t w = b.owners[i];
        const uint32_t n = workers_[w].result.lengths[next[w]++];
        out.append(workers_[w].result.out, offset[w], n);
        offset[w] += n;
      }
    std::vector<Problem> reported;
    for (Worker &w : workers_) {
      for (const Problem &p : w.result.tally.reported)
        if (p.index < limit) reported.push_back(p);
      totals_.add(w.result.tally, 0, path, workers_[0].session->outputs());
    }
    std::sort(reported.begin(), reported.end(), [](const Problem &a, const Problem &b) { return a.index < b.index; });
    if (reported.size() > kMaxReportedPerRound) reported.resize(kMaxReportedPerRound);
    if (!writer_.write_raw(out)) {
      std::fprintf(stderr, "exprun: cannot write the output: %s\n", writer_.error().c_str());
      return kRunError;
    }
    for (const Problem &p : reported) report_problem(o_, path, p.index + 1, p, true);
    uint64_t total = 0;
    for (const Batch &b : batches_) total += b.count;
    records_ += std::min<uint64_t>(total, limit - std::min(limit, records_));
    if (stop) {
      writer_.flush();
      return report_problem(o_, path, stop->index + 1, *stop, false);
    }
    if (read_error_) {
      std::fprintf(stderr, "exprun: %s: %s\n", path.c_str(), read_error_->c_str());
      return stop_requested() ? interrupted_status() : kInputError;
    }
    return kOk;
  }

  // The key of a group as people read it: its fields joined by commas.
  std::string shown_key(const Record &rec) const {
    std::string s;
    for (size_t k : keys_.indexes())
      s += (s.empty() ? "" : ",") + (rec.kinds[k] == FieldKind::Null ? std::string("null") : rec.fields[k]);
    return s;
  }

  // Worker w makes the rows of its groups: each group's state made current, the --end program
  // run with the group's keys bound, the outputs formatted.
  void group_rows(size_t w) {
    Worker &wk = workers_[w];
    Session &s = *wk.session;
    Record rec;
    for (size_t g = 0; g < wk.states->size(); ++g) {
      keys_.decode(wk.states->key(g), columns_.size(), &rec);
      Failure f;
      Outcome oc = Outcome::Ok;
      if (int rc = wk.states->enter(g)) {
        read_failure(s.engine(), rc, &f);
        oc = Outcome::RunError;
      } else if (!o_.end_program.empty()) {
        oc = s.run_end(rec, &f);
      }
      if (oc != Outcome::Ok) {
        wk.group_problems.push_back({wk.states->first(g), shown_key(rec), f});
        if (o_.on_error != OnError::Null) continue;
      }
      std::string text;
      s.read_outputs(rec, oc != Outcome::Ok, true);
      const RecordWriter::Written written = writer_.format(s.values(), s.kinds(), {}, &text);
      if (written.bad_utf8) {  // a key that is not UTF-8, counted as for any record
        Tally &t = wk.group_tally;
        if (!t.bad_utf8) t.bad_utf8_index = wk.states->first(g), t.bad_utf8_column = written.first_bad;
        t.bad_utf8 += written.bad_utf8;
      }
      wk.rows.push_back({wk.states->first(g), std::move(text)});
    }
  }

  // Writes one row per group, in order of the groups' first records; the failures of --end come
  // first, by the same order.
  int write_groups() {
    on_pool([&](size_t w) {
      try {
        group_rows(w);
      } catch (const std::bad_alloc &) {
        workers_[w].group_problems.push_back({0, "", Failure{1, "out of memory", 0, 0}});
      }
    });
    std::vector<const GroupProblem *> problems;
    std::vector<const GroupRow *> rows;
    for (const Worker &w : workers_) {
      totals_.add(w.group_tally, 0, last_path_, workers_[0].session->outputs());
      for (const GroupProblem &p : w.group_problems) problems.push_back(&p);
      for (const GroupRow &row : w.rows) rows.push_back(&row);
    }
    auto by_first = [](const auto *a, const auto *b) { return a->first < b->first; };
    std::sort(problems.begin(), problems.end(), by_first);
    for (const GroupProblem *p : problems) {
      std::string where = "group '" + p->key + "' (first on record " + std::to_string(p->first + 1) + "): ";
      print_failure(stderr, where + "--end run-time", p->failure, o_.end_program, "--end");
      if (o_.on_error == OnError::Stop) return kRunError;
    }
    std::sort(rows.begin(), rows.end(), by_first);
    std::string out;
    for (const GroupRow *row : rows) out += row->text;
    if (!writer_.write_raw(out)) {
      std::fprintf(stderr, "exprun: cannot write the output: %s\n", writer_.error().c_str());
      return kRunError;
    }
    if (problems.empty()) return kOk;
    const bool skipped = o_.on_error == OnError::Skip;
    std::fprintf(stderr, "exprun: %zu group(s) %s after errors\n", problems.size(),
                 skipped ? "skipped" : "written with null variables");
    return skipped ? kSkipped : kOk;
  }

  const Options &o_;
  RecordWriter &writer_;
  KeyColumns keys_;
  std::vector<Worker> workers_;
  std::unique_ptr<WorkerPool> pool_;
  std::vector<std::string> columns_;
  std::vector<Batch> batches_;  // the round's shares, their records kept from round to round
  uint64_t limit_ = UINT64_MAX;
  const std::string *read_error_ = nullptr;
  std::string last_path_;
  std::atomic<uint64_t> keys_total_{0};
  uint64_t records_ = 0;
  RunTotals totals_;
};

}  // namespace

std::unique_ptr<RecordRun> make_keyed_run(const Options &o, RecordWriter &writer) {
  return std::make_unique<KeyedRun>(o, writer);
}
