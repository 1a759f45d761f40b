// Python callables registered as engine functions.
#pragma once

#include <pybind11/pybind11.h>

#include <optional>
#include <string>
#include <vector>

#include "expression.h"
#include "signals.h"
#include "values.h"

namespace pyexp {

struct HostFunction {
  std::string name;
  py::object fn;
  std::string args;  // one type letter per argument (the engine's signature letters)
  char returns = 's';
};

// The registered callables of one engine. Each function gets its own trampoline, since the
// engine's callback carries no per-function data.
class HostFunctions {
 public:
  explicit HostFunctions(const PyTypes *types) : types_(types) {}
  // Registers f into e. Throws ValueError when the engine refuses it or the slots are used up.
  void add(exp_engine *e, HostFunction f);
  // Throws ValueError, naming the function, when `functions` could not all be registered in one
  // engine: a letter the package cannot convert, a name taken by a built-in or by an earlier
  // function, more functions than an engine holds.
  static void check(const std::vector<HostFunction> &functions);
  // Runs function `slot` for the engine: takes the GIL, converts the arguments, calls it and
  // stores its value in `result`. A Python exception becomes an engine error and is kept for
  // take_error.
  int call(exp_engine *e, size_t slot, exp_symval *result, int argc, exp_symval **argv);
  // The Python exception of the last failed call, if any (GIL held).
  std::optional<py::error_already_set> take_error();
  const std::vector<HostFunction> &functions() const { return functions_; }

 private:
  const PyTypes *types_;
  std::vector<HostFunction> functions_;
  std::optional<py::error_already_set> error_;
};

// What an engine's callback data points at: its host functions and its watch for Ctrl-C.
struct EngineHooks {
  HostFunctions *functions = nullptr;
  SignalWatch *signals = nullptr;
};

}  // namespace pyexp
