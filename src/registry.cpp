// The function and class registry: registration, lookup and enumeration.
#include "registry.h"

#include <cstring>
#include <new>

#include "builtins/table.h"
#include "engine.h"
#include "errors.h"
#include "program.h"
#include "support/uchar.h"

namespace {

struct LetterType {
  char letter;
  int type;
};
constexpr LetterType kLetters[] = {
    {'b', EXP_BOOLEAN}, {'i', EXP_INTEGER}, {'r', EXP_REAL}, {'s', EXP_STRING},
    {'d', EXP_DATE},    {'p', EXP_POINTER}, {'o', EXP_OBJECT},
};

char lower_ascii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

const char *kUdfDescription = "User defined function";

// A record of the engine's own table matching `key`, or none.
const exp_function *engine_function(const exp_engine *e, const name_key &key) {
  for (const exp_function &f : e->functions)
    if (key.matches(f.name)) return &f;
  return nullptr;
}

// The static built-in matching `key`, or none.
const exp_function *builtin_function(const name_key &key) {
  for (const exp_function &f : builtin_functions())
    if (key.matches(f.name)) return &f;
  return nullptr;
}

// Visits the enumerable functions in order (visible built-ins, visible engine records, then
// every user-defined function, most recent first) until `visit` returns true.
template <typename Visit>
bool for_each_visible_function(const exp_engine *e, Visit visit) {
  for (const exp_function &f : builtin_functions())
    if (!f.hidden && !engine_function(e, name_key(f.name)) && visit(f)) return true;
  for (const exp_function &f : e->functions)
    if (!f.hidden && visit(f)) return true;
  for (const auto &u : e->user_functions)
    if (visit(u->record)) return true;
  return false;
}

}  // namespace

int type_of_letter(char letter) {
  char l = lower_ascii(letter);
  for (const LetterType &t : kLetters)
    if (t.letter == l) return t.type;
  return 0;
}

bool registry_valid_return(char letter, const char *class_name) {
  if (letter == 0 || !std::strchr("BDIPRSbdiprsOo", letter)) return false;
  if (lower_ascii(letter) == 'o') return class_name && *class_name;
  return true;
}

bool registry_valid_param(char letter) { return letter && std::strchr("BDIOPRSabdioprs", letter); }

const exp_function *registry_find_callback(const exp_engine *e, const void *fn) {
  for (const exp_function &f : e->functions)
    if (reinterpret_cast<const void *>(f.fn) == fn) return &f;
  for (const exp_function &f : builtin_functions())
    if (reinterpret_cast<const void *>(f.fn) == fn) return &f;
  return nullptr;
}

const exp_function *registry_find_engine_function(exp_engine *e, const char *name) {
  return engine_function(e, name_key(name));
}

const exp_function *func_find(exp_engine *e, const char *name) {
  if (!name) return nullptr;
  const name_key key(name);
  // The engine's table first: a host's replacement of a built-in takes the built-in's place.
  if (const exp_function *own = e ? engine_function(e, key) : nullptr) return own;
  return builtin_function(key);
}

exp_udf *udf_entry_find(exp_engine *e, const char *name) {
  if (!e || !name || !*name) return nullptr;
  const name_key key(name);
  for (const auto &u : e->user_functions)
    if (u->record.name[0] && key.matches(u->record.name)) return u.get();
  return nullptr;
}

exp_pcode *udf_find(exp_engine *e, const char *name) {
  exp_udf *u = udf_entry_find(e, name);
  return u ? u->program : nullptr;
}

exp_class *class_find(exp_engine *e, const char *name) {
  if (!e || !name) return nullptr;
  const name_key key(name);
  for (const auto &c : e->classes)
    if (key.matches(c->name)) return c.get();
  return nullptr;
}

const char *class_find_method(const exp_class *c, const char *method) {
  if (!c || !method) return nullptr;
  const name_key key(method);
  for (const exp_method &m : c->methods)
    if (key.matches(m.method.c_str())) return m.function.c_str();
  return nullptr;
}

int registry_load_builtins(exp_engine *e) {
  for (const builtin_class &bc : builtin_classes()) {
    exp_class *cls = nullptr;
    if (int rc = exp_register_class2(e, bc.name, bc.description, bc.destructor, &cls, bc.hidden ? 1 : 0))
      return rc;
    const name_key class_name(bc.name);
    for (const builtin_method &m : builtin_methods())
      if (class_name.matches(m.class_name))
        if (int rc = exp_register_class_function(e, cls, m.function, m.method)) return rc;
  }
  for (const exp_function &f : builtin_class_functions()) {
    int rc = exp_register_function(e, f.name, f.fn, f.min_args, f.max_args, f.signature, f.ret_type,
                                   f.max_len, f.description, static_cast<int>(f.hidden),
                                   f.class_name[0] ? f.class_name : nullptr);
    if (rc) return rc;
    e->functions.back().capability = f.capability;
    e->functions.back().capability_any = f.capability_any;
    e->functions.back().host = false;
  }
  return 0;
}

