// Command-line options of exprun.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "records.h"

enum class OnError { Stop, Skip, Null };

struct FieldType {
  std::string name;
  int type;  // EXP_* type code
};

// --lookup NAME=FILE:KEY: a table the program reads through lookup() and haslookup().
struct LookupSpec {
  std::string name, path, key;
};
class LookupTables;  // lookups.h

// How records are tied to keys: per-key state (--group-by, --partition-by) or dedupe (--unique).
enum class KeyMode { None, Group, Partition, Unique };
// A user-defined function: a program file compiled under a name (--function NAME[:TYPE]=FILE).
struct FunctionFile {
  std::string name;
  int type;  // of its result
  std::string path, text;
};

// The most worker threads --jobs may ask for.
inline constexpr int kMaxJobs = 256;

struct Options {
  std::string program;           // program text (-e, or read from -f)
  std::string program_file;      // for messages
  bool have_program = false;
  std::vector<std::string> inputs;  // files; empty or "-" means standard input
  std::string output_path = "-";    // "-" is standard output; .gz and .zst compress
  Format in_format = Format::Csv;   // the flag's; else each input's name decides (input_format)
  bool in_format_set = false;
  Format out_format = Format::Csv;  // settled by parse_options: flag, -o's name, or the first input's
  bool out_format_set = false;
  char ifs = ',', ofs = ',';
  bool ifs_set = false, ofs_set = false;
  bool header = true;            // input has a header line
  bool out_header = true;
  std::vector<FieldType> fields;
  bool infer = false;
  bool infer_integers = false;   // --infer may class a column as integer (else numbers are real)
  bool allow_ragged = false;
  std::string date_format;       // formatdate letters; empty: ISO 8601
  std::string result_name = "result";
  int result_type = 4;           // string
  bool result = true;            // write the result column
  std::vector<std::string> output;  // columns to write; empty: inputs + result + program globals; "*": the inputs
  std::vector<std::string> exclude; // columns not to write
  bool filter = false;           // keep only the records whose result is true
  OnError on_error = OnError::Stop;
  int jobs = 1;
  double timeout = 0;            // seconds per record, 0 = none
  bool dump = false;
  bool functions = false;
  bool verbose = false;
  unsigned allow = 0;            // EXP_CAP_* groups allowed beyond the safe default
  int64_t max_memory = int64_t{1} << 30;
  int64_t max_steps = 0;         // 0: no limit
  bool progress = true;          // shown only when stderr is a terminal
  bool repl = false;             // interactive session even when standard input is not a terminal
  KeyMode key_mode = KeyMode::None;
  std::vector<std::string> keys;    // the key columns of --group-by, --partition-by or --unique
  std::string end_program;          // --end: runs once per group after its last record
  std::string end_program_file;     // for messages
  std::vector<LookupSpec> lookups;
  bool lookup_first = false;        // a duplicate key in a table keeps the first row
  std::shared_ptr<const LookupTables> tables;  // the --lookup tables, loaded before the run
  bool strict = false;           // compile-time warnings are errors
  bool escaped_strings = false;  // a backslash in a string literal takes the next character as it is
  std::vector<FunctionFile> functions_files;  // compiled before the program, in this order
  std::string test_cases;        // --test: the file of cases to check the program against
  bool user_settings = false;    // read the user's settings file (--settings)
};

// Parses argv by the table of options (option_table.h). Returns 0 to go on, 1 after printing what
// was asked (--help, --version: exit 0), or 2 on a usage error (message printed).
int parse_options(int argc, char **argv, Options *o);
// The capability groups exprun allows without --allow: everything but process, file write and locale.
unsigned default_capabilities();
// The --allow word that allows the groups of `denied` (EXP_CAP_* bits), for messages.
std::string allow_flag_for(unsigned denied);
// The type code of a type name ("integer", "real", ...), or 0.
int type_code(const std::string &name);
// The format of input `path`: the flag's, else its name's (.csv, .tsv, .tab, .jsonl, .ndjson, .json,
// also before .gz or .zst), else CSV.
Format input_format(const Options &o, const std::string &path);
// The field separator of an input of format f: --ifs/--fs, else a tab for TSV and a comma for CSV.
char input_separator(const Options &o, Format f);
// How to read a file named beside the inputs (a --lookup table, --test cases): in the format its
// name gives (with that format's separator), else as the input flags say.
ReaderOptions side_file_options(const Options &o, const std::string &path);
