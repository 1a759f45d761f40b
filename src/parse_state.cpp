// Lifetime of the compile state, which the engine keeps after each compilation so that the
// position of the last error can still be reported.
#include "compiler.h"
#include "errors.h"
#include "values.h"

exp_sym *find_declared_local(const exp_parse_state *s, const char *name) {
  const name_key key(name);
  for (exp_sym *sym : s->declared_locals)
    if (key.matches(sym->name)) return sym;
  return nullptr;
}

void parse_state_free(exp_parse_state *s) {
  if (!s) return;
  symval_clear(&s->cells[0]);
  symval_clear(&s->cells[1]);
  symval_clear(&s->scratch);
  delete s;
}

int nesting_error(exp_engine *e) {
  return engine_error(e, ERR_COMPILE, "the program nests expressions or statements too deeply");
}
