// Child index in a mapped scratch file (design in child_index.h).
//
// Offsets, not pointers, are kept anywhere the view may move: the view moves
// only when the scratch file grows, and that happens only in arena_reserve,
// at the start of an operation, before any pointer into the view is taken.
#include "store/child_index.h"

#include <cstdlib>
#include <cstring>

#include "store/attr_filter.h"

namespace {

constexpr uint32_t kNone = 0xFFFFFFFFu;
constexpr uint32_t kChunkShift = 14;
constexpr uint32_t kChunk = 1u << kChunkShift;  // elements per chunk / slots per page
// A slot as the code sees it: 0, kInline | (kInlineShown) | child, or the
// offset of the parent's ChildList.
constexpr uint64_t kInline = 1ull << 63;          // slot holds one child inline
constexpr uint64_t kInlineShown = 1ull << 62;     // ... and that child is visible
// A slot as stored, in 4 bytes: 0; bit 31 set: inline, bit 30 shown, bits
// 0..29 the child's distance from its parent; else the list offset / 16
// (arena blocks are multiples of 16 bytes from a 16-byte boundary).
constexpr uint32_t kStoredInline = 1u << 31;
constexpr uint32_t kStoredShown = 1u << 30;
constexpr uint32_t kMaxInlineDistance = (1u << 30) - 1;
constexpr uint64_t kMaxListOffset = (uint64_t)0x7FFFFFFF * 16;
constexpr uint64_t kArenaStart = 64;              // offset 0 means "none"
constexpr uint64_t kArenaInitial = 1u << 20;
// Disk space is reserved this far ahead of the bytes handed out.
constexpr uint64_t kReserveAhead = 2u << 20;

uint32_t log2_ceil(uint64_t v) {
  uint32_t c = 0;
  while ((1ull << c) < v) ++c;
  return c;
}

// Bytes of the block of an array of n (1..kChunk) elements.
uint64_t block_bytes(uint32_t n) {
  uint64_t cap = n <= 4 ? 4 : 1ull << log2_ceil(n);
  return cap * 4;
}

uint64_t chunks_of(uint64_t n) { return (n + kChunk - 1) >> kChunkShift; }

// Bytes of the chunk table of an array of n (> kChunk) elements.
uint64_t table_bytes(uint64_t n) {
  uint64_t k = chunks_of(n);
  return (k <= 2 ? 2 : 1ull << log2_ceil(k)) * 8;
}

// ---- arena: power-of-two blocks in the scratch file ----

uint8_t* at(const ChildIndex* ix, uint64_t off) { return ix->base + off; }

// Makes sure `bytes` more can be handed out from the end without moving the
// view later in the operation; creates the scratch file on first use.
int arena_reserve(ChildIndex* ix, uint64_t bytes) {
  if (ix->file == OS_FILE_INVALID) {
    os_file f;
    if (os_file_create_scratch(ix->dir, &f) != 0) return -1;
    if (os_file_set_size(f, kArenaInitial) != 0) {
      os_file_close(f);
      return -1;
    }
    void* view = os_file_map(f, kArenaInitial);
    if (!view) {
      os_file_close(f);
      return -1;
    }
    ix->file = f;
    ix->base = (uint8_t*)view;
    ix->size = kArenaInitial;
    ix->used = kArenaStart;
  }
  uint64_t need = ix->used + bytes;
  if (need > ix->size) {
    uint64_t new_size = ix->size;
    while (need > new_size) new_size *= 2;
    if (os_file_set_size(ix->file, new_size) != 0) return -1;
    void* view = os_file_remap(ix->file, ix->base, ix->size, new_size);
    if (!view) {
      os_file_set_size(ix->file, ix->size);
      return -1;
    }
    ix->base = (uint8_t*)view;
    ix->size = new_size;
  }
  // The index is written through its view: without space reserved on the
  // disk beforehand, a full disk would kill the process at the first write
  // of a new page instead of failing here.
  if (need > ix->reserved) {
    uint64_t to = need + kReserveAhead < ix->size ? need + kReserveAhead : ix->size;
    if (os_file_reserve(ix->file, ix->reserved, to - ix->reserved) != 0) return -1;
    // The reserved stretch is about to be written: its pages are made in
    // one call rather than one fault each.
    uint64_t page = ix->reserved & ~(uint64_t)4095;
    os_file_populate(ix->base + page, to - page);
    ix->reserved = to;
  }
  return 0;
}

// A block of `bytes` (a power of two >= 16); the space was reserved.
uint64_t arena_alloc(ChildIndex* ix, uint64_t bytes) {
  uint32_t c = log2_ceil(bytes);
  uint64_t off = ix->free_head[c];
  if (off) {
    memcpy(&ix->free_head[c], at(ix, off), 8);
    return off;
  }
  off = ix->used;
  ix->used += bytes;
  return off;
}

void arena_free(ChildIndex* ix, uint64_t off, uint64_t bytes) {
  uint32_t c = log2_ceil(bytes);
  memcpy(at(ix, off), &ix->free_head[c], 8);
  ix->free_head[c] = off;
}

// ---- arrays of u32: one block up to kChunk elements, else chunks ----

uint32_t* elem(const ChildIndex* ix, uint64_t ref, uint32_t n, uint32_t i) {
  if (n <= kChunk) return (uint32_t*)at(ix, ref) + i;
  uint64_t chunk;
  memcpy(&chunk, at(ix, ref) + (uint64_t)(i >> kChunkShift) * 8, 8);
  return (uint32_t*)at(ix, chunk) + (i & (kChunk - 1));
}

// Arena bytes an append to an array of n elements may take.
uint64_t push_cost(uint64_t n) {
  if (n == 0) return 16;
  if (n < kChunk) return (n >= 4 && (n & (n - 1)) == 0) ? n * 8 : 0;
  if (n == kChunk) return 16 + kChunk * 4;
  if (n % kChunk) return 0;
  uint64_t cost = kChunk * 4;
  if (table_bytes(n) != table_bytes(n + 1)) cost += table_bytes(n + 1);
  return cost;
}

// Arena bytes of an array built with n elements at once.
uint64_t build_cost(uint64_t n) {
  if (n == 0) return 0;
  if (n <= kChunk) return block_bytes((uint32_t)n);
  return table_bytes(n) + chunks_of(n) * kChunk * 4;
}

// Appends v to the array *ref of n elements (room reserved by push_cost).
void array_push(ChildIndex* ix, uint64_t* ref, uint32_t n, uint32_t v) {
  if (n == 0) {
    *ref = arena_alloc(ix, 16);
  } else if (n < kChunk) {
    if (n >= 4 && (n & (n - 1)) == 0) {
      uint64_t grown = arena_alloc(ix, (uint64_t)n * 8);
      memcpy(at(ix, grown), at(ix, *ref), (uint64_t)n * 4);
      arena_free(ix, *ref, (uint64_t)n * 4);
      *ref = grown;
    }
  } else if (n % kChunk == 0) {
    uint64_t table;
    if (n == kChunk) {
      table = arena_alloc(ix, 16);
      memcpy(at(ix, table), ref, 8);  // the full block becomes chunk 0
    } else {
      table = *ref;
      uint64_t old_bytes = table_bytes(n), new_bytes = table_bytes((uint64_t)n + 1);
      if (new_bytes != old_bytes) {
        table = arena_alloc(ix, new_bytes);
        memcpy(at(ix, table), at(ix, *ref), chunks_of(n) * 8);
        arena_free(ix, *ref, old_bytes);
      }
    }
    uint64_t chunk = arena_alloc(ix, kChunk * 4);
    memcpy(at(ix, table) + chunks_of(n) * 8, &chunk, 8);
    *ref = table;
  }
  *elem(ix, *ref, n + 1, n) = v;
}

// An empty array laid out for exactly n elements (room reserved by build_cost).
uint64_t array_build(ChildIndex* ix, uint32_t n) {
  if (n == 0) return 0;
  if (n <= kChunk) return arena_alloc(ix, block_bytes(n));
  uint64_t table = arena_alloc(ix, table_bytes(n));
  for (uint64_t k = 0; k < chunks_of(n); ++k) {
    uint64_t chunk = arena_alloc(ix, kChunk * 4);
    memcpy(at(ix, table) + k * 8, &chunk, 8);
  }
  return table;
}

void array_free(ChildIndex* ix, uint64_t ref, uint32_t n) {
  if (n == 0) return;
  if (n <= kChunk) {
    arena_free(ix, ref, block_bytes(n));
    return;
  }
  for (uint64_t k = 0; k < chunks_of(n); ++k) {
    uint64_t chunk;
    memcpy(&chunk, at(ix, ref) + k * 8, 8);
    arena_free(ix, chunk, kChunk * 4);
  }
  arena_free(ix, ref, table_bytes(n));
}

// ---- slots ----

uint64_t slot_get(const ChildIndex* ix, uint32_t parent) {
  uint32_t page = parent >> kChunkShift;
  if (page >= ix->page_count || !ix->pages[page]) return 0;
  uint32_t v;
  memcpy(&v, at(ix, ix->pages[page]) + (uint64_t)(parent & (kChunk - 1)) * 4, 4);
  if (!(v & kStoredInline)) return (uint64_t)v * 16;
  uint64_t child = (uint64_t)parent + (v & kMaxInlineDistance);
  return kInline | ((v & kStoredShown) ? kInlineShown : 0) | child;
}

// Stores a slot (inline, or a list's offset); the page must exist.
void slot_set(ChildIndex* ix, uint32_t parent, uint64_t slot) {
  uint32_t v = (slot & kInline) ? kStoredInline | ((slot & kInlineShown) ? kStoredShown : 0) |
                                      (uint32_t)((uint32_t)slot - parent)
                                : (uint32_t)(slot / 16);
  memcpy(at(ix, ix->pages[parent >> kChunkShift]) + (uint64_t)(parent & (kChunk - 1)) * 4, &v, 4);
}

// Whether `child` can stand inline in the slot of `parent`.
bool inlinable(uint32_t parent, uint32_t child) {
  return child > parent && child - parent <= kMaxInlineDistance;
}

// Makes the page table long enough for `page`; -1 when out of memory.
int page_table_cover(ChildIndex* ix, uint32_t page) {
  if (page < ix->page_count) return 0;
  uint64_t want = ix->page_count ? ix->page_count : 16;
  while (want <= page) want *= 2;
  if (want > (1u << (32 - kChunkShift))) want = 1u << (32 - kChunkShift);
  uint64_t* grown = (uint64_t*)realloc(ix->pages, want * sizeof(uint64_t));
  if (!grown) return -1;
  memset(grown + ix->page_count, 0, (want - ix->page_count) * sizeof(uint64_t));
  ix->pages = grown;
  ix->page_count = (uint32_t)want;
  return 0;
}

ChildList* list_at(const ChildIndex* ix, uint64_t slot) { return (ChildList*)at(ix, slot); }

uint32_t visible_at(const ChildIndex* ix, const ChildList* l, uint32_t pos) {
  if (l->count_visible == l->count_all) return *elem(ix, l->all, l->count_all, pos);
  return *elem(ix, l->visible, l->count_visible, pos);
}

// Copies the first n elements of array `src` (of n elements) into a new array.
uint64_t array_copy(ChildIndex* ix, uint64_t src, uint32_t n) {
  uint64_t dst = array_build(ix, n);
  for (uint32_t i = 0; i < n; i += kChunk) {
    uint32_t len = n - i < kChunk ? n - i : kChunk;
    memcpy(elem(ix, dst, n, i), elem(ix, src, n, i), (uint64_t)len * 4);
  }
  return dst;
}

}  // namespace

