// Type, conversion, variable and parameter functions: the records of the whole family, and the
// callbacks that convert values, inspect types and null-ness, classify text, look a value up in
// a list and stop a run with a user error.
#include <cstring>

#include "builtins/builtins.h"
#include "builtins/cancel.h"
#include "builtins/cells.h"
#include "builtins/rechecked.h"
#include "builtins/types_family.h"
#include "convert.h"
#include "errors.h"
#include "support/dates.h"
#include "support/decimal.h"
#include "support/uchar.h"
#include "values.h"

using namespace builtin_cells;

namespace {

// ---- text classification helpers -----------------------------------------------------------------

// The words determine_type takes for booleans ("t", "f", "1" and "0" are not among them).
constexpr const char *kBooleanWords[] = {"yes", "no", "true", "false", "y", "n"};

bool is_boolean_word(const char *text) {
  for (const char *word : kBooleanWords)
    if (np_uchar_icomp(text, word) == 0) return true;
  return false;
}

bool is_ascii_digit(char c) { return c >= '0' && c <= '9'; }

// Skips white space characters; stops at the terminator or the first other character.
const char *skip_spaces(const char *p) {
  int n = 0;
  while (*p && np_uchar_isspace(p, &n)) p += n;
  return p;
}

// True for optional white space, digits, optionally a point and digits, optional white space
// and nothing else (the empty text included). Such texts are numbers, never dates, so the date
// parser is not asked about them.
bool is_plain_numeral(const char *text) {
  const char *p = skip_spaces(text);
  while (is_ascii_digit(*p)) ++p;
  if (*p == '.') {
    ++p;
    while (is_ascii_digit(*p)) ++p;
  }
  return *skip_spaces(p) == '\0';
}

// True when the date parser reads a whole calendar date or a whole (non-midnight-like) time.
bool looks_like_date(const char *text) {
  int year, month, day, hour, minute, second, milli;
  if (vts_string_to_date_milli(text, &year, &month, &day, &hour, &minute, &second, &milli, 0) != 0)
    return false;
  return (year && month && day) || (hour && minute && second);
}

// What one character of a would-be number is.
enum class Mark { Exponent, Alpha, Digit, Sign, Point, Blank, Other, None };

// The character before the one being classified (None and 0 at the start of the text).
struct Previous {
  Mark mark = Mark::None;
  int32_t code = 0;
};

// Classifies the character at `p` and stores its byte length (at least 1) in `*length`. An E
// after a digit is an exponent mark; a sign is one only at the start or right after an E.
Mark classify(const char *p, Previous previous, int *length) {
  int32_t code = np_uchar_toint(p, length);
  if (*length < 1) *length = 1;
  if (code == 'E' || code == 'e') return previous.mark == Mark::Digit ? Mark::Exponent : Mark::Other;
  int ignored = 0;
  if (np_uchar_isalpha(p, &ignored)) return Mark::Alpha;
  if (np_uchar_isdigit(p, &ignored)) return Mark::Digit;
  bool sign_place = previous.mark == Mark::None || previous.code == 'E' || previous.code == 'e';
  if (code == '-' || code == '+') return sign_place ? Mark::Sign : Mark::Other;
  if (code == '.') return Mark::Point;
  if (code == ' ') return Mark::Blank;
  return Mark::Other;
}

// Counts the marks of every character and names the number type they make, or "string".
const char *number_type(const char *text) {
  int counts[static_cast<int>(Mark::None)] = {};
  Previous previous;
  for (const char *p = text; *p;) {
    int length = 1;
    Mark mark = classify(p, previous, &length);
    ++counts[static_cast<int>(mark)];
    previous = {mark, np_uchar_toint(p, nullptr)};
    p += length;
  }
  auto count = [&counts](Mark m) { return counts[static_cast<int>(m)]; };
  if (count(Mark::Alpha) > 0 || count(Mark::Other) > 0 || count(Mark::Exponent) > 1 ||
      count(Mark::Sign) > 2 || count(Mark::Digit) == 0)
    return "string";
  switch (count(Mark::Point)) {
    case 0: return "integer";
    case 1: return "real";
    default: return "string";
  }
}

// The type name a text represents: boolean words, dates, then the shape of a number.
const char *classify_text(const char *text) {
  if (is_boolean_word(text)) return "boolean";
  if (!is_plain_numeral(text) && looks_like_date(text)) return "date";
  if (*text == '\0') return "string";
  return number_type(text);
}

// True when every character is a letter, or a combining mark after the first character.
bool all_letters(const char *text) {
  for (const char *p = text; *p;) {
    int n = 0;
    bool ok = np_uchar_isalpha(p, &n) || (p != text && np_uchar_iscomb(p, &n));
    if (!ok) return false;
    p += n > 0 ? n : 1;
  }
  return true;
}

bool all_spaces(const char *text) { return *skip_spaces(text) == '\0'; }

// ---- inlist ----------------------------------------------------------------------------------------

// A cell owned by the function for the duration of one call, cleared on every way out.
class TempCell {
 public:
  TempCell() = default;
  ~TempCell() { symval_clear(&cell_); }
  TempCell(const TempCell &) = delete;
  TempCell &operator=(const TempCell &) = delete;
  // Initialises the cell like `model` (type, string limit, class). False when memory runs out.
  bool init_like(const exp_symval *model) {
    int type = symval_type(model);
    int limit = type == EXP_STRING ? static_cast<int>(model->len) : 0;
    return symval_init(&cell_, type, limit, 0, model->cls) == 0;
  }
  exp_symval *get() { return &cell_; }

