// Capture record framing and the two readers on an in-process channel, and
// randomised streams of valid records mixed with garbage and malformed frames
// (fixed seeds): every valid record must come out, in order, and the bulk
// reader must find and skip exactly what the byte-at-a-time reader does.
#include "acquisition/capture_record.h"

#include "os/clock.h"
#include "os/sync.h"
#include "tests/acquisition/channel_fixture.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

Bytes encode(const Bytes& packet, uint64_t stamp) {
  Bytes out(CAPTURE_RECORD_MAX);
  out.resize(capture_record_encode(out.data(), out.size(), packet.data(), (uint32_t)packet.size(), stamp));
  return out;
}

Bytes operator+(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

std::unique_ptr<RecordReader> new_reader(int bulk) {
  auto r = std::make_unique<RecordReader>();
  record_reader_init(r.get());
  r->bulk = bulk;
  r->printLengths = 0;
  return r;
}

using RecordFuzz = OnChannel;

class Records : public OnChannel, public ::testing::WithParamInterface<int> {
 protected:
  void put(const Bytes& b) { ASSERT_EQ(shm_write(h, b.data(), (uint32_t)b.size(), 1000), (int)b.size()); }
  // A writer that never sets the data event: it takes the lock, copies its
  // bytes and moves writePos, nothing more.
  void put_silently(const Bytes& b) {
    ASSERT_EQ(os_lock_acquire(h->lock, 1000), OS_LOCK_TAKEN);
    ShmStats st;
    shm_get_stats(h, &st);
    ASSERT_LT(st.writePos + b.size(), SHM_RING_SIZE);
    std::memcpy(h->view + SHM_HEADER_SIZE + st.writePos, b.data(), b.size());
    uint32_t wp = st.writePos + (uint32_t)b.size();
    std::memcpy(h->view, &wp, 4);
    os_lock_release(h->lock);
  }
  // Length, first byte and the stamp as read, whole and in its halves.
  std::string got() {
    char t[80];
    std::snprintf(t, sizeof t, "%u %02X %llx %x %x", out.dataLength, out.packet[0],
                  (unsigned long long)out.timestamp, out.stampHigh, out.stampLow);
    return t;
  }
  std::unique_ptr<RecordReader> reader = new_reader(GetParam());
  CaptureRecordOut out{};
};

TEST(RecordFraming, EncodeScramblesHeaderAndFirstTwoPacketBytesAndRefusesWhatDoesNotFit) {
  Bytes packet = {0x69, 0x82, 0x18, 0x40};
  Bytes rec = encode(packet, 0x0000000500000007ull);
  Bytes want = {'q', 'r', 's', 't', 24, 0, 0, 0, 5, 0, 0, 0, 7, 0, 0, 0, 4, 0, 0, 0, 0x69, 0x82, 0x18, 0x40};
  for (int i = 0; i < 14; ++i) want[8 + i] = (uint8_t)(want[8 + i] + "KHT_RAMOZ_31"[i % 12]);
  EXPECT_EQ(rec, want);
  hdrdecrypt(rec.data() + 8, kHeaderKey);
  EXPECT_EQ(Bytes(rec.begin() + 20, rec.end()), packet);

  Bytes big(4093, 1);
  uint8_t buf[CAPTURE_RECORD_MAX + 8];
  EXPECT_EQ(capture_record_encode(buf, sizeof buf, big.data(), 4093, 0), 0u);
  EXPECT_EQ(capture_record_encode(buf, sizeof buf, big.data(), 4092, 0), 4112u);
  EXPECT_EQ(capture_record_encode(buf, 23, big.data(), 4, 0), 0u);
  EXPECT_EQ(capture_record_encode(buf, 24, big.data(), 4, 0), 24u);
  uint8_t b[14] = {1, 2, 3};
  hdrdecrypt(b, "");  // an empty key changes nothing
  hdrdecrypt(b, nullptr);
  EXPECT_EQ(b[0], 1);
}

TEST_P(Records, ExactAndPluginReadersHandOnStampsWaitDropTornRecordsAndReadASilentWriter) {
  put(encode({0xD2}, 0x123456789ABCDEF0ull) + encode({0x4B, 0x00, 0x00}, 9));
  std::atomic<bool> stop{false};
  ASSERT_EQ(record_read_exact(h, reader.get(), &stop, &out), 1);
  EXPECT_EQ(got(), "1 D2 123456789abcdef0 12345678 9abcdef0");
  ASSERT_EQ(record_read_exact(h, reader.get(), &stop, &out), 1);
  EXPECT_EQ(got(), "3 4B 9 0 9");

  // Waiting for a record that never completes ends at the stop request.
  put({'q', 'r', 's', 't', 30, 0});
  std::thread stopper([&] {
    os_sleep_ms(150);
    stop = true;
  });
  uint32_t t0 = os_tick_ms();
  EXPECT_EQ(record_read_exact(h, reader.get(), &stop, &out), 0);
  stopper.join();
  EXPECT_LT((uint32_t)(os_tick_ms() - t0), 2000u);

  // Bytes that come without the event while the reader already waits.
  ASSERT_EQ(shm_clear(h), 1);
  reader = new_reader(GetParam());
  stop = false;
  std::thread writer([&] {
    put_silently(encode({0x2D, 0x00, 0x10}, 1));
    for (int i = 0; i < 300 && !stop; ++i) os_sleep_ms(10);  // then a watchdog
    stop = true;
  });
  int n = record_read_exact(h, reader.get(), &stop, &out);
  stop = true;
  writer.join();
  EXPECT_TRUE(n == 1 && out.timestamp == 1) << "the record was never read";

  // The plugin reader takes whole records, drops torn ones and ends a round
  // of garbage.
  reader = new_reader(GetParam());
  reader->printLengths = 1;
  put(Bytes{7} + encode({0x2D, 0x00, 0x10}, 11) + encode({0x5A}, 12));
  testing::internal::CaptureStdout();
  ASSERT_EQ(record_read_plugin(h, reader.get(), &out), 1);
  EXPECT_EQ(got(), "3 2D b 0 b");
  ASSERT_EQ(record_read_plugin(h, reader.get(), &out), 1);
  EXPECT_EQ(got(), "1 5A c 0 c");
  EXPECT_EQ(record_read_plugin(h, reader.get(), &out), 0);  // 100 ms without data
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "len = 3\nlen = 1\n");
  reader->printLengths = 0;

  // A half head is forgotten after a quiet read: "s t" alone is not a head.
  put({'q', 'r'});
  EXPECT_EQ(record_read_plugin(h, reader.get(), &out), 0);
  Bytes rec = encode({0xA5, 0x01, 0x02}, 3);
  put(Bytes(rec.begin() + 2, rec.end()) + encode({0x69, 0x00, 0x10}, 4));
  ASSERT_EQ(record_read_plugin(h, reader.get(), &out), 1);
  EXPECT_EQ(out.timestamp, 4u);

  // A partial body is abandoned.
  rec = encode(Bytes(40, 0x11), 1);
  put(Bytes(rec.begin(), rec.begin() + 20));
  EXPECT_EQ(record_read_plugin(h, reader.get(), &out), 0);
  EXPECT_EQ(reader->abandoned, 1u);
  put(Bytes(rec.begin() + 20, rec.end()) + encode({0xD2}, 2));
  ASSERT_EQ(record_read_plugin(h, reader.get(), &out), 1);
  EXPECT_EQ(out.timestamp, 2u);

  // A writer that never signals is read too.
  std::thread silent([&] { put_silently(encode({0x2D, 0x00, 0x10}, 5)); });
  n = 0;
  for (int round = 0; round < 30 && n != 1; ++round) n = record_read_plugin(h, reader.get(), &out);
  silent.join();
  EXPECT_TRUE(n == 1 && out.timestamp == 5) << "the record was never read";

  // The head search consumes nothing behind the head, and gives up when quiet.
  put(Bytes{'x', 'q', 'q', 'r', 's', 't', 0x42});
  EXPECT_EQ(data_find_head(h), 1);
  uint8_t next = 0;
  EXPECT_EQ(shm_read(h, &next, 1, 0), 1);
  EXPECT_EQ(next, 0x42);
  put(Bytes{'q', 'r', 's'});
  EXPECT_EQ(data_find_head(h), 0);

  // Without any 'q' no head can begin; a round must still come back so the
  // caller can look at its running flag, with the garbage mostly unread.
  put(Bytes(1 << 20, 0x55));
  t0 = os_tick_ms();
  EXPECT_EQ(record_read_plugin(h, reader.get(), &out), 0);
  EXPECT_LT((uint32_t)(os_tick_ms() - t0), 2000u);
  EXPECT_GT(shm_get_info(h, nullptr, nullptr) + record_reader_buffered(reader.get()), 1u << 19);
}

