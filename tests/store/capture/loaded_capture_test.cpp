// The loaded-packet list and capture files into and out of it: what Open
// loads and Save writes, before any view is involved.
#include <gtest/gtest.h>

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

struct Loaded {
  LoadedPackets* list = nullptr;
  CaptureLoadInfo info{};
  int status = 0;
  std::string err;
};

Loaded load(const std::string& path, capture_progress_fn progress = nullptr, void* user = nullptr) {
  Loaded l;
  char err[1024] = "";
  l.list = capture_load(path.c_str(), progress, user, &l.info, &l.status, err, sizeof err);
  l.err = err;
  return l;
}

}  // namespace

// Longer than the 1 MiB buffers in total, one packet longer than a window,
// read in order by a reader and by index in any order; the same whether the
// records sit in a scratch file or (no data directory) on the heap.
TEST(LoadedPackets, KeepEveryPacketInOrderInAScratchFileOrOnTheHeap) {
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
}

TEST(CaptureLoad, ReadsEachFormatAndWritesItOutAgain) {
  testenv::TempDir dir;
  store_set_data_dir(dir.path().c_str());
  std::vector<Packet> pk = sample_packets(9000, 600, 5);
  const uint64_t wallClock = 1700000000000000000ull;
  for (Packet& p : pk) p.ts += wallClock;
  for (CaptureFormat f : {CAPTURE_FORMAT_QELVO, CAPTURE_FORMAT_PCAP_NS, CAPTURE_FORMAT_PCAPNG}) {
    SCOPED_TRACE(capture_format_name(f));
    std::string path = dir.file("in");
    ASSERT_EQ("", write_all(path, f, pk));
    Loaded l = load(path);
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
      char err[512];
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
  Loaded cut = load(qelvo);
  ASSERT_TRUE(cut.list) << cut.err;
  EXPECT_EQ(pk.size() - 1, cut.info.packets);
  EXPECT_EQ(whole.size() - 24, cut.info.dataCount);
  EXPECT_TRUE(cut.info.endedEarly);

  // Cancelled by the progress hook: nothing loaded, nothing written.
  auto cancel = [](void*, uint64_t, uint64_t) { return 1; };
  Loaded none = load(qelvo, cancel);
  EXPECT_EQ(nullptr, none.list);
  EXPECT_EQ(CAPTURE_IO_CANCELLED, none.status);
  char err[512];
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

// Damaged files never crash a load: a load either fails with a message
// naming the file, or holds exactly what the reader hands out.
TEST(CaptureLoad, MutatedFilesLoadWhatTheReaderReadsOrFailNamingTheFile) {
  testenv::TempDir dir;
  store_set_data_dir(dir.path().c_str());
  std::mt19937 rng(2024);
  std::vector<std::vector<uint8_t>> seeds = {file_bytes(testenv::shared_captures_dir() + "/mouse.pcap")};
  std::vector<Packet> pk = sample_packets(100, 300, 9);
  for (CaptureFormat f : {CAPTURE_FORMAT_QELVO, CAPTURE_FORMAT_PCAPNG}) {
    ASSERT_EQ("", write_all(dir.file("seed"), f, pk));
    seeds.push_back(file_bytes(dir.file("seed")));
  }
  std::string path = dir.file("fuzz");
  for (int i = 0; i < 300; i++) {
    std::vector<uint8_t> v = seeds[i % seeds.size()];
    for (int e = 1 + rng() % 4; e > 0 && !v.empty(); e--) {
      size_t at = rng() % v.size();
      if (rng() % 3 == 0) v.resize(at);
      else v[at] = (uint8_t)rng();
    }
    put_file(path, v);
    Loaded l = load(path);
    ReadResult r = read_all(path);
    if (!l.list) {
      EXPECT_EQ(CAPTURE_IO_FAILED, l.status);
      EXPECT_EQ(0u, l.err.rfind(path, 0)) << l.err;
      continue;
    }
    std::vector<Packet> got = list_packets(l.list);
    ASSERT_EQ(r.packets.size(), got.size()) << i;
    for (size_t k = 0; k < got.size(); k++) EXPECT_EQ(r.packets[k].bytes, got[k].bytes);
    loaded_list_destroy(l.list);
  }
}
