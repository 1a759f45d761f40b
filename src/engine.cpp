// Engine lifecycle: creation, cloning, options, locale switching and destruction.
#include "engine.h"

#include <clocale>
#include <cstring>
#include <new>

#include "errors.h"
#include "program.h"
#include "support/dates.h"
#include "support/settings.h"
#include "support/uchar.h"

namespace {

// Frees everything the engine owns. Programs must be gone already.
void engine_destroy(exp_engine *e) {
  symlist_free(e->symbols);
  delete e;
}

}  // namespace

extern "C" EXP_API exp_engine *exp_init(void) {
  auto *e = new (std::nothrow) exp_engine();
  if (!e) return nullptr;
  try {
    e->date_format = vts_get_date_format();
    e->escaped_string = settings_escaped_string_enabled() ? 1 : 0;
    if (registry_load_builtins(e) != 0) {
      engine_destroy(e);
      return nullptr;
    }
  } catch (const std::bad_alloc &) {
    engine_destroy(e);
    return nullptr;
  }
  return e;
}

extern "C" EXP_API exp_engine *exp_clone(exp_engine *src) {
  if (!src) return nullptr;
  exp_engine *e = exp_init();
  if (!e) return nullptr;
  for (const exp_function &f : src->functions) {
    if (registry_find_engine_function(e, f.name)) continue;
    int rc = exp_register_function(e, f.name, f.fn, f.min_args, f.max_args, f.signature, f.ret_type,
                                   f.max_len, f.description, static_cast<int>(f.hidden),
                                   f.class_name[0] ? f.class_name : nullptr);
    if (rc != 0) {
      engine_destroy(e);
      return nullptr;
    }
  }
  return e;
}

extern "C" EXP_API int exp_clean(exp_engine *e) {
  if (!e) return 0;
  if (int rc = exp_erase_symbols(e)) return rc;
  engine_destroy(e);
  return 0;
}

extern "C" EXP_API void exp_set_option(exp_engine *e, const char *name, const char *value) {
  if (!e || !name || !value) return;
  int setting;
  if (np_uchar_icomp(value, "1") == 0) setting = 1;
  else if (np_uchar_icomp(value, "0") == 0) setting = 0;
  else return;
  if (np_uchar_icomp(name, "DATE_ISO8601") == 0) e->date_iso8601 = setting;
  else if (np_uchar_icomp(name, "ESCAPED_STRING") == 0) e->escaped_string = setting;
}

extern "C" EXP_API void exp_set_callback_data(exp_engine *e, void *data) {
  if (e) e->callback_data = data;
}

extern "C" EXP_API void *exp_get_callback_data(exp_engine *e) { return e ? e->callback_data : nullptr; }

extern "C" EXP_API void exp_set_interrupt_hndlr(exp_engine *e, exp_interrupt_cb h) {
  if (e) e->interrupt = h;
}

extern "C" EXP_API int exp_set_capabilities(exp_engine *e, unsigned allowed) {
  if (!e) return ERR_INVALID_INPUT;
  if (allowed & ~static_cast<unsigned>(EXP_CAP_ALL))
    return engine_error(e, ERR_INVALID_INPUT, "unknown capability bits");
  e->capabilities = allowed;
  return engine_ok(e);
}

extern "C" EXP_API unsigned exp_get_capabilities(const exp_engine *e) { return e ? e->capabilities : 0; }

extern "C" EXP_API int exp_set_limit(exp_engine *e, int which, int64_t value) {
  if (!e) return ERR_INVALID_INPUT;
  if (which < 1 || which > EXP_LIMIT_COUNT) return engine_error(e, ERR_INVALID_INPUT, "unknown limit");
  if (value < 0) return engine_error(e, ERR_INVALID_INPUT, "negative limit");
  e->limits[which] = value;
  return engine_ok(e);
}

extern "C" EXP_API int64_t exp_get_limit(const exp_engine *e, int which) {
  if (!e || which < 1 || which > EXP_LIMIT_COUNT) return -1;
  return e->limits[which];
}

extern "C" EXP_API const char *exp_version(void) { return "0.1.0"; }

int engine_set_locale(exp_engine *e, const char *name) {
  if (!name) return 1;
  if (std::strcmp(name, "#iso8601") == 0) {
    if (e) e->date_iso8601 = 1;
    return 0;
  }
  if (!std::setlocale(LC_ALL, name)) return 1;
  if (e) e->date_format = vts_get_date_format();
  return 0;
}
