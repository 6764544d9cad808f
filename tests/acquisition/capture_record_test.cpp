// Capture record framing and the two readers on an in-process channel.
#include "acquisition/capture_record.h"

#include "os/clock.h"
#include "os/sync.h"
#include "tests/support/test_env.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

const ShmConfig kConfig = {SHM_DEFAULT_SIZE, 10000, 1, 1};

using Bytes = std::vector<uint8_t>;

Bytes encode(const Bytes& packet, uint64_t stamp) {
  Bytes out(CAPTURE_RECORD_MAX);
  size_t n = capture_record_encode(out.data(), out.size(), packet.data(), (uint32_t)packet.size(), stamp);
  out.resize(n);
  return out;
}

Bytes operator+(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

struct Got {
  Bytes packet;
  uint64_t stamp;
  bool operator==(const Got& o) const { return packet == o.packet && stamp == o.stamp; }
};

class Records : public ::testing::TestWithParam<int> {
 protected:
  void SetUp() override {
    h = shm_create(&kConfig);
    ASSERT_NE(h, nullptr) << shm_get_last_error();
    reader = std::make_unique<RecordReader>();
    record_reader_init(reader.get());
    reader->bulk = GetParam();
    reader->printLengths = 0;
  }
  void TearDown() override { shm_destroy(h); }
  void put(const Bytes& b) { ASSERT_EQ(shm_write(h, b.data(), (uint32_t)b.size(), 1000), (int)b.size()); }
  // Reads with the exact reader until `n` records came or the ring ran dry.
  std::vector<Got> read_exact(size_t n) {
    std::vector<Got> got;
    std::atomic<bool> stop{false};
    std::thread watchdog([&] {
      for (int i = 0; i < 300 && !stop; ++i) os_sleep_ms(10);
      stop = true;
    });
    CaptureRecordOut out;
    while (got.size() < n && record_read_exact(h, reader.get(), &stop, &out))
      got.push_back({Bytes(out.packet, out.packet + out.dataLength), out.timestamp});
    stop = true;
    watchdog.join();
    return got;
  }
  testenv::ShmIsolation iso;
  ShmHandle* h = nullptr;
  std::unique_ptr<RecordReader> reader;
};

TEST(RecordFraming, EncodeScramblesHeaderAndFirstTwoPacketBytes) {
  Bytes packet = {0x69, 0x82, 0x18, 0x40};
  Bytes rec = encode(packet, 0x0000000500000007ull);
  ASSERT_EQ(rec.size(), 24u);
  EXPECT_EQ(Bytes(rec.begin(), rec.begin() + 8), Bytes({'q', 'r', 's', 't', 24, 0, 0, 0}));
  const char* key = "KHT_RAMOZ_31";
  // stampHigh 5: byte 0 = 5 + 'K'; stampLow 7: byte 4 = 7 + 'R'.
  EXPECT_EQ(rec[8], (uint8_t)(5 + key[0]));
  EXPECT_EQ(rec[12], (uint8_t)(7 + key[4]));
  EXPECT_EQ(rec[16], (uint8_t)(4 + key[8]));
  EXPECT_EQ(rec[20], (uint8_t)(0x69 + key[0]));
  EXPECT_EQ(rec[21], (uint8_t)(0x82 + key[1]));
  EXPECT_EQ(rec[22], 0x18);
  EXPECT_EQ(rec[23], 0x40);
  hdrdecrypt(rec.data() + 8, kHeaderKey);
  EXPECT_EQ(Bytes(rec.begin() + 20, rec.end()), packet);
}

TEST(RecordFraming, EncodeRefusesOversizeAndSmallBuffersEmptyKeyChangesNothing) {
  Bytes packet(4093, 1);
  uint8_t out[CAPTURE_RECORD_MAX + 8];
  EXPECT_EQ(capture_record_encode(out, sizeof out, packet.data(), 4093, 0), 0u);
  EXPECT_EQ(capture_record_encode(out, sizeof out, packet.data(), 4092, 0), 4112u);
  EXPECT_EQ(capture_record_encode(out, 23, packet.data(), 4, 0), 0u);
  EXPECT_EQ(capture_record_encode(out, 24, packet.data(), 4, 0), 24u);
  // An empty key changes nothing.
  uint8_t b[14] = {1, 2, 3};
  hdrdecrypt(b, "");
  hdrdecrypt(b, nullptr);
  EXPECT_EQ(b[0], 1);
}

TEST_P(Records, HandshakeRecordHandsOnOnlyItsPidAndTheStampParts) {
  Bytes rec = encode({0xD2}, 0x123456789ABCDEF0ull) + encode({0x4B, 0x00, 0x00}, 9);
  put(rec);
  CaptureRecordOut out;
  std::atomic<bool> stop{false};
  ASSERT_EQ(record_read_exact(h, reader.get(), &stop, &out), 1);
  EXPECT_EQ(out.dataLength, 1u);
  EXPECT_EQ(out.packet[0], 0xD2);
  EXPECT_EQ(out.stampHigh, 0x12345678u);
  EXPECT_EQ(out.stampLow, 0x9ABCDEF0u);
  EXPECT_EQ(out.timestamp, 0x123456789ABCDEF0ull);
  ASSERT_EQ(record_read_exact(h, reader.get(), &stop, &out), 1);
  EXPECT_EQ(out.dataLength, 3u);
  EXPECT_EQ(out.packet[0], 0x4B);
}

TEST_P(Records, ExactReaderStopsWhileWaiting) {
  put({'q', 'r', 's', 't', 30, 0});  // a record that never completes
  std::atomic<bool> stop{false};
  std::thread stopper([&] {
    os_sleep_ms(150);
    stop = true;
  });
  CaptureRecordOut out;
  uint32_t t0 = os_tick_ms();
  EXPECT_EQ(record_read_exact(h, reader.get(), &stop, &out), 0);
  stopper.join();
  EXPECT_LT((uint32_t)(os_tick_ms() - t0), 2000u);
}

TEST_P(Records, PluginReaderTakesWholeRecordsAndPrintsLengths) {
  reader->printLengths = 1;
  put(Bytes{7} + encode({0x2D, 0x00, 0x10}, 11) + encode({0x5A}, 12));
  CaptureRecordOut out;
  testing::internal::CaptureStdout();
  ASSERT_EQ(record_read_plugin(h, reader.get(), &out), 1);
  EXPECT_EQ(out.dataLength, 3u);
  EXPECT_EQ(out.packet[0], 0x2D);
  ASSERT_EQ(record_read_plugin(h, reader.get(), &out), 1);
  EXPECT_EQ(out.timestamp, 12u);
  EXPECT_EQ(record_read_plugin(h, reader.get(), &out), 0);  // 100 ms without data
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "len = 3\nlen = 1\n");
}

