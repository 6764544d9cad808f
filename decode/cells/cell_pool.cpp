// Per-thread small-block pools with a lock-free return path (see cell_pool.h).
#include "decode/cells/cell_pool.h"

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <mutex>
#include <new>

#include "os/asan.h"

#ifdef ORVANE_ASAN
#include <sanitizer/asan_interface.h>
#define POISON(p, n) ASAN_POISON_MEMORY_REGION((p), (n))
#define UNPOISON(p, n) ASAN_UNPOISON_MEMORY_REGION((p), (n))
#else
#define POISON(p, n) ((void)(p), (void)(n))
#define UNPOISON(p, n) ((void)(p), (void)(n))
#endif

namespace {

// User sizes of the classes; the tag word comes on top.
// The classes reach the largest cell (4,096 payload bytes + 8), so even the
// payload cells of bulk packets (520 bytes at high speed) stay off malloc.
constexpr uint32_t kClassSize[] = {16,  24,  32,  40,   48,   56,   64,   80,   96,   112,
                                   128, 160, 192, 224,  256,  320,  384,  448,  528,  640,
                                   768, 1024, 1280, 1536, 2048, 2560, 3072, 4104};
constexpr int kClassCount = sizeof kClassSize / sizeof kClassSize[0];
constexpr uint32_t kMaxSmall = 4104;
constexpr uintptr_t kClassMask = 63;  // pools are 64-byte aligned
constexpr uintptr_t kMallocTag = 63;  // class field of a plain malloc block
constexpr uintptr_t kInnerTag = kCellPoolInnerTag;  // a part of a bigger block: freed with it
constexpr size_t kChunkSize = 64 * 1024;
constexpr size_t kWord = sizeof(uintptr_t);

static_assert(kClassCount < (int)kInnerTag, "class numbers must fit below the special tags");

// Class of every size up to kMaxSmall, indexed by (size + 7) / 8.
struct ClassTable {
  uint8_t of[kMaxSmall / 8 + 1];
  constexpr ClassTable() : of() {
    int c = 0;
    for (uint32_t i = 0; i <= kMaxSmall / 8; ++i) {
      while (kClassSize[c] < i * 8) ++c;
      of[i] = (uint8_t)c;
    }
  }
};
constexpr ClassTable kClassOf;
static_assert(kClassCount == kCellPoolClassCount, "the inline fast path knows the class count");
static_assert(kMaxSmall == kCellPoolMaxSize, "the inline fast path knows the largest class");

// A free block, seen through its tag word.
struct FreeBlock {
  FreeBlock* next;
};

struct Chunk {
  Chunk* next;  // older chunks of the same pool
};

struct alignas(64) Pool {
  CellPoolLocal hot;                            // owner-only free lists (first: same address)
  alignas(64) std::atomic<FreeBlock*> remote[kClassCount];  // blocks returned by other threads
  alignas(64) char* bump;                        // next uncarved byte of the current chunk
  char* bump_end;                                // end of the current chunk
  Chunk* chunks;                                 // every chunk, kept for the pool's life
  Pool* next_parked;                             // link in the parked list
  Pool* next_all;                                // link in the list of every pool
};


std::mutex g_pools_mutex;
Pool* g_parked = nullptr;  // pools of ended threads, waiting for adoption
Pool* g_all = nullptr;     // every pool ever made (keeps chunks reachable)

// The calling thread's pool, as the inline fast paths see it.
inline Pool* my_pool() { return (Pool*)cell_pool_tls; }
thread_local bool t_exited = false;

// Parks the thread's pool when the thread ends.
struct PoolGuard {
  ~PoolGuard() {
    t_exited = true;
    Pool* p = my_pool();
    cell_pool_tls = nullptr;
    if (!p) return;
    std::lock_guard<std::mutex> lock(g_pools_mutex);
    p->next_parked = g_parked;
    g_parked = p;
  }
};
thread_local PoolGuard t_guard;

inline uintptr_t* tag_of(void* user) { return (uintptr_t*)user - 1; }

// The calling thread's pool: adopted from the parked list or made new.
// Null after the thread's own guard has run, or when memory runs out.
Pool* thread_pool_slow() {
  if (t_exited) return nullptr;
  Pool* p = nullptr;
  {
    std::lock_guard<std::mutex> lock(g_pools_mutex);
    if (g_parked) {
      p = g_parked;
      g_parked = p->next_parked;
    }
  }
  if (!p) {
    void* mem = aligned_alloc(alignof(Pool), sizeof(Pool));
    if (!mem) return nullptr;
    p = new (mem) Pool();
    for (int c = 0; c < kClassCount; ++c) {
      p->hot.local[c] = nullptr;
      p->remote[c].store(nullptr, std::memory_order_relaxed);
    }
    p->bump = p->bump_end = nullptr;
    p->chunks = nullptr;
    std::lock_guard<std::mutex> lock(g_pools_mutex);
    p->next_all = g_all;
    g_all = p;
  }
  p->next_parked = nullptr;
  (void)&t_guard;  // registers the guard's destructor for this thread
  cell_pool_tls = &p->hot;
  return p;
}

void* malloc_block(size_t size) {
  uintptr_t* w = (uintptr_t*)malloc(size + kWord);
  if (!w) return nullptr;
  *w = kMallocTag;
  return w + 1;
}

// Carves a fresh block of class c; null when memory runs out.
void* carve(Pool* p, int c) {
  size_t need = kClassSize[c] + kWord;
  if (p->bump + need > p->bump_end || !p->bump) {
    Chunk* ch = (Chunk*)malloc(kChunkSize);
    if (!ch) return nullptr;
    ch->next = p->chunks;
    p->chunks = ch;
    // Blocks start 8 bytes into a 16-byte boundary so user data is 8-aligned.
    p->bump = (char*)ch + 16;
    p->bump_end = (char*)ch + kChunkSize;
    POISON(p->bump, (size_t)(p->bump_end - p->bump));
  }
  uintptr_t* w = (uintptr_t*)p->bump;
  p->bump += need;
  UNPOISON(w, kWord);
  return w + 1;
}

}  // namespace

