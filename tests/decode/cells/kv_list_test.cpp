// Lists: ownership (every cell, pair, node and header freed exactly once; the
// suite runs under LeakSanitizer) and concatenation; the chain of tables is
// built by the descriptor walk (descriptor_walk_test.cpp).
#include "decode/cells/kv_list.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// Appends rows with the values first..first+n-1 to *l.
void fill(kvLinkedList** l, int n, int first = 0) {
  for (int i = first; i < first + n; ++i)
    ASSERT_EQ(0, kvlist_append(l, cell_word(W_ADDR, 0, 0), cell_u32((uint32_t)i, 0, 0)));
}

// The values of a list in order, then its count, and "tail" when tail is the last node.
std::string sequence(const kvLinkedList* l) {
  std::string out;
  const kvNode* last = nullptr;
  for (const kvNode* node = l->head; node; last = node, node = node->next) {
    char buf[16];
    cell_to_text(node->pair->value, buf, sizeof buf, nullptr, nullptr);
    out += std::string(buf) + " ";
  }
  return out + "#" + std::to_string(l->count) + (last == l->tail ? " tail" : "");
}

TEST(KvList, AppendRefusesMissingCellsAndLeavesThemToTheCaller) {
  kvLinkedList* l = nullptr;
  DataMsg* k = cell_word(W_ADDR, 0, 0);
  DataMsg* v = cell_u8(3, 0, 0);
  EXPECT_EQ(-1, kvlist_append(&l, k, nullptr));
  EXPECT_EQ(-1, kvlist_append(&l, nullptr, v));
  EXPECT_EQ(-1, kvlist_append(nullptr, k, v));
  EXPECT_EQ(-1, kvlist_append_desc(&l, k, v, nullptr));
  EXPECT_EQ(nullptr, l);  // refused before any header was made
  ASSERT_EQ(0, kvlist_append(&l, k, v));
  DataMsg* d = cell_text("Number of the device", 0, 0);
  ASSERT_EQ(0, kvlist_append_desc(&l, cell_word(W_BLENGTH, 0, 0), cell_u8(18, 0, 0), d));
  EXPECT_EQ(nullptr, l->head->pair->desc);
  EXPECT_EQ(d, l->tail->pair->desc);
  EXPECT_EQ(2u, l->count);
  kvlist_free(l);
}

TEST(KvList, ConcatEdgeCases) {
  kvLinkedList* dst = kvlist_new();
  kvLinkedList* src = nullptr;
  fill(&src, 3);
  ASSERT_EQ(0, kvlist_concat(dst, src));  // onto an empty destination
  EXPECT_EQ("0 1 2 #3 tail", sequence(dst));
  EXPECT_EQ("#0 tail", sequence(src));
  ASSERT_EQ(0, kvlist_concat(dst, src));  // an empty source changes nothing
  fill(&src, 2, 3);  // the emptied source is still a usable header
  ASSERT_EQ(0, kvlist_concat(dst, src));
  fill(&dst, 1, 5);  // appending after a concat goes through the new tail
  ASSERT_EQ(0, kvlist_concat(dst, dst));  // a list onto itself must not make a cycle
  EXPECT_EQ("0 1 2 3 4 5 #6 tail", sequence(dst));
  EXPECT_EQ(-1, kvlist_concat(nullptr, src));
  EXPECT_EQ(-1, kvlist_concat(dst, nullptr));
  kvlist_free(src);
  kvlist_free(dst);
}

}  // namespace
