// exprun --test: runs the program on each case and compares what it gives with what the case
// expects, on the public ABI only.
#include "rule_tests.h"

#include <cstdio>
#include <deque>
#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "column_plan.h"
#include "date_text.h"
#include "diagnostics.h"
#include "lint.h"
#include "records.h"
#include "runner.h"
#include "session.h"

namespace {

constexpr std::string_view kExpectPrefix = "expect:";
constexpr std::string_view kErrorColumn = "error";

// The cases: their columns and records.
struct Cases {
  std::vector<std::string> columns;
  std::vector<Record> records;
};

// What the columns of the cases are for.
struct Layout {
  struct Expect {
    size_t column;       // in the cases
    std::string name;    // what it names: the result, or a variable or column of the program
    bool result = false;
    const exp_symval *cell = nullptr;  // the variable's or column's cell (none for the result)
  };
  std::vector<size_t> inputs;  // columns bound as the program's input, in order
  std::vector<std::string> input_names;
  std::vector<Expect> expects;
  int error = -1;  // the column of the expected error number, or -1
};

bool read_cases(const Options &o, Cases *cases, std::string *error) {
  auto in = InputStream::open(o.test_cases, error);
  if (!in) return false;
  ReaderOptions ro = side_file_options(o, o.test_cases);
  ro.header = true;
  RecordReader reader(*in, ro);
  if (!reader.start(&cases->columns, error)) {
    if (error->empty()) *error = "holds no cases";
    return false;
  }
  for (Record &r : reader.take_window()) cases->records.push_back(std::move(r));
  for (Record r; reader.next(&r, error);) cases->records.push_back(std::move(r));
  return error->empty();
}

Layout lay_out(const Options &o, const std::vector<std::string> &columns) {
  Layout l;
  for (size_t i = 0; i < columns.size(); ++i) {
    const std::string &c = columns[i];
    if (c == kErrorColumn) {
      l.error = static_cast<int>(i);
    } else if (c.starts_with(kExpectPrefix)) {
      std::string name = c.substr(kExpectPrefix.size());
      l.expects.push_back({i, name, name == o.result_name});
    } else {
      l.inputs.push_back(i);
      l.input_names.push_back(c);
    }
  }
  return l;
}

// The input part of a case, as the session binds it.
Record input_of(const Record &r, const Layout &l) {
  Record in;
  in.resize(l.inputs.size());
  for (size_t k = 0; k < l.inputs.size(); ++k) {
    const size_t i = l.inputs[k];
    if (i < r.fields.size()) {
      in.fields[k] = r.fields[i];
      in.kinds[k] = r.kinds[i];
    } else {
      in.kinds[k] = FieldKind::Null;
    }
  }
  in.line = r.line;
  in.unreadable = r.unreadable;
  return in;
}

// Compares values as the type of what the program gave, with cells of its own to read the
// expected texts into.
class Comparer {
 public:
  Comparer() : e_(exp_init_ex(EXP_INIT_NO_USER_SETTINGS)) {
    if (!e_) return;
    exp_set_option(e_, "DATE_ISO8601", "1");
    for (int type : {EXP_BOOLEAN, EXP_REAL, EXP_DATE})
      exp_add_symbol(e_, type == EXP_BOOLEAN ? "b" : type == EXP_REAL ? "r" : "d", type, 0, 0, &cells_[type]);
    exp_add_symbol(e_, "g", EXP_REAL, 0, 0, &got_real_);
  }
  ~Comparer() {
    if (e_) exp_clean(e_);
  }
  Comparer(const Comparer &) = delete;
  Comparer &operator=(const Comparer &) = delete;
  bool ready() const { return e_ && cells_[EXP_BOOLEAN] && cells_[EXP_REAL] && cells_[EXP_DATE] && got_real_; }

