// The compiler's entry points: exp_make_pcode, exp_determine_symbols, exp_get_next_req_symbol.
#include <algorithm>
#include <clocale>
#include <cstring>
#include <locale.h>
#include <new>

#include "compiler.h"
#include "errors.h"
#include "support/dates.h"
#include "values.h"

namespace {

// The date order of the "C" locale, which never changes: asked of the platform once (under
// that locale), as asking formats a date.
int c_locale_date_format() {
  static const int format = vts_get_date_format();
  return format;
}

// Literals are read in the "C" locale: this thread switches to it for the compilation and back
// afterwards, so compiling never disturbs the process locale or other threads. The engine's date
// order follows the switch, so numeric date literals read month/day/year.
class CLocaleScope {
 public:
  explicit CLocaleScope(exp_engine *e) : e_(e), saved_format_(e->date_format) {
    c_locale_ = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(0));
    if (c_locale_) previous_ = uselocale(c_locale_);
    e->date_format = c_locale_ ? c_locale_date_format() : vts_get_date_format();
  }
  ~CLocaleScope() {
    if (c_locale_) {
      uselocale(previous_);
      freelocale(c_locale_);
    }
    e_->date_format = saved_format_;
  }
  CLocaleScope(const CLocaleScope &) = delete;
  CLocaleScope &operator=(const CLocaleScope &) = delete;

 private:
  exp_engine *e_;
  int saved_format_;
  locale_t c_locale_ = static_cast<locale_t>(0);
  locale_t previous_ = static_cast<locale_t>(0);
};

int check_arguments(exp_engine *e, int type, int len, const char *name) {
  if (type == EXP_STRING && len < 1) return engine_error(e, ERR_ZERO_LENGTH);
  if (type == EXP_STRING && len > kMaxStringLimit) return engine_error(e, ERR_INVALID_INPUT, "string limit too large");
  if (type < EXP_BOOLEAN || type > EXP_OBJECT) return engine_error(e, ERR_RETURN_TYPE);
  if (name && udf_entry_find(e, name)) return engine_error(e, ERR_FUNC_REGISTERED);
  return 0;
}

int setup_program(exp_engine *e, exp_pcode *p, int type, int len, int flags) {
  if (pcode_init_cells(p, e, type, len, (flags & EXP_MAKE_BYTES) ? EXP_BYTES : 0) != 0)
    return engine_error(e, ERR_MEMORY);
  return 0;
}

// Programs take about 0.7 instructions per byte of text. Reserving that much up front saves the
// copies of growing the instruction and position arrays step by step; pcode_finish trims what is
// left over. Past the cap the arrays grow as they go (large blocks grow in place), so a large
// text never reserves far ahead of what it needs.
constexpr size_t kReservedInstructionsMax = size_t{1} << 16;

void reserve_for_text(exp_pcode *p, const char *text) {
  const size_t expected = std::min(std::strlen(text) * 3 / 4 + 16, kReservedInstructionsMax);
  // The instruction array is only given a head start: when that fails, it grows (or fails) while
  // emitting.
  if (pcode_set_capacity(p, static_cast<int>(expected)) == 0) p->positions.reserve(expected);
}

// Lexes and parses the whole text into `p`, then resolves gotos and sizes the argument vector.
int compile_text(exp_engine *e, exp_pcode *p, const char *text) {
  exp_parse_state *s = parse_state(e);
  reserve_for_text(p, text);
  {
    CLocaleScope c_locale(e);
    if (int rc = lexer_init(e, s, text)) return rc;
    if (int rc = next_token(e, s)) return rc;
    if (int rc = next_token(e, s)) return rc;
    if (int rc = parse_program(e, p)) return rc;
    check_unread_variables(e, s);
  }
  s->stop = {0, 0};
  if (int rc = resolve_gotos(e, p)) return rc;
  return pcode_finish(p) ? engine_error(e, ERR_MEMORY) : 0;
}

