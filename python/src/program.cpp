// Compiling and running one program for Python: one record at a time, or a batch whose rows run
// without the GIL between two conversions that hold it.
#include "program.h"

#include <pybind11/numpy.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <optional>

namespace pyexp {
namespace {

constexpr int kInitialStringLimit = 255;
constexpr int kResultStringLimit = 65535;
constexpr size_t kChunkRows = 65536;  // rows converted, run and checked for Ctrl-C at a time
constexpr size_t kKeptFailures = 100;
constexpr int kInterrupted = 104;  // the engine's number for an interrupted run

// Raises the package's exception class `name` built from `args`, chained to `cause`.
[[noreturn]] void raise_error(const char *name, const py::tuple &args, std::optional<py::error_already_set> cause) {
  py::object type = py::module_::import("pyexpression.errors").attr(name);
  py::object exc = type(*args);
  if (cause) exc.attr("__cause__") = cause->value();
  PyErr_SetObject(type.ptr(), exc.ptr());
  throw py::error_already_set();
}

}  // namespace

// Holds the program for one thread. Waits for it without the GIL, so a thread running a batch
// can take the GIL back; refuses a thread that already holds it (a host function calling the
// rules that called it), which would otherwise deadlock.
class Program::Lock {
 public:
  explicit Lock(Program &p) : p_(p) {
    if (p.owner_.load() == std::this_thread::get_id())
      throw std::runtime_error("these rules are already running in this thread");
    if (!p.mutex_.try_lock()) {
      py::gil_scoped_release unlocked;
      p.mutex_.lock();
    }
    p.owner_.store(std::this_thread::get_id());
    p.cancelled_.store(false);
  }
  ~Lock() {
    p_.owner_.store(std::thread::id{});
    p_.mutex_.unlock();
  }
  Lock(const Lock &) = delete;
  Lock &operator=(const Lock &) = delete;

