// A bump allocator for records that all die together: a program's locals, constants and
// temporaries live exactly as long as the program, so they are carved out of a few large blocks
// instead of one heap block each, and freed with the program in one sweep.
#pragma once

#include <cstddef>

class RecordArena {
 public:
  RecordArena() = default;
  ~RecordArena() { release(); }
  RecordArena(const RecordArena &) = delete;
  RecordArena &operator=(const RecordArena &) = delete;

  // `bytes` of uninitialised storage aligned to `align` (a power of two no larger than the alignment
  // of std::max_align_t), valid until release(); none when memory runs out.
  void *allocate(size_t bytes, size_t align);
  // Frees every block. Storage handed out before is invalid after.
  void release();
  // Bytes held in blocks (for measuring what a program's records take).
  size_t held() const { return held_; }

 private:
  struct Block;
  bool grow(size_t at_least);

  Block *last_ = nullptr;  // blocks are chained from the newest back to the first
  char *next_ = nullptr;   // the first free byte of the newest block
  char *end_ = nullptr;
  size_t held_ = 0;
};