INSTANTIATE_TEST_SUITE_P(BulkAndByteWise, Records, ::testing::Values(1, 0),
                         [](const testing::TestParamInfo<int>& i) {
                           return std::string(i.param ? "Bulk" : "ByteWise");
                         });

// ---- randomised streams

using Rec = std::pair<Bytes, uint64_t>;  // packet, stamp

// A stream and the valid records in it. Garbage never contains 't', so a
// head can only begin at a frame's own "qrst"; everything else is random.
struct Stream {
  Bytes bytes;
  std::vector<Rec> valid;
};

Stream make_stream(uint32_t seed, size_t target) {
  std::mt19937 rng(seed);
  auto pick = [&](uint32_t n) { return (uint32_t)(rng() % n); };
  Stream s;
  uint64_t stamp = 0;
  auto frame = [&](uint32_t length) {
    for (uint8_t b : {'q', 'r', 's', 't'}) s.bytes.push_back(b);
    for (int i = 0; i < 4; ++i) s.bytes.push_back((uint8_t)(length >> (8 * i)));
  };
  while (s.bytes.size() < target) {
    // Garbage, sometimes with half-made heads in it.
    uint32_t g = pick(4) == 0 ? pick(40) : 0;
    for (uint32_t i = 0; i < g; ++i) {
      uint8_t b = (uint8_t)rng();
      if (pick(6) == 0) b = "qrs"[pick(3)];
      s.bytes.push_back(b == 't' ? 'u' : b);
    }
    uint32_t kind = pick(20);
    if (kind < 14) {
      // A valid record; mostly token-sized, sometimes large.
      uint32_t len = pick(5) == 0 ? pick(CAPTURE_PACKET_MAX + 1) : pick(70);
      Bytes packet(len);
      for (auto& b : packet) b = (uint8_t)rng();
      uint64_t ts = ((uint64_t)rng() << 32) ^ ++stamp;
      uint8_t rec[CAPTURE_RECORD_MAX];
      size_t n = capture_record_encode(rec, sizeof rec, packet.data(), len, ts);
      s.bytes.insert(s.bytes.end(), rec, rec + n);
      s.valid.push_back({packet, ts});
    } else if (kind < 16) {
      // A length above the body buffer: only head and length are consumed.
      frame(CAPTURE_RECORD_MAX + 1 + pick(1u << 30));
    } else if (kind < 17) {
      // A length that leaves no body.
      frame(pick(9));
    } else {
      // A body whose dataLength does not fit its length (includes the
      // lengths 9 to 19 that cannot even hold the header).
      uint32_t length = 9 + pick(300);
      frame(length);
      Bytes body(length - 8);
      for (auto& b : body) b = (uint8_t)rng();
      if (body.size() >= 12) {
        uint32_t bad = length - 20 + 1 + pick(5000);
        for (int i = 0; i < 4; ++i) body[8 + i] = (uint8_t)(bad >> (8 * i));
        // Scrambling touches 14 bytes; a shorter body is scrambled in a copy.
        Bytes scrambled = body;
        scrambled.resize(std::max<size_t>(body.size(), 14));
        hdrencrypt(scrambled.data(), kHeaderKey);
        std::copy(scrambled.begin(), scrambled.begin() + body.size(), body.begin());
      }
      s.bytes.insert(s.bytes.end(), body.begin(), body.end());
    }
  }
  return s;
}

