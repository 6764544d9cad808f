// Large buffers on transparent huge pages (see big_buffer.h).
#include "os/big_buffer.h"

#include <sys/mman.h>

#include <cstdint>
#include <cstdlib>

#include "os/asan.h"

static constexpr size_t kHugePage = 2u << 20;

// Under AddressSanitizer every buffer comes from the heap, where it watches
// the bounds (it does not watch mappings).
#ifdef ORVANE_ASAN
static constexpr bool kHeapOnly = true;
#else
static constexpr bool kHeapOnly = false;
#endif

static bool huge_sized(size_t size) {
  return !kHeapOnly && size >= kHugePage && size % kHugePage == 0;
}

void* os_big_buffer_alloc(size_t size) {
  if (!huge_sized(size)) return malloc(size ? size : 1);
  // Mapped one huge page larger and cut to an aligned run, so that every
  // page of it can be a huge one.
  size_t span = size + kHugePage;
  void* raw = mmap(nullptr, span, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (raw == MAP_FAILED) return nullptr;
  uintptr_t start = (uintptr_t)raw;
  uintptr_t aligned = (start + kHugePage - 1) & ~(uintptr_t)(kHugePage - 1);
  if (aligned > start) munmap(raw, aligned - start);
  uintptr_t end = aligned + size;  // always before the mapping's end: span has a page to spare
  munmap((void*)end, start + span - end);
#ifdef MADV_HUGEPAGE
  // Only advice: without huge pages the buffer is as good as any other.
  madvise((void*)aligned, size, MADV_HUGEPAGE);
#endif
  return (void*)aligned;
}

void os_big_buffer_free(void* p, size_t size) {
  if (!p) return;
  if (!huge_sized(size)) {
    free(p);
    return;
  }
  munmap(p, size);
}