 private:
  exp_symval cell_{};
};

bool decimals_equal(const exp_symval *a, const exp_symval *b) {
  decContext ctx = context192();
  decimal192 r;
  decSextCompare(&r, symval_dec(a), symval_dec(b), &ctx);
  return !decSextIsNaN(&r) && decSextIsZero(&r);
}

// Equality of two non-null cells of the same type, by that type's rule.
bool same_value(const exp_symval *a, const exp_symval *b) {
  switch (symval_type(a)) {
    case EXP_BOOLEAN:
    case EXP_INTEGER: return a->value.i == b->value.i;
    case EXP_REAL:
    case EXP_DATE: return decimals_equal(a, b);
    case EXP_STRING: return std::strcmp(text_of(a), text_of(b)) == 0;
    case EXP_POINTER: return a->value.p == b->value.p;
    default: return false;
  }
}

// True when some non-null check, converted to the value's type, equals the value.
bool any_check_matches(exp_engine *e, const exp_symval *value, exp_symval *temp, int count,
                       exp_symval **checks) {
  for (int i = 0; i < count; ++i) {
    if (symval_is_null(checks[i])) continue;
    symval_convert(checks[i], temp, e);
    if (!symval_is_null(temp) && same_value(value, temp)) return true;
  }
  return false;
}

constexpr const char *kDefaultUserError = "User defined error was raised";
// Room of a user error text: the engine keeps 255 bytes; the text gets 254 of them.
constexpr size_t kUserErrorMax = 254;

}  // namespace

// ---- callbacks -------------------------------------------------------------------------------------

// tostring, tointeger, todate, toreal, toboolean: the result cell already has the record's type,
// so one conversion serves all five (failures and null give null).
int fn_convert(exp_engine *e, exp_symval *result, int, exp_symval **argv) {
  symval_convert(argv[0], result, e);
  return 0;
}

int fn_isnull(exp_engine *, exp_symval *result, int, exp_symval **argv) {
  exp_symval_setint(result, symval_is_null(argv[0]) ? 1 : 0);
  return 0;
}

// The declared type of the argument counts, so a null integer is still "integer".
int fn_typeof(exp_engine *, exp_symval *result, int, exp_symval **argv) {
  exp_symval_setstr(result, type_name(symval_type(argv[0])));
  return 0;
}

int fn_determine_type(exp_engine *, exp_symval *result, int, exp_symval **argv) {
  if (symval_is_null(argv[0])) {
    exp_symval_setnull(result);
    return 0;
  }
  exp_symval_setstr(result, classify_text(text_of(argv[0])));
  return 0;
}

int fn_isalpha(exp_engine *, exp_symval *result, int, exp_symval **argv) {
  const exp_symval *v = argv[0];
  if (symval_is_null(v)) {
    exp_symval_setnull(result);
    return 0;
  }
  exp_symval_setint(result, symval_type(v) == EXP_STRING && all_letters(text_of(v)) ? 1 : 0);
  return 0;
}

// Null counts as blank whatever its type; a non-string value never does.
int fn_isblank(exp_engine *, exp_symval *result, int, exp_symval **argv) {
  const exp_symval *v = argv[0];
  bool blank = symval_is_null(v) || (symval_type(v) == EXP_STRING && all_spaces(text_of(v)));
  exp_symval_setint(result, blank ? 1 : 0);
  return 0;
}

// Checks are converted to the value's type one by one (into a cell shaped like the value, so a
// string check is cut to the value's limit); null checks and failed conversions are skipped.
int fn_inlist(exp_engine *e, exp_symval *result, int argc, exp_symval **argv) {
  const exp_symval *value = argv[0];
  if (symval_is_null(value)) {
    exp_symval_setnull(result);
    return 0;
  }
  if (symval_type(value) == EXP_OBJECT) {
    exp_symval_setint(result, 0);
    return 0;
  }
  TempCell temp;
  if (!temp.init_like(value)) return engine_error(e, ERR_MEMORY);
  exp_symval_setint(result, any_check_matches(e, value, temp.get(), argc - 1, argv + 1) ? 1 : 0);
  return 0;
}

// Error 107 carries the program's own text, so the host can tell its conditions apart.
int fn_raiseerror(exp_engine *e, exp_symval *, int, exp_symval **argv) {
  const char *text = symval_is_null(argv[0]) ? kDefaultUserError : text_of(argv[0]);
  return engine_error_text(e, ERR_USER, text, kUserErrorMax);
}

// A test hook that must never take the host down: the run stops with an ordinary error.
int fn_crash_application(exp_engine *e, exp_symval *, int, exp_symval **) {
  return exp_raise_error(e, "crash_application was called; the run was stopped instead of crashing");
}

