// Input columns: numpy arrays of int64, float64, bool and milliseconds are read directly, Arrow
// string buffers are read where they lie, other sequences go element by element through the
// single-value conversions. Output columns keep the cells' values until the run is over and only
// then make Python objects.
#include "columns.h"

#include <pybind11/numpy.h>

#include <algorithm>
#include <cmath>
#include <cstring>

#include "calendar.h"

namespace pyexp {
namespace {

constexpr size_t kCacheSlots = 1024;  // a power of two
constexpr py::ssize_t kSignalObjects = 16384;  // objects made between two looks for Ctrl-C
constexpr int64_t kNaT = std::numeric_limits<int64_t>::min();  // numpy's not-a-time

// The shortest decimal that reads back as the double (the engine's own conversion: 0.1 is 0.1).
void decimal_of_double(double v, exp_decimal192 *out) {
  exp_symval cell{};
  cell.flags = EXP_REAL;
  exp_symval_setdbl(&cell, v);
  *out = cell.value.d;
}

template <typename T>
const T *array_data(py::handle data, size_t begin, size_t end) {
  auto arr = py::reinterpret_borrow<py::array>(data);
  if (static_cast<size_t>(arr.size()) < end || arr.ndim() != 1 || arr.itemsize() != sizeof(T) ||
      !(arr.flags() & py::array::c_style))
    throw py::value_error("column buffer does not match its declared kind");
  return static_cast<const T *>(arr.data()) + begin;
}

// The special value a real holds (infinity or NaN), by its exponent field; 0 for a finite one.
uint32_t special_of(const exp_decimal192 &d) {
  const auto field = static_cast<uint32_t>((d.w[2] >> EXP_DECIMAL_EXP_SHIFT) & 0x3FFFF);
  return field >= EXP_DECIMAL_INF ? field : 0;
}

// An Arrow string chunk as numpy views of its buffers.
struct ArrowChunk {
  const uint8_t *validity = nullptr;  // bit per row, set when valid; none when every row is
  const int32_t *offsets32 = nullptr;
  const int64_t *offsets64 = nullptr;
  const char *data = nullptr;
  size_t offset = 0, length = 0, bytes = 0;