// Makes `s` the engine's compilation in progress while it lives.
class CompilingScope {
 public:
  CompilingScope(exp_engine *e, exp_parse_state *s) : e_(e), saved_(e->compiling) { e->compiling = s; }
  ~CompilingScope() { e_->compiling = saved_; }
  CompilingScope(const CompilingScope &) = delete;
  CompilingScope &operator=(const CompilingScope &) = delete;

 private:
  exp_engine *e_;
  exp_parse_state *saved_;
};

// Compiles `text` into *out with the state `s`; on failure `s->stop` holds the position at which
// compiling stopped ({0, 0} when the error has no place in the text).
int make_pcode(exp_engine *e, exp_parse_state *s, const char *text, exp_pcode **out, int type, int len,
               int flags, const char *name) {
  e->warnings.clear();
  if (int rc = check_arguments(e, type, len, name)) return rc;
  exp_pcode *p = pcode_new();
  if (!p) return engine_error(e, ERR_MEMORY);
  s->static_default = (flags & EXP_MAKE_STATIC) != 0;
  s->private_default = (flags & EXP_MAKE_PRIVATE) != 0;
  int rc = setup_program(e, p, type, len, flags);
  if (!rc) {
    try {
      rc = compile_text(e, p, text);
    } catch (const std::bad_alloc &) {
      rc = engine_error(e, ERR_MEMORY);
    }
  }
  if (!rc) rc = pcode_charge_memory(e, p);
  // The warnings found, also those before an error, belong to this compile; a program keeps its
  // own copy.
  e->warnings = std::move(s->warn.found);
  if (!rc) {
    try {
      p->warnings = e->warnings;
    } catch (const std::bad_alloc &) {
      rc = engine_error(e, ERR_MEMORY);
    }
  }
  if (!rc && name) {
    copy_name(p->udf_name, name, EXP_NAME_MAX);
    if (pcode_register_udf(e, p) != 0) rc = engine_error(e, ERR_MEMORY);
  }
  if (rc) {
    pcode_free(e, p);
    return rc;
  }
  *out = p;
  ++e->live_programs;
  return engine_ok(e);
}

}  // namespace

extern "C" EXP_API int exp_make_pcode(exp_engine *e, const char *text, exp_pcode **out, int result_type,
                                      int result_len, int flags, const char *name) {
  if (!engine_is_live(e)) return ERR_INVALID_INPUT;
  if (!out) return engine_error(e, ERR_INVALID_INPUT, "missing program pointer");
  exp_parse_state state;
  CompilingScope compiling(e, &state);
  int rc = make_pcode(e, &state, text ? text : "", out, result_type, result_len, flags, name);
  if (rc) engine_error_position(e, state.stop.line, state.stop.column);
  return rc;
}

extern "C" EXP_API int exp_determine_symbols(exp_engine *e, const char *text) {
  if (!engine_is_live(e)) return ERR_INVALID_INPUT;
  e->req_symbols.clear();
  e->req_cursor = 0;
  e->req_placeholder.reset(sym_create("__dummy", EXP_STRING, 255, nullptr, 0));
  if (!e->req_placeholder) return engine_error(e, ERR_MEMORY);
  exp_pcode *p = nullptr;
  int rc = exp_make_pcode(e, text, &p, EXP_BOOLEAN, 0, 0, nullptr);
  if (rc == 0) exp_free_pcode(e, p);
  e->req_placeholder.reset();
  e->req_cursor = 0;
  return rc;
}

extern "C" EXP_API int exp_get_next_req_symbol(exp_engine *e, const char **name) {
  if (!e) return 0;
  if (e->req_cursor >= e->req_symbols.size()) {
    e->req_cursor = 0;
    return 0;
  }
  const std::string &n = e->req_symbols[e->req_cursor++];
  if (name) *name = n.c_str();
  return 1;
}
