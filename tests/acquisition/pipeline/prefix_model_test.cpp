// The views announce rows as they come, so after every packet the rows the
// trees show must be rows of the finished capture, in their final places,
// and a row once shown never changes: only a parent's child count and
// has-children flags are updated in place as its children arrive.
#include <gtest/gtest.h>

#include <map>

#include "tests/support/capture_test_util.h"
#include "tests/support/tree_text.h"

using namespace usbtest;

namespace {

struct ModelRow {
  IndexEntry entry;
  std::vector<uint8_t> payload;
};

// A tree read completely: its rows by number (row 0 unused) and the visible
// children of each parent.
struct Model {
  std::vector<ModelRow> rows{1};
  std::map<uint32_t, std::vector<uint32_t>> children;
};

ModelRow read_row(RowTree* t, uint32_t r) {
  ModelRow m{};
  EXPECT_TRUE(row_tree_entry(t, r, &m.entry)) << r;
  uint8_t buf[kRowBufSize + 1];
  m.payload.assign(buf, buf + row_tree_payload(t, r, buf, sizeof buf));
  return m;
}

Model read_model(RowTree* t) {
  Model m;
  for (uint32_t r = 0, rows = row_tree_row_count(t); r <= rows; r++) {
    if (r > 0) m.rows.push_back(read_row(t, r));
    for (uint32_t i = 0, n = row_tree_child_count(t, r); i < n; i++)
      m.children[r].push_back(row_tree_child_at(t, r, i));
  }
  return m;
}

class PrefixModel : public treetext::PipelineTest {
 protected:
  // Rows of `t` now, against the finished model and the child counts seen before.
  void check(RowTree* t, const Model& want, std::map<uint32_t, uint32_t>& seen, size_t packet) {
    SCOPED_TRACE("after packet " + std::to_string(packet));
    uint32_t shown = 0;
    std::vector<uint32_t> parents{0};
    while (!parents.empty()) {
      uint32_t p = parents.back();
      parents.pop_back();
      auto kids = want.children.find(p);
      uint32_t n = row_tree_child_count(t, p);
      ASSERT_LE(n, kids == want.children.end() ? 0u : kids->second.size()) << "children of " << p;
      for (uint32_t i = 0; i < n; i++) {
        uint32_t r = row_tree_child_at(t, p, i);
        ASSERT_EQ(r, kids->second[i]) << "child " << i << " of " << p;
        uint32_t up = 0, pos = 0;
        ASSERT_TRUE(row_tree_parent_of(t, r, &up, &pos) && up == p && pos == i) << "parent of " << r;
        const ModelRow& m = want.rows[r];
        IndexEntry e, final = m.entry;
        ASSERT_TRUE(row_tree_entry(t, r, &e));
        ASSERT_LE(row_tree_child_count(t, r), e.child_count) << r;  // counted before shown
        ASSERT_LE(e.child_count, final.child_count) << r;
        // Apart from these, the entry is the final one whenever it is seen.
        final.child_count = e.child_count, final.has_children = e.has_children;
        final.children_shown = e.children_shown;
        ASSERT_EQ(0, memcmp(&final, &e, sizeof e)) << "row " << r << " is not the final one";
        if (!seen.count(r)) {
          ASSERT_TRUE(read_row(t, r).payload == m.payload) << "payload of row " << r;
        }
        ASSERT_LE(seen[r], e.child_count) << r;
        seen[r] = e.child_count;
        parents.push_back(r);
        shown++;
      }
    }
    EXPECT_EQ(shown, row_tree_row_count(t)) << "every stored row is shown";
  }
};

TEST_F(PrefixModel, EveryPrefixShowsFinalRowsThatNeverChange) {
  // Enumeration behind a hub (splits, control transfers, idle SOFs), then a
  // bulk transfer whose many NAKed transactions are parked, ended by a short
  // packet, and an IN the end of the capture closes.
  std::vector<Bytes> packets;
  for (const capture_test::Packet& p : capture_test::read_all(testenv::shared_captures_dir() + "/split-enum.pcap").packets)
    if (packets.size() < 700) packets.push_back(p.bytes);
  for (int i = 0; i < 60; i++) packets.insert(packets.end(), {token(0x69, 3, 1), hs(0x5A), sof((uint16_t)i)});
  packets.insert(packets.end(), {token(0x69, 3, 1), data(0xC3, filled(64)), hs(0xD2), token(0x69, 3, 1),
                                 data(0x4B, filled(5)), hs(0xD2), token(0x69, 3, 1)});
  const EndpointEntry bulk{2, 3, 1, 8, 64};
  RowTree* all[] = {trees.package, trees.transaction, trees.data, trees.descriptor};

  endpoint_table_learn(&dp->endpointTable, &bulk);
  feed(packets);
  pipeline_finish(pl);
  std::vector<Model> want;
  for (RowTree* t : all) want.push_back(read_model(t));
  ASSERT_GT(want[1].rows.size(), 200u);
  ASSERT_GT(want[3].rows.size(), 4u);

  for (RowTree* t : all) row_tree_clear(t, nullptr, nullptr, nullptr);
  sof_hold_clear();
  dp->reset();
  pipeline_destroy(pl);
  pl = session->pipeline = pipeline_create(dp, trees, 0);
  ASSERT_NE(pl, nullptr);
  endpoint_table_learn(&dp->endpointTable, &bulk);
  std::map<uint32_t, uint32_t> seen[4];  // rows shown, with their child counts
  uint64_t t = 1000;
  for (size_t i = 0; i <= packets.size(); i++) {
    if (i < packets.size()) decode(packets[i], t), t += 100;
    else pipeline_finish(pl);
    for (int k = 0; k < 4; k++) {
      check(all[k], want[k], seen[k], i);
      if (HasFatalFailure()) return;
    }
  }
  for (int k = 0; k < 4; k++) EXPECT_EQ(seen[k].size() + 1, want[k].rows.size()) << k;
}

}  // namespace
