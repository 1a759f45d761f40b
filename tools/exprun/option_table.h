// exprun's command-line options as one table. Parsing (parse_options), --help, the suggestion
// for an unknown option and the --help-table dump all walk it, so an option is described once;
// generators of the manual page and of shell completion read the dump (JSON, see
// print_option_table).
#pragma once

#include <cstdio>
#include <span>
#include <string>

#include "options.h"

// The parts of --help, in the order they are printed. Hidden options are parsed but neither
// printed nor suggested (kept for old scripts, or for tools).
enum class OptionSection { Program, InputOutput, Types, Output, WholeFile, Running, Other, Hidden };

struct SectionRow {
  OptionSection id;
  const char *key;     // a name for tools: "input-output"
  const char *title;   // the heading --help prints: "input and output"
  const char *remark;  // printed after the title in parentheses, or nullptr
};

struct OptionRow;

// One use of an option on the command line, as its handler sees it.
struct OptionUse {
  const OptionRow &row;
  const std::string &typed;  // the name as given: "-e" or "--expr"
  const std::string &value;  // its value; "" for a flag
  Options *o;

  // Reports "<typed> needs <row.wants>" as a usage error; returns 2.
  int bad() const;
};

// Applies one use of an option to the options: 0 to go on, 1 when it printed what was asked and
// exprun should exit with 0 (--help), 2 after printing a usage error.
using OptionHandler = int (*)(const OptionUse &use);

struct OptionRow {
  const char *name;        // the long form: "--expr"
  const char *short_name;  // "-e", or nullptr
  const char *value;       // the placeholder of the value that follows ("TEXT"); nullptr for a flag
  const char *wants;       // what the value must be, for "--expr needs a program"; nullptr for a flag
  OptionSection section;
  // What it does, as one unwrapped paragraph; nullptr: the option shares the help entry of the
  // row before it (--itsv with --icsv).
  const char *help;
  OptionHandler handler;
  const char *note = nullptr;  // a paragraph printed after the entry, or nullptr
};

// Every option, grouped by section in the order of option_sections(); within a section in the
// order --help lists them.
std::span<const OptionRow> option_table();
std::span<const SectionRow> option_sections();

// The text --help prints before the options (synopsis and description) and after them.
extern const char kHelpHead[];
extern const char kHelpTail[];

// Prints --help from the table.
void print_help(std::FILE *out);
// Prints the table as one JSON object: {"head", "tail", "sections": [{"key", "title", "remark"}],
// "options": [{"name", "short", "value", "section", "help", "note"}]} with null for absent texts
// (a null help: the option shares the entry of the one before it).
void print_option_table(std::FILE *out);
// Prints "exprun: <message>" and the way to --help to standard error; returns 2.
int usage_error(const std::string &message);
