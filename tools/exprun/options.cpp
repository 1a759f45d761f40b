// Command-line parsing for exprun.
#include "options.h"

#include <strings.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "expression.h"
#include "lint.h"

namespace {

const char kUsage[] =
    "usage: exprun [options] (-e PROGRAM | -f FILE) [INPUT ...]\n"
    "       exprun --functions | exprun --dump -e PROGRAM | exprun   (REPL on a terminal)\n"
    "\n"
    "Runs PROGRAM once per record of the inputs (files, or standard input) and writes each record\n"
    "with the program's result and the variables it declared. Every value is passed through\n"
    "exactly, converted exactly, or reported as an input error of its record (--on-error): input\n"
    "columns are written exactly as read unless the program assigns to them, and columns the program\n"
    "does not name are not given to it. The language: docs/language.md.\n"
    "\n"
    "program:\n"
    "  -e, --expr TEXT        program text\n"
    "  -f, --file PATH        program file\n"
    "  --escaped-strings      a backslash in a quoted text takes the next character as it is:\n"
    "                         \"say \\\"hi\\\"\" is say \"hi\", \\\\ is one backslash\n"
    "input and output (- is standard input/output; gzip and zstd input is found by its first\n"
    "bytes, output ending in .gz or .zst is compressed):\n"
    "  -o, --out PATH                  write to PATH instead of standard output\n"
    "  --icsv --itsv --ijsonl          input format (default: by the file name, .csv .tsv .tab\n"
    "                                  .jsonl .ndjson .json, also before .gz/.zst; else CSV)\n"
    "  --ocsv --otsv --ojsonl          output format (default: by -o's name, else the input's)\n"
    "  --csv --tsv --jsonl             both\n"
    "  --ifs C, --ofs C, --fs C        field separator (CSV), e.g. ';' or 'tab'\n"
    "  --implicit-header               input has no header line (columns c1, c2, ...)\n"
    "  --headerless-output             write no header line\n"
    "  --allow-ragged                  take lines with another field count than the header:\n"
    "                                  short ones padded with nulls, long ones in the window add\n"
    "                                  columns c<N>; a longer line after it is an input error\n"
    "  Without it such a line is an input error. The window is the first 1,000 records, or more\n"
    "  up to the first MB: JSON members first seen after it pass through to JSON output as read\n"
    "  and are an input error for CSV/TSV output (unless --output names the columns); a member\n"
    "  missing from a record is null.\n"
    "types (columns are strings unless declared; names ignore case):\n"
    "  --field NAME:TYPE               boolean, integer, real, string or date\n"
    "  --infer                         classify the columns the program reads from the window:\n"
    "                                  plain numbers real (exact decimals), true/false boolean,\n"
    "                                  ISO dates date; blank or zero-led (007) columns stay text\n"
    "  --infer-integers                let JSON numbers and --infer class whole numbers as integer\n"
    "  JSON members keep their JSON type: numbers are real, true/false boolean. A value that does\n"
    "  not convert exactly to its column's type, or has another JSON kind than the column's first\n"
    "  values, is an input error of its record. --verbose prints each type chosen.\n"
    "  A declared string holds 255 characters (string(n): n); a value cut to fit a variable or\n"
    "  the result is reported once per variable at the end. Columns are given to the program whole.\n"
    "result and output:\n"
    "  --result-name NAME              name of the result column (default: result)\n"
    "  --result-type TYPE              type of the result (default: string)\n"
    "  --no-result                     do not write the result column\n"
    "  --filter                        keep only records whose result is true; no result column\n"
    "  --output a,b,c                  write only these columns, in this order ('*': all input columns)\n"
    "  --exclude a,b                   do not write these columns\n"
    "  --date-format PATTERN           the form of dates read and written (YYYY MM MMM DD hh mm ss);\n"
    "                                  default ISO 8601: 2026-03-07, with the time when not midnight;\n"
    "                                  a date in another form is an input error\n"
    "whole-file jobs (docs/language.md, \"Whole-file jobs\"):\n"
    "  --group-by k1,k2                one output record per distinct key (in order of first\n"
    "                                  appearance): the keys and the program's static variables,\n"
    "                                  which every key has its own copy of ('': one group)\n"
    "  --end TEXT, --end-file PATH     with --group-by: a program run once per group after its\n"
    "                                  last record; its declared variables are written too\n"
    "  --partition-by k1,k2            every record written, static variables kept per key\n"
    "  --unique k1,k2                  keep the first record of each distinct key (no program needed)\n"
    "  --lookup NAME=FILE:KEY          a table indexed on column KEY, read by lookup(NAME, key,\n"
    "                                  column) and haslookup(NAME, key); --field NAME.col:TYPE\n"
    "  --lookup-first                  a key repeated in a table keeps its first row (else an error)\n"
    "errors and running:\n"
    "  --on-error stop|skip|null       on an input or run-time error: stop (default), drop the\n"
    "                                  record, or write it with a null result (a JSON line that\n"
    "                                  cannot be read keeps its text in _input)\n"
    "  Bytes that are not UTF-8 are written as read to CSV/TSV and counted; JSON cannot hold them,\n"
    "  so for JSON output they are an input error (with --on-error null written as U+FFFD).\n"
    "  --jobs N                        N worker threads; output stays in input order\n"
    "  --timeout S                     stop a record's run after S seconds\n"
    "  --allow GROUPS                  let programs use process, files (write), locale, or all\n"
    "  --max-memory SIZE               memory per worker for the input fields and the program's\n"
    "                                  values (K, M, G; default 1G)\n"
    "  --max-steps N                   instructions per record (default: no limit)\n"
    "  --no-progress                   no progress line on a terminal\n"
    "  --verbose                       say what was chosen (capabilities, dropped records)\n"
    "  --strict                        compile-time warnings are errors (exit status 2)\n"
    "  --function NAME[:TYPE]=FILE     compile FILE as the function NAME (result TYPE, default\n"
    "                                  string) for the program to call; repeatable\n"
    "  --test CASES                    check the program against the cases in CASES (CSV, TSV or\n"
    "                                  JSON lines: input columns, expect:NAME columns, error);\n"
    "                                  exit status 1 when a case fails\n"
    "other:\n"
    "  --dump                          print the compiled program and exit\n"
    "  --functions                     list the built-in functions and exit\n"
    "  --repl                          interactive session, also when input is not a terminal\n"
    "  -h, --help, --version\n"
    "\n"
    "exit status: 0 success, 1 run-time error, 2 usage or compile error, 3 input error,\n"
    "             4 records were skipped, 130 interrupted\n";

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

struct AllowWord {
  const char *word;
  unsigned bits;
};
constexpr AllowWord kAllowWords[] = {
    {"process", EXP_CAP_PROCESS}, {"files", EXP_CAP_FILE_WRITE}, {"locale", EXP_CAP_LOCALE}, {"all", EXP_CAP_ALL}};

int usage_error(const std::string &message) {
  std::fprintf(stderr, "exprun: %s\n(try exprun --help)\n", message.c_str());
  return 2;
}

// --function NAME[:TYPE]=FILE: reads FILE now, so that a missing file is a usage error.
int parse_function(const std::string &v, Options *o) {
  const size_t eq = v.find('=');
  if (eq == std::string::npos || eq == 0 || eq + 1 == v.size())
    return usage_error("--function needs NAME=FILE or NAME:TYPE=FILE, not '" + v + "'");
  FunctionFile f{v.substr(0, eq), EXP_STRING, v.substr(eq + 1), {}};
  if (const size_t colon = f.name.rfind(':'); colon != std::string::npos) {
    if (!(f.type = type_code(f.name.substr(colon + 1))))
      return usage_error("bad type in --function '" + v + "' (types: boolean, integer, real, string, date)");
    f.name.resize(colon);
  }
  if (!read_file(f.path, &f.text)) return usage_error("cannot read " + f.path + ": " + std::strerror(errno));
  o->functions_files.push_back(std::move(f));
  return 0;
}

// The options the help text names (words starting with - at the start of a line or after a
// space or comma), so that every option it documents can be suggested.
std::vector<std::string> documented_options() {
  std::vector<std::string> names;
  const std::string text = kUsage;
  for (size_t i = 0; i + 1 < text.size(); ++i) {
    if (text[i] != '-' || (i > 0 && text[i - 1] != ' ' && text[i - 1] != '\n' && text[i - 1] != ',')) continue;
    size_t end = i + 1;
    while (end < text.size() && (std::isalnum(static_cast<unsigned char>(text[end])) || text[end] == '-')) ++end;
    if (end - i >= 2 && text[i + 1] != ' ') names.push_back(text.substr(i, end - i));
    i = end;
  }
  return names;
}

int unknown_option(const std::string &a) {
  std::string best = nearest_name(a.substr(0, a.find('=')), documented_options());
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

unsigned default_capabilities() { return EXP_CAP_ALL & ~(EXP_CAP_PROCESS | EXP_CAP_FILE_WRITE | EXP_CAP_LOCALE); }

std::string allow_flag_for(unsigned denied) {
  for (const AllowWord &w : kAllowWords)
    if (w.bits != EXP_CAP_ALL && (denied & w.bits)) return std::string("--allow ") + w.word;
  return "--allow all";
}

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

int type_code(const std::string &name) {
  static const char *const kNames[] = {"", "boolean", "integer", "real", "string", "date"};
  for (int i = 1; i <= 5; ++i)
    if (name == kNames[i]) return i;
  return 0;
}

int parse_options(int argc, char **argv, Options *o) {
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    auto value = [&](std::string *out) {
      if (i + 1 >= argc) return false;
      *out = argv[++i];
      return true;
    };
    std::string v;
    if (a == "-h" || a == "--help") {
      std::fputs(kUsage, stdout);
      return 1;
    } else if (a == "--version") {
      std::printf("exprun %s\n", exp_version());
      return 1;
    } else if (a == "-e" || a == "--expr") {
      if (!value(&o->program)) return usage_error("-e needs a program");
      o->have_program = true;
    } else if (a == "-f" || a == "--file") {
      if (!value(&o->program_file)) return usage_error("-f needs a file");
      if (!read_file(o->program_file, &o->program))
        return usage_error("cannot read " + o->program_file + ": " + std::strerror(errno));
      o->have_program = true;
    } else if (a == "--icsv" || a == "--itsv" || a == "--ijsonl" || a == "--csv" || a == "--tsv" || a == "--jsonl") {
      Format f = a.ends_with("csv") ? Format::Csv : a.ends_with("tsv") ? Format::Tsv : Format::Jsonl;
      o->in_format = f;
      o->in_format_set = true;
      if (a[2] != 'i') {
        o->out_format = f;
        o->out_format_set = true;
      }
    } else if (a == "--ocsv" || a == "--otsv" || a == "--ojsonl") {
      o->out_format = a.ends_with("csv") ? Format::Csv : a.ends_with("tsv") ? Format::Tsv : Format::Jsonl;
      o->out_format_set = true;
    } else if (a == "--ifs" || a == "--ofs" || a == "--fs") {
      char c;
      if (!value(&v) || !separator_of(v, &c)) return usage_error(a + " needs one character");
      if (a != "--ofs") o->ifs = c, o->ifs_set = true;
      if (a != "--ifs") o->ofs = c, o->ofs_set = true;
    } else if (a == "--implicit-header") {
      o->header = false;
    } else if (a == "--headerless-output") {
      o->out_header = false;
    } else if (a == "--field") {
      if (!value(&v)) return usage_error("--field needs NAME:TYPE");
      size_t colon = v.rfind(':');
      int t = colon == std::string::npos ? 0 : type_code(v.substr(colon + 1));
      if (!t) return usage_error("bad --field '" + v + "' (types: boolean, integer, real, string, date)");
      o->fields.push_back({v.substr(0, colon), t});
    } else if (a == "--infer") {
      o->infer = true;
    } else if (a == "--infer-integers") {
      o->infer = o->infer_integers = true;
    } else if (a == "--allow-ragged") {
      o->allow_ragged = true;
    } else if (a == "--filter") {
      o->filter = true;
    } else if (a == "--verbose") {
      o->verbose = true;
    } else if (a == "-o" || a == "--out") {
      if (!value(&o->output_path) || o->output_path.empty()) return usage_error(a + " needs a path (- for standard output)");
    } else if (a == "--exclude") {
      if (!value(&v)) return usage_error("--exclude needs a list of columns");
      o->exclude = split(v, ',');
    } else if (a == "--date-format") {
      if (!value(&o->date_format) || o->date_format.empty()) return usage_error("--date-format needs a pattern");
    } else if (a == "--allow") {
      if (!value(&v)) return usage_error("--allow needs process, files, locale or all");
      for (const std::string &word : split(v, ',')) {
        const AllowWord *w = std::find_if(std::begin(kAllowWords), std::end(kAllowWords),
                                          [&](const AllowWord &x) { return word == x.word; });
        if (w == std::end(kAllowWords)) return usage_error("--allow takes process, files, locale or all, not '" + word + "'");
        o->allow |= w->bits;
      }
    } else if (a == "--max-memory") {
      if (!value(&v) || !parse_size(v, &o->max_memory)) return usage_error("--max-memory needs a size such as 512M or 2G");
    } else if (a == "--max-steps") {
      if (!value(&v) || !parse_size(v, &o->max_steps)) return usage_error("--max-steps needs a count above 0");
    } else if (a == "--result-name") {
      if (!value(&o->result_name)) return usage_error("--result-name needs a name");
    } else if (a == "--result-type") {
      if (!value(&v) || !(o->result_type = type_code(v))) return usage_error("bad --result-type");
    } else if (a == "--no-result") {
      o->result = false;
    } else if (a == "--output") {
      if (!value(&v)) return usage_error("--output needs a list of columns");
      o->output = split(v, ',');
    } else if (a == "--iso-dates") {
      o->date_format.clear();  // ISO 8601 is the default; the option stays for old scripts
    } else if (a == "--on-error") {
      if (!value(&v)) return usage_error("--on-error needs stop, skip or null");
      if (v == "stop") o->on_error = OnError::Stop;
      else if (v == "skip") o->on_error = OnError::Skip;
      else if (v == "null") o->on_error = OnError::Null;
      else return usage_error("--on-error takes stop, skip or null");
    } else if (a == "--jobs" || a == "-j") {
      if (!value(&v) || (o->jobs = std::atoi(v.c_str())) < 1 || o->jobs > kMaxJobs)
        return usage_error("--jobs needs 1 to " + std::to_string(kMaxJobs));
    } else if (a == "--timeout") {
      if (!value(&v) || (o->timeout = std::atof(v.c_str())) <= 0) return usage_error("--timeout needs seconds");
    } else if (a == "--no-progress") {
      o->progress = false;
    } else if (a == "--repl") {
      o->repl = true;
    } else if (a == "--escaped-strings") {
      o->escaped_strings = true;
    } else if (a == "--strict") {
      o->strict = true;
    } else if (a == "--function") {
      if (!value(&v)) return usage_error("--function needs NAME=FILE");
      if (int rc = parse_function(v, o)) return rc;
    } else if (a == "--test") {
      if (!value(&o->test_cases) || o->test_cases.empty()) return usage_error("--test needs a file of cases");
    } else if (a == "--dump") {
      o->dump = true;
    } else if (a == "--functions") {
      o->functions = true;
    } else if (a == "--group-by" || a == "--partition-by" || a == "--unique") {
      if (!value(&v)) return usage_error(a + " needs a list of columns");
      KeyMode mode = a == "--group-by" ? KeyMode::Group : a == "--partition-by" ? KeyMode::Partition : KeyMode::Unique;
      if (o->key_mode != KeyMode::None && o->key_mode != mode)
        return usage_error("give one of --group-by, --partition-by and --unique");
      o->key_mode = mode;
      o->keys = v.empty() ? std::vector<std::string>{} : split(v, ',');
      if (mode != KeyMode::Group && o->keys.empty()) return usage_error(a + " needs at least one column");
    } else if (a == "--end") {
      if (!value(&o->end_program)) return usage_error("--end needs a program");
    } else if (a == "--end-file") {
      if (!value(&o->end_program_file)) return usage_error("--end-file needs a file");
      if (!read_file(o->end_program_file, &o->end_program))
        return usage_error("cannot read " + o->end_program_file + ": " + std::strerror(errno));
    } else if (a == "--lookup") {
      if (!value(&v)) return usage_error("--lookup needs NAME=FILE:KEY");
      size_t eq = v.find('='), colon = v.rfind(':');
      if (eq == std::string::npos || eq == 0 || colon == std::string::npos || colon < eq + 2 || colon + 1 == v.size())
        return usage_error("--lookup needs NAME=FILE:KEY, not '" + v + "'");
      o->lookups.push_back({v.substr(0, eq), v.substr(eq + 1, colon - eq - 1), v.substr(colon + 1)});
    } else if (a == "--lookup-first") {
      o->lookup_first = true;
    } else if (a.size() > 1 && a[0] == '-' && a != "-") {
      return unknown_option(a);
    } else {
      o->inputs.push_back(a);
    }
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
