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

  m.def("type_name", &exp_type_name, py::arg("type"), "The name of a type code (\"integer\"...), \"\" for none");

// The library's constants under their names without the EXP_ prefix.
#define EXP_CONSTANT(name) {#name, EXP_##name}
  static constexpr std::pair<const char *, int> kConstants[] = {
      EXP_CONSTANT(BOOLEAN), EXP_CONSTANT(INTEGER), EXP_CONSTANT(REAL), EXP_CONSTANT(STRING), EXP_CONSTANT(DATE),
      EXP_CONSTANT(CAP_PROCESS), EXP_CONSTANT(CAP_FILE_READ), EXP_CONSTANT(CAP_FILE_WRITE),
      EXP_CONSTANT(CAP_ENVIRONMENT), EXP_CONSTANT(CAP_LOCALE), EXP_CONSTANT(CAP_SLEEP), EXP_CONSTANT(CAP_VARIABLES),
      EXP_CONSTANT(CAP_PSEUDO_FILES), EXP_CONSTANT(CAP_ALL),
      EXP_CONSTANT(LIMIT_MEMORY), EXP_CONSTANT(LIMIT_STEPS), EXP_CONSTANT(LIMIT_STRING), EXP_CONSTANT(LIMIT_CALL_DEPTH),
      EXP_CONSTANT(LIMIT_REGEX_MATCH), EXP_CONSTANT(LIMIT_REGEX_DEPTH), EXP_CONSTANT(LIMIT_SYMBOLS),
      EXP_CONSTANT(LIMIT_PROGRAM),
      EXP_CONSTANT(TRAIT_KEEPS_STATE), EXP_CONSTANT(TRAIT_CALLS_HOST),
      // The error numbers the Python layer and its tests tell apart.
      EXP_CONSTANT(E_SYMBOL_NOT_FOUND), EXP_CONSTANT(E_FUNCTION_NOT_FOUND), EXP_CONSTANT(E_UNKNOWN_FUNCTION),
      EXP_CONSTANT(E_CAPABILITY_DENIED), EXP_CONSTANT(E_DIVIDE_BY_ZERO), EXP_CONSTANT(E_INTERRUPT),
      EXP_CONSTANT(E_TEXT_CUT),
      {"MAX_RESULT_LENGTH", pyexp::kMaxResultLength}};
#undef EXP_CONSTANT
  for (const auto &[name, value] : kConstants) m.attr(name) = value;
}
