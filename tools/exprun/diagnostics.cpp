// Caret diagnostics for compile and run-time errors and for compile-time warnings; the excerpt
// itself is the library's.
#include "diagnostics.h"

#include <algorithm>

namespace {

std::string excerpt(const std::string &text, int line, int column) {
  std::string out(static_cast<size_t>(exp_format_excerpt(text.c_str(), line, column, nullptr, 0)) + 1, '\0');
  exp_format_excerpt(text.c_str(), line, column, out.data(), out.size());
  out.pop_back();
  return out;
}

void print_place(std::FILE *out, const std::string &text, const std::string &name, int line, int column) {
  if (line <= 0) return;
  std::fprintf(out, "  --> %s:%d:%d\n%s", name.c_str(), line, column, excerpt(text, line, column).c_str());
}

// The text between the first two single quotes of a message ("'w' is text ..."), or "".
std::string quoted_name(const std::string &message) {
  size_t a = message.find('\'');
  size_t b = a == std::string::npos ? a : message.find('\'', a + 1);
  return b == std::string::npos ? std::string() : message.substr(a + 1, b - a - 1);
}

}  // namespace

void print_failure(std::FILE *out, const std::string &what, const Failure &f, const std::string &program,
                   const std::string &program_name) {
  std::fprintf(out, "exprun: %s error %d: %s\n", what.c_str(), f.code, f.message.c_str());
  if (f.file.empty()) print_place(out, program, program_name, f.line, f.column);
  else print_place(out, f.text, f.file, f.line, f.column);
}

int print_warnings(std::FILE *out, exp_pcode *p, const std::string &text, const std::string &name,
                   const std::vector<std::string> &columns) {
  const int n = exp_pcode_warning_count(p);
  for (int i = 0; i < n; ++i) {
    int code = 0, line = 0, column = 0;
    const char *message = "";
    exp_pcode_warning_get(p, i, &code, &message, &line, &column);
    std::fprintf(out, "exprun: warning: %s\n", message);
    print_place(out, text, name, line, column);
    const std::string column_name = quoted_name(message);
    if (code == EXP_W_TEXT_NUMBER_COMPARE && std::find(columns.begin(), columns.end(), column_name) != columns.end())
      std::fprintf(out, "hint: declare --field %s:real or use --infer to compare numbers\n", column_name.c_str());
  }
  return n;
}

int print_all_warnings(std::FILE *out, const Options &o, exp_pcode *program, const std::vector<exp_pcode *> &functions,
                       const std::vector<std::string> &columns) {
  int n = 0;
  for (size_t i = 0; i < functions.size() && i < o.functions_files.size(); ++i)
    n += print_warnings(out, functions[i], o.functions_files[i].text, o.functions_files[i].path, columns);
  n += print_warnings(out, program, o.program, o.program_file.empty() ? "<program>" : o.program_file, columns);
  if (n && o.strict) std::fprintf(out, "exprun: --strict: %d warning%s as errors\n", n, n == 1 ? " counts" : "s count");
  return n;
}

std::string with_commas(uint64_t n) {
  std::string s = std::to_string(n);
  for (int i = static_cast<int>(s.size()) - 3; i > 0; i -= 3) s.insert(static_cast<size_t>(i), ",");
  return s;
}
