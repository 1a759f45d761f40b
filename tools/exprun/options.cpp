// Command-line parsing for exprun.
#include "options.h"

#include <cstdio>
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
    "with the program's result and the variables it declared.\n"
    "\n"
    "program:\n"
    "  -e, --expr TEXT        program text\n"
    "  -f, --file PATH        program file\n"
    "formats (default CSV in and out; output follows input unless set):\n"
    "  --icsv --itsv --ijsonl          input format\n"
    "  --ocsv --otsv --ojsonl          output format\n"
    "  --csv --tsv --jsonl             both\n"
    "  --ifs C, --ofs C, --fs C        field separator (CSV), e.g. ';' or 'tab'\n"
    "  --implicit-header               input has no header line (columns c1, c2, ...)\n"
    "  --headerless-output             write no header line\n"
    "types (columns are strings unless declared):\n"
    "  --field NAME:TYPE               boolean, integer, real, string or date\n"
    "  --infer                         classify each column from the first 100 records\n"
    "result and output:\n"
    "  --result-name NAME              name of the result column (default: result)\n"
    "  --result-type TYPE              type of the result (default: string)\n"
    "  --no-result                     do not write the result column\n"
    "  --output a,b,c                  write only these columns, in this order\n"
    "  --iso-dates                     write dates as ISO 8601 text\n"
    "errors and running:\n"
    "  --on-error stop|skip|null       on a run-time error: stop (default), drop the record,\n"
    "                                  or write it with a null result\n"
    "  --jobs N                        N worker threads; output stays in input order\n"
    "  --timeout S                     stop a record's run after S seconds\n"
    "  --no-progress                   no progress line on a terminal\n"
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

int usage_error(const std::string &message) {
  std::fprintf(stderr, "exprun: %s\n(try exprun --help)\n", message.c_str());
  return 2;
}

}  // namespace

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
      if (!read_file(o->program_file, &o->program)) return usage_error("cannot read " + o->program_file);
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
      o->iso_dates = true;
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
