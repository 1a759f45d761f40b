// Loading and indexing the --lookup tables.
#include "lookups.h"

#include <cstdio>
#include <cstring>
#include <memory>

#include "column_plan.h"
#include "expression.h"
#include "records.h"
#include "session.h"
#include "streams.h"

namespace {

// The longest value a table may hold: what lookup() returns whole.
constexpr size_t kMaxValueChars = 65535;

// A scratch engine holding one cell per type, to check values and write them in their type's text.
class Converter {
 public:
  explicit Converter(const Options &o) : e_(exp_init_ex(EXP_INIT_NO_USER_SETTINGS)), date_format_(o.date_format) {
    if (!e_) return;
    exp_set_option(e_, "DATE_ISO8601", "1");
    static const char *const kNames[] = {"", "b", "i", "r", "", "d"};
    for (int t : {EXP_BOOLEAN, EXP_INTEGER, EXP_REAL, EXP_DATE}) exp_add_symbol(e_, kNames[t], t, 0, 0, &cells_[t]);
  }
  ~Converter() { exp_clean(e_); }
  Converter(const Converter &) = delete;
  Converter &operator=(const Converter &) = delete;
  bool ok() const { return e_ != nullptr; }
  // The text of `value` read as `type`, by the rules of input columns; false with *why when it
  // does not convert.
  bool convert(int type, const std::string &value, std::string *out, std::string *why) {
    exp_symval *c = cells_[type];
    if (!set_typed_text(e_, c, type, value, date_format_, why)) return false;
    *why = "does not convert to its type";
    if (EXP_IS_NULL(c)) return false;
    char buf[128];
    int n = exp_symval_to_text(e_, c, buf, sizeof buf);
    if (n < 0 || static_cast<size_t>(n) >= sizeof buf) return false;
    out->assign(buf, static_cast<size_t>(n));
    return true;
  }

 private:
  exp_engine *e_;
  std::string date_format_;
  exp_symval *cells_[6] = {};
};

}  // namespace

int LookupTable::column(std::string_view name) const {
  auto it = column_index_.find(std::string(name));
  return it == column_index_.end() ? -1 : it->second;
}

long LookupTable::row(std::string_view key) const {
  auto it = rows_.find(key);
  return it == rows_.end() ? -1 : it->second;
}

bool LookupTable::value(long row, int column, std::string_view *text) const {
  size_t i = static_cast<size_t>(row) * columns_.size() + static_cast<size_t>(column);
  if (nulls_[i]) return false;
  *text = std::string_view(data_).substr(offsets_[i], offsets_[i + 1] - offsets_[i]);
  return true;
}

std::string LookupTable::column_list() const {
  std::string s;
  for (const std::string &c : columns_) s += (s.empty() ? "" : ", ") + c;
  return s;
}

const LookupTable *LookupTables::find(std::string_view name) const {
  for (const LookupTable &t : tables)
    if (t.name() == name) return &t;
  return nullptr;
}

std::string LookupTables::names() const {
  std::string s;
  for (const LookupTable &t : tables) s += (s.empty() ? "" : ", ") + t.name();
  return s;
}

bool is_lookup_field(const Options &o, const std::string &name) {
  for (const LookupSpec &l : o.lookups)
    if (name.size() > l.name.size() + 1 && name.compare(0, l.name.size(), l.name) == 0 && name[l.name.size()] == '.')
      return true;
  return false;
}

// Reads one table: its records, their types, and the key index.
class TableLoader {
 public:
  TableLoader(const Options &o, const LookupSpec &spec, Converter &conv) : o_(o), spec_(spec), conv_(conv) {}

  bool load(LookupTable *t, std::string *error) {
    std::string why;
    auto in = InputStream::open(spec_.path, &why);
    if (!in) return fail(error, why);
    ReaderOptions ro = side_file_options(o_, spec_.path);
    RecordReader reader(*in, ro);
    std::vector<std::string> columns;
    if (!reader.start(&columns, &why)) return fail(error, why.empty() ? "the table is empty" : spec_.path + ": " + why);
    t->name_ = spec_.name;
    t->columns_ = columns;
    for (size_t i = 0; i < columns.size(); ++i) t->column_index_.emplace(columns[i], static_cast<int>(i));
    int key = t->column(spec_.key);
    if (key < 0) return fail(error, spec_.path + " has no column '" + spec_.key + "' (columns: " + t->column_list() + ")");
    std::vector<int> types = column_types(*t, reader.window(), ro.format == Format::Jsonl);
    std::vector<uint64_t> lines;
    Record r;
    while (reader.next(&r, &why)) {
      if (!r.unreadable.empty()) return fail(error, spec_.path + ": " + r.unreadable);
      if (!add_row(t, r, types, error)) return false;
      lines.push_back(r.line);
    }
    if (!why.empty()) return fail(error, spec_.path + ": " + why);
    return index(t, static_cast<size_t>(key), lines, error);
  }

