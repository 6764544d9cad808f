// The child index: capacity rule, attribute filter, far-apart parents, the
// scratch file, and a randomized comparison with a plain model (refiltering of
// the root only, long lists).
#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <map>
#include <random>
#include <vector>

#include "os/mapped_file.h"
#include "store/attr_filter.h"
#include "store/row_store.h"
#include "tests/store/store_fixture.h"

namespace {

constexpr uint32_t kNone = 0xFFFFFFFFu;

class ChildIndexTest : public StoreTest {
 protected:
  void SetUp() override {
    store_ = rowstore_open("v.qelvo");
    ASSERT_NE(store_, nullptr);
    rowstore_set_filter(store_, kFilterShowAll);
  }
  void TearDown() override { rowstore_close_delete(store_); }
  std::vector<uint32_t> visible(uint32_t parent) {
    std::vector<uint32_t> out;
    for (uint32_t i = 0; i < tree_child_count(store_, parent); ++i)
      out.push_back(tree_child_at(store_, parent, i));
    return out;
  }
  RowStore* store_ = nullptr;
};

uint32_t attr(uint32_t kinds, uint32_t address, uint32_t endpoint) {
  return kinds | address << 24 | endpoint << 16;
}

TEST(AttrHidden, KindsAndAddressEndpointSelectors) {
  const struct {
    uint32_t kinds, address, endpoint, mask;
    bool hidden;
  } cases[] = {
      {0x1000, 5, 3, 0xFFFF0000, false}, {0xFFFF, 255, 255, 0xFFFF0000, false},  // the default mask
      {0x1000, 5, 3, 0xFFFF1000, true},  {0x0800, 5, 3, 0xFFFF1000, false},     // kind bits
      {0, 5, 3, 0xFF030000, false},      {0, 9, 3, 0xFF030000, false},  {0, 5, 4, 0xFF030000, true},
      {0, 5, 7, 0x05FF0000, false},      {0, 6, 7, 0x05FF0000, true},   // device 5, any endpoint
      {0, 5, 3, 0x05030000, false},      {0, 5, 4, 0x05030000, true},   {0, 6, 3, 0x05030000, true},
      {0x0002, 5, 3, 0x05030002, true},  // kind bits win over a matching selector
      {0x0800, 0, 0, 0, false},          {0x0800, 0, 1, 0, true},  // mask 0 shows only 0/0
  };
  for (const auto& c : cases)
    EXPECT_EQ(c.hidden, attr_hidden(attr(c.kinds, c.address, c.endpoint), c.mask)) << &c - cases;
}

// A full scratch file refuses the child and changes nothing; capacity doubles
// from 4 to 16,384, then grows by 10,000, only when the list is full.
TEST_F(ChildIndexTest, AFullScratchFileCapacityGrowthFarApartParentsAndNoName) {
  // Fill the first megabyte of the scratch file with pages of far-apart parents.
  tree_add_child(store_, 0, 1, 0);
  uint32_t parent = 1;
  while (tree_scratch_bytes(store_) + 65536 <= (1u << 20)) {
    parent += 16384;
    ASSERT_EQ(tree_add_child(store_, parent, 2, 0), 0);
  }
  os_file_fail_next("set_size", 1, ENOSPC);
  EXPECT_EQ(tree_add_child(store_, parent + 16384, 3, 0), -1);
  EXPECT_EQ(tree_child_count(store_, parent + 16384), 0u);
  EXPECT_EQ(tree_add_child(store_, parent + 16384, 3, 0), 0);
  EXPECT_EQ(visible(parent + 16384), (std::vector<uint32_t>{3}));
  EXPECT_EQ(visible(0), (std::vector<uint32_t>{1}));

  EXPECT_EQ(tree_child_capacity(store_, 7), 0u);
  const std::pair<uint32_t, uint32_t> steps[] = {{1, 4},         {4, 4},         {5, 8},
                                                 {16384, 16384}, {16385, 26384}, {26385, 36384},
                                                 {36384, 36384}, {36385, 46384}};
  uint32_t added = 0;
  for (const auto& [children, capacity] : steps) {
    for (; added < children; ++added) ASSERT_EQ(tree_add_child(store_, 7, 101 + added, 0), 0);
    EXPECT_EQ(tree_child_capacity(store_, 7), capacity) << children;
  }
  for (uint32_t i : {0u, 3u, 4u, 16383u, 16384u, 16385u, 36384u}) {
    EXPECT_EQ(tree_child_at(store_, 7, i), 101 + i) << i;
    EXPECT_EQ(tree_index_of_child(store_, 7, 101 + i), i);
  }
  EXPECT_EQ(tree_child_at(store_, 7, 36385), kNone);
  EXPECT_EQ(tree_index_of_child(store_, 7, 100), kNone);
  EXPECT_EQ(tree_index_of_child(store_, 7, 101 + 36385), kNone);

  tree_add_child(store_, 0xFFFFFFFEu, 0xFFFFFFFFu, 0);
  EXPECT_EQ(visible(0xFFFFFFFEu), (std::vector<uint32_t>{0xFFFFFFFFu}));
  EXPECT_EQ(tree_child_count(store_, 0xFFFFFFFDu), 0u);

  // The scratch file leaves no name, and closing releases it.
  int before = open_fds();
  RowStore* other = rowstore_open("w.qelvo");
  ASSERT_NE(other, nullptr);
  for (uint32_t r = 1; r <= 5000; ++r) ASSERT_EQ(tree_add_child(other, r / 3, r, 0), 0);
  ASSERT_GT(tree_scratch_bytes(other), 0u);
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(tmp_.path() + "/data"))
    names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"v.qelvo", "w.qelvo"}));
  rowstore_close_delete(other);
  EXPECT_EQ(open_fds(), before);
}

