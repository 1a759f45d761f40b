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

namespace {

const char kUsage[] =
    "usage: exprun [options] (-e PROGRAM | -f FILE) [INPUT ...]\n"
    "       exprun --functions | exprun --dump -e PROGRAM | exprun   (REPL on a terminal)\n"
    "\n"
    "Runs PROGRAM once per record of the inputs (files, or standard input) and writes each record\n"
    "with the program's result and the variables it declared. Input columns are written exactly as\n"
    "they were read unless the program assigns to them. The language: docs/language.md.\n"
    "\n"
    "program:\n"
    "  -e, --expr TEXT        program text\n"
    "  -f, --file PATH        program file\n"
    "input and output (files ending in .gz or .zst are compressed; - is standard input/output):\n"
    "  -o, --out PATH                  write to PATH instead of standard output\n"
    "  --icsv --itsv --ijsonl          input format (default CSV)\n"
    "  --ocsv --otsv --ojsonl          output format (default: the input's)\n"
    "  --csv --tsv --jsonl             both\n"
    "  --ifs C, --ofs C, --fs C        field separator (CSV), e.g. ';' or 'tab'\n"
    "  --implicit-header               input has no header line (columns c1, c2, ...)\n"
    "  --headerless-output             write no header line\n"
    "  --allow-ragged                  fields past the header become columns c<N>\n"
    "types (columns are strings unless declared):\n"
    "  --field NAME:TYPE               boolean, integer, real, string or date\n"
    "  --infer                         classify each column from the first 100 records\n"
    "                                  (numbers as real, exact decimals)\n"
    "  --infer-integers                let --infer class whole-number columns as integer\n"
    "  A value that does not convert to its column's type is an input error of its record.\n"
    "result and output:\n"
    "  --result-name NAME              name of the result column (default: result)\n"
    "  --result-type TYPE              type of the result (default: string)\n"
    "  --no-result                     do not write the result column\n"
    "  --filter                        keep only records whose result is true; no result column\n"
    "  --output a,b,c                  write only these columns, in this order ('*': all input columns)\n"
    "  --exclude a,b                   do not write these columns\n"
    "  --date-format PATTERN           dates as formatdate writes them (YYYY MM DD hh mm ss);\n"
    "                                  default ISO 8601: 2026-03-07, with the time when not midnight\n"
    "errors and running:\n"
    "  --on-error stop|skip|null       on an input or run-time error: stop (default), drop the\n"
    "                                  record, or write it with a null result\n"
    "  --jobs N                        N worker threads; output stays in input order\n"
    "  --timeout S                     stop a record's run after S seconds\n"
    "  --allow GROUPS                  let programs use process, files (write), locale, or all\n"
    "  --max-memory SIZE               memory for a program's values (K, M, G; default 1G)\n"
    "  --max-steps N                   instructions per record (default: no limit)\n"
    "  --no-progress                   no progress line on a terminal\n"
    "  --verbose                       say what was chosen (capabilities, dropped records)\n"
    "  --settings                      read the user's settings file (~/.config/expression/config),\n"
    "                                  which may turn escaped strings on; off by default\n"
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

}  // namespace

unsigned default_capabilities() { return EXP_CAP_ALL & ~(EXP_CAP_PROCESS | EXP_CAP_FILE_WRITE | EXP_CAP_LOCALE); }

std::string allow_flag_for(unsigned denied) {
  for (const AllowWord &w : kAllowWords)
    if (w.bits != EXP_CAP_ALL && (denied & w.bits)) return std::string("--allow ") + w.word;
  return "--allow all";
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
    } else if (a == "--settings") {
      o->user_settings = true;
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
      if (!value(&v) || (o->jobs = std::atoi(v.c_str())) < 1 || o->jobs > 256) return usage_error("--jobs needs 1 to 256");
    } else if (a == "--timeout") {
      if (!value(&v) || (o->timeout = std::atof(v.c_str())) <= 0) return usage_error("--timeout needs seconds");
    } else if (a == "--no-progress") {
      o->progress = false;
    } else if (a == "--repl") {
      o->repl = true;
    } else if (a == "--dump") {
      o->dump = true;
    } else if (a == "--functions") {
      o->functions = true;
    } else if (a.size() > 1 && a[0] == '-' && a != "-") {
      return usage_error("unknown option " + a);
    } else {
      o->inputs.push_back(a);
    }
  }
  if (!o->out_format_set) o->out_format = o->in_format;
  if (o->in_format == Format::Tsv && !o->ifs_set) o->ifs = '\t';
  if (o->out_format == Format::Tsv && !o->ofs_set) o->ofs = '\t';
  if (o->in_format == Format::Csv && o->out_format == Format::Csv && o->ifs_set && !o->ofs_set) o->ofs = o->ifs;
  return 0;
}
