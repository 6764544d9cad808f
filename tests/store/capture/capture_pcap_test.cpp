// Classic pcap: both time stamp variants and byte orders, the link type,
// snapshot lengths, truncation and the time stamp limits of writing.
#include <gtest/gtest.h>

#include "tests/support/capture_test_util.h"
#include "tests/support/test_env.h"

using namespace capture_test;

namespace {

std::vector<uint8_t> pcap_header(uint32_t magic, bool big, uint32_t snap = 65535, uint32_t link = 288) {
  std::vector<uint8_t> v;
  put32(v, magic, big);
  put16(v, 2, big);
  put16(v, 4, big);
  put32(v, 0, big);
  put32(v, 0, big);
  put32(v, snap, big);
  put32(v, link, big);
  return v;
}

void put_pcap_record(std::vector<uint8_t>& v, bool big, uint32_t sec, uint32_t frac,
                     const std::vector<uint8_t>& bytes, uint32_t caplen) {
  put32(v, sec, big);
  put32(v, frac, big);
  put32(v, caplen, big);
  put32(v, caplen, big);
  v.insert(v.end(), bytes.begin(), bytes.end());
}

}  // namespace

// Both byte orders and resolutions; the USB 2.0 link types of every speed
// are read, others refused.
TEST(CapturePcap, ByteOrdersResolutionsAndLinkTypes) {
  testenv::TempDir dir;
  struct Case {
    uint32_t magic;
    bool big;
    uint32_t link;
    CaptureFormat format;
    uint64_t scale;  // of the fraction field, 0: refused
  } cases[] = {{0xA1B2C3D4, false, 288, CAPTURE_FORMAT_PCAP_US, 1000}, {0xA1B2C3D4, true, 293, CAPTURE_FORMAT_PCAP_US, 1000},
               {0xA1B23C4D, false, 294, CAPTURE_FORMAT_PCAP_NS, 1},    {0xA1B23C4D, true, 295, CAPTURE_FORMAT_PCAP_NS, 1},
               {0xA1B2C3D4, false, 1, CAPTURE_FORMAT_PCAP_US, 0},      {0xA1B2C3D4, false, 189, CAPTURE_FORMAT_PCAP_US, 0},
               {0xA1B2C3D4, true, 296, CAPTURE_FORMAT_PCAP_US, 0}};
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.link) + (c.big ? " big-endian" : " little-endian"));
    std::vector<uint8_t> v = pcap_header(c.magic, c.big, 65535, c.link);
    put_pcap_record(v, c.big, 1648585920, 917463, {0xE1, 0x00, 0x10}, 3);
    put_pcap_record(v, c.big, 1648585921, 5, {0xD2}, 1);
    put_file(dir.file("x.pcap"), v);
    ReadResult r = read_all(dir.file("x.pcap"));
    if (!c.scale) {
      EXPECT_EQ(r.end, -2);
      EXPECT_NE(r.error.find("x.pcap"), std::string::npos) << r.error;
      EXPECT_NE(r.error.find("not a USB 2.0 capture"), std::string::npos) << r.error;
      continue;
    }
    ASSERT_EQ(r.end, 0) << r.error;
    EXPECT_EQ(r.format, c.format);
    ASSERT_EQ(r.packets.size(), 2u);
    EXPECT_EQ(r.packets[0].ts, 1648585920ull * 1000000000ull + 917463 * c.scale);
    EXPECT_EQ(r.packets[0].bytes, (std::vector<uint8_t>{0xE1, 0x00, 0x10}));
    EXPECT_EQ(r.packets[1].ts, 1648585921ull * 1000000000ull + 5 * c.scale);
  }
}

// Counted from the first packet, a stamp going back reads as the start (the
// system's own files keep their stamps: loaded_capture_test.cpp).
TEST(CapturePcap, TimesCountFromTheFirstPacketWhenAsked) {
  testenv::TempDir dir;
  std::vector<uint8_t> v = pcap_header(0xA1B23C4D, false);
  for (uint32_t ns : {500u, 700u, 400u, 900u}) put_pcap_record(v, false, 1700000000, ns, {0xD2}, 1);
  put_file(dir.file("x.pcap"), v);
  std::vector<uint64_t> got;
  for (const Packet& p : read_all(dir.file("x.pcap"), CAPTURE_TIME_FROM_FIRST).packets) got.push_back(p.ts);
  EXPECT_EQ(got, (std::vector<uint64_t>{0, 200, 0, 400}));
}

