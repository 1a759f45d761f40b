// exprun's own functions: date helpers that data files need and the built-ins lack (parsedate,
// weekday), number formatting for people (formatnumber), one-call text extraction (extract,
// jsonget) and the --lookup tables (lookup, haslookup).
#include "host_functions.h"

#define PCRE2_CODE_UNIT_WIDTH 8
#include <pcre2.h>

#include <string>
#include <string_view>
#include <vector>

#include "date_text.h"
#include "json_path.h"
#include "lookups.h"
#include "number_format.h"

namespace {

// parsedate(text, pattern): the date `text` holds, read with formatdate's pattern letters; null
// when either is null or the text does not match.
int fn_parsedate(exp_engine *, exp_symval *result, int, exp_symval **argv) {
  if (EXP_IS_NULL(argv[0]) || EXP_IS_NULL(argv[1])) {
    exp_symval_setnull(result);
    return 0;
  }
  double days;
  if (parse_date_text(argv[0]->value.s, argv[1]->value.s, &days)) exp_symval_setdbl(result, days);
  else exp_symval_setnull(result);
  return 0;
}

// weekday(date): 1 for Monday to 7 for Sunday; null for a null date.
int fn_weekday(exp_engine *, exp_symval *result, int, exp_symval **argv) {
  double days;
  if (EXP_IS_NULL(argv[0])) {
    exp_symval_setnull(result);
    return 0;
  }
  exp_symval_getdbl(argv[0], &days);
  exp_symval_setint(result, iso_weekday(days));
  return 0;
}

// ---- formatnumber ------------------------------------------------------------------------------

// formatnumber(x, decimals[, thousands[, point]]): x with exactly `decimals` digits after the
// point, rounded half away from zero on its exact decimal value; null for a null x or decimals.
int fn_formatnumber(exp_engine *e, exp_symval *result, int argc, exp_symval **argv) {
  if (EXP_IS_NULL(argv[0]) || EXP_IS_NULL(argv[1])) {
    exp_symval_setnull(result);
    return 0;
  }
  const int64_t decimals = argv[1]->value.i;
  if (decimals < 0 || decimals > kMaxFormatDecimals)
    return exp_raise_error(e, "formatnumber: decimals must be 0 to 100");
  auto text_of = [&](int i, const char *otherwise) {
    return argc > i && !EXP_IS_NULL(argv[i]) ? std::string_view(argv[i]->value.s) : std::string_view(otherwise);
  };
  std::string out;
  if (!format_number(argv[0]->value.d, static_cast<int>(decimals), text_of(2, ""), text_of(3, "."), &out)) {
    exp_symval_setnull(result);
    return 0;
  }
  if (exp_symval_setbytes(result, out.data(), out.size()) != 0)
    return exp_raise_error(e, "formatnumber: the number is too long to write out");
  return 0;
}

// ---- extract -----------------------------------------------------------------------------------

}  // namespace

// Compiled patterns of one engine, the most recent few, so that a pattern written as a literal
// is compiled once per run rather than once per record.
class PatternCache {
 public:
  struct Entry {
    std::string pattern;
    pcre2_code *code = nullptr;
    pcre2_match_data *match = nullptr;
  };
  ~PatternCache() { clear(); }
  // The entry of `pattern`, compiling it when new; none with *error when it does not compile.
  Entry *get(std::string_view pattern, std::string *error) {
    for (Entry &en : entries_)
      if (en.pattern == pattern) return &en;
    if (entries_.size() >= kMaxEntries) clear();
    int code = 0;
    PCRE2_SIZE offset = 0;
    Entry en;
    en.code = pcre2_compile(reinterpret_cast<PCRE2_SPTR>(pattern.data()), pattern.size(),
                            PCRE2_UTF | PCRE2_MATCH_INVALID_UTF, &code, &offset, nullptr);
    if (!en.code) {
      PCRE2_UCHAR buf[256];
      pcre2_get_error_message(code, buf, sizeof buf);
      *error = "extract: the pattern does not compile at offset " + std::to_string(offset) + ": " +
               reinterpret_cast<const char *>(buf);
      return nullptr;
    }
    en.match = pcre2_match_data_create_from_pattern(en.code, nullptr);
    en.pattern = pattern;
    entries_.push_back(std::move(en));
    return &entries_.back();
  }

