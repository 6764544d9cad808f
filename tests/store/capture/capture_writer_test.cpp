// The writer across formats: failures are never reported as success, and the
// format names and file extensions map as documented.
#include <gtest/gtest.h>

#include <algorithm>

#include "tests/support/capture_test_util.h"
#include "tests/support/test_env.h"

using namespace capture_test;

TEST(CaptureWriter, FullDiskIsAFailureInEveryFormat) {
  FILE* probe = fopen("/dev/full", "wb");
  if (!probe) GTEST_SKIP() << "no /dev/full here";
  fclose(probe);
  std::vector<Packet> pk = sample_packets(100000, 200, 3);
  for (CaptureFormat f : {CAPTURE_FORMAT_QELVO, CAPTURE_FORMAT_PCAP_US, CAPTURE_FORMAT_PCAP_NS, CAPTURE_FORMAT_PCAPNG}) {
    SCOPED_TRACE(capture_format_name(f));
    char err[256] = "";
    CaptureWriter* w = capture_writer_open("/dev/full", f, err, sizeof err);
    if (!w) {
      // The header write itself failed: also a clear refusal.
      EXPECT_NE(std::string(err).find("/dev/full"), std::string::npos) << err;
      continue;
    }
    int failed_writes = 0;
    for (const Packet& p : pk)
      failed_writes += capture_writer_write(w, p.bytes.data(), (uint32_t)p.bytes.size(), p.ts, err, sizeof err) != 0;
    err[0] = 0;
    EXPECT_EQ(capture_writer_close(w, err, sizeof err), -1);
    EXPECT_NE(std::string(err).find("/dev/full"), std::string::npos) << err;
    EXPECT_GT(failed_writes, 0);
  }
  // A handful of packets that fit in the buffer: only close can find out.
  char err[256] = "";
  CaptureWriter* w = capture_writer_open("/dev/full", CAPTURE_FORMAT_PCAP_NS, err, sizeof err);
  if (w) {
    EXPECT_EQ(capture_writer_write(w, pk[0].bytes.data(), (uint32_t)pk[0].bytes.size(), 1, err, sizeof err), 0);
    EXPECT_EQ(capture_writer_close(w, err, sizeof err), -1);
  }
}

TEST(CaptureWriter, RefusesWhatItCannotCreate) {
  testenv::TempDir dir;
  char err[256] = "";
  std::string path = dir.file("no/such/dir/x.pcap");
  EXPECT_EQ(capture_writer_open(path.c_str(), CAPTURE_FORMAT_PCAP_NS, err, sizeof err), nullptr);
  EXPECT_NE(std::string(err).find(path), std::string::npos) << err;
  EXPECT_EQ(capture_writer_open(dir.file("x").c_str(), (CaptureFormat)7, err, sizeof err), nullptr);
  EXPECT_NE(std::string(err).find("format"), std::string::npos) << err;
}

TEST(CaptureWriter, FormatNamesAndExtensions) {
  const std::pair<const char*, int> paths[] = {  // a path and its format, -1: none
      {"a/b.qelvo", CAPTURE_FORMAT_QELVO}, {"C:\\caps\\x.PCAP", CAPTURE_FORMAT_PCAP_NS},
      {"x.pcapng", CAPTURE_FORMAT_PCAPNG}, {"x.PcApNg", CAPTURE_FORMAT_PCAPNG},
      {"x.txt", -1}, {"dir.pcap/file", -1}, {"noext", -1}, {"dir.pcap\\file", -1},
      {"x.pcap-ns", -1},  // a format name, not an extension
      {"x.pca", -1}};
  for (const auto& [path, format] : paths) {
    CaptureFormat f = (CaptureFormat)-1;
    EXPECT_EQ(capture_format_from_path(path, &f), format < 0 ? -1 : 0) << path;
    if (format >= 0) {
      EXPECT_EQ(f, format) << path;
    }
  }
  CaptureFormat f;
  for (CaptureFormat g : {CAPTURE_FORMAT_QELVO, CAPTURE_FORMAT_PCAP_US, CAPTURE_FORMAT_PCAP_NS, CAPTURE_FORMAT_PCAPNG}) {
    ASSERT_EQ(capture_format_from_name(capture_format_name(g), &f), 0);
    EXPECT_EQ(f, g);
  }
  EXPECT_EQ(capture_format_from_name("pcapx", &f), -1);
}

TEST(CaptureWriter, FileCutAnywhereGivesItsWholeRecordsAndEndsCleanly) {
  testenv::TempDir dir;
  struct Case {
    CaptureFormat format;
    size_t header, overhead;  // file header and record head bytes (pcapng: 0, records vary)
    size_t refused_cut;       // a cut inside the header that is no capture at all (0: none)
  } cases[] = {
      {CAPTURE_FORMAT_PCAP_US, 24, 16, 23}, {CAPTURE_FORMAT_QELVO, 24, 12, 20}, {CAPTURE_FORMAT_PCAPNG, 12, 0, 0}};
  std::vector<Packet> pk = sample_packets(25, 200, 11);
  std::string full = dir.file("full"), cut_file = dir.file("cut");
  for (const Case& c : cases) {
    SCOPED_TRACE(capture_format_name(c.format));
    ASSERT_EQ(write_all(full, c.format, pk), "");
    std::vector<uint8_t> f = file_bytes(full);
    std::vector<Packet> all = read_all(full).packets;  // microsecond files hold rounded stamps
    ASSERT_EQ(all.size(), pk.size());
    size_t prev = 0;
    for (size_t cut = c.header; cut <= f.size(); cut++) {
      put_file(cut_file, std::vector<uint8_t>(f.begin(), f.begin() + cut));
      ReadResult r = read_all(cut_file);
      ASSERT_EQ(r.end, 0) << "cut at " << cut << ": " << r.error;
      ASSERT_TRUE(std::equal(r.packets.begin(), r.packets.end(), all.begin())) << "cut at " << cut;
      ASSERT_GE(r.packets.size(), prev) << "cut at " << cut;
      prev = r.packets.size();
      size_t whole = 0;  // records that end before the cut
      for (size_t end = c.header + c.overhead; whole < pk.size() && end + pk[whole].bytes.size() <= cut; whole++)
        end += pk[whole].bytes.size() + c.overhead;
      if (c.overhead) {
        ASSERT_EQ(r.packets.size(), whole) << "cut at " << cut;
      }
    }
    EXPECT_EQ(prev, pk.size());
    if (c.refused_cut) {
      put_file(cut_file, std::vector<uint8_t>(f.begin(), f.begin() + c.refused_cut));
      ReadResult r = read_all(cut_file);
      EXPECT_EQ(r.end, -2);
      EXPECT_NE(r.error.find(cut_file), std::string::npos) << r.error;
    }
  }
}
