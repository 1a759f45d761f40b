// Allocation failure: every allocation a scenario makes (engine creation, symbols, compiling,
// running twice, copying into a clone, freeing) is made to fail in turn, one per pass. Each pass
// must end without a crash, with error 1 from the call that met the failure (or no engine from
// exp_init), with no exception escaping the C interface, and with an engine that still compiles
// and runs the same program to the same result afterwards. Leaks are left to LeakSanitizer (the
// sanitizer build checks the heap after each scenario and at exit).
//
// The test binary replaces malloc, calloc, realloc and the global operator new/delete with
// versions that count allocations while armed and fail the chosen one; the real allocator (the
// sanitizer's, when there is one) is found with dlsym(RTLD_NEXT).
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <new>
#include <ostream>
#include <string>
#include <vector>

#include "expression.h"

// ---- the failing allocator ---------------------------------------------------------------------
//
// Allocation functions cannot carry context, so their state is a process-wide object; the tests
// run on one thread and arm it only around calls into the engine.

// The sanitizer runtime's leak check and stack printer, present only in the sanitizer build.
extern "C" int __lsan_do_recoverable_leak_check() __attribute__((weak));
extern "C" void __sanitizer_print_stack_trace() __attribute__((weak));

// The shim runs before the sanitizer has set itself up (it allocates while starting), so none of
// it may be instrumented.
#define SHIM __attribute__((no_sanitize_address, no_sanitize_undefined))

namespace {

struct AllocatorState {
  bool planned = false;  // a pass is in progress: engine calls are counted
  bool armed = false;    // inside an engine call of that pass
  uint64_t count = 0;    // allocations seen while armed
  uint64_t fail_at = 0;  // the allocation (from 1) that fails; 0 = none
  bool failed = false;   // the chosen allocation has been failed
  bool trace = false;    // print the stack of the failed allocation (sanitizer build)
};
AllocatorState g_alloc;

using MallocFn = void *(*)(size_t);
using CallocFn = void *(*)(size_t, size_t);
using ReallocFn = void *(*)(void *, size_t);
using FreeFn = void (*)(void *);

struct RealAllocator {
  MallocFn malloc = nullptr;
  CallocFn calloc = nullptr;
  ReallocFn realloc = nullptr;
  FreeFn free = nullptr;
};
RealAllocator g_real;

// dlsym may allocate while the real functions are being looked up: those few requests are
// served from a static arena that is never freed.
alignas(std::max_align_t) unsigned char g_arena[8192];
size_t g_arena_used = 0;
bool g_resolving = false;

SHIM void *arena_alloc(size_t n) {
  n = (n + alignof(std::max_align_t) - 1) & ~(alignof(std::max_align_t) - 1);
  if (g_arena_used + n > sizeof g_arena) return nullptr;
  void *p = g_arena + g_arena_used;
  g_arena_used += n;
  return p;
}

SHIM bool in_arena(const void *p) {
  auto *b = static_cast<const unsigned char *>(p);
  return b >= g_arena && b < g_arena + sizeof g_arena;
}

SHIM void resolve_real() {
  if (g_real.free || g_resolving) return;
  g_resolving = true;
  g_real.malloc = reinterpret_cast<MallocFn>(dlsym(RTLD_NEXT, "malloc"));
  g_real.calloc = reinterpret_cast<CallocFn>(dlsym(RTLD_NEXT, "calloc"));
  g_real.realloc = reinterpret_cast<ReallocFn>(dlsym(RTLD_NEXT, "realloc"));
  g_real.free = reinterpret_cast<FreeFn>(dlsym(RTLD_NEXT, "free"));
  g_resolving = false;
}

// GMP (and MPFR, which allocates through it) ends the process when an allocation fails, by
// design and with no way for a library to recover; its allocations are therefore never failed.
// The engine reaches them only through pow with a non-integer exponent.
SHIM bool from_gmp(const void *caller) {
  Dl_info info;
  return dladdr(caller, &info) != 0 && info.dli_fname && std::strstr(info.dli_fname, "libgmp") != nullptr;
}

// True when this allocation, made from `caller`, must fail.
SHIM bool fail_this_one(const void *caller) {
  if (!g_alloc.armed || from_gmp(caller)) return false;
  ++g_alloc.count;
  if (g_alloc.count != g_alloc.fail_at) return false;
  g_alloc.failed = true;
  if (g_alloc.trace && __sanitizer_print_stack_trace) __sanitizer_print_stack_trace();
  return true;
}

// One pass: while it lasts, allocations made inside engine calls (see guarded) are counted and
// the chosen one fails. The test's own allocations between the calls are never counted.
class PassPlan {
 public:
  explicit PassPlan(uint64_t fail_at) {
    g_alloc.count = 0;
    g_alloc.fail_at = fail_at;
    g_alloc.failed = false;
    g_alloc.planned = true;
  }
  ~PassPlan() { g_alloc.planned = false; }
  PassPlan(const PassPlan &) = delete;
  PassPlan &operator=(const PassPlan &) = delete;
};

// Arms the allocator for the duration of one engine call of a planned pass.
class Armed {
 public:
  Armed() { g_alloc.armed = g_alloc.planned; }
  ~Armed() { g_alloc.armed = false; }
  Armed(const Armed &) = delete;
  Armed &operator=(const Armed &) = delete;
};

}  // namespace

