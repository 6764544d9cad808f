// Randomised streams of valid records mixed with garbage and malformed
// frames (fixed seeds). Every valid record must come out, in order, and the
// bulk reader must find and skip exactly what the byte-at-a-time reader does.
#include "acquisition/capture_record.h"

#include "os/clock.h"
#include "tests/support/test_env.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <memory>
#include <random>
#include <thread>
#include <vector>

namespace {

const ShmConfig kConfig = {SHM_DEFAULT_SIZE, 10000, 1, 1};
using Bytes = std::vector<uint8_t>;

struct Rec {
  Bytes packet;
  uint64_t stamp;
  bool operator==(const Rec& o) const { return packet == o.packet && stamp == o.stamp; }
};

void put_le32(Bytes& out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back((uint8_t)(v >> (8 * i)));
}

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
  while (s.bytes.size() < target) {
    // Garbage, sometimes with half-made heads in it.
    uint32_t g = pick(4) == 0 ? pick(40) : 0;
    for (uint32_t i = 0; i < g; ++i) {
      uint8_t b = (uint8_t)rng();
      if (pick(6) == 0) b = "qrs"[pick(3)];
      s.bytes.push_back(b == 't' ? 'u' : b);
    }
    uint32_t kind = pick(20);
    const Bytes head = {'q', 'r', 's', 't'};
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
      s.bytes.insert(s.bytes.end(), head.begin(), head.end());
      put_le32(s.bytes, CAPTURE_RECORD_MAX + 1 + pick(1u << 30));
    } else if (kind < 17) {
      // A length that leaves no body.
      s.bytes.insert(s.bytes.end(), head.begin(), head.end());
      put_le32(s.bytes, pick(9));
    } else {
      // A body whose dataLength does not fit its length (includes the
      // lengths 9 to 19 that cannot even hold the header).
      uint32_t length = 9 + pick(300);
      s.bytes.insert(s.bytes.end(), head.begin(), head.end());
      put_le32(s.bytes, length);
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

std::unique_ptr<RecordReader> new_reader(int bulk) {
  auto r = std::make_unique<RecordReader>();
  record_reader_init(r.get());
  r->bulk = bulk;
  r->printLengths = 0;
  return r;
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
      size_t n = 1 + rng() % 6000;
      if (n > s.bytes.size() - at) n = s.bytes.size() - at;
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

class RecordFuzz : public ::testing::Test {
 protected:
  void SetUp() override {
    h = shm_create(&kConfig);
    ASSERT_NE(h, nullptr) << shm_get_last_error();
  }
  void TearDown() override { shm_destroy(h); }
  testenv::ShmIsolation iso;
  ShmHandle* h = nullptr;
};

TEST_F(RecordFuzz, ExactReadersFindEveryValidRecordInOrder) {
  for (uint32_t seed : {1u, 2u, 3u}) {
    Stream s = make_stream(seed, 600 * 1024);
    ASSERT_GT(s.valid.size(), 500u);
    for (int bulk : {1, 0}) {
      ASSERT_EQ(shm_clear(h), 1);
      std::vector<Rec> got = run_exact(h, s, bulk, seed * 10 + bulk);
      ASSERT_EQ(got.size(), s.valid.size()) << "seed " << seed << " bulk " << bulk;
      for (size_t i = 0; i < got.size(); ++i)
        ASSERT_TRUE(got[i] == s.valid[i]) << "record " << i << " seed " << seed << " bulk " << bulk;
    }
  }
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

TEST_F(RecordFuzz, PluginReadersFindEverythingInAWholeStreamAndAbandonTheSameTornRecords) {
  Stream whole = make_stream(11, 2 * 1024 * 1024);
  std::vector<Rec> bulk = run_plugin(h, whole, 1, {});
  ASSERT_EQ(bulk.size(), whole.valid.size());
  EXPECT_TRUE(bulk == whole.valid);
  EXPECT_TRUE(run_plugin(h, whole, 0, {}) == bulk);
  for (uint32_t seed : {21u, 22u}) {
    Stream s = make_stream(seed, 300 * 1024);
    std::mt19937 rng(seed);
    std::vector<size_t> cuts;
    for (int i = 0; i < 4; ++i) cuts.push_back(rng() % s.bytes.size());
    std::sort(cuts.begin(), cuts.end());
    bulk = run_plugin(h, s, 1, cuts);
    std::vector<Rec> bytewise = run_plugin(h, s, 0, cuts);
    EXPECT_EQ(bulk.size(), bytewise.size()) << "seed " << seed;
    EXPECT_TRUE(bulk == bytewise) << "seed " << seed;
    // Cutting loses at most the records around the cuts.
    EXPECT_GE(bulk.size() + 4, s.valid.size()) << "seed " << seed;
  }
}

}  // namespace
