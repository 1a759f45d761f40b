// Engine set-up and per-record runs for exprun, on the public ABI only.
#include "session.h"

#include <atomic>
#include <cstring>

namespace {

std::atomic<bool> g_stop{false};
constexpr int kInitialStringLimit = 255;
constexpr int kResultLimit = 65535;

bool is_program_variable(exp_engine *e, int index, const std::vector<std::string> &columns, std::string *name) {
  const char *n = nullptr;
  exp_symval *cell = nullptr;
  if (exp_symbol_name_get(e, index, &n) || exp_symbol_get(e, index, &cell)) return false;
  if (cell->flags & (EXP_HOSTSYM | EXP_HIDDEN)) return false;
  for (const std::string &c : columns)
    if (c == n) return false;
  *name = n;
  return true;
}

}  // namespace

bool stop_requested() { return g_stop.load(std::memory_order_relaxed); }
void request_stop() { g_stop.store(true, std::memory_order_relaxed); }

void read_failure(exp_engine *e, int code, Failure *f) {
  const char *message = "";
  f->code = code;
  exp_error_info(e, &message, &f->line, &f->column);
  f->message = message ? message : "";
}

Session::~Session() {
  if (program_) exp_free_pcode(engine_, program_);
  if (engine_) exp_clean(engine_);
}

int Session::interrupt(exp_engine *e) {
  auto *s = static_cast<Session *>(exp_get_callback_data(e));
  if (stop_requested()) return 1;
  return s && s->options_->timeout > 0 && std::chrono::steady_clock::now() > s->deadline_;
}

bool Session::bind(const std::vector<std::string> &columns, const std::vector<int> &types, Failure *f) {
  column_names_ = columns;
  column_types_ = types;
  exp_set_callback_data(engine_, this);
  exp_set_interrupt_hndlr(engine_, interrupt);
  if (options_->iso_dates) exp_set_option(engine_, "DATE_ISO8601", "1");
  for (size_t i = 0; i < columns.size(); ++i) {
    exp_symval *cell = nullptr;
    int rc = exp_add_symbol(engine_, columns[i].c_str(), types[i], kInitialStringLimit, 0, &cell);
    if (rc) {
      read_failure(engine_, rc, f);
      f->message = "column '" + columns[i] + "': " + f->message;
      return false;
    }
    cells_.push_back(cell);
  }
  return true;
}

std::unique_ptr<Session> Session::open(const Options &o, const std::vector<std::string> &columns,
                                       const std::vector<int> &types, Failure *f) {
  std::unique_ptr<Session> s(new Session());
  s->options_ = &o;
  s->engine_ = exp_init();
  if (!s->engine_) {
    f->code = 1;
    f->message = "cannot create an engine";
    return nullptr;
  }
  if (!s->bind(columns, types, f)) return nullptr;
  int limit = o.result_type == EXP_STRING ? kResultLimit : 0;
  int rc = exp_make_pcode(s->engine_, o.program.c_str(), &s->program_, o.result_type, limit, 0, nullptr);
  if (rc) {
    read_failure(s->engine_, rc, f);
    return nullptr;
  }
  return s;
}

std::unique_ptr<Session> Session::clone(Failure *f) const {
  std::unique_ptr<Session> s(new Session());
  s->options_ = options_;
  s->engine_ = exp_clone(engine_);
  if (!s->engine_) {
    f->code = 1;
    f->message = "cannot create a worker engine";
    return nullptr;
  }
  if (!s->bind(column_names_, column_types_, f)) return nullptr;
  int rc = exp_copy_pcode(engine_, s->engine_, program_, &s->program_);
  if (rc) {
    read_failure(s->engine_, rc, f);
    return nullptr;
  }
  std::string error;
  Options chosen = *options_;
  chosen.output.clear();
  for (const OutputColumn &c : outputs_) chosen.output.push_back(c.name);
  if (!s->choose_outputs(chosen, &error)) {
    f->code = 1;
    f->message = error;
    return nullptr;
  }
  return s;
}

bool Session::choose_outputs(const Options &o, std::string *error) {
  outputs_.clear();
  auto add_named = [&](const std::string &name) {
    if (o.result && name == o.result_name) {
      outputs_.push_back({name, nullptr, true});
      return true;
    }
    exp_symval *cell = exp_symbol_get_by_name(engine_, name.c_str());
    if (!cell) {
      *error = "--output names '" + name + "', which is neither a column, the result nor a variable of the program";
      return false;
    }
    outputs_.push_back({name, cell, false});
    return true;
  };
  if (!o.output.empty()) {
    for (const std::string &name : o.output)
      if (!add_named(name)) return false;
  } else {
    for (size_t i = 0; i < column_names_.size(); ++i) outputs_.push_back({column_names_[i], cells_[i], false});
    if (o.result) outputs_.push_back({o.result_name, nullptr, true});
    std::string name;
    for (int i = 0, n = exp_symbol_count(engine_); i < n; ++i)
      if (is_program_variable(engine_, i, column_names_, &name)) outputs_.push_back({name, exp_symbol_get_by_name(engine_, name.c_str()), false});
  }
  text_.resize(outputs_.size());
  values_.resize(outputs_.size());
  kinds_.resize(outputs_.size());
  return true;
}

