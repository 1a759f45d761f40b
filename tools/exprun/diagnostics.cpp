// Caret diagnostics for compile and run-time errors.
#include "diagnostics.h"

#include <unicode/uchar.h>
#include <unicode/utf8.h>

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

// What goes under characters 1 to `column` - 1 of `line` so that a caret after it stands under
// character `column` on a terminal: tabs are kept, East Asian wide and fullwidth characters take
// two spaces, combining marks none, any other character (or byte that is not UTF-8) one.
std::string caret_prefix(const std::string &line, int column) {
  std::string prefix;
  const auto *s = reinterpret_cast<const uint8_t *>(line.data());
  const auto n = static_cast<int32_t>(line.size());
  int32_t i = 0;
  int col = 1;
  for (; i < n && col < column; ++col) {
    UChar32 c;
    U8_NEXT(s, i, n, c);
    if (c == '\t') {
      prefix.push_back('\t');
      continue;
    }
    int width = 1;
    if (c > 0) {
      auto ea = static_cast<UEastAsianWidth>(u_getIntPropertyValue(c, UCHAR_EAST_ASIAN_WIDTH));
      int8_t kind = u_charType(c);
      if (ea == U_EA_WIDE || ea == U_EA_FULLWIDTH) width = 2;
      else if (kind == U_NON_SPACING_MARK || kind == U_ENCLOSING_MARK) width = 0;
    }
    prefix.append(static_cast<size_t>(width), ' ');
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

std::string with_commas(uint64_t n) {
  std::string s = std::to_string(n);
  for (int i = static_cast<int>(s.size()) - 3; i > 0; i -= 3) s.insert(static_cast<size_t>(i), ",");
  return s;
}