CELL_POOL_THREAD CellPoolLocal* cell_pool_tls = nullptr;
extern const uint8_t* const cell_pool_class_of = kClassOf.of;
// Pooling is off by default under AddressSanitizer (see cell_pool.h).
#ifdef ORVANE_ASAN
std::atomic<int> cell_pool_on{0};
#else
std::atomic<int> cell_pool_on{1};
#endif

void* cell_pool_alloc_slow(size_t size) {
  if (size > kMaxSmall || !cell_pool_on.load(std::memory_order_relaxed)) return malloc_block(size);
  Pool* p = my_pool();
  if (!p && !(p = thread_pool_slow())) return malloc_block(size);
  int c = kClassOf.of[(size + 7) >> 3];
  FreeBlock* b = (FreeBlock*)p->hot.local[c];
  void* user;
  if (b) {
    p->hot.local[c] = b->next;
    user = b + 1;
  } else if ((b = p->remote[c].exchange(nullptr, std::memory_order_acquire)) != nullptr) {
    p->hot.local[c] = b->next;
    user = b + 1;
  } else if (!(user = carve(p, c))) {
    return nullptr;
  }
  *tag_of(user) = (uintptr_t)p | (uintptr_t)c;
  UNPOISON(user, size ? size : 1);
  return user;
}

void cell_pool_free_slow(void* user) {
  if (!user) return;
  uintptr_t tag = *tag_of(user);
  uintptr_t c = tag & kClassMask;
  if (c == kMallocTag) {
    free(tag_of(user));
    return;
  }
  if (c == kInnerTag) return;
  Pool* owner = (Pool*)(tag & ~kClassMask);
  FreeBlock* b = (FreeBlock*)tag_of(user);
  POISON(user, kClassSize[c]);
  if (owner == my_pool()) {
    b->next = (FreeBlock*)owner->hot.local[c];
    owner->hot.local[c] = b;
    return;
  }
  FreeBlock* head = owner->remote[c].load(std::memory_order_relaxed);
  do {
    b->next = head;
  } while (!owner->remote[c].compare_exchange_weak(head, b, std::memory_order_release,
                                                   std::memory_order_relaxed));
}

void* cell_pool_alloc_pair(size_t first, size_t second, void** second_out) {
  size_t lead = (first + kWord - 1) & ~(kWord - 1);
  uint8_t* a = (uint8_t*)cell_pool_alloc(lead + kWord + second);
  if (!a) {
    *second_out = nullptr;
    return nullptr;
  }
  uintptr_t* inner = (uintptr_t*)(a + lead);
  *inner = kInnerTag;
  *second_out = inner + 1;
  return a;
}

void cell_pool_keep(void* block) {
  if (block) *tag_of(block) = kInnerTag;
}

int cell_pool_set_enabled(int enabled) {
  return cell_pool_on.exchange(enabled ? 1 : 0, std::memory_order_relaxed);
}

int cell_pool_enabled(void) { return cell_pool_on.load(std::memory_order_relaxed); }
