// The hand-off between the decoding and the storing thread: the queue on its
// own under a random load, and the whole pipeline with the smallest queue
// while another thread reads the trees and clears one of them.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <random>
#include <thread>

#include "acquisition/pipeline/row_queue.h"
#include "tests/support/capture_test_util.h"
#include "tests/support/tree_text.h"

namespace {

uint8_t byte_of(uint32_t record, uint32_t i) { return (uint8_t)(record * 31 + i * 7); }

// Random lengths up to the largest record (so records wrap around the ring),
// random flushes (whole and batched), kicks and pauses on the producer side, random releases,
// dozes and sleeps on the consumer side: every record must arrive once, in
// order, intact, and each side must have waited in each of its ways.
TEST(RowQueue, RandomHandOffDeliversEveryRecordThroughEveryWait) {
  RowQueue* q = rowqueue_create(0);
  ASSERT_NE(q, nullptr);
  const uint32_t records = 20000, most = rowqueue_max_record(q);
  std::thread producer([&] {
    std::mt19937 rng(11);
    for (uint32_t r = 0; r < records; r++) {
      uint32_t max = 4 + rng() % (rng() % 8 == 0 ? most - 4 : 300);
      uint32_t len = 4 + rng() % (max - 3);
      uint8_t* at = rowqueue_reserve(q, max);
      memcpy(at, &r, 4);
      for (uint32_t i = 4; i < len; i++) at[i] = byte_of(r, i);
      rowqueue_commit(q, len);
      uint32_t dice = rng() % 1000;
      if (dice < 300) rowqueue_flush(q);
      else if (dice < 600) rowqueue_flush_batch(q, rng() % 8192);
      if (dice == 0) rowqueue_kick(q);
      // Idle spells, so that the consumer runs dry and sleeps or dozes.
      if (dice >= 990) std::this_thread::sleep_for(std::chrono::microseconds(dice - 900));
    }
    rowqueue_kick(q);
  });
  std::mt19937 rng(12);
  uint32_t expect = 0;
  bool intact = true;
  while (expect < records && intact) {
    uint32_t len = 0;
    const uint8_t* rec = rowqueue_next(q, &len);
    if (!rec) {
      rowqueue_release(q);  // never wait holding records the producer may need room for
      rowqueue_wait(q, rng() % 2 ? 1 : -1, rng() % 2 == 0);
      continue;
    }
    uint32_t r;
    memcpy(&r, rec, 4);
    intact = r == expect && len >= 4;
    for (uint32_t i = 4; intact && i < len; i++) intact = rec[i] == byte_of(r, i);
    expect++;
    if (rng() % 3 == 0) rowqueue_release(q);
  }
  rowqueue_release(q);
  producer.join();
  EXPECT_TRUE(intact) << "record " << expect - 1;
  EXPECT_EQ(expect, records);
  RowQueueWaits w = rowqueue_waits(q);
  EXPECT_TRUE(w.producer && w.sleeping && w.dozing) << w.producer << " " << w.sleeping << " " << w.dozing;
  rowqueue_destroy(q);
}

// A batch goes over once its records (with their framing) reach the size
// asked for, and not before.
TEST(RowQueue, ABatchGoesOverWhenItIsFull) {
  RowQueue* q = rowqueue_create(0);
  ASSERT_NE(q, nullptr);
  uint32_t len = 0;
  for (int i = 1; i <= 10; i++) {
    memset(rowqueue_reserve(q, 100), i, 100);
    rowqueue_commit(q, 100);
    rowqueue_flush_batch(q, 10 * 104);  // ten records of 100 bytes with their frames
    if (i < 10) {
      ASSERT_EQ(nullptr, rowqueue_next(q, &len)) << "handed over after " << i;
    }
  }
  int got = 0;
  while (const uint8_t* rec = rowqueue_next(q, &len)) EXPECT_EQ(++got, rec[99]);
  EXPECT_EQ(10, got);
  rowqueue_destroy(q);
}

using PipelineHandOff = treetext::PipelineTest;

// A real capture with transfers, SPLITs and idle SOF runs, decoded through
// the smallest queue with random syncs and the files' cached pages let go
// one page behind their ends, while another thread walks the trees
// (every row it finds must be complete) and clears the data tree once: the
// trees end as with the default queue, the cleared one with exactly the rows
// decoded after its clear.
TEST_F(PipelineHandOff, SmallestQueueStoresWhatTheDefaultQueueStores) {
  const std::vector<capture_test::Packet> packets =
      capture_test::read_all(testenv::shared_captures_dir() + "/split-enum.pcap", CAPTURE_TIME_FROM_FIRST).packets;
  ASSERT_GT(packets.size(), 1000u);

  std::atomic<bool> cleared{false};
  auto run = [&](CapturePipeline* pipeline, std::mt19937* rng) {
    for (size_t i = 0; i < packets.size(); i++) {
      pipeline_decode_packet(pipeline, packets[i].bytes.data(), (int32_t)packets[i].bytes.size(), packets[i].ts, 0);
      if (rng && (*rng)() % 50 == 0) pipeline_sync(pipeline);
      if (rng && i == packets.size() / 2) {
        // Halfway, the other thread clears the data tree while decoding goes on.
        pipeline_sync(pipeline);
        testenv::wait_until([&] { return cleared.load(); }, 20000, 0);
      }
    }
    pipeline_finish(pipeline);
  };
  run(pl, nullptr);
  std::vector<std::vector<std::string>> want;
  for (RowTree* t : {trees.package, trees.transaction, trees.data, trees.descriptor})
    want.push_back(treetext::lines(t, t == trees.descriptor));

  for (RowTree* t : {trees.package, trees.transaction, trees.data, trees.descriptor})
    row_tree_clear(t, nullptr, nullptr, nullptr);
  sof_hold_clear();
  dp->reset();
  pipeline_destroy(pl);
  pl = session->pipeline = pipeline_create(dp, trees, kRowQueueMinCapacity, 4096, 0);
  ASSERT_NE(pl, nullptr);

  ASSERT_FALSE(want[2].empty());
  std::atomic<bool> done{false}, complete{true};
  std::thread reader_thread([&] {
    uint8_t buf[kRowBufSize + 1];
    auto unpacks = [&](RowTree* t, uint32_t row) {
      PayloadView v;
      return payload_unpack(buf, row_tree_payload(t, row, buf, sizeof buf), &v) == 0;
    };
    while (!done.load()) {
      for (RowTree* t : {trees.package, trees.transaction}) {
        uint32_t n = row_tree_child_count(t, 0);
        for (uint32_t i = n > 20 ? n - 20 : 0; i < n; i++) {
          uint32_t row = row_tree_child_at(t, 0, i);
          if (!unpacks(t, row)) complete = false;
          for (uint32_t k = 0; k < row_tree_child_count(t, row); k++)
            if (!unpacks(t, row_tree_child_at(t, row, k))) complete = false;
        }
      }
      if (!cleared.load() && row_tree_row_count(trees.data) > 0) {
        row_tree_clear(trees.data, nullptr, nullptr, nullptr);
        cleared = true;
      }
    }
  });
  std::mt19937 rng(5);
  run(pl, &rng);
  done = true;
  reader_thread.join();

  ASSERT_TRUE(cleared.load());
  EXPECT_TRUE(complete.load()) << "a reader met a row without its payload";
  EXPECT_EQ(treetext::lines(trees.package), want[0]);
  EXPECT_EQ(treetext::lines(trees.transaction), want[1]);
  EXPECT_EQ(treetext::lines(trees.descriptor, 1), want[3]);
  std::vector<std::string> data = treetext::lines(trees.data);
  ASSERT_LT(data.size(), want[2].size());
  EXPECT_TRUE(std::equal(data.begin(), data.end(), want[2].end() - data.size()));
  EXPECT_GT(rowqueue_waits(pl->queue).producer, 0u) << "the smallest queue never filled";
}

}  // namespace
