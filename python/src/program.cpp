// Compiling and running one program for Python: one record at a time, or a batch whose rows run
// without the GIL between two conversions that hold it. Runs never hold the GIL, so other
// threads may cancel them and Ctrl-C reaches them through the signal watch.
#include "program.h"

#include <pybind11/numpy.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <optional>

namespace pyexp {
namespace {

constexpr int kInitialStringLimit = 255;
constexpr size_t kChunkRows = 65536;  // rows converted and run at a time
constexpr size_t kKeptFailures = 100;
constexpr size_t kSignalRows = 64;  // rows between two looks at the signal watch
constexpr int kUnreadResultLimit = 255;  // a string result that is not output

// Raises the package's exception for a failure (see pyexpression.errors.failure_error), chained
// to `cause`.
[[noreturn]] void raise_exception(const py::tuple &failure, std::optional<py::error_already_set> cause) {
  py::object exc = py::module_::import("pyexpression.errors").attr("failure_error")(failure);
  if (cause) exc.attr("__cause__") = cause->value();
  PyErr_SetObject(reinterpret_cast<PyObject *>(Py_TYPE(exc.ptr())), exc.ptr());
  throw py::error_already_set();
}

// The input failure of field `name` for a value `v` (row: its position, or none).
Failure input_failure(const std::string &name, const std::string &why, std::string text, size_t row) {
  Failure f;
  f.kind = Failure::Kind::Input;
  f.row = row;
  f.message = why;
  f.name = name;
  f.text = std::move(text);
  return f;
}

}  // namespace

std::string excerpt(const std::string &source, int line, int column) {
  const int n = exp_format_excerpt(source.c_str(), line, column, nullptr, 0);
  std::string out(static_cast<size_t>(std::max(n, 0)) + 1, '\0');
  exp_format_excerpt(source.c_str(), line, column, out.data(), out.size());
  out.resize(static_cast<size_t>(std::max(n, 0)));
  return out;
}

py::tuple Failure::as_tuple() const {
  static constexpr const char *kKinds[] = {"run", "input", "output"};
  return py::make_tuple(kKinds[static_cast<int>(kind)], code, message, line, column, name, text,
                        row == kNoRow ? py::object(py::none()) : py::object(py::int_(row)));
}

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
    p.signals_.arm();
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
                 int result_length, std::string result_name, const Settings &settings,
                 const std::vector<HostFunction> &functions)
    : host_(&types_), hooks_{&host_, &signals_}, result_type_(result_type), result_name_(std::move(result_name)) {
  if (result_type == EXP_STRING && (result_length < 0 || result_length > kMaxResultLength))
    throw py::value_error("result_length must be 1 to " + std::to_string(kMaxResultLength));
  types_.tz_to_utc = settings.tz_to_utc;
  engine_ = exp_init_ex(settings.user_settings ? 0 : EXP_INIT_NO_USER_SETTINGS);
  if (!engine_) throw std::bad_alloc();
  try {
    exp_set_callback_data(engine_, &hooks_);
    exp_set_interrupt_hndlr(engine_, on_interrupt);
    apply(settings);
    for (const HostFunction &f : functions) host_.add(engine_, f);
    bind_fields(fields);
    // One character more than allowed: a text that fills it was longer than the limit, so the
    // row fails rather than giving a cut text. A result nobody reads (length 0) is not checked.
    if (result_type == EXP_STRING) result_length_ = static_cast<size_t>(result_length);
    const int limit = result_type != EXP_STRING ? 0 : result_length ? result_length + 1 : kUnreadResultLimit;
    const int rc = exp_make_pcode(engine_, text.c_str(), &program_, result_type, limit, 0, nullptr);
    if (rc) {
      const char *message = "";
      int line = 0, column = 0;
      exp_error_info(engine_, &message, &line, &column);
      py::object type = py::module_::import("pyexpression.errors").attr("CompileError");
      PyErr_SetObject(type.ptr(), type(rc, message ? message : "", line, column, excerpt(text, line, column)).ptr());
      throw py::error_already_set();
    }
    for (int i = 0, n = exp_symbol_count(engine_); i < n; ++i) {
      const char *name = nullptr;
      exp_symval *cell = nullptr;
      if (exp_symbol_name_get(engine_, i, &name) || exp_symbol_get(engine_, i, &cell)) continue;
      const int type = EXP_TYPE(cell);
      if (!(cell->flags & (EXP_HOSTSYM | EXP_HIDDEN)) && type >= EXP_BOOLEAN && type <= EXP_DATE)
        variables_.push_back({name, type, cell, py::str(name)});
      if (!(cell->flags & EXP_HOSTSYM) && type == EXP_STRING) cut_watches_.push_back({name, cell, cell->len});
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
    fields_.push_back({name, type, cell, py::str(name)});
  }
}

int Program::on_interrupt(exp_engine *e) {
  return static_cast<EngineHooks *>(exp_get_callback_data(e))->signals->check() ? 1 : 0;
}

Failure Program::run_failure(int rc, size_t row) const {
  Failure f;
  f.row = row;
  f.code = rc;
  const char *message = "";
  exp_error_info(engine_, &message, nullptr, nullptr);
  f.message = message ? message : "";
  exp_run_position(program_, &f.line, &f.column);
  return f;
}

bool Program::result_too_long(const exp_symval *result, size_t row, Failure *f) const {
  if (!result_length_ || !result || EXP_IS_NULL(result) || !result->value.s) return false;
  const std::string_view text(result->value.s);
  if (text.size() <= result_length_ || utf8_length(text) <= result_length_) return false;
  *f = Failure{};
  f->kind = Failure::Kind::Output;
  f->row = row;
  f->name = result_name_;
  f->code = EXP_E_TEXT_CUT;
  f->message = "the text is longer than the result limit of " + std::to_string(result_length_) +
               " characters (compile with a larger result_length)";
  return true;
}

bool Program::capture_outputs(const exp_symval *result, std::vector<OutputColumn> &out, size_t row,
                              Failure *f) const {
  std::string why;
  for (size_t c = 0; c < out.size(); ++c) {
    if (out[c].capture(c == 0 ? result : variables_[c - 1].cell, &why)) continue;
    for (size_t k = 0; k < c; ++k) out[k].drop_last();
    *f = Failure{};
    f->kind = Failure::Kind::Output;
    f->row = row;
    f->name = c == 0 ? result_name_ : variables_[c - 1].name;
    f->message = std::move(why);
    return false;
  }
  return true;
}

void Program::raise_failure(const Failure &f) { raise_exception(f.as_tuple(), host_.take_error()); }

py::tuple Program::run(const py::dict &record) {
  Lock lock(*this);
  for (const Symbol &f : fields_) {
    PyObject *value = PyDict_GetItemWithError(record.ptr(), f.key.ptr());
    if (!value) {
      if (PyErr_Occurred()) throw py::error_already_set();
      throw py::key_error("record has no field '" + f.name + "'");
    }
    try {
      store(engine_, types_, value, f.cell);
    } catch (const Refused &r) {
      raise_exception(input_failure(f.name, r.what(), value_text(value), Failure::kNoRow).as_tuple(), std::nullopt);
    }
  }
  exp_symval *result = nullptr;
  int rc = 0;
  {
    py::gil_scoped_release unlocked;
    rc = exp_execute(engine_, program_, &result);
  }
  signals_.rethrow_if_raised();
  if (rc) raise_failure(run_failure(rc, Failure::kNoRow));
  host_.take_error();
  Failure f;
  if (result_too_long(result, Failure::kNoRow, &f)) raise_failure(f);
  f.kind = Failure::Kind::Output;
  py::dict variables;
  std::string name = result_name_;
  try {
    py::object value = result ? load(engine_, types_, result) : py::none();
    for (const Symbol &v : variables_) {
      name = v.name;
      variables[v.key] = load(engine_, types_, v.cell);
    }
    py::list cuts;
    for (const CutWatch &w : cut_watches_)
      if (w.cell->flags & EXP_CUT) cuts.append(py::make_tuple(w.name, w.limit));
    return py::make_tuple(value, variables, cuts);
  } catch (const Refused &r) {
    f.message = r.what();
    f.name = name;
    raise_failure(f);
  }
}

// Runs `count` bound rows without touching Python. Returns false when the batch ends early: a
// failure with on_error raise or a cancel (outcome.stop), or Ctrl-C (the signal watch).
bool Program::run_rows(const std::vector<InputColumn> &in, std::vector<OutputColumn> &out, size_t count,
                       size_t first_row, OnError on_error, Outcome &outcome) {
  Failure f;
  for (size_t i = 0; i < count; ++i) {
    if (i % kSignalRows == 0 && signals_.check()) return false;
    const size_t row = first_row + i;
    bool failed = false;
    for (size_t k = 0; k < fields_.size() && !failed; ++k)
      if (!in[k].bind(i, fields_[k].cell)) {
        const InputFailure &bad = in[k].failure(i);
        f = input_failure(fields_[k].name, bad.why, bad.text, row);
        failed = true;
      }
    exp_symval *result = nullptr;
    if (!failed) {
      if (const int rc = exp_execute(engine_, program_, &result)) {
        if (signals_.raised()) return false;
        f = run_failure(rc, row);
        failed = true;
        if (cancelled_.load()) {
          outcome.stop = std::move(f);
          outcome.stopped = true;
          return false;
        }
      } else {
        failed = result_too_long(result, row, &f) || !capture_outputs(result, out, row, &f);
      }
    }
    if (!failed) {
      if (on_error == OnError::Skip) outcome.kept.push_back(static_cast<int64_t>(row));
      for (size_t k = 0; k < cut_watches_.size(); ++k)
        if (cut_watches_[k].cell->flags & EXP_CUT) ++outcome.cuts[k];
      continue;
    }
    if (on_error == OnError::Raise) {
      outcome.stop = std::move(f);
      outcome.stopped = true;
      return false;
    }
    if (outcome.keep_all || outcome.failures.size() < kKeptFailures) outcome.failures.push_back(std::move(f));
    ++outcome.failure_count;
    // A failed row's outputs are all null: nothing half-computed passes for a value.
    if (on_error == OnError::Null)
      for (OutputColumn &o : out) o.capture_null();
  }
  return true;
}

py::dict Program::run_columns(const py::list &columns, size_t rows, OnError on_error, const OutputForm &form,
                              bool keep_all) {
  Lock lock(*this);
  if (columns.size() != fields_.size()) throw py::value_error("one column per field is needed");
  std::vector<InputColumn> in;
  std::vector<ColumnKind> kinds;
  for (size_t f = 0; f < fields_.size(); ++f) {
    in.emplace_back(fields_[f].type);
    kinds.push_back(column_kind(py::cast<std::string>(columns[f].cast<py::tuple>()[0])));
  }
  std::vector<OutputColumn> out{OutputColumn(result_type_, &form)};
  for (const Symbol &v : variables_) out.emplace_back(v.type, &form);
  for (OutputColumn &o : out) o.reserve(rows);
  Outcome outcome;
  outcome.keep_all = keep_all;
  outcome.cuts.assign(cut_watches_.size(), 0);
  for (size_t begin = 0; begin < rows; begin += kChunkRows) {
    const size_t end = std::min(rows, begin + kChunkRows);
    for (size_t f = 0; f < fields_.size(); ++f) {
      py::tuple c = columns[f].cast<py::tuple>();
      try {
        in[f].fill(engine_, types_, kinds[f], c[1], c[2], begin, end);
      } catch (py::builtin_exception &err) {
        throw py::type_error("field '" + fields_[f].name + "': " + err.what());
      }
      if (fields_[f].type == EXP_STRING && in[f].max_bytes() > fields_[f].cell->len &&
          exp_symval_str_resize(fields_[f].cell, static_cast<int>(std::min<size_t>(in[f].max_bytes(), EXP_MAX_STRING))) != 0)
        throw std::bad_alloc();
    }
    bool finished = false;
    {
      py::gil_scoped_release unlocked;
      finished = run_rows(in, out, end - begin, begin, on_error, outcome);
    }
    signals_.rethrow_if_raised();
    if (!finished) break;
  }
  py::dict r;
  r["stop"] = py::none();
  r["cause"] = py::none();
  if (outcome.stopped) {
    r["stop"] = outcome.stop.as_tuple();
    if (auto cause = host_.take_error()) r["cause"] = cause->value();
    return r;
  }
  host_.take_error();
  py::list built;
  for (OutputColumn &o : out) built.append(o.build(engine_, types_));
  py::list failures;
  for (const Failure &f : outcome.failures) failures.append(f.as_tuple());
  r["columns"] = built;
  r["rows"] = on_error == OnError::Skip ? py::object(py::array_t<int64_t>(static_cast<py::ssize_t>(outcome.kept.size()), outcome.kept.data()))
                                        : py::object(py::none());
  r["failures"] = failures;
  r["failure_count"] = outcome.failure_count;
  py::list cuts;
  for (size_t k = 0; k < cut_watches_.size(); ++k)
    if (outcome.cuts[k]) cuts.append(py::make_tuple(cut_watches_[k].name, cut_watches_[k].limit, outcome.cuts[k]));
  r["cuts"] = cuts;
  return r;
}

void Program::cancel() {
  cancelled_.store(true);
  if (program_) exp_cancel_execution(program_);
}

std::vector<std::tuple<int, std::string, int, int>> Program::warnings() const {
  std::vector<std::tuple<int, std::string, int, int>> out;
  for (int i = 0, n = exp_pcode_warning_count(program_); i < n; ++i) {
    int code = 0, line = 0, column = 0;
    const char *message = "";
    if (exp_pcode_warning_get(program_, i, &code, &message, &line, &column) == 0)
      out.emplace_back(code, message, line, column);
  }
  return out;
}

std::vector<std::pair<std::string, std::string>> Program::variables() const {
  std::vector<std::pair<std::string, std::string>> out;
  for (const Symbol &v : variables_) out.emplace_back(v.name, exp_type_name(v.type));
  return out;
}

}  // namespace pyexp
