// The table of exprun's options: what each is called, what it takes, its help, and the handler
// that applies it to Options.
#include "option_table.h"

#include <strings.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string_view>
#include <utility>
#include <vector>

#include "expression.h"

namespace {

using S = OptionSection;

constexpr SectionRow kSections[] = {
    {S::Program, "program", "program", nullptr},
    {S::InputOutput, "input-output", "input and output",
     "- is standard input/output; gzip and zstd input is found by its first bytes, output ending in .gz or .zst "
     "is compressed"},
    {S::Types, "types", "types", "columns are strings unless declared; names ignore case"},
    {S::Output, "output", "result and output", nullptr},
    {S::WholeFile, "whole-file", "whole-file jobs", "docs/language.md, \"Whole-file jobs\""},
    {S::Running, "running", "errors and running", nullptr},
    {S::Other, "other", "other", nullptr},
    {S::Hidden, "hidden", "hidden", nullptr},
};

// ---- values -------------------------------------------------------------------------------------

bool read_file(const std::string &path, std::string *text) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::ostringstream s;
  s << in.rdbuf();
  *text = s.str();
  return true;
}

bool separator_of(const std::string &v, char *out) {
  if (v == "tab" || v == "\\t") *out = '\t';
  else if (v == "comma") *out = ',';
  else if (v == "semicolon") *out = ';';
  else if (v == "pipe") *out = '|';
  else if (v.size() == 1) *out = v[0];
  else return false;
  return true;
}

std::vector<std::string> split(const std::string &s, char sep) {
  std::vector<std::string> parts;
  std::string cur;
  for (char c : s) {
    if (c == sep) {
      parts.push_back(cur);
      cur.clear();
    } else {
      cur.push_back(c);
    }
  }
  parts.push_back(cur);
  return parts;
}

// Parses a size with an optional K, M or G suffix (powers of 1024).
bool parse_size(const std::string &v, int64_t *out) {
  char *end = nullptr;
  errno = 0;
  double n = std::strtod(v.c_str(), &end);
  if (end == v.c_str() || errno || n <= 0) return false;
  std::string suffix(end);
  static const std::pair<const char *, double> kUnits[] = {
      {"", 1}, {"K", 1024.0}, {"M", 1048576.0}, {"G", 1073741824.0}, {"KB", 1024.0}, {"MB", 1048576.0}, {"GB", 1073741824.0}};
  for (const auto &[name, scale] : kUnits) {
    if (strcasecmp(suffix.c_str(), name) != 0) continue;
    double bytes = n * scale;
    if (bytes >= 9.0e18 || bytes < 1) return false;
    *out = static_cast<int64_t>(bytes);
    return true;
  }
  return false;
}

// The types a column, a result or a function may have, for messages: "boolean, integer, ...".
std::string column_types() {
  std::string list;
  for (int t = EXP_BOOLEAN; t <= EXP_DATE; ++t) list += std::string(t > EXP_BOOLEAN ? ", " : "") + exp_type_name(t);
  return list;
}

struct AllowWord {
  const char *word;
  unsigned bits;
};
// "all" is the library's EXP_CAP_ALL, which leaves out pseudo files: /proc and /sys reach the
// process's memory and environment, so they are allowed only by name.
constexpr AllowWord kAllowWords[] = {{"process", EXP_CAP_PROCESS},
                                     {"files", EXP_CAP_FILE_WRITE},
                                     {"locale", EXP_CAP_LOCALE},
                                     {"pseudo", EXP_CAP_PSEUDO_FILES},
                                     {"all", EXP_CAP_ALL}};

// ---- handlers -----------------------------------------------------------------------------------

template <bool Options::*Flag, bool Value = true>
int set_flag(const OptionUse &u) {
  u.o->*Flag = Value;
  return 0;
}

