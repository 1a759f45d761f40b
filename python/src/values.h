// Conversions of single values between Python objects and engine cells.
#pragma once

#include <pybind11/pybind11.h>

#include <string>
#include <string_view>

#include "expression.h"

namespace pyexp {

namespace py = pybind11;

// The Python types the conversions recognise, looked up once per program.
struct PyTypes {
  py::object decimal;  // decimal.Decimal
  PyTypes();
};

// The type name used in messages and by the Python layer ("integer", "real"...).
const char *type_name(int type);

// True for None, a float NaN and pandas' NA and NaT: the values that stand for null.
bool is_missing(py::handle obj);

// Stores `obj` into `cell`, whose type decides the conversion: None and float NaN give null;
// reals take Decimal, int, float (its shortest text) and str exactly; dates take datetime and
// date; any type takes str through the engine's own conversion. Throws ValueError or TypeError
// (naming `what`) for a value the type cannot hold, and never rounds silently except the
// sub-millisecond part of a datetime, below the engine's resolution.
void store(exp_engine *e, const PyTypes &t, py::handle obj, exp_symval *cell, std::string_view what);

// The cell's value as a Python object: None, bool, int, Decimal, str or datetime. A date outside
// the years 1 to 9999 (which datetime cannot hold) raises ValueError.
py::object load(exp_engine *e, const PyTypes &t, const exp_symval *cell);

// A real as exact Decimal text with the engine's normal coefficient and exponent (so that
// Decimal(text) prints as the engine prints it), and a date cell's day count as a datetime.
std::string real_text(exp_engine *e, const exp_decimal192 &d);
py::object datetime_of(const exp_decimal192 &days);

// Shortest decimal text of a finite double that reads back as the same double ("19.99").
std::string shortest_text(double v);

// Sets a real cell from decimal text exactly, refusing more digits than the format holds.
void store_real_text(exp_symval *cell, std::string_view text, std::string_view what);

// Sets a date cell from milliseconds since 1970-01-01 through the engine's text conversion.
void store_date_ms(exp_engine *e, int64_t unix_ms, exp_symval *cell, std::string_view what);

}  // namespace pyexp