int child_index_init(ChildIndex* ix, const char* dir, uint32_t mask) {
  memset(ix, 0, sizeof *ix);
  ix->file = OS_FILE_INVALID;
  ix->mask = mask;
  size_t n = strlen(dir) + 1;
  ix->dir = (char*)malloc(n);
  if (!ix->dir) return -1;
  memcpy(ix->dir, dir, n);
  return 0;
}

void child_index_clear(ChildIndex* ix) {
  if (ix->base) os_file_unmap(ix->base, ix->size);
  if (ix->file != OS_FILE_INVALID) os_file_close(ix->file);
  free(ix->pages);
  char* dir = ix->dir;
  uint32_t mask = ix->mask;
  memset(ix, 0, sizeof *ix);
  ix->dir = dir;
  ix->mask = mask;
  ix->file = OS_FILE_INVALID;
}

void child_index_destroy(ChildIndex* ix) {
  child_index_clear(ix);
  free(ix->dir);
  ix->dir = nullptr;
}

// The appends that allocate nothing (almost all of them): the first child of
// a parent whose slot page exists, and one more child of a list whose arrays
// have room. True when done.
static bool add_in_place(ChildIndex* ix, uint32_t parent, uint32_t child, uint32_t flags,
                         bool shown) {
  uint32_t page = parent >> kChunkShift;
  if (page >= ix->page_count || !ix->pages[page]) return false;
  uint64_t slot = slot_get(ix, parent);
  if (slot == 0) {
    if (parent == 0 || !inlinable(parent, child)) return false;
    slot_set(ix, parent, kInline | (shown ? kInlineShown : 0) | child);
    return true;
  }
  if (slot & kInline) return false;
  ChildList* l = list_at(ix, slot);
  uint32_t n = l->count_all;
  bool apart = l->count_visible != n;  // a visible array of its own
  if (push_cost(n) != 0) return false;
  if (shown ? apart && push_cost(l->count_visible) != 0 : !apart) return false;
  if (apart && shown) array_push(ix, &l->visible, l->count_visible, child);
  if (parent == 0) array_push(ix, &ix->root_flags, n, flags);
  array_push(ix, &l->all, n, child);
  l->count_all++;
  if (shown) l->count_visible++;
  return true;
}