// Takes the value as it is; NonEmpty refuses "".
template <std::string Options::*Text, bool NonEmpty = false>
int set_text(const OptionUse &u) {
  if (NonEmpty && u.value.empty()) return u.bad();
  u.o->*Text = u.value;
  return 0;
}

// A comma-separated list of column names.
template <std::vector<std::string> Options::*List>
int set_list(const OptionUse &u) {
  u.o->*List = split(u.value, ',');
  return 0;
}

// Reads the file the value names into Text (a missing file is a usage error, found now).
template <std::string Options::*Path, std::string Options::*Text>
int read_text(const OptionUse &u) {
  u.o->*Path = u.value;
  if (!read_file(u.value, &(u.o->*Text))) return usage_error("cannot read " + u.value + ": " + std::strerror(errno));
  return 0;
}

template <Format F, bool In, bool Out>
int set_format(const OptionUse &u) {
  if (In) u.o->in_format = F, u.o->in_format_set = true;
  if (Out) u.o->out_format = F, u.o->out_format_set = true;
  return 0;
}

template <bool In, bool Out>
int set_separator(const OptionUse &u) {
  char c;
  if (!separator_of(u.value, &c)) return u.bad();
  if (In) u.o->ifs = c, u.o->ifs_set = true;
  if (Out) u.o->ofs = c, u.o->ofs_set = true;
  return 0;
}

// --group-by, --partition-by, --unique: one of them, with its key columns.
template <KeyMode M>
int set_keys(const OptionUse &u) {
  Options *o = u.o;
  if (o->key_mode != KeyMode::None && o->key_mode != M)
    return usage_error("give one of --group-by, --partition-by and --unique");
  o->key_mode = M;
  o->keys = u.value.empty() ? std::vector<std::string>{} : split(u.value, ',');
  if (M != KeyMode::Group && o->keys.empty()) return usage_error(u.typed + " needs at least one column");
  return 0;
}

int set_program(const OptionUse &u) {
  u.o->program = u.value;
  u.o->have_program = true;
  return 0;
}

int read_program(const OptionUse &u) {
  u.o->have_program = true;
  return read_text<&Options::program_file, &Options::program>(u);
}

int add_field(const OptionUse &u) {
  const size_t colon = u.value.rfind(':');
  const int t = colon == std::string::npos ? 0 : type_code(u.value.substr(colon + 1));
  if (!t) return usage_error("bad --field '" + u.value + "' (types: " + column_types() + ")");
  u.o->fields.push_back({u.value.substr(0, colon), t});
  return 0;
}

int set_result_type(const OptionUse &u) {
  if (!(u.o->result_type = type_code(u.value)))
    return usage_error("bad --result-type '" + u.value + "' (types: " + column_types() + ")");
  return 0;
}

int set_allow(const OptionUse &u) {
  for (const std::string &word : split(u.value, ',')) {
    const AllowWord *w = std::find_if(std::begin(kAllowWords), std::end(kAllowWords),
                                      [&](const AllowWord &x) { return word == x.word; });
    if (w == std::end(kAllowWords))
      return usage_error("--allow takes process, files, locale, pseudo or all, not '" + word + "'");
    u.o->allow |= w->bits;
  }
  return 0;
}

int set_on_error(const OptionUse &u) {
  static constexpr std::pair<std::string_view, OnError> kPolicies[] = {
      {"stop", OnError::Stop}, {"skip", OnError::Skip}, {"null", OnError::Null}};
  for (const auto &[word, policy] : kPolicies) {
    if (u.value != word) continue;
    u.o->on_error = policy;
    return 0;
  }
  return usage_error("--on-error takes stop, skip or null");
}

int set_jobs(const OptionUse &u) {
  const int n = std::atoi(u.value.c_str());
  if (n < 1 || n > kMaxJobs) return usage_error(u.typed + " needs 1 to " + std::to_string(kMaxJobs));
  u.o->jobs = n;
  return 0;
}

