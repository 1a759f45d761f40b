// Which input columns a program is given, and with which types. A column the program names (or
// --field declares) is bound as a symbol, typed by --field, by its JSON values, or by --infer
// from the text of the first records; every other column passes through unbound, so nothing
// about its values can fail or change.
#pragma once

#include <cstdint>
#include <deque>
#include <string>
#include <string_view>
#include <vector>

#include "options.h"
#include "records.h"

struct ColumnPlan {
  std::vector<int> types;          // EXP_* per column (string for columns not bound)
  std::vector<uint8_t> bound;      // the program is given the column as a symbol
  // A column typed by its JSON values (numbers, or true and false): a later value of another
  // JSON kind does not fit it.
  std::vector<uint8_t> json_typed;
  std::vector<std::string> notes;  // what was chosen and why (--verbose), and warnings ("warning: ...")
  std::string error;               // a name the program uses that the input holds twice
};

// Plans the columns of the first input from the records of its window. `json` says whether the
// input is JSON lines.
ColumnPlan plan_columns(const Options &o, const std::vector<std::string> &columns, const std::deque<Record> &window,
                        bool json);

// The type column c gets from its values in the window, when nothing declares it: JSON numbers
// and booleans type it (*json_typed), else --infer reads its texts (*inferred); else string.
int type_from_values(const Options &o, const std::deque<Record> &window, size_t c, bool json, bool *json_typed,
                     bool *inferred);

// The names the program, its --function files and its --end program use without declaring them;
// *all is set when one of them may reach any variable by its name at run time (vareval, varset)
// or they do not compile, so that every column must be bound.
std::vector<std::string> program_names(const Options &o, bool *all);

// A name folded for comparing without regard to case, as the language compares names.
std::string fold_name(std::string_view name);

// The type --infer gives one text: boolean for true and false, integer or real for numbers written
// plainly (no sign but '-', no leading zeros: "03" is a code), date for ISO 8601 or --date-format
// dates, else string.
int classify_text(std::string_view text, const std::string &date_format);

// Whether the digits of the number `text` fit the 52 digits of a real's coefficient, so that a
// real holds its value exactly.
bool coefficient_fits(std::string_view text);
