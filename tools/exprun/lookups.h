// Lookup tables (--lookup NAME=FILE:KEY): CSV, TSV or JSON-lines files, compressed or not, loaded
// once into a hash index on one column and read by the program through lookup() and haslookup().
#pragma once

#include <deque>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "options.h"

// One table: its columns and rows, every value kept as the text its column's type gives it (the
// library's conversion to text), so that a key given to lookup() as text matches by value.
class LookupTable {
 public:
  const std::string &name() const { return name_; }
  // The column's position, or -1.
  int column(std::string_view name) const;
  // The row of `key`, or -1.
  long row(std::string_view key) const;
  // The value of `column` in `row`: false for null.
  bool value(long row, int column, std::string_view *text) const;
  // The column names, for messages.
  std::string column_list() const;

 private:
  friend class TableLoader;
  std::string name_;
  std::vector<std::string> columns_;
  std::unordered_map<std::string, int> column_index_;
  // Values row by row: value i spans data_[offsets_[i] .. offsets_[i + 1]); nulls_[i] marks null.
  std::string data_;
  std::vector<size_t> offsets_;
  std::vector<bool> nulls_;
  std::unordered_map<std::string_view, long> rows_;  // key text to row, views into data_
};

class LookupTables {
 public:
  // The table called `name`, or none.
  const LookupTable *find(std::string_view name) const;
  // The table names, for messages.
  std::string names() const;
  std::deque<LookupTable> tables;  // a deque: tables never move, as their index points into them
};

// Loads every --lookup table of `o`, typed by --field NAME.col:TYPE and --infer. False with
// *error (the file, line and cause) when a file cannot be read, lacks the key column, holds a
// value that does not convert, or repeats a key (unless --lookup-first).
bool load_lookup_tables(const Options &o, LookupTables *out, std::string *error);
// Whether --field `name` names a lookup table's column (NAME.col) rather than an input column.
bool is_lookup_field(const Options &o, const std::string &name);