// Feeds `s` through the channel in random pieces with a few pauses while
// the exact reader reads `s.valid.size()` records.
std::vector<Rec> run_exact(ShmHandle* h, const Stream& s, int bulk, uint32_t seed) {
  auto reader = new_reader(bulk);
  std::atomic<bool> stop{false};
  std::thread writer([&] {
    std::mt19937 rng(seed);
    size_t at = 0;
    while (at < s.bytes.size() && !stop) {
      size_t n = std::min<size_t>(1 + rng() % 6000, s.bytes.size() - at);
      int rc = shm_write(h, s.bytes.data() + at, (uint32_t)n, 1000);
      if (rc > 0) at += n;
      if (rc <= 0 || rng() % 64 == 0) os_sleep_ms(1);
    }
    // Watchdog: a reader that misses records would wait for ever.
    for (int i = 0; i < 2000 && !stop; ++i) os_sleep_ms(10);
    stop = true;
  });
  std::vector<Rec> got;
  CaptureRecordOut out;
  while (got.size() < s.valid.size() && record_read_exact(h, reader.get(), &stop, &out))
    got.push_back({Bytes(out.packet, out.packet + out.dataLength), out.timestamp});
  stop = true;
  writer.join();
  return got;
}

// Writes `s` in `cuts` pieces; after each piece the plugin reader runs until
// a round comes back empty with nothing left anywhere. Returns every record.
std::vector<Rec> run_plugin(ShmHandle* h, const Stream& s, int bulk, const std::vector<size_t>& cuts) {
  auto reader = new_reader(bulk);
  std::vector<Rec> got;
  size_t at = 0;
  for (size_t piece = 0; piece <= cuts.size(); ++piece) {
    size_t end = piece < cuts.size() ? cuts[piece] : s.bytes.size();
    if (end > at) {
      EXPECT_EQ(shm_write(h, s.bytes.data() + at, (uint32_t)(end - at), 1000), (int)(end - at));
    }
    at = end;
    CaptureRecordOut out;
    for (;;) {
      if (record_read_plugin(h, reader.get(), &out)) {
        got.push_back({Bytes(out.packet, out.packet + out.dataLength), out.timestamp});
        continue;
      }
      if (shm_get_info(h, nullptr, nullptr) == 0 && record_reader_buffered(reader.get()) == 0) break;
    }
  }
  return got;
}

