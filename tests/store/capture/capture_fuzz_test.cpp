// Damaged files never crash the reader: real and generated captures are
// mutated with fixed seeds and read to the end. Every read must end with 0 or
// -1 (or a refused open), name the file when it fails, and hand out only
// packets within the limits. Under AddressSanitizer the reader's buffer is
// poisoned beyond the file data, so any stray read is caught too.
#include <gtest/gtest.h>

#include <random>

#include "tests/support/capture_test_util.h"
#include "tests/support/test_env.h"

using namespace capture_test;

namespace {

std::vector<std::vector<uint8_t>> seed_files(const testenv::TempDir& dir) {
  std::vector<std::vector<uint8_t>> seeds;
  for (const char* name : {"mouse.pcap", "double-setup.pcap", "bad-crcs.pcap", "ls-keepalive-divided-transaction.pcapng"})
    seeds.push_back(file_bytes(testenv::shared_captures_dir() + "/" + name));
  std::vector<Packet> pk = sample_packets(200, 600, 77);
  for (CaptureFormat f : {CAPTURE_FORMAT_QELVO, CAPTURE_FORMAT_PCAP_NS, CAPTURE_FORMAT_PCAPNG}) {
    std::string path = dir.file("seed");
    EXPECT_EQ(write_all(path, f, pk), "");
    seeds.push_back(file_bytes(path));
  }
  for (const auto& s : seeds) EXPECT_GT(s.size(), 24u);
  return seeds;
}

uint32_t interesting(std::mt19937& rng, size_t file_size) {
  static const uint32_t values[] = {0, 1, 3, 11, 12, 16, 28, 4095, 4096, 4097, 65535, 65536, 0x7FFFFFFF, 0xFFFFFFFF,
                                    0xFFFFFFF0, 288, 0x0A0D0D0A, 0x1A2B3C4D, 0x4D3C2B1A};
  if (rng() % 4 == 0) return (uint32_t)file_size + rng() % 64 - 32;
  if (rng() % 3 == 0) return rng();
  return values[rng() % (sizeof values / sizeof values[0])];
}

void mutate(std::vector<uint8_t>& v, std::mt19937& rng) {
  int edits = 1 + rng() % 6;
  for (int e = 0; e < edits && !v.empty(); e++) {
    size_t at = rng() % v.size();
    switch (rng() % 6) {
      case 0: v[at] ^= (uint8_t)(1u << (rng() % 8)); break;
      case 1: v[at] = (uint8_t)rng(); break;
      case 2: {
        uint32_t x = interesting(rng, v.size());
        if (rng() % 2) x = __builtin_bswap32(x);
        for (int i = 0; i < 4 && at + i < v.size(); i++) v[at + i] = (uint8_t)(x >> (8 * i));
        break;
      }
      case 3: v.resize(at); break;
      case 4: v.insert(v.begin() + at, 1 + rng() % 16, (uint8_t)rng()); break;
      default: {
        size_t from = rng() % v.size(), n = std::min<size_t>(1 + rng() % 64, v.size() - from);
        std::vector<uint8_t> chunk(v.begin() + from, v.begin() + from + n);
        v.insert(v.begin() + at, chunk.begin(), chunk.end());
        break;
      }
    }
  }
}

// Tally of outcomes, so a fuzzer that never gets past the headers is noticed.
struct Outcomes {
  int refused = 0, damaged = 0, clean_with_packets = 0;
};

void check_read(const std::string& path, const char* what, int round, Outcomes* seen) {
  ReadResult r = read_all(path);
  seen->refused += r.end == -2;
  seen->damaged += r.end == -1;
  seen->clean_with_packets += r.end == 0 && !r.packets.empty();
  ASSERT_TRUE(r.end == 0 || r.end == -1 || r.end == -2) << what << " round " << round << ": " << r.end;
  if (r.end != 0) {
    ASSERT_NE(r.error.find(path), std::string::npos) << what << " round " << round << ": " << r.error;
    if (r.end == -1) {
      ASSERT_NE(r.error.find("offset"), std::string::npos) << r.error;
    }
  }
  uint32_t cap = r.format == CAPTURE_FORMAT_QELVO ? 4096 : 65535;
  for (const Packet& p : r.packets) ASSERT_LE(p.bytes.size(), cap) << what << " round " << round;
}

}  // namespace

// Mutated real and generated captures, and random 32-bit words (mostly
// small, so that many read as plausible lengths) behind valid file headers or
// a bare magic.
TEST(CaptureFuzz, MutatedAndRandomCapturesNeverCrashTheReader) {
  testenv::TempDir dir;
  std::vector<std::vector<uint8_t>> seeds = seed_files(dir);
  std::vector<std::vector<uint8_t>> heads;
  for (CaptureFormat f : {CAPTURE_FORMAT_QELVO, CAPTURE_FORMAT_PCAP_US, CAPTURE_FORMAT_PCAP_NS, CAPTURE_FORMAT_PCAPNG}) {
    EXPECT_EQ(write_all(dir.file("head"), f, {}), "");
    heads.push_back(file_bytes(dir.file("head")));
  }
  heads.push_back({0x0A, 0x0D, 0x0D, 0x0A});
  heads.push_back({0xA1, 0xB2, 0xC3, 0xD4});
  heads.push_back({});
  std::mt19937 rng(20261206);
  std::string path = dir.file("fuzz.bin");
  Outcomes mutated, random;
  for (int round = 0; round < 2000; round++) {
    std::vector<uint8_t> v;
    if (round % 2 == 0) {
      v = seeds[rng() % seeds.size()];
      // Most damage sits near the front, where headers and first records are.
      if (rng() % 2 && v.size() > 4096) v.resize(256 + rng() % 4096);
      mutate(v, rng);
    } else {
      v = heads[round / 2 % heads.size()];
      size_t words = rng() % 128;
      for (size_t i = 0; i < words; i++) put32(v, rng() % 3 ? rng() % 41 : interesting(rng, words * 4), rng() % 8 == 0);
      if (v.size() >= 24 && v[0] == 'W') {
        // Give the data count a fair chance of matching the records.
        uint64_t count = rng() % 2 ? v.size() - 24 : rng() % (v.size() + 8);
        for (int i = 0; i < 8; i++) v[8 + i] = (uint8_t)(count >> (8 * i));
      }
      v.resize(v.size() - rng() % 4 * (v.size() > 40));
    }
    put_file(path, v);
    check_read(path, round % 2 ? "random" : "mutated", round, round % 2 ? &random : &mutated);
    if (HasFatalFailure()) return;
  }
  EXPECT_GT(mutated.damaged, 60);
  EXPECT_GT(mutated.clean_with_packets, 200);
  EXPECT_GT(mutated.refused, 10);
  EXPECT_GT(random.damaged, 60);
  EXPECT_GT(random.clean_with_packets, 40);
}
