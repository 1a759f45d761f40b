// --help and the --help-table dump, both written from the table of options.
#include <string>
#include <string_view>

#include "json.h"
#include "option_table.h"

namespace {

constexpr size_t kHelpColumn = 34;  // where the help of an entry starts
constexpr size_t kWidth = 100;      // lines are wrapped before this column

// Appends `text` word by word to *out, whose current line is `column` wide, starting a new line
// indented by `indent` before a word that would reach kWidth.
void put_wrapped(std::string *out, std::string_view text, size_t column, size_t indent) {
  bool line_has_words = false;
  while (!text.empty()) {
    const size_t end = text.find(' ');
    const std::string_view word = text.substr(0, end);
    text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
    if (word.empty()) continue;
    if (line_has_words && column + 1 + word.size() >= kWidth) {
      out->append("\n").append(indent, ' ');
      column = indent;
      line_has_words = false;
    }
    if (line_has_words) out->push_back(' '), ++column;
    out->append(word);
    column += word.size();
    line_has_words = true;
  }
  out->push_back('\n');
}

std::string label(const OptionRow &row) {
  std::string s = row.short_name ? std::string(row.short_name) + ", " : std::string();
  s += row.name;
  if (row.value) s.append(" ").append(row.value);
  return s;
}

// One entry: the option and those that share its help, the help beside them, and its note.
// Returns how many rows of `rows` it took.
size_t put_entry(std::string *out, std::span<const OptionRow> rows) {
  std::string line = "  " + label(rows[0]);
  size_t n = 1;
  for (; n < rows.size() && !rows[n].help; ++n) line += ", " + label(rows[n]);
  if (line.size() + 1 < kHelpColumn) {
    line.resize(kHelpColumn, ' ');
  } else {
    line.append("\n").append(kHelpColumn, ' ');
  }
  out->append(line);
  put_wrapped(out, rows[0].help, kHelpColumn, kHelpColumn);
  if (rows[0].note) {
    out->append("  ");
    put_wrapped(out, rows[0].note, 2, 2);
  }
  return n;
}

void put_json_field(std::string *out, const char *key, const char *value) {
  out->append(", \"").append(key).append("\": ");
  if (value) put_json_string(out, value);
  else out->append("null");
}

}  // namespace

void print_help(std::FILE *out) {
  std::string text = std::string(kHelpHead) + "\n";
  const std::span<const OptionRow> table = option_table();
  for (const SectionRow &section : option_sections()) {
    if (section.id == OptionSection::Hidden) continue;
    std::string heading = section.title;
    if (section.remark) heading.append(" (").append(section.remark).append(")");
    put_wrapped(&text, heading + ":", 0, 0);
    for (size_t i = 0; i < table.size();) {
      if (table[i].section != section.id) {
        ++i;
        continue;
      }
      i += put_entry(&text, table.subspan(i));
    }
  }
  text.append("\n").append(kHelpTail);
  std::fputs(text.c_str(), out);
}

void print_option_table(std::FILE *out) {
  std::string s = "{\"head\": ";
  put_json_string(&s, kHelpHead);
  put_json_field(&s, "tail", kHelpTail);
  s += ", \"sections\": [";
  for (const SectionRow &section : option_sections()) {
    s += section.id == option_sections().front().id ? "{" : ", {";
    s.append("\"key\": ");
    put_json_string(&s, section.key);
    put_json_field(&s, "title", section.title);
    put_json_field(&s, "remark", section.remark);
    s += "}";
  }
  s += "], \"options\": [";
  bool first = true;
  for (const OptionRow &row : option_table()) {
    s += first ? "\n{" : ",\n{";
    first = false;
    s.append("\"name\": ");
    put_json_string(&s, row.name);
    put_json_field(&s, "short", row.short_name);
    put_json_field(&s, "value", row.value);
    put_json_field(&s, "section", option_sections()[static_cast<size_t>(row.section)].key);
    put_json_field(&s, "help", row.help);
    put_json_field(&s, "note", row.note);
    s += "}";
  }
  s += "\n]}\n";
  std::fputs(s.c_str(), out);
}
