// Single-value conversions. Reals travel as decimal text or as exact coefficient and exponent,
// never through a binary double; dates travel as ISO text through the engine's own conversion,
// so a date from Python and the same date read from text by any other host are one value.
#include "values.h"

#include <datetime.h>

#include <charconv>
#include <cmath>
#include <cstring>

#include "calendar.h"

namespace pyexp {
namespace {

constexpr int kMaxDigits = 52;  // digits of the engine's decimal format

void ensure_datetime_api() {
  if (!PyDateTimeAPI) PyDateTime_IMPORT;
  if (!PyDateTimeAPI) throw py::error_already_set();
}

[[noreturn]] void fail_type(py::handle obj, int type) {
  throw Refused("cannot use a value of type " + std::string(py::str(py::type::handle_of(obj).attr("__name__"))) +
                    " as " + exp_type_name(type),
                true);
}

}  // namespace

std::string_view utf8_text(py::handle obj) {
  Py_ssize_t n = 0;
  const char *s = PyUnicode_AsUTF8AndSize(obj.ptr(), &n);
  if (!s) {
    if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) throw py::error_already_set();
    PyErr_Clear();
    throw Refused("text holds a lone surrogate, which is not Unicode text (decode the bytes with their encoding)");
  }
  if (std::memchr(s, '\0', static_cast<size_t>(n))) throw Refused("text contains a NUL character");
  return {s, static_cast<size_t>(n)};
}