// Writes one field into its column's cell: strings grow to hold the value, other types convert
// (a value that does not convert becomes null).
void Session::set_field(size_t i, const Record &r) {
  exp_symval *cell = cells_[i];
  if (i >= r.fields.size() || r.null[i]) {
    exp_symval_setnull(cell);
    return;
  }
  const std::string &v = r.fields[i];
  if (column_types_[i] == EXP_STRING) {
    if (v.size() > cell->len && v.size() < (1u << 28)) exp_symval_str_resize(cell, static_cast<int>(v.size()));
    exp_symval_setstrn(cell, v.c_str(), static_cast<int>(cell->len));
    return;
  }
  exp_symval_settext(engine_, cell, v.c_str());
}

void Session::read_outputs() {
  for (size_t i = 0; i < outputs_.size(); ++i) {
    const exp_symval *c = outputs_[i].is_result ? result_ : outputs_[i].cell;
    if (!c || EXP_IS_NULL(c)) {
      kinds_[i] = RecordWriter::Kind::Null;
      values_[i] = {};
      continue;
    }
    int type = EXP_TYPE(c);
    std::string &buf = text_[i];
    if (buf.size() < 64) buf.resize(64);
    int need = exp_symval_to_text(engine_, c, buf.data(), buf.size());
    if (need >= 0 && static_cast<size_t>(need) >= buf.size()) {
      buf.resize(static_cast<size_t>(need) + 1);
      need = exp_symval_to_text(engine_, c, buf.data(), buf.size());
    }
    if (need < 0) {
      kinds_[i] = RecordWriter::Kind::Null;
      values_[i] = {};
      continue;
    }
    values_[i] = std::string_view(buf.data(), static_cast<size_t>(need));
    kinds_[i] = type == EXP_INTEGER || type == EXP_REAL ? RecordWriter::Kind::Number
                : type == EXP_BOOLEAN                   ? RecordWriter::Kind::Boolean
                                                        : RecordWriter::Kind::Text;
  }
}

void Session::null_result() {
  for (size_t i = 0; i < outputs_.size(); ++i)
    if (outputs_[i].is_result) kinds_[i] = RecordWriter::Kind::Null;
}

int Session::run(const Record &r, Failure *f) {
  for (size_t i = 0; i < cells_.size(); ++i) set_field(i, r);
  if (options_->timeout > 0)
    deadline_ = std::chrono::steady_clock::now() +
                std::chrono::duration_cast<std::chrono::steady_clock::duration>(std::chrono::duration<double>(options_->timeout));
  int rc = exp_execute(engine_, program_, &result_);
  if (rc) {
    read_failure(engine_, rc, f);
    f->line = f->column = 0;
    exp_run_position(program_, &f->line, &f->column);
    result_ = nullptr;
    read_outputs();
    return rc;
  }
  read_outputs();
  return 0;
}

std::vector<int> infer_types(const std::vector<std::string> &columns, const std::vector<Record> &sample) {
  std::vector<int> types(columns.size(), EXP_STRING);
  exp_engine *e = exp_init();
  if (!e) return types;
  exp_symval *v = nullptr, *probe[6] = {};
  exp_add_symbol(e, "v", EXP_STRING, 1 << 16, 0, &v);
  static const char *const kProbeNames[] = {"", "b", "i", "r", "", "d"};
  for (int t : {EXP_BOOLEAN, EXP_INTEGER, EXP_REAL, EXP_DATE}) exp_add_symbol(e, kProbeNames[t], t, 0, 0, &probe[t]);
  exp_pcode *p = nullptr;
  if (v && exp_make_pcode(e, "determine_type(v)", &p, EXP_STRING, 16, 0, nullptr) == 0) {
    for (size_t c = 0; c < columns.size(); ++c) {
      int type = 0;  // 0 = nothing seen yet
      for (const Record &r : sample) {
        if (c >= r.fields.size() || r.null[c] || r.fields[c].empty()) continue;
        exp_symval_setstr(v, r.fields[c].c_str());
        exp_symval *res = nullptr;
        if (exp_execute(e, p, &res) != 0 || EXP_IS_NULL(res)) { type = EXP_STRING; break; }
        int t = type_code(res->value.s);
        if (t == 0 || t == EXP_STRING) { type = EXP_STRING; break; }
        if (exp_symval_settext(e, probe[t], r.fields[c].c_str()) != 0) { type = EXP_STRING; break; }
        if (type == 0) type = t;
        else if ((type == EXP_INTEGER && t == EXP_REAL) || (type == EXP_REAL && t == EXP_INTEGER)) type = EXP_REAL;
        else if (type != t) { type = EXP_STRING; break; }
      }
      types[c] = type == 0 ? EXP_STRING : type;
    }
    exp_free_pcode(e, p);
  }
  exp_clean(e);
  return types;
}