TEST_F(RecordFuzz, ReadersFindEveryValidRecordInOrderAndAbandonTheSameTornRecords) {
  for (uint32_t seed : {1u, 2u, 3u}) {
    Stream s = make_stream(seed, 600 * 1024);
    ASSERT_GT(s.valid.size(), 500u);
    for (int bulk : {1, 0}) {
      ASSERT_EQ(shm_clear(h), 1);
      std::vector<Rec> got = run_exact(h, s, bulk, seed * 10 + bulk);
      ASSERT_TRUE(got == s.valid) << got.size() << " of " << s.valid.size() << ", seed " << seed << " bulk " << bulk;
    }
  }

  // The plugin readers: everything in a whole stream, and in pieces the
  // same torn records abandoned by both.
  ASSERT_EQ(shm_clear(h), 1);
  Stream whole = make_stream(11, 2 * 1024 * 1024);
  std::vector<Rec> bulk = run_plugin(h, whole, 1, {});
  EXPECT_TRUE(bulk == whole.valid) << bulk.size() << " of " << whole.valid.size();
  EXPECT_TRUE(run_plugin(h, whole, 0, {}) == bulk);
  for (uint32_t seed : {21u, 22u}) {
    Stream s = make_stream(seed, 300 * 1024);
    std::mt19937 rng(seed);
    std::vector<size_t> cuts;
    for (int i = 0; i < 4; ++i) cuts.push_back(rng() % s.bytes.size());
    std::sort(cuts.begin(), cuts.end());
    bulk = run_plugin(h, s, 1, cuts);
    EXPECT_TRUE(bulk == run_plugin(h, s, 0, cuts)) << "seed " << seed;
    // Cutting loses at most the records around the cuts.
    EXPECT_GE(bulk.size() + 4, s.valid.size()) << "seed " << seed;
  }
}

}  // namespace
