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
#include <cstring>
#include <functional>
#include <iterator>
#include <memory>
#include <new>
#include <unordered_set>

#include "column_plan.h"
#include "diagnostics.h"
#include "keys.h"
#include "lint.h"
#include "lookups.h"
#include "pool.h"
#include "records.h"
#include "runner.h"
#include "session.h"
#include "streams.h"

namespace {

constexpr size_t kChunkBytes = 1 << 20;  // text of whole records per worker and round
constexpr size_t kMaxReportedPerRound = 10;

std::string program_name(const Options &o) { return o.program_file.empty() ? "<program>" : o.program_file; }

// A record that did not go through, kept for the message; `seq` counts records from 0 over all
// inputs.
struct Problem {
  uint64_t seq = 0;
  uint64_t line = 0;
  Outcome outcome = Outcome::Ok;
  Failure failure;
};

// One chunk of a round: the text of whole records, or records the main reader read ahead.
struct Batch {
  const std::string *chunk = nullptr;
  uint64_t first_line = 0;
  std::vector<Record> parsed;     // the chunk's records (kept from round to round)
  const Record *records = nullptr;
  size_t count = 0;
  std::vector<std::string> keys;  // per record
  std::vector<uint32_t> owners;   // per record: the worker its key hashes to
  std::string read_error;         // the chunk's text stopped reading after `count` records
  uint64_t base = 0;              // seq of its first record
};

// What a worker made of its records in a round.
struct RoundResult {
  std::string out;                // formatted records, in order
  std::vector<uint32_t> lengths;  // per record it went through: its bytes in `out` (0: none)
  std::vector<Problem> reported;  // skipped or nulled records (the first few)
  bool stopped = false;
  Problem stop;
  uint64_t skipped = 0, nulled = 0;
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

struct Worker {
  std::unique_ptr<Session> session;
  std::unique_ptr<KeyStates> states;  // --group-by, --partition-by
  std::unordered_set<std::string> seen;  // --unique
  int64_t key_bytes = 0;  // counted against --max-memory
  RoundResult result;
  std::vector<GroupRow> rows;
  std::vector<GroupProblem> group_problems;
};

class KeyedRun {
 public:
  KeyedRun(const Options &o, RecordWriter &writer) : o_(o), writer_(writer) {}

  bool started() const { return !workers_.empty(); }
  const std::vector<std::string> &columns() const { return columns_; }
  size_t workers() const { return workers_.size(); }
  uint64_t records() const { return records_; }

  // Compiles the program for the first input's columns (`json`: JSON lines), chooses the output
  // and writes the header.
  int open(const std::vector<std::string> &columns, const std::deque<Record> &window, bool json) {
    std::string error;
    if (!keys_.bind(o_.keys, columns, &error)) {
      std::fprintf(stderr, "exprun: %s\n", error.c_str());
      return kUsage;
    }
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
    if (!main && f.message.rfind("--end: ", 0) == 0) {
      print_failure(stderr, "compile", f, o_.end_program, o_.end_program_file.empty() ? "--end" : o_.end_program_file);
      return kUsage;
    }
    if (!main) {
      print_failure(stderr, "compile", f, o_.program, program_name(o_));
      print_hint(stderr, f, o_.program, columns);
      return kUsage;
    }
    std::vector<std::string> text_columns;
    for (size_t i = 0; i < columns.size(); ++i)
      if (plan.bound[i] && plan.types[i] == EXP_STRING) text_columns.push_back(columns[i]);
    if (print_all_warnings(stderr, o_, main->program(), main->functions(), text_columns) && o_.strict) return kUsage;
    bool chosen = o_.key_mode == KeyMode::Group ? choose_group_outputs(*main, columns, &error, &notices)
                                                : main->choose_outputs(o_, json && o_.on_error == OnError::Null, &error, &notices);
    if (!chosen) {
      std::fprintf(stderr, "exprun: %s\n", error.c_str());
      return kUsage;
    }
    size_t jobs = static_cast<size_t>(o_.jobs);
    std::string why;
    if (jobs > 1 && (o_.key_mode == KeyMode::Unique ? main->keeps_state(&why) : main->order_bound(&why))) {
      std::fprintf(stderr, "exprun: notice: running on one worker, not %zu: %s\n", jobs, why.c_str());
      jobs = 1;
    }
    for (const std::string &n : notices)
      std::fprintf(stderr, "exprun: %s%s\n", o_.verbose && n.rfind("capabilities", 0) == 0 ? "" : "notice: ", n.c_str());
    workers_.resize(jobs);
    workers_[0].session = std::move(main);
    for (size_t k = 1; k < jobs; ++k)
      if (!(workers_[k].session = workers_[0].session->clone(&f))) {
        print_failure(stderr, "worker set-up", f, o_.program, program_name(o_));
        return kUsage;
      }
    if (o_.key_mode != KeyMode::Unique)
      for (Worker &w : workers_) {
        w.states = std::make_unique<KeyStates>(w.session->engine(), w.session->program());
        if (int rc = w.states->start()) {
          read_failure(w.session->engine(), rc, &f);
          std::fprintf(stderr, "exprun: cannot keep the program's state: %s\n", f.message.c_str());
          return kRunError;
        }
      }
    if (jobs > 1) pool_ = std::make_unique<WorkerPool>(jobs);
    columns_ = columns;
    std::vector<std::string> names;
    for (const OutputColumn &c : workers_[0].session->outputs()) names.push_back(c.name);
    writer_.begin(names);
    return kOk;
  }

