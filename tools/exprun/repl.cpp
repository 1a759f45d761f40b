// The interactive side of exprun: a read-eval-print loop with line editing and history, the
// function list, and the p-code dump.
#include <editline/readline.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "diagnostics.h"
#include "options.h"
#include "session.h"

namespace {

constexpr int kResultLimit = 65535;

void dump_to_stdout(const char *text, void *) { std::fputs(text, stdout); }

std::string history_path() {
  const char *home = std::getenv("HOME");
  return home ? std::string(home) + "/.exprun_history" : std::string();
}

// Shows the engine's symbols with their types and values.
void show_symbols(exp_engine *e) {
  static const char *const kTypes[] = {"?", "boolean", "integer", "real", "string", "date", "pointer", "object"};
  char buf[256];
  for (int i = 0, n = exp_symbol_count(e); i < n; ++i) {
    const char *name = nullptr;
    exp_symval *c = nullptr;
    if (exp_symbol_name_get(e, i, &name) || exp_symbol_get(e, i, &c)) continue;
    int t = EXP_TYPE(c);
    if (EXP_IS_NULL(c)) std::snprintf(buf, sizeof buf, "null");
    else if (exp_symval_to_text(e, c, buf, sizeof buf) < 0) std::snprintf(buf, sizeof buf, "(%s)", kTypes[t & 7]);
    std::printf("  %-20s %-8s %s\n", name, kTypes[t & 7], buf);
  }
}

const char kHelp[] =
    "Type a program (one line) and press Enter: its last expression is printed.\n"
    "Declarations persist between lines (for example: integer n; then n = 5; then n * 2).\n"
    "Commands: :functions  :symbols  :dump PROGRAM  :help  :quit (or Ctrl-D)\n";

// Reads one line: with line editing on a terminal, plainly otherwise.
bool read_line(bool tty, std::string *line) {
  if (tty) {
    char *l = readline("expr> ");
    if (!l) return false;
    *line = l;
    std::free(l);
    return true;
  }
  line->clear();
  int c;
  while ((c = std::getchar()) != EOF && c != '\n') line->push_back(static_cast<char>(c));
  return c != EOF || !line->empty();
}

}  // namespace

int list_functions() {
  exp_engine *e = exp_init();
  if (!e) return 1;
  static const char *const kTypes[] = {"?", "boolean", "integer", "real", "string", "date", "pointer", "object"};
  for (int i = 0, n = exp_get_function_count(e); i < n; ++i) {
    const char *name, *sig, *desc;
    int min;
    uint32_t max;
    char ret;
    if (exp_get_function_info(e, i, &name, &min, &max, &sig, &ret, &desc)) continue;
    std::string args = std::to_string(min);
    if (max == EXP_UNLIMITED) args += "+";
    else if (max != static_cast<uint32_t>(min)) args += "-", args += std::to_string(max);
    std::string result = ret >= 1 && ret <= 7 ? kTypes[static_cast<int>(ret)] : std::string(1, ret);
    std::printf("%-20s (%s) args %-5s -> %-3s  %s\n", name, sig, args.c_str(), result.c_str(), desc);
  }
  exp_clean(e);
  return 0;
}

int dump_program(const Options &o) {
  if (!o.have_program) {
    std::fprintf(stderr, "exprun: --dump needs a program (-e or -f)\n");
    return 2;
  }
  exp_engine *e = exp_init();
  if (!e) return 1;
  // Names the program uses but nobody declared are bound as strings (or as --field says).
  exp_determine_symbols(e, o.program.c_str());
  std::vector<std::string> names;
  const char *name;
  while (exp_get_next_req_symbol(e, &name)) names.push_back(name);
  for (const std::string &n : names) {
    int type = EXP_STRING;
    for (const FieldType &f : o.fields)
      if (f.name == n) type = f.type;
    exp_add_symbol(e, n.c_str(), type, 255, 0, nullptr);
  }
  exp_pcode *p = nullptr;
  int rc = exp_make_pcode(e, o.program.c_str(), &p, o.result_type, kResultLimit, 0, nullptr);
  if (rc) {
    Failure f;
    read_failure(e, rc, &f);
    print_failure(stderr, "compile", f, o.program, o.program_file.empty() ? "<program>" : o.program_file);
    exp_clean(e);
    return 2;
  }
  exp_dump_pcode(e, p, dump_to_stdout, nullptr);
  exp_free_pcode(e, p);
  exp_clean(e);
  return 0;
}

int run_repl(const Options &o) {
  bool tty = isatty(0);
  exp_engine *e = exp_init();
  if (!e) return 1;
  if (o.iso_dates) exp_set_option(e, "DATE_ISO8601", "1");
  std::string history = history_path();
  if (tty) {
    std::printf("exprun %s. %s", exp_version(), kHelp);
    if (!history.empty()) read_history(history.c_str());
  }
  std::vector<exp_pcode *> programs;  // kept alive so that their declarations persist
  std::string line;
  while (read_line(tty, &line)) {
    if (line.find_first_not_of(" \t") == std::string::npos) continue;
    if (tty) add_history(line.c_str());
    if (line == ":quit" || line == ":q") break;
    if (line == ":help") { std::fputs(kHelp, stdout); continue; }
    if (line == ":functions") { list_functions(); continue; }
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
    if (dump) {
      exp_dump_pcode(e, p, dump_to_stdout, nullptr);
      exp_free_pcode(e, p);
      continue;
    }
    exp_symval *result = nullptr;
    rc = exp_execute(e, p, &result);
    if (rc) {
      Failure f;
      read_failure(e, rc, &f);
      f.line = f.column = 0;
      exp_run_position(p, &f.line, &f.column);
      print_failure(stdout, "run-time", f, text, "<input>");
    } else if (result && !EXP_IS_NULL(result)) {
      std::printf("%s\n", result->value.s);
    }
    std::fflush(stdout);
    programs.push_back(p);
  }
  if (tty && !history.empty()) write_history(history.c_str());
  for (auto it = programs.rbegin(); it != programs.rend(); ++it) exp_free_pcode(e, *it);
  exp_clean(e);
  return 0;
}