namespace {

// Text of any type goes through the engine's conversion, as a host reading text fields would.
void store_converted_text(exp_engine *e, py::handle obj, exp_symval *cell) {
  const std::string text(utf8_text(obj));
  const int type = EXP_TYPE(cell);
  if (exp_symval_settext(e, cell, text.c_str()) != 0)
    throw Refused("'" + text + "' is not a" + (type == EXP_INTEGER ? "n " : " ") + exp_type_name(type));
}

bool is_numpy_bool(py::handle obj) {
  return std::string_view(Py_TYPE(obj.ptr())->tp_name) == "numpy.bool_";
}

void store_boolean(exp_engine *e, const PyTypes &, py::handle obj, exp_symval *cell) {
  if (PyBool_Check(obj.ptr()) || is_numpy_bool(obj)) return exp_symval_setint(cell, PyObject_IsTrue(obj.ptr()));
  if (PyUnicode_Check(obj.ptr())) return store_converted_text(e, obj, cell);
  if (PyIndex_Check(obj.ptr())) {
    const auto v = py::cast<long long>(py::reinterpret_steal<py::object>(PyNumber_Index(obj.ptr())));
    if (v != 0 && v != 1) throw Refused("a boolean takes 0 or 1, not " + std::to_string(v));
    return exp_symval_setint(cell, v);
  }
  fail_type(obj, EXP_BOOLEAN);
}

void store_integer(exp_engine *e, const PyTypes &t, py::handle obj, exp_symval *cell) {
  if (PyUnicode_Check(obj.ptr())) return store_converted_text(e, obj, cell);
  if (PyFloat_Check(obj.ptr())) {
    const double v = PyFloat_AS_DOUBLE(obj.ptr());
    if (v != std::floor(v) || std::fabs(v) >= 9.2e18) throw Refused(shortest_text(v) + " is not a 64-bit integer");
    return exp_symval_setint(cell, static_cast<int64_t>(v));
  }
  if (PyIndex_Check(obj.ptr())) {
    py::object n = py::reinterpret_steal<py::object>(PyNumber_Index(obj.ptr()));
    if (!n) throw py::error_already_set();
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(n.ptr(), &overflow);
    if (overflow) throw Refused(std::string(py::str(n)) + " does not fit a 64-bit integer");
    return exp_symval_setint(cell, v);
  }
  if (py::isinstance(obj, t.decimal)) {
    const std::string text = py::str(obj);
    if (exp_symval_settext(e, cell, text.c_str()) != 0) throw Refused(text + " is not a 64-bit integer");
    return;
  }
  fail_type(obj, EXP_INTEGER);
}

void store_real(exp_engine *, const PyTypes &t, py::handle obj, exp_symval *cell) {
  if (PyUnicode_Check(obj.ptr())) return store_real_text(cell, utf8_text(obj));
  if (PyFloat_Check(obj.ptr())) {
    const double v = PyFloat_AS_DOUBLE(obj.ptr());
    if (!std::isfinite(v)) throw Refused("a real must be finite");
    return store_real_text(cell, shortest_text(v));
  }
  if (PyIndex_Check(obj.ptr()) && !is_numpy_bool(obj)) {
    py::object n = py::reinterpret_steal<py::object>(PyNumber_Index(obj.ptr()));
    if (!n) throw py::error_already_set();
    return store_real_text(cell, std::string(py::str(n)));
  }
  if (py::isinstance(obj, t.decimal)) {
    const std::string text = py::str(obj);
    if (text.find("NaN") != std::string::npos) return exp_symval_setnull(cell);
    if (text.find("Inf") != std::string::npos) throw Refused("a real must be finite");
    return store_real_text(cell, text);
  }
  fail_type(obj, EXP_REAL);
}

void store_string(exp_engine *, const PyTypes &, py::handle obj, exp_symval *cell) {
  if (!PyUnicode_Check(obj.ptr())) fail_type(obj, EXP_STRING);
  const std::string_view text = utf8_text(obj);
  // The byte count bounds the character count, so the cell never cuts the text.
  if (text.size() > cell->len) {
    if (text.size() > size_t{EXP_MAX_STRING}) throw Refused("text longer than the engine's string limit");
    if (exp_symval_str_resize(cell, static_cast<int>(text.size())) != 0) throw std::bad_alloc();
  }
  exp_symval_setstr(cell, text.data());
}

// A datetime with a zone as the same instant in UTC when the user chose that, so that datetimes
// equal in Python stay equal; refused otherwise. One without a zone as it is.
py::object without_zone(const PyTypes &t, py::handle obj) {
  if (!PyDateTime_Check(obj.ptr()) || !reinterpret_cast<PyDateTime_DateTime *>(obj.ptr())->hastzinfo ||
      obj.attr("utcoffset")().is_none())
    return py::reinterpret_borrow<py::object>(obj);
  if (!t.tz_to_utc)
    throw Refused("the datetime " + std::string(py::str(obj)) +
                  " carries a time zone, which a date cannot hold (tz=\"utc\" converts it to UTC)");
  return obj.attr("astimezone")(t.utc);
}

void store_date(exp_engine *e, const PyTypes &t, py::handle value, exp_symval *cell) {
  ensure_datetime_api();
  if (PyUnicode_Check(value.ptr())) return store_converted_text(e, value, cell);
  if (!PyDate_Check(value.ptr())) fail_type(value, EXP_DATE);
  const py::object obj = without_zone(t, value);
  Civil c;
  c.year = PyDateTime_GET_YEAR(obj.ptr());
  c.month = PyDateTime_GET_MONTH(obj.ptr());
  c.day = PyDateTime_GET_DAY(obj.ptr());
  if (PyDateTime_Check(obj.ptr())) {
    c.hour = PyDateTime_DATE_GET_HOUR(obj.ptr());
    c.minute = PyDateTime_DATE_GET_MINUTE(obj.ptr());
    c.second = PyDateTime_DATE_GET_SECOND(obj.ptr());
    // The engine keeps dates to the millisecond: the microseconds below it are dropped (as numpy's
    // cast to milliseconds drops them), never carried into the next second or day.
    c.millisecond = PyDateTime_DATE_GET_MICROSECOND(obj.ptr()) / 1000;
  }
  store_date_ms(e, unix_ms_from_civil(c), cell);
}

// The engine's normal text of a real whose coefficient fits 64 bits ("1999E-2" for 19.990, "100"
// for 1E+2, "0" for -0): trailing zeros dropped and no positive exponent, as its own conversion to
// text does, so Decimal(text) is the value exprun prints. False for other values.
bool compact_text(const exp_decimal192 &d, std::string *out) {
  constexpr uint64_t kCoefficientHigh = (uint64_t{1} << EXP_DECIMAL_EXP_SHIFT) - 1;
  const auto field = static_cast<int32_t>((d.w[2] >> EXP_DECIMAL_EXP_SHIFT) & 0x3FFFF);
  if (d.w[1] != 0 || (d.w[2] & kCoefficientHigh) != 0 || field >= EXP_DECIMAL_INF) return false;
  uint64_t c = d.w[0];
  int32_t exponent = field - EXP_DECIMAL_BIAS;
  out->clear();
  if (c == 0) return out->assign("0"), true;
  while (exponent < 0 && c % 10 == 0) c /= 10, ++exponent;
  if (exponent > 30) return false;
  char buf[24];
  if (d.w[2] >> 63) out->push_back('-');
  out->append(buf, std::to_chars(buf, buf + sizeof buf, c).ptr);
  if (exponent > 0) {
    out->append(static_cast<size_t>(exponent), '0');
  } else if (exponent < 0) {
    out->push_back('E');
    out->append(buf, std::to_chars(buf, buf + sizeof buf, exponent).ptr);
  }
  return true;
}

using Storer = void (*)(exp_engine *, const PyTypes &, py::handle, exp_symval *);
constexpr Storer kStorers[] = {nullptr, store_boolean, store_integer, store_real, store_string, store_date};

py::object text_object(const char *s, size_t n) {
  PyObject *o = PyUnicode_DecodeUTF8(s, static_cast<Py_ssize_t>(n), "surrogateescape");
  if (!o) throw py::error_already_set();
  return py::reinterpret_steal<py::object>(o);
}

}  // namespace

PyTypes::PyTypes()
    : decimal(py::module_::import("decimal").attr("Decimal")),
      utc(py::module_::import("datetime").attr("timezone").attr("utc")) {}

std::string shortest_text(double v) {
  char buf[32];
  const auto r = std::to_chars(buf, buf + sizeof buf, v);
  return std::string(buf, r.ptr);
}