extern "C" SHIM void *malloc(size_t n) {
  resolve_real();
  if (!g_real.malloc) return arena_alloc(n);
  return fail_this_one(__builtin_return_address(0)) ? nullptr : g_real.malloc(n);
}

extern "C" SHIM void *calloc(size_t count, size_t size) {
  resolve_real();
  if (!g_real.calloc) {
    void *p = size && count > SIZE_MAX / size ? nullptr : arena_alloc(count * size);
    if (p) std::memset(p, 0, count * size);
    return p;
  }
  return fail_this_one(__builtin_return_address(0)) ? nullptr : g_real.calloc(count, size);
}

extern "C" SHIM void *realloc(void *p, size_t n) {
  resolve_real();
  if (n > 0 && fail_this_one(__builtin_return_address(0))) return nullptr;
  return g_real.realloc(p, n);
}

extern "C" SHIM void free(void *p) {
  if (!p || in_arena(p)) return;
  resolve_real();
  g_real.free(p);
}

void *operator new(size_t n) {
  if (void *p = malloc(n ? n : 1)) return p;
  throw std::bad_alloc();
}
void *operator new[](size_t n) { return operator new(n); }
void *operator new(size_t n, const std::nothrow_t &) noexcept { return malloc(n ? n : 1); }
void *operator new[](size_t n, const std::nothrow_t &) noexcept { return malloc(n ? n : 1); }
void operator delete(void *p) noexcept { free(p); }
void operator delete[](void *p) noexcept { free(p); }
void operator delete(void *p, size_t) noexcept { free(p); }
void operator delete[](void *p, size_t) noexcept { free(p); }
void operator delete(void *p, const std::nothrow_t &) noexcept { free(p); }
void operator delete[](void *p, const std::nothrow_t &) noexcept { free(p); }


// ---- scenarios ---------------------------------------------------------------------------------

