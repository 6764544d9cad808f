// The row tree engine: dropped rows, clear, growth of the index file, packed
// and deferred appends, and the exits for missing lists. Parents, positions
// and child counts of decoded captures are checked by prefix_model_test.cpp.
#include <gtest/gtest.h>

#include <filesystem>

#include "os/log.h"
#include "store/store_files.h"
#include "tests/support/tree_text.h"
#include "tests/support/test_env.h"
#include "views/row_tree.h"

namespace {

using treetext::one;

class RowTreeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    orvane_log_set_muted(1);
    store_set_data_dir(dir.path().c_str());
    tree = row_tree_open("v.qelvo", "i.qelvo");
    ASSERT_NE(tree, nullptr);
  }
  void TearDown() override {
    row_tree_delete_files(tree);
    row_tree_close(tree);
    orvane_log_set_muted(0);
  }
  IndexEntry entry(uint32_t row) {
    IndexEntry e{};
    EXPECT_TRUE(row_tree_entry(tree, row, &e)) << row;
    return e;
  }
  testenv::TempDir dir;
  RowTree* tree = nullptr;
};

TEST_F(RowTreeTest, RowsWithoutTheirParentLevelOrListAreDroppedAndParentsSurviveIndexGrowth) {
  row_tree_append_sub(tree, one("a", "1"), one("b", "2"), 0);
  row_tree_append_subsub(tree, one("a", "1"), one("b", "2"), 0);
  EXPECT_EQ(row_tree_row_count(tree), 0u);
  row_tree_append_par(tree, one("t", "1"), one("v", "1"), 0x10);
  row_tree_append_subsub(tree, one("x", "x"), one("x", "x"), 0);  // no second-level row yet
  row_tree_append_sub(tree, one("s", "2"), one("v", "2"), 0x20);
  row_tree_append_subsub(tree, one("c", "1"), nullptr, 0);
  row_tree_append_subsub(tree, one("g", "3"), one("v", "3"), 0x30);
  ASSERT_EQ(row_tree_row_count(tree), 3u);
  EXPECT_EQ(treetext::row(tree, 1), "t=1 || v=1");
  EXPECT_EQ(entry(3).parent, 2u);
  EXPECT_EQ(entry(3).attr_flags, 0x30u);
  EXPECT_EQ(entry(3).row, 3u);

  // 5 MiB of 40-byte entries is about 131,000 rows: pass it under one parent.
  row_tree_append_par(tree, one("t", "4"), one("v", "4"), 0);
  const uint32_t subs = 140000;
  for (uint32_t i = 0; i < subs; i++) row_tree_append_sub(tree, one("s", "x"), one("v", "y"), i);
  EXPECT_EQ(entry(4).child_count, subs);
  EXPECT_EQ(row_tree_child_count(tree, 4), subs);
  EXPECT_EQ(entry(subs + 4).parent, 4u);
  EXPECT_EQ(entry(subs + 4).position, subs - 1);
  EXPECT_EQ(treetext::row(tree, subs + 4), "s=x || v=y");
}

TEST_F(RowTreeTest, PackedAndDeferredAppendsClearAndDeleteFiles) {
  uint8_t buf[kRowBufSize];
  uint32_t n = row_tree_pack(one("k", "v"), one("a", "b"), buf);
  row_tree_append_payload(tree, 1, buf, n, 7);  // no top row: dropped
  EXPECT_EQ(row_tree_row_count(tree), 0u);
  row_tree_append_payload(tree, 0, buf, n, 7);
  row_tree_append_payload(tree, 1, buf, n, 8);
  row_tree_append_payload(tree, 2, buf, n, 9);
  EXPECT_EQ(row_tree_row_count(tree), 3u);
  EXPECT_EQ(entry(3).parent, 2u);
  EXPECT_EQ(treetext::row(tree, 3), "k=v || a=b");

  // A clear starts again from row one with fresh files, and with no last
  // rows: a second-level row is dropped.
  uint32_t before = row_tree_generation(tree);
  int hooks = 0;
  auto count_hook = [](void* n) { ++*(int*)n; };
  row_tree_clear(tree, count_hook, count_hook, &hooks);
  EXPECT_EQ(hooks, 2);
  EXPECT_EQ(row_tree_row_count(tree), 0u);
  EXPECT_EQ(row_tree_child_count(tree, 0), 0u);
  EXPECT_EQ(std::filesystem::file_size(dir.file("v.qelvo")), 5242880u);
  row_tree_append_sub(tree, one("s", "1"), one("v", "1"), 0);
  EXPECT_EQ(row_tree_row_count(tree), 0u);
  // A row built before a clear belongs to the rows the clear removed.
  EXPECT_FALSE(row_tree_append_packed(tree, before, 0, buf, n, 7));
  EXPECT_TRUE(row_tree_append_packed(tree, row_tree_generation(tree), 0, buf, n, 7));
  EXPECT_EQ(entry(1).row, 1u);

  // Deferred appends reach readers, parent counts and all, at the publish.
  row_tree_defer_publish(tree, true);
  row_tree_append_payload(tree, 1, buf, n, 8);
  EXPECT_EQ(row_tree_row_count(tree), 1u);
  EXPECT_EQ(row_tree_child_count(tree, 1), 0u);
  EXPECT_EQ(row_tree_publish(tree), 0);
  EXPECT_EQ(row_tree_child_count(tree, 1), 1u);
  EXPECT_EQ(entry(1).child_count, 1u);

  row_tree_delete_files(tree);
  EXPECT_FALSE(std::filesystem::exists(dir.file("v.qelvo")) || std::filesystem::exists(dir.file("i.qelvo")));
  row_tree_append_par(tree, one("a", "1"), one("v", "1"), 0);  // freed, no crash
  EXPECT_EQ(row_tree_row_count(tree), 0u);
}

using RowTreeDeathTest = RowTreeTest;

TEST_F(RowTreeDeathTest, MissingListForATopOrSecondLevelRowEndsTheProcess) {
  orvane_log_set_muted(0);
  EXPECT_EXIT(row_tree_append_par(tree, one("a", "1"), nullptr, 0), ::testing::ExitedWithCode(255),
              "appendRowPar_KV_P Infos == NULL \\|\\| Values == NULL");
  row_tree_append_par(tree, one("a", "1"), one("v", "1"), 0);
  EXPECT_EXIT(row_tree_append_sub(tree, nullptr, one("v", "1"), 0), ::testing::ExitedWithCode(255),
              "appendRowSub_KV_P Infos == NULL \\|\\| Values == NULL");
}

}  // namespace
