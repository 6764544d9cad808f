// One thread appends and publishes rows the way the tree model does while
// another reads them back: the reader must never see a torn entry, a wrong
// payload, a parent that lags behind its shown children, or a view that a
// growth has replaced.
#include <atomic>
#include <thread>
#include <vector>

#include "store/attr_filter.h"
#include "store/row_store.h"
#include "tests/store/store_fixture.h"

namespace {

class ConcurrentStoreTest : public StoreTest {};

// Payload of row r: its length and bytes follow from r alone.
uint32_t payload_len(uint32_t r) { return 60 + r % 200; }
uint8_t payload_byte(uint32_t r, uint32_t i) { return (uint8_t)(r * 13 + i); }

TEST_F(ConcurrentStoreTest, ReadersSeeCompleteRowsAcrossGrowth) {
  orvane_log_set_muted(1);
  RowStore* store = rowstore_open("v.qelvo");
  ASSERT_NE(store, nullptr);
  IndexFile* index = indexfile_open("i.qelvo", store);
  ASSERT_NE(index, nullptr);
  rowstore_set_filter(store, kFilterShowAll);

  // Enough rows to double both files more than once.
  const uint32_t rows = 260000;
  std::atomic<bool> done{false};
  std::thread writer([&] {
    uint8_t buf[300];
    uint64_t last_top = 0;
    IndexEntry top_entry{};
    std::vector<TreeChild> unpublished;
    for (uint32_t r = 1; r <= rows; ++r) {
      uint64_t at;
      IndexEntry* e = rowstore_new_entry(store, &at);
      if (!e) break;
      bool top = r % 3 == 1;
      uint32_t parent = top ? 0 : top_entry.row;
      e->row = r;
      e->parent = parent;
      e->attr_flags = 0x0800;
      for (uint32_t i = 0; i < payload_len(r); ++i) buf[i] = payload_byte(r, i);
      e->value_offset = rowstore_append_value(store, buf, payload_len(r));
      e->length = payload_len(r);
      if (top) {
        last_top = at;
        top_entry = *e;
      } else {
        // The parent may be written already: its new child count goes with the next publish.
        e->position = top_entry.child_count++;
        top_entry.has_children = top_entry.children_shown = 1;
        rowstore_update_entry(store, last_top, &top_entry);
      }
      unpublished.push_back(TreeChild{parent, r, 0x0800});
      if (r % 97 == 0 || r == rows) {
        rowstore_publish(store);
        tree_add_children(store, unpublished.data(), (uint32_t)unpublished.size());
        unpublished.clear();
      }
    }
    done = true;
  });

  uint64_t checked = 0;
  uint8_t out[4097];
  uint32_t probe = 0;
  while (!done.load()) {
    uint32_t tops = tree_child_count(store, 0);
    if (tops == 0) continue;
    // The newest rows (freshly written, near growth) and some older ones.
    for (uint32_t k = 0; k < 8; ++k) {
      uint32_t pos = k < 4 ? tops - 1 - std::min(k, tops - 1) : (probe = probe * 1103515245u + 12345u) % tops;
      uint32_t top = tree_child_at(store, 0, pos);
      ASSERT_NE(top, 0xFFFFFFFFu);
      std::vector<uint32_t> family = {top};
      uint32_t kids = tree_child_count(store, top);
      for (uint32_t c = 0; c < kids; ++c) family.push_back(tree_child_at(store, top, c));
      IndexEntry parent;
      ASSERT_TRUE(rowstore_get_entry(store, top, &parent));
      ASSERT_GE(parent.child_count, kids) << top;  // counted before its children are shown
      for (uint32_t r : family) {
        IndexEntry e;
        ASSERT_TRUE(rowstore_get_entry(store, r, &e)) << r;
        ASSERT_EQ(e.row, r);
        ASSERT_EQ(e.parent, r == top ? 0u : top) << r;
        ASSERT_EQ(e.length, payload_len(r)) << r;
        ASSERT_EQ(rowstore_read_value(store, r, out, sizeof out), payload_len(r)) << r;
        for (uint32_t i = 0; i < payload_len(r); ++i) ASSERT_EQ(out[i], payload_byte(r, i)) << r;
        ++checked;
      }
    }
  }
  writer.join();
  EXPECT_GT(checked, 1000u);
  EXPECT_EQ(rowstore_entry_count(store), rows);
  EXPECT_GE(store->mapped_size, 4u * 5242880u);
  EXPECT_GE(index->mapped_size, 2u * 5242880u);
  rowstore_close_delete(store);
  indexfile_close_delete(index);
  orvane_log_set_muted(0);
}

}  // namespace
