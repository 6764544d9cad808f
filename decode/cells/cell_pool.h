// Small-block allocator behind cells, list headers, nodes and pairs.
//
// Each thread allocates from a pool of its own (size classes with free
// lists, carved from large chunks), so the decoder does not pay a malloc per
// cell. A block may be freed on any thread: a foreign block goes back to its
// owner's lock-free return stack, which the owner drains when a class runs
// dry. A pool whose thread has ended is kept and adopted by the next thread
// that needs one, so blocks still in flight stay valid.
//
// Under AddressSanitizer (or with ORVANE_CELL_POOL_MALLOC defined) every
// block is a plain malloc, so leak and use-after-free checks see each block.
#pragma once

#include <cstddef>

// A block of at least `size` bytes, 8-byte aligned, or null when memory runs out.
void* cell_pool_alloc(size_t size);
// Returns a block from cell_pool_alloc (null is fine), from any thread.
void cell_pool_free(void* block);
// 1 when the pool is in use, 0 when blocks are plain malloc (sanitizer builds).
int cell_pool_active(void);
