// Compile-time warnings: what each one looks for, and the calls hosts read them with.
#include "warnings.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <new>

#include "builtins/builtins.h"
#include "builtins/table.h"
#include "compiler.h"
#include "convert.h"
#include "engine.h"
#include "errors.h"
#include "support/uchar.h"
#include "values.h"

namespace {

// Global built-ins whose call changes nothing but its own result: an expression statement that
// calls only these (and operators) throws its value away to no purpose. Every other call (host
// functions, user-defined functions, methods, and the built-ins that write into an argument, a
// file, a process or the engine) counts as an effect. Sorted, for binary search.
constexpr std::string_view kWithoutEffect[] = {
    "abs", "asc", "ceil", "chr", "compare", "determine_type", "edit_distance", "filedate", "fileexists", "floor",
    "formatdate", "has_control_chars", "ib", "inlist", "instr", "isalpha", "isblank", "isnull", "isnumber", "left",
    "len", "lower", "match_string", "max", "mid", "min", "normsinv", "occurs", "parameter", "parameterboolean",
    "parametercount", "parameterdate", "parameterinteger", "parameterreal", "parameterstring", "parametertype",
    "pattern", "pd", "piccomp", "piccomp3", "piccomp5", "picsigndec", "pow", "replace", "right", "round", "s370fib",
    "s370fpd", "sort", "sort_words", "toboolean", "todate", "today", "todaygmt", "todayutc", "tointeger", "toreal",
    "tostring", "trim", "typeof", "upper", "username",
};
static_assert(std::is_sorted(std::begin(kWithoutEffect), std::end(kWithoutEffect)));

// Built-ins that read or write variables by a name known only when the program runs.
constexpr std::string_view kByName[] = {"vareval", "varset"};

// What the warnings need to know of each global built-in, by its place in the static table;
// looked up once, as calls are compiled in great numbers.
struct BuiltinFacts {
  bool effect;   // its call may change more than its result
  bool by_name;  // it reaches variables by name
};

struct BuiltinTable {
  std::span<const exp_function> functions;
  std::vector<BuiltinFacts> facts;

  // The facts of `fn`, or none for a function outside the table (host functions, class methods).
  const BuiltinFacts *of(const exp_function *fn) const {
    if (functions.empty() || fn < functions.data() || fn >= functions.data() + functions.size()) return nullptr;
    return &facts[static_cast<size_t>(fn - functions.data())];
  }
};

const BuiltinTable &builtin_table() {
  static const BuiltinTable table = [] {
    BuiltinTable t{builtin_functions(), {}};
    for (const exp_function &f : t.functions) {
      const std::string_view name(f.name);
      t.facts.push_back({!std::binary_search(std::begin(kWithoutEffect), std::end(kWithoutEffect), name),
                         std::find(std::begin(kByName), std::end(kByName), name) != std::end(kByName)});
    }
    return t;
  }();
  return table;
}

// A text as a warning quotes it: a long one cut on a character boundary.
std::string shown(std::string_view text) {
  constexpr size_t kMax = 40;
  if (text.size() <= kMax) return std::string(text);
  size_t cut = kMax;
  while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
  return std::string(text.substr(0, cut)) + "...";
}

// The name of a variable's cell; "" for a temporary or a constant, which are unnamed.
std::string name_of(const exp_symval *cell) { return sym_of_cell(const_cast<exp_symval *>(cell))->name; }

// The value of a constant as text (a negated literal's value is made only when the program runs).
std::string constant_text(const WarningState &w, const exp_symval *c) {
  for (const auto &[negation, literal] : w.negated)
    if (negation == c) return "-" + constant_text(w, literal);
  if (symval_is_null(c)) return "null";
  if (symval_type(c) == EXP_STRING) return c->value.s ? c->value.s : "";
  char buf[256];
  return symval_format(c, nullptr, buf, sizeof buf) ? buf : "";
}

// The text from `begin` to the end of the last token consumed.
std::string_view text_since(const exp_parse_state *s, const char *begin) {
  const char *end = s->prev_src.data() + s->prev_src.size();
  return begin && end > begin ? std::string_view(begin, static_cast<size_t>(end - begin)) : std::string_view();
}

bool is_quoted(std::string_view text) { return !text.empty() && (text.front() == '"' || text.front() == '\''); }

struct OrderingOperator {
  int token;
  const char *spelling;
};
constexpr OrderingOperator kOrdering[] = {{TK_GT, ">"}, {TK_GE, ">="}, {TK_LT, "<"}, {TK_LE, "<="}};

bool is_number_literal(const exp_symval *c, bool literal) {
  return literal && (symval_type(c) == EXP_INTEGER || symval_type(c) == EXP_REAL);
}

// Why a declared variable that the text never reads is not read by the host either; none when
// the host may read it.
const char *not_output_reason(const exp_engine *e, const DeclaredVariable &v) {
  const uint32_t flags = v.cell->flags;
  const int type = static_cast<int>(flags & EXP_TYPE_MASK);
  if (!e->output_names.empty()) {
    const std::string name = name_of(v.cell);
    const name_key key(name.c_str());
    for (const std::string &marked : e->output_names)
      if (key.matches(marked.c_str())) return nullptr;
    return "the host does not output it";
  }
  if (flags & EXP_LOCAL) return "being private, it is not output";
  if (flags & EXP_HIDDEN) return "being hidden, it is not output";
  if (type < EXP_BOOLEAN || type > EXP_DATE) return "";
  return nullptr;  // a visible global of a plain type: the host may read it
}

}  // namespace