int set_timeout(const OptionUse &u) {
  if ((u.o->timeout = std::atof(u.value.c_str())) <= 0) return u.bad();
  return 0;
}

template <int64_t Options::*Size>
int set_size(const OptionUse &u) {
  return parse_size(u.value, &(u.o->*Size)) ? 0 : u.bad();
}

// --lookup NAME=FILE:KEY (the file name may hold colons; the key is after the last one).
int add_lookup(const OptionUse &u) {
  const std::string &v = u.value;
  const size_t eq = v.find('='), colon = v.rfind(':');
  if (eq == std::string::npos || eq == 0 || colon == std::string::npos || colon < eq + 2 || colon + 1 == v.size())
    return usage_error("--lookup needs NAME=FILE:KEY, not '" + v + "'");
  u.o->lookups.push_back({v.substr(0, eq), v.substr(eq + 1, colon - eq - 1), v.substr(colon + 1)});
  return 0;
}

// --function NAME[:TYPE]=FILE: reads FILE now, so that a missing file is a usage error.
int add_function(const OptionUse &u) {
  const std::string &v = u.value;
  const size_t eq = v.find('=');
  if (eq == std::string::npos || eq == 0 || eq + 1 == v.size())
    return usage_error("--function needs NAME=FILE or NAME:TYPE=FILE, not '" + v + "'");
  FunctionFile f{v.substr(0, eq), EXP_STRING, v.substr(eq + 1), {}};
  if (const size_t colon = f.name.rfind(':'); colon != std::string::npos) {
    if (!(f.type = type_code(f.name.substr(colon + 1))))
      return usage_error("bad type in --function '" + v + "' (types: " + column_types() + ")");
    f.name.resize(colon);
  }
  if (!read_file(f.path, &f.text)) return usage_error("cannot read " + f.path + ": " + std::strerror(errno));
  u.o->functions_files.push_back(std::move(f));
  return 0;
}

int show_help(const OptionUse &) {
  print_help(stdout);
  return 1;
}

int show_version(const OptionUse &) {
  std::printf("exprun %s\n", exp_version());
  return 1;
}

int show_table(const OptionUse &) {
  print_option_table(stdout);
  return 1;
}

// ---- the table ----------------------------------------------------------------------------------