TEST_P(Records, PluginReaderForgetsAHalfHeadAfterAQuietRead) {
  CaptureRecordOut out;
  put({'q', 'r'});
  EXPECT_EQ(record_read_plugin(h, reader.get(), &out), 0);
  Bytes rec = encode({0xA5, 0x01, 0x02}, 3);
  // "s t" alone is not a head: the length and body that follow are scanned.
  put(Bytes(rec.begin() + 2, rec.end()) + encode({0x69, 0x00, 0x10}, 4));
  ASSERT_EQ(record_read_plugin(h, reader.get(), &out), 1);
  EXPECT_EQ(out.timestamp, 4u);
}

TEST_P(Records, PluginReaderAbandonsAPartialBody) {
  CaptureRecordOut out;
  Bytes rec = encode(Bytes(40, 0x11), 1);
  put(Bytes(rec.begin(), rec.begin() + 20));
  EXPECT_EQ(record_read_plugin(h, reader.get(), &out), 0);
  EXPECT_EQ(reader->abandoned, 1u);
  put(Bytes(rec.begin() + 20, rec.end()) + encode({0xD2}, 2));
  ASSERT_EQ(record_read_plugin(h, reader.get(), &out), 1);
  EXPECT_EQ(out.timestamp, 2u);
}

TEST_P(Records, FindHeadReadsUpToTheHeadAndGivesUpWhenQuiet) {
  put(Bytes{'x', 'q', 'q', 'r', 's', 't', 0x42});
  EXPECT_EQ(data_find_head(h), 1);
  uint8_t next = 0;
  EXPECT_EQ(shm_read(h, &next, 1, 0), 1);
  EXPECT_EQ(next, 0x42);  // nothing behind the head was consumed
  put(Bytes{'q', 'r', 's'});
  EXPECT_EQ(data_find_head(h), 0);
}

TEST_P(Records, PluginRoundEndsWhileGarbageKeepsComing) {
  // Without any 'q' no head can begin; a round must still come back so the
  // caller can look at its running flag, with the garbage mostly unread.
  put(Bytes(1 << 20, 0x55));
  CaptureRecordOut out;
  uint32_t t0 = os_tick_ms();
  EXPECT_EQ(record_read_plugin(h, reader.get(), &out), 0);
  EXPECT_LT((uint32_t)(os_tick_ms() - t0), 2000u);
  EXPECT_GT(shm_get_info(h, nullptr, nullptr) + record_reader_buffered(reader.get()), 1u << 19);
}

// A writer that never sets the data event (it takes the lock, copies its
// bytes and moves writePos, nothing more) is still read by both readers,
// also when the reader is already waiting as the bytes come.
TEST_P(Records, WriterThatNeverSignalsIsReadByBothReaders) {
  auto put_silently = [this](const Bytes& b) {
    ASSERT_EQ(os_lock_acquire(h->lock, 1000), OS_LOCK_TAKEN);
    ShmStats st;
    shm_get_stats(h, &st);
    ASSERT_LT(st.writePos + b.size(), SHM_RING_SIZE);
    std::memcpy(h->view + SHM_HEADER_SIZE + st.writePos, b.data(), b.size());
    uint32_t wp = st.writePos + (uint32_t)b.size();
    std::memcpy(h->view, &wp, 4);
    os_lock_release(h->lock);
  };
  for (uint64_t stamp : {1, 2}) {
    bool plugin = stamp == 2;
    SCOPED_TRACE(plugin ? "plugin reader" : "exact reader");
    std::thread writer([&] { put_silently(encode({0x2D, 0x00, 0x10}, stamp)); });
    CaptureRecordOut out{};
    bool got = false;
    if (plugin) {
      for (int round = 0; round < 30 && !got; ++round) got = record_read_plugin(h, reader.get(), &out) == 1;
    } else {
      std::vector<Got> exact = read_exact(1);
      got = exact.size() == 1;
      if (got) out.timestamp = exact[0].stamp;
    }
    writer.join();
    ASSERT_TRUE(got) << "the record was never read";
    EXPECT_EQ(out.timestamp, stamp);
  }
}

INSTANTIATE_TEST_SUITE_P(BulkAndByteWise, Records, ::testing::Values(1, 0),
                         [](const testing::TestParamInfo<int>& i) {
                           return std::string(i.param ? "Bulk" : "ByteWise");
                         });

}  // namespace