void warn(exp_parse_state *s, int code, exp_srcpos at, std::string message) {
  s->warn.found.push_back(exp_warning{code, std::move(message), at.line, at.column});
}

void note_call(exp_parse_state *s, const exp_function *fn, bool method) {
  const BuiltinFacts *facts = fn && !method ? builtin_table().of(fn) : nullptr;
  if (!facts) {
    ++s->warn.effects;
    return;
  }
  s->warn.names_at_run_time |= facts->by_name;
  s->warn.effects += facts->effect ? 1 : 0;
}

void note_expression(exp_parse_state *s, const char *begin) {
  s->warn.expression_end = s->cur_index - 1;
  s->warn.expression_text = text_since(s, begin);
}

void note_read(exp_parse_state *s, const exp_symval *cell) {
  // Host symbols (nearly every name a rule reads) are never declared by the text.
  if (!(cell->flags & EXP_HOSTSYM)) s->warn.read.insert(cell);
}

ExpressionStatement expression_statement_start(const exp_parse_state *s) {
  ExpressionStatement st;
  st.effects_before = s->warn.effects;
  st.at = s->stop;
  st.begin = s->cur_src.data();
  if (s->warn.expression_end == s->cur_index - 1 && s->prev_stop.line == s->stop.line) {
    st.adjacent = true;
    st.before_end = s->warn.expression_end;
    st.before = s->warn.expression_text;
    st.before_last = s->prev_src;
  }
  return st;
}

void expression_statement_done(exp_parse_state *s, const ExpressionStatement &st, bool top_level) {
  WarningState &w = s->warn;
  const bool effect = w.effects != st.effects_before;
  const bool side_by_side = st.adjacent && !effect;
  if (top_level && w.pending) {
    // Another top-level expression follows the pending one, whose value is thus never read;
    // when this one stands right beside it, the warning below says so.
    if (!(side_by_side && st.before_end == w.pending_end))
      warn(s, EXP_W_VALUE_UNUSED, w.pending_at,
           "this value is not used: only the program's last expression gives its result");
    w.pending = false;
  }
  if (effect) return;
  if (side_by_side) {
    const std::string_view self = text_since(s, st.begin);
    if (is_quoted(st.before_last) && is_quoted(self) && st.before_last.data() + st.before_last.size() == st.begin)
      warn(s, EXP_W_VALUE_UNUSED, st.at,
           "this value is not used; " + shown(st.before_last) + " and " + shown(self) +
               " are two texts side by side, as a quote is not doubled inside a text: enclose a text that "
               "holds ' in \" (\"it's\"), and one that holds \" in '");
    else
      warn(s, EXP_W_VALUE_UNUSED, st.at,
           "this value is not used; is an operator missing between `" + shown(st.before) + "` and `" + shown(self) +
               "`?");
    return;
  }
  if (!top_level) {
    warn(s, EXP_W_VALUE_UNUSED, st.at,
         "this value is not used: an expression inside a statement gives no result; assign it to a variable");
    return;
  }
  w.pending = true;
  w.pending_at = st.at;
  w.pending_end = w.expression_end;
}

void check_match_pattern(exp_parse_state *s, const exp_function *fn, const std::vector<exp_symval *> &args,
                         uint32_t literal_args, exp_srcpos at) {
  if (args.size() != 2 || !(literal_args & 2) || !builtin_table().of(fn) || std::strcmp(fn->name, "match_string") != 0)
    return;
  const exp_symval *pattern = args[1];
  if (symval_is_null(pattern) || symval_type(pattern) != EXP_STRING || !pattern->value.s) return;
  if (match_string_pattern_valid(pattern->value.s)) return;
  warn(s, EXP_W_PATTERN_NEVER_MATCHES, at,
       "match_string never matches the pattern \"" + shown(pattern->value.s) +
           "\": a * may stand only first or last (and not as the whole pattern **); write \\* for a star itself");
}

void check_assigned_text(exp_parse_state *s, const exp_symval *target, const exp_symval *value, exp_srcpos at) {
  if (symval_type(target) != EXP_STRING || symval_type(value) != EXP_STRING || symval_is_null(value) || !value->value.s)
    return;
  const char *text = value->value.s;
  const bool bytes = (target->flags & EXP_BYTES) != 0;
  const int64_t size = bytes ? static_cast<int64_t>(std::strlen(text)) : np_uchar_length(text);
  if (size <= static_cast<int64_t>(target->len)) return;
  const char *unit = bytes ? " bytes" : " characters";
  warn(s, EXP_W_TEXT_TOO_LONG, at,
       "the text \"" + shown(text) + "\" (" + std::to_string(size) + unit + ") is longer than '" + name_of(target) +
           "' holds (" + std::to_string(target->len) + unit + "): it is cut");
}

