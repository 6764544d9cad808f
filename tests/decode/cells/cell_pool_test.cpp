// The small-block pool: sizes and alignment, reuse, blocks freed on other
// threads, and a pool outliving its thread. Pooling is switched on explicitly
// so these run against the pool in every build (poisoned under ASan).
#include "decode/cells/cell_pool.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <random>
#include <set>
#include <thread>
#include <vector>

#include "decode/cells/kv_list.h"

namespace {

class PoolOn : public ::testing::Test {
 protected:
  void SetUp() override { old_ = cell_pool_set_enabled(1); }
  void TearDown() override { cell_pool_set_enabled(old_); }
  int old_ = 0;
};

TEST_F(PoolOn, BlocksAreAlignedDistinctAndWritable) {
  std::mt19937 rng(7);
  std::vector<std::pair<uint8_t*, size_t>> live;
  std::set<uint8_t*> seen;
  for (int i = 0; i < 5000; ++i) {
    size_t n = rng() % 4200;  // every pooled class and plain blocks
    uint8_t* p = (uint8_t*)cell_pool_alloc(n);
    ASSERT_NE(nullptr, p);
    EXPECT_EQ(0u, (uintptr_t)p % 8);
    ASSERT_TRUE(seen.insert(p).second) << "block handed out twice";
    memset(p, (int)(i & 0xFF), n);
    live.push_back({p, n});
  }
  // Every block still holds its own pattern: no two blocks overlap.
  for (size_t i = 0; i < live.size(); ++i)
    ASSERT_TRUE(std::all_of(live[i].first, live[i].first + live[i].second,
                            [&](uint8_t b) { return b == (uint8_t)(i & 0xFF); })) << "block " << i;
  for (auto& b : live) cell_pool_free(b.first);
  cell_pool_free(nullptr);
}

// Kept blocks live as long as the process, as the decoder's templates do in
// their table: held here so the leak checker sees them reachable.
void* g_kept_blocks[2];

// Pooled and plain blocks alike: the inner block of a pair lives until the
// outer is freed, and a kept block survives every free.
TEST_F(PoolOn, PairsAndKeptBlocks) {
  for (int on : {1, 0}) {
    cell_pool_set_enabled(on);
    void* inner = nullptr;
    uint8_t* outer = (uint8_t*)cell_pool_alloc_pair(16, 24, &inner);
    ASSERT_TRUE(outer && inner && (uint8_t*)inner >= outer + 16);  // the two do not overlap
    EXPECT_EQ(0u, (uintptr_t)inner % 8);
    memset(outer, 0xA1, 16);
    memset(inner, 0xB2, 24);
    cell_pool_free(inner);  // a no-op for the memory
    for (int i = 0; i < 16; ++i) ASSERT_EQ(0xA1, outer[i]) << on;
    for (int i = 0; i < 24; ++i) ASSERT_EQ(0xB2, ((uint8_t*)inner)[i]) << on;
    cell_pool_free(outer);

    uint8_t* kept = (uint8_t*)cell_pool_alloc(24);
    ASSERT_NE(nullptr, kept);
    g_kept_blocks[on] = kept;
    memset(kept, 0x3C, 24);
    cell_pool_keep(kept);
    // Freed by several owners, on this thread and another: still intact,
    // and never handed out again.
    cell_pool_free(kept);
    std::thread([&] { cell_pool_free(kept); }).join();
    cell_pool_free(kept);
    void* other = cell_pool_alloc(24);
    EXPECT_NE((void*)kept, other) << on;
    EXPECT_EQ(1, cell_pool_is_kept(kept));
    EXPECT_EQ(0, cell_pool_is_kept(other));
    memset(other, 0, 24);
    for (int i = 0; i < 24; ++i) ASSERT_EQ(0x3C, kept[i]) << on;
    cell_pool_free(other);
  }
  cell_pool_keep(nullptr);  // harmless
  EXPECT_EQ(0, cell_pool_is_kept(nullptr));
  cell_pool_set_enabled(1);
  // With pooling on, the outer block of a pair returns to its class for reuse.
  void* inner = nullptr;
  void* outer = cell_pool_alloc_pair(16, 24, &inner);
  cell_pool_free(inner);
  cell_pool_free(outer);
  void* again = cell_pool_alloc_pair(16, 24, &inner);
  EXPECT_EQ(outer, again);
  cell_pool_free(inner);
  cell_pool_free(again);
}

// Freed blocks are reused from their class up to the largest cell (4,104
// bytes), those freed on another thread come back to the owner before new
// ones are carved, and the pool of an ended thread is adopted with its blocks.
TEST_F(PoolOn, FreedBlocksAreReusedWhoeverFreesThem) {
  for (auto sizes : {std::pair<size_t, size_t>{20, 24}, {520, 513}, {4104, 4097}}) {
    void* a = cell_pool_alloc(sizes.first);
    cell_pool_free(a);
    void* b = cell_pool_alloc(sizes.second);  // same class
    EXPECT_EQ(a, b) << sizes.first;
    cell_pool_free(b);
  }
  std::vector<void*> blocks;
  for (int i = 0; i < 64; ++i) blocks.push_back(cell_pool_alloc(40));
  std::thread([&] {
    for (void* b : blocks) cell_pool_free(b);
  }).join();
  std::set<void*> returned(blocks.begin(), blocks.end());
  for (int i = 0; i < 64; ++i) {
    blocks[i] = cell_pool_alloc(40);
    EXPECT_TRUE(returned.count(blocks[i])) << "block " << i << " was not a returned one";
  }
  for (void* b : blocks) cell_pool_free(b);

  void* last = nullptr;
  void* kept = nullptr;
  std::thread([&] {
    kept = cell_pool_alloc(100);
    last = cell_pool_alloc(100);
    cell_pool_free(last);
  }).join();
  memset(kept, 0x5A, 100);  // still valid, and freed here
  cell_pool_free(kept);
  void* again = nullptr;
  std::thread([&] {
    again = cell_pool_alloc(100);
    cell_pool_free(again);
  }).join();
  EXPECT_EQ(last, again);
}

TEST_F(PoolOn, ConcurrentProducersAndConsumers) {
  // Two threads build lists and swap them for freeing, so each frees the
  // other's blocks while allocating its own.
  constexpr int kRounds = 2000;
  std::atomic<kvLinkedList*> slot[2] = {{nullptr}, {nullptr}};
  auto worker = [&](int me) {
    for (int r = 0; r < kRounds; ++r) {
      kvLinkedList* l = nullptr;
      for (int i = 0; i < 8; ++i) kvlist_append(&l, cell_u32((uint32_t)r, 0, 0), cell_u8((uint8_t)i, 0, 0));
      kvLinkedList* theirs = slot[1 - me].exchange(nullptr);
      if (theirs) {
        uint64_t n = 0;
        for (kvNode* node = theirs->head; node; node = node->next) {
          EXPECT_EQ(1, cell_crc_ok(node->pair->key, cell_size(node->pair->key)));
          ++n;
        }
        EXPECT_EQ(8u, n);
      }
      kvlist_free(theirs);
      kvlist_free(slot[me].exchange(l));
    }
  };
  std::thread a(worker, 0), b(worker, 1);
  a.join();
  b.join();
  kvlist_free(slot[0].exchange(nullptr));
  kvlist_free(slot[1].exchange(nullptr));
}

#if defined(__SANITIZE_ADDRESS__)
// The pool stays visible to AddressSanitizer: a freed block is poisoned, and
// so are the bytes of its class beyond the requested size (reported as an
// unknown crash when the next block of the chunk is in use).
TEST_F(PoolOn, FreedAndSpareBytesArePoisonedUnderAsan) {
  volatile uint8_t* p = (volatile uint8_t*)cell_pool_alloc(20);
  p[19] = 1;
  EXPECT_DEATH(p[21] = 1, "use-after-poison|unknown-crash");
  cell_pool_free((void*)p);
  EXPECT_DEATH((void)p[0], "use-after-poison");
}
#endif

}  // namespace
