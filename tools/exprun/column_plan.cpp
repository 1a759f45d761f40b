// Choosing the bound columns and their types: the program's names, --field, JSON kinds, --infer.
#include "column_plan.h"

#include <unicode/uchar.h>
#include <unicode/utf8.h>

#include <cctype>
#include <charconv>
#include <unordered_map>

#include "date_text.h"
#include "diagnostics.h"
#include "expression.h"
#include "lookups.h"
#include "session.h"
#include "user_functions.h"

namespace {

// Built-ins that reach variables by a name made at run time.
constexpr const char *kByNameCalls[] = {"vareval", "varset"};

// Whether `word` occurs in `text` as a whole word.
bool has_word(const std::string &text, std::string_view word) {
  auto ident = [](char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '_'; };
  for (size_t at = text.find(word); at != std::string::npos; at = text.find(word, at + 1))
    if ((at == 0 || !ident(text[at - 1])) && (at + word.size() >= text.size() || !ident(text[at + word.size()])))
      return true;
  return false;
}

bool digit(char c) { return c >= '0' && c <= '9'; }

// A number as people write quantities: -?(0|[1-9][0-9]*)(.[0-9]+)?([eE][+-]?[0-9]+)?. *whole
// says it has neither point nor exponent.
bool plain_number(std::string_view t, bool *whole) {
  size_t i = 0, n = t.size();
  if (i < n && t[i] == '-') ++i;
  if (i >= n || !digit(t[i])) return false;
  if (t[i] == '0' && i + 1 < n && digit(t[i + 1])) return false;  // leading zeros: a code
  while (i < n && digit(t[i])) ++i;
  *whole = i == n;
  if (i < n && t[i] == '.') {
    if (++i >= n || !digit(t[i])) return false;
    while (i < n && digit(t[i])) ++i;
  }
  if (i < n && (t[i] == 'e' || t[i] == 'E')) {
    if (++i < n && (t[i] == '+' || t[i] == '-')) ++i;
    if (i >= n || !digit(t[i])) return false;
    while (i < n && digit(t[i])) ++i;
  }
  return i == n;
}

bool fits_int64(std::string_view t) {
  int64_t v;
  auto [end, ec] = std::from_chars(t.data(), t.data() + t.size(), v);
  return ec == std::errc() && end == t.data() + t.size();
}

bool word_is(std::string_view t, std::string_view w) {
  if (t.size() != w.size()) return false;
  for (size_t i = 0; i < t.size(); ++i)
    if (std::tolower(static_cast<unsigned char>(t[i])) != w[i]) return false;
  return true;
}

// Two kinds of values met in one column give this type (0: nothing met yet).
int merge(int have, int t) {
  if (have == 0 || have == t) return t;
  if ((have == EXP_INTEGER && t == EXP_REAL) || (have == EXP_REAL && t == EXP_INTEGER)) return EXP_REAL;
  return EXP_STRING;
}

// The type of column c from its JSON values: numbers are real (integer when all are whole and
// integers are asked for), true and false boolean, anything else or a mix string. *strings says
// that every value was a JSON string (then --infer may look at the texts).
int json_type(const std::deque<Record> &window, size_t c, bool integers, bool *strings) {
  bool numbers = false, booleans = false, other = false, whole = true;
  *strings = false;
  for (const Record &r : window) {
    if (c >= r.kinds.size() || !r.unreadable.empty()) continue;
    switch (r.kinds[c]) {
      case FieldKind::Null: break;
      case FieldKind::Number: {
        bool w = false;
        numbers = true;
        whole = whole && plain_number(r.fields[c], &w) && w && fits_int64(r.fields[c]);
        break;
      }
      case FieldKind::Boolean: booleans = true; break;
      case FieldKind::Quoted: *strings = true; break;
      default: other = true; break;
    }
  }
  if (numbers + booleans + *strings + other != 1) {
    *strings = false;
    return EXP_STRING;
  }
  if (numbers) return integers && whole ? EXP_INTEGER : EXP_REAL;
  return booleans ? EXP_BOOLEAN : EXP_STRING;
}

// The type --infer gives column c from the texts of the window.
int inferred_type(const std::deque<Record> &window, size_t c, const Options &o) {
  int type = 0;
  for (const Record &r : window) {
    if (c >= r.kinds.size() || !r.unreadable.empty() || r.kinds[c] == FieldKind::Null || r.fields[c].empty()) continue;
    type = merge(type, classify_text(r.fields[c], o.date_format));
    if (type == EXP_STRING) break;
  }
  // Exact decimals hold whole numbers exactly and divide as people expect; integer typing (and
  // its integer division) is asked for. A column blank in the sample stays a string.
  if (type == EXP_INTEGER && !o.infer_integers) type = EXP_REAL;
  return type == 0 ? EXP_STRING : type;
}

}  // namespace

std::string fold_name(std::string_view name) {
  std::string out;
  out.reserve(name.size());
  const auto *s = reinterpret_cast<const uint8_t *>(name.data());
  int32_t i = 0, n = static_cast<int32_t>(name.size());
  while (i < n) {
    UChar32 c;
    int32_t start = i;
    U8_NEXT(s, i, n, c);
    if (c < 0) {  // not UTF-8: the bytes stand for themselves
      out.append(name.substr(static_cast<size_t>(start), static_cast<size_t>(i - start)));
      continue;
    }
    c = u_foldCase(c, U_FOLD_CASE_DEFAULT);
    char buf[4];
    int32_t k = 0;
    U8_APPEND_UNSAFE(reinterpret_cast<uint8_t *>(buf), k, c);
    out.append(buf, static_cast<size_t>(k));
  }
  return out;
}