 private:
  Program &p_;
};

Program::Program(const std::string &text, const std::vector<std::pair<std::string, int>> &fields, int result_type,
                 const Settings &settings, const std::vector<HostFunction> &functions)
    : host_(&types_), result_type_(result_type) {
  engine_ = exp_init_ex(settings.user_settings ? 0 : EXP_INIT_NO_USER_SETTINGS);
  if (!engine_) throw std::bad_alloc();
  try {
    exp_set_callback_data(engine_, &host_);
    apply(settings);
    for (const HostFunction &f : functions) host_.add(engine_, f);
    bind_fields(fields);
    const int limit = result_type == EXP_STRING ? kResultStringLimit : 0;
    const int rc = exp_make_pcode(engine_, text.c_str(), &program_, result_type, limit, 0, nullptr);
    if (rc) {
      const char *message = "";
      int line = 0, column = 0;
      exp_error_info(engine_, &message, &line, &column);
      raise_error("CompileError", py::make_tuple(rc, message ? message : "", line, column), std::nullopt);
    }
    for (int i = 0, n = exp_symbol_count(engine_); i < n; ++i) {
      const char *name = nullptr;
      exp_symval *cell = nullptr;
      if (exp_symbol_name_get(engine_, i, &name) || exp_symbol_get(engine_, i, &cell)) continue;
      const int type = EXP_TYPE(cell);
      if (!(cell->flags & (EXP_HOSTSYM | EXP_HIDDEN)) && type >= EXP_BOOLEAN && type <= EXP_DATE)
        variables_.push_back({name, type, cell, py::str(name), std::string("variable '") + name + "'"});
    }
  } catch (...) {
    release();
    throw;
  }
}

Program::~Program() { release(); }

void Program::release() {
  if (program_) exp_free_pcode(engine_, program_);
  if (engine_) exp_clean(engine_);
  program_ = nullptr;
  engine_ = nullptr;
}

void Program::apply(const Settings &s) {
  if (s.iso_dates) exp_set_option(engine_, "DATE_ISO8601", "1");
  if (s.escaped_strings) exp_set_option(engine_, "ESCAPED_STRING", "1");
  if (exp_set_capabilities(engine_, s.capabilities) != 0) throw py::value_error("unknown capability bits");
  for (const auto &[which, value] : s.limits)
    if (exp_set_limit(engine_, which, value) != 0) throw py::value_error("invalid limit " + std::to_string(which));
}

void Program::bind_fields(const std::vector<std::pair<std::string, int>> &fields) {
  for (const auto &[name, type] : fields) {
    if (type < EXP_BOOLEAN || type > EXP_DATE) throw py::value_error("field '" + name + "': unsupported type");
    exp_symval *cell = nullptr;
    const int rc = exp_add_symbol(engine_, name.c_str(), type, type == EXP_STRING ? kInitialStringLimit : 0, 0, &cell);
    if (rc) {
      const char *message = "";
      exp_error_info(engine_, &message, nullptr, nullptr);
      throw py::value_error("field '" + name + "': " + message);
    }
    fields_.push_back({name, type, cell, py::str(name), "field '" + name + "'"});
  }
}

Program::Failure Program::failure(int rc, size_t row) const {
  Failure f;
  f.row = row;
  f.code = rc;
  const char *message = "";
  exp_error_info(engine_, &message, nullptr, nullptr);
  f.message = message ? message : "";
  exp_run_position(program_, &f.line, &f.column);
  return f;
}

void Program::raise_run_error(const Failure &f, bool with_row) {
  py::object row = with_row ? py::object(py::int_(f.row)) : py::object(py::none());
  raise_error("RunError", py::make_tuple(f.code, f.message, f.line, f.column, row), host_.take_error());
}

py::tuple Program::run(const py::dict &record) {
  Lock lock(*this);
  for (const Symbol &f : fields_) {
    PyObject *value = PyDict_GetItemWithError(record.ptr(), f.key.ptr());
    if (!value) {
      if (PyErr_Occurred()) throw py::error_already_set();
      throw py::key_error("record has no field '" + f.name + "'");
    }
    store(engine_, types_, value, f.cell, f.label);
  }
  exp_symval *result = nullptr;
  const int rc = exp_execute(engine_, program_, &result);
  if (rc) raise_run_error(failure(rc, 0), false);
  host_.take_error();
  py::dict variables;
  for (const Symbol &v : variables_) variables[v.key] = load(engine_, types_, v.cell);
  return py::make_tuple(result ? load(engine_, types_, result) : py::none(), variables);
}

// Runs `count` bound rows without touching Python. Returns false when a failure ends the batch
// (on_error raise, or a cancel), which is then in outcome.stop.
bool Program::run_rows(const std::vector<InputColumn> &in, std::vector<OutputColumn> &out, size_t count,
                       size_t first_row, OnError on_error, Outcome &outcome) {
  for (size_t i = 0; i < count; ++i) {
    if (cancelled_.load(std::memory_order_relaxed)) {
      outcome.stop = Failure{first_row + i, kInterrupted, "Run cancelled", 0, 0};
      return false;
    }
    for (size_t f = 0; f < fields_.size(); ++f) in[f].bind(i, fields_[f].cell);
    exp_symval *result = nullptr;
    const int rc = exp_execute(engine_, program_, &result);
    if (rc) {
      Failure f = failure(rc, first_row + i);
      if (on_error == OnError::Raise || cancelled_.load()) {
        outcome.stop = std::move(f);
        return false;
      }
      if (outcome.failures.size() < kKeptFailures) outcome.failures.push_back(std::move(f));
      ++outcome.failure_count;
      if (on_error == OnError::Skip) continue;
      result = nullptr;  // null: the result is null, the variables stay as the run left them
    }
    if (on_error == OnError::Skip) outcome.kept.push_back(static_cast<int64_t>(first_row + i));
    out[0].capture(result);
    for (size_t v = 0; v < variables_.size(); ++v) out[v + 1].capture(variables_[v].cell);
  }
  return true;
}

py::dict Program::run_columns(const py::list &columns, size_t rows, OnError on_error) {
  Lock lock(*this);
  if (columns.size() != fields_.size()) throw py::value_error("one column per field is needed");
  std::vector<InputColumn> in;
  std::vector<ColumnKind> kinds;
  for (size_t f = 0; f < fields_.size(); ++f) {
    in.emplace_back(fields_[f].name, fields_[f].type);
    kinds.push_back(column_kind(py::cast<std::string>(columns[f].cast<py::tuple>()[0])));
  }
  std::vector<OutputColumn> out{OutputColumn(result_type_)};
  for (const Symbol &v : variables_) out.emplace_back(v.type);
  for (OutputColumn &o : out) o.reserve(rows);
  Outcome outcome;
  for (size_t begin = 0; begin < rows; begin += kChunkRows) {
    const size_t end = std::min(rows, begin + kChunkRows);
    for (size_t f = 0; f < fields_.size(); ++f) {
      py::tuple c = columns[f].cast<py::tuple>();
      in[f].fill(engine_, types_, kinds[f], c[1], c[2], begin, end);
      if (fields_[f].type == EXP_STRING && in[f].max_bytes() > fields_[f].cell->len &&
          exp_symval_str_resize(fields_[f].cell, static_cast<int>(std::min<size_t>(in[f].max_bytes(), 536870911))) != 0)
        throw std::bad_alloc();
    }
    bool finished = false;
    {
      py::gil_scoped_release unlocked;
      finished = run_rows(in, out, end - begin, begin, on_error, outcome);
    }
    if (PyErr_CheckSignals() != 0) throw py::error_already_set();
    if (!finished) raise_run_error(outcome.stop, true);
    host_.take_error();
  }
  py::list built;
  for (OutputColumn &o : out) built.append(o.build(engine_, types_));
  py::list errors;
  for (const Failure &f : outcome.failures) errors.append(py::make_tuple(f.code, f.message, f.line, f.column, f.row));
  py::dict r;
  r["columns"] = built;
  r["rows"] = on_error == OnError::Skip ? py::object(py::array_t<int64_t>(static_cast<py::ssize_t>(outcome.kept.size()), outcome.kept.data()))
                                        : py::object(py::none());
  r["errors"] = errors;
  r["error_count"] = outcome.failure_count;
  return r;
}

void Program::cancel() {
  cancelled_.store(true);
  if (program_) exp_cancel_execution(program_);
}

std::vector<std::pair<std::string, std::string>> Program::variables() const {
  std::vector<std::pair<std::string, std::string>> out;
  for (const Symbol &v : variables_) out.emplace_back(v.name, type_name(v.type));
  return out;
}

}  // namespace pyexp
