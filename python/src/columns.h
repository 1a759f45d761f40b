// Column buffers of a batch: input values converted once from Python into cell-ready form, and
// output values captured from the cells after each run, both usable without the GIL.
#pragma once

#include <pybind11/pybind11.h>

#include <cstdint>
#include <limits>
#include <string>
#include <string_view>
#include <vector>

#include "expression.h"
#include "values.h"

namespace pyexp {

// How the Python layer hands over a column: typed numpy arrays, any sequence of objects, or the
// buffers of Arrow string chunks.
enum class ColumnKind { Int, Float, Bool, Millis, Object, Arrow };
ColumnKind column_kind(std::string_view name);

// A value that did not convert: its row within the fill, why, and the value as text.
struct InputFailure {
  size_t i = 0;
  std::string why;
  std::string text;
};

class InputColumn {
 public:
  explicit InputColumn(int type) : type_(type) {}
  // Converts rows [begin, end) of `data` (with an optional boolean null `mask`) into this buffer,
  // replacing what it held. GIL held. A value that does not convert is kept as a failure of its
  // row; a column that cannot be read as the field's type at all throws TypeError.
  void fill(exp_engine *e, const PyTypes &t, ColumnKind kind, py::handle data, py::handle mask, size_t begin,
            size_t end);
  // Sets `cell` to the value of row i of the last fill (no Python involved). False, leaving the
  // cell alone, when that value did not convert (see failure).
  bool bind(size_t i, exp_symval *cell) const;
  // The failure of row i, for which bind returned false.
  const InputFailure &failure(size_t i) const;
  // The longest text of the last fill, in bytes (string columns).
  size_t max_bytes() const { return max_bytes_; }

 private:
  enum : uint8_t { kValue = 0, kNull = 1, kFailed = 2 };
  void reset(size_t n);
  void fail(size_t i, std::string why, std::string text);
  void fill_typed(exp_engine *e, ColumnKind kind, py::handle data, size_t begin, size_t end);
  void fill_objects(exp_engine *e, const PyTypes &t, py::handle data, size_t begin, size_t end);
  void fill_arrow(py::handle chunks, size_t begin, size_t end);
  void take_cell(size_t i, const exp_symval &cell);
  void take_text(size_t i, std::string_view text);

  int type_;
  std::vector<uint8_t> state_;  // kValue, kNull or kFailed per row
  std::vector<int64_t> ints_;
  std::vector<exp_decimal192> decimals_;
  std::string arena_;                                 // texts, each followed by a terminator
  std::vector<size_t> offsets_;                       // start of each row's text in arena_
  std::vector<std::pair<const char *, size_t>> views_;  // Arrow texts, read where they lie
  std::vector<InputFailure> failures_;                // by row
  size_t max_bytes_ = 0;
};

// How output values become Python values, chosen per batch.
struct OutputForm {
  enum class Reals { Decimal, Float, Text };
  Reals reals = Reals::Decimal;
  bool date_objects = false;  // datetime objects (years 1 to 9999) instead of datetime64 milliseconds
  // Dates outside these milliseconds since 1970 are refused (datetime64[ns] holds less).
  int64_t min_ms = std::numeric_limits<int64_t>::min() + 1;
  int64_t max_ms = std::numeric_limits<int64_t>::max();
};

class OutputColumn {
 public:
  OutputColumn(int type, const OutputForm *form) : type_(type), form_(form) {}
  void reserve(size_t n);
  // Appends the cell's value, or null (no Python involved). False, appending nothing, when the
  // value has no form in this column (a date outside what it holds, a real beyond float64):
  // *why says so, and the row fails instead.
  bool capture(const exp_symval *cell, std::string *why);
  // Removes the last value appended (a row that failed in a later column).
  void drop_last();
  void capture_null();
  // The column for the Python layer (GIL held): ("int"|"bool", values, mask), ("float", values),
  // ("ms", milliseconds with NaT for null), ("string", str or None) or ("object", objects or None).
  py::tuple build(exp_engine *e, const PyTypes &t);

 private:
  bool is_null(const exp_symval *cell) const;
  py::object object_at(exp_engine *e, const PyTypes &t, size_t i);

  int type_;
  const OutputForm *form_;
  std::vector<uint8_t> null_;
  std::vector<int64_t> ints_;  // integers, booleans and dates (milliseconds since 1970)
  std::vector<double> doubles_;
  std::vector<exp_decimal192> decimals_;
  std::string arena_;
  std::vector<size_t> offsets_;
  // Recent texts and their objects, one per slot by hash: repeated values share one object, at
  // the cost of one probe whatever the column's number of distinct values.
  struct CacheSlot {
    std::string text;
    py::object object;
  };
  std::vector<CacheSlot> cache_;
};

}  // namespace pyexp