int child_index_add(ChildIndex* ix, uint32_t parent, uint32_t child, uint32_t flags) {
  bool shown = !attr_hidden(flags, ix->mask);
  if (add_in_place(ix, parent, child, flags, shown)) return 0;
  uint32_t page = parent >> kChunkShift;
  if (page_table_cover(ix, page) != 0) return -1;
  uint64_t slot = slot_get(ix, parent);

  // Everything this append may allocate, reserved before anything changes.
  uint64_t cost = ix->pages[page] ? 0 : kChunk * 4;
  bool inline_it = slot == 0 && parent != 0 && inlinable(parent, child);
  if (slot == 0) {
    if (!inline_it) cost += sizeof(ChildList) + 16 + 16;  // list, all, flags or visible
  } else if (slot & kInline) {
    cost += sizeof(ChildList) + 16 + 16;  // list, all, visible
  } else {
    const ChildList* l = list_at(ix, slot);
    cost += push_cost(l->count_all);
    if (parent == 0) cost += push_cost(l->count_all);
    if (l->count_visible != l->count_all) {
      if (shown) cost += push_cost(l->count_visible);
    } else if (!shown) {
      cost += build_cost(l->count_visible);
    }
  }
  if (arena_reserve(ix, cost) != 0) return -1;
  // A list beyond what a stored slot can name (32 GiB of index): no room.
  if ((slot == 0 || (slot & kInline)) && !inline_it && ix->used + cost > kMaxListOffset) return -1;

  if (!ix->pages[page]) {
    ix->pages[page] = arena_alloc(ix, kChunk * 4);
    memset(at(ix, ix->pages[page]), 0, kChunk * 4);
  }
  if (inline_it) {
    slot_set(ix, parent, kInline | (shown ? kInlineShown : 0) | child);
    return 0;
  }

  ChildList* l;
  if (slot == 0 || (slot & kInline)) {
    uint64_t off = arena_alloc(ix, sizeof(ChildList));
    l = list_at(ix, off);
    memset(l, 0, sizeof *l);
    l->parent = parent;
    l->filter = ix->mask;
    if (slot & kInline) {
      // The inline child becomes the list's first entry.
      bool first_shown = (slot & kInlineShown) != 0;
      array_push(ix, &l->all, 0, (uint32_t)slot);
      l->count_all = 1;
      if (first_shown) l->count_visible = 1;
    }
    slot_set(ix, parent, off);
  } else {
    l = list_at(ix, slot);
  }

  if (l->count_visible == l->count_all) {
    if (!shown) l->visible = array_copy(ix, l->all, l->count_visible);
  } else if (shown) {
    array_push(ix, &l->visible, l->count_visible, child);
  }
  if (parent == 0) array_push(ix, &ix->root_flags, l->count_all, flags);
  array_push(ix, &l->all, l->count_all, child);
  l->count_all++;
  if (shown) l->count_visible++;
  return 0;
}

