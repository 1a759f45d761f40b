// The parts of a run over records that the plain and the keyed runs share.
#include "record_run.h"

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <iterator>
#include <map>
#include <new>
#include <utility>

#include "column_plan.h"
#include "diagnostics.h"
#include "lint.h"
#include "streams.h"

namespace {

constexpr size_t kChunkBytes = 1 << 20;  // text of whole records per worker and round
constexpr size_t kMaxReported = 10;      // skipped or nulled records a worker keeps per round

// Programs a signal cancels, and the signal that came (the handler may only do lock-free stores).
std::atomic<exp_pcode *> g_running[kMaxJobs];
std::atomic<int> g_signal{0};

std::string records_text(uint64_t n) { return with_commas(n) + (n == 1 ? " record" : " records"); }

// Whether a record that fails is left out rather than written with nulls: --on-error skip,
// --filter (a failed test keeps nothing), and groups (a group's row is written at the end).
bool drops_failures(const Options &o) {
  return o.on_error == OnError::Skip || o.filter || o.key_mode == KeyMode::Group;
}

// Says once per cell how many records cut a string to its cell's limit, summed over the workers.
void report_cuts(const std::vector<const Session *> &sessions) {
  if (sessions.empty()) return;
  std::map<std::pair<int, std::string>, uint64_t> counts;  // by what and name
  for (const Session *s : sessions)
    for (size_t k = 0; k < s->cut_watches().size(); ++k)
      counts[{static_cast<int>(s->cut_watches()[k].what), s->cut_watches()[k].name}] += s->cuts()[k];
  for (const CutWatch &c : sessions[0]->cut_watches()) {
    const uint64_t n = counts[{static_cast<int>(c.what), c.name}];
    if (!n) continue;
    const std::string limit = with_commas(c.limit) + (c.limit == 1 ? " character" : " characters");
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

// A progress line on a terminal, at most twice a second.
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

// Splits records already read into one share per worker.
std::vector<Work> share(const std::vector<Record> &records, size_t workers) {
  std::vector<Work> work;
  size_t n = records.size(), per = (n + workers - 1) / workers;
  for (size_t b = 0; b < n; b += per) work.push_back({records.data() + b, std::min(per, n - b), nullptr, 0});
  return work;
}

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

// Runs one input through the run. Returns kOk to go on with the next input, or the exit status.
int run_input(const Options &o, const std::string &path, RecordRun &run) {
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
  std::vector<Work> work = share(window, run.workers());
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
    // The next round is read while the workers run this one (when the run lets them).
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

std::string program_name(const Options &o) { return o.program_file.empty() ? "<program>" : o.program_file; }

int interrupted_status() { return g_signal.load() ? 128 + g_signal.load() : kInterrupted; }

void stop_from_signal(int signal) {
  int expected = 0;
  g_signal.compare_exchange_strong(expected, signal);
  request_stop();
  for (auto &p : g_running)
    if (exp_pcode *prog = p.load(std::memory_order_relaxed)) exp_cancel_execution(prog);
}

Fate settle(const Options &o, Outcome oc, const Failure &f, uint64_t index, uint64_t line, Tally *t) {
  if (oc == Outcome::Ok) return Fate::Write;
  if (o.on_error == OnError::Stop || stop_requested()) {
    t->stopped = true;
    t->stop = {index, line, oc, f};
    return Fate::Stop;
  }
  if (t->reported.size() < kMaxReported) t->reported.push_back({index, line, oc, f});
  if (drops_failures(o)) {
    ++t->skipped;
    return Fate::Drop;
  }
  ++t->nulled;
  return Fate::Write;
}

Fate write_record(Session &s, const RecordWriter &writer, const Options &o, const Record &r, Outcome oc, uint64_t index,
                  std::string *out, Tally *t, bool *failed_late) {
  *failed_late = false;
  const size_t mark = out->size();
  s.read_outputs(r, oc != Outcome::Ok, oc == Outcome::InputError);
  RecordWriter::Written w = writer.format(s.values(), s.kinds(), r.extra, out);
  if (w.bad_utf8 && oc == Outcome::Ok && o.out_format == Format::Jsonl) {
    // JSON cannot hold the value as it is: the record fails after all.
    const auto k = static_cast<size_t>(w.first_bad);
    const Failure f{0, "column '" + s.outputs()[k].name + "': '" + shown(s.values()[k]) +
                           "' is not valid UTF-8, which JSON output cannot hold (--on-error null writes its bad "
                           "bytes as U+FFFD)", 0, 0};
    out->resize(mark);
    *failed_late = true;
    if (const Fate fate = settle(o, Outcome::InputError, f, index, r.line, t); fate != Fate::Write) return fate;
    s.read_outputs(r, true, true);
    w = writer.format(s.values(), s.kinds(), r.extra, out);
  }
  if (w.bad_utf8) {
    if (!t->bad_utf8) t->bad_utf8_index = index, t->bad_utf8_column = w.first_bad;
    t->bad_utf8 += w.bad_utf8;
  }
  return Fate::Write;
}

void RunTotals::add(const Tally &t, uint64_t first_record, const std::string &path,
                    const std::vector<OutputColumn> &outputs) {
  skipped_ += t.skipped;
  nulled_ += t.nulled;
  filtered_ += t.filtered;
  if (t.bad_utf8 && !bad_utf8_)
    bad_utf8_where_ = path + ", record " + with_commas(first_record + t.bad_utf8_index + 1) + ", column '" +
                      outputs[static_cast<size_t>(t.bad_utf8_column)].name + "'";
  bad_utf8_ += t.bad_utf8;
}

int RunTotals::report(const Options &o, const std::vector<const Session *> &sessions, uint64_t records) const {
  report_cuts(sessions);
  if (bad_utf8_)
    std::fprintf(stderr, "exprun: warning: %s value(s) are not valid UTF-8 (the first: %s); %s\n",
                 with_commas(bad_utf8_).c_str(), bad_utf8_where_.c_str(),
                 o.out_format == Format::Jsonl ? "their bad bytes were written to JSON as U+FFFD"
                                               : "they were written as read");
  uint64_t dropped = 0;
  for (const Session *s : sessions) dropped += s->times_dropped();
  if (dropped)
    std::fprintf(stderr, "exprun: warning: %s date(s) had a time of day that --date-format '%s' does not write\n",
                 with_commas(dropped).c_str(), o.date_format.c_str());
  if (o.verbose && o.filter)
    std::fprintf(stderr, "exprun: %llu of %llu record(s) dropped by --filter\n", static_cast<unsigned long long>(filtered_),
                 static_cast<unsigned long long>(records));
  if (nulled_)
    std::fprintf(stderr, "exprun: %llu record(s) written with a null result after errors\n",
                 static_cast<unsigned long long>(nulled_));
  if (skipped_) {
    std::fprintf(stderr, "exprun: %llu record(s) skipped after errors\n", static_cast<unsigned long long>(skipped_));
    return kSkipped;
  }
  return kOk;
}

int report_problem(const Options &o, const std::string &path, uint64_t record, const Problem &p, bool warning) {
  if (!warning && stop_requested()) {
    std::fprintf(stderr, "exprun: interrupted at record %llu\n", static_cast<unsigned long long>(record));
    return interrupted_status();
  }
  if (p.outcome == Outcome::ReadError) {
    std::fprintf(stderr, "exprun: %s: %s\n", path.c_str(), p.failure.message.c_str());
    return kInputError;
  }
  const std::string where = "record " + std::to_string(record) + " (input line " + std::to_string(p.line) + "): ";
  const std::string policy = warning ? (drops_failures(o) ? " (skipped)" : " (written with a null result)") : "";
  if (p.outcome == Outcome::InputError) {
    std::fprintf(stderr, "exprun: %sinput error: %s%s\n", where.c_str(), p.failure.message.c_str(), policy.c_str());
    return kInputError;
  }
  if (p.failure.code == 0) {  // exprun's own limit (keys past --max-memory)
    std::fprintf(stderr, "exprun: %s%s\n", where.c_str(), p.failure.message.c_str());
    return kRunError;
  }
  print_failure(stderr, where + "run-time", p.failure, o.program, program_name(o));
  const std::string denied = denial_hint(p.failure);
  if (!denied.empty()) std::fprintf(stderr, "hint: %s\n", denied.c_str());
  if (warning) std::fprintf(stderr, "exprun: %s\n", policy.c_str() + 1);
  return kRunError;
}

std::unique_ptr<Session> open_main_session(const Options &o, const std::vector<std::string> &columns,
                                           const std::deque<Record> &window, bool json,
                                           std::vector<std::string> *notices, int *status) {
  *status = kUsage;
  const ColumnPlan plan = plan_columns(o, columns, window, json);
  for (const std::string &n : plan.notes)
    if (o.verbose || n.starts_with("warning:")) std::fprintf(stderr, "exprun: %s\n", n.c_str());
  if (!plan.error.empty()) {
    std::fprintf(stderr, "exprun: %s\n", plan.error.c_str());
    *status = kInputError;
    return nullptr;
  }
  Failure f;
  auto main = Session::open(o, columns, plan, &f, notices);
  if (!main && f.message.starts_with("--end: ")) {
    print_failure(stderr, "compile", f, o.end_program, o.end_program_file.empty() ? "--end" : o.end_program_file);
    return nullptr;
  }
  if (!main) {
    print_failure(stderr, "compile", f, o.program, program_name(o));
    print_hint(stderr, f, o.program, columns);
    return nullptr;
  }
  std::vector<std::string> text_columns;
  for (size_t i = 0; i < columns.size(); ++i)
    if (plan.bound[i] && plan.types[i] == EXP_STRING) text_columns.push_back(columns[i]);
  if (print_all_warnings(stderr, o, main->program(), main->functions(), text_columns) && o.strict) return nullptr;
  *status = kOk;
  return main;
}

size_t worker_count(const Options &o, bool one_worker, const std::string &why) {
  const auto jobs = static_cast<size_t>(o.jobs);
  if (jobs <= 1 || !one_worker) return jobs;
  std::fprintf(stderr, "exprun: notice: running on one worker, not %zu: %s\n", jobs, why.c_str());
  return 1;
}

void print_notices(const Options &o, const std::vector<std::string> &notices) {
  for (const std::string &n : notices)
    std::fprintf(stderr, "exprun: %s%s\n", o.verbose && n.starts_with("capabilities") ? "" : "notice: ", n.c_str());
}

bool start_workers(const Options &o, std::unique_ptr<Session> main, size_t jobs,
                   std::vector<std::unique_ptr<Session>> *workers) {
  workers->push_back(std::move(main));
  for (size_t k = 1; k < jobs; ++k) {
    Failure f;
    auto w = (*workers)[0]->clone(&f);
    if (!w) {
      print_failure(stderr, "worker set-up", f, o.program, program_name(o));
      return false;
    }
    workers->push_back(std::move(w));
  }
  for (size_t k = 0; k < workers->size() && k < kMaxJobs; ++k) g_running[k].store((*workers)[k]->program());
  return true;
}

size_t parse_work(const Work &w, const ReaderOptions &ro, const std::vector<std::string> &columns,
                  std::vector<Record> *records, std::string *error) {
  size_t n = 0;
  try {
    MemoryInput in(*w.chunk);
    RecordReader reader(in, ro, columns, w.first_line);
    for (;; ++n) {
      if (records->size() <= n) records->emplace_back();
      if (!reader.next(&(*records)[n], error)) break;
    }
  } catch (const std::bad_alloc &) {
    *error = "out of memory";
  }
  return n;
}

int run_inputs(const Options &o, RecordRun &run) {
  const std::vector<std::string> inputs = o.inputs.empty() ? std::vector<std::string>{"-"} : o.inputs;
  int status = kOk;
  for (const std::string &path : inputs)
    if ((status = run_input(o, path, run)) != kOk) break;
  if (status == kOk) status = run.close();
  for (auto &p : g_running) p.store(nullptr);  // the sessions go with the run
  return status;
}
