// Command-line options of exprun.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "records.h"

enum class OnError { Stop, Skip, Null };

struct FieldType {
  std::string name;
  int type;  // EXP_* type code
};

struct Options {
  std::string program;           // program text (-e, or read from -f)
  std::string program_file;      // for messages
  bool have_program = false;
  std::vector<std::string> inputs;  // files; empty or "-" means standard input
  std::string output_path = "-";    // "-" is standard output; .gz and .zst compress
  Format in_format = Format::Csv;
  Format out_format = Format::Csv;
  bool out_format_set = false;
  char ifs = ',', ofs = ',';
  bool ifs_set = false, ofs_set = false;
  bool header = true;            // input has a header line
  bool out_header = true;
  std::vector<FieldType> fields;
  bool infer = false;
  bool infer_integers = false;   // --infer may class a column as integer (else numbers are real)
  size_t infer_rows = 100;
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
  bool user_settings = false;    // read the user's settings file (--settings)
};

// Parses argv. Returns 0 to go on, 1 after printing help or version (exit 0), or 2 on a usage
// error (message printed).
int parse_options(int argc, char **argv, Options *o);
// The capability groups exprun allows without --allow: everything but process, file write and locale.
unsigned default_capabilities();
// The --allow word that allows the groups of `denied` (EXP_CAP_* bits), for messages.
std::string allow_flag_for(unsigned denied);
// The type code of a type name ("integer", "real", ...), or 0.
int type_code(const std::string &name);
