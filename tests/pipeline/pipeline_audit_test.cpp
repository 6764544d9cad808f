// The decoding step against hostile input: a transaction that never closes.
#include <gtest/gtest.h>

#include <vector>

#include "acquisition/pipeline/capture_pipeline.h"
#include "decode/data_parse.h"
#include "os/log.h"
#include "store/store_files.h"
#include "tests/pipeline/tree_text.h"
#include "tests/support/test_env.h"
#include "views/row_tree.h"

using namespace usbtest;

namespace {

class PipelineAudit : public ::testing::Test {
 protected:
  void SetUp() override {
    orvane_log_set_muted(1);
    store_set_data_dir(dir.path().c_str());
    sof_hold_clear();
    trees.package = row_tree_open("package.qelvo", "index.qelvo");
    trees.transaction = row_tree_open("transfer_value.qelvo", "transfer_index.qelvo");
    trees.data = row_tree_open("cData.qelvo", "cIndex.qelvo");
    trees.descriptor = row_tree_open("parse_value.qelvo", "parse_index.qelvo");
    ASSERT_TRUE(trees.package && trees.transaction && trees.data && trees.descriptor);
    dp = new dataParse(false);
    pl = pipeline_create(dp, trees);
  }
  void TearDown() override {
    pipeline_destroy(pl);
    delete dp;
    for (RowTree* t : {trees.package, trees.transaction, trees.data, trees.descriptor}) {
      row_tree_delete_files(t);
      row_tree_close(t);
    }
    sof_hold_clear();
    orvane_log_set_muted(0);
  }
  void feed(const Bytes& b, uint64_t t) {
    pipeline_decode_packet(pl, b.data(), (int32_t)b.size(), t, 0);
  }
  testenv::TempDir dir;
  RowTrees trees{};
  dataParse* dp = nullptr;
  CapturePipeline* pl = nullptr;
};

// After an idle SOF run the SOF counter stays up, so later SOFs are held and
// never close the open IN transaction: each data packet they decode becomes
// one more packet row of it. Those rows must not pile up without bound.
TEST_F(PipelineAudit, TransactionThatNeverClosesKeepsBoundedPacketRows) {
  uint64_t t = 1000;
  feed(sof(1), t += 100);
  feed(sof(2), t += 100);
  feed(token(0x69, 9, 2), t += 100);  // endpoint unknown: no transfer
  size_t most = 0;
  const int n = 5000;
  for (int i = 0; i < n; i++) {
    feed(data(0xC3, filled(8, (uint8_t)i)), t += 100);
    feed(sof((uint16_t)(3 + i)), t += 100);
    if (pl->packetRows.size() > most) most = pl->packetRows.size();
  }
  EXPECT_LE(most, 1024u);
  // Every packet is still in the package view.
  EXPECT_EQ(row_tree_row_count(trees.package), 2u * dp->packageCount());
  // The handshake closes the transaction: one row with its packets below.
  feed(hs(0xD2), t += 100);
  std::vector<std::string> tx = treetext::lines(trees.transaction->store);
  ASSERT_FALSE(tx.empty());
  EXPECT_EQ(tx[0].substr(0, 15), "IN Transaction=");
  EXPECT_TRUE(pl->packetRows.empty());
}

}  // namespace
