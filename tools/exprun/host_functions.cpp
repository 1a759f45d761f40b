// parsedate and weekday: date helpers that data files need and the built-ins lack.
#include "host_functions.h"

#include <string_view>

#include "date_text.h"

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

constexpr HostFunction kFunctions[] = {
    {"parsedate", fn_parsedate, 2, 2, "ss", 'd',
     "Reads a date from text with a pattern of formatdate's letters, e.g. parsedate(\"Jan 1 2000\", \"MMM DD YYYY\")"},
    {"weekday", fn_weekday, 1, 1, "d", 'i', "The ISO weekday of a date: 1 for Monday to 7 for Sunday"},
};

}  // namespace

const HostFunction *host_functions(int *count) {
  *count = static_cast<int>(sizeof kFunctions / sizeof kFunctions[0]);
  return kFunctions;
}

int register_host_functions(exp_engine *e) {
  for (const HostFunction &f : kFunctions)
    if (int rc = exp_register_function(e, f.name, f.fn, f.min_args, f.max_args, f.signature, f.ret_type, 0,
                                       f.description, 0, nullptr))
      return rc;
  return 0;
}
