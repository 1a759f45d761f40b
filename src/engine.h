// The engine context: everything one host thread's use of the library hangs from.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "expression.h"
#include "resource_limits.h"
#include "registry.h"
#include "symbols.h"
#include "warnings.h"

struct exp_parse_state;  // the compiler's working state (compiler.h)

// Symbols come from sym_create (C allocation, owned cell buffer): released with sym_destroy.
struct SymDeleter {
  void operator()(exp_sym *s) const { sym_destroy(s); }
};

// The mark of a live engine, cleared when it is freed: a freed engine handed back to the library
// is refused instead of being used, as long as its memory has not been reused.
inline constexpr uint32_t kEngineMagic = 0x31474E45;  // "ENG1"

struct exp_engine {
  // Last error: the message (at most 255 bytes, NUL-terminated) and its number, 0 after success.
  char message[256] = {};
  int error = 0;
  // Away from the block's first bytes, which the allocator reuses for its own bookkeeping once
  // the block is freed.
  uint32_t magic = kEngineMagic;
  // The position of the stored error in program text (0, 0 when it has none): the compiler's
  // stopping point for a compile error, the failed instruction's for a run error.
  int error_line = 0, error_column = 0;
  // The compilation in progress: its state lives on the compiling call's stack and is gone when
  // the call returns, so the engine keeps nothing of a compile but the error it reports.
  exp_parse_state *compiling = nullptr;
  // The warnings of the last compile, and the names the host outputs (exp_mark_output), which the
  // warning about unread variables leaves alone.
  std::vector<exp_warning> warnings;
  std::vector<std::string> output_names;

  SymbolList symbols;                 // global symbols, in order of creation
  int live_programs = 0;              // programs made or copied and not yet freed

  std::vector<exp_function> functions;       // class-method functions, then host functions
  std::vector<std::unique_ptr<exp_class>> classes;  // in order of registration
  std::vector<std::unique_ptr<exp_udf>> user_functions;  // most recent first

  exp_interrupt_cb interrupt = nullptr;
  void *callback_data = nullptr;
  int date_format = 0;                // order of day, month and year in the locale's dates

  // Arguments of the program now running (saved and restored around each run).
  int param_count = 0;
  exp_symval **params = nullptr;
  int run_depth = 0;                  // runs in progress: nested user-defined functions and hosts' re-entry
  // The program of the innermost exp_execute in progress: a function that waits (sleep) inside a
  // user-defined function also stops when the host cancels that program.
  const exp_pcode *host_run = nullptr;

  // Collection of the names a program text needs: the placeholder symbol while collecting, the
  // names found missing, and the cursor of exp_get_next_req_symbol.
  std::unique_ptr<exp_sym, SymDeleter> req_placeholder;
  std::vector<std::string> req_symbols;
  size_t req_cursor = 0;

  // Declared (non-static) global cells that every run resets, and those holding objects that
  // the outermost run releases; rebuilt when `symbols` changes.
  std::vector<exp_symval *> run_reset_globals;
  std::vector<exp_symval *> run_release_globals;
  uint64_t run_lists_version = UINT64_MAX;

  unsigned init_flags = 0;            // EXP_INIT_* the engine was made with; clones are made alike
  int escaped_string = 0;             // ESCAPED_STRING: backslash escapes in string literals
  int date_iso8601 = 0;               // DATE_ISO8601: dates convert to ISO 8601 text

  int child_stdout_to_stderr = 0;     // CHILD_STDOUT: "stderr" sends execute's children's output to fd 2
  int file_special = 0;               // FILE_SPECIAL: the file class may open FIFOs and devices

  unsigned capabilities = EXP_CAP_ALL;       // groups of built-ins programs may call
  int64_t limits[EXP_LIMIT_COUNT + 1] = {};  // by EXP_LIMIT_* number; 0 = no limit
  // Memory held by programs, arrays and regexes, shared with the objects charged to it.
  MemoryBudgetRef memory = std::make_shared<MemoryBudget>();
  int64_t steps_run = 0;                     // steps of the outermost run in progress
  int64_t work_left = kWorkPerCheck;         // units of built-in work before they are settled
  // Changes of the limit of a charged program cell (growth at run time, and a concatenation
  // setting its result's limit): a run that sees it move gives its cells' growth back.
  uint64_t cells_resized = 0;
};

// True for an engine made by exp_init or exp_clone and not yet freed (see kEngineMagic).
inline bool engine_is_live(const exp_engine *e) { return e && e->magic == kEngineMagic; }
// Clears the mark of an engine about to be freed; a volatile store, so that it is not dropped as
// a store to memory freed right after.
inline void engine_clear_magic(exp_engine *e) { *static_cast<volatile uint32_t *>(&e->magic) = 0; }

// 0 when `text`, a string result being stored, holds at most the engine's STRING limit of
// characters (or there is no limit, or no engine), else error 109. Inline, as every built-in's
// text result passes here: characters are counted only when the text has more bytes than the
// limit allows characters, a character taking at least a byte.
inline int limit_check_text(exp_engine *e, std::string_view text) {
  if (!e) return 0;
  const int64_t limit = e->limits[EXP_LIMIT_STRING];
  if (limit == 0 || static_cast<int64_t>(text.size()) <= limit) return 0;
  return limit_count_text(e, text);
}

// Starts the count of an outermost run against the step limit (see limit_count_steps).
inline void limit_start_run(exp_engine *e) {
  e->steps_run = 0;
  e->work_left = kWorkPerCheck;
}

// Units of built-in work charged since they were last settled (see kWorkPerCheck).
inline int64_t work_unsettled(const exp_engine *e) { return kWorkPerCheck - e->work_left; }

// Clears the stored error and returns 0: engine_ok for an engine at hand, inline for the end of
// every run.
inline int engine_clear_error(exp_engine *e) {
  e->error = 0;
  e->message[0] = '\0';
  e->error_line = e->error_column = 0;
  return 0;
}

// Switches the process locale (or, for the name "#iso8601", turns on ISO date text).
// Returns 0, or 1 when the platform rejects the name.
// `previous` (`size` bytes, may be none) receives the name of the locale in force before.
int engine_set_locale(exp_engine *e, const char *name, char *previous = nullptr, size_t size = 0);
