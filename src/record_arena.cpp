// The record arena (see record_arena.h).
#include "record_arena.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>

#if __has_include(<sanitizer/asan_interface.h>)
#include <sanitizer/asan_interface.h>
#endif
#ifndef ASAN_POISON_MEMORY_REGION
#define ASAN_POISON_MEMORY_REGION(addr, size) ((void)(addr), (void)(size))
#define ASAN_UNPOISON_MEMORY_REGION(addr, size) ((void)(addr), (void)(size))
#endif

struct RecordArena::Block {
  Block *previous;
  size_t size;  // bytes of the whole block, this header included
};

namespace {

// Blocks start small, so a one-line expression takes one block of a few records, and double up
// to a ceiling, so a large program wastes at most the unused tail of one ceiling-sized block.
constexpr size_t kFirstBlock = 1024;
constexpr size_t kLargestBlock = size_t{256} * 1024;
// Room for the block header, keeping what follows aligned for any record.
constexpr size_t kHeader = 2 * alignof(std::max_align_t);

}  // namespace

void *RecordArena::allocate_slow(size_t bytes, size_t align) {
  char *start = room_for(bytes, align);
  if (!start) {
    // A new block holds `bytes` after any rounding: it starts aligned for any record.
    if (!grow(bytes + align)) return nullptr;
    start = room_for(bytes, align);
  }
  next_ = start + bytes;
  // Under AddressSanitizer a block's free space stays poisoned: a record is addressable only up
  // to its own size, so reading or writing past it (past a short name, say) is reported.
  ASAN_UNPOISON_MEMORY_REGION(start, bytes);
  return start;
}

bool RecordArena::grow(size_t at_least) {
  static_assert(sizeof(Block) <= kHeader);
  size_t size = last_ ? std::min(last_->size * 2, kLargestBlock) : kFirstBlock;
  size = std::max(size, at_least + kHeader);
  auto *block = static_cast<Block *>(std::malloc(size));
  if (!block) return false;
  block->previous = last_;
  block->size = size;
  last_ = block;
  next_ = reinterpret_cast<char *>(block) + kHeader;
  end_ = reinterpret_cast<char *>(block) + size;
  ASAN_POISON_MEMORY_REGION(next_, size - kHeader);
  held_ += size;
  return true;
}

void RecordArena::release() {
  while (last_) {
    Block *previous = last_->previous;
    ASAN_UNPOISON_MEMORY_REGION(last_, last_->size);
    std::free(last_);
    last_ = previous;
  }
  next_ = end_ = nullptr;
  held_ = 0;
}