void check_text_number_comparison(exp_parse_state *s, int op, const exp_symval *left, bool left_literal,
                                  const exp_symval *right, bool right_literal, exp_srcpos at) {
  const OrderingOperator *ordering = nullptr;
  for (const OrderingOperator &o : kOrdering)
    if (o.token == op) ordering = &o;
  if (!ordering) return;
  const exp_symval *text = nullptr, *number = nullptr;
  if (symval_type(left) == EXP_STRING && !left_literal && is_number_literal(right, right_literal)) {
    text = left;
    number = right;
  } else if (symval_type(right) == EXP_STRING && !right_literal && is_number_literal(left, left_literal)) {
    text = right;
    number = left;
  } else {
    return;
  }
  const std::string name = name_of(text), value = constant_text(s->warn, number);
  const std::string example = " (\"4.7\" > \"10\" is true)";
  if (name.empty()) {
    warn(s, EXP_W_TEXT_NUMBER_COMPARE, at,
         "a text compared with the number " + value + " is compared as text, not as a number" + example +
             "; convert the text with toreal() to compare numbers");
    return;
  }
  const std::string written = text == left ? name + " " + ordering->spelling + " " + value
                                           : value + " " + ordering->spelling + " " + name;
  const std::string numeric = text == left ? "toreal(" + name + ") " + ordering->spelling + " " + value
                                           : value + " " + ordering->spelling + " toreal(" + name + ")";
  warn(s, EXP_W_TEXT_NUMBER_COMPARE, at,
       "'" + name + "' is text, so `" + written + "` compares texts, not numbers" + example + "; write `" + numeric +
           "`, or give '" + name + "' a number type");
}

void check_date_difference(exp_parse_state *s, const exp_symval *left, const exp_symval *right, exp_srcpos at) {
  if (symval_type(left) != EXP_DATE || symval_type(right) != EXP_DATE) return;
  std::string a = name_of(left), b = name_of(right);
  if (a.empty() || b.empty()) a = "d1", b = "d2";
  warn(s, EXP_W_DATE_DIFFERENCE, at,
       "a date minus a date gives a date, not a number of days (30 days apart is the date 1900-01-29); for the days "
       "between two dates write tointeger(" + a + ") - tointeger(" + b + "), or toreal(" + a + ") - toreal(" + b +
           ") to keep the time of day");
}

void warn_unreachable(exp_parse_state *s, const char *what, exp_srcpos at) {
  warn(s, EXP_W_UNREACHABLE, at,
       std::string("this code never runs: it follows a ") + what + " and no label before it leads here");
}

void check_unread_variables(const exp_engine *e, exp_parse_state *s) {
  const WarningState &w = s->warn;
  if (w.names_at_run_time) return;
  for (const DeclaredVariable &v : w.declared) {
    if (w.read.count(v.cell)) continue;
    const char *reason = not_output_reason(e, v);
    if (!reason) continue;
    warn(s, EXP_W_UNUSED_VARIABLE, v.at,
         "'" + name_of(v.cell) + "' is declared but never read" + (*reason ? std::string(", and ") + reason : std::string()));
  }
}

// ---- the calls hosts read warnings with ---------------------------------------------------------

namespace {

int warning_count(const std::vector<exp_warning> &list) { return static_cast<int>(list.size()); }

int warning_get(const std::vector<exp_warning> &list, int i, int *code, const char **message, int *line,
                int *column) {
  const bool found = i >= 0 && i < warning_count(list);
  const exp_warning *w = found ? &list[static_cast<size_t>(i)] : nullptr;
  if (code) *code = w ? w->code : 0;
  if (message) *message = w ? w->message.c_str() : "";
  if (line) *line = w ? w->line : 0;
  if (column) *column = w ? w->column : 0;
  return found ? 0 : ERR_INVALID_INPUT;
}

}  // namespace

extern "C" EXP_API int exp_warning_count(const exp_engine *e) {
  return engine_is_live(e) ? warning_count(e->warnings) : 0;
}

extern "C" EXP_API int exp_warning_get(const exp_engine *e, int i, int *code, const char **message, int *line,
                                       int *column) {
  static const std::vector<exp_warning> kNone;
  return warning_get(engine_is_live(e) ? e->warnings : kNone, i, code, message, line, column);
}

extern "C" EXP_API int exp_pcode_warning_count(const exp_pcode *p) {
  return pcode_is_live(p) ? warning_count(p->warnings) : 0;
}

extern "C" EXP_API int exp_pcode_warning_get(const exp_pcode *p, int i, int *code, const char **message, int *line,
                                             int *column) {
  static const std::vector<exp_warning> kNone;
  return warning_get(pcode_is_live(p) ? p->warnings : kNone, i, code, message, line, column);
}

extern "C" EXP_API int exp_mark_output(exp_engine *e, const char *name) {
  if (!engine_is_live(e)) return ERR_INVALID_INPUT;
  try {
    if (name) e->output_names.emplace_back(name);
    else e->output_names.clear();
  } catch (const std::bad_alloc &) {
    return engine_error(e, ERR_MEMORY);
  }
  return 0;
}
