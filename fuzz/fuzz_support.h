// Helpers shared by the fuzz targets: engines with a symbol of every type bound, and the
// screening of programs that would act on the machine (processes, files, sleeping).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <unordered_set>

#include "engine.h"
#include "expression.h"
#include "program.h"
#include "registry.h"

namespace fuzz {

// The input as a NUL-terminated text (embedded NULs simply end the program early).
inline std::string as_text(const uint8_t *data, size_t size) {
  return std::string(reinterpret_cast<const char *>(data), size);
}

// Gives the symbols of bind_symbols their starting values.
inline void bind_values(exp_engine *e) {
  auto set = [e](const char *name) { return exp_symbol_get_by_name(e, name); };
  exp_symval_setint(set("b"), 1);
  exp_symval_setint(set("i"), -42);
  exp_symval_setreal_text(set("r"), "3.14159265358979323846");
  exp_symval_setstr(set("s"), "h\xC3\xA9llo, w\xC3\xB6rld");
  exp_symval_setdbl(set("d"), 46000.5);
  exp_symval_setptr(set("p"), e);
  exp_symval_setnull(set("o"));
  exp_symval_setstr(set("ro"), "fixed");
  exp_symval_setstr(set("sb"), "\xE2\x82\xAC\xE2\x82\xAC");
}

// Binds b, i, r, s, d, p and o (one symbol per type) with values, plus a read-only string and
// a byte-limited string, so fuzzed programs find names of every type to work on.
inline void bind_symbols(exp_engine *e) {
  exp_add_symbol(e, "b", EXP_BOOLEAN, 0, 0, nullptr);
  exp_add_symbol(e, "i", EXP_INTEGER, 0, 0, nullptr);
  exp_add_symbol(e, "r", EXP_REAL, 0, 0, nullptr);
  exp_add_symbol(e, "s", EXP_STRING, 16, 0, nullptr);
  exp_add_symbol(e, "d", EXP_DATE, 0, 0, nullptr);
  exp_add_symbol(e, "p", EXP_POINTER, 0, 0, nullptr);
  exp_add_symbol(e, "o", EXP_OBJECT, 0, 0, nullptr);
  exp_add_symbol(e, "ro", EXP_STRING, 8, EXP_SYM_READONLY, nullptr);
  exp_add_symbol(e, "sb", EXP_STRING, 6, EXP_SYM_BYTES, nullptr);
  bind_values(e);
}

// One engine kept for the whole fuzzing process: creating an engine costs far more than a
// typical input, and every input must leave the engine as it found it (programs freed, the
// globals they declared gone), which the harness checks after each input.
class EngineFixture {
 public:
  // `setup` binds the host's symbols and functions once.
  explicit EngineFixture(void (*setup)(exp_engine *)) : e_(exp_init()) {
    if (!e_) std::abort();
    setup(e_);
    bound_ = exp_symbol_count(e_);
  }
  ~EngineFixture() { exp_clean(e_); }
  EngineFixture(const EngineFixture &) = delete;
  EngineFixture &operator=(const EngineFixture &) = delete;
  exp_engine *get() const { return e_; }
  // Puts back what a program may have changed: the bound symbols' values and the options.
  void reset() {
    exp_set_option(e_, "DATE_ISO8601", "0");
    bind_values(e_);
  }
  // Aborts unless every program is freed and every declared global went with its program.
  void check_clean() const {
    if (e_->live_programs != 0 || exp_symbol_count(e_) != bound_ || !e_->user_functions.empty()) std::abort();
  }

 private:
  exp_engine *e_;
  int bound_ = 0;
};

// Callbacks of the functions a fuzzed program must not run: they start processes, sleep, or
// change files and directories. Collected by name from the engine's tables, so the screen
// holds however a name was spelled in the program text.
class Screen {
 public:
  explicit Screen(exp_engine *e) {
    static constexpr const char *kGlobal[] = {"execute", "sleep",  "deletefile", "movefile",
                                              "copyfile", "mkdir", "rmdir"};
    for (const char *name : kGlobal)
      if (const exp_function *f = func_find(e, name)) denied_.insert(reinterpret_cast<void *>(f->fn));
    if (exp_class *file = class_find(e, "file"))
      for (const exp_method &m : file->methods)
        if (const exp_function *f = registry_find_engine_function(e, m.function.c_str()))
          denied_.insert(reinterpret_cast<void *>(f->fn));
  }
  // True when the program (and every user-defined function it calls) calls none of them.
  bool allows(const exp_pcode *p, int depth = 0) const {
    if (depth > 64) return false;
    for (int k = 0; k < p->count; ++k) {
      const exp_instr &ins = p->code[k];
      if (ins.kind == EXP_CALL && denied_.count(reinterpret_cast<void *>(ins.b.fn))) return false;
      if (ins.kind == EXP_UDF_CALL && ins.b.program && !allows(ins.b.program, depth + 1)) return false;
    }
    return true;
  }

 private:
  std::unordered_set<void *> denied_;
};

}  // namespace fuzz
