// Resource limits of an engine: the checks, the error texts and the memory accounting.
#include "resource_limits.h"

#include <cstdio>

#include "engine.h"
#include "errors.h"

namespace {

// What error 109 says of each limit, by EXP_LIMIT_* number: the value fills the %lld.
constexpr const char *kLimitTexts[EXP_LIMIT_COUNT + 1] = {
    "",
    "memory limit of %lld bytes (EXP_LIMIT_MEMORY)",
    "step limit of %lld instructions per run (EXP_LIMIT_STEPS)",
    "string limit of %lld characters (EXP_LIMIT_STRING)",
    "call depth limit of %lld nested user-defined functions (EXP_LIMIT_CALL_DEPTH)",
    "regex match limit of %lld (EXP_LIMIT_REGEX_MATCH)",
    "regex depth limit of %lld (EXP_LIMIT_REGEX_DEPTH)",
    "symbol limit of %lld global symbols (EXP_LIMIT_SYMBOLS)",
    "program size limit of %lld instructions (EXP_LIMIT_PROGRAM)",
};

}  // namespace

int limit_error(exp_engine *e, int which) {
  char text[128];
  std::snprintf(text, sizeof text, kLimitTexts[which], static_cast<long long>(e->limits[which]));
  return engine_error(e, ERR_LIMIT, text);
}

int limit_check(exp_engine *e, int which, int64_t value) {
  if (!e) return 0;  // built-ins called outside an engine (benchmarks) have no limits
  int64_t limit = e->limits[which];
  return limit == 0 || value <= limit ? 0 : limit_error(e, which);
}

int limit_charge(exp_engine *e, int64_t bytes) {
  if (!e) return 0;
  int64_t limit = e->limits[EXP_LIMIT_MEMORY];
  int64_t before = e->memory->used.fetch_add(bytes, std::memory_order_relaxed);
  if (limit == 0 || before + bytes <= limit) return 0;
  e->memory->used.fetch_sub(bytes, std::memory_order_relaxed);
  return limit_error(e, EXP_LIMIT_MEMORY);
}

void limit_release(MemoryBudget &budget, int64_t bytes) { budget.used.fetch_sub(bytes, std::memory_order_relaxed); }

void limit_start_run(exp_engine *e) { e->steps_run = 0; }

int limit_count_steps(exp_engine *e, int block) {
  e->steps_run += block;
  return limit_check(e, EXP_LIMIT_STEPS, e->steps_run);
}
