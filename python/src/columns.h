// Column buffers of a batch: input values converted once from Python into cell-ready form, and
// output values captured from the cells after each run, both usable without the GIL.
#pragma once

#include <pybind11/pybind11.h>

#include <string>
#include <string_view>
#include <vector>

#include "expression.h"
#include "values.h"

namespace pyexp {

// How the Python layer hands over a column: typed numpy arrays or any sequence of objects.
enum class ColumnKind { Int, Float, Bool, Millis, Object };
ColumnKind column_kind(std::string_view name);

class InputColumn {
 public:
  InputColumn(std::string name, int type) : name_(std::move(name)), type_(type) {}
  // Converts rows [begin, end) of `data` (with an optional boolean null `mask`) into this buffer,
  // replacing what it held. GIL held. Throws ValueError or TypeError naming the field and row.
  void fill(exp_engine *e, const PyTypes &t, ColumnKind kind, py::handle data, py::handle mask, size_t begin,
            size_t end);
  // Sets `cell` to the value of row i of the last fill (no Python involved).
  void bind(size_t i, exp_symval *cell) const;
  // The longest text of the last fill, in bytes (string columns).
  size_t max_bytes() const { return max_bytes_; }

 private:
  void reset(size_t n);
  void fill_typed(exp_engine *e, ColumnKind kind, py::handle data, size_t begin, size_t end);
  void fill_objects(exp_engine *e, const PyTypes &t, py::handle data, size_t begin, size_t end);
  void take_cell(size_t i, const exp_symval &cell);
  void take_text(size_t i, std::string_view text);
  void take_string(size_t i, py::handle v, size_t begin);
  std::string where(size_t row) const;

  std::string name_;
  int type_;
  std::vector<uint8_t> null_;
  std::vector<int64_t> ints_;
  std::vector<exp_decimal192> decimals_;
  std::string arena_;           // texts, each followed by a terminator
  std::vector<size_t> offsets_;  // start of each row's text in arena_
  size_t max_bytes_ = 0;
};

class OutputColumn {
 public:
  explicit OutputColumn(int type) : type_(type) {}
  void reserve(size_t n);
  // Appends the cell's value, or null (no Python involved).
  void capture(const exp_symval *cell);
  void capture_null();
  // The column for the Python layer (GIL held): ("int"|"bool", values, mask) or ("object", array).
  py::tuple build(exp_engine *e, const PyTypes &t);

 private:
  py::object object_at(exp_engine *e, const PyTypes &t, size_t i);

  int type_;
  std::vector<uint8_t> null_;
  std::vector<int64_t> ints_;
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
