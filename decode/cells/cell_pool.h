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
//      does nothing and its memory returns with the outer block.
//
// Pooling is off by default under AddressSanitizer, so LeakSanitizer and
// use-after-free checks see each block; a test may turn it on to check the
// pool itself, and then free blocks are poisoned.
#pragma once

#include <cstddef>

// A block of at least `size` bytes, 8-byte aligned, or null when memory runs out.
void* cell_pool_alloc(size_t size);
// Two blocks in one allocation: returns the first (`first` bytes) and sets
// *second_out to the second (`second` bytes). Freeing the second does
// nothing (its memory lives until the first is freed); it must not be freed
// after the first. Null (and a null *second_out) when memory runs out.
void* cell_pool_alloc_pair(size_t first, size_t second, void** second_out);
// Returns a block from cell_pool_alloc (null is fine), from any thread.
void cell_pool_free(void* block);
// Turns pooling on (1) or off (0) for later allocations; returns the old mode.
int cell_pool_set_enabled(int enabled);
// 1 when later allocations come from the pool.
int cell_pool_enabled(void);
