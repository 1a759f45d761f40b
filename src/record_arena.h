// A bump allocator for records that all die together: a program's locals, constants and
// temporaries live exactly as long as the program, so they are carved out of a few large blocks
// instead of one heap block each, and freed with the program in one sweep.
#pragma once

#include <cstddef>
#include <cstdint>

// Whether blocks are poisoned for AddressSanitizer, so that every allocation must unpoison its
// record (out of line).
#if defined(__SANITIZE_ADDRESS__)
#define EXP_ARENA_POISONS 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define EXP_ARENA_POISONS 1
#endif
#endif
#ifndef EXP_ARENA_POISONS
#define EXP_ARENA_POISONS 0
#endif

class RecordArena {
 public:
  RecordArena() = default;
  ~RecordArena() { release(); }
  RecordArena(const RecordArena &) = delete;
  RecordArena &operator=(const RecordArena &) = delete;

  // `bytes` of uninitialised storage aligned to `align` (a power of two no larger than the alignment
  // of std::max_align_t), valid until release(); none when memory runs out.
  void *allocate(size_t bytes, size_t align) {
    // The common case inline (room in the newest block, no AddressSanitizer to tell): one
    // rounding and one comparison per record.
#if !EXP_ARENA_POISONS
    if (char *start = room_for(bytes, align)) {
      next_ = start + bytes;
      return start;
    }
#endif
    return allocate_slow(bytes, align);
  }
  // Frees every block. Storage handed out before is invalid after.
  void release();
  // Bytes held in blocks (for measuring what a program's records take).
  size_t held() const { return held_; }

 private:
  struct Block;
  bool grow(size_t at_least);
  void *allocate_slow(size_t bytes, size_t align);
  // Where `bytes` aligned to `align` would start in the newest block; none when there is no block
  // or they do not fit (after a block of odd size, rounding up can even pass the block's end).
  char *room_for(size_t bytes, size_t align) const {
    if (!next_) return nullptr;
    const auto at = reinterpret_cast<uintptr_t>(next_), start = (at + align - 1) & ~(uintptr_t{align} - 1);
    const auto end = reinterpret_cast<uintptr_t>(end_);
    return start <= end && bytes <= end - start ? reinterpret_cast<char *>(start) : nullptr;
  }

  Block *last_ = nullptr;  // blocks are chained from the newest back to the first
  char *next_ = nullptr;   // the first free byte of the newest block
  char *end_ = nullptr;
  size_t held_ = 0;
};