// The semantics in their plainest form: one list of all children with flags
// and one visible list per parent.
struct ModelList {
  std::vector<uint32_t> all, flags, visible;
};

TEST_F(ChildIndexTest, MatchesAPlainModelUnderRandomAppendsAndFilters) {
  std::mt19937 rng(20261206);
  std::map<uint32_t, ModelList> model;
  uint32_t mask = kFilterShowAll;
  const uint32_t masks[] = {kFilterShowAll, 0xFFFF1000, 0xFF030000, 0x05FF0000, 0x05030800, 0xFFFF1800};
  uint32_t next_row = 1;
  std::vector<uint32_t> parents = {0};
  for (int step = 0; step < 60000; ++step) {
    uint32_t dice = rng() % 1000;
    if (dice == 0) {
      mask = masks[rng() % 6];
      rowstore_set_filter(store_, mask);
      ModelList& root = model[0];
      root.visible.clear();
      for (size_t i = 0; i < root.all.size(); ++i)
        if (!attr_hidden(root.flags[i], mask)) root.visible.push_back(root.all[i]);
      if (root.all.empty()) model.erase(0);
      continue;
    }
    // Mostly the newest parents (like the tree model), sometimes an old one;
    // a few parents get thousands of children.
    uint32_t parent;
    if (dice < 300)
      parent = 0;
    else if (dice < 310)
      parent = parents[rng() % parents.size()];
    else if (dice < 500)
      parent = 3;
    else
      parent = parents[parents.size() - 1 - rng() % std::min<size_t>(parents.size(), 3)];
    uint32_t flags = attr((rng() % 4 == 0) ? 0x1000 : 0x0800, rng() % 7, rng() % 5);
    uint32_t row = next_row++;
    ASSERT_EQ(tree_add_child(store_, parent, row, flags), 0);
    ModelList& l = model[parent];
    l.all.push_back(row);
    l.flags.push_back(flags);
    if (!attr_hidden(flags, mask)) l.visible.push_back(row);
    parents.push_back(row);
  }
  for (const auto& [parent, l] : model) {
    ASSERT_EQ(tree_child_count(store_, parent), l.visible.size()) << parent;
    ASSERT_EQ(tree_child_total(store_, parent), l.all.size()) << parent;
    for (size_t i = 0; i < l.visible.size(); ++i) {
      ASSERT_EQ(tree_child_at(store_, parent, (uint32_t)i), l.visible[i]) << parent << " " << i;
      ASSERT_EQ(tree_index_of_child(store_, parent, l.visible[i]), i) << parent;
    }
    ASSERT_EQ(tree_child_at(store_, parent, (uint32_t)l.visible.size()), kNone);
  }
  EXPECT_GT(model[3].all.size(), 10000u);
}

}  // namespace
