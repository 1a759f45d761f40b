// Errors and warnings shown to people: the line of the program text at a position, with a caret
// under the column, laid out for a terminal.
#include <cstring>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "engine.h"
#include "expression.h"
#include "support/uchar.h"

namespace {

constexpr int kMaxWidth = 100;     // columns of a line shown whole
constexpr int kCaretContext = 60;  // columns shown before the caret in a longer line
constexpr std::string_view kMargin = "   | ";
constexpr std::string_view kCut = "...";

// One character of the line as shown: its text, the columns it takes, and what stands for it
// in the caret line's indent (a tab for a tab, so that both lines expand it alike).
struct Shown {
  std::string_view text;
  int width;
  bool tab;
};

// The text of line `line` (from 1) of `source`, without its line break; false when the source
// has fewer lines.
bool find_line(const char *source, int line, std::string_view *out) {
  const char *p = source;
  for (int l = 1; l < line; ++l) {
    p = std::strchr(p, '\n');
    if (!p) return false;
    ++p;
  }
  const char *end = std::strchr(p, '\n');
  *out = std::string_view(p, end ? static_cast<size_t>(end - p) : std::strlen(p));
  return true;
}

// A carriage return starts the column count again (as in the compiler): of the pieces between
// them, the first one long enough to hold `column` is the one the position lies in.
std::string_view piece_holding(std::string_view line, int column) {
  for (;;) {
    const size_t cr = line.find('\r');
    if (cr == std::string_view::npos) return line;
    const std::string_view piece = line.substr(0, cr);
    std::string s(piece);
    if (np_uchar_length(s.c_str()) + 1 >= column) return piece;
    line.remove_prefix(cr + 1);
  }
}

bool is_control(int32_t cp) { return cp < 0x20 || (cp >= 0x7F && cp < 0xA0); }

std::vector<Shown> characters(std::string_view piece) {
  static constexpr std::string_view kReplacement = "?";
  std::vector<Shown> out;
  const std::string text(piece);  // terminated, for the character layer
  for (size_t at = 0; at < text.size();) {
    int bytes = 1;
    const int32_t cp = np_uchar_toint(text.c_str() + at, &bytes);
    if (bytes < 1) bytes = 1;
    const std::string_view raw = piece.substr(at, static_cast<size_t>(bytes));
    if (cp == '\t') out.push_back({raw, 1, true});
    else if (is_control(cp) || cp == 0xFFFD) out.push_back({kReplacement, 1, false});
    else out.push_back({raw, np_uchar_width(text.c_str() + at, nullptr), false});
    at += static_cast<size_t>(bytes);
  }
  return out;
}

// The two lines of the excerpt: the text (a window of it when it is long) and the caret under
// the character at `column` (or past the end of the text for a column beyond it).
std::string excerpt(const char *source, int line, int column) {
  std::string_view text;
  if (!source || line < 1 || !find_line(source, line, &text)) return {};
  if (column < 1) column = 1;
  text = piece_holding(text, column);
  if (text.empty() && column <= 1) return {};
  const std::vector<Shown> chars = characters(text);
  // Columns before the caret, and the whole width.
  int before = 0, total = 0;
  for (size_t i = 0; i < chars.size(); ++i) {
    if (static_cast<int>(i) + 1 < column) before += chars[i].width;
    total += chars[i].width;
  }
  const int beyond = column - 1 - static_cast<int>(chars.size());  // columns past the end
  if (beyond > 0) before += beyond;
  // The window [from, to) of columns shown.
  int from = 0, to = total;
  if (total > kMaxWidth || before >= kMaxWidth) {
    from = before > kCaretContext ? before - kCaretContext : 0;
    to = from + kMaxWidth;
  }
  std::string shown(kMargin), caret(kMargin);
  if (from > 0) {
    shown += kCut;
    caret.append(kCut.size(), ' ');
  }
  int at = 0;
  bool cut_right = false;
  for (size_t i = 0; i < chars.size(); at += chars[i].width, ++i) {
    if (at < from) continue;
    if (at + chars[i].width > to) {
      cut_right = true;
      break;
    }
    shown += chars[i].text;
    if (static_cast<int>(i) + 1 < column) caret.append(chars[i].tab ? 1 : static_cast<size_t>(chars[i].width), chars[i].tab ? '\t' : ' ');
  }
  if (cut_right) shown += kCut;
  if (beyond > 0) caret.append(static_cast<size_t>(beyond), ' ');
  return shown + "\n" + caret + "^\n";
}

// Copies `text` into out (size bytes), cut on a character boundary and terminated; returns the
// length of the whole text.
int deliver(const std::string &text, char *out, size_t size) {
  if (out && size > 0) {
    size_t n = text.size() < size ? text.size() : size - 1;
    while (n > 0 && n < text.size() && (static_cast<unsigned char>(text[n]) & 0xC0) == 0x80) --n;
    std::memcpy(out, text.data(), n);
    out[n] = '\0';
  }
  return static_cast<int>(text.size() > INT32_MAX ? INT32_MAX : text.size());
}

// "<kind> N: message", then the position and the excerpt when it has a position.
std::string report(const char *kind, int number, const char *message, int line, int column, const char *source) {
  std::string text = std::string(kind) + " " + std::to_string(number) + ": " + message + "\n";
  if (line > 0)
    text += "  --> line " + std::to_string(line) + ", column " + std::to_string(column) + "\n" +
            excerpt(source, line, column);
  return text;
}

}  // namespace

extern "C" EXP_API int exp_format_excerpt(const char *source, int line, int column, char *out, size_t size) {
  try {
    return deliver(excerpt(source, line, column), out, size);
  } catch (const std::bad_alloc &) {
    return deliver({}, out, size);
  }
}

extern "C" EXP_API int exp_format_error(const exp_engine *e, const char *source, char *out, size_t size) {
  try {
    if (!engine_is_live(e) || e->error == 0) return deliver({}, out, size);
    return deliver(report("error", e->error, e->message, e->error_line, e->error_column, source), out, size);
  } catch (const std::bad_alloc &) {
    return deliver({}, out, size);
  }
}

extern "C" EXP_API int exp_format_warning(const exp_engine *e, int i, const char *source, char *out, size_t size) {
  try {
    if (!engine_is_live(e) || i < 0 || i >= static_cast<int>(e->warnings.size())) return deliver({}, out, size);
    const exp_warning &w = e->warnings[static_cast<size_t>(i)];
    return deliver(report("warning", w.code, w.message.c_str(), w.line, w.column, source), out, size);
  } catch (const std::bad_alloc &) {
    return deliver({}, out, size);
  }
}
