// Caret diagnostics for compile and run-time errors.
#include "diagnostics.h"

namespace {

// The text of line `line` (from 1), without its line break.
std::string line_of(const std::string &text, int line) {
  size_t start = 0;
  for (int l = 1; l < line; ++l) {
    size_t nl = text.find('\n', start);
    if (nl == std::string::npos) return {};
    start = nl + 1;
  }
  size_t end = text.find('\n', start);
  std::string s = text.substr(start, end == std::string::npos ? std::string::npos : end - start);
  if (!s.empty() && s.back() == '\r') s.pop_back();
  return s;
}

// Spaces up to character `column` (from 1) of `line`; tabs are kept so the caret lines up.
std::string caret_prefix(const std::string &line, int column) {
  std::string prefix;
  int col = 1;
  for (size_t i = 0; i < line.size() && col < column; ++i) {
    unsigned char c = static_cast<unsigned char>(line[i]);
    if ((c & 0xC0) == 0x80) continue;  // continuation bytes belong to the character before
    prefix.push_back(c == '\t' ? '\t' : ' ');
    ++col;
  }
  while (col++ < column) prefix.push_back(' ');
  return prefix;
}

}  // namespace

void print_failure(std::FILE *out, const std::string &what, const Failure &f, const std::string &program,
                   const std::string &program_name) {
  std::fprintf(out, "exprun: %s error %d: %s\n", what.c_str(), f.code, f.message.c_str());
  if (f.line <= 0) return;
  std::string text = line_of(program, f.line);
  std::fprintf(out, "  --> %s:%d:%d\n", program_name.c_str(), f.line, f.column);
  if (text.empty() && f.column <= 1) return;
  std::fprintf(out, "   | %s\n   | %s^\n", text.c_str(), caret_prefix(text, f.column).c_str());
}
