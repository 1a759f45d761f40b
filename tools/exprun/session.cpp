// Engine set-up and per-record runs for exprun, on the public ABI only.
#include "session.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <unordered_map>
#include <unordered_set>

#include "date_text.h"
#include "host_functions.h"

namespace {

std::atomic<bool> g_stop{false};
constexpr int kInitialStringLimit = 255;
constexpr int kResultLimit = 65535;
constexpr size_t kMaxStringLimit = 536870911;  // the library's largest string limit

const char *type_name(int type) {
  static const char *const kNames[] = {"?", "boolean", "integer", "real", "string", "date", "pointer", "object"};
  return kNames[type & 7];
}

// A global the program declared (columns are host symbols, so they are not among them).
bool is_program_variable(exp_engine *e, int index, std::string *name) {
  const char *n = nullptr;
  exp_symval *cell = nullptr;
  if (exp_symbol_name_get(e, index, &n) || exp_symbol_get(e, index, &cell)) return false;
  if (cell->flags & (EXP_HOSTSYM | EXP_HIDDEN)) return false;
  *name = n;
  return true;
}

// The value as it may be shown in a message: at most 60 characters, control bytes escaped.
std::string shown(const std::string &v) {
  std::string s;
  for (size_t i = 0; i < v.size() && s.size() < 60; ++i) {
    unsigned char c = static_cast<unsigned char>(v[i]);
    if (c < 0x20) {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\x%02x", c);
      s += buf;
    } else {
      s.push_back(static_cast<char>(c));
    }
  }
  if (s.size() >= 60) s += "...";
  return s;
}

// Built-ins whose effects reach from one record into the next (counters, globals by name,
// files written in record order): a program calling them runs on one worker.
constexpr const char *kOrderedCalls[] = {"uniqueid", "varset", "vareval", "file_open", "file_writeline",
                                         "file_writebytes"};

void collect_dump(const char *text, void *user) { static_cast<std::string *>(user)->append(text); }

// Whether `word` occurs in `text` as a whole word (not inside a longer name).
bool has_word(const std::string &text, const std::string &word) {
  auto ident = [](char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '_'; };
  for (size_t at = text.find(word); at != std::string::npos; at = text.find(word, at + 1)) {
    bool left = at == 0 || !ident(text[at - 1]);
    bool right = at + word.size() >= text.size() || !ident(text[at + word.size()]);
    if (left && right) return true;
  }
  return false;
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
  if (s && s->options_->timeout > 0 && std::chrono::steady_clock::now() > s->deadline_) {
    s->timed_out_ = true;
    return 1;
  }
  return 0;
}

exp_engine *new_engine(const Options &o) { return exp_init_ex(o.user_settings ? 0 : EXP_INIT_NO_USER_SETTINGS); }

int setup_engine(exp_engine *e, const Options &o) {
  exp_set_option(e, "DATE_ISO8601", "1");
  exp_set_option(e, "CHILD_STDOUT", "stderr");  // a child's output must not mix with the records
  int rc = exp_set_capabilities(e, default_capabilities() | o.allow);
  if (!rc) rc = exp_set_limit(e, EXP_LIMIT_MEMORY, o.max_memory);
  if (!rc && o.max_steps) rc = exp_set_limit(e, EXP_LIMIT_STEPS, o.max_steps);
  if (!rc) rc = register_host_functions(e);
  return rc == 4 ? 0 : rc;  // 4: a clone has the functions already
}

bool Session::configure(Failure *f) {
  exp_set_callback_data(engine_, this);
  exp_set_interrupt_hndlr(engine_, interrupt);
  int rc = setup_engine(engine_, *options_);
  if (rc) read_failure(engine_, rc, f);
  return rc == 0;
}

bool Session::bind(const std::vector<std::string> &columns, const std::vector<int> &types, Failure *f) {
  column_names_ = columns;
  column_types_ = types;
  cells_.reserve(columns.size());
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
  snapshots_.assign(columns.size(), Snapshot{});
  return true;
}

std::unique_ptr<Session> Session::open(const Options &o, const std::vector<std::string> &columns,
                                       const std::vector<int> &types, Failure *f, std::vector<std::string> *notices) {
  std::unique_ptr<Session> s(new Session());
  s->options_ = &o;
  s->engine_ = new_engine(o);
  if (!s->engine_) {
    f->code = 1;
    f->message = "cannot create an engine";
    return nullptr;
  }
  if (!s->configure(f) || !s->bind(columns, types, f)) return nullptr;
  int type = o.filter ? EXP_BOOLEAN : o.result_type;
  int limit = type == EXP_STRING ? kResultLimit : 0;
  int rc = exp_make_pcode(s->engine_, o.program.c_str(), &s->program_, type, limit, 0, nullptr);
  if (rc) {
    read_failure(s->engine_, rc, f);
    return nullptr;
  }
  if (o.verbose)
    notices->push_back("capabilities 0x" + [&] {
      char buf[16];
      std::snprintf(buf, sizeof buf, "%02x", exp_get_capabilities(s->engine_));
      return std::string(buf);
    }() + ", memory limit " + std::to_string(exp_get_limit(s->engine_, EXP_LIMIT_MEMORY)) + " bytes, step limit " +
                       std::to_string(exp_get_limit(s->engine_, EXP_LIMIT_STEPS)));
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
  if (!s->configure(f) || !s->bind(column_names_, column_types_, f)) return nullptr;
  int rc = exp_copy_pcode(engine_, s->engine_, program_, &s->program_);
  if (rc) {
    read_failure(s->engine_, rc, f);
    return nullptr;
  }
  s->outputs_ = outputs_;
  for (OutputColumn &c : s->outputs_)
    if (c.cell) c.cell = c.column >= 0 ? s->cells_[static_cast<size_t>(c.column)] : exp_symbol_get_by_name(s->engine_, c.name.c_str());
  s->text_.resize(outputs_.size());
  s->values_.resize(outputs_.size());
  s->kinds_.resize(outputs_.size());
  return s;
}

bool Session::keeps_state(std::string *why) const {
  for (int i = 0, n = exp_symbol_count(engine_); i < n; ++i) {
    exp_symval *cell = nullptr;
    const char *name = nullptr;
    if (exp_symbol_get(engine_, i, &cell) || exp_symbol_name_get(engine_, i, &name)) continue;
    if ((cell->flags & EXP_STATIC) && !(cell->flags & EXP_HOSTSYM)) {
      *why = std::string("the program declares the static variable '") + name + "'";
      return true;
    }
  }
  if (has_word(options_->program, "static")) {
    *why = "the program declares a static variable";
    return true;
  }
  std::string dump;
  exp_dump_pcode(engine_, program_, collect_dump, &dump);
  for (const char *call : kOrderedCalls)
    if (has_word(dump, call)) {
      *why = std::string("the program calls ") + call + ", whose effects depend on the order of records";
      return true;
    }
  return false;
}

bool Session::choose_outputs(const Options &o, std::string *error, std::vector<std::string> *notices) {
  outputs_.clear();
  std::unordered_map<std::string_view, int> by_name;
  for (size_t i = 0; i < column_names_.size(); ++i) by_name.emplace(column_names_[i], static_cast<int>(i));
  auto column_index = [&](const std::string &name) {
    auto it = by_name.find(name);
    return it == by_name.end() ? -1 : it->second;
  };
  std::string result_name = o.result_name;
  if (column_index(result_name) >= 0 || exp_symbol_get_by_name(engine_, result_name.c_str())) {
    // The input has a column of that name (for instance exprun's own output read back).
    int n = 2;
    while (column_index(o.result_name + "_" + std::to_string(n)) >= 0 ||
           exp_symbol_get_by_name(engine_, (o.result_name + "_" + std::to_string(n)).c_str()))
      ++n;
    result_name = o.result_name + "_" + std::to_string(n);
    if (o.result && !o.filter)
      notices->push_back("the input has a column '" + o.result_name + "'; the result is written as '" + result_name + "'");
  }
  const bool write_result = o.result && !o.filter;
  auto add_named = [&](const std::string &name) {
    if (name == "*") {
      for (size_t i = 0; i < column_names_.size(); ++i) outputs_.push_back({column_names_[i], cells_[i], false, static_cast<int>(i)});
      return true;
    }
    if (name == result_name || (name == o.result_name && result_name == o.result_name)) {
      outputs_.push_back({result_name, nullptr, true, -1});
      return true;
    }
    int ci = column_index(name);
    if (ci >= 0) {
      outputs_.push_back({name, cells_[static_cast<size_t>(ci)], false, ci});
      return true;
    }
    exp_symval *cell = exp_symbol_get_by_name(engine_, name.c_str());
    if (!cell) {
      *error = "--output names '" + name + "', which is neither a column, the result nor a variable of the program";
      return false;
    }
    outputs_.push_back({name, cell, false, -1});
    return true;
  };
  if (!o.output.empty()) {
    for (const std::string &name : o.output)
      if (!add_named(name)) return false;
  } else {
    add_named("*");
    if (write_result) outputs_.push_back({result_name, nullptr, true, -1});
    std::string name;
    for (int i = 0, n = exp_symbol_count(engine_); i < n; ++i)
      if (is_program_variable(engine_, i, &name))
        outputs_.push_back({name, exp_symbol_get_by_name(engine_, name.c_str()), false, -1});
  }
  for (const std::string &name : o.exclude) {
    auto it = std::remove_if(outputs_.begin(), outputs_.end(), [&](const OutputColumn &c) { return c.name == name; });
    if (it == outputs_.end()) notices->push_back("--exclude names '" + name + "', which is not written anyway");
    outputs_.erase(it, outputs_.end());
  }
  std::unordered_set<std::string_view> seen;
  for (const OutputColumn &c : outputs_)
    if (!seen.insert(c.name).second) {
      *error = "the output would have two columns named '" + c.name + "'";
      return false;
    }
  text_.resize(outputs_.size());
  values_.resize(outputs_.size());
  kinds_.resize(outputs_.size());
  return true;
}

// Writes one field into its column's cell. A value is given whole or not at all: one that holds
// a NUL byte, is too long for a cell, or does not convert to the column's type is refused (*why).
bool Session::set_field(size_t i, const Record &r, std::string *why) {
  exp_symval *cell = cells_[i];
  Snapshot &snap = snapshots_[i];
  const std::string &v = r.fields[i];
  if (r.kinds[i] == FieldKind::Null || (v.empty() && column_types_[i] != EXP_STRING)) {
    exp_symval_setnull(cell);
  } else if (std::memchr(v.data(), '\0', v.size())) {
    *why = "holds a NUL byte, which a value cannot carry";
    return false;
  } else if (column_types_[i] == EXP_STRING) {
    if (v.size() > cell->len) {
      if (v.size() > kMaxStringLimit || exp_symval_str_resize(cell, static_cast<int>(v.size())) != 0) {
        *why = "is " + std::to_string(v.size()) + " bytes long, more than a value can hold here (see --max-memory)";
        return false;
      }
    }
    exp_symval_setstrn(cell, v.c_str(), static_cast<int>(cell->len));
  } else if (exp_symval_settext(engine_, cell, v.c_str()) != 0) {
    *why = std::string("is not a") + (column_types_[i] == EXP_INTEGER ? "n " : " ") + type_name(column_types_[i]) +
           " (declare --field " + column_names_[i] + ":string to keep the column as text)";
    return false;
  }
  snap.flags = cell->flags;
  if (column_types_[i] != EXP_STRING) std::memcpy(&snap.value, &cell->value, sizeof snap.value);
  return true;
}

// Whether column i still holds what binding put there: then the output repeats the input text.
bool Session::unchanged(size_t i, const Record &r) const {
  const exp_symval *cell = cells_[i];
  const Snapshot &snap = snapshots_[i];
  if (cell->flags != snap.flags) return false;
  if (EXP_IS_NULL(cell)) return true;
  if (column_types_[i] != EXP_STRING) return std::memcmp(&snap.value, &cell->value, sizeof snap.value) == 0;
  const std::string &v = r.fields[i];
  return std::memcmp(cell->value.s, v.data(), v.size()) == 0 && cell->value.s[v.size()] == '\0';
}

// Formats the cell of output i into text_[i]: dates as ISO 8601 (or --date-format), the rest by
// the library's conversion to text.
void Session::format_cell(size_t i, const exp_symval *c, bool with_time) {
  std::string &buf = text_[i];
  int type = EXP_TYPE(c);
  RecordWriter::Kind kind = type == EXP_INTEGER || type == EXP_REAL ? RecordWriter::Kind::Number
                            : type == EXP_BOOLEAN                   ? RecordWriter::Kind::Boolean
                                                                    : RecordWriter::Kind::Text;
  double days;
  if (type == EXP_DATE && (exp_symval_getdbl(c, &days), true) &&
      (options_->date_format.empty() ? iso_date_text(days, with_time, &buf)
                                     : pattern_date_text(days, options_->date_format, &buf))) {
    values_[i] = buf;
    kinds_[i] = kind;
    return;
  }
  if (buf.size() < 64) buf.resize(64);
  int need = exp_symval_to_text(engine_, c, buf.data(), buf.size());
  if (need >= 0 && static_cast<size_t>(need) >= buf.size()) {
    buf.resize(static_cast<size_t>(need) + 1);
    need = exp_symval_to_text(engine_, c, buf.data(), buf.size());
  }
  if (need < 0) {
    kinds_[i] = RecordWriter::Kind::Null;
    values_[i] = {};
    return;
  }
  values_[i] = std::string_view(buf.data(), static_cast<size_t>(need));
  kinds_[i] = kind;
}

// How field ci of the record is written when it passes through: as it was read, typed for JSON
// output by its column's type when the text has the JSON form of that type.
RecordWriter::Kind Session::kind_as_read(size_t ci, const Record &r) const {
  using Kind = RecordWriter::Kind;
  if (r.kinds[ci] == FieldKind::Null) return Kind::Null;
  if (r.kinds[ci] == FieldKind::Json) return Kind::Json;
  const std::string &v = r.fields[ci];
  switch (column_types_[ci]) {
    case EXP_STRING: return Kind::Text;
    case EXP_INTEGER:
    case EXP_REAL: return v.empty() ? Kind::Null : Kind::Number;
    case EXP_BOOLEAN: return v.empty() ? Kind::Null : v == "true" || v == "false" ? Kind::Boolean : Kind::Text;
    default: return v.empty() ? Kind::Null : Kind::Text;
  }
}

void Session::read_outputs(const Record &r, bool null_result, bool input_error) {
  for (size_t i = 0; i < outputs_.size(); ++i) {
    const OutputColumn &out = outputs_[i];
    if (out.column >= 0) {
      auto ci = static_cast<size_t>(out.column);
      if (input_error || unchanged(ci, r)) {
        values_[i] = r.fields[ci];
        kinds_[i] = kind_as_read(ci, r);
        continue;
      }
    }
    const exp_symval *c = out.is_result ? result_ : out.cell;
    if (!c || EXP_IS_NULL(c) || (null_result && out.column < 0)) {
      kinds_[i] = RecordWriter::Kind::Null;
      values_[i] = {};
      continue;
    }
    // A date column keeps its time of day when its input had one.
    bool with_time = out.column >= 0 && r.fields[static_cast<size_t>(out.column)].find(':') != std::string::npos;
    format_cell(i, c, with_time);
  }
}

Outcome Session::run(const Record &r, Failure *f) {
  if (!r.unreadable.empty()) {
    *f = Failure{0, r.unreadable, 0, 0};
    result_ = nullptr;
    return Outcome::InputError;
  }
  for (size_t i = 0; i < cells_.size(); ++i) {
    std::string why;
    if (!set_field(i, r, &why)) {
      f->code = 0;
      f->line = f->column = 0;
      f->message = "column '" + column_names_[i] + "': '" + shown(r.fields[i]) + "' " + why;
      result_ = nullptr;
      return Outcome::InputError;
    }
  }
  if (options_->timeout > 0)
    deadline_ = std::chrono::steady_clock::now() +
                std::chrono::duration_cast<std::chrono::steady_clock::duration>(std::chrono::duration<double>(options_->timeout));
  timed_out_ = false;
  int rc = exp_execute(engine_, program_, &result_);
  if (rc) {
    read_failure(engine_, rc, f);
    if (timed_out_) {
      char buf[64];
      std::snprintf(buf, sizeof buf, "time limit of %g s reached (--timeout)", options_->timeout);
      f->message = buf;
    }
    f->line = f->column = 0;
    exp_run_position(program_, &f->line, &f->column);
    result_ = nullptr;
    return Outcome::RunError;
  }
  if (options_->filter && (!result_ || EXP_IS_NULL(result_) || result_->value.i == 0)) return Outcome::Filtered;
  return Outcome::Ok;
}

std::vector<int> infer_types(const std::vector<std::string> &columns, const std::vector<Record> &sample, bool integers) {
  std::vector<int> types(columns.size(), EXP_STRING);
  exp_engine *e = exp_init_ex(EXP_INIT_NO_USER_SETTINGS);
  if (!e) return types;
  exp_set_option(e, "DATE_ISO8601", "1");
  exp_symval *v = nullptr, *probe[6] = {};
  exp_add_symbol(e, "v", EXP_STRING, 1 << 16, 0, &v);
  static const char *const kProbeNames[] = {"", "b", "i", "r", "", "d"};
  for (int t : {EXP_BOOLEAN, EXP_INTEGER, EXP_REAL, EXP_DATE}) exp_add_symbol(e, kProbeNames[t], t, 0, 0, &probe[t]);
  exp_pcode *p = nullptr;
  if (v && exp_make_pcode(e, "determine_type(v)", &p, EXP_STRING, 16, 0, nullptr) == 0) {
    for (size_t c = 0; c < columns.size(); ++c) {
      int type = 0;  // 0 = nothing seen yet
      for (const Record &r : sample) {
        if (c >= r.fields.size() || r.kinds[c] == FieldKind::Null || r.fields[c].empty()) continue;
        const std::string &text = r.fields[c];
        if (text.size() >= (1u << 16) || std::memchr(text.data(), '\0', text.size())) { type = EXP_STRING; break; }
        exp_symval_setstr(v, text.c_str());
        exp_symval *res = nullptr;
        if (exp_execute(e, p, &res) != 0 || EXP_IS_NULL(res)) { type = EXP_STRING; break; }
        int t = type_code(res->value.s);
        if (t == 0 || t == EXP_STRING) { type = EXP_STRING; break; }
        if (exp_symval_settext(e, probe[t], text.c_str()) != 0) { type = EXP_STRING; break; }
        if (type == 0) type = t;
        else if ((type == EXP_INTEGER && t == EXP_REAL) || (type == EXP_REAL && t == EXP_INTEGER)) type = EXP_REAL;
        else if (type != t) { type = EXP_STRING; break; }
      }
      // Exact decimals hold whole numbers exactly and divide as people expect; integer typing
      // (and its integer division) is asked for.
      if (type == EXP_INTEGER && !integers) type = EXP_REAL;
      types[c] = type == 0 ? EXP_STRING : type;
    }
    exp_free_pcode(e, p);
  }
  exp_clean(e);
  return types;
}

bool compile_alone(const Options &o, const std::function<void(exp_engine *, exp_pcode *)> &use, Failure *f) {
  exp_engine *e = new_engine(o);
  if (!e) {
    *f = Failure{1, "cannot create an engine", 0, 0};
    return false;
  }
  int rc = setup_engine(e, o);
  // Names the program uses but nobody declared are bound as columns: strings, or as --field says.
  if (!rc) exp_determine_symbols(e, o.program.c_str());  // its errors show when compiling
  std::vector<std::string> names;
  const char *name;
  while (!rc && exp_get_next_req_symbol(e, &name)) names.push_back(name);
  for (const std::string &n : names) {
    int type = EXP_STRING;
    for (const FieldType &ft : o.fields)
      if (ft.name == n) type = ft.type;
    exp_add_symbol(e, n.c_str(), type, kInitialStringLimit, 0, nullptr);
  }
  exp_pcode *p = nullptr;
  int type = o.filter ? EXP_BOOLEAN : o.result_type;
  if (!rc) rc = exp_make_pcode(e, o.program.c_str(), &p, type, type == EXP_STRING ? kResultLimit : 0, 0, nullptr);
  if (rc) {
    read_failure(e, rc, f);
  } else {
    use(e, p);
    exp_free_pcode(e, p);
  }
  exp_clean(e);
  return rc == 0;
}