// ---- exported: functions -------------------------------------------------------------------------

namespace {

// Checks a host function's record and builds it. 0 or the error number.
int make_record(exp_engine *e, const char *name, exp_func_cb fn, int min_args, uint32_t max_args,
                const char *signature, char ret_type, uint32_t max_len, const char *description, int hidden,
                const char *class_name, exp_function *f) {
  if (!name || !*name) return engine_error(e, ERR_INVALID_INPUT, "missing function name");
  if (!registry_valid_return(ret_type, class_name)) return engine_error(e, ERR_RETURN_TYPE);
  for (const char *s = signature ? signature : ""; *s; ++s) {
    if (registry_valid_param(*s)) continue;
    char letter[2] = {*s, '\0'};
    return engine_error(e, ERR_PARAM_TYPE, letter);
  }
  *f = exp_function{};
  copy_name(f->name, name, EXP_NAME_MAX);
  f->fn = fn;
  f->min_args = min_args;
  f->max_args = max_args;
  copy_name(f->signature, signature, EXP_NAME_MAX);
  f->ret_type = ret_type;
  f->max_len = max_len;
  copy_name(f->description, description, EXP_DESC_MAX);
  f->hidden = hidden ? static_cast<uint32_t>(hidden) : 0;
  copy_name(f->class_name, class_name, EXP_NAME_MAX);
  f->host = true;
  return 0;
}

// Appends a record to the engine's table, or (when `replace` names a record of the table)
// overwrites that one.
int store_record(exp_engine *e, const exp_function &f, exp_function *replace) {
  if (replace) {
    *replace = f;
    return engine_ok(e);
  }
  try {
    e->functions.push_back(f);
  } catch (const std::bad_alloc &) {
    return engine_error(e, ERR_MEMORY);
  }
  return engine_ok(e);
}

}  // namespace

extern "C" EXP_API int exp_register_function(exp_engine *e, const char *name, exp_func_cb fn,
                                             int min_args, uint32_t max_args, const char *signature,
                                             char ret_type, uint32_t max_len,
                                             const char *description, int hidden,
                                             const char *class_name) {
  if (!engine_is_live(e)) return ERR_INVALID_INPUT;
  if (name && *name && func_find(e, name)) return engine_error(e, ERR_FUNC_REGISTERED);
  exp_function f;
  if (int rc = make_record(e, name, fn, min_args, max_args, signature, ret_type, max_len, description, hidden,
                           class_name, &f))
    return rc;
  return store_record(e, f, nullptr);
}

extern "C" EXP_API int exp_replace_function(exp_engine *e, const char *name, exp_func_cb fn, int min_args,
                                            uint32_t max_args, const char *signature, char ret_type,
                                            uint32_t max_len, const char *description, int hidden,
                                            const char *class_name) {
  if (!engine_is_live(e)) return ERR_INVALID_INPUT;
  exp_function f;
  if (int rc = make_record(e, name, fn, min_args, max_args, signature, ret_type, max_len, description, hidden,
                           class_name, &f))
    return rc;
  // The host's function stands in for the built-in and answers for what it does: it needs no
  // capability group of its own.
  auto *own = const_cast<exp_function *>(engine_function(e, name_key(name)));
  return store_record(e, f, own);
}

extern "C" EXP_API int exp_get_function_count(const exp_engine *e) {
  if (!e) return 0;
  int count = 0;
  for_each_visible_function(e, [&](const exp_function &) {
    ++count;
    return false;
  });
  return count;
}

extern "C" EXP_API int exp_get_function_info(exp_engine *e, int index, const char **name,
                                             int *min_args, uint32_t *max_args,
                                             const char **signature, char *ret_type,
                                             const char **description) {
  if (!engine_is_live(e)) return ERR_INVALID_INPUT;
  const exp_function *found = nullptr;
  int i = 0;
  if (index >= 0)
    for_each_visible_function(e, [&](const exp_function &f) {
      if (i++ != index) return false;
      found = &f;
      return true;
    });
  if (!found) return engine_error(e, ERR_INVALID_INPUT, "Invalid index");
  if (name) *name = found->name;
  if (min_args) *min_args = found->min_args;
  if (max_args) *max_args = found->max_args;
  if (signature) *signature = found->signature;
  if (ret_type) *ret_type = found->ret_type;
  if (description) *description = found->description;
  return engine_ok(e);
}

// ---- exported: classes -----------------------------------------------------------------------------

extern "C" EXP_API int exp_register_class2(exp_engine *e, const char *name, const char *description,
                                           exp_destructor_cb d, exp_class **out, int hidden) {
  if (!engine_is_live(e)) return ERR_INVALID_INPUT;
  if (!name || !*name) return engine_error(e, ERR_INVALID_INPUT, "missing class name");
  if (class_find(e, name)) return engine_error(e, ERR_CLASS_REGISTERED);
  try {
    auto cls = std::make_unique<exp_class>();
    copy_name(cls->name, name, EXP_NAME_MAX);
    copy_name(cls->description, description, EXP_DESC_MAX);
    cls->destructor = d;
    cls->hidden = hidden ? 1 : 0;
    e->classes.push_back(std::move(cls));
  } catch (const std::bad_alloc &) {
    return engine_error(e, ERR_MEMORY);
  }
  if (out) *out = e->classes.back().get();
  return engine_ok(e);
}