int classify_text(std::string_view text, const std::string &date_format) {
  if (word_is(text, "true") || word_is(text, "false")) return EXP_BOOLEAN;
  bool whole = false;
  if (plain_number(text, &whole)) {
    if (whole && fits_int64(text)) return EXP_INTEGER;
    exp_symval probe{};
    probe.flags = EXP_REAL;
    return coefficient_fits(text) && exp_symval_setreal_text(&probe, std::string(text).c_str()) == 0 ? EXP_REAL
                                                                                                     : EXP_STRING;
  }
  double days;
  bool date = date_format.empty() ? parse_iso_date(text, &days) : parse_date_text(text, date_format, &days);
  return date ? EXP_DATE : EXP_STRING;
}

bool coefficient_fits(std::string_view text) {
  // The digits from the first to the last that is not zero are the coefficient a real must hold.
  size_t first = std::string_view::npos, last = 0, digits = 0;
  for (size_t i = 0; i < text.size() && text[i] != 'e' && text[i] != 'E'; ++i) {
    if (!digit(text[i])) continue;
    if (text[i] != '0') {
      if (first == std::string_view::npos) first = digits;
      last = digits;
    }
    ++digits;
  }
  return first == std::string_view::npos || last - first + 1 <= 52;
}

std::vector<std::string> program_names(const Options &o, bool *all) {
  *all = false;
  auto by_name = [&](const std::string &text) {
    for (const char *call : kByNameCalls) *all = *all || has_word(text, call);
  };
  by_name(o.program);
  by_name(o.end_program);
  for (const FunctionFile &fn : o.functions_files) by_name(fn.text);
  // Compiled as exprun compiles them (the --function files, the program, the --end program), the
  // names bound as columns are the host symbols of the scratch engine.
  std::vector<std::string> names;
  auto collect = [&](exp_engine *e, exp_pcode *, const std::vector<exp_pcode *> &) {
    if (!o.end_program.empty()) bind_unknown_names(e, o, o.end_program.c_str());
    for (int i = 0, n = exp_symbol_count(e); i < n; ++i) {
      exp_symval *cell = nullptr;
      const char *name = nullptr;
      if (!exp_symbol_get(e, i, &cell) && !exp_symbol_name_get(e, i, &name) && (cell->flags & EXP_HOSTSYM))
        names.emplace_back(name);
    }
  };
  Failure f;
  // A program that does not compile gets every column: its errors show when it is compiled with them.
  if (!compile_alone(o, collect, &f)) *all = true;
  return names;
}

ColumnPlan plan_columns(const Options &o, const std::vector<std::string> &columns, const std::deque<Record> &window,
                        bool json) {
  const size_t n = columns.size();
  ColumnPlan p;
  p.types.assign(n, EXP_STRING);
  p.bound.assign(n, 0);
  p.json_typed.assign(n, 0);
  std::unordered_map<std::string, std::vector<size_t>> by_name;
  for (size_t i = 0; i < n; ++i) by_name[fold_name(columns[i])].push_back(i);
  // The one column a name stands for; none, or an error when the input has several.
  auto column_of = [&](const std::string &name, const std::string &who) -> const size_t * {
    auto it = by_name.find(fold_name(name));
    if (it == by_name.end()) return nullptr;
    if (it->second.size() > 1 && p.error.empty()) {
      std::string where;
      for (size_t i : it->second) where += (where.empty() ? "" : " and ") + std::to_string(i + 1);
      p.error = who + " '" + name + "', but the input has " + std::to_string(it->second.size()) +
                " columns of that name (columns " + where + "; names ignore case): rename them apart in the header";
    }
    return &it->second.front();
  };
  bool all = false;
  for (const std::string &name : program_names(o, &all))
    if (const size_t *c = column_of(name, "the program uses")) p.bound[*c] = 1;
  if (all)
    for (auto &[name, list] : by_name) p.bound[list.front()] = 1;
  std::vector<uint8_t> declared(n, 0);
  for (const FieldType &f : o.fields) {
    const size_t *c = column_of(f.name, "--field names");
    if (!c) {
      if (!is_lookup_field(o, f.name)) p.notes.push_back("warning: --field names '" + f.name + "', which is not a column");
      continue;
    }
    p.bound[*c] = declared[*c] = 1;
    p.types[*c] = f.type;
  }
  const std::string sample = with_commas(window.size()) + " record(s)";
  for (size_t c = 0; c < n; ++c) {
    if (!p.bound[c] || declared[c]) continue;
    bool json_typed = false, inferred = false;
    p.types[c] = type_from_values(o, window, c, json, &json_typed, &inferred);
    p.json_typed[c] = json_typed;
    if (json_typed)
      p.notes.push_back("column '" + columns[c] + "': " + exp_type_name(p.types[c]) + " (its JSON values in the first " +
                        sample + ")");
    else if (inferred)
      p.notes.push_back("column '" + columns[c] + "': " + exp_type_name(p.types[c]) + " (inferred from " + sample + ")");
  }
  return p;
}

int type_from_values(const Options &o, const std::deque<Record> &window, size_t c, bool json, bool *json_typed,
                     bool *inferred) {
  bool strings = !json;
  int type = json ? json_type(window, c, o.infer_integers, &strings) : EXP_STRING;
  *json_typed = type != EXP_STRING;
  *inferred = o.infer && strings;
  return *inferred ? inferred_type(window, c, o) : type;
}
