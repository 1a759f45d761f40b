// Engine lifecycle: creation, cloning, options, locale switching and destruction.
#include "engine.h"

#include <algorithm>
#include <clocale>
#include <iterator>
#include <cstring>
#include <new>
#include <span>
#include <string>

#include "errors.h"
#include "program.h"
#include "support/dates.h"
#include "support/process_locale.h"
#include "support/settings.h"
#include "support/uchar.h"

namespace {

// Frees everything the engine owns. Programs must be gone already.
void engine_destroy(exp_engine *e) {
  symlist_free(e->symbols);
  engine_clear_magic(e);
  delete e;
}

// The words an option accepts; other values leave the option as it is.
struct OptionValue {
  const char *text;
  int setting;
};
constexpr OptionValue kSwitch[] = {{"1", 1}, {"0", 0}};
constexpr OptionValue kChildStdout[] = {{"inherit", 0}, {"stderr", 1}};

struct EngineOption {
  const char *name;
  int exp_engine::*field;
  std::span<const OptionValue> values;
};
constexpr EngineOption kOptions[] = {
    {"DATE_ISO8601", &exp_engine::date_iso8601, kSwitch},
    {"ESCAPED_STRING", &exp_engine::escaped_string, kSwitch},
    {"CHILD_STDOUT", &exp_engine::child_stdout_to_stderr, kChildStdout},
    {"FILE_SPECIAL", &exp_engine::file_special, kSwitch},
};

}  // namespace

extern "C" EXP_API exp_engine *exp_init_ex(unsigned flags) {
  if (flags & ~static_cast<unsigned>(EXP_INIT_NO_USER_SETTINGS)) return nullptr;
  exp_engine *e = nullptr;
  try {
    e = new exp_engine();
  } catch (const std::bad_alloc &) {
    return nullptr;
  }
  try {
    e->init_flags = flags;
    e->date_format = vts_get_date_format();
    e->escaped_string = settings_escaped_string_enabled_for((flags & EXP_INIT_NO_USER_SETTINGS) == 0) ? 1 : 0;
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

extern "C" EXP_API exp_engine *exp_init(void) { return exp_init_ex(0); }

extern "C" EXP_API exp_engine *exp_clone(const exp_engine *src) {
  if (!engine_is_live(src)) return nullptr;
  exp_engine *e = exp_init_ex(src->init_flags);
  if (!e) return nullptr;
  try {
    // Records are copied whole, so host replacements of built-ins and the capability groups of
    // the class functions come along; the class functions exp_init loaded are not doubled.
    for (const exp_function &f : src->functions)
      if (!registry_find_engine_function(e, f.name)) e->functions.push_back(f);
  } catch (const std::bad_alloc &) {
    engine_destroy(e);
    return nullptr;
  }
  // A clone is as confined as its source: the same groups, limits and child and file options.
  e->capabilities = src->capabilities;
  std::copy(std::begin(src->limits), std::end(src->limits), std::begin(e->limits));
  e->memory->limit.store(src->limits[EXP_LIMIT_MEMORY], std::memory_order_relaxed);
  e->child_stdout_to_stderr = src->child_stdout_to_stderr;
  e->file_special = src->file_special;
  return e;
}

extern "C" EXP_API int exp_clean(exp_engine *e) {
  if (!e) return 0;
  if (!engine_is_live(e)) return ERR_INVALID_INPUT;  // freed already
  if (int rc = exp_erase_symbols(e)) return rc;
  engine_destroy(e);
  return 0;
}

// Sets one option from its table row. Setting an option leaves the engine's last error as it was:
// hosts set options between other calls whose errors they read.
extern "C" EXP_API int exp_set_option(exp_engine *e, const char *name, const char *value) {
  if (!engine_is_live(e)) return ERR_INVALID_INPUT;
  if (!name || !value) return engine_error(e, ERR_INVALID_INPUT, "missing option name or value");
  for (const EngineOption &option : kOptions) {
    if (np_uchar_icomp(name, option.name) != 0) continue;
    for (const OptionValue &v : option.values) {
      if (np_uchar_icomp(value, v.text) != 0) continue;
      e->*option.field = v.setting;
      return 0;
    }
    std::string text = std::string("option ") + option.name + " does not take '" + value + "'";
    return engine_error(e, ERR_INVALID_INPUT, text.c_str());
  }
  char shown[EXP_NAME_MAX + 1];
  copy_name(shown, name, EXP_NAME_MAX);
  return engine_error(e, ERR_UNKNOWN_OPTION, shown);
}

extern "C" EXP_API void exp_set_callback_data(exp_engine *e, void *data) {
  if (e) e->callback_data = data;
}

extern "C" EXP_API void *exp_get_callback_data(const exp_engine *e) { return e ? e->callback_data : nullptr; }

extern "C" EXP_API void exp_set_interrupt_hndlr(exp_engine *e, exp_interrupt_cb h) {
  if (e) e->interrupt = h;
}

extern "C" EXP_API int exp_set_capabilities(exp_engine *e, unsigned allowed) {
  if (!engine_is_live(e)) return ERR_INVALID_INPUT;
  if (allowed & ~static_cast<unsigned>(EXP_CAP_ALL | EXP_CAP_PSEUDO_FILES))
    return engine_error(e, ERR_INVALID_INPUT, "unknown capability bits");
  e->capabilities = allowed;
  return engine_ok(e);
}

extern "C" EXP_API unsigned exp_get_capabilities(const exp_engine *e) { return e ? e->capabilities : 0; }

extern "C" EXP_API int exp_set_limit(exp_engine *e, int which, int64_t value) {
  if (!engine_is_live(e)) return ERR_INVALID_INPUT;
  if (which < 1 || which > EXP_LIMIT_COUNT) return engine_error(e, ERR_INVALID_INPUT, "unknown limit");
  if (value < 0) return engine_error(e, ERR_INVALID_INPUT, "negative limit");
  e->limits[which] = value;
  if (which == EXP_LIMIT_MEMORY) e->memory->limit.store(value, std::memory_order_relaxed);
  return engine_ok(e);
}

extern "C" EXP_API int64_t exp_get_limit(const exp_engine *e, int which) {
  if (!e || which < 1 || which > EXP_LIMIT_COUNT) return -1;
  return e->limits[which];
}

#define EXP_STRINGIFY2(x) #x
#define EXP_STRINGIFY(x) EXP_STRINGIFY2(x)
extern "C" EXP_API const char *exp_version(void) {
  return EXP_STRINGIFY(EXP_VERSION_MAJOR) "." EXP_STRINGIFY(EXP_VERSION_MINOR) "." EXP_STRINGIFY(EXP_VERSION_PATCH);
}

int engine_set_locale(exp_engine *e, const char *name, char *previous, size_t size) {
  if (!name) return 1;
  if (std::strcmp(name, "#iso8601") == 0) {
    process_locale_switch(nullptr, previous, size);
    if (e) e->date_iso8601 = 1;
    return 0;
  }
  if (process_locale_switch(name, previous, size) != 0) return 1;
  if (e) e->date_format = vts_get_date_format();
  return 0;
}
