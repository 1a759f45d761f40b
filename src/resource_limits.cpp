// Resource limits of an engine: the checks, the error texts and the memory accounting.
#include "resource_limits.h"

#include <cstddef>
#include <cstdio>
#include <cstdlib>

#include "engine.h"
#include "errors.h"
#include "support/utf8.h"
#include "values.h"

namespace {

// What error 109 says of each limit, by EXP_LIMIT_* number: the value fills the %lld.
constexpr const char *kLimitTexts[EXP_LIMIT_COUNT + 1] = {
    "",
    "memory limit of %lld bytes (EXP_LIMIT_MEMORY)",
    "step limit of %lld steps per run (EXP_LIMIT_STEPS)",
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

int limit_count_text(exp_engine *e, std::string_view text) {
  return utf8::count(text) <= e->limits[EXP_LIMIT_STRING] ? 0 : limit_error(e, EXP_LIMIT_STRING);
}

bool budget_charge(MemoryBudget &budget, int64_t bytes) {
  const int64_t limit = budget.limit.load(std::memory_order_relaxed);
  const int64_t before = budget.used.fetch_add(bytes, std::memory_order_relaxed);
  if (limit == 0 || before + bytes <= limit) return true;
  budget.used.fetch_sub(bytes, std::memory_order_relaxed);
  budget.refused.store(true, std::memory_order_relaxed);
  return false;
}

int limit_charge(exp_engine *e, int64_t bytes) {
  if (!e || budget_charge(*e->memory, bytes)) return 0;
  e->memory->refused.store(false, std::memory_order_relaxed);  // reported here, as error 109
  return limit_error(e, EXP_LIMIT_MEMORY);
}

namespace {

// Sits before each block of budget_malloc and remembers what was charged for it.
struct alignas(std::max_align_t) BlockHeader {
  size_t charged;
};

}  // namespace

void *budget_malloc(size_t size, void *budget) {
  auto &b = *static_cast<MemoryBudget *>(budget);
  const size_t total = size + sizeof(BlockHeader);
  if (total < size || total > static_cast<size_t>(INT64_MAX)) return nullptr;
  if (!budget_charge(b, static_cast<int64_t>(total))) return nullptr;
  auto *header = static_cast<BlockHeader *>(std::malloc(total));
  if (!header) {
    limit_release(b, static_cast<int64_t>(total));
    return nullptr;
  }
  header->charged = total;
  return header + 1;
}

void budget_free(void *block, void *budget) {
  if (!block) return;
  BlockHeader *header = static_cast<BlockHeader *>(block) - 1;
  limit_release(*static_cast<MemoryBudget *>(budget), static_cast<int64_t>(header->charged));
  std::free(header);
}

int memory_failure(exp_engine *e) {
  if (e && e->memory->refused.exchange(false, std::memory_order_relaxed)) return limit_error(e, EXP_LIMIT_MEMORY);
  return engine_error(e, ERR_MEMORY);
}

void limit_release(MemoryBudget &budget, int64_t bytes) { budget.used.fetch_sub(bytes, std::memory_order_relaxed); }

int limit_resize_string(exp_engine *e, exp_symval *c, int64_t chars, int options) {
  const auto before = static_cast<int64_t>(c->len);
  if (chars == before) return 0;  // a concatenation of texts as long as last time's
  if (chars > before)
    if (int rc = limit_check(e, EXP_LIMIT_STRING, chars)) return rc;
  const bool charged = e && (c->flags & SYMVAL_CHARGED);
  const int64_t added = charged && chars > before ? (chars - before) * 4 : 0;
  if (added)
    if (int rc = limit_charge(e, added)) return rc;
  const char *buffer = c->value.s;
  if (symval_resize(c, chars, options) != 0) {
    if (added) limit_release(*e->memory, added);
    return engine_error(e, ERR_MEMORY);
  }
  if (!charged || chars == before) return 0;
  if (chars < before) limit_release(*e->memory, (before - chars) * 4);
  if (c->value.s != buffer) c->flags |= SYMVAL_WIDENED;
  ++e->cells_resized;
  return 0;
}

ScratchCharge::ScratchCharge(exp_engine *e, int64_t bytes)
    : e_(e), rc_(limit_charge(e, bytes)), bytes_(rc_ == 0 ? bytes : 0) {}

ScratchCharge::~ScratchCharge() {
  if (e_ && bytes_) limit_release(*e_->memory, bytes_);
}

int limit_count_steps(exp_engine *e, int64_t block) {
  e->steps_run += block;
  return limit_check(e, EXP_LIMIT_STEPS, e->steps_run);
}