int child_index_set_filter(ChildIndex* ix, uint32_t mask) {
  ix->mask = mask;
  uint64_t slot = slot_get(ix, 0);
  if (slot == 0 || list_at(ix, slot)->filter == mask) return 0;
  ChildList* l = list_at(ix, slot);
  uint32_t n = l->count_all, shown = 0;
  for (uint32_t i = 0; i < n; ++i)
    if (!attr_hidden(*elem(ix, ix->root_flags, n, i), mask)) ++shown;
  if (shown < n) {
    if (arena_reserve(ix, build_cost(shown)) != 0) return -1;
    l = list_at(ix, slot);
  }
  uint64_t rebuilt = 0;
  if (shown < n) {
    rebuilt = array_build(ix, shown);
    uint32_t k = 0;
    for (uint32_t i = 0; i < n; ++i)
      if (!attr_hidden(*elem(ix, ix->root_flags, n, i), mask))
        *elem(ix, rebuilt, shown, k++) = *elem(ix, l->all, n, i);
  }
  if (l->count_visible != n) array_free(ix, l->visible, l->count_visible);
  l->visible = rebuilt;
  l->count_visible = shown;
  l->filter = mask;
  return 0;
}

uint32_t child_index_count(const ChildIndex* ix, uint32_t parent) {
  uint64_t slot = slot_get(ix, parent);
  if (slot == 0) return 0;
  if (slot & kInline) return (slot & kInlineShown) ? 1 : 0;
  return list_at(ix, slot)->count_visible;
}

