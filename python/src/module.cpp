// The extension module pyexpression._core: the Program class and the engine's constants. The
// Python layer in pyexpression/ builds the public API on it; _core.pyi describes this module.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include "program.h"

namespace py = pybind11;
using pyexp::HostFunction;
using pyexp::HostFunctions;
using pyexp::OnError;
using pyexp::OutputForm;
using pyexp::Program;
using pyexp::Settings;

namespace {

template <typename T, size_t N>
T choice(const std::pair<std::string_view, T> (&choices)[N], const std::string &name, const char *what) {
  std::string known;
  for (const auto &[n, value] : choices) {
    if (n == name) return value;
    known += (known.empty() ? "'" : ", '") + std::string(n) + "'";
  }
  throw py::value_error(std::string(what) + " must be one of " + known + ", not '" + name + "'");
}

OnError on_error_of(const std::string &name) {
  static constexpr std::pair<std::string_view, OnError> kModes[] = {
      {"raise", OnError::Raise}, {"null", OnError::Null}, {"skip", OnError::Skip}};
  return choice(kModes, name, "on_error");
}

// The functions as {"name", "func", "args", "returns"} dicts.
std::vector<HostFunction> host_functions(const py::list &functions) {
  std::vector<HostFunction> hosts;
  for (py::handle item : functions) {
    auto f = item.cast<py::dict>();
    auto returns = f["returns"].cast<std::string>();
    if (returns.size() != 1) throw py::value_error("returns must be one type letter");
    hosts.push_back({f["name"].cast<std::string>(), f["func"].cast<py::object>(), f["args"].cast<std::string>(), returns[0]});
  }
  return hosts;
}

std::unique_ptr<Program> make_program(const std::string &text, const std::vector<std::pair<std::string, int>> &fields,
                                      int result_type, int result_length, const std::string &result_name,
                                      bool iso_dates, bool escaped_strings,
                                      bool tz_to_utc, unsigned capabilities, const std::map<int, int64_t> &limits,
                                      const py::list &functions, bool user_settings) {
  Settings s{iso_dates, escaped_strings, tz_to_utc, capabilities, {limits.begin(), limits.end()}, user_settings};
  return std::make_unique<Program>(text, fields, result_type, result_length, result_name, s, host_functions(functions));
}

OutputForm output_form(const std::string &decimals, bool date_objects, int64_t min_ms, int64_t max_ms) {
  static constexpr std::pair<std::string_view, OutputForm::Reals> kReals[] = {
      {"decimal", OutputForm::Reals::Decimal}, {"float", OutputForm::Reals::Float}, {"str", OutputForm::Reals::Text}};
  OutputForm form;
  form.reals = choice(kReals, decimals, "decimals");
  form.date_objects = date_objects;
  form.min_ms = min_ms;
  form.max_ms = max_ms;
  return form;
}

}  // namespace

PYBIND11_MODULE(_core, m) {
  m.doc() = "Compiled expression programs over the engine's C ABI";
  pyexp::SignalWatch::note_main_thread();
  py::class_<Program>(m, "Program")
      .def(py::init(&make_program), py::kw_only(), py::arg("text"), py::arg("fields"), py::arg("result_type"),
           py::arg("result_length"), py::arg("result_name") = "result", py::arg("iso_dates") = false, py::arg("escaped_strings") = false,
           py::arg("tz_to_utc") = false, py::arg("capabilities") = EXP_CAP_ALL,
           py::arg("limits") = std::map<int, int64_t>{}, py::arg("functions") = py::list(),
           py::arg("user_settings") = false)
      .def("run", &Program::run, py::arg("record"))
      .def(
          "run_columns",
          [](Program &p, const py::list &columns, size_t rows, const std::string &on_error, const std::string &decimals,
             bool date_objects, int64_t min_ms, int64_t max_ms, bool keep_all) {
            const OutputForm form = output_form(decimals, date_objects, min_ms, max_ms);
            return p.run_columns(columns, rows, on_error_of(on_error), form, keep_all);
          },
          py::arg("columns"), py::arg("rows"), py::kw_only(), py::arg("on_error") = "raise",
          py::arg("decimals") = "decimal", py::arg("date_objects") = false,
          py::arg("min_ms") = std::numeric_limits<int64_t>::min() + 1,
          py::arg("max_ms") = std::numeric_limits<int64_t>::max(), py::arg("keep_all") = false)
      .def("cancel", &Program::cancel)
      .def_property_readonly("variables", &Program::variables)
      .def_property_readonly("warnings", &Program::warnings, "The compiler's warnings as (code, message, line, column)")
      .def_property_readonly("traits", &Program::traits);
  m.def(
      "check_functions", [](const py::list &functions) { HostFunctions::check(host_functions(functions)); },
      py::arg("functions"), "Raises ValueError unless the functions could all be registered in one engine");
  m.def("library_version", [] { return std::string(exp_version()); }, "The engine library's version text");
  m.def("format_excerpt", &pyexp::excerpt, py::arg("source"), py::arg("line"), py::arg("column"),
        "The line of source at line with a caret under column, as the engine lays it out for a terminal");
  m.def(
      "function_names",
      [] {
        std::vector<std::string> names;
        if (exp_engine *e = exp_init_ex(EXP_INIT_NO_USER_SETTINGS)) {
          for (int i = 0, n = exp_get_function_count(e); i < n; ++i) {
            const char *name = nullptr;
            if (exp_get_function_info(e, i, &name, nullptr, nullptr, nullptr, nullptr, nullptr) == 0 && name)
              names.emplace_back(name);
          }
          exp_clean(e);
        }
        return names;
      },
      "The names of the engine's built-in functions");

  static constexpr std::pair<const char *, int> kConstants[] = {
      {"BOOLEAN", EXP_BOOLEAN}, {"INTEGER", EXP_INTEGER}, {"REAL", EXP_REAL}, {"STRING", EXP_STRING}, {"DATE", EXP_DATE},
      {"CAP_PROCESS", EXP_CAP_PROCESS}, {"CAP_FILE_READ", EXP_CAP_FILE_READ}, {"CAP_FILE_WRITE", EXP_CAP_FILE_WRITE},
      {"CAP_ENVIRONMENT", EXP_CAP_ENVIRONMENT}, {"CAP_LOCALE", EXP_CAP_LOCALE}, {"CAP_SLEEP", EXP_CAP_SLEEP},
      {"CAP_VARIABLES", EXP_CAP_VARIABLES}, {"CAP_PSEUDO_FILES", EXP_CAP_PSEUDO_FILES}, {"CAP_ALL", EXP_CAP_ALL},
      {"LIMIT_MEMORY", EXP_LIMIT_MEMORY}, {"LIMIT_STEPS", EXP_LIMIT_STEPS}, {"LIMIT_STRING", EXP_LIMIT_STRING},
      {"LIMIT_CALL_DEPTH", EXP_LIMIT_CALL_DEPTH}, {"LIMIT_REGEX_MATCH", EXP_LIMIT_REGEX_MATCH},
      {"LIMIT_REGEX_DEPTH", EXP_LIMIT_REGEX_DEPTH}, {"LIMIT_SYMBOLS", EXP_LIMIT_SYMBOLS},
      {"LIMIT_PROGRAM", EXP_LIMIT_PROGRAM}, {"TRAIT_KEEPS_STATE", EXP_TRAIT_KEEPS_STATE},
      {"TRAIT_CALLS_HOST", EXP_TRAIT_CALLS_HOST}, {"MAX_RESULT_LENGTH", 536870910}};
  for (const auto &[name, value] : kConstants) m.attr(name) = value;
}