void store_real_text(exp_symval *cell, std::string_view text) {
  int digits = 0;
  for (char ch : text) {
    if (ch == 'e' || ch == 'E') break;
    digits += ch >= '0' && ch <= '9';
  }
  const std::string copy(text);
  if (digits > kMaxDigits) throw Refused(copy + " has more digits than the engine's " + std::to_string(kMaxDigits));
  if (exp_symval_setreal_text(cell, copy.c_str()) != 0) throw Refused("'" + copy + "' is not a real");
}

void store_date_ms(exp_engine *e, int64_t unix_ms, exp_symval *cell) {
  char text[32];
  const Civil c = civil_from_unix_ms(unix_ms);
  if (c.year < 0 || c.year > 9999) throw Refused("date outside the years 0 to 9999");
  iso_text(c, text);
  if (exp_symval_settext(e, cell, text) != 0) throw Refused(std::string("the engine refuses the date ") + text);
}

bool is_missing(py::handle obj) {
  if (obj.is_none()) return true;
  if (PyFloat_Check(obj.ptr())) return std::isnan(PyFloat_AS_DOUBLE(obj.ptr()));
  // pandas' missing-value markers, known by their type names so pandas need not be imported.
  const std::string_view name = Py_TYPE(obj.ptr())->tp_name;
  for (std::string_view marker : {"NAType", "NaTType"})
    if (name == marker || (name.ends_with(marker) && name[name.size() - marker.size() - 1] == '.')) return true;
  return false;
}

void store(exp_engine *e, const PyTypes &t, py::handle obj, exp_symval *cell) {
  const int type = EXP_TYPE(cell);
  if (is_missing(obj)) return exp_symval_setnull(cell);
  if (type < EXP_BOOLEAN || type > EXP_DATE) throw Refused("unsupported cell type", true);
  kStorers[type](e, t, obj, cell);
}

std::string value_text(py::handle obj) {
  constexpr Py_ssize_t kShown = 200;
  py::str text = PyUnicode_Check(obj.ptr()) ? py::reinterpret_borrow<py::str>(obj) : py::str(obj);
  if (PyUnicode_GetLength(text.ptr()) > kShown)
    text = py::str(text[py::slice(0, kShown, 1)]) + py::str("...");
  PyObject *bytes = PyUnicode_AsEncodedString(text.ptr(), "utf-8", "backslashreplace");
  if (!bytes) throw py::error_already_set();
  return std::string(py::reinterpret_steal<py::bytes>(bytes));
}

size_t utf8_length(std::string_view text) {
  size_t n = 0;
  for (char ch : text) n += (static_cast<unsigned char>(ch) & 0xC0) != 0x80;
  return n;
}

std::string real_text(exp_engine *e, const exp_decimal192 &d) {
  std::string compact;
  if (compact_text(d, &compact)) return compact;
  return printed_text(e, d);
}

std::string printed_text(exp_engine *e, const exp_decimal192 &d) {
  exp_symval c{};
  c.flags = EXP_REAL;
  exp_symval_setfdnum(&c, &d);
  char buf[80];
  const int need = exp_symval_to_text(e, &c, buf, sizeof buf);
  if (need >= 0 && static_cast<size_t>(need) < sizeof buf) return std::string(buf, static_cast<size_t>(need));
  std::string big(static_cast<size_t>(need < 0 ? 0 : need) + 1, '\0');
  const int n = exp_symval_to_text(e, &c, big.data(), big.size());
  big.resize(n < 0 ? 0 : static_cast<size_t>(n));
  return big;
}

py::object datetime_of_ms(int64_t unix_ms) {
  ensure_datetime_api();
  const Civil parts = civil_from_unix_ms(unix_ms);
  if (parts.year < 1 || parts.year > 9999) throw Refused("date outside the years 1 to 9999, which datetime cannot hold");
  PyObject *o = PyDateTime_FromDateAndTime(parts.year, parts.month, parts.day, parts.hour, parts.minute, parts.second,
                                           parts.millisecond * 1000);
  if (!o) throw py::error_already_set();
  return py::reinterpret_steal<py::object>(o);
}

py::object load(exp_engine *e, const PyTypes &t, const exp_symval *cell) {
  if (EXP_IS_NULL(cell)) return py::none();
  switch (EXP_TYPE(cell)) {
    case EXP_BOOLEAN: return py::bool_(cell->value.i != 0);
    case EXP_INTEGER: return py::int_(cell->value.i);
    case EXP_REAL: return t.decimal(py::str(real_text(e, cell->value.d)));
    case EXP_STRING: return cell->value.s ? text_object(cell->value.s, std::strlen(cell->value.s)) : py::str("");
    case EXP_DATE: {
      double days = 0;
      int64_t ms = 0;
      // The day count of any valid date fits a double to the millisecond.
      exp_symval_getdbl(cell, &days);
      if (!unix_ms_from_days(days, &ms)) throw Refused("date outside the years 0 to 9999");
      return datetime_of_ms(ms);
    }
    default: return py::none();  // pointers and objects have no Python form
  }
}

}  // namespace pyexp