extern "C" EXP_API int exp_register_class(exp_engine *e, const char *name, const char *description,
                                          exp_destructor_cb d, exp_class **out) {
  return exp_register_class2(e, name, description, d, out, 0);
}

// Error 111 for a class record that `e` does not hold: a method added to, or read from, another
// engine's class would name functions of that engine.
static int refuse_foreign_class(exp_engine *e, const exp_class *c) {
  for (const auto &k : e->classes)
    if (k.get() == c) return 0;
  return engine_error(e, ERR_FOREIGN_HANDLE, "The class");
}

extern "C" EXP_API int exp_register_class_function(exp_engine *e, exp_class *c, const char *function,
                                                   const char *method) {
  if (!engine_is_live(e)) return ERR_INVALID_INPUT;
  if (!c || !method || !*method || !function)
    return engine_error(e, ERR_INVALID_INPUT, "missing class or method");
  if (int rc = refuse_foreign_class(e, c)) return rc;
  if (class_find_method(c, method)) return engine_error(e, ERR_FUNC_REGISTERED);
  char m[EXP_NAME_MAX + 1], f[EXP_NAME_MAX + 1];
  copy_name(m, method, EXP_NAME_MAX);
  copy_name(f, function, EXP_NAME_MAX);
  try {
    c->methods.push_back(exp_method{m, f});
  } catch (const std::bad_alloc &) {
    return engine_error(e, ERR_MEMORY);
  }
  return engine_ok(e);
}

extern "C" EXP_API int exp_get_class_count(const exp_engine *e) {
  if (!e) return 0;
  int n = 0;
  for (const auto &c : e->classes) n += c->hidden ? 0 : 1;
  return n;
}

extern "C" EXP_API int exp_get_class_info(exp_engine *e, int index, const char **name,
                                          const char **description, exp_class **out) {
  if (!engine_is_live(e)) return ERR_INVALID_INPUT;
  int i = 0;
  for (const auto &c : e->classes) {
    if (c->hidden || i++ != index) continue;
    if (name) *name = c->name;
    if (description) *description = c->description;
    if (out) *out = c.get();
    return engine_ok(e);
  }
  if (name) *name = nullptr;
  if (description) *description = nullptr;
  if (out) *out = nullptr;
  return engine_error(e, ERR_INVALID_INPUT, "invalid index");
}

extern "C" EXP_API exp_class *exp_get_class_by_name(const exp_engine *e, const char *name) {
  return class_find(const_cast<exp_engine *>(e), name);  // only searched; the record stays the engine's
}

extern "C" EXP_API int exp_get_class_function_count(exp_class *c) {
  return c ? static_cast<int>(c->methods.size()) : 0;
}

extern "C" EXP_API int exp_get_class_function_info(exp_engine *e, exp_class *c, int index,
                                                   const char **method, int *min_args,
                                                   uint32_t *max_args, const char **signature,
                                                   char *ret_type, const char **description) {
  if (!engine_is_live(e)) return ERR_INVALID_INPUT;
  if (c) {
    if (int rc = refuse_foreign_class(e, c)) return rc;
  }
  if (!c || index < 0 || static_cast<size_t>(index) >= c->methods.size())
    return engine_error(e, ERR_INVALID_INPUT, "invalid index");
  const exp_method &m = c->methods[static_cast<size_t>(index)];
  if (method) *method = m.method.c_str();
  if (description) {
    const exp_function *f = func_find(e, m.function.c_str());
    if (!f) {
      *description = "invalid method";
    } else {
      *description = f->description;
      if (min_args) *min_args = f->min_args;
      if (max_args) *max_args = f->max_args;
      if (signature) *signature = f->signature;
      if (ret_type) *ret_type = f->ret_type;
    }
  }
  return engine_ok(e);
}

// ---- user-defined function records ------------------------------------------------------------------

int pcode_register_udf(exp_engine *e, exp_pcode *p) {
  if (!p->udf_name[0]) return 0;
  try {
    auto u = std::make_unique<exp_udf>();
    u->program = p;
    u->record = exp_function{};
    copy_name(u->record.name, p->udf_name, EXP_NAME_MAX);
    u->record.max_args = EXP_UNLIMITED;
    u->record.ret_type = static_cast<char>(p->result_type);
    copy_name(u->record.description, kUdfDescription, EXP_DESC_MAX);
    e->user_functions.insert(e->user_functions.begin(), std::move(u));
  } catch (const std::bad_alloc &) {
    return 1;
  }
  return 0;
}