uint32_t child_index_total(const ChildIndex* ix, uint32_t parent) {
  uint64_t slot = slot_get(ix, parent);
  if (slot == 0) return 0;
  if (slot & kInline) return 1;
  return list_at(ix, slot)->count_all;
}

uint32_t child_index_at(const ChildIndex* ix, uint32_t parent, uint32_t pos) {
  uint64_t slot = slot_get(ix, parent);
  if (slot == 0) return kNone;
  if (slot & kInline) return (pos == 0 && (slot & kInlineShown)) ? (uint32_t)slot : kNone;
  const ChildList* l = list_at(ix, slot);
  return pos < l->count_visible ? visible_at(ix, l, pos) : kNone;
}

uint32_t child_index_range(const ChildIndex* ix, uint32_t parent, uint32_t pos, uint32_t n,
                           uint32_t* out) {
  uint64_t slot = slot_get(ix, parent);
  if (slot == 0 || n == 0) return 0;
  if (slot & kInline) {
    if (pos != 0 || !(slot & kInlineShown)) return 0;
    out[0] = (uint32_t)slot;
    return 1;
  }
  const ChildList* l = list_at(ix, slot);
  uint32_t got = 0;
  for (; got < n && pos + got < l->count_visible; got++) out[got] = visible_at(ix, l, pos + got);
  return got;
}

uint32_t child_index_find(const ChildIndex* ix, uint32_t parent, uint32_t child) {
  uint64_t slot = slot_get(ix, parent);
  if (slot == 0) return kNone;
  if (slot & kInline) return ((slot & kInlineShown) && (uint32_t)slot == child) ? 0 : kNone;
  const ChildList* l = list_at(ix, slot);
  uint32_t lo = 0, hi = l->count_visible;  // search [lo, hi)
  while (lo < hi) {
    uint32_t mid = lo + (hi - lo) / 2;
    uint32_t v = visible_at(ix, l, mid);
    if (v == child) return mid;
    if (v < child)
      lo = mid + 1;
    else
      hi = mid;
  }
  return kNone;
}

uint32_t child_index_capacity(const ChildIndex* ix, uint32_t parent) {
  uint32_t n = child_index_total(ix, parent);
  if (n == 0 && slot_get(ix, parent) == 0) return 0;
  uint64_t cap = 4;
  while (cap < n) cap = cap <= 10000 ? cap * 2 : cap + 10000;
  return cap > 0xFFFFFFFFull ? 0xFFFFFFFFu : (uint32_t)cap;
}

uint64_t child_index_scratch_bytes(const ChildIndex* ix) { return ix->used; }
