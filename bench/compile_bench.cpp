// Compile cost: a one-line expression and a 200-line program with assignments, conditions, loops
// and string building, compiled (and the program freed) once per iteration. Every heap
// allocation inside the timed loop is counted (malloc/calloc/realloc are wrapped) and reported
// per compile as "allocs" and "bytes" (bytes requested).
//
// The *_Statements1M pair compiles a program of a million statements once and reports the peak
// of live heap bytes during the compile ("peak_bytes", and "peak_per_source_byte" against the
// text's length): the memory a host needs to compile a large generated rule.
//
// When Lua 5.4 is available, the same shapes are compiled by luaL_loadstring in the same binary,
// so the two columns are measured under the same allocator and machine load.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <string>

#define BENCH_ALLOC_TRACK_LIVE
#include "common/alloc_count.h"
#include "expression.h"

#if defined(EXP_HAVE_LUA)
#include <lua.hpp>
#endif

namespace {

// ---- the programs ---------------------------------------------------------------------------------

// One statement in both languages; the line number varies the constants so no two lines repeat.
struct Line {
  std::string ours, lua;
};

Line program_line(int i) {
  const std::string n = std::to_string(i);
  switch (i % 5) {
    case 0: return {"total = total + price * qty - " + n, "total = total + price * qty - " + n};
    case 1:
      return {"if total > " + n + " then count = count + 1 else count = count - 1",
              "if total > " + n + " then count = count + 1 else count = count - 1 end"};
    case 2: return {"for i = 1 to " + n + " sum = sum + i * 2", "for i = 1, " + n + " do sum = sum + i * 2 end"};
    case 3: return {"label = name & \"-" + n + "-\" & count", "label = name .. \"-" + n + "-\" .. count"};
    default: return {"while n < " + n + " n = n + 1", "while n < " + n + " do n = n + 1 end"};
  }
}

// The program of `lines` lines in our language (first) and in Lua (second).
std::pair<std::string, std::string> make_program(int lines) {
  std::pair<std::string, std::string> texts;
  for (int i = 0; i < lines; ++i) {
    Line l = program_line(i);
    texts.first += l.ours + "\n";
    texts.second += l.lua + "\n";
  }
  return texts;
}

constexpr const char kExpression[] = "price * qty + tax / 2 - discount";
constexpr const char kLuaExpression[] = "return price * qty + tax / 2 - discount";
constexpr int kProgramLines = 200;
constexpr int kLargeProgramLines = 1000000;

// The large program of both languages, built once: the shapes of program_line without the `for`
// loop, whose loop variable Lua counts as one more local of the chunk (it takes at most 32767).
// COMPILE_BENCH_STATEMENTS changes the number of statements for quicker runs, and
// COMPILE_BENCH_SHAPE (0, 1, 3 or 4) makes every statement of one shape of program_line, to
// measure what each shape costs.
const std::pair<std::string, std::string> &large_program() {
  static const std::pair<std::string, std::string> texts = [] {
    const char *lines_env = std::getenv("COMPILE_BENCH_STATEMENTS");
    const char *shape_env = std::getenv("COMPILE_BENCH_SHAPE");
    const int lines = lines_env ? std::atoi(lines_env) : kLargeProgramLines;
    const int shape = shape_env ? std::atoi(shape_env) % 5 : -1;
    std::pair<std::string, std::string> t;
    for (int i = 0; i < lines; ++i) {
      const int n = shape < 0 ? i : 5 * i + shape;
      Line l = program_line(n % 5 == 2 ? n + 3 : n);
      t.first += l.ours + "\n";
      t.second += l.lua + "\n";
    }
    return t;
  }();
  return texts;
}

// The peak during the compile, against the source's bytes and per statement (line), and the bytes
// the compiled result keeps (`kept`, live when the compile returned), per statement.
void report_peak(benchmark::State &state, const PeakMeter &peak, const std::string &source, long kept) {
  const double bytes = static_cast<double>(peak.peak_bytes());
  const auto statements = static_cast<double>(std::count(source.begin(), source.end(), '\n'));
  state.counters["peak_bytes"] = bytes;
  state.counters["peak_per_source_byte"] = bytes / static_cast<double>(source.size());
  state.counters["peak_per_statement"] = bytes / statements;
  state.counters["kept_per_statement"] = static_cast<double>(kept) / statements;
}

// An engine with the symbols both programs read and write.
exp_engine *make_engine() {
  exp_engine *e = exp_init();
  struct Symbol {
    const char *name;
    int type, limit;
  };
  const Symbol symbols[] = {
      {"price", EXP_REAL, 0},  {"qty", EXP_INTEGER, 0},   {"tax", EXP_REAL, 0},      {"discount", EXP_REAL, 0},
      {"total", EXP_REAL, 0},  {"count", EXP_INTEGER, 0}, {"sum", EXP_INTEGER, 0},   {"i", EXP_INTEGER, 0},
      {"n", EXP_INTEGER, 0},   {"name", EXP_STRING, 40},  {"label", EXP_STRING, 80},
  };
  for (const Symbol &s : symbols) exp_add_symbol(e, s.name, s.type, s.limit, 0, nullptr);
  return e;
}

// ---- ours -------------------------------------------------------------------------------------------

void compile_ours(benchmark::State &state, const std::string &text) {
  exp_engine *e = make_engine();
  exp_pcode *p = nullptr;
  if (exp_make_pcode(e, text.c_str(), &p, EXP_REAL, 0, 0, nullptr) != 0) {
    const char *message = nullptr;
    exp_error_info(e, &message, nullptr, nullptr);
    state.SkipWithError(message);
    exp_clean(e);
    return;
  }
  exp_free_pcode(e, p);
  AllocationMeter meter;
  for (auto _ : state) {
    exp_make_pcode(e, text.c_str(), &p, EXP_REAL, 0, 0, nullptr);
    benchmark::DoNotOptimize(p);
    exp_free_pcode(e, p);
  }
  meter.report_with_bytes(state);
  exp_clean(e);
}

void BM_Compile_Expression(benchmark::State &state) { compile_ours(state, kExpression); }
void BM_Compile_Program200(benchmark::State &state) { compile_ours(state, make_program(kProgramLines).first); }

void BM_Compile_Statements1M(benchmark::State &state) {
  const std::string &text = large_program().first;
  exp_engine *e = make_engine();
  for (auto _ : state) {
    exp_pcode *p = nullptr;
    PeakMeter peak;
    if (exp_make_pcode(e, text.c_str(), &p, EXP_REAL, 0, 0, nullptr) != 0) {
      const char *message = nullptr;
      exp_error_info(e, &message, nullptr, nullptr);
      state.SkipWithError(message);
      break;
    }
    report_peak(state, peak, text, peak.live_bytes());
    exp_free_pcode(e, p);
  }
  exp_clean(e);
}

BENCHMARK(BM_Compile_Expression)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Compile_Program200)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Compile_Statements1M)->Unit(benchmark::kMillisecond)->Iterations(1);

