// The interactive side of exprun: a read-eval-print loop with line editing and history, the
// function list, and the p-code dump.
#include "repl.h"

#include <editline/readline.h>
#include <unistd.h>

#include <atomic>
#include <clocale>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <sys/stat.h>
#include <vector>

#include "diagnostics.h"
#include "host_functions.h"
#include "session.h"

namespace {

constexpr int kResultLimit = 65535;

// The program a Ctrl-C cancels, and whether one came (set by the signal handler).
std::atomic<exp_pcode *> g_repl_running{nullptr};
std::atomic<bool> g_repl_interrupted{false};

void on_repl_sigint(int) {
  g_repl_interrupted.store(true);
  if (exp_pcode *p = g_repl_running.load()) exp_cancel_execution(p);
}

void dump_to_stdout(const char *text, void *) { std::fputs(text, stdout); }

std::string history_path() {
  const char *home = std::getenv("HOME");
  return home ? std::string(home) + "/.exprun_history" : std::string();
}

// Shows the engine's symbols with their types and values.
void show_symbols(exp_engine *e) {
  char buf[256];
  for (int i = 0, n = exp_symbol_count(e); i < n; ++i) {
    const char *name = nullptr;
    exp_symval *c = nullptr;
    if (exp_symbol_name_get(e, i, &name) || exp_symbol_get(e, i, &c)) continue;
    int t = EXP_TYPE(c);
    if (EXP_IS_NULL(c)) std::snprintf(buf, sizeof buf, "null");
    else if (exp_symval_to_text(e, c, buf, sizeof buf) < 0) std::snprintf(buf, sizeof buf, "(%s)", exp_type_name(t));
    std::printf("  %-20s %-8s %s\n", name, exp_type_name(t), buf);
  }
}

const char kHelp[] =
    "Type a program (one line) and press Enter: its last expression is printed.\n"
    "Declarations persist between lines (for example: integer n; then n = 5; then n * 2).\n"
    "Ctrl-C cancels the line or the running program; the session goes on.\n"
    "Commands: :functions  :symbols  :dump PROGRAM  :help  :quit (or Ctrl-D)\n";

enum class Read { Line, Interrupted, End };

// Reads one line: with line editing on a terminal, plainly otherwise.
Read read_line(bool tty, std::string *line) {
  g_repl_interrupted.store(false);
  if (tty) {
    char *l = readline("expr> ");
    if (g_repl_interrupted.exchange(false)) {
      std::free(l);
      std::fputc('\n', stdout);
      return Read::Interrupted;
    }
    if (!l) return Read::End;
    *line = l;
    std::free(l);
    return Read::Line;
  }
  line->clear();
  int c;
  while ((c = std::getchar()) != EOF && c != '\n') line->push_back(static_cast<char>(c));
  return c != EOF || !line->empty() ? Read::Line : Read::End;
}

void print_functions(exp_engine *e) {
  for (int i = 0, n = exp_get_function_count(e); i < n; ++i) {
    const char *name, *sig, *desc;
    int min;
    uint32_t max;
    char ret;
    if (exp_get_function_info(e, i, &name, &min, &max, &sig, &ret, &desc)) continue;
    std::string args = std::to_string(min);
    if (max == EXP_UNLIMITED) args += "+";
    else if (max != static_cast<uint32_t>(min)) args += "-", args += std::to_string(max);
    const char *type = exp_type_name(ret);
    std::string result = *type ? type : std::string(1, ret);
    std::printf("%-20s (%s) args %-5s -> %-3s  %s\n", name, sig, args.c_str(), result.c_str(), desc);
  }
}

// Shows the result of a line: its text, or null.
void print_result(exp_engine *e, const exp_symval *result) {
  if (!result || EXP_IS_NULL(result)) {
    std::puts("null");
    return;
  }
  std::string buf(256, '\0');
  int need = exp_symval_to_text(e, result, buf.data(), buf.size());
  if (need >= static_cast<int>(buf.size())) {
    buf.resize(static_cast<size_t>(need) + 1);
    need = exp_symval_to_text(e, result, buf.data(), buf.size());
  }
  std::printf("%s\n", need < 0 ? "(value)" : buf.c_str());
}

}  // namespace

