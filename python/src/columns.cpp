// Input columns: numpy arrays of int64, float64, bool and milliseconds are read directly; other
// sequences go element by element through the single-value conversions. Output columns keep
// the cells' values until the run is over and only then make Python objects.
#include "columns.h"

#include <pybind11/numpy.h>

#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>

namespace pyexp {
namespace {

constexpr size_t kCacheSlots = 1024;  // a power of two

// Coefficient and exponent of a double's shortest decimal text ("1.5e-07" is 15, -8).
void decimal_of_double(double v, exp_decimal192 *out) {
  const std::string text = shortest_text(v);
  int64_t coefficient = 0;
  int32_t exponent = 0;
  bool negative = false, fraction = false;
  size_t i = 0;
  if (i < text.size() && text[i] == '-') negative = true, ++i;
  for (; i < text.size() && text[i] != 'e'; ++i) {
    if (text[i] == '.') {
      fraction = true;
      continue;
    }
    coefficient = coefficient * 10 + (text[i] - '0');
    exponent -= fraction ? 1 : 0;
  }
  if (i < text.size()) {
    int e = 0;
    const char *start = text.data() + i + 1 + (text[i + 1] == '+' ? 1 : 0);
    std::from_chars(start, text.data() + text.size(), e);
    exponent += e;
  }
  exp_decimal_make(out, negative ? -coefficient : coefficient, exponent);
}

template <typename T>
const T *array_data(py::handle data, size_t begin, size_t end) {
  auto arr = py::reinterpret_borrow<py::array>(data);
  if (static_cast<size_t>(arr.size()) < end || arr.ndim() != 1 || arr.itemsize() != sizeof(T) ||
      !(arr.flags() & py::array::c_style))
    throw py::value_error("column buffer does not match its declared kind");
  return static_cast<const T *>(arr.data()) + begin;
}

}  // namespace

ColumnKind column_kind(std::string_view name) {
  static constexpr std::pair<std::string_view, ColumnKind> kKinds[] = {
      {"int", ColumnKind::Int}, {"float", ColumnKind::Float}, {"bool", ColumnKind::Bool},
      {"ms", ColumnKind::Millis}, {"object", ColumnKind::Object}};
  for (const auto &[n, k] : kKinds)
    if (n == name) return k;
  throw py::value_error("unknown column kind '" + std::string(name) + "'");
}

std::string InputColumn::where(size_t row) const { return "field '" + name_ + "', row " + std::to_string(row); }

void InputColumn::reset(size_t n) {
  null_.assign(n, 0);
  if (type_ == EXP_STRING) {
    arena_.clear();
    offsets_.assign(n, 0);
    max_bytes_ = 0;
  } else if (type_ == EXP_REAL || type_ == EXP_DATE) {
    decimals_.assign(n, exp_decimal192{});
  } else {
    ints_.assign(n, 0);
  }
}

void InputColumn::take_cell(size_t i, const exp_symval &cell) {
  if (EXP_IS_NULL(&cell)) null_[i] = 1;
  else if (type_ == EXP_REAL || type_ == EXP_DATE) decimals_[i] = cell.value.d;
  else ints_[i] = cell.value.i;
}

void InputColumn::take_text(size_t i, std::string_view text) {
  offsets_[i] = arena_.size();
  arena_.append(text);
  arena_.push_back('\0');
  max_bytes_ = std::max(max_bytes_, text.size());
}

void InputColumn::take_string(size_t i, py::handle v, size_t begin) {
  Py_ssize_t len = 0;
  const char *s = PyUnicode_AsUTF8AndSize(v.ptr(), &len);
  if (!s) throw py::error_already_set();
  if (std::memchr(s, '\0', static_cast<size_t>(len))) throw py::value_error(where(begin + i) + ": text contains a NUL character");
  take_text(i, {s, static_cast<size_t>(len)});
}

void InputColumn::fill(exp_engine *e, const PyTypes &t, ColumnKind kind, py::handle data, py::handle mask, size_t begin,
                       size_t end) {
  reset(end - begin);
  if (kind == ColumnKind::Object) fill_objects(e, t, data, begin, end);
  else fill_typed(e, kind, data, begin, end);
  if (!mask.is_none()) {
    const bool *m = array_data<bool>(mask, begin, end);
    for (size_t i = 0; i < end - begin; ++i) null_[i] |= m[i];
  }
}

// Typed arrays: each kind converts to the field's type or the column is refused as a whole.
void InputColumn::fill_typed(exp_engine *e, ColumnKind kind, py::handle data, size_t begin, size_t end) {
  const size_t n = end - begin;
  const bool numeric_target = type_ == EXP_INTEGER || type_ == EXP_REAL || type_ == EXP_BOOLEAN;
  if ((kind == ColumnKind::Millis) != (type_ == EXP_DATE) || (!numeric_target && kind != ColumnKind::Millis))
    throw py::type_error("field '" + name_ + "': a column of this dtype cannot be read as " + type_name(type_));
  if (kind == ColumnKind::Float) {
    const double *v = array_data<double>(data, begin, end);
    for (size_t i = 0; i < n; ++i) {
      if (std::isnan(v[i])) null_[i] = 1;
      else if (!std::isfinite(v[i])) throw py::value_error(where(begin + i) + ": a number must be finite");
      else if (type_ == EXP_REAL) decimal_of_double(v[i], &decimals_[i]);
      else if (v[i] != std::floor(v[i]) || std::fabs(v[i]) >= 9.2e18 || (type_ == EXP_BOOLEAN && v[i] != 0 && v[i] != 1))
        throw py::value_error(where(begin + i) + ": " + shortest_text(v[i]) + " is not a valid " + type_name(type_));
      else ints_[i] = static_cast<int64_t>(v[i]);
    }
    return;
  }
  if (kind == ColumnKind::Bool) {
    const bool *v = array_data<bool>(data, begin, end);
    for (size_t i = 0; i < n; ++i) {
      if (type_ == EXP_REAL) exp_decimal_make(&decimals_[i], v[i], 0);
      else ints_[i] = v[i];
    }
    return;
  }
  const int64_t *v = array_data<int64_t>(data, begin, end);
  exp_symval scratch{};
  scratch.flags = EXP_DATE;
  for (size_t i = 0; i < n; ++i) {
    if (kind == ColumnKind::Millis) {
      store_date_ms(e, v[i], &scratch, where(begin + i));
      take_cell(i, scratch);
    } else if (type_ == EXP_REAL) {
      exp_decimal_make(&decimals_[i], v[i], 0);
    } else if (type_ == EXP_BOOLEAN && v[i] != 0 && v[i] != 1) {
      throw py::value_error(where(begin + i) + ": a boolean takes 0 or 1, not " + std::to_string(v[i]));
    } else {
      ints_[i] = v[i];
    }
  }
}

void InputColumn::fill_objects(exp_engine *e, const PyTypes &t, py::handle data, size_t begin, size_t end) {
  // An object array is read in place; any other sequence item by item.
  const bool in_place = py::isinstance<py::array>(data) && py::reinterpret_borrow<py::array>(data).dtype().kind() == 'O';
  PyObject *const *items = in_place ? array_data<PyObject *>(data, begin, end) : nullptr;
  py::sequence seq = py::reinterpret_borrow<py::sequence>(data);
  exp_symval scratch{};
  scratch.flags = static_cast<uint32_t>(type_);
  for (size_t i = 0; i < end - begin; ++i) {
    py::object item;  // holds a sequence's item; the array's own items are only borrowed
    py::handle v = items ? py::handle(items[i]) : (item = seq[begin + i]);
    if (type_ == EXP_STRING && PyUnicode_CheckExact(v.ptr())) {
      take_string(i, v, begin);
    } else if (is_missing(v)) {
      null_[i] = 1;
    } else if (type_ == EXP_STRING) {
      if (!PyUnicode_Check(v.ptr()))
        throw py::type_error(where(begin + i) + ": cannot use a value of type " +
                             std::string(py::str(py::type::handle_of(v).attr("__name__"))) + " as string");
      take_string(i, v, begin);
    } else {
      store(e, t, v, &scratch, where(begin + i));
      take_cell(i, scratch);
    }
  }
}

void InputColumn::bind(size_t i, exp_symval *cell) const {
  if (null_[i]) return exp_symval_setnull(cell);
  switch (type_) {
    case EXP_STRING: return exp_symval_setstr(cell, arena_.data() + offsets_[i]);
    case EXP_REAL:
    case EXP_DATE: return exp_symval_setfdnum(cell, &decimals_[i]);
    default: return exp_symval_setint(cell, ints_[i]);
  }
}

void OutputColumn::reserve(size_t n) {
  null_.reserve(n);
  if (type_ == EXP_STRING) offsets_.reserve(n);
  else if (type_ == EXP_REAL || type_ == EXP_DATE) decimals_.reserve(n);
  else ints_.reserve(n);
}

void OutputColumn::capture_null() {
  null_.push_back(1);
  if (type_ == EXP_STRING) offsets_.push_back(0);
  else if (type_ == EXP_REAL || type_ == EXP_DATE) decimals_.push_back({});
  else ints_.push_back(0);
}

void OutputColumn::capture(const exp_symval *cell) {
  if (!cell || EXP_IS_NULL(cell) || EXP_TYPE(cell) != type_) return capture_null();
  null_.push_back(0);
  if (type_ == EXP_STRING) {
    offsets_.push_back(arena_.size());
    arena_.append(cell->value.s ? cell->value.s : "");
    arena_.push_back('\0');
  } else if (type_ == EXP_REAL || type_ == EXP_DATE) {
    decimals_.push_back(cell->value.d);
  } else {
    ints_.push_back(cell->value.i);
  }
}

py::object OutputColumn::object_at(exp_engine *e, const PyTypes &t, size_t i) {
  if (type_ == EXP_DATE) return datetime_of(decimals_[i]);
  std::string text = type_ == EXP_STRING ? std::string(arena_.data() + offsets_[i]) : real_text(e, decimals_[i]);
  if (cache_.empty()) cache_.resize(kCacheSlots);
  CacheSlot &slot = cache_[std::hash<std::string>{}(text) & (kCacheSlots - 1)];
  if (slot.object && slot.text == text) return slot.object;
  auto o = py::reinterpret_steal<py::object>(
      PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "surrogateescape"));
  if (o && type_ == EXP_REAL) o = py::reinterpret_steal<py::object>(PyObject_CallOneArg(t.decimal.ptr(), o.ptr()));
  if (!o) throw py::error_already_set();
  slot.text = std::move(text);
  slot.object = o;
  return o;
}