  // Whether `got` (of engine `e`) is what `expected` says: "" is null (or the empty text).
  // `loose` lets a text that reads as a number compare as one.
  bool same(exp_engine *e, const exp_symval *got, const std::string &expected, bool loose) {
    if (expected.empty()) return EXP_IS_NULL(got) || (EXP_TYPE(got) == EXP_STRING && got->value.s[0] == '\0');
    if (EXP_IS_NULL(got)) return false;
    switch (EXP_TYPE(got)) {
      case EXP_BOOLEAN:
        return exp_symval_settext(e_, cells_[EXP_BOOLEAN], expected.c_str()) == 0 &&
               (cells_[EXP_BOOLEAN]->value.i != 0) == (got->value.i != 0);
      case EXP_INTEGER:
      case EXP_REAL:
        return same_number(text(e, got), expected);
      case EXP_DATE:
        return exp_symval_settext(e_, cells_[EXP_DATE], expected.c_str()) == 0 &&
               text(e_, cells_[EXP_DATE]) == text(e, got);
      case EXP_STRING:
        return got->value.s == expected || (loose && same_number(got->value.s, expected));
      default:
        return false;
    }
  }

  // The value as a message shows it: dates in ISO 8601, null as "null".
  static std::string shown(exp_engine *e, const exp_symval *c) {
    if (EXP_IS_NULL(c)) return "null";
    std::string out;
    double days;
    if (EXP_TYPE(c) == EXP_DATE && exp_symval_getdbl(c, &days) && iso_date_text(days, false, &out)) return out;
    return text(e, c);
  }

 private:
  static std::string text(exp_engine *e, const exp_symval *c) {
    std::string out(static_cast<size_t>(std::max(exp_symval_to_text(e, c, nullptr, 0), 0)) + 1, '\0');
    exp_symval_to_text(e, c, out.data(), out.size());
    return out.c_str();
  }
  // Both texts are decimal numbers of the same value.
  bool same_number(const std::string &got, const std::string &expected) {
    if (exp_symval_setreal_text(cells_[EXP_REAL], expected.c_str()) != 0) return false;
    if (exp_symval_setreal_text(got_real_, got.c_str()) != 0) return false;
    return text(e_, cells_[EXP_REAL]) == text(e_, got_real_);
  }

  exp_engine *e_;
  exp_symval *cells_[EXP_DATE + 1] = {};
  exp_symval *got_real_ = nullptr;
};

// The expected error number of a case: 0 for none, -1 for a text that is no number.
int expected_error(const Record &r, const Layout &l) {
  if (l.error < 0 || static_cast<size_t>(l.error) >= r.fields.size()) return 0;
  const std::string &text = r.fields[static_cast<size_t>(l.error)];
  if (text.empty() || r.kinds[static_cast<size_t>(l.error)] == FieldKind::Null) return 0;
  char *end = nullptr;
  const long n = std::strtol(text.c_str(), &end, 10);
  return end != text.c_str() && *end == '\0' && n > 0 && n < 100000 ? static_cast<int>(n) : -1;
}

std::string error_text(Outcome oc, const Failure &f) {
  if (oc == Outcome::InputError) return "input error: " + f.message;
  return "error " + std::to_string(f.code) + ": " + f.message;
}

// Runs one case; prints its failures. True when it passed.
bool check_case(Session &s, Comparer &compare, const Options &o, const Cases &cases, const Layout &l, size_t index) {
  const Record &r = cases.records[index];
  const std::string where = "record " + std::to_string(index + 1) + " (line " + std::to_string(r.line) + ")";
  Failure f;
  const Outcome oc = s.run(input_of(r, l), &f);
  const bool failed = oc == Outcome::InputError || oc == Outcome::RunError;
  const int want_error = expected_error(r, l);
  if (want_error != 0 || failed) {
    const bool same_error = failed && oc == Outcome::RunError && f.code == want_error;
    if (same_error) return true;
    const std::string want = want_error < 0 ? "an error number, not '" + r.fields[static_cast<size_t>(l.error)] + "'"
                             : want_error ? "error " + std::to_string(want_error)
                                          : "no error";
    std::printf("%s, column error: expected %s, got %s\n", where.c_str(), want.c_str(),
                failed ? error_text(oc, f).c_str() : "no error");
    return false;
  }
  bool passed = true;
  const bool loose = o.result_type == EXP_STRING && !o.filter;
  for (const Layout::Expect &x : l.expects) {
    const exp_symval *got = x.result ? s.result() : x.cell;
    const std::string &want = x.column < r.fields.size() ? r.fields[x.column] : std::string();
    // A JSON null, or a member the record lacks, leaves the column unchecked.
    if (x.column >= r.kinds.size() || r.kinds[x.column] == FieldKind::Null) continue;
    if (got && compare.same(s.engine(), got, want, loose && x.result)) continue;
    passed = false;
    std::printf("%s, column %s: expected %s, got %s\n", where.c_str(), cases.columns[x.column].c_str(),
                want.empty() ? "null" : want.c_str(), got ? Comparer::shown(s.engine(), got).c_str() : "no value");
  }
  return passed;
}

}  // namespace

