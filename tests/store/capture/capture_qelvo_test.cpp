// The system's own capture files: layout, the data count as the end of the
// data, truncation versus damage, and a writer that keeps its header valid.
#include <gtest/gtest.h>

#include "tests/support/capture_test_util.h"
#include "tests/support/test_env.h"

using namespace capture_test;

namespace {

uint64_t rd64(const std::vector<uint8_t>& v, size_t at) {
  uint64_t x = 0;
  for (int i = 7; i >= 0; i--) x = x << 8 | v[at + i];
  return x;
}

std::vector<uint8_t> qelvo_header(uint64_t count) {
  std::vector<uint8_t> v = {'W', 'R', 'D', 'H'};
  put32(v, 0);
  put64(v, count);
  put64(v, 24 + count);
  return v;
}

void put_record(std::vector<uint8_t>& v, const std::vector<uint8_t>& bytes, uint64_t ts, uint32_t length) {
  put32(v, length);
  put64(v, ts);
  v.insert(v.end(), bytes.begin(), bytes.end());
}

}  // namespace

TEST(CaptureQelvo, ThreePacketsMakeA67ByteFileAndNoneTheBareHeader) {
  testenv::TempDir dir;
  std::vector<Packet> pk = {{{0x2D, 0x00, 0x10}, 100}, {{0xC3, 0x80, 0x06}, 250}, {{0xD2}, 251}};
  std::string path = dir.file("three.qelvo");
  ASSERT_EQ(write_all(path, CAPTURE_FORMAT_QELVO, pk), "");
  std::vector<uint8_t> f = file_bytes(path);
  ASSERT_EQ(f.size(), 67u);
  EXPECT_EQ(std::string(f.begin(), f.begin() + 4), "WRDH");
  EXPECT_EQ(rd64(f, 8), 43u);
  EXPECT_EQ(rd64(f, 16), 67u);
  // First record head: length 3, then the stamp, little-endian.
  EXPECT_EQ(f[24], 3);
  EXPECT_EQ(f[28], 100);
  ReadResult r = read_all(path);
  EXPECT_EQ(r.end, 0) << r.error;
  EXPECT_EQ(r.format, CAPTURE_FORMAT_QELVO);
  EXPECT_TRUE(r.packets == pk);
  // An empty capture is the bare header.
  ASSERT_EQ(write_all(path, CAPTURE_FORMAT_QELVO, {}), "");
  EXPECT_EQ(file_bytes(path), qelvo_header(0));
  r = read_all(path);
  EXPECT_EQ(r.end, 0) << r.error;
  EXPECT_TRUE(r.packets.empty());
}

TEST(CaptureQelvo, OpenDataFileStopsAtTheDataCountNotTheFileEnd) {
  testenv::TempDir dir;
  std::vector<uint8_t> v = qelvo_header(12 + 3 + 12 + 1);
  put_record(v, {0x69, 0x82, 0x18}, 7, 3);
  put_record(v, {0x5A}, 9, 1);
  // The program's open data file: its full mapped size, zeros after the data.
  // Then a stray non-zero byte that must not be taken for a record.
  v.resize(5 * 1024 * 1024, 0);
  v[24 + 28] = 0xFF;
  put_file(dir.file("live.qelvo"), v);
  ReadResult r = read_all(dir.file("live.qelvo"));
  EXPECT_EQ(r.end, 0) << r.error;
  ASSERT_EQ(r.packets.size(), 2u);
  EXPECT_EQ(r.packets[1].bytes, std::vector<uint8_t>{0x5A});
  EXPECT_EQ(r.packets[1].ts, 9u);
}

TEST(CaptureQelvo, ImpossibleLengthsAreDamageWithTheirOffset) {
  testenv::TempDir dir;
  {
    // A record longer than any the program writes, after a good one.
    std::vector<uint8_t> v = qelvo_header(13 + 12 + 4097);
    put_record(v, {0xA5}, 1, 1);
    put_record(v, std::vector<uint8_t>(4097, 0xEE), 2, 4097);
    put_file(dir.file("long.qelvo"), v);
    ReadResult r = read_all(dir.file("long.qelvo"));
    EXPECT_EQ(r.end, -1);
    EXPECT_EQ(r.packets.size(), 1u);
    EXPECT_NE(r.error.find("long.qelvo"), std::string::npos) << r.error;
    EXPECT_NE(r.error.find("offset 37"), std::string::npos) << r.error;
    EXPECT_NE(r.error.find("4097"), std::string::npos) << r.error;
  }
  {
    // A count that ends inside the second record although the file holds it
    // whole (a file cut short is no damage: capture_writer_test.cpp).
    std::vector<uint8_t> v = qelvo_header(13 + 5);
    put_record(v, {0xA5}, 1, 1);
    put_record(v, {1, 2, 3}, 2, 3);
    put_file(dir.file("count.qelvo"), v);
    ReadResult r = read_all(dir.file("count.qelvo"));
    EXPECT_EQ(r.end, -1);
    EXPECT_EQ(r.packets.size(), 1u);
    EXPECT_NE(r.error.find("offset 37"), std::string::npos) << r.error;
    EXPECT_NE(r.error.find("data count"), std::string::npos) << r.error;
    // The error stays reported on later calls.
    char err[256] = "", again[256] = "";
    CaptureReader* rd = capture_reader_open(dir.file("count.qelvo").c_str(), err, sizeof err);
    ASSERT_NE(rd, nullptr) << err;
    CapturePacket p;
    while (capture_reader_next(rd, &p, err, sizeof err) == 1) {
    }
    EXPECT_EQ(capture_reader_next(rd, &p, again, sizeof again), -1);
    EXPECT_STREQ(err, again);
    capture_reader_close(rd);
  }
}

