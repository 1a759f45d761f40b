// Polling Python's signal handlers from a run that does not hold the GIL.
#include "signals.h"

#include <pythread.h>

namespace pyexp {
namespace {

// Ctrl-C ends a run within a tenth of a second: well inside that, and rare enough that taking
// the GIL costs nothing measurable.
constexpr std::chrono::milliseconds kInterval{20};

// Set once at import, read only after.
unsigned long g_main_thread = 0;

}  // namespace

void SignalWatch::note_main_thread() {
  g_main_thread = py::module_::import("threading").attr("main_thread")().attr("ident").cast<unsigned long>();
}

SignalWatch::~SignalWatch() {
  if (type_ || value_ || trace_) {
    py::gil_scoped_acquire gil;
    Py_XDECREF(type_);
    Py_XDECREF(value_);
    Py_XDECREF(trace_);
  }
}

void SignalWatch::arm() {
  active_ = PyThread_get_thread_ident() == g_main_thread;
  raised_ = false;
  next_ = std::chrono::steady_clock::now() + kInterval;
}

bool SignalWatch::check() {
  if (!active_ || raised_) return raised_;
  const auto now = std::chrono::steady_clock::now();
  if (now < next_) return false;
  next_ = now + kInterval;
  const PyGILState_STATE gil = PyGILState_Ensure();
  if (PyErr_CheckSignals() != 0) {
    PyErr_Fetch(&type_, &value_, &trace_);
    raised_ = true;
  }
  PyGILState_Release(gil);
  return raised_;
}

void SignalWatch::rethrow_if_raised() {
  if (!raised_) return;
  raised_ = false;
  PyErr_Restore(type_, value_, trace_);
  type_ = value_ = trace_ = nullptr;
  throw py::error_already_set();
}

}  // namespace pyexp
