// The compile state's look-ups and release.
#include "compiler.h"
#include "errors.h"
#include "support/uchar.h"
#include "values.h"

exp_sym *find_declared_local(const exp_parse_state *s, const char *name) {
  // Most programs declare nothing: no key to make then.
  if (s->declared_locals.empty()) return nullptr;
  return find_declared_local(s, name_key(name));
}

exp_sym *find_declared_local(const exp_parse_state *s, const name_key &key) {
  if (s->declared_locals.empty() || !key.text()) return nullptr;
  const auto found = s->declared_locals.find(np_uchar_fold(key.text()));
  return found == s->declared_locals.end() ? nullptr : found->second;
}

exp_parse_state::~exp_parse_state() {
  for (exp_symval &cell : cells) symval_clear(&cell);
}

int nesting_error(exp_engine *e) {
  return engine_error(e, ERR_COMPILE, "the program nests expressions or statements too deeply");
}
