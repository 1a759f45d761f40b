// Command-line parsing for exprun: the options come from the table (option_table.h); what is
// settled here is what depends on several of them.
#include "options.h"

#include <cctype>
#include <cstring>
#include <string_view>

#include "lint.h"
#include "option_table.h"

namespace {

const OptionRow *find_option(std::string_view arg) {
  for (const OptionRow &row : option_table())
    if (arg == row.name || (row.short_name && arg == row.short_name)) return &row;
  return nullptr;
}

int unknown_option(const std::string &a) {
  std::vector<std::string> known;
  for (const OptionRow &row : option_table()) {
    if (row.section == OptionSection::Hidden) continue;
    known.emplace_back(row.name);
    if (row.short_name) known.emplace_back(row.short_name);
  }
  const std::string best = nearest_name(a.substr(0, a.find('=')), known);
  return usage_error("unknown option " + a + (best.empty() ? "" : "; did you mean " + best + "?"));
}

// The format a file name's suffix names, looking past a compression suffix; false for none.
bool format_of_name(std::string name, Format *f) {
  for (const char *z : {".gz", ".zst"})
    if (name.size() > std::strlen(z) && name.ends_with(z)) name.resize(name.size() - std::strlen(z));
  std::string lower = name;
  for (char &c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  static const std::pair<const char *, Format> kSuffixes[] = {
      {".csv", Format::Csv}, {".tsv", Format::Tsv}, {".tab", Format::Tsv}, {".jsonl", Format::Jsonl},
      {".ndjson", Format::Jsonl}, {".json", Format::Jsonl}};
  for (const auto &[suffix, format] : kSuffixes)
    if (lower.size() > std::strlen(suffix) && lower.ends_with(suffix)) {
      *f = format;
      return true;
    }
  return false;
}

}  // namespace

Format input_format(const Options &o, const std::string &path) {
  Format f = o.in_format;
  if (!o.in_format_set && path != "-") format_of_name(path, &f);
  return f;
}

char input_separator(const Options &o, Format f) {
  if (o.ifs_set) return o.ifs;
  return f == Format::Tsv ? '\t' : ',';
}

ReaderOptions side_file_options(const Options &o, const std::string &path) {
  ReaderOptions ro;
  if (format_of_name(path, &ro.format)) {
    ro.separator = ro.format == Format::Tsv ? '\t' : ',';
  } else {
    ro.format = o.in_format;
    ro.separator = input_separator(o, ro.format);
  }
  return ro;
}

int parse_options(int argc, char **argv, Options *o) {
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    const OptionRow *row = find_option(a);
    if (!row) {
      if (a.size() > 1 && a[0] == '-') return unknown_option(a);
      o->inputs.push_back(a);  // "-" is standard input
      continue;
    }
    std::string value;
    if (row->value) {
      if (i + 1 >= argc) return usage_error(a + " needs " + row->wants);
      value = argv[++i];
    }
    if (int rc = row->handler({*row, a, value, o})) return rc;
  }
  if (!o->end_program.empty() && o->key_mode != KeyMode::Group) return usage_error("--end needs --group-by");
  if (o->key_mode == KeyMode::Group && o->filter)
    return usage_error("--filter does not go with --group-by (test inside the program: if ... then n = n + 1)");
  // Grouping and dedupe are useful without a program: the distinct keys, the first records.
  if (!o->have_program && (o->key_mode == KeyMode::Group || o->key_mode == KeyMode::Unique)) {
    o->have_program = true;
    o->result = false;
  }
  // The output's format: the flag's, else -o's name's, else the first input's.
  const Format first_in = input_format(*o, o->inputs.empty() ? "-" : o->inputs.front());
  if (!o->out_format_set && !(o->output_path != "-" && format_of_name(o->output_path, &o->out_format)))
    o->out_format = first_in;
  o->ifs = input_separator(*o, first_in);
  if (o->out_format == Format::Tsv && !o->ofs_set) o->ofs = '\t';
  if (first_in == Format::Csv && o->out_format == Format::Csv && o->ifs_set && !o->ofs_set) o->ofs = o->ifs;
  return 0;
}