namespace {

const exp_function kRecords[] = {
    {"tostring", charging_texts<fn_convert, 0>, 1, 1, "a", 's', 255, "Convert argument to string", 0, ""},
    {"tointeger", charging_texts<fn_convert, 0>, 1, 1, "a", 'i', 0, "Convert argument to integer", 0, ""},
    {"todate", charging_texts<fn_convert, 0>, 1, 1, "a", 'd', 0, "Convert argument to date", 0, ""},
    {"toreal", charging_texts<fn_convert, 0>, 1, 1, "a", 'r', 0, "Convert argument to real", 0, ""},
    {"toboolean", charging_texts<fn_convert, 0>, 1, 1, "a", 'b', 0, "Convert argument to boolean", 0, ""},
    {"isnull", fn_isnull, 1, 1, "a", 'b', 0, "Returns true if expression is null", 0, ""},
    {"typeof", fn_typeof, 1, 1, "a", 's', 10,
     "Returns the type of data that an expression evaluates to.", 0, ""},
    {"determine_type", charging_texts<fn_determine_type, 0>, 1, 1, "s", 's', 10,
     "Returns the type of data that a string represents.", 0, ""},
    {"isalpha", charging_texts<fn_isalpha, 0>, 1, 1, "a", 'b', 0,
     "Returns true if the expression is a string made up entirely of alphabetic characters.", 0, ""},
    {"isblank", charging_texts<fn_isblank, 0>, 1, 1, "a", 'b', 0,
     "This function returns true if a string is empty, null, or contains only space-like characters.",
     0, ""},
    {"parse", charging_texts<fn_parse, 0, 1>, 3, EXP_UNLIMITED, "ssa", 'i', 0,
     "Parses the input string. Delimiter is one or more characters that delimit each token (for "
     "example, a comma). The parsed tokens are stored in the output variables. The output "
     "variables may be of any type. The function returns the total number of tokens found. This "
     "number is accurate even if you pass fewer than that total number of output variables.",
     0, ""},
    {"inlist", charging_texts<fn_inlist, 0, 1>, 2, EXP_UNLIMITED, "a", 'b', 0,
     "Returns true if the first parameter matches one of the following parameters. Null is "
     "propagated for the value parameter, but not for the check parameters.",
     0, ""},
    {"parameter", fn_parameter, 1, 1, "i", 's', 255,
     "Returns the value of a parameter as a string, or null if that parameter doesn't exist", 0, ""},
    {"parameterstring", fn_parameter, 1, 1, "i", 's', 255,
     "Returns the value of a parameter as a string, or null if that parameter doesn't exist", 0, ""},
    {"parameterinteger", fn_parameter, 1, 1, "i", 'i', 0,
     "Returns the value of a parameter as an integer, or null if that parameter doesn't exist", 0, ""},
    {"parameterdate", fn_parameter, 1, 1, "i", 'd', 0,
     "Returns the value of a parameter as a date, or null if that parameter doesn't exist", 0, ""},
    {"parameterboolean", fn_parameter, 1, 1, "i", 'b', 0,
     "Returns the value of a parameter as a boolean, or null if that parameter doesn't exist", 0, ""},
    {"parameterreal", fn_parameter, 1, 1, "i", 'r', 0,
     "Returns the value of a parameter as a real, or null if that parameter doesn't exist", 0, ""},
    {"parametertype", fn_parametertype, 1, 1, "i", 's', 255,
     "Returns the data type of a parameter, or null if that parameter doesn't exist", 0, ""},
    {"parametercount", fn_parametercount, 0, 0, "", 'i', 0, "Returns the number of parameters available.",
     0, ""},
    {"vareval", rechecked<fn_vareval>, 1, 1, "s", 's', 255,
     "Evaluates and returns the value of a variable with the given name", 0, "", EXP_CAP_VARIABLES},
    {"varset", rechecked<fn_varset>, 2, 2, "sa", 'b', 0, "Set the variable with the given name to a value", 0, "",
     EXP_CAP_VARIABLES},
    {"decode", charging_texts<fn_decode, 1>, 3, 3, "sss", 'i', 0,
     "EXPERIMENTAL: Transcodes the String contents to the specified encoding", 0, ""},
    {"encode", charging_texts<fn_encode, 1>, 3, 3, "sss", 'i', 0,
     "EXPERIMENTAL: Transcodes the source buffer to the String encoding", 0, ""},
    {"raiseerror", fn_raiseerror, 1, 1, "s", 'b', 0,
     "Raises a user-defined error. Users can define a condition, and then use raiseerror to stop "
     "the job and return a user-defined error message when that condition occurs. Useful for "
     "evaluating problems unique to an installation. The user can then search for the error "
     "message to see if the associated condition was responsible for stopping the job.",
     0, ""},
    {"crash_application", fn_crash_application, 0, 0, "", 'b', 0, "Used for testing purposes", 1, ""},
};

}  // namespace

std::span<const exp_function> type_functions() { return kRecords; }