  explicit ArrowChunk(py::handle t) {
    auto parts = py::reinterpret_borrow<py::tuple>(t);
    offset = parts[3].cast<size_t>();
    length = parts[4].cast<size_t>();
    if (!parts[0].is_none()) validity = array_data<uint8_t>(parts[0], 0, (offset + length + 7) / 8);
    auto offsets = py::reinterpret_borrow<py::array>(parts[1]);
    if (offsets.itemsize() == 4) offsets32 = array_data<int32_t>(offsets, 0, offset + length + 1);
    else offsets64 = array_data<int64_t>(offsets, 0, offset + length + 1);
    bytes = static_cast<size_t>(offsets32 ? offsets32[offset + length] : offsets64[offset + length]);
    data = reinterpret_cast<const char *>(array_data<uint8_t>(parts[2], 0, bytes));
  }
  bool valid(size_t i) const { return !validity || (validity[(offset + i) / 8] >> ((offset + i) % 8)) & 1; }
  std::pair<const char *, size_t> text(size_t i) const {
    const size_t at = offset + i;
    const auto from = static_cast<size_t>(offsets32 ? offsets32[at] : offsets64[at]);
    const auto to = static_cast<size_t>(offsets32 ? offsets32[at + 1] : offsets64[at + 1]);
    // Offsets are the producer's: never read outside the data they index.
    if (to < from || to > bytes) throw py::value_error("Arrow offsets point outside their data");
    return {data + from, to - from};
  }
};

}  // namespace

ColumnKind column_kind(std::string_view name) {
  static constexpr std::pair<std::string_view, ColumnKind> kKinds[] = {
      {"int", ColumnKind::Int}, {"float", ColumnKind::Float}, {"bool", ColumnKind::Bool},
      {"ms", ColumnKind::Millis}, {"object", ColumnKind::Object}, {"arrow", ColumnKind::Arrow}};
  for (const auto &[n, k] : kKinds)
    if (n == name) return k;
  throw py::value_error("unknown column kind '" + std::string(name) + "'");
}

void InputColumn::reset(size_t n) {
  state_.assign(n, kValue);
  failures_.clear();
  if (type_ == EXP_STRING) {
    arena_.clear();
    offsets_.assign(n, 0);
    views_.clear();
    max_bytes_ = 0;
  } else if (type_ == EXP_REAL || type_ == EXP_DATE) {
    decimals_.assign(n, exp_decimal192{});
  } else {
    ints_.assign(n, 0);
  }
}

void InputColumn::fail(size_t i, std::string why, std::string text) {
  state_[i] = kFailed;
  failures_.push_back({i, std::move(why), std::move(text)});
}

const InputFailure &InputColumn::failure(size_t i) const {
  return *std::lower_bound(failures_.begin(), failures_.end(), i,
                           [](const InputFailure &f, size_t row) { return f.i < row; });
}

void InputColumn::take_cell(size_t i, const exp_symval &cell) {
  if (EXP_IS_NULL(&cell)) state_[i] = kNull;
  else if (type_ == EXP_REAL || type_ == EXP_DATE) decimals_[i] = cell.value.d;
  else ints_[i] = cell.value.i;
}

void InputColumn::take_text(size_t i, std::string_view text) {
  offsets_[i] = arena_.size();
  arena_.append(text);
  arena_.push_back('\0');
  max_bytes_ = std::max(max_bytes_, text.size());
}

void InputColumn::fill(exp_engine *e, const PyTypes &t, ColumnKind kind, py::handle data, py::handle mask, size_t begin,
                       size_t end) {
  reset(end - begin);
  if (kind == ColumnKind::Object) fill_objects(e, t, data, begin, end);
  else if (kind == ColumnKind::Arrow) fill_arrow(data, begin, end);
  else fill_typed(e, kind, data, begin, end);
  if (!mask.is_none()) {
    const bool *m = array_data<bool>(mask, begin, end);
    for (size_t i = 0; i < end - begin; ++i)
      if (m[i] && state_[i] == kValue) state_[i] = kNull;
  }
}

// Typed arrays: each kind converts to the field's type or the column is refused as a whole; a
// value the type cannot hold fails its row.
void InputColumn::fill_typed(exp_engine *e, ColumnKind kind, py::handle data, size_t begin, size_t end) {
  const size_t n = end - begin;
  const bool numeric_target = type_ == EXP_INTEGER || type_ == EXP_REAL || type_ == EXP_BOOLEAN;
  if ((kind == ColumnKind::Millis) != (type_ == EXP_DATE) || (!numeric_target && kind != ColumnKind::Millis))
    throw py::type_error(std::string("a column of this dtype cannot be read as ") + exp_type_name(type_));
  if (kind == ColumnKind::Float) {
    const double *v = array_data<double>(data, begin, end);
    for (size_t i = 0; i < n; ++i) {
      if (std::isnan(v[i])) state_[i] = kNull;
      else if (!std::isfinite(v[i])) fail(i, "a number must be finite", shortest_text(v[i]));
      else if (type_ == EXP_REAL) decimal_of_double(v[i], &decimals_[i]);
      else if (v[i] != std::floor(v[i]) || std::fabs(v[i]) >= 9.2e18 || (type_ == EXP_BOOLEAN && v[i] != 0 && v[i] != 1))
        fail(i, shortest_text(v[i]) + " is not a" + (type_ == EXP_INTEGER ? "n " : " ") + exp_type_name(type_),
             shortest_text(v[i]));
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
      if (v[i] == kNaT) {
        state_[i] = kNull;
        continue;
      }
      try {
        store_date_ms(e, v[i], &scratch);
        take_cell(i, scratch);
      } catch (const Refused &r) {
        fail(i, r.what(), std::to_string(v[i]) + " ms since 1970");
      }
    } else if (type_ == EXP_REAL) {
      exp_decimal_make(&decimals_[i], v[i], 0);
    } else if (type_ == EXP_BOOLEAN && v[i] != 0 && v[i] != 1) {
      fail(i, "a boolean takes 0 or 1, not " + std::to_string(v[i]), std::to_string(v[i]));
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
    try {
      if (type_ == EXP_STRING && PyUnicode_Check(v.ptr())) {
        take_text(i, utf8_text(v));
      } else if (is_missing(v)) {
        state_[i] = kNull;
      } else if (type_ == EXP_STRING) {
        throw Refused("cannot use a value of type " + std::string(py::str(py::type::handle_of(v).attr("__name__"))) +
                          " as string",
                      true);
      } else {
        store(e, t, v, &scratch);
        take_cell(i, scratch);
      }
    } catch (const Refused &r) {
      fail(i, r.what(), value_text(v));
    }
  }
}

// Arrow string chunks: (validity bitmap or None, offsets, data, offset, length) per chunk, in
// order. The texts are read where they lie: no Python object and no copy per value.
void InputColumn::fill_arrow(py::handle chunks, size_t begin, size_t end) {
  if (type_ != EXP_STRING) throw py::type_error("an Arrow string column can only be read as string");
  views_.assign(end - begin, {nullptr, 0});
  size_t first = 0;  // the row at which the chunk starts
  for (py::handle c : py::reinterpret_borrow<py::list>(chunks)) {
    const ArrowChunk chunk(c);
    const size_t from = std::max(begin, first), to = std::min(end, first + chunk.length);
    for (size_t row = from; row < to; ++row) {
      const size_t i = row - begin;
      if (!chunk.valid(row - first)) {
        state_[i] = kNull;
        continue;
      }
      views_[i] = chunk.text(row - first);
      if (std::memchr(views_[i].first, '\0', views_[i].second))
        fail(i, "text contains a NUL character", std::string(views_[i].first, std::min<size_t>(views_[i].second, 200)));
      max_bytes_ = std::max(max_bytes_, views_[i].second);
    }
    first += chunk.length;
    if (first >= end) break;
  }
}

bool InputColumn::bind(size_t i, exp_symval *cell) const {
  if (state_[i] != kValue) {
    if (state_[i] == kNull) exp_symval_setnull(cell);
    return state_[i] == kNull;
  }
  switch (type_) {
    case EXP_STRING:
      if (!views_.empty()) return exp_symval_setbytes(cell, views_[i].first, views_[i].second), true;
      return exp_symval_setstr(cell, arena_.data() + offsets_[i]), true;
    case EXP_REAL:
    case EXP_DATE: return exp_symval_setfdnum(cell, &decimals_[i]), true;
    default: return exp_symval_setint(cell, ints_[i]), true;
  }
}

void OutputColumn::reserve(size_t n) {
  null_.reserve(n);
  if (type_ == EXP_STRING) offsets_.reserve(n);
  else if (type_ == EXP_REAL && form_->reals == OutputForm::Reals::Float) doubles_.reserve(n);
  else if (type_ == EXP_REAL) decimals_.reserve(n);
  else ints_.reserve(n);
}

bool OutputColumn::is_null(const exp_symval *cell) const {
  return !cell || EXP_IS_NULL(cell) || EXP_TYPE(cell) != type_;
}

void OutputColumn::capture_null() {
  null_.push_back(1);
  if (type_ == EXP_STRING) offsets_.push_back(arena_.size());  // so that drop_last keeps the arena
  else if (type_ == EXP_REAL && form_->reals == OutputForm::Reals::Float) doubles_.push_back(std::nan(""));
  else if (type_ == EXP_REAL) decimals_.push_back({});
  else ints_.push_back(type_ == EXP_DATE ? kNaT : 0);
}

void OutputColumn::drop_last() {
  null_.pop_back();
  if (type_ == EXP_STRING) arena_.resize(offsets_.back()), offsets_.pop_back();
  else if (type_ == EXP_REAL && form_->reals == OutputForm::Reals::Float) doubles_.pop_back();
  else if (type_ == EXP_REAL) decimals_.pop_back();
  else ints_.pop_back();
}

bool OutputColumn::capture(const exp_symval *cell, std::string *why) {
  if (is_null(cell)) return capture_null(), true;
  if (type_ == EXP_STRING) {
    null_.push_back(0);
    offsets_.push_back(arena_.size());
    arena_.append(cell->value.s ? cell->value.s : "");
    arena_.push_back('\0');
  } else if (type_ == EXP_REAL && form_->reals == OutputForm::Reals::Float) {
    double v = 0;
    if (!exp_symval_getdbl(cell, &v)) {
      const uint32_t special = special_of(cell->value.d);
      if (!special) return *why = "the real lies outside the range of a float64 (decimals=\"decimal\" holds it)", false;
      v = special == EXP_DECIMAL_INF ? ((cell->value.d.w[2] >> 63) ? -HUGE_VAL : HUGE_VAL) : std::nan("");
    }
    null_.push_back(0);
    doubles_.push_back(v);
  } else if (type_ == EXP_REAL) {
    null_.push_back(0);
    decimals_.push_back(cell->value.d);
  } else if (type_ == EXP_DATE) {
    double days = 0;
    int64_t ms = 0;
    exp_symval_getdbl(cell, &days);
    if (!unix_ms_from_days(days, &ms)) return *why = "the date lies outside the years 0 to 9999", false;
    if (ms < form_->min_ms || ms > form_->max_ms || (form_->date_objects && civil_from_unix_ms(ms).year < 1)) {
      char text[32];
      iso_text(civil_from_unix_ms(ms), text);
      *why = std::string("the date ") + text + " lies outside what " +
             (form_->date_objects ? "datetime holds (years 1 to 9999)"
                                  : "this pandas' datetime64[ns] holds (years 1678 to 2261; dates=\"object\" holds "
                                    "years 1 to 9999)");
      return false;
    }
    null_.push_back(0);
    ints_.push_back(ms);
  } else {
    null_.push_back(0);
    ints_.push_back(cell->value.i);
  }
  return true;
}

py::object OutputColumn::object_at(exp_engine *e, const PyTypes &t, size_t i) {
  if (type_ == EXP_DATE) return datetime_of_ms(ints_[i]);
  std::string text = type_ == EXP_STRING                              ? std::string(arena_.data() + offsets_[i])
                     : form_->reals == OutputForm::Reals::Decimal ? real_text(e, decimals_[i])
                                                                  : printed_text(e, decimals_[i]);
  if (cache_.empty()) cache_.resize(kCacheSlots);
  CacheSlot &slot = cache_[std::hash<std::string>{}(text) & (kCacheSlots - 1)];
  if (slot.object && slot.text == text) return slot.object;
  auto o = py::reinterpret_steal<py::object>(
      PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "surrogateescape"));
  if (o && type_ == EXP_REAL && form_->reals == OutputForm::Reals::Decimal)
    o = py::reinterpret_steal<py::object>(PyObject_CallOneArg(t.decimal.ptr(), o.ptr()));
  if (!o) throw py::error_already_set();
  slot.text = std::move(text);
  slot.object = o;
  return o;
}

py::tuple OutputColumn::build(exp_engine *e, const PyTypes &t) {
  const auto n = static_cast<py::ssize_t>(null_.size());
  if (type_ == EXP_INTEGER || type_ == EXP_BOOLEAN) {
    py::array_t<bool> mask(n);
    std::copy(null_.begin(), null_.end(), mask.mutable_data());
    if (type_ == EXP_INTEGER) return py::make_tuple("int", py::array_t<int64_t>(n, ints_.data()), mask);
    py::array_t<bool> values(n);
    std::transform(ints_.begin(), ints_.end(), values.mutable_data(), [](int64_t v) { return v != 0; });
    return py::make_tuple("bool", values, mask);
  }
  if (type_ == EXP_REAL && form_->reals == OutputForm::Reals::Float)
    return py::make_tuple("float", py::array_t<double>(n, doubles_.data()));
  if (type_ == EXP_DATE && !form_->date_objects) return py::make_tuple("ms", py::array_t<int64_t>(n, ints_.data()));
  // numpy fills a new object array with None; each non-null row's reference replaces it.
  py::array objects = py::module_::import("numpy").attr("empty")(n, py::arg("dtype") = "object");
  auto **slots = static_cast<PyObject **>(objects.mutable_data());
  for (py::ssize_t i = 0; i < n; ++i) {
    // Making millions of objects takes seconds: Ctrl-C is heard here too.
    if (i % kSignalObjects == 0 && PyErr_CheckSignals() != 0) throw py::error_already_set();
    if (null_[static_cast<size_t>(i)]) continue;
    PyObject *previous = slots[i];
    slots[i] = object_at(e, t, static_cast<size_t>(i)).release().ptr();
    Py_XDECREF(previous);
  }
  cache_.clear();
  const bool text = type_ == EXP_STRING || (type_ == EXP_REAL && form_->reals == OutputForm::Reals::Text);
  return py::make_tuple(text ? "string" : "object", objects);
}

}  // namespace pyexp
