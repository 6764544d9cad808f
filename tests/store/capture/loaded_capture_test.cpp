// The loaded-packet list and what Open loads and Save writes. Damaged files
// (real and generated captures mutated with fixed seeds) never crash the reader
// nor a load; under AddressSanitizer the reader's buffer is poisoned beyond the
// file data, so any stray read is caught too.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <cerrno>
#include <csignal>
#include <random>

#include "store/capture/loaded_capture.h"
#include "store/capture/loaded_packets.h"
#include "store/store_files.h"
#include "tests/support/capture_test_util.h"
#include "tests/support/test_env.h"

using namespace capture_test;

namespace {

std::vector<Packet> list_packets(LoadedPackets* list) {
  std::vector<Packet> out;
  LoadedReader* r = loaded_reader_open(list);
  const uint8_t* b;
  uint32_t n;
  uint64_t t;
  while (r && loaded_reader_next(r, &b, &n, &t) == 1) out.push_back({std::vector<uint8_t>(b, b + n), t});
  loaded_reader_close(r);
  return out;
}

// What a load gave.
struct Loaded {
  LoadedPackets* list;
  CaptureLoadInfo info{};
  int status = 0;
  std::string err;
  explicit Loaded(const std::string& path, capture_progress_fn progress = nullptr) {
    char text[1024] = "";
    list = capture_load(path.c_str(), progress, nullptr, &info, &status, text, sizeof text);
    err = text;
  }
};

uint32_t interesting(std::mt19937& rng, size_t file_size) {
  static const uint32_t values[] = {0, 1, 3, 11, 12, 16, 28, 4095, 4096, 4097, 65535, 65536, 0x7FFFFFFF, 0xFFFFFFFF,
                                    0xFFFFFFF0, 288, 0x0A0D0D0A, 0x1A2B3C4D, 0x4D3C2B1A};
  if (rng() % 4 == 0) return (uint32_t)file_size + rng() % 64 - 32;
  if (rng() % 3 == 0) return rng();
  return values[rng() % (sizeof values / sizeof values[0])];
}

void mutate(std::vector<uint8_t>& v, std::mt19937& rng) {
  for (int e = 0, edits = 1 + rng() % 6; e < edits && !v.empty(); e++) {
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
  ASSERT_TRUE(r.end == 0 || r.error.find(path) != std::string::npos) << what << " round " << round << ": " << r.error;
  ASSERT_TRUE(r.end != -1 || r.error.find("offset") != std::string::npos) << r.error;
  uint32_t cap = r.format == CAPTURE_FORMAT_QELVO ? 4096 : 65535;
  for (const Packet& p : r.packets) ASSERT_LE(p.bytes.size(), cap) << what << " round " << round;
  if (round % 7) return;
  Loaded l(path);
  if (!l.list) {
    EXPECT_EQ(CAPTURE_IO_FAILED, l.status);
    EXPECT_EQ(0u, l.err.rfind(path, 0)) << l.err;
    return;
  }
  std::vector<Packet> got = list_packets(l.list);
  loaded_list_destroy(l.list);
  ASSERT_EQ(r.packets.size(), got.size()) << what << " round " << round;
  for (size_t k = 0; k < got.size(); k++) EXPECT_EQ(r.packets[k].bytes, got[k].bytes);
}

}  // namespace

// Longer than the 1 MiB buffers in total, one packet longer than a window,
// read in order by a reader and by index in any order; the same whether the
// records sit in a scratch file or (no data directory) on the heap. Then
// what Open loads and Save writes.
TEST(LoadedPackets, KeepEveryPacketInOrderAndLoadAndSaveEachFormat) {
  testenv::TempDir dir;
  std::vector<Packet> pk = sample_packets(6000, 600, 3);
  pk.insert(pk.begin() + 2500, Packet{std::vector<uint8_t>(3 << 20, 0x5A), 77});
  uint64_t bytes = 0;
  for (const Packet& p : pk) bytes += 12 + p.bytes.size();
  for (std::string data : {dir.path(), dir.file("missing")}) {
    SCOPED_TRACE(data);
    store_set_data_dir(data.c_str());
    for (const Packet& p : pk) ASSERT_EQ(0, loaded_packets_append(p.bytes.data(), (uint32_t)p.bytes.size(), p.ts));
    ASSERT_EQ(pk.size(), loaded_packets_count());
    EXPECT_EQ(bytes, loaded_list_bytes(loaded_packets_current()));
    EXPECT_TRUE(list_packets(loaded_packets_current()) == pk);
    uint8_t buf[4200];
    uint32_t n;
    uint64_t t;
    for (size_t i : {0, 1, 2, 5999, 1023, 1024, 2500, 2501, 17, 6000}) {
      int64_t got = loaded_packets_copy(i, buf, sizeof buf, &n, &t);
      ASSERT_EQ(std::min<size_t>(pk[i].bytes.size(), sizeof buf), (size_t)got) << i;
      EXPECT_EQ(pk[i].bytes.size(), n);
      EXPECT_EQ(pk[i].ts, t);
      EXPECT_TRUE(std::equal(buf, buf + got, pk[i].bytes.begin())) << i;
    }
    EXPECT_EQ(-1, loaded_packets_copy(pk.size(), buf, sizeof buf, &n, &t));
    loaded_packets_clear();
    EXPECT_EQ(0u, loaded_packets_count());
    EXPECT_EQ(-1, loaded_packets_copy(0, buf, sizeof buf, &n, &t));
  }

  // With a data directory the records go to the scratch file, not the
  // heap: a file that may not grow stops the appends with the system's error.
  store_set_data_dir(dir.path().c_str());
  signal(SIGXFSZ, SIG_IGN);
  rlimit old;
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);
  rlimit limit = {1 << 20, old.rlim_max};
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limit), 0);
  int appended = 0;
  for (size_t i = 0; i < pk.size() && appended == 0; i++)
    appended = loaded_packets_append(pk[i].bytes.data(), (uint32_t)pk[i].bytes.size(), pk[i].ts);
  setrlimit(RLIMIT_FSIZE, &old);
  EXPECT_EQ(-1, appended);
  EXPECT_EQ(EFBIG, loaded_list_error(loaded_packets_current()));
  loaded_packets_clear();

  // Each format loaded, and written out again.
  pk = sample_packets(9000, 600, 5);
  char err[512];
  for (Packet& p : pk) p.ts += 1700000000000000000ull;  // a wall clock
  for (CaptureFormat f : {CAPTURE_FORMAT_QELVO, CAPTURE_FORMAT_PCAP_NS, CAPTURE_FORMAT_PCAPNG}) {
    SCOPED_TRACE(capture_format_name(f));
    std::string path = dir.file("in");
    ASSERT_EQ("", write_all(path, f, pk));
    Loaded l(path);
    ASSERT_TRUE(l.list) << l.err;
    EXPECT_EQ(f, l.info.format);
    EXPECT_EQ(pk.size(), l.info.packets);
    EXPECT_EQ(loaded_list_bytes(l.list), l.info.dataCount);
    EXPECT_FALSE(l.info.endedEarly);
    // The system's own files keep their stamps; pcap and pcapng count from the first packet.
    std::vector<Packet> want = pk;
    if (f != CAPTURE_FORMAT_QELVO)
      for (Packet& p : want) p.ts -= pk[0].ts;
    EXPECT_TRUE(list_packets(l.list) == want);
    for (CaptureFormat out : {CAPTURE_FORMAT_QELVO, CAPTURE_FORMAT_PCAPNG}) {
      ASSERT_EQ(CAPTURE_IO_OK, capture_save_list(l.list, dir.file("out").c_str(), out, nullptr, nullptr, err, sizeof err)) << err;
      EXPECT_TRUE(read_all(dir.file("out")).packets == want);
    }
    loaded_list_destroy(l.list);
  }

  // A "*.qelvo" file cut inside a record: its whole records, and the count its header declares.
  std::string qelvo = dir.file("cut.qelvo");
  ASSERT_EQ("", write_all(qelvo, CAPTURE_FORMAT_QELVO, pk));
  std::vector<uint8_t> whole = file_bytes(qelvo);
  put_file(qelvo, std::vector<uint8_t>(whole.begin(), whole.end() - 5));
  Loaded cut(qelvo);
  ASSERT_TRUE(cut.list) << cut.err;
  EXPECT_EQ(pk.size() - 1, cut.info.packets);
  EXPECT_EQ(whole.size() - 24, cut.info.dataCount);
  EXPECT_TRUE(cut.info.endedEarly);

  // Cancelled by the progress hook: nothing loaded, nothing written.
  auto cancel = [](void*, uint64_t, uint64_t) { return 1; };
  Loaded none(qelvo, cancel);
  EXPECT_EQ(nullptr, none.list);
  EXPECT_EQ(CAPTURE_IO_CANCELLED, none.status);
  std::string out = dir.file("cancelled.pcapng");
  EXPECT_EQ(CAPTURE_IO_CANCELLED, capture_save_list(cut.list, out.c_str(), CAPTURE_FORMAT_PCAPNG, cancel, nullptr, err, sizeof err));
  EXPECT_EQ(CAPTURE_IO_CANCELLED, capture_convert(qelvo.c_str(), out.c_str(), CAPTURE_FORMAT_PCAPNG, cancel, nullptr, err, sizeof err));
  EXPECT_TRUE(file_bytes(out).empty());
  // A packet "*.qelvo" cannot hold fails the save and leaves no file.
  std::vector<uint8_t> big(5000, 0xC3);
  ASSERT_EQ(0, loaded_list_add(cut.list, big.data(), (uint32_t)big.size(), 1));
  EXPECT_EQ(-1, loaded_list_add(nullptr, big.data(), 1, 1));
  EXPECT_EQ(-1, loaded_list_add(cut.list, nullptr, 1, 1));
  EXPECT_EQ(CAPTURE_IO_FAILED, capture_save_list(cut.list, out.c_str(), CAPTURE_FORMAT_QELVO, nullptr, nullptr, err, sizeof err));
  EXPECT_NE(nullptr, strstr(err, "exceeds"));
  EXPECT_TRUE(file_bytes(out).empty());
  loaded_list_destroy(cut.list);

  // Converting the capture data file: never onto itself.
  ASSERT_EQ(CAPTURE_IO_OK, capture_convert(qelvo.c_str(), out.c_str(), CAPTURE_FORMAT_PCAPNG, nullptr, nullptr, err, sizeof err)) << err;
  EXPECT_TRUE(read_all(out).packets == read_all(qelvo).packets);
  EXPECT_EQ(CAPTURE_IO_FAILED, capture_convert(qelvo.c_str(), qelvo.c_str(), CAPTURE_FORMAT_PCAPNG, nullptr, nullptr, err, sizeof err));
  EXPECT_EQ(whole.size() - 5, file_bytes(qelvo).size());
}