constexpr OptionRow kOptions[] = {
    {"--expr", "-e", "TEXT", "a program", S::Program, "program text", set_program},
    {"--file", "-f", "PATH", "a file", S::Program, "program file", read_program},
    {"--escaped-strings", nullptr, nullptr, nullptr, S::Program,
     "a backslash in a quoted text takes the next character as it is: \"say \\\"hi\\\"\" is say \"hi\", \\\\ is one "
     "backslash",
     set_flag<&Options::escaped_strings>},

    {"--out", "-o", "PATH", "a path (- for standard output)", S::InputOutput,
     "write to PATH instead of standard output", set_text<&Options::output_path, true>},
    {"--icsv", nullptr, nullptr, nullptr, S::InputOutput,
     "input format (default: by the file name, .csv .tsv .tab .jsonl .ndjson .json, also before .gz/.zst; else CSV)",
     set_format<Format::Csv, true, false>},
    {"--itsv", nullptr, nullptr, nullptr, S::InputOutput, nullptr, set_format<Format::Tsv, true, false>},
    {"--ijsonl", nullptr, nullptr, nullptr, S::InputOutput, nullptr, set_format<Format::Jsonl, true, false>},
    {"--ocsv", nullptr, nullptr, nullptr, S::InputOutput, "output format (default: by -o's name, else the input's)",
     set_format<Format::Csv, false, true>},
    {"--otsv", nullptr, nullptr, nullptr, S::InputOutput, nullptr, set_format<Format::Tsv, false, true>},
    {"--ojsonl", nullptr, nullptr, nullptr, S::InputOutput, nullptr, set_format<Format::Jsonl, false, true>},
    {"--csv", nullptr, nullptr, nullptr, S::InputOutput, "input and output format",
     set_format<Format::Csv, true, true>},
    {"--tsv", nullptr, nullptr, nullptr, S::InputOutput, nullptr, set_format<Format::Tsv, true, true>},
    {"--jsonl", nullptr, nullptr, nullptr, S::InputOutput, nullptr, set_format<Format::Jsonl, true, true>},
    {"--ifs", nullptr, "C", "one character", S::InputOutput,
     "field separator of the input, the output, or both (CSV): one character, or tab, comma, semicolon, pipe",
     set_separator<true, false>},
    {"--ofs", nullptr, "C", "one character", S::InputOutput, nullptr, set_separator<false, true>},
    {"--fs", nullptr, "C", "one character", S::InputOutput, nullptr, set_separator<true, true>},
    {"--implicit-header", nullptr, nullptr, nullptr, S::InputOutput, "input has no header line (columns c1, c2, ...)",
     set_flag<&Options::header, false>},
    {"--headerless-output", nullptr, nullptr, nullptr, S::InputOutput, "write no header line",
     set_flag<&Options::out_header, false>},
    {"--allow-ragged", nullptr, nullptr, nullptr, S::InputOutput,
     "take lines with another field count than the header: short ones padded with nulls, long ones in the window "
     "add columns c<N>; a longer line after it is an input error",
     set_flag<&Options::allow_ragged>,
     "Without it such a line is an input error. The window is the first 1,000 records, or more up to the first MB: "
     "JSON members first seen after it pass through to JSON output as read and are an input error for CSV/TSV output "
     "(unless --output names the columns); a member missing from a record is null."},

    {"--field", nullptr, "NAME:TYPE", "NAME:TYPE", S::Types, "boolean, integer, real, string or date; repeatable",
     add_field},
    {"--infer", nullptr, nullptr, nullptr, S::Types,
     "classify the columns the program reads from the window: plain numbers real (exact decimals), true/false "
     "boolean, ISO dates date; blank or zero-led (007) columns stay text",
     set_flag<&Options::infer>},
    {"--infer-integers", nullptr, nullptr, nullptr, S::Types,
     "let JSON numbers and --infer class whole numbers as integer",
     [](const OptionUse &u) {
       u.o->infer = u.o->infer_integers = true;
       return 0;
     },
     "JSON members keep their JSON type: numbers are real, true/false boolean. A value that does not convert "
     "exactly to its column's type, or has another JSON kind than the column's first values, is an input error of "
     "its record. --verbose prints each type chosen. A declared string holds 255 characters (string(n): n); a value "
     "cut to fit a variable or the result is reported once per variable at the end. Columns are given to the "
     "program whole."},

    {"--result-name", nullptr, "NAME", "a name", S::Output, "name of the result column (default: result)",
     set_text<&Options::result_name>},
    {"--result-type", nullptr, "TYPE", "a type", S::Output, "type of the result (default: string)", set_result_type},
    {"--no-result", nullptr, nullptr, nullptr, S::Output, "do not write the result column",
     set_flag<&Options::result, false>},
    {"--filter", nullptr, nullptr, nullptr, S::Output, "keep only records whose result is true; no result column",
     set_flag<&Options::filter>},
    {"--output", nullptr, "a,b,c", "a list of columns", S::Output,
     "write only these columns, in this order ('*': all input columns)",
     set_list<&Options::output>},
    {"--exclude", nullptr, "a,b", "a list of columns", S::Output, "do not write these columns",
     set_list<&Options::exclude>},
    {"--date-format", nullptr, "PATTERN", "a pattern", S::Output,
     "the form of dates read and written (YYYY MM MMM DD hh mm ss); default ISO 8601: 2026-03-07, with the time "
     "when not midnight; a date in another form is an input error",
     set_text<&Options::date_format, true>},

    {"--group-by", nullptr, "k1,k2", "a list of columns", S::WholeFile,
     "one output record per distinct key (in order of first appearance): the keys and the program's static "
     "variables, which every key has its own copy of ('': one group)",
     set_keys<KeyMode::Group>},
    {"--end", nullptr, "TEXT", "a program", S::WholeFile,
     "with --group-by: a program run once per group after its last record; its declared variables are written too",
     set_text<&Options::end_program>},
    {"--end-file", nullptr, "PATH", "a file", S::WholeFile, nullptr,
     read_text<&Options::end_program_file, &Options::end_program>},
    {"--partition-by", nullptr, "k1,k2", "a list of columns", S::WholeFile,
     "every record written, static variables kept per key", set_keys<KeyMode::Partition>},
    {"--unique", nullptr, "k1,k2", "a list of columns", S::WholeFile,
     "keep the first record of each distinct key (no program needed)", set_keys<KeyMode::Unique>},
    {"--lookup", nullptr, "NAME=FILE:KEY", "NAME=FILE:KEY", S::WholeFile,
     "a table indexed on column KEY, read by lookup(NAME, key, column) and haslookup(NAME, key); --field "
     "NAME.col:TYPE types its columns; repeatable",
     add_lookup},
    {"--lookup-first", nullptr, nullptr, nullptr, S::WholeFile,
     "a key repeated in a table keeps its first row (else an error)", set_flag<&Options::lookup_first>},

    {"--on-error", nullptr, "stop|skip|null", "stop, skip or null", S::Running,
     "on an input or run-time error: stop (default), drop the record, or write it with a null result (a JSON line "
     "that cannot be read keeps its text in _input)",
     set_on_error,
     "Bytes that are not UTF-8 are written as read to CSV/TSV and counted; JSON cannot hold them, so for JSON output "
     "they are an input error (with --on-error null written as U+FFFD)."},
    {"--jobs", "-j", "N", "a number of worker threads", S::Running, "N worker threads; output stays in input order",
     set_jobs},
    {"--timeout", nullptr, "S", "seconds", S::Running, "stop a record's run after S seconds", set_timeout},
    {"--allow", nullptr, "GROUPS", "process, files, locale, pseudo or all", S::Running,
     "let programs use process, files (write), locale, or all; pseudo lets files of /proc, /sys and other "
     "pseudo file systems be opened, and is not part of all",
     set_allow},
    {"--max-memory", nullptr, "SIZE", "a size such as 512M or 2G", S::Running,
     "memory per worker for the input fields and the program's values (K, M, G; default 1G)",
     set_size<&Options::max_memory>},
    {"--max-steps", nullptr, "N", "a count above 0", S::Running, "instructions per record (default: no limit)",
     set_size<&Options::max_steps>},
    {"--no-progress", nullptr, nullptr, nullptr, S::Running, "no progress line on a terminal",
     set_flag<&Options::progress, false>},
    {"--verbose", nullptr, nullptr, nullptr, S::Running, "say what was chosen (capabilities, dropped records)",
     set_flag<&Options::verbose>},
    {"--strict", nullptr, nullptr, nullptr, S::Running, "compile-time warnings are errors (exit status 2)",
     set_flag<&Options::strict>},
    {"--function", nullptr, "NAME[:TYPE]=FILE", "NAME=FILE", S::Running,
     "compile FILE as the function NAME (result TYPE, default string) for the program to call; repeatable",
     add_function},
    {"--test", nullptr, "CASES", "a file of cases", S::Running,
     "check the program against the cases in CASES (CSV, TSV or JSON lines: input columns, expect:NAME columns, "
     "error); exit status 1 when a case fails",
     set_text<&Options::test_cases, true>},
    {"--settings", nullptr, nullptr, nullptr, S::Running,
     "read the user's settings file (~/.config/expression/config), which may turn escaped strings on; off by "
     "default",
     set_flag<&Options::user_settings>},

    {"--dump", nullptr, nullptr, nullptr, S::Other, "print the compiled program and exit", set_flag<&Options::dump>},
    {"--functions", nullptr, nullptr, nullptr, S::Other, "list the built-in functions and exit",
     set_flag<&Options::functions>},
    {"--repl", nullptr, nullptr, nullptr, S::Other, "interactive session, also when input is not a terminal",
     set_flag<&Options::repl>},
    {"--help", "-h", nullptr, nullptr, S::Other, "print this help and exit", show_help},
    {"--version", nullptr, nullptr, nullptr, S::Other, "print the version and exit", show_version},

    // ISO 8601 is the default; the option stays for old scripts.
    {"--iso-dates", nullptr, nullptr, nullptr, S::Hidden, "the default form of dates",
     [](const OptionUse &u) {
       u.o->date_format.clear();
       return 0;
     }},
    {"--help-table", nullptr, nullptr, nullptr, S::Hidden, "print the table of options as JSON and exit", show_table},
};

