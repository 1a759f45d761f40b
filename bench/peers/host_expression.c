/* host_expression.c - the expression engine in the peer benchmark, on the public C ABI only.
 * Each program is compiled once; per record the host writes the bound symbols' cells, runs the
 * program and reads the result symbols' cells back. */
#include "common.h"

#include <expression.h>

#define PEER "expression"

static const char *const PROG[NWORK] = {
  [W1] = "integer total\n"
         "total = qty * 2 + 1",
  [W2] = "real amount\n"
         "amount = price * qty * (1 - discount)",
  [W2DEC] = "real amount\n"
            "amount = price * qty * (1 - discount)",
  [W3] = "string up\n"
         "integer pos\n"
         "up = upper(trim(name)) & \"!\"\n"
         "pos = instr(name, \"an\")",
  [W4] = "integer s\n"
         "integer i\n"
         "s = 0\n"
         "for i = 1 to 100 s = s + i",
  [W5] = "string t\n"
         "string status\n"
         "t = trim(name)\n"
         "if t == \"\" then status = \"missing\"\n"
         "else if qty > 50 then status = \"bulk:\" & upper(t)\n"
         "else status = lower(t)",
};

static exp_engine *E;
static exp_pcode *P;
static exp_symval *qty, *price, *discount, *name;  /* bound by the host */
static exp_symval *out1, *out2;                      /* declared by the program */
static exp_decimal192 fifteen_hundredths;
static __int128 dec_sum;                             /* W2dec: exact sum in 10^-4 units */

static void die(const char *what, int rc) {
  const char *msg;
  exp_error_info(E, &msg, NULL, NULL);
  fprintf(stderr, PEER ": %s: error %d: %s\n", what, rc, msg);
  exit(1);
}

static exp_symval *bind(const char *n, int type) {
  exp_symval *c;
  int rc = exp_add_symbol(E, n, type, 255, 0, &c);
  if (rc) die("add_symbol", rc);
  return c;
}

static uint64_t hash_cell(const exp_symval *c) {
  return EXP_IS_NULL(c) ? 0 : str_hash(c->value.s, strlen(c->value.s));
}

static void one(int w, const rec_t *r, acc_t *a) {
  exp_decimal192 d;
  switch (w) {
  case W1: exp_symval_setint(qty, r->qty); break;
  case W2:
    exp_symval_setdbl(price, r->price);
    exp_symval_setint(qty, r->qty);
    exp_symval_setdbl(discount, r->discount);
    break;
  case W2DEC:
    exp_decimal_make(&d, r->price_cents, -2);
    exp_symval_setfdnum(price, &d);
    exp_symval_setint(qty, r->qty);
    exp_symval_setfdnum(discount, &fifteen_hundredths);
    break;
  case W3: exp_symval_setstrn(name, r->name, (int)r->name_len); break;
  case W5: exp_symval_setstrn(name, r->name, (int)r->name_len); exp_symval_setint(qty, r->qty); break;
  }
  int rc = exp_execute(E, P, NULL);
  if (rc) die("execute", rc);
  switch (w) {
  case W1: a->i += out1->value.i; break;
  case W2: { double v; exp_symval_getdbl(out1, &v); a->d += v; break; }
  case W2DEC: {
    int64_t units;
    if (!exp_decimal_scaled(&out1->value.d, -4, &units)) die("amount is not a whole number of 10^-4", 0);
    dec_sum += units;
    break;
  }
  case W3: a->h += hash_cell(out1); a->i += out2->value.i; break;
  case W4: a->i += out1->value.i; break;
  case W5: a->h += hash_cell(out1); break;
  }
}

int main(int argc, char **argv) {
  long n;
  int w = parse_args(argc, argv, &n);
  rec_t *R = gen_records(n);
  E = exp_init();
  if (!E) { fprintf(stderr, PEER ": exp_init failed\n"); return 1; }
  exp_decimal_make(&fifteen_hundredths, 15, -2);
  if (w == W1 || w == W2 || w == W2DEC || w == W5) qty = bind("qty", EXP_INTEGER);
  if (w == W2 || w == W2DEC) { price = bind("price", EXP_REAL); discount = bind("discount", EXP_REAL); }
  if (w == W3 || w == W5) name = bind("name", EXP_STRING);
  int rc = exp_make_pcode(E, PROG[w], &P, EXP_BOOLEAN, 0, 0, NULL);
  if (rc) die("compile", rc);
  static const char *const OUT1[NWORK] = {"total", "amount", "amount", "up", "s", "status"};
  out1 = exp_symbol_get_by_name(E, OUT1[w]);
  out2 = w == W3 ? exp_symbol_get_by_name(E, "pos") : NULL;
  /* drive() runs the warm-up records before the timed ones, and both add to dec_sum: measure
   * the warm-up's share first so that it can be taken out again. */
  acc_t a = {0, 0, 0}, junk = {0, 0, 0};
  for (long i = 0; w == W2DEC && i < WARMUP(n); i++) one(w, &R[i], &junk);
  __int128 warm = dec_sum;
  dec_sum = 0;
  double ns = drive(w, R, n, one, &a);
  char chk[64];
  if (w == W2DEC) {
    dec_sum -= warm;
    __int128 whole = dec_sum / 10000, frac = dec_sum % 10000;
    snprintf(chk, sizeof chk, "%lld.%04lld", (long long)whole, (long long)frac);
  } else {
    fmt_chk(w, &a, chk, sizeof chk);
  }
  put_result(PEER, w, ns, n, chk);
  exp_free_pcode(E, P);
  exp_clean(E);
  free(R);
  return 0;
}
