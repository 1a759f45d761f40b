/*
 * A complete host: binds record fields, compiles a rule once, runs it per record, reads the
 * results back and reports errors with their positions. docs/embedding.md walks through it; the
 * tests build and run it against the build tree and against installed packages, so it stays true.
 * Exit status 0 when every step gave what the comments say.
 */
#include <expression.h>
#include <stdio.h>
#include <string.h>

/* One record as a CSV reader hands it over: fields are slices of a line, not terminated. */
typedef struct {
  const char *line;
  size_t name_at, name_len; /* the customer's name */
  const char *qty;          /* quantity, as text */
  const char *price;        /* unit price, as decimal text */
} record;

static int failures = 0;

static void expect(int ok, const char *what) {
  if (!ok) {
    fprintf(stderr, "unexpected: %s\n", what);
    ++failures;
  }
}

/* Prints the engine's last error with its position, as a host would show it to a rule's author. */
static void report(exp_engine *e, const char *stage) {
  const char *message;
  int line, column;
  int code = exp_error_info(e, &message, &line, &column);
  if (line > 0) printf("%s error %d at %d:%d: %s\n", stage, code, line, column, message);
  else printf("%s error %d: %s\n", stage, code, message);
}

/* A host function: discount(amount) gives 10% off amounts of 100 and more. */
static int discount(exp_engine *e, exp_symval *result, int argc, exp_symval **argv) {
  (void)e;
  (void)argc;
  if (EXP_IS_NULL(argv[0])) return 0; /* null in, null out: the result cell is already null */
  int64_t cents = 0;
  if (!exp_decimal_scaled(&argv[0]->value.d, -2, &cents)) return exp_raise_error(e, "amount has more than 2 decimals");
  if (cents >= 10000) cents -= cents / 10;
  exp_decimal192 d;
  exp_decimal_make(&d, cents, -2);
  exp_symval_setfdnum(result, &d);
  return 0;
}

int main(void) {
  printf("library %s, header %d.%d.%d\n", exp_version(), EXP_VERSION_MAJOR, EXP_VERSION_MINOR, EXP_VERSION_PATCH);

  /* 1. An engine, a host function, and one symbol per field. */
  exp_engine *e = exp_init();
  if (!e) return 1;
  expect(exp_register_function(e, "discount", discount, 1, 1, "r", 'r', 0, "10% off from 100", 0, NULL) == 0,
         "register discount");
  exp_symval *name, *qty, *price;
  expect(exp_add_symbol(e, "name", EXP_STRING, 8, 0, &name) == 0, "bind name");
  expect(exp_add_symbol(e, "qty", EXP_INTEGER, 0, 0, &qty) == 0, "bind qty");
  expect(exp_add_symbol(e, "price", EXP_REAL, 0, EXP_SYM_READONLY, &price) == 0, "bind price");

  /* 2. Compile once. The rule declares `total`, a global the host reads back after each run; its
   * last line is the result, a string of up to 40 characters. */
  const char *rule =
      "real total\n"
      "total = discount(qty * price)\n"
      "if total > 500 then total = 500\n"
      "upper(name) & \": \" & tostring(total)\n";
  exp_pcode *program;
  if (exp_make_pcode(e, rule, &program, EXP_STRING, 40, 0, NULL) != 0) {
    report(e, "compile");
    return 1;
  }
  exp_symval *total = exp_symbol_get_by_name(e, "total");
  expect(total != NULL && EXP_TYPE(total) == EXP_REAL, "total is a real symbol");

  /* 3. Run per record. */
  const record records[] = {
      {"ada,3,12.50", 0, 3, "3", "12.50"},
      {"grace hopper,10,19.99", 0, 12, "10", "19.99"},
      {"linus,100,9.99", 0, 5, "100", "9.99"},
  };
  const char *expected[] = {"ADA: 37.5", "GRACE HO: 179.91", "LINUS: 500"};
  for (int i = 0; i < 3; ++i) {
    const record *r = &records[i];
    /* The name is a slice of the line: bound by its length, never read past it. Text longer than
     * the symbol's limit of 8 characters is stored cut, and the call says so. */
    int rc = exp_symval_setbytes(name, r->line + r->name_at, r->name_len);
    if (rc == EXP_E_TEXT_CUT) printf("record %d: name cut to 8 characters\n", i + 1);
    else expect(rc == 0, "name stored");
    expect(exp_symval_settext(e, qty, r->qty) == 0, "qty converts");
    expect(exp_symval_setreal_text(price, r->price) == 0, "price converts");

    exp_symval *result;
    if (exp_execute(e, program, &result) != 0) {
      report(e, "run");
      continue;
    }
    /* 4. Read back: the result cell as text, and the symbol the rule set. */
    char text[64], total_text[64];
    exp_symval_to_text(e, result, text, sizeof text);
    exp_symval_to_text(e, total, total_text, sizeof total_text);
    printf("record %d: %s (total %s)\n", i + 1, text, total_text);
    expect(strcmp(text, expected[i]) == 0, expected[i]);
  }

  /* 5. Errors: a rule that does not compile says where; a run-time error says where too. */
  exp_pcode *bad;
  int rc = exp_make_pcode(e, "qty * \n  nosuch", &bad, EXP_INTEGER, 0, 0, NULL);
  expect(rc == EXP_E_SYMBOL_NOT_FOUND, "nosuch is not a symbol");
  report(e, "compile");
  exp_pcode *ratio;
  expect(exp_make_pcode(e, "integer per\nper = 100 / (qty - qty)", &ratio, EXP_INTEGER, 0, 0, NULL) == 0,
         "ratio compiles");
  rc = exp_execute(e, ratio, NULL);
  expect(rc == EXP_E_DIVIDE_BY_ZERO, "divide by zero");
  report(e, "run");
  printf("error %d is \"%s\"\n", EXP_E_DIVIDE_BY_ZERO, exp_errstr(EXP_E_DIVIDE_BY_ZERO));
  expect(exp_set_option(e, "DATE_ISO_8601", "1") == EXP_E_UNKNOWN_OPTION, "misspelt option refused");

  /* 6. Programs first, then the engine. */
  expect(exp_free_pcode(e, ratio) == 0 && exp_free_pcode(e, program) == 0, "programs freed");
  expect(exp_clean(e) == 0, "engine freed");
  printf("%s\n", failures ? "FAILED" : "ok");
  return failures ? 1 : 0;
}