// A message keeps its reason whole: a path too long for it is cut instead.
TEST(CapturePcap, LongPathIsCutInMessagesNotTheReason) {
  std::string path = "/nonexistent";
  for (char c : {'d', 'e', 'f'}) path += "/" + std::string(100, c);
  path += "/capture-file.pcap";
  char err[128];
  EXPECT_EQ(capture_reader_open(path.c_str(), err, sizeof err), nullptr);
  std::string text = err;
  EXPECT_LT(text.size(), sizeof err);
  EXPECT_EQ(text.rfind("..."), 0u) << text;
  EXPECT_NE(text.find("/capture-file.pcap: cannot open: No such file or directory"), std::string::npos) << text;
}

TEST(CapturePcap, CapturedLengthBeyondTheSnapshotLengthIsDamage) {
  testenv::TempDir dir;
  std::vector<uint8_t> v = pcap_header(0xA1B2C3D4, false, 64);
  put_pcap_record(v, false, 0, 0, std::vector<uint8_t>(64, 7), 64);
  put_pcap_record(v, false, 0, 1, std::vector<uint8_t>(65, 7), 65);
  put_file(dir.file("snap.pcap"), v);
  ReadResult r = read_all(dir.file("snap.pcap"));
  EXPECT_EQ(r.end, -1);
  EXPECT_EQ(r.packets.size(), 1u);
  EXPECT_NE(r.error.find("offset 104"), std::string::npos) << r.error;

  // No snapshot length given: the 65,535-byte cap still holds.
  v = pcap_header(0xA1B2C3D4, false, 0);
  put_pcap_record(v, false, 0, 0, {}, 0x7FFFFFFF);
  put_file(dir.file("huge.pcap"), v);
  r = read_all(dir.file("huge.pcap"));
  EXPECT_EQ(r.end, -1);
  EXPECT_NE(r.error.find("offset 24"), std::string::npos) << r.error;
}

TEST(CapturePcap, PacketsLargerThanTheRecordLimitAreReturnedAsTheyAre) {
  testenv::TempDir dir;
  std::vector<Packet> pk = {{std::vector<uint8_t>(65535, 0x3C), 5}, {std::vector<uint8_t>(5000, 0x4B), 6}};
  std::vector<Packet> too_big = {{std::vector<uint8_t>(65536, 1), 5}};
  for (CaptureFormat f : {CAPTURE_FORMAT_PCAP_NS, CAPTURE_FORMAT_PCAPNG}) {
    ASSERT_EQ(write_all(dir.file("big"), f, pk), "");
    ReadResult r = read_all(dir.file("big"));
    EXPECT_EQ(r.end, 0) << r.error;
    EXPECT_TRUE(r.packets == pk);
    // The writer refuses what no reader would take back.
    EXPECT_NE(write_all(dir.file("big"), f, too_big).find("65536"), std::string::npos);
  }
}

TEST(CapturePcap, MicrosecondFilesTruncateNanosecondsAndHugeStampsAreRefused) {
  testenv::TempDir dir;
  std::vector<Packet> pk = {{{0xA5}, 1999}, {{0xA5}, 4294967295ull * 1000000000ull + 999999999ull}};
  ASSERT_EQ(write_all(dir.file("us.pcap"), CAPTURE_FORMAT_PCAP_US, pk), "");
  ReadResult r = read_all(dir.file("us.pcap"));
  ASSERT_EQ(r.packets.size(), 2u);
  EXPECT_EQ(r.packets[0].ts, 1000u);
  EXPECT_EQ(r.packets[1].ts, 4294967295ull * 1000000000ull + 999999000ull);
  // Past the 32-bit seconds field: refused rather than wrapped into the past.
  std::string e = write_all(dir.file("ns.pcap"), CAPTURE_FORMAT_PCAP_NS, {{{0xA5}, 4294967296ull * 1000000000ull}});
  EXPECT_NE(e.find("time stamp"), std::string::npos) << e;
  // pcapng keeps every 64-bit stamp.
  std::vector<Packet> any = {{{0xA5}, UINT64_MAX}};
  ASSERT_EQ(write_all(dir.file("x.pcapng"), CAPTURE_FORMAT_PCAPNG, any), "");
  EXPECT_TRUE(read_all(dir.file("x.pcapng")).packets == any);
}