py::tuple OutputColumn::build(exp_engine *e, const PyTypes &t) {
  const size_t n = null_.size();
  if (type_ == EXP_INTEGER || type_ == EXP_BOOLEAN) {
    py::array_t<bool> mask(static_cast<py::ssize_t>(n));
    std::copy(null_.begin(), null_.end(), mask.mutable_data());
    if (type_ == EXP_INTEGER) {
      py::array_t<int64_t> values(static_cast<py::ssize_t>(n));
      std::copy(ints_.begin(), ints_.end(), values.mutable_data());
      return py::make_tuple("int", values, mask);
    }
    py::array_t<bool> values(static_cast<py::ssize_t>(n));
    for (size_t i = 0; i < n; ++i) values.mutable_data()[i] = ints_[i] != 0;
    return py::make_tuple("bool", values, mask);
  }
  // numpy fills a new object array with None; each non-null row's reference replaces it.
  py::array objects = py::module_::import("numpy").attr("empty")(n, py::arg("dtype") = "object");
  auto **slots = static_cast<PyObject **>(objects.mutable_data());
  for (size_t i = 0; i < n; ++i) {
    if (null_[i]) continue;
    PyObject *previous = slots[i];
    slots[i] = object_at(e, t, i).release().ptr();
    Py_XDECREF(previous);
  }
  cache_.clear();
  return py::make_tuple("object", objects);
}

}  // namespace pyexp
