// Small-block allocator behind cells, list headers, nodes and pairs.
//
// Each thread allocates from a pool of its own: size classes with free lists,
// carved from 64 KiB chunks, so the decoder does not pay a malloc per cell.
// Invariants:
//   1. Every block is preceded by one 8-byte word. While the block is in use
//      the word names its owner pool and size class (or marks a plain malloc
//      block); while it is free the word links it into a free list.
//   2. A block freed by its owner's thread goes onto the owner's local free
//      list; a block freed on any other thread goes onto the owner's lock-free
//      return stack for its class, which only the owner drains, all at once
//      (so there is no ABA problem).
//   3. Pools are never destroyed. When a thread ends its pool is parked and
//      adopted by the next thread that needs one, so blocks still travelling
//      between threads stay valid and are reused.
//   4. Blocks above 4,104 bytes, and all blocks while pooling is off, are plain
//      malloc blocks; the tag word tells free() which way a block came, so the
//      mode may change at any time.
//   5. A block may carry a second block inside it (cell_pool_alloc_pair); the
//      inner block's word marks it as part of the outer one, so freeing it
//      does nothing and its memory returns with the outer block. A block
//      kept for good (cell_pool_keep) carries the same mark.
//
// Pooling is off by default under AddressSanitizer, so LeakSanitizer and
// use-after-free checks see each block; a test may turn it on to check the
// pool itself, and then free blocks are poisoned.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "os/asan.h"

enum { kCellPoolClassCount = 28, kCellPoolMaxSize = 4104, kCellPoolInnerTag = 62 };

// The free lists of one pool that only its owning thread touches.
struct CellPoolLocal {
  void* local[kCellPoolClassCount];  // per class: the first free block's tag word
};
// Plain thread-local storage: a C++ thread_local declared extern costs a
// check for a dynamic initialiser on every access.
#if defined(_MSC_VER)
#define CELL_POOL_THREAD __declspec(thread)
#else
#define CELL_POOL_THREAD __thread
#endif
// The calling thread's lists (null until its first allocation or after it ends).
extern CELL_POOL_THREAD CellPoolLocal* cell_pool_tls;
// Class of each size up to kCellPoolMaxSize, indexed by (size + 7) / 8.
extern const uint8_t* const cell_pool_class_of;
// Mirrors the pooling mode for the inline paths.
extern std::atomic<int> cell_pool_on;

void* cell_pool_alloc_slow(size_t size);
void cell_pool_free_slow(void* block);

// A block of at least `size` bytes, 8-byte aligned, or null when memory runs out.
// The common case (a free block of the class on this thread's own list) is
// inline; everything else, and every call under AddressSanitizer, goes the
// long way.
inline void* cell_pool_alloc(size_t size) {
#ifndef ORVANE_ASAN
  CellPoolLocal* p = cell_pool_tls;
  if (p && size <= kCellPoolMaxSize && cell_pool_on.load(std::memory_order_relaxed)) {
    unsigned c = cell_pool_class_of[(size + 7) >> 3];
    uintptr_t* w = (uintptr_t*)p->local[c];
    if (w) {
      p->local[c] = (void*)*w;
      *w = (uintptr_t)p | c;  // owner and class, as the long way writes them
      return w + 1;
    }
  }
#endif
  return cell_pool_alloc_slow(size);
}
// Two blocks in one allocation: returns the first (`first` bytes) and sets
// *second_out to the second (`second` bytes). Freeing the second does
// nothing (its memory lives until the first is freed); it must not be freed
// after the first. Null (and a null *second_out) when memory runs out.
void* cell_pool_alloc_pair(size_t first, size_t second, void** second_out);
// Returns a block from cell_pool_alloc (null is fine), from any thread.
inline void cell_pool_free(void* block) {
#ifndef ORVANE_ASAN
  if (!block) return;
  uintptr_t* w = (uintptr_t*)block - 1;
  uintptr_t c = *w & 63;
  CellPoolLocal* p = cell_pool_tls;
  // Only a pooled block of this thread's own pool goes straight back.
  if (p && (*w & ~(uintptr_t)63) == (uintptr_t)p && c < kCellPoolClassCount) {
    *w = (uintptr_t)p->local[c];
    p->local[c] = w;
    return;
  }
  if (c == kCellPoolInnerTag) return;  // part of a bigger block
#endif
  cell_pool_free_slow(block);
}
// Keeps a block (from cell_pool_alloc) for the life of the process: from now
// on cell_pool_free on it does nothing, so one immutable block may sit in
// many lists, each of which "frees" it. Call it before sharing the block.
void cell_pool_keep(void* block);
// 1 when the block was kept with cell_pool_keep (null: 0).
inline int cell_pool_is_kept(const void* block) {
  return block && (((const uintptr_t*)block)[-1] & 63) == kCellPoolInnerTag;
}
// Turns pooling on (1) or off (0) for later allocations; returns the old mode.
int cell_pool_set_enabled(int enabled);
// 1 when later allocations come from the pool.
int cell_pool_enabled(void);
