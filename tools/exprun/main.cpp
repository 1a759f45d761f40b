// exprun: runs an expression program over CSV, TSV or JSON-lines records.
//
// Every input column becomes a symbol; per record the program runs and the output carries the
// input columns, the result and the variables the program declared. Records are processed in
// batches; with --jobs N each worker thread has its own engine (a clone with a copy of the
// program) and takes a contiguous slice of the batch, so the output keeps the input order.
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <thread>

#include "diagnostics.h"
#include "options.h"
#include "records.h"
#include "session.h"

int run_repl(const Options &o);
int list_functions();
int dump_program(const Options &o);

namespace {

enum Exit { kOk = 0, kRunError = 1, kUsage = 2, kInputError = 3, kSkipped = 4, kInterrupted = 130 };

constexpr size_t kBatchPerJob = 1024;
constexpr size_t kMaxJobs = 256;

// Programs the SIGINT handler cancels (a lock-free store is safe in a signal handler).
std::atomic<exp_pcode *> g_running[kMaxJobs];

void on_sigint(int) {
  request_stop();
  for (auto &p : g_running)
    if (exp_pcode *prog = p.load(std::memory_order_relaxed)) exp_cancel_execution(prog);
}

// What one worker made of its slice of a batch.
struct SliceResult {
  std::string out;            // formatted output lines, in order
  long first_error = -1;      // index in the batch of the record that stopped the run
  Failure failure;
  uint64_t skipped = 0;
};

struct Run {
  const Options &o;
  std::vector<std::unique_ptr<Session>> workers;
  RecordWriter *writer;
  uint64_t records = 0;       // records processed so far (for record numbers)
  uint64_t skipped = 0;
};

// Runs records [begin, end) of the batch on one session.
void run_slice(Run &run, Session &s, const std::vector<Record> &batch, size_t begin, size_t end, SliceResult *r) {
  for (size_t i = begin; i < end; ++i) {
    Failure f;
    if (s.run(batch[i], &f) != 0) {
      if (run.o.on_error == OnError::Stop || stop_requested()) {
        r->first_error = static_cast<long>(i);
        r->failure = f;
        return;
      }
      if (run.o.on_error == OnError::Skip) {
        ++r->skipped;
        continue;
      }
      s.null_result();
    }
    run.writer->format(s.values(), s.kinds(), &r->out);
  }
}

// Runs the first n records of the batch and writes their output; returns false when the run
// must stop (*stop says why).
bool run_batch(Run &run, const std::vector<Record> &batch, size_t n, Failure *stop, uint64_t *stop_record,
               uint64_t *stop_line) {
  size_t jobs = std::min(run.workers.size(), std::max<size_t>(1, n / 64));
  std::vector<SliceResult> results(jobs);
  size_t per = (n + jobs - 1) / jobs;
  if (jobs == 1) {
    run_slice(run, *run.workers[0], batch, 0, n, &results[0]);
  } else {
    std::vector<std::thread> threads;
    for (size_t k = 0; k < jobs; ++k) {
      size_t b = std::min(n, k * per), e = std::min(n, b + per);
      threads.emplace_back(run_slice, std::ref(run), std::ref(*run.workers[k]), std::cref(batch), b, e, &results[k]);
    }
    for (auto &t : threads) t.join();
  }
  for (SliceResult &r : results) {
    run.writer->write_raw(r.out);
    run.skipped += r.skipped;
    if (r.first_error >= 0) {
      *stop = r.failure;
      *stop_record = run.records + static_cast<uint64_t>(r.first_error) + 1;
      *stop_line = batch[static_cast<size_t>(r.first_error)].line;
      return false;
    }
  }
  run.records += n;
  return true;
}

// Types of the columns: --field declarations, else inferred, else string.
std::vector<int> column_types(const Options &o, const std::vector<std::string> &columns, const std::vector<Record> &sample) {
  std::vector<int> types = o.infer ? infer_types(columns, sample) : std::vector<int>(columns.size(), EXP_STRING);
  for (const FieldType &f : o.fields) {
    bool found = false;
    for (size_t i = 0; i < columns.size(); ++i)
      if (columns[i] == f.name) types[i] = f.type, found = true;
    if (!found) std::fprintf(stderr, "exprun: warning: --field names '%s', which is not a column\n", f.name.c_str());
  }
  return types;
}

class Progress {
 public:
  Progress(bool on, uint64_t total) : on_(on && isatty(2)), total_(total), start_(now()), last_(start_) {}
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

uint64_t file_size(std::FILE *f) {
  struct stat st;
  return fstat(fileno(f), &st) == 0 && S_ISREG(st.st_mode) ? static_cast<uint64_t>(st.st_size) : 0;
}

std::string program_name(const Options &o) { return o.program_file.empty() ? "<program>" : o.program_file; }

// Opens the session (and its workers) for the columns of the first input.
int open_sessions(const Options &o, const std::vector<std::string> &columns, const std::vector<int> &types,
                  Run *run) {
  Failure f;
  auto main = Session::open(o, columns, types, &f);
  if (!main) {
    print_failure(stderr, "compile", f, o.program, program_name(o));
    return kUsage;
  }
  std::string error;
  if (!main->choose_outputs(o, &error)) {
    std::fprintf(stderr, "exprun: %s\n", error.c_str());
    return kUsage;
  }
  run->workers.push_back(std::move(main));
  for (int k = 1; k < o.jobs; ++k) {
    auto w = run->workers[0]->clone(&f);
    if (!w) {
      print_failure(stderr, "worker set-up", f, o.program, program_name(o));
      return kUsage;
    }
    run->workers.push_back(std::move(w));
  }
  for (size_t k = 0; k < run->workers.size(); ++k) g_running[k].store(run->workers[k]->program());
  return kOk;
}

int process(const Options &o) {
  std::vector<std::string> inputs = o.inputs.empty() ? std::vector<std::string>{"-"} : o.inputs;
  RecordWriter writer(stdout, o.out_format, o.ofs, o.out_header);
  Run run{o, {}, &writer};
  std::vector<std::string> first_columns;
  int status = kOk;
  for (const std::string &path : inputs) {
    std::FILE *f = path == "-" ? stdin : std::fopen(path.c_str(), "rb");
    if (!f) {
      std::fprintf(stderr, "exprun: cannot open %s: %s\n", path.c_str(), std::strerror(errno));
      return kInputError;
    }
    RecordReader reader(f, o.in_format, o.ifs, o.header);
    std::vector<std::string> columns;
    std::string error;
    Progress progress(o.progress, file_size(f));
    if (!reader.read_header(&columns, &error)) {
      if (f != stdin) std::fclose(f);
      if (!error.empty()) {
        std::fprintf(stderr, "exprun: %s: %s\n", path.c_str(), error.c_str());
        return kInputError;
      }
      continue;  // an empty input has no records
    }
    std::vector<Record> batch(kBatchPerJob * static_cast<size_t>(o.jobs));
    size_t n = 0;
    auto fill = [&]() {
      n = 0;
      while (n < batch.size() && reader.next(&batch[n], &error)) ++n;
      std::string notice = reader.take_notice();
      if (!notice.empty()) std::fprintf(stderr, "exprun: warning: %s: %s\n", path.c_str(), notice.c_str());
    };
    fill();
    if (run.workers.empty()) {
      std::vector<Record> sample(batch.begin(), batch.begin() + static_cast<long>(std::min(n, o.infer_rows)));
      if (int rc = open_sessions(o, columns, column_types(o, columns, sample), &run)) return rc;
      first_columns = columns;
      std::vector<std::string> names;
      for (const OutputColumn &c : run.workers[0]->outputs()) names.push_back(c.name);
      writer.begin(names);
    } else if (columns != first_columns) {
      std::fprintf(stderr, "exprun: %s: its columns differ from those of the first input\n", path.c_str());
      return kInputError;
    }
    while (n > 0) {
      Failure stop;
      uint64_t record = 0, line = 0;
      if (!run_batch(run, batch, n, &stop, &record, &line)) {
        writer.flush();
        if (stop_requested()) {
          std::fprintf(stderr, "exprun: interrupted at record %llu\n", static_cast<unsigned long long>(record));
          return kInterrupted;
        }
        print_failure(stderr, "record " + std::to_string(record) + " (input line " + std::to_string(line) + "): run-time",
                      stop, o.program, program_name(o));
        return kRunError;
      }
      progress.update(run.records, reader.bytes_read());
      if (stop_requested()) return kInterrupted;
      fill();
    }
    if (f != stdin) std::fclose(f);
    if (!error.empty()) {
      writer.flush();
      std::fprintf(stderr, "exprun: %s: %s\n", path.c_str(), error.c_str());
      return kInputError;
    }
  }
  writer.flush();
  if (run.skipped) {
    std::fprintf(stderr, "exprun: %llu record(s) skipped after run-time errors\n", static_cast<unsigned long long>(run.skipped));
    status = kSkipped;
  }
  return status;
}

}  // namespace

int main(int argc, char **argv) {
  Options o;
  int rc = parse_options(argc, argv, &o);
  if (rc == 1) return kOk;
  if (rc == 2) return kUsage;
  if (o.functions) return list_functions();
  if (o.dump) return dump_program(o);
  if (o.repl || (!o.have_program && isatty(0))) return run_repl(o);
  if (!o.have_program) {
    std::fprintf(stderr, "exprun: no program (give -e PROGRAM or -f FILE; see exprun --help)\n");
    return kUsage;
  }
  std::signal(SIGINT, on_sigint);
  return process(o);
}