// Mutated real and generated captures, and random 32-bit words (mostly
// small, so that many read as plausible lengths) behind valid file headers or
// a bare magic.
TEST(CaptureFuzz, MutatedAndRandomCapturesNeverCrashTheReaderOrALoad) {
  testenv::TempDir dir;
  store_set_data_dir(dir.path().c_str());
  std::vector<std::vector<uint8_t>> seeds, heads;
  for (const char* name : {"mouse.pcap", "double-setup.pcap", "bad-crcs.pcap", "ls-keepalive-divided-transaction.pcapng"})
    seeds.push_back(file_bytes(testenv::shared_captures_dir() + "/" + name));
  std::vector<Packet> pk = sample_packets(200, 600, 77);
  for (CaptureFormat f : {CAPTURE_FORMAT_QELVO, CAPTURE_FORMAT_PCAP_US, CAPTURE_FORMAT_PCAP_NS, CAPTURE_FORMAT_PCAPNG}) {
    EXPECT_EQ(write_all(dir.file("head"), f, {}), "");
    heads.push_back(file_bytes(dir.file("head")));
    if (f == CAPTURE_FORMAT_PCAP_US) continue;
    EXPECT_EQ(write_all(dir.file("seed"), f, pk), "");
    seeds.push_back(file_bytes(dir.file("seed")));
  }
  for (const auto& s : seeds) EXPECT_GT(s.size(), 24u);
  heads.insert(heads.end(), {{0x0A, 0x0D, 0x0D, 0x0A}, {0xA1, 0xB2, 0xC3, 0xD4}, {}});
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