  // Runs one round of batches (at most one per worker). Returns kOk to go on, or the exit status.
  int round(std::vector<Batch> &batches, const ReaderOptions &ro, const std::string &path) {
    on_pool([&](size_t k) {
      if (k < batches.size()) key_batch(batches[k], ro);
    });
    uint64_t limit = UINT64_MAX;  // records from here on are not run: a chunk stopped reading
    const std::string *read_error = nullptr;
    for (size_t k = 0; k < batches.size(); ++k) {
      batches[k].base = k ? batches[k - 1].base + batches[k - 1].count : records_;
      if (!batches[k].read_error.empty() && !read_error) {
        read_error = &batches[k].read_error;
        limit = batches[k].base + batches[k].count;
      }
    }
    on_pool([&](size_t w) { run_records(w, batches, limit); });
    return merge(batches, limit, read_error, path);
  }

  // Writes the groups (--group-by) and the closing counts; returns the exit status.
  int finish() {
    if (o_.key_mode == KeyMode::Group && started())
      if (int rc = write_groups()) return rc;
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
      size_t n = 0;
      try {
        MemoryInput in(*b.chunk);
        RecordReader reader(in, ro, columns_, b.first_line);
        for (;; ++n) {
          if (b.parsed.size() <= n) b.parsed.emplace_back();
          if (!reader.next(&b.parsed[n], &b.read_error)) break;
        }
      } catch (const std::bad_alloc &) {
        b.read_error = "out of memory";
      }
      b.records = b.parsed.data();
      b.count = n;
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

  // Worker w runs its records of the round, below `limit`.
  void run_records(size_t w, const std::vector<Batch> &batches, uint64_t limit) {
    Worker &wk = workers_[w];
    RoundResult &r = wk.result;
    r.out.clear();
    r.lengths.clear();
    r.reported.clear();
    r.stopped = false;
    r.skipped = r.nulled = 0;
    uint64_t seq = 0, line = 0;
    try {
      for (const Batch &b : batches)
        for (size_t i = 0; i < b.count && b.base + i < limit; ++i) {
          if (b.owners[i] != w) continue;
          seq = b.base + i;
          line = b.records[i].line;
          if (!run_record(wk, b.records[i], b.keys[i], seq)) return;
        }
    } catch (const std::bad_alloc &) {
      r.stopped = true;
      r.stop = {seq, line, Outcome::RunError, Failure{1, "out of memory", 0, 0}};
    }
  }

  // Runs one record on its worker; false when the run must stop.
  bool run_record(Worker &w, const Record &rec, const std::string &key, uint64_t seq) {
    RoundResult &r = w.result;
    Session &s = *w.session;
    const bool unique = o_.key_mode == KeyMode::Unique;
    auto stop = [&](Outcome oc, const Failure &f) {
      r.stopped = true;
      r.stop = {seq, rec.line, oc, f};
      return false;
    };
    if (unique && !o_.filter && w.seen.count(key)) {
      r.lengths.push_back(0);
      return true;
    }
    if (w.states) {
      bool added = false;
      if (w.states->enter(key, seq, &added)) return stop(Outcome::RunError, library_failure(s.engine()));
      if (added && !count_key(w, key)) return stop(Outcome::RunError, Failure{0, memory_message(), 0, 0});
    }
    // A record that fails and is dropped or nulled must leave no trace in its key's state: a copy
    // of the state is kept while it runs.
    std::unique_ptr<exp_state, void (*)(exp_state *)> undo(nullptr, exp_state_free);
    if (w.states && o_.on_error != OnError::Stop) {
      undo.reset(exp_state_save(s.engine(), s.program()));
      if (!undo) return stop(Outcome::RunError, library_failure(s.engine()));
    }
    Failure f;
    Outcome oc = s.run(rec, &f);
    if (oc != Outcome::Ok && oc != Outcome::Filtered && undo) exp_state_restore(s.engine(), s.program(), undo.get());
    if (oc == Outcome::Filtered) {
      r.lengths.push_back(0);
      return true;
    }
    if (oc != Outcome::Ok) {
      if (o_.on_error == OnError::Stop || stop_requested()) return stop(oc, f);
      if (r.reported.size() < kMaxReportedPerRound) r.reported.push_back({seq, rec.line, oc, f});
      if (o_.on_error == OnError::Skip || o_.filter || o_.key_mode == KeyMode::Group) {
        ++r.skipped;
        r.lengths.push_back(0);
        return true;
      }
      ++r.nulled;
    }
    if (unique) {
      if (!w.seen.insert(key).second) {
        r.lengths.push_back(0);
        return true;
      }
      if (!count_key(w, key)) return stop(Outcome::RunError, Failure{0, memory_message(), 0, 0});
    }
    if (o_.key_mode == KeyMode::Group) {
      r.lengths.push_back(0);
      return true;
    }
    const size_t before = r.out.size();
    s.read_outputs(rec, oc != Outcome::Ok, oc == Outcome::InputError);
    writer_.format(s.values(), s.kinds(), rec.extra, &r.out);
    r.lengths.push_back(static_cast<uint32_t>(r.out.size() - before));
    return true;
  }

  // Writes the round's records in input order up to the first stop, reports its problems, and
  // returns the exit status of a stop (else kOk).
  int merge(const std::vector<Batch> &batches, uint64_t limit, const std::string *read_error, const std::string &path) {
    const Problem *stop = nullptr;
    for (Worker &w : workers_)
      if (w.result.stopped && w.result.stop.seq < limit) {
        limit = w.result.stop.seq;
        stop = &w.result.stop;
      }
    std::vector<size_t> next(workers_.size(), 0), offset(workers_.size(), 0);
    std::string out;
    for (const Batch &b : batches)
      for (size_t i = 0; i < b.count && b.base + i < limit; ++i) {
        const size_t w = b.owners[i];
        const uint32_t n = workers_[w].result.lengths[next[w]++];
        out.append(workers_[w].result.out, offset[w], n);
        offset[w] += n;
      }
    std::vector<Problem> reported;
    for (Worker &w : workers_) {
      for (const Problem &p : w.result.reported)
        if (p.seq < limit) reported.push_back(p);
      skipped_ += w.result.skipped;
      nulled_ += w.result.nulled;
    }
    std::sort(reported.begin(), reported.end(), [](const Problem &a, const Problem &b) { return a.seq < b.seq; });
    if (reported.size() > kMaxReportedPerRound) reported.resize(kMaxReportedPerRound);
    if (!writer_.write_raw(out)) {
      std::fprintf(stderr, "exprun: cannot write the output: %s\n", writer_.error().c_str());
      return kRunError;
    }
    for (const Problem &p : reported) report(p, true);
    uint64_t total = 0;
    for (const Batch &b : batches) total += b.count;
    records_ += std::min<uint64_t>(total, limit - std::min(limit, records_));
    if (stop) {
      writer_.flush();
      return report(*stop, false);
    }
    if (read_error) {
      std::fprintf(stderr, "exprun: %s: %s\n", path.c_str(), read_error->c_str());
      return stop_requested() ? interrupted_status() : kInputError;
    }
    return kOk;
  }

  // Prints the message of a record that failed; returns the exit status when it stops the run.
  int report(const Problem &p, bool warning) const {
    if (!warning && stop_requested()) {
      std::fprintf(stderr, "exprun: interrupted at record %llu\n", static_cast<unsigned long long>(p.seq + 1));
      return interrupted_status();
    }
    std::string where = "record " + std::to_string(p.seq + 1) + " (input line " + std::to_string(p.line) + "): ";
    const bool dropped = o_.on_error == OnError::Skip || o_.filter || o_.key_mode == KeyMode::Group;
    std::string policy = warning ? (dropped ? " (skipped)" : " (written with a null result)") : "";
    if (p.outcome == Outcome::InputError) {
      std::fprintf(stderr, "exprun: %sinput error: %s%s\n", where.c_str(), p.failure.message.c_str(), policy.c_str());
      return kInputError;
    }
    if (p.failure.code == 0) {  // exprun's own limit (keys past --max-memory)
      std::fprintf(stderr, "exprun: %s%s\n", where.c_str(), p.failure.message.c_str());
      return kRunError;
    }
    print_failure(stderr, where + "run-time", p.failure, o_.program, program_name(o_));
    std::string denied = denial_hint(p.failure);
    if (!denied.empty()) std::fprintf(stderr, "hint: %s\n", denied.c_str());
    if (warning) std::fprintf(stderr, "exprun: %s\n", policy.c_str() + 1);
    return kRunError;
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
      writer_.format(s.values(), s.kinds(), {}, &text);
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
  std::atomic<uint64_t> keys_total_{0};
  uint64_t records_ = 0, skipped_ = 0, nulled_ = 0;
};

// Reads the text of the next round into the batches: one chunk of whole records per worker.
void read_round(RecordReader &reader, size_t workers, std::vector<std::string> &chunks, std::vector<Batch> &batches,
                std::string *error) {
  chunks.resize(workers);
  size_t n = 0;
  for (; n < workers && error->empty(); ++n) {
    uint64_t first_line = 0;
    if (!reader.read_chunk(&chunks[n], kChunkBytes, &first_line, error)) break;
    if (batches.size() <= n) batches.emplace_back();
    Batch &b = batches[n];
    b.chunk = &chunks[n];
    b.first_line = first_line;
    b.records = nullptr;
    b.count = 0;
    b.read_error.clear();
  }
  batches.resize(n);
}

// Runs one input through the keyed run. Returns kOk to go on with the next input, or the exit status.
int run_input(const Options &o, const std::string &path, KeyedRun &run) {
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
    if (run.started()) return kOk;
    Failure f;  // an empty input: the program is still checked, so that its errors show
    if (compile_alone(o, [](exp_engine *, exp_pcode *, const std::vector<exp_pcode *> &) {}, &f)) return kOk;
    print_failure(stderr, "compile", f, o.program, program_name(o));
    return kUsage;
  }
  if (!run.started()) {
    if (int rc = run.open(columns, reader.window(), ro.format == Format::Jsonl)) return rc;
  } else if (columns != run.columns()) {
    std::fprintf(stderr, "exprun: %s: its columns differ from those of the first input\n", path.c_str());
    return kInputError;
  }
  // The records read ahead to find the columns make the first batch; then chunks of text.
  std::deque<Record> ahead = reader.take_window();
  std::vector<Record> window(std::make_move_iterator(ahead.begin()), std::make_move_iterator(ahead.end()));
  std::vector<Batch> batches;
  std::vector<std::string> chunks;
  std::string read_error;
  if (!window.empty()) {
    batches.emplace_back();
    batches[0].records = window.data();
    batches[0].count = window.size();
  } else {
    read_round(reader, run.workers(), chunks, batches, &read_error);
  }
  while (!batches.empty()) {
    if (int rc = run.round(batches, ro, path)) return rc;
    if (stop_requested()) {
      std::fprintf(stderr, "exprun: interrupted after record %llu\n", static_cast<unsigned long long>(run.records()));
      return interrupted_status();
    }
    if (!read_error.empty()) break;
    read_round(reader, run.workers(), chunks, batches, &read_error);
  }
  if (!read_error.empty()) {
    if (stop_requested()) return interrupted_status();
    std::fprintf(stderr, "exprun: %s: %s\n", path.c_str(), read_error.c_str());
    return kInputError;
  }
  return kOk;
}

}  // namespace

int process_keyed(const Options &o) {
  std::string error;
  auto out = OutputStream::open(o.output_path, &error);
  if (!out) {
    std::fprintf(stderr, "exprun: %s\n", error.c_str());
    return kUsage;
  }
  RecordWriter writer(*out, o.out_format, o.ofs, o.out_header);
  KeyedRun run(o, writer);
  std::vector<std::string> inputs = o.inputs.empty() ? std::vector<std::string>{"-"} : o.inputs;
  int status = kOk;
  for (const std::string &path : inputs)
    if ((status = run_input(o, path, run)) != kOk) break;
  if (status == kOk) status = run.finish();
  if (!out->close()) {
    std::fprintf(stderr, "exprun: cannot write the output: %s\n", out->error().c_str());
    if (status == kOk || status == kSkipped) status = kRunError;
  }
  return status;
}