int list_functions() {
  exp_engine *e = exp_init_ex(EXP_INIT_NO_USER_SETTINGS);
  if (!e) return 1;
  print_functions(e);
  exp_clean(e);
  int count = 0;
  const HostFunction *host = host_functions(&count);
  std::printf("\nexprun's own functions:\n");
  for (int i = 0; i < count; ++i) {
    const HostFunction &f = host[i];
    std::printf("%-20s (%s) args %-5d -> %-3c  %s\n", f.name, f.signature, f.min_args, f.ret_type, f.description);
  }
  return 0;
}

int dump_program(const Options &o) {
  if (!o.have_program) {
    std::fprintf(stderr, "exprun: --dump needs a program (-e or -f)\n");
    return 2;
  }
  Failure f;
  auto dump = [](exp_engine *e, exp_pcode *p, const std::vector<exp_pcode *> &) {
    exp_dump_pcode(e, p, dump_to_stdout, nullptr);
  };
  if (compile_alone(o, dump, &f)) return 0;
  print_failure(stderr, "compile", f, o.program, o.program_file.empty() ? "<program>" : o.program_file);
  return 2;
}

int run_repl(const Options &o) {
  bool tty = isatty(0);
  // Line editing reads multi-byte characters only under the user's character set.
  if (tty) std::setlocale(LC_CTYPE, "");
  exp_engine *e = new_engine(o);
  if (!e) return 1;
  if (int rc = setup_engine(e, o)) {
    Failure f;
    read_failure(e, rc, &f);
    std::fprintf(stderr, "exprun: %s\n", f.message.c_str());
    exp_clean(e);
    return 1;
  }
  struct sigaction sa {};
  sa.sa_handler = on_repl_sigint;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGINT, &sa, nullptr);
  std::string history = history_path();
  if (tty) {
    std::printf("exprun %s. %s", exp_version(), kHelp);
    if (!history.empty()) read_history(history.c_str());
  }
  std::vector<exp_pcode *> programs;  // kept alive so that their declarations persist
  std::string line;
  for (Read r; (r = read_line(tty, &line)) != Read::End;) {
    if (r == Read::Interrupted || line.find_first_not_of(" \t") == std::string::npos) continue;
    if (tty) {
      add_history(line.c_str());
      // Saved line by line, so that a session that ends abruptly keeps its history.
      if (!history.empty() && write_history(history.c_str()) == 0) chmod(history.c_str(), 0600);
    }
    if (line == ":quit" || line == ":q") break;
    if (line == ":help") { std::fputs(kHelp, stdout); continue; }
    if (line == ":functions") { print_functions(e); continue; }
    if (line == ":symbols") { show_symbols(e); continue; }
    bool dump = line.rfind(":dump ", 0) == 0;
    std::string text = dump ? line.substr(6) : line;
    exp_pcode *p = nullptr;
    int rc = exp_make_pcode(e, text.c_str(), &p, EXP_STRING, kResultLimit, EXP_MAKE_STATIC, nullptr);
    if (rc) {
      Failure f;
      read_failure(e, rc, &f);
      print_failure(stdout, "compile", f, text, "<input>");
      continue;
    }
    // A line's declarations serve the lines after it, so "never read" would mislead here.
    for (int i = 0, n = exp_pcode_warning_count(p); i < n; ++i) {
      int code = 0, line_no = 0, column = 0;
      const char *message = "";
      exp_pcode_warning_get(p, i, &code, &message, &line_no, &column);
      if (code == EXP_W_UNUSED_VARIABLE) continue;
      char caret[1024];
      exp_format_excerpt(text.c_str(), line_no, column, caret, sizeof caret);
      std::printf("warning: %s\n%s", message, caret);
    }
    if (dump) {
      exp_dump_pcode(e, p, dump_to_stdout, nullptr);
      exp_free_pcode(e, p);
      continue;
    }
    exp_symval *result = nullptr;
    g_repl_running.store(p);
    rc = exp_execute(e, p, &result);
    g_repl_running.store(nullptr);
    if (rc) {
      Failure f;
      read_failure(e, rc, &f);
      f.line = f.column = 0;
      exp_run_position(p, &f.line, &f.column);
      if (g_repl_interrupted.exchange(false)) f.message = "cancelled (Ctrl-C)";
      print_failure(stdout, "run-time", f, text, "<input>");
    } else {
      print_result(e, result);
    }
    std::fflush(stdout);
    programs.push_back(p);
  }
  for (auto it = programs.rbegin(); it != programs.rend(); ++it) exp_free_pcode(e, *it);
  exp_clean(e);
  return 0;
}
