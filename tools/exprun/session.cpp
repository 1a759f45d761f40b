// Engine set-up and per-record runs for exprun, on the public ABI only.
#include "session.h"

#include <algorithm>
#include <atomic>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <unordered_map>
#include <unordered_set>

#include "date_text.h"
#include "host_functions.h"
#include "json.h"
#include "user_functions.h"

namespace {

std::atomic<bool> g_stop{false};
constexpr int kInitialStringLimit = 255;
constexpr int kResultLimit = 65535;

// A global the program declared (columns are host symbols, so they are not among them) that is
// written out: one of a plain type (objects such as arrays have no text) and not hidden.
bool is_program_variable(exp_engine *e, int index, std::string *name) {
  const char *n = nullptr;
  exp_symval *cell = nullptr;
  if (exp_symbol_name_get(e, index, &n) || exp_symbol_get(e, index, &cell)) return false;
  if (cell->flags & (EXP_HOSTSYM | EXP_HIDDEN)) return false;
  if (EXP_TYPE(cell) < EXP_BOOLEAN || EXP_TYPE(cell) > EXP_DATE) return false;
  *name = n;
  return true;
}

}  // namespace

std::string shown(std::string_view v) {
  std::string s;
  size_t i = 0;
  while (i < v.size() && s.size() < 60) {
    auto c = static_cast<unsigned char>(v[i]);
    size_t len = c < 0x80 ? 1 : c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC2 ? 2 : 0;
    if (c < 0x20 || c == 0x7F || len == 0 || i + len > v.size() || (len > 1 && !valid_utf8(v.substr(i, len)))) {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\x%02x", c);
      s += buf;
      ++i;
      continue;
    }
    s.append(v.substr(i, len));
    i += len;
  }
  if (i < v.size()) s += "...";
  return s;
}

