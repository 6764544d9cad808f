// Lists: ownership (every cell, pair, node and header freed exactly once; the
// suite runs under LeakSanitizer) and concatenation; the chain of tables is
// built by the descriptor walk (descriptor_walk_test.cpp).
#include "decode/cells/kv_list.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

std::string text(const DataMsg* c) {
  char buf[128];
  cell_to_text(c, buf, sizeof buf, nullptr, nullptr);
  return buf;
}

// Appends n rows "k<i>" -> i to *l.
void fill(kvLinkedList** l, int n, int first = 0) {
  for (int i = first; i < first + n; ++i)
    ASSERT_EQ(0, kvlist_append(l, cell_text(("k" + std::to_string(i)).c_str(), 0, 0),
                               cell_u32((uint32_t)i, 0, 0)));
}

// Walks a list and checks that it holds the values first..first+n-1 in order,
// that count agrees and that tail is the last node.
void expect_sequence(const kvLinkedList* l, int first, int n) {
  ASSERT_NE(nullptr, l);
  EXPECT_EQ((uint64_t)n, l->count);
  const kvNode* last = nullptr;
  int i = first;
  for (const kvNode* node = l->head; node; node = node->next, ++i) {
    EXPECT_EQ(std::to_string(i), text(node->pair->value));
    last = node;
  }
  EXPECT_EQ(first + n, i);
  EXPECT_EQ(last, l->tail);
}

TEST(KvList, AppendRefusesMissingCellsAndLeavesThemToTheCaller) {
  kvLinkedList* l = nullptr;
  DataMsg* k = cell_word(W_ADDR, 0, 0);
  DataMsg* v = cell_u8(3, 0, 0);
  EXPECT_EQ(-1, kvlist_append(&l, k, nullptr));
  EXPECT_EQ(nullptr, l);  // refused before any header was made
  EXPECT_EQ(-1, kvlist_append(&l, nullptr, v));
  EXPECT_EQ(-1, kvlist_append(nullptr, k, v));
  // A null description is fine for the plain append, refused by the other.
  EXPECT_EQ(-1, kvlist_append_desc(&l, k, v, nullptr));
  EXPECT_EQ(nullptr, l);
  ASSERT_EQ(0, kvlist_append(&l, k, v));  // makes the header
  EXPECT_EQ(1u, l->count);
  EXPECT_EQ(nullptr, l->head->pair->desc);
  DataMsg* d = cell_text("Number of the device", 0, 0);
  ASSERT_EQ(0, kvlist_append_desc(&l, cell_word(W_BLENGTH, 0, 0), cell_u8(18, 0, 0), d));
  EXPECT_EQ(d, l->tail->pair->desc);
  EXPECT_EQ(2u, l->count);
  kvlist_free(l);
}

TEST(KvList, ConcatEdgeCases) {
  kvLinkedList* dst = kvlist_new();
  kvLinkedList* src = nullptr;
  fill(&src, 3);
  kvNode* head = src->head;
  kvNode* tail = src->tail;
  // Onto an empty destination: it takes over head, tail and count.
  ASSERT_EQ(0, kvlist_concat(dst, src));
  EXPECT_EQ(head, dst->head);
  EXPECT_EQ(tail, dst->tail);
  EXPECT_EQ(3u, dst->count);
  EXPECT_EQ(nullptr, src->head);
  EXPECT_EQ(nullptr, src->tail);
  EXPECT_EQ(0u, src->count);
  // An empty source changes nothing.
  ASSERT_EQ(0, kvlist_concat(dst, src));
  expect_sequence(dst, 0, 3);
  // The emptied source is still a usable header.
  fill(&src, 2, 3);
  ASSERT_EQ(0, kvlist_concat(dst, src));
  expect_sequence(dst, 0, 5);
  // Appending after a concat goes through the new tail.
  fill(&dst, 1, 5);
  expect_sequence(dst, 0, 6);
  // A list onto itself must not make a cycle.
  ASSERT_EQ(0, kvlist_concat(dst, dst));
  expect_sequence(dst, 0, 6);
  EXPECT_EQ(-1, kvlist_concat(nullptr, src));
  EXPECT_EQ(-1, kvlist_concat(dst, nullptr));
  kvlist_free(src);
  kvlist_free(dst);
}

}  // namespace