 private:
  bool fail(std::string *error, const std::string &why) {
    *error = "--lookup " + spec_.name + ": " + why;
    return false;
  }

  // As --field NAME.col:TYPE says, else as the input's columns are typed by their values (JSON
  // numbers and booleans, --infer).
  std::vector<int> column_types(const LookupTable &t, const std::deque<Record> &window, bool json) {
    std::vector<int> types(t.columns_.size(), EXP_STRING);
    for (size_t c = 0; c < types.size(); ++c) {
      bool json_typed = false, inferred = false;
      types[c] = type_from_values(o_, window, c, json, &json_typed, &inferred);
    }
    for (const FieldType &f : o_.fields) {
      if (f.name.compare(0, spec_.name.size() + 1, spec_.name + ".") != 0) continue;
      int c = t.column(std::string_view(f.name).substr(spec_.name.size() + 1));
      if (c >= 0) types[static_cast<size_t>(c)] = f.type;
      else std::fprintf(stderr, "exprun: warning: --field names '%s', which is not a column of %s\n", f.name.c_str(), spec_.path.c_str());
    }
    return types;
  }

  bool add_row(LookupTable *t, const Record &r, const std::vector<int> &types, std::string *error) {
    std::string text;
    for (size_t c = 0; c < t->columns_.size(); ++c) {
      const std::string &v = r.fields[c];
      bool null = r.kinds[c] == FieldKind::Null || (v.empty() && types[c] != EXP_STRING);
      const std::string *value = &v;
      if (!null && types[c] != EXP_STRING) {
        if (std::string why; !conv_.convert(types[c], v, &text, &why))
          return fail(error, spec_.path + ": line " + std::to_string(r.line) + ": column '" + t->columns_[c] + "': '" +
                                 shown(v) + "' " + why + " (declare --field " + spec_.name + "." + t->columns_[c] +
                                 ":string to keep the column as text)");
        value = &text;
      }
      if (!null && (value->size() > kMaxValueChars * 4 || std::memchr(value->data(), '\0', value->size())))
        return fail(error, spec_.path + ": line " + std::to_string(r.line) + ": column '" + t->columns_[c] +
                               "' holds a value longer than 65535 characters or a NUL byte");
      if (t->offsets_.empty()) t->offsets_.push_back(0);
      if (!null) t->data_ += *value;
      t->offsets_.push_back(t->data_.size());
      t->nulls_.push_back(null);
    }
    return true;
  }

  // Indexes the rows on the key column once every value is in place (views point into the data).
  bool index(LookupTable *t, size_t key, const std::vector<uint64_t> &lines, std::string *error) {
    t->rows_.reserve(lines.size());
    for (size_t row = 0; row < lines.size(); ++row) {
      std::string_view k;
      if (!t->value(static_cast<long>(row), static_cast<int>(key), &k) || k.empty()) continue;  // null keys never match
      auto [it, added] = t->rows_.emplace(k, static_cast<long>(row));
      if (added || o_.lookup_first) continue;
      return fail(error, spec_.path + ": line " + std::to_string(lines[row]) + ": the key '" + shown(k) +
                             "' is already on line " + std::to_string(lines[static_cast<size_t>(it->second)]) +
                             " (--lookup-first keeps the first)");
    }
    return true;
  }

  const Options &o_;
  const LookupSpec &spec_;
  Converter &conv_;
};

bool load_lookup_tables(const Options &o, LookupTables *out, std::string *error) {
  Converter conv(o);
  if (!conv.ok()) {
    *error = "cannot create an engine";
    return false;
  }
  for (const LookupSpec &spec : o.lookups) {
    if (out->find(spec.name)) {
      *error = "--lookup " + spec.name + " is given twice";
      return false;
    }
    out->tables.emplace_back();
    if (!TableLoader(o, spec, conv).load(&out->tables.back(), error)) return false;
  }
  return true;
}