TEST(CaptureQelvo, ForeignAndMissingFilesAreRefusedByName) {
  testenv::TempDir dir;
  std::vector<uint8_t> store = {'W', 'R', 'D', 'H'};  // a row store: version 1 at offset 4
  put32(store, 1);
  put64(store, 0);
  put64(store, 504);
  store.resize(504, 0);
  put_file(dir.file("package.qelvo"), store);
  put_file(dir.file("text.qelvo"), std::vector<uint8_t>{'h', 'e', 'l', 'l', 'o', '\n'});
  put_file(dir.file("empty.qelvo"), {});
  for (const char* name : {"package.qelvo", "text.qelvo", "empty.qelvo", "missing.qelvo"}) {
    ReadResult r = read_all(dir.file(name));
    EXPECT_EQ(r.end, -2) << name;
    EXPECT_NE(r.error.find(name), std::string::npos) << r.error;
  }
  EXPECT_NE(read_all(dir.file("text.qelvo")).error.find("offset 0"), std::string::npos);
}

TEST(CaptureQelvo, WriterRefusesOversizedPacketsAndCarriesOn) {
  testenv::TempDir dir;
  std::string path = dir.file("w.qelvo");
  char err[256] = "";
  CaptureWriter* w = capture_writer_open(path.c_str(), CAPTURE_FORMAT_QELVO, err, sizeof err);
  ASSERT_NE(w, nullptr) << err;
  std::vector<uint8_t> big(4097, 1), max(4096, 2);
  EXPECT_EQ(capture_writer_write(w, big.data(), 4097, 1, err, sizeof err), -1);
  EXPECT_NE(std::string(err).find("4097"), std::string::npos) << err;
  EXPECT_EQ(capture_writer_write(w, max.data(), 4096, 2, err, sizeof err), 0) << err;
  EXPECT_EQ(capture_writer_write(w, nullptr, 0, 3, err, sizeof err), 0) << err;
  EXPECT_EQ(capture_writer_close(w, err, sizeof err), 0) << err;
  ReadResult r = read_all(path);
  EXPECT_EQ(r.end, 0) << r.error;
  ASSERT_EQ(r.packets.size(), 2u);
  EXPECT_EQ(r.packets[0].bytes, max);
  EXPECT_TRUE(r.packets[1].bytes.empty());
  EXPECT_EQ(r.packets[1].ts, 3u);
}

// Read while the writer still holds its last records: what is on disk is a
// valid capture of a prefix of the packets; a flush makes all of them readable.
TEST(CaptureQelvo, WriterThatNeverClosesLeavesAReadableFile) {
  testenv::TempDir dir;
  std::string path = dir.file("live.qelvo");
  char err[256] = "";
  CaptureWriter* w = capture_writer_open(path.c_str(), CAPTURE_FORMAT_QELVO, err, sizeof err);
  ASSERT_NE(w, nullptr) << err;
  std::vector<Packet> pk = sample_packets(40000, 1000, 5);  // several MiB
  for (const Packet& p : pk)
    ASSERT_EQ(capture_writer_write(w, p.bytes.data(), (uint32_t)p.bytes.size(), p.ts, err, sizeof err), 0) << err;
  ReadResult mid = read_all(path);
  EXPECT_EQ(mid.end, 0) << mid.error;
  EXPECT_GT(mid.packets.size(), pk.size() / 2);
  EXPECT_LT(mid.packets.size(), pk.size());
  EXPECT_TRUE(std::equal(mid.packets.begin(), mid.packets.end(), pk.begin()));
  ASSERT_EQ(capture_writer_flush(w, err, sizeof err), 0) << err;
  EXPECT_TRUE(read_all(path).packets == pk);
  ASSERT_EQ(capture_writer_close(w, err, sizeof err), 0) << err;
}