// The table's own rules, checked when exprun is compiled: names are unique, a value has its
// placeholder and its words for messages, an entry shared with the row before stays in its
// section, and sections come in the order --help prints them.
constexpr bool table_is_sound() {
  auto same = [](const char *a, const char *b) { return a && b && std::string_view(a) == b; };
  for (size_t i = 0; i < std::size(kOptions); ++i) {
    const OptionRow &r = kOptions[i];
    if (!r.name || (r.value == nullptr) != (r.wants == nullptr)) return false;
    if (i == 0 && !r.help) return false;
    if (i > 0 && (r.section < kOptions[i - 1].section || (!r.help && r.section != kOptions[i - 1].section)))
      return false;
    for (size_t j = 0; j < i; ++j)
      for (const char *n : {r.name, r.short_name})
        if (same(n, kOptions[j].name) || same(n, kOptions[j].short_name)) return false;
  }
  for (size_t s = 0; s < std::size(kSections); ++s)
    if (kSections[s].id != static_cast<OptionSection>(s)) return false;
  return true;
}
static_assert(table_is_sound());

}  // namespace

const char kHelpHead[] =
    "usage: exprun [options] (-e PROGRAM | -f FILE) [INPUT ...]\n"
    "       exprun --functions | exprun --dump -e PROGRAM | exprun   (REPL on a terminal)\n"
    "\n"
    "Runs PROGRAM once per record of the inputs (files, or standard input) and writes each record\n"
    "with the program's result and the variables it declared. Every value is passed through\n"
    "exactly, converted exactly, or reported as an input error of its record (--on-error): input\n"
    "columns are written exactly as read unless the program assigns to them, and columns the program\n"
    "does not name are not given to it. The language: docs/language.md.\n";

const char kHelpTail[] =
    "exit status: 0 success, 1 run-time error, 2 usage or compile error, 3 input error,\n"
    "             4 records were skipped, 130 interrupted\n";

std::span<const OptionRow> option_table() { return kOptions; }
std::span<const SectionRow> option_sections() { return kSections; }

int OptionUse::bad() const { return usage_error(typed + " needs " + row.wants); }

int usage_error(const std::string &message) {
  std::fprintf(stderr, "exprun: %s\n(try exprun --help)\n", message.c_str());
  return 2;
}

unsigned default_capabilities() { return EXP_CAP_ALL & ~(EXP_CAP_PROCESS | EXP_CAP_FILE_WRITE | EXP_CAP_LOCALE); }

std::string allow_flag_for(unsigned denied) {
  for (const AllowWord &w : kAllowWords)
    if (w.bits != EXP_CAP_ALL && (denied & w.bits)) return std::string("--allow ") + w.word;
  return "--allow all";
}

int type_code(const std::string &name) {
  for (int t = EXP_BOOLEAN; t <= EXP_DATE; ++t)
    if (name == exp_type_name(t)) return t;
  return 0;
}
