// The extension module pyexpression._core: the Program class and the engine's constants. The
// Python layer in pyexpression/ builds the public API on it.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include "program.h"

namespace py = pybind11;
using pyexp::HostFunction;
using pyexp::OnError;
using pyexp::Program;
using pyexp::Settings;

namespace {

OnError on_error_of(const std::string &name) {
  static constexpr std::pair<std::string_view, OnError> kModes[] = {
      {"raise", OnError::Raise}, {"null", OnError::Null}, {"skip", OnError::Skip}};
  for (const auto &[n, mode] : kModes)
    if (n == name) return mode;
  throw py::value_error("on_error must be 'raise', 'null' or 'skip', not '" + name + "'");
}

std::unique_ptr<Program> make_program(const std::string &text, const std::vector<std::pair<std::string, int>> &fields,
                                      int result_type, bool iso_dates, bool escaped_strings, unsigned capabilities,
                                      const std::vector<std::pair<int, int64_t>> &limits, const py::list &functions,
                                      bool user_settings) {
  Settings s{iso_dates, escaped_strings, capabilities, limits, user_settings};
  std::vector<HostFunction> hosts;
  for (py::handle f : functions) {
    auto t = f.cast<py::tuple>();
    auto returns = t[3].cast<std::string>();
    if (returns.size() != 1) throw py::value_error("returns must be one type letter");
    hosts.push_back({t[0].cast<std::string>(), py::reinterpret_borrow<py::object>(t[1]), t[2].cast<std::string>(), returns[0]});
  }
  return std::make_unique<Program>(text, fields, result_type, s, hosts);
}

}  // namespace

PYBIND11_MODULE(_core, m) {
  m.doc() = "Compiled expression programs over the engine's C ABI";
  py::class_<Program>(m, "Program")
      .def(py::init(&make_program), py::arg("text"), py::arg("fields"), py::arg("result_type"), py::arg("iso_dates"),
           py::arg("escaped_strings"), py::arg("capabilities"), py::arg("limits"), py::arg("functions"),
           py::arg("user_settings") = false)
      .def("run", &Program::run, py::arg("record"))
      .def(
          "run_columns",
          [](Program &p, const py::list &columns, size_t rows, const std::string &on_error) {
            return p.run_columns(columns, rows, on_error_of(on_error));
          },
          py::arg("columns"), py::arg("rows"), py::arg("on_error"))
      .def("cancel", &Program::cancel)
      .def_property_readonly("variables", &Program::variables);
  m.def("library_version", [] { return std::string(exp_version()); });

  static constexpr std::pair<const char *, int> kConstants[] = {
      {"BOOLEAN", EXP_BOOLEAN}, {"INTEGER", EXP_INTEGER}, {"REAL", EXP_REAL}, {"STRING", EXP_STRING}, {"DATE", EXP_DATE},
      {"CAP_PROCESS", EXP_CAP_PROCESS}, {"CAP_FILE_READ", EXP_CAP_FILE_READ}, {"CAP_FILE_WRITE", EXP_CAP_FILE_WRITE},
      {"CAP_ENVIRONMENT", EXP_CAP_ENVIRONMENT}, {"CAP_LOCALE", EXP_CAP_LOCALE}, {"CAP_SLEEP", EXP_CAP_SLEEP},
      {"CAP_VARIABLES", EXP_CAP_VARIABLES}, {"CAP_ALL", EXP_CAP_ALL},
      {"LIMIT_MEMORY", EXP_LIMIT_MEMORY}, {"LIMIT_STEPS", EXP_LIMIT_STEPS}, {"LIMIT_STRING", EXP_LIMIT_STRING},
      {"LIMIT_CALL_DEPTH", EXP_LIMIT_CALL_DEPTH}, {"LIMIT_REGEX_MATCH", EXP_LIMIT_REGEX_MATCH},
      {"LIMIT_REGEX_DEPTH", EXP_LIMIT_REGEX_DEPTH}, {"LIMIT_SYMBOLS", EXP_LIMIT_SYMBOLS},
      {"LIMIT_PROGRAM", EXP_LIMIT_PROGRAM}};
  for (const auto &[name, value] : kConstants) m.attr(name) = value;
}
