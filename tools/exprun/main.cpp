// exprun: runs an expression program over CSV, TSV or JSON-lines records.
//
// Every input column becomes a symbol; per record the program runs and the output carries the
// input columns (as they were read unless the program changed them), the result and the
// variables the program declared.
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <exception>
#include <memory>
#include <new>

#include "lookups.h"
#include "options.h"
#include "repl.h"
#include "rule_tests.h"
#include "runner.h"

namespace {

void on_signal(int signal) { stop_from_signal(signal); }

// SIGINT and SIGTERM end the run at a record boundary. Reads are not restarted, so a run waiting
// for input notices the signal.
void install_signal_handlers() {
  struct sigaction sa {};
  sa.sa_handler = on_signal;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = 0;
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
}

}  // namespace

int main(int argc, char **argv) {
  try {
    Options o;
    int rc = parse_options(argc, argv, &o);
    if (rc == 1) return kOk;
    if (rc == 2) return kUsage;
    if (o.functions) return list_functions();
    if (o.dump) return dump_program(o);
    if (!o.test_cases.empty()) return run_rule_tests(o);
    if (o.repl || (!o.have_program && isatty(0))) return run_repl(o);
    if (!o.have_program) {
      std::fprintf(stderr, "exprun: no program (give -e PROGRAM or -f FILE; see exprun --help)\n");
      return kUsage;
    }
    if (!o.lookups.empty()) {
      auto tables = std::make_shared<LookupTables>();
      std::string error;
      if (!load_lookup_tables(o, tables.get(), &error)) {
        std::fprintf(stderr, "exprun: %s\n", error.c_str());
        return kInputError;
      }
      o.tables = std::move(tables);
    }
    install_signal_handlers();
    return process(o);
  } catch (const std::bad_alloc &) {
    std::fprintf(stderr, "exprun: out of memory\n");
    return kRunError;
  } catch (const std::exception &e) {  // a thread that cannot start, for instance
    std::fprintf(stderr, "exprun: %s\n", e.what());
    return kRunError;
  }
}
