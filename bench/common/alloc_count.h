// Heap allocation counting for the benchmarks: malloc, calloc and realloc are replaced by
// wrappers that count the calls and the bytes requested before handing over to the C library,
// and AllocationMeter reports what a timed loop allocated per iteration.
//
// The replacements are definitions: include this header from exactly one source file of a
// benchmark executable (a second one fails to link rather than counting twice).
#pragma once

#include <benchmark/benchmark.h>

#include <atomic>
#include <cstddef>

extern "C" void *__libc_malloc(size_t);
extern "C" void *__libc_calloc(size_t, size_t);
extern "C" void *__libc_realloc(void *, size_t);

namespace bench_alloc {

// Allocations and bytes requested since the process started. The allocator hooks have no
// object to hang them on, so they are process-wide.
inline std::atomic<long> allocations{0};
inline std::atomic<long> bytes{0};

inline void count(size_t n) {
  allocations.fetch_add(1, std::memory_order_relaxed);
  bytes.fetch_add(static_cast<long>(n), std::memory_order_relaxed);
}

}  // namespace bench_alloc

extern "C" void *malloc(size_t n) {
  bench_alloc::count(n);
  return __libc_malloc(n);
}
extern "C" void *calloc(size_t n, size_t size) {
  bench_alloc::count(n * size);
  return __libc_calloc(n, size);
}
// A shrink or a free through realloc is no allocation.
extern "C" void *realloc(void *p, size_t n) {
  if (n > 0) bench_alloc::count(n);
  return __libc_realloc(p, n);
}

// Snapshot of the counters, taken before a timed loop; reports the difference per iteration
// when the loop ends.
class AllocationMeter {
 public:
  AllocationMeter() : allocations_(bench_alloc::allocations.load()), bytes_(bench_alloc::bytes.load()) {}

  // "allocs": allocations per iteration.
  void report(benchmark::State &state) const {
    state.counters["allocs"] = per_iteration(state, bench_alloc::allocations.load() - allocations_);
  }
  // "allocs" and "bytes" (bytes requested) per iteration.
  void report_with_bytes(benchmark::State &state) const {
    report(state);
    state.counters["bytes"] = per_iteration(state, bench_alloc::bytes.load() - bytes_);
  }

 private:
  static double per_iteration(const benchmark::State &state, long total) {
    return static_cast<double>(total) / static_cast<double>(state.iterations());
  }

  long allocations_, bytes_;
};