namespace {

// A size in bytes for messages: "80 MB".
std::string size_text(int64_t bytes) {
  static const char *const kUnits[] = {"bytes", "KB", "MB", "GB", "TB"};
  double v = static_cast<double>(bytes);
  int u = 0;
  while (v >= 1024 && u < 4) v /= 1024, ++u;
  char buf[32];
  std::snprintf(buf, sizeof buf, u == 0 ? "%.0f %s" : "%.1f %s", v, kUnits[u]);
  return buf;
}

// The character count the library gives `v`: a byte that does not start a well-formed character
// counts as one. At most v.size().
size_t char_count(std::string_view v) {
  size_t n = 0;
  for (size_t i = 0; i < v.size(); ++n) {
    auto c = static_cast<unsigned char>(v[i]);
    size_t len = c < 0x80 ? 1 : c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC2 ? 2 : 1;
    i += len > 1 && i + len <= v.size() && valid_utf8(v.substr(i, len)) ? len : 1;
  }
  return n;
}

// A whole number as written plainly (an optional sign, digits), into *out.
bool parse_integer(const std::string &v, int64_t *out) {
  const char *p = v.data(), *end = p + v.size();
  if (p < end && *p == '+' && p + 1 < end && p[1] != '-') ++p;
  auto [stop, ec] = std::from_chars(p, end, *out);
  return ec == std::errc() && stop == end;
}

const char *kind_word(FieldKind k) {
  switch (k) {
    case FieldKind::Quoted: return "string";
    case FieldKind::Number: return "number";
    case FieldKind::Boolean: return "boolean";
    case FieldKind::Nested: return "array or object";
    default: return "text";
  }
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

HostState *host_state(exp_engine *e) {
  auto *s = static_cast<Session *>(exp_get_callback_data(e));
  return s ? s->host_state() : nullptr;
}

Session::~Session() {
  if (end_program_) exp_free_pcode(engine_, end_program_);  // first: it uses the program's globals
  if (program_) exp_free_pcode(engine_, program_);
  free_functions(engine_, &functions_);
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
  if (o.escaped_strings) exp_set_option(e, "ESCAPED_STRING", "1");
  int rc = exp_set_capabilities(e, default_capabilities() | o.allow);
  if (!rc) rc = exp_set_limit(e, EXP_LIMIT_MEMORY, o.max_memory);
  if (!rc && o.max_steps) rc = exp_set_limit(e, EXP_LIMIT_STEPS, o.max_steps);
  if (!rc) rc = register_host_functions(e);
  if (rc == EXP_E_FUNCTION_EXISTS) rc = 0;  // a clone has the functions already
  for (const std::string &name : o.output)
    if (!rc) rc = exp_mark_output(e, name.c_str());
  return rc;
}

bool Session::configure(Failure *f) {
  host_state_.tables = options_->tables.get();
  exp_set_callback_data(engine_, this);
  exp_set_interrupt_hndlr(engine_, interrupt);
  int rc = setup_engine(engine_, *options_);
  if (rc) read_failure(engine_, rc, f);
  return rc == 0;
}

// Binds the columns the plan binds. A column whose name cannot be a symbol (an empty JSON key)
// stays unbound and passes through: a program cannot name it anyway.
bool Session::bind(const std::vector<std::string> &columns, const ColumnPlan &plan, Failure *) {
  column_names_ = columns;
  plan_ = plan;
  cells_.assign(columns.size(), nullptr);
  bound_.clear();
  field_bytes_ = 0;
  for (size_t i = 0; i < columns.size(); ++i) {
    if (!plan.bound[i]) continue;
    exp_symval *cell = nullptr;
    if (exp_add_symbol(engine_, columns[i].c_str(), plan.types[i], kInitialStringLimit, 0, &cell) != 0) continue;
    cells_[i] = cell;
    bound_.push_back(i);
    if (plan.types[i] == EXP_STRING) field_bytes_ += int64_t{kInitialStringLimit} * 4 + 1;
  }
  snapshots_.assign(columns.size(), Snapshot{});
  pattern_time_ = pattern_has_time(options_->date_format);
  return true;
}

// The string cells the program may write: its own string variables, the bound string columns
// and a string result.
void Session::watch_cuts() {
  watches_.clear();
  for (int i = 0, n = exp_symbol_count(engine_); i < n; ++i) {
    exp_symval *cell = nullptr;
    const char *name = nullptr;
    if (exp_symbol_get(engine_, i, &cell) || exp_symbol_name_get(engine_, i, &name)) continue;
    if (EXP_TYPE(cell) == EXP_STRING && !(cell->flags & EXP_HOSTSYM))
      watches_.push_back({name, cell, CutWatch::What::Variable, cell->len});
  }
  for (size_t i : bound_)
    if (plan_.types[i] == EXP_STRING) watches_.push_back({column_names_[i], cells_[i], CutWatch::What::Column, 0});
  if ((options_->filter ? EXP_BOOLEAN : options_->result_type) == EXP_STRING)
    watches_.push_back({options_->result_name, nullptr, CutWatch::What::Result, kResultLimit});
  cuts_.assign(watches_.size(), 0);
}

std::unique_ptr<Session> Session::open(const Options &o, const std::vector<std::string> &columns,
                                       const ColumnPlan &plan, Failure *f, std::vector<std::string> *notices) {
  std::unique_ptr<Session> s(new Session());
  s->options_ = &o;
  s->engine_ = new_engine(o);
  if (!s->engine_) {
    f->code = 1;
    f->message = "cannot create an engine";
    return nullptr;
  }
  if (!s->configure(f) || !s->bind(columns, plan, f)) return nullptr;
  if (!compile_functions(s->engine_, o, false, &s->functions_, f)) return nullptr;
  int type = o.filter ? EXP_BOOLEAN : o.result_type;
  int limit = type == EXP_STRING ? kResultLimit : 0;
  int rc = exp_make_pcode(s->engine_, o.program.c_str(), &s->program_, type, limit, 0, nullptr);
  if (rc) {
    read_failure(s->engine_, rc, f);
    return nullptr;
  }
  if (!s->compile_end(f)) return nullptr;
  s->watch_cuts();
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
  if (!s->configure(f) || !s->bind(column_names_, plan_, f)) return nullptr;
  if (!copy_functions(engine_, s->engine_, functions_, &s->functions_, f)) return nullptr;
  int rc = exp_copy_pcode(engine_, s->engine_, program_, &s->program_);
  if (!rc && end_program_) rc = exp_copy_pcode(engine_, s->engine_, end_program_, &s->end_program_);
  s->end_symbols_from_ = end_symbols_from_;
  if (rc) {
    read_failure(s->engine_, rc, f);
    return nullptr;
  }
  s->watch_cuts();
  s->outputs_ = outputs_;
  for (OutputColumn &c : s->outputs_)
    if (c.cell) c.cell = c.column >= 0 ? s->cells_[static_cast<size_t>(c.column)] : exp_symbol_get_by_name(s->engine_, c.name.c_str());
  s->text_.resize(outputs_.size());
  s->values_.resize(outputs_.size());
  s->kinds_.resize(outputs_.size());
  return s;
}

bool Session::compile_end(Failure *f) {
  end_symbols_from_ = exp_symbol_count(engine_);
  if (options_->end_program.empty()) return true;
  // Its result is not written: a short string result will do.
  if (int rc = exp_make_pcode(engine_, options_->end_program.c_str(), &end_program_, EXP_STRING, kInitialStringLimit, 0, nullptr)) {
    read_failure(engine_, rc, f);
    f->message = "--end: " + f->message;
    return false;
  }
  return true;
}

void Session::set_outputs(std::vector<OutputColumn> outputs) {
  outputs_ = std::move(outputs);
  text_.resize(outputs_.size());
  values_.resize(outputs_.size());
  kinds_.resize(outputs_.size());
}

bool Session::keeps_state(std::string *why) const {
  if (!(exp_pcode_traits(program_) & EXP_TRAIT_KEEPS_STATE)) return false;
  // Name a static global when there is one: the commonest reason, and the one a user can see.
  for (int i = 0, n = exp_symbol_count(engine_); i < n; ++i) {
    exp_symval *cell = nullptr;
    const char *name = nullptr;
    if (exp_symbol_get(engine_, i, &cell) || exp_symbol_name_get(engine_, i, &name)) continue;
    if ((cell->flags & EXP_STATIC) && !(cell->flags & EXP_HOSTSYM)) {
      *why = std::string("the program declares the static variable '") + name + "'";
      return true;
    }
  }
  if (order_bound(why)) return true;
  *why = "a function the program calls declares a static variable";
  return true;
}

bool Session::order_bound(std::string *why) const {
  for (exp_pcode *p : {program_, end_program_})
    if (exp_pcode_traits(p) & EXP_TRAIT_ORDER_BOUND) {
      *why = std::string(p == program_ ? "the program" : "the --end program") +
             " calls uniqueid, varset or vareval or writes a file, whose effects depend on the order of all records";
      return true;
    }
  return false;
}

bool Session::choose_outputs(const Options &o, bool input_text, std::string *error, std::vector<std::string> *notices) {
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
  if (input_text) {
    std::string name = "_input";
    for (int n = 2; column_index(name) >= 0 || exp_symbol_get_by_name(engine_, name.c_str()); ++n)
      name = "_input_" + std::to_string(n);
    outputs_.push_back({name, nullptr, false, -1, true});
  }
  for (const std::string &name : o.exclude) {
    auto it = std::remove_if(outputs_.begin(), outputs_.end(), [&](const OutputColumn &c) { return c.name == name; });
    if (it == outputs_.end()) notices->push_back("--exclude names '" + name + "', which is not written anyway");
    outputs_.erase(it, outputs_.end());
  }
  // A declared variable named like a column (names ignore case) would stand beside the column
  // it seems to assign.
  std::unordered_map<std::string, std::string_view> folded;
  for (const std::string &c : column_names_) folded.emplace(fold_name(c), c);
  for (const OutputColumn &c : outputs_) {
    auto it = c.column < 0 && c.cell ? folded.find(fold_name(c.name)) : folded.end();
    if (it == folded.end()) continue;
    *error = "the program declares '" + c.name + "', which is also the input column '" + std::string(it->second) +
             "': assign the column without declaring it, or declare another name";
    return false;
  }
  // Input columns of one name (a header may repeat a name) pass through side by side; any other
  // name twice would make the output ambiguous.
  std::unordered_map<std::string_view, int> seen;
  for (const OutputColumn &c : outputs_) {
    auto [it, fresh] = seen.emplace(c.name, c.column);
    if (fresh || (c.column >= 0 && it->second >= 0 && c.column != it->second)) continue;
    *error = "the output would have two columns named '" + c.name + "'";
    return false;
  }
  text_.resize(outputs_.size());
  values_.resize(outputs_.size());
  kinds_.resize(outputs_.size());
  return true;
}

bool set_typed_text(exp_engine *e, exp_symval *cell, int type, const std::string &v, const std::string &date_format,
                    std::string *why) {
  switch (type) {
    case EXP_INTEGER: {
      int64_t n;
      if (!parse_integer(v, &n)) {
        *why = "is not an integer";
        return false;
      }
      exp_symval_setint(cell, n);
      return true;
    }
    case EXP_REAL:
      if (!coefficient_fits(v)) {
        *why = "has more than the 52 significant digits a real holds exactly";
        return false;
      }
      if (exp_symval_setreal_text(cell, v.c_str()) != 0) {
        *why = "is not a real";
        return false;
      }
      return true;
    case EXP_DATE: {
      double days;
      if (date_format.empty() ? !parse_iso_date(v, &days) : !parse_date_text(v, date_format, &days)) {
        *why = date_format.empty() ? "is not an ISO 8601 date (YYYY-MM-DD, with hh:mm:ss when it has a time): give the "
                                     "column's form with --date-format, for example --date-format DD.MM.YYYY"
                                   : "does not have the form of --date-format '" + date_format + "'";
        return false;
      }
      exp_symval_setdbl(cell, days);
      return true;
    }
    default:
      if (exp_symval_settext(e, cell, v.c_str()) != 0) {
        *why = std::string("is not a ") + exp_type_name(type);
        return false;
      }
      return true;
  }
}

// Writes one field into its column's cell. A value is given whole and exactly or not at all: one
// that holds a NUL byte, does not fit the memory, has another JSON kind than the column's, or
// does not convert to the column's type is refused (*why).
bool Session::set_field(size_t i, const Record &r, std::string *why) {
  exp_symval *cell = cells_[i];
  const std::string &v = r.fields[i];
  const FieldKind kind = r.kinds[i];
  const int type = plan_.types[i];
  if (type == EXP_STRING && kind != FieldKind::Null) {  // the common case, first
    if (std::memchr(v.data(), '\0', v.size())) {
      *why = "holds a NUL byte, which a value cannot carry";
      return false;
    }
    if (v.size() > cell->len && !fit_string(i, v, why)) return false;
    exp_symval_setstrn(cell, v.c_str(), static_cast<int>(cell->len));
    snapshots_[i].flags = cell->flags;
    return true;
  }
  // Built only for a message: the loop over the fields allocates nothing.
  auto keep_text = [&] { return " (declare --field " + column_names_[i] + ":string to keep the column as text)"; };
  if (kind == FieldKind::Null) {
    exp_symval_setnull(cell);
  } else if (plan_.json_typed[i] && kind != (type == EXP_BOOLEAN ? FieldKind::Boolean : FieldKind::Number)) {
    *why = std::string("is a JSON ") + kind_word(kind) + ", but the column holds JSON " +
           (type == EXP_BOOLEAN ? "booleans" : "numbers") + " in its first records" + keep_text();
    return false;
  } else if (v.empty() && type != EXP_STRING) {
    exp_symval_setnull(cell);
  } else if (std::memchr(v.data(), '\0', v.size())) {
    *why = "holds a NUL byte, which a value cannot carry";
    return false;
  } else if (!set_typed_text(engine_, cell, type, v, options_->date_format, why)) {
    *why += keep_text();
    return false;
  }
  Snapshot &snap = snapshots_[i];
  snap.flags = cell->flags;
  if (type != EXP_STRING) std::memcpy(&snap.value, &cell->value, sizeof snap.value);
  return true;
}

// Makes a string column's cell hold text `v` whole: it grows, within --max-memory, when the
// text has more characters than its limit.
bool Session::fit_string(size_t i, const std::string &v, std::string *why) {
  size_t chars = char_count(v);
  return chars <= cells_[i]->len || grow(i, chars, v.size(), why);
}

// Gives column i's cell room for `chars` characters. The bound fields' buffers and the program's
// values share --max-memory: what the fields take is what the engine may no longer give the
// program.
bool Session::grow(size_t i, size_t chars, size_t bytes, std::string *why) {
  exp_symval *cell = cells_[i];
  const std::string length = "is " + std::to_string(bytes) + " bytes long";
  if (chars > EXP_MAX_STRING) {
    *why = length + ", more than the longest text a value can hold (" + std::to_string(EXP_MAX_STRING) + " characters)";
    return false;
  }
  const int64_t before = int64_t{cell->len} * 4 + 1, after = static_cast<int64_t>(chars) * 4 + 1;
  const int64_t total = field_bytes_ - before + after;
  if (total > options_->max_memory) {
    *why = length + ": as a value it takes " + size_text(after) + ", more than --max-memory allows (" +
           size_text(options_->max_memory) + " per worker for the fields and the program's values)";
    return false;
  }
  if (exp_symval_str_resize(cell, static_cast<int>(chars)) != 0) {
    *why = length + ": the " + size_text(after) + " it takes as a value could not be allocated";
    return false;
  }
  field_bytes_ = total;
  exp_set_limit(engine_, EXP_LIMIT_MEMORY, std::max<int64_t>(1, options_->max_memory - field_bytes_));
  return true;
}

// Whether column i still holds what binding put there: then the output repeats the input text.
bool Session::unchanged(size_t i, const Record &r) const {
  const exp_symval *cell = cells_[i];
  if (!cell) return true;
  const Snapshot &snap = snapshots_[i];
  if (cell->flags != snap.flags) return false;
  if (EXP_IS_NULL(cell)) return true;
  if (plan_.types[i] != EXP_STRING) return std::memcmp(&snap.value, &cell->value, sizeof snap.value) == 0;
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
    if (!options_->date_format.empty() && !pattern_time_ && days != std::floor(days)) ++times_dropped_;
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

// How field ci of the record is written when it passes through: as it was read, JSON values with
// their JSON type; text of delimited input typed for JSON output by its column's type when the
// text has the JSON form of that type.
RecordWriter::Kind Session::kind_as_read(size_t ci, const Record &r) const {
  using Kind = RecordWriter::Kind;
  if (r.kinds[ci] == FieldKind::Null) return Kind::Null;
  if (is_json_literal(r.kinds[ci])) return Kind::Json;
  if (r.kinds[ci] == FieldKind::Quoted) return Kind::Text;
  const std::string &v = r.fields[ci];
  switch (plan_.types[ci]) {
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
    if (out.is_input_text) {
      values_[i] = r.raw;
      kinds_[i] = !r.raw.empty()                            ? RecordWriter::Kind::Text
                  : options_->out_format == Format::Jsonl ? RecordWriter::Kind::Omit
                                                          : RecordWriter::Kind::Null;
      continue;
    }
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

Outcome Session::run_program(exp_pcode *p, const Record &r, Failure *f) {
  if (!r.unreadable.empty()) {
    *f = Failure{0, r.unreadable, 0, 0};
    result_ = nullptr;
    return Outcome::InputError;
  }
  auto input_error = [&](size_t i, const std::string &why) {
    *f = Failure{0, "column '" + column_names_[i] + "': '" + shown(r.fields[i]) + "' " + why, 0, 0};
    result_ = nullptr;
    return Outcome::InputError;
  };
  for (size_t i : bound_) {
    std::string why;
    if (!set_field(i, r, &why)) return input_error(i, why);
  }
  if (options_->timeout > 0)
    deadline_ = std::chrono::steady_clock::now() +
                std::chrono::duration_cast<std::chrono::steady_clock::duration>(std::chrono::duration<double>(options_->timeout));
  timed_out_ = false;
  int rc = exp_execute(engine_, p, &result_);
  if (rc) {
    read_failure(engine_, rc, f);
    if (timed_out_) {
      char buf[64];
      std::snprintf(buf, sizeof buf, "time limit of %g s reached (--timeout)", options_->timeout);
      f->message = buf;
    }
    f->line = f->column = 0;
    exp_run_position(p, &f->line, &f->column);
    result_ = nullptr;
    return Outcome::RunError;
  }
  for (size_t k = 0; k < watches_.size(); ++k) {
    const exp_symval *c = watches_[k].cell ? watches_[k].cell : result_;
    if (c && (c->flags & EXP_CUT)) ++cuts_[k];
  }
  if (p == program_ && options_->filter && (!result_ || EXP_IS_NULL(result_) || result_->value.i == 0)) return Outcome::Filtered;
  return Outcome::Ok;
}

bool compile_alone(const Options &o, const CompiledUse &use, Failure *f) {
  exp_engine *e = new_engine(o);
  if (!e) {
    *f = Failure{1, "cannot create an engine", 0, 0};
    return false;
  }
  int rc = setup_engine(e, o);
  std::vector<exp_pcode *> functions;
  if (rc) {
    read_failure(e, rc, f);
  } else if (!compile_functions(e, o, true, &functions, f)) {
    rc = f->code ? f->code : 1;
  } else {
    // Names the program uses but nobody declared are bound as columns: strings, or as --field says.
    bind_unknown_names(e, o, o.program.c_str());
    exp_pcode *p = nullptr;
    int type = o.filter ? EXP_BOOLEAN : o.result_type;
    rc = exp_make_pcode(e, o.program.c_str(), &p, type, type == EXP_STRING ? kResultLimit : 0, 0, nullptr);
    if (rc) {
      read_failure(e, rc, f);
    } else {
      use(e, p, functions);
      exp_free_pcode(e, p);
    }
  }
  free_functions(e, &functions);
  exp_clean(e);
  return rc == 0;
}