 private:
  static constexpr size_t kMaxEntries = 8;
  void clear() {
    for (Entry &en : entries_) {
      pcre2_match_data_free(en.match);
      pcre2_code_free(en.code);
    }
    entries_.clear();
  }
  std::vector<Entry> entries_;
};

HostState::HostState() : patterns(std::make_unique<PatternCache>()) {}
HostState::~HostState() = default;

namespace {

// extract(text, pattern[, group]): the text of capture group `group` (0, the default, is the
// whole match) of the first match; null when there is no match or the group took no part.
int fn_extract(exp_engine *e, exp_symval *result, int argc, exp_symval **argv) {
  if (EXP_IS_NULL(argv[0]) || EXP_IS_NULL(argv[1]) || (argc > 2 && EXP_IS_NULL(argv[2]))) {
    exp_symval_setnull(result);
    return 0;
  }
  HostState *state = host_state(e);
  PatternCache own;  // engines without a host state compile per call
  PatternCache &cache = state ? *state->patterns : own;
  std::string error;
  PatternCache::Entry *re = cache.get(argv[1]->value.s, &error);
  if (!re) return exp_raise_error(e, error.c_str());
  const int64_t group = argc > 2 ? argv[2]->value.i : 0;
  uint32_t groups = 0;
  pcre2_pattern_info(re->code, PCRE2_INFO_CAPTURECOUNT, &groups);
  if (group < 0 || group > groups)
    return exp_raise_error(e, ("extract: the pattern has " + std::to_string(groups) + " group(s), not " +
                               std::to_string(group)).c_str());
  const char *text = argv[0]->value.s;
  int rc = pcre2_match(re->code, reinterpret_cast<PCRE2_SPTR>(text), std::char_traits<char>::length(text), 0, 0,
                       re->match, nullptr);
  if (rc == PCRE2_ERROR_NOMATCH) {
    exp_symval_setnull(result);
    return 0;
  }
  if (rc < 0) return exp_raise_error(e, "extract: the match gave up (too much backtracking)");
  const PCRE2_SIZE *ov = pcre2_get_ovector_pointer(re->match);
  const auto g = static_cast<size_t>(group);
  if (g >= static_cast<size_t>(rc) || ov[2 * g] == PCRE2_UNSET) {
    exp_symval_setnull(result);
    return 0;
  }
  exp_symval_setbytes(result, text + ov[2 * g], ov[2 * g + 1] - ov[2 * g]);
  return 0;
}

// ---- jsonget -----------------------------------------------------------------------------------

// jsonget(text, path): the member at `path` of the JSON value in `text`, a string as its text
// and any other value as its JSON text; null when it is missing, null, or the text is not JSON.
int fn_jsonget(exp_engine *e, exp_symval *result, int, exp_symval **argv) {
  std::string out;
  if (EXP_IS_NULL(argv[0]) || EXP_IS_NULL(argv[1]) ||
      json_path_get(argv[0]->value.s, argv[1]->value.s, &out) != JsonPathFound::Value) {
    exp_symval_setnull(result);
    return 0;
  }
  if (exp_symval_setbytes(result, out.data(), out.size()) == EXP_E_TEXT_CUT)
    return exp_raise_error(e, "jsonget: the value is longer than 65535 characters");
  return 0;
}

// ---- lookup and haslookup ------------------------------------------------------------------------

// The table argv[0] names; none with the error raised.
const LookupTable *table_of(exp_engine *e, const exp_symval *name, int *rc) {
  HostState *state = host_state(e);
  const LookupTables *tables = state ? state->tables : nullptr;
  const LookupTable *t = tables ? tables->find(name->value.s) : nullptr;
  if (!t) {
    std::string why = std::string("lookup: no table '") + name->value.s + "' (" +
                      (tables && !tables->tables.empty() ? "tables: " + tables->names() : "give --lookup NAME=FILE:KEY") + ")";
    *rc = exp_raise_error(e, why.c_str());
  }
  return t;
}

// lookup(table, key, column): the column's value in the row of `key`; null when the key is null
// or absent, or the value is null.
int fn_lookup(exp_engine *e, exp_symval *result, int, exp_symval **argv) {
  if (EXP_IS_NULL(argv[0]) || EXP_IS_NULL(argv[2])) return exp_raise_error(e, "lookup: the table and column must be given");
  int rc = 0;
  const LookupTable *t = table_of(e, argv[0], &rc);
  if (!t) return rc;
  const int column = t->column(argv[2]->value.s);
  if (column < 0)
    return exp_raise_error(e, (std::string("lookup: table '") + t->name() + "' has no column '" + argv[2]->value.s +
                               "' (columns: " + t->column_list() + ")").c_str());
  std::string_view text;
  const long row = EXP_IS_NULL(argv[1]) ? -1 : t->row(argv[1]->value.s);
  if (row < 0 || !t->value(row, column, &text)) exp_symval_setnull(result);
  else exp_symval_setbytes(result, text.data(), text.size());
  return 0;
}

// haslookup(table, key): whether the table has a row for `key` (false for a null key).
int fn_haslookup(exp_engine *e, exp_symval *result, int, exp_symval **argv) {
  if (EXP_IS_NULL(argv[0])) return exp_raise_error(e, "haslookup: the table must be given");
  int rc = 0;
  const LookupTable *t = table_of(e, argv[0], &rc);
  if (!t) return rc;
  exp_symval_setint(result, !EXP_IS_NULL(argv[1]) && t->row(argv[1]->value.s) >= 0);
  return 0;
}

constexpr uint32_t kLongText = 65535;

constexpr HostFunction kFunctions[] = {
    {"parsedate", fn_parsedate, 2, 2, "ss", 'd', 0,
     "Reads a date from text with a pattern of formatdate's letters, e.g. parsedate(\"Jan 1 2000\", \"MMM DD YYYY\")"},
    {"weekday", fn_weekday, 1, 1, "d", 'i', 0, "The ISO weekday of a date: 1 for Monday to 7 for Sunday"},
    {"formatnumber", fn_formatnumber, 2, 4, "riss", 's', 1024,
     "A number with a fixed count of decimals, rounded half away from zero, trailing zeros kept; optional thousands "
     "and decimal separators, e.g. formatnumber(1234.5, 2, \",\") is 1,234.50"},
    {"extract", fn_extract, 2, 3, "ssi", 's', kLongText,
     "The text of a regex capture group (0, the default, is the whole match), or null when it does not match, e.g. "
     "extract(\"id=42\", \"id=([0-9]+)\", 1) is 42"},
    {"jsonget", fn_jsonget, 2, 2, "ss", 's', kLongText,
     "A member of a JSON value by a dotted path (numbers index arrays), as text; null when absent, e.g. "
     "jsonget(items, \"0.sku\")"},
    {"lookup", fn_lookup, 3, 3, "sss", 's', kLongText,
     "The value of a column of a --lookup table in the row of a key, or null when the key is absent, e.g. "
     "lookup(\"rates\", currency, \"rate\")"},
    {"haslookup", fn_haslookup, 2, 2, "ss", 'b', 0, "Whether a --lookup table has a row for a key"},
};

}  // namespace

const HostFunction *host_functions(int *count) {
  *count = static_cast<int>(sizeof kFunctions / sizeof kFunctions[0]);
  return kFunctions;
}

int register_host_functions(exp_engine *e) {
  for (const HostFunction &f : kFunctions)
    if (int rc = exp_register_function(e, f.name, f.fn, f.min_args, f.max_args, f.signature, f.ret_type, f.max_len,
                                       f.description, 0, nullptr))
      return rc;
  return 0;
}