int run_rule_tests(const Options &o) {
  if (!o.have_program) {
    std::fprintf(stderr, "exprun: --test needs the program to test (-e or -f)\n");
    return kUsage;
  }
  if (!o.inputs.empty()) {
    std::fprintf(stderr, "exprun: --test takes its records from the cases file, not from '%s'\n", o.inputs[0].c_str());
    return kUsage;
  }
  Cases cases;
  std::string error;
  if (!read_cases(o, &cases, &error)) {
    std::fprintf(stderr, "exprun: %s: %s\n", o.test_cases.c_str(), error.c_str());
    return kInputError;
  }
  Layout l = lay_out(o, cases.columns);
  std::deque<Record> inputs;
  for (const Record &r : cases.records) inputs.push_back(input_of(r, l));
  ColumnPlan plan = plan_columns(o, l.input_names, inputs, side_file_options(o, o.test_cases).format == Format::Jsonl);
  for (const std::string &n : plan.notes)
    if (o.verbose || n.starts_with("warning:")) std::fprintf(stderr, "exprun: %s\n", n.c_str());
  if (!plan.error.empty()) {
    std::fprintf(stderr, "exprun: %s: %s\n", o.test_cases.c_str(), plan.error.c_str());
    return kInputError;
  }
  // A column a case expects is given to the program even when the program does not name it.
  for (const Layout::Expect &x : l.expects)
    for (size_t i = 0; i < l.input_names.size(); ++i)
      if (fold_name(l.input_names[i]) == fold_name(x.name)) plan.bound[i] = 1;
  Failure f;
  std::vector<std::string> notices;
  auto session = Session::open(o, l.input_names, plan, &f, &notices);
  const std::string name = o.program_file.empty() ? "<program>" : o.program_file;
  if (!session) {
    print_failure(stderr, "compile", f, o.program, name);
    print_hint(stderr, f, o.program, l.input_names);
    return kUsage;
  }
  std::vector<std::string> text_columns;
  for (size_t i = 0; i < plan.types.size(); ++i)
    if (plan.bound[i] && plan.types[i] == EXP_STRING) text_columns.push_back(l.input_names[i]);
  if (print_all_warnings(stderr, o, session->program(), session->functions(), text_columns) && o.strict) return kUsage;
  for (Layout::Expect &x : l.expects) {
    if (x.result) continue;
    if (!(x.cell = exp_symbol_get_by_name(session->engine(), x.name.c_str()))) {
      std::fprintf(stderr, "exprun: %s: the column expect:%s names neither the result ('%s') nor a variable or column\n",
                   o.test_cases.c_str(), x.name.c_str(), o.result_name.c_str());
      return kUsage;
    }
  }
  Comparer compare;
  if (!compare.ready()) {
    std::fprintf(stderr, "exprun: cannot create an engine\n");
    return kRunError;
  }
  size_t passed = 0;
  for (size_t i = 0; i < cases.records.size(); ++i)
    if (check_case(*session, compare, o, cases, l, i)) ++passed;
  const size_t failed = cases.records.size() - passed;
  std::printf("%zu passed, %zu failed\n", passed, failed);
  return failed ? kRunError : kOk;
}
