// Conversions of single values between Python objects and engine cells.
#pragma once

#include <pybind11/pybind11.h>

#include <stdexcept>
#include <string>
#include <string_view>

#include "expression.h"

namespace pyexp {

namespace py = pybind11;

// The Python types the conversions recognise and the choices that change them, set once per
// program.
struct PyTypes {
  py::object decimal;  // decimal.Decimal
  py::object utc;      // datetime.timezone.utc
  bool tz_to_utc = false;  // a datetime with a zone is converted to UTC (else refused)
  PyTypes();
};

// A value that a cell cannot take, and why (the message names no field: the caller knows where
// the value came from). `wrong_type` tells a value of the wrong Python type from a bad value.
struct Refused : std::runtime_error {
  explicit Refused(const std::string &why, bool wrong_type = false) : std::runtime_error(why), wrong_type(wrong_type) {}
  bool wrong_type;
};

// True for None, a float NaN and pandas' NA and NaT: the values that stand for null.
bool is_missing(py::handle obj);

// Stores `obj` into `cell`, whose type decides the conversion: None and float NaN give null;
// reals take Decimal, int, float (its shortest text) and str exactly; dates take datetime and
// date (the part below the millisecond dropped, as numpy's cast to milliseconds drops it; a
// datetime with a zone only when PyTypes::tz_to_utc); any type takes str through the engine's own
// conversion. Throws Refused for a value the type cannot hold: nothing is rounded or cut.
void store(exp_engine *e, const PyTypes &t, py::handle obj, exp_symval *cell);

// The UTF-8 of a str (valid while the str lives), refusing what a cell cannot carry: a NUL, and a
// lone surrogate (which UTF-8 cannot encode; text decoded with errors="surrogateescape" has them).
std::string_view utf8_text(py::handle obj);

// The value's text for an error message: str(obj), at most 200 characters, any lone surrogate
// written as its escape (GIL held).
std::string value_text(py::handle obj);

// The cell's value as a Python object: None, bool, int, Decimal, str or datetime. A date outside
// the years 1 to 9999 (which datetime cannot hold) throws Refused.
py::object load(exp_engine *e, const PyTypes &t, const exp_symval *cell);

// A real as exact Decimal text with the engine's normal coefficient and exponent (so that
// Decimal(text) prints as the engine prints it).
std::string real_text(exp_engine *e, const exp_decimal192 &d);
// A real as the engine prints it ("0.25", as exprun writes it).
std::string printed_text(exp_engine *e, const exp_decimal192 &d);
// A datetime of milliseconds since 1970-01-01 (years 1 to 9999, else Refused).
py::object datetime_of_ms(int64_t unix_ms);

// Shortest decimal text of a finite double that reads back as the same double ("19.99").
std::string shortest_text(double v);

// Sets a real cell from decimal text exactly, refusing more digits than the format holds.
void store_real_text(exp_symval *cell, std::string_view text);

// Sets a date cell from milliseconds since 1970-01-01 through the engine's text conversion.
void store_date_ms(exp_engine *e, int64_t unix_ms, exp_symval *cell);

// The number of characters (code points) of UTF-8 text.
size_t utf8_length(std::string_view text);

}  // namespace pyexp
