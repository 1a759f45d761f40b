// Heap allocation counting for the benchmarks: malloc, calloc and realloc are replaced by
// wrappers that count the calls and the bytes requested before handing over to the C library,
// and AllocationMeter reports what a timed loop allocated per iteration.
//
// The replacements are definitions: include this header from exactly one source file of a
// benchmark executable (a second one fails to link rather than counting twice).
//
// Defining BENCH_ALLOC_TRACK_LIVE before including it also replaces free and keeps the bytes
// live (as the C library sizes the blocks) and their peak, which PeakMeter reports.
#pragma once

#include <benchmark/benchmark.h>

#include <atomic>
#include <cstddef>

#if defined(BENCH_ALLOC_TRACK_LIVE)
#include <malloc.h>
#endif

extern "C" void *__libc_malloc(size_t);
extern "C" void *__libc_calloc(size_t, size_t);
extern "C" void *__libc_realloc(void *, size_t);
extern "C" void __libc_free(void *);

namespace bench_alloc {

// Allocations and bytes requested since the process started. The allocator hooks have no
// object to hang them on, so they are process-wide.
inline std::atomic<long> allocations{0};
inline std::atomic<long> bytes{0};

inline void count(size_t n) {
  allocations.fetch_add(1, std::memory_order_relaxed);
  bytes.fetch_add(static_cast<long>(n), std::memory_order_relaxed);
}

#if defined(BENCH_ALLOC_TRACK_LIVE)
// Bytes in blocks not yet freed, and the most there were since PeakMeter last started.
inline std::atomic<long> live{0};
inline std::atomic<long> peak{0};

inline void *gained(void *p) {
  if (!p) return p;
  long now = live.fetch_add(static_cast<long>(malloc_usable_size(p)), std::memory_order_relaxed) +
             static_cast<long>(malloc_usable_size(p));
  long high = peak.load(std::memory_order_relaxed);
  while (now > high && !peak.compare_exchange_weak(high, now, std::memory_order_relaxed)) {
  }
  return p;
}
inline void lost(void *p) {
  if (p) live.fetch_sub(static_cast<long>(malloc_usable_size(p)), std::memory_order_relaxed);
}
#else
inline void *gained(void *p) { return p; }
inline void lost(void *) {}
#endif

}  // namespace bench_alloc

extern "C" void *malloc(size_t n) {
  bench_alloc::count(n);
  return bench_alloc::gained(__libc_malloc(n));
}
extern "C" void *calloc(size_t n, size_t size) {
  bench_alloc::count(n * size);
  return bench_alloc::gained(__libc_calloc(n, size));
}
// A shrink or a free through realloc is no allocation.
extern "C" void *realloc(void *p, size_t n) {
  if (n > 0) bench_alloc::count(n);
  bench_alloc::lost(p);
  void *q = __libc_realloc(p, n);
  // A failed realloc keeps the old block.
  return bench_alloc::gained(q || n == 0 ? q : p);
}

#if defined(BENCH_ALLOC_TRACK_LIVE)
extern "C" void free(void *p) {
  bench_alloc::lost(p);
  __libc_free(p);
}

// The peak of live heap bytes over a stretch of work, above what was live when it started.
class PeakMeter {
 public:
  PeakMeter() : base_(bench_alloc::live.load()) { bench_alloc::peak.store(base_); }
  long peak_bytes() const { return bench_alloc::peak.load() - base_; }
  // Bytes live now above what was live when it started.
  long live_bytes() const { return bench_alloc::live.load() - base_; }

 private:
  long base_;
};
#endif

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