// ---- Lua 5.4 ------------------------------------------------------------------------------------------

#if defined(EXP_HAVE_LUA)
// luaL_loadstring parses and generates the bytecode of the chunk; the compiled function is popped
// again, and the collector runs as Lua decides, inside the timed loop like our frees.
void compile_lua(benchmark::State &state, const std::string &text) {
  lua_State *L = luaL_newstate();
  if (luaL_loadstring(L, text.c_str()) != LUA_OK) {
    state.SkipWithError(lua_tostring(L, -1));
    lua_close(L);
    return;
  }
  lua_pop(L, 1);
  AllocationMeter meter;
  for (auto _ : state) {
    luaL_loadstring(L, text.c_str());
    lua_pop(L, 1);
  }
  meter.report_with_bytes(state);
  lua_close(L);
}

void BM_Lua_Expression(benchmark::State &state) { compile_lua(state, kLuaExpression); }
void BM_Lua_Program200(benchmark::State &state) { compile_lua(state, make_program(kProgramLines).second); }

void BM_Lua_Statements1M(benchmark::State &state) {
  const std::string &text = large_program().second;
  lua_State *L = luaL_newstate();
  for (auto _ : state) {
    PeakMeter peak;
    if (luaL_loadstring(L, text.c_str()) != LUA_OK) {
      state.SkipWithError(lua_tostring(L, -1));
      break;
    }
    report_peak(state, peak, text, peak.live_bytes());
    lua_pop(L, 1);
  }
  lua_close(L);
}

BENCHMARK(BM_Lua_Expression)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Lua_Program200)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Lua_Statements1M)->Unit(benchmark::kMillisecond)->Iterations(1);
#endif

}  // namespace

BENCHMARK_MAIN();