namespace {

// A program text, optionally preceded by a user-defined function it calls.
struct Scenario {
  const char *name;
  const char *udf_name;  // none: no function
  const char *udf_text;
  const char *text;
  int result_type;
};

const Scenario kScenarios[] = {
    {"strings", nullptr, nullptr,
     "private string(20) t\nt = upper(s) & '-' & tostring(i * 3)\nreplace(t, '-', '+') & mid(t, 2, 3) & trim('  x ')",
     EXP_STRING},
    {"arrays", nullptr, nullptr,
     "integer array a\nstring array w\ninteger k\na.dim(10)\nfor k = 1 to 10 a.set(k, k * k)\n"
     "aparse('x,y,z', ',', w)\nw.get(2) & a.get(3) & a.dim()",
     EXP_STRING},
    {"regex", nullptr, nullptr,
     "regex re\nre.compile('(\\w+)@(\\w+)')\nre.findfirst('mail bob@example now') & re.matchstart() & "
     "re.matchlength() & re.substringstart(2) & re.findnext('mail bob@example now')",
     EXP_STRING},
    {"numbers_dates", nullptr, nullptr,
     "formatdate(d, 'YYYY-MM-DD hh:mm MMMM') & tostring(round(r * 3, 2)) & tostring(pow(r, 2.5)) & "
     "todate('2026-12-06 15:13:44')",
     EXP_STRING},
    {"functions_and_loops", "twice", "return parameterinteger(1) * 2",
     "integer n\nwhile n < 50 begin n = twice(n + 1); if n > 40 then goto done end\ndone: n", EXP_INTEGER},
    {"declarations_and_objects", nullptr, nullptr,
     "global integer g\nstatic real acc\nstring array w\nacc = acc + r\ng = 5\nw.dim(3)\nw.set(1, s)\n"
     "w.get(1) & (acc * 2 / 3) & inlist(i, 1, 7) & vareval('g') & tostring(d)",
     EXP_STRING},
    {"conversions_and_variables", nullptr, nullptr,
     "string v\nvarset('v', 'x' & i)\nvareval('v') & toreal('1.5e3') & tointeger('42') & toboolean('yes') & "
     "typeof(r) & determine_type('3.5') & isnumber('12') & compare('a', 'B', true) & instr(s, 'o') & "
     "occurs(s, 'l') & chr(65) & asc('A') & max(1, r, 3) & normsinv(0.25) & isnull(null)",
     EXP_STRING},
    {"text", nullptr, nullptr,
     "sort_words('pear apple fig') & edit_distance('kitten', 'sitting') & sort(s) & "
     "lower('\xC3\x89T\xC3\x89') & pattern('Ab1') & match_string(s, '*o*') & has_control_chars(s)",
     EXP_STRING},
};

// Test output shows the scenario's name (printing the raw bytes would read the padding).
void PrintTo(const Scenario &sc, std::ostream *os) { *os << sc.name; }

// What one pass observed: the first problem found, or nothing.
struct Pass {
  std::string problem;
  std::string result;  // text of the last successful run's result
  bool note(bool ok, const std::string &what) {
    if (!ok && problem.empty()) problem = what;
    return ok;
  }
};

std::string text_of(exp_engine *e, const exp_symval *c) {
  char buf[512];
  int n = exp_symval_to_text(e, c, buf, sizeof buf);
  return n < 0 ? "?" : std::string(buf);
}

std::string error_of(exp_engine *e, int rc) {
  const char *m = "";
  exp_error_info(e, &m, nullptr, nullptr);
  return "error " + std::to_string(rc) + " (" + m + ")";
}

// Makes one call of the C interface; an exception coming out of it is a problem of the pass
// (and the call's result is then -1).
template <typename Call>
int guarded(Pass &pass, const char *call, Call &&f) {
  try {
    Armed armed;
    return f();
  } catch (...) {
    pass.note(false, std::string("an exception escaped ") + call);
    return -1;
  }
}

// A call's outcome is acceptable when it succeeded, or failed with error 1 after the chosen
// allocation failed.
template <typename Call>
bool acceptable(Pass &pass, exp_engine *e, const char *call, Call &&f) {
  int rc = guarded(pass, call, f);
  if (rc == 0) return true;
  if (rc > 0) pass.note(rc == 1 && g_alloc.failed, std::string(call) + " gave " + error_of(e, rc));
  return false;
}

void bind(Pass &pass, exp_engine *e, bool *ok) {
  struct Bound {
    const char *name;
    int type, limit;
  };
  static constexpr Bound kSymbols[] = {
      {"s", EXP_STRING, 16}, {"i", EXP_INTEGER, 0}, {"r", EXP_REAL, 0}, {"d", EXP_DATE, 0}};
  for (const Bound &b : kSymbols) {
    exp_symval *c = nullptr;
    *ok = acceptable(pass, e, "exp_add_symbol", [&] { return exp_add_symbol(e, b.name, b.type, b.limit, 0, &c); });
    if (!*ok) return;
    if (b.type == EXP_STRING) exp_symval_setstr(c, "h\xC3\xA9llo w\xC3\xB6rld");
    if (b.type == EXP_INTEGER) exp_symval_setint(c, 7);
    if (b.type == EXP_REAL) exp_symval_setreal_text(c, "1.25");
    if (b.type == EXP_DATE) exp_symval_setdbl(c, 46362.5);
  }
}

// Collects the names a text needs that the engine lacks: a failure must not lose or invent one.
void collect_names(Pass &pass, exp_engine *e) {
  if (!acceptable(pass, e, "exp_determine_symbols",
                  [&] { return exp_determine_symbols(e, "missing_a + missing_b * i & s & missing_a"); }))
    return;
  std::string names;
  const char *name = nullptr;
  while (exp_get_next_req_symbol(e, &name) == 1) names += std::string(name) + " ";
  pass.note(names == "missing_a missing_b ", "exp_determine_symbols collected '" + names + "'");
}

// Compiles the scenario's programs (function first). Returns the main program, or none.
exp_pcode *compile(Pass &pass, exp_engine *e, const Scenario &sc, exp_pcode **udf) {
  *udf = nullptr;
  if (sc.udf_name && !acceptable(pass, e, "exp_make_pcode (function)", [&] {
        return exp_make_pcode(e, sc.udf_text, udf, EXP_INTEGER, 0, 0, sc.udf_name);
      }))
    return nullptr;
  exp_pcode *p = nullptr;
  if (!acceptable(pass, e, "exp_make_pcode",
                  [&] { return exp_make_pcode(e, sc.text, &p, sc.result_type, 200, 0, nullptr); }))
    return nullptr;
  return p;
}

// Runs a program twice; each successful run must give `expected` when it is known.
void run_twice(Pass &pass, exp_engine *e, exp_pcode *p, const std::string &expected) {
  for (int k = 0; k < 2; ++k) {
    exp_symval *result = nullptr;
    if (!acceptable(pass, e, "exp_execute", [&] { return exp_execute(e, p, &result); })) continue;
    pass.result = text_of(e, result);
    pass.note(expected.empty() || pass.result == expected, "a run gave '" + pass.result + "', not '" + expected + "'");
  }
}

// Copies the program into a clone of the engine and runs the copy there.
void run_in_clone(Pass &pass, exp_engine *e, exp_pcode *p, const Scenario &sc, const std::string &expected) {
  if (sc.udf_name) return;  // the clone would need the function too; covered by the main engine
  exp_engine *clone = nullptr;
  guarded(pass, "exp_clone", [&] {
    clone = exp_clone(e);
    return 0;
  });
  if (!clone) {
    pass.note(g_alloc.failed, "exp_clone gave no engine without a failed allocation");
    return;
  }
  bool ok = true;
  bind(pass, clone, &ok);
  exp_pcode *copy = nullptr;
  if (ok && acceptable(pass, clone, "exp_copy_pcode", [&] { return exp_copy_pcode(e, clone, p, &copy); })) {
    run_twice(pass, clone, copy, expected);
    pass.note(exp_free_pcode(clone, copy) == 0, "exp_free_pcode of the copy failed");
  }
  pass.note(exp_clean(clone) == 0, "exp_clean of the clone failed");
}

// After a failure the engine must compile and run the program as before.
void check_still_usable(Pass &pass, exp_engine *e, const Scenario &sc, const std::string &expected) {
  exp_pcode *udf = nullptr;
  exp_pcode *p = compile(pass, e, sc, &udf);
  if (!pass.note(p != nullptr, "the engine cannot compile after the failure")) {
    if (udf) exp_free_pcode(e, udf);
    return;
  }
  run_twice(pass, e, p, expected);
  pass.note(exp_free_pcode(e, p) == 0 && exp_free_pcode(e, udf) == 0, "freeing after the failure failed");
}

// The whole scenario with allocation `fail_at` failing (0: none). Returns what the pass saw.
Pass run_scenario(const Scenario &sc, uint64_t fail_at, const std::string &expected, uint64_t *allocations) {
  Pass pass;
  exp_engine *e = nullptr;
  exp_pcode *udf = nullptr, *p = nullptr;
  bool ok = true;
  {
    PassPlan plan(fail_at);
    guarded(pass, "exp_init", [&] {
      e = exp_init();
      return 0;
    });
    if (e) bind(pass, e, &ok);
    if (e && ok) collect_names(pass, e);
    if (e && ok) p = compile(pass, e, sc, &udf);
    if (p) run_twice(pass, e, p, expected);
    if (p) run_in_clone(pass, e, p, sc, expected);
    if (allocations) *allocations = g_alloc.count;
  }
  if (!e) {
    pass.note(g_alloc.failed, "exp_init gave no engine without a failed allocation");
    return pass;
  }
  bool faulted = g_alloc.failed;
  if (p) exp_free_pcode(e, p);
  if (udf) exp_free_pcode(e, udf);
  if (faulted && ok) check_still_usable(pass, e, sc, expected);
  pass.note(exp_clean(e) == 0, "exp_clean failed");
  return pass;
}

class AllocationFailure : public ::testing::TestWithParam<Scenario> {};

TEST_P(AllocationFailure, EveryFailedAllocationIsReportedAndLeavesTheEngineUsable) {
  const Scenario &sc = GetParam();
  // Warm-up, then the reference pass: the result every run must give, and the allocation count.
  run_scenario(sc, 0, "", nullptr);
  uint64_t total = 0;
  Pass reference = run_scenario(sc, 0, "", &total);
  ASSERT_TRUE(reference.problem.empty()) << reference.problem;
  ASSERT_GT(total, 10u);
  int problems = 0;
  for (uint64_t n = 1; n <= total && problems < 5; ++n) {
    Pass pass = run_scenario(sc, n, reference.result, nullptr);
    if (pass.problem.empty()) continue;
    ++problems;
    g_alloc.trace = true;  // once more, showing where the failed allocation was made
    run_scenario(sc, n, reference.result, nullptr);
    g_alloc.trace = false;
    ADD_FAILURE() << sc.name << ": allocation " << n << " of " << total << " failed: " << pass.problem;
  }
  if (__lsan_do_recoverable_leak_check) {
    EXPECT_EQ(__lsan_do_recoverable_leak_check(), 0) << "leaks in " << sc.name;
  }
  RecordProperty("allocations", static_cast<int>(total));
  std::printf("%s: %llu allocations, each failed in turn\n", sc.name, static_cast<unsigned long long>(total));
}

INSTANTIATE_TEST_SUITE_P(Scenarios, AllocationFailure, ::testing::ValuesIn(kScenarios),
                         [](const ::testing::TestParamInfo<Scenario> &info) { return std::string(info.param.name); });

}  // namespace
