// Classic pcap and the system's own capture files, read and written; the real
// captures recorded by others against counts taken with a separate tool; the
// writer across formats never reports a failure as success.
#include <gtest/gtest.h>

#include <sys/resource.h>

#include <algorithm>
#include <csignal>
#include <cstring>

#include "tests/support/capture_test_util.h"
#include "tests/support/test_env.h"

using namespace capture_test;

namespace {

std::vector<uint8_t> pcap_header(uint32_t magic, bool big, uint32_t snap = 65535, uint32_t link = 288) {
  std::vector<uint8_t> v;
  // Version 2.4 (two 16-bit fields), no time zone, no accuracy.
  for (uint32_t x : {magic, big ? 0x20004u : 0x40002u, 0u, 0u, snap, link}) put32(v, x, big);
  return v;
}

void put_pcap_record(std::vector<uint8_t>& v, bool big, uint32_t sec, uint32_t frac,
                     const std::vector<uint8_t>& bytes, uint32_t caplen) {
  for (uint32_t x : {sec, frac, caplen, caplen}) put32(v, x, big);
  v.insert(v.end(), bytes.begin(), bytes.end());
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

struct Expected {
  const char* name;
  size_t packets;
  uint64_t bytes;     // sum of all packet lengths
  uint64_t first_ns;  // time stamp of the first packet
  uint64_t last_ns;   // time stamp of the last packet
};

// Counted with a separate pcap tool (packet count, data size, first and last
// packet time). The pcapng file also holds 1,790 custom blocks and one
// statistics block, which are not packets.
const Expected kCaptures[] = {
    {"bad-crcs.pcap", 6, 16, 14814197083ull, 14814287016ull},
    {"bad-descriptor-length.pcap", 98, 465, 1667907927921774000ull, 1667907927921950000ull},
    {"double-setup.pcap", 4, 9, 721420288ull, 2034998512ull},
    {"hackrf-connect.pcap", 909, 2976, 1648410165736740000ull, 1648410165737030000ull},
    {"iso-unambiguous.pcap", 1150, 7599, 4804829966ull, 10605908516ull},
    {"mouse.pcap", 2182, 5950, 1648585920917463000ull, 1648585920918123000ull},
    {"split-enum.pcap", 1924, 5844, 1667907927915672000ull, 1667907927916299000ull},
    {"ls-keepalive-divided-transaction.pcapng", 153, 651, 280365800ull, 2039150433ull},
};

}  // namespace

// Both byte orders and resolutions; the USB 2.0 link types of every speed
// are read, others refused.
TEST(CapturePcap, ByteOrdersLinkTypesAndTheLimitsOfLengthsAndTimeStamps) {
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
      EXPECT_NE(r.error.find("x.pcap: not a USB 2.0 capture"), std::string::npos) << r.error;
      continue;
    }
    ASSERT_EQ(r.end, 0) << r.error;
    EXPECT_EQ(r.format, c.format);
    EXPECT_EQ(r.packets, (std::vector<Packet>{{{0xE1, 0x00, 0x10}, 1648585920ull * 1000000000ull + 917463 * c.scale},
                                              {{0xD2}, 1648585921ull * 1000000000ull + 5 * c.scale}}));
  }
  // Counted from the first packet, a stamp going back reads as the start (the
  // system's own files keep their stamps: loaded_capture_test.cpp).
  std::vector<uint8_t> v = pcap_header(0xA1B23C4D, false);
  for (uint32_t ns : {500u, 700u, 400u, 900u}) put_pcap_record(v, false, 1700000000, ns, {0xD2}, 1);
  put_file(dir.file("x.pcap"), v);
  EXPECT_EQ(read_all(dir.file("x.pcap"), CAPTURE_TIME_FROM_FIRST).packets,
            (std::vector<Packet>{{{0xD2}, 0}, {{0xD2}, 200}, {{0xD2}, 0}, {{0xD2}, 400}}));
  // A message keeps its reason whole: a path too long for it is cut instead.
  std::string path = "/nonexistent/" + std::string(150, 'd') + "/" + std::string(150, 'e') + "/capture-file.pcap";
  char err[128];
  EXPECT_EQ(capture_reader_open(path.c_str(), err, sizeof err), nullptr);
  std::string text = err;
  EXPECT_EQ(text.rfind("..."), 0u) << text;
  EXPECT_NE(text.find("/capture-file.pcap: cannot open: No such file or directory"), std::string::npos) << text;
  // Lengths: beyond the snapshot length (or the 65,535-byte cap when none is
  // given) is damage; up to 65,535 bytes is written and read back as it is.
  // Stamps: microsecond files truncate, past 32-bit seconds is refused.
  ReadResult r;
  for (uint32_t snap : {64u, 0u}) {
    v = pcap_header(0xA1B2C3D4, false, snap);
    put_pcap_record(v, false, 0, 0, std::vector<uint8_t>(64, 7), 64);
    uint32_t over = snap ? snap + 1 : 65536;
    put_pcap_record(v, false, 0, 1, std::vector<uint8_t>(over, 7), over);
    put_file(dir.file("snap.pcap"), v);
    r = read_all(dir.file("snap.pcap"));
    EXPECT_EQ(r.end, -1) << snap;
    EXPECT_EQ(r.packets.size(), 1u) << snap;
    EXPECT_NE(r.error.find("offset 104"), std::string::npos) << r.error;
  }

  std::vector<Packet> pk = {{std::vector<uint8_t>(65535, 0x3C), 5}, {std::vector<uint8_t>(5000, 0x4B), 6}};
  for (CaptureFormat f : {CAPTURE_FORMAT_PCAP_NS, CAPTURE_FORMAT_PCAPNG}) {
    ASSERT_EQ(write_all(dir.file("big"), f, pk), "");
    r = read_all(dir.file("big"));
    EXPECT_EQ(r.end, 0) << r.error;
    EXPECT_TRUE(r.packets == pk);
    // The writer refuses what no reader would take back.
    EXPECT_NE(write_all(dir.file("big"), f, {{std::vector<uint8_t>(65536, 1), 5}}).find("65536"), std::string::npos);
  }

  pk = {{{0xA5}, 1999}, {{0xA5}, 4294967295ull * 1000000000ull + 999999999ull}};
  ASSERT_EQ(write_all(dir.file("us.pcap"), CAPTURE_FORMAT_PCAP_US, pk), "");
  EXPECT_EQ(read_all(dir.file("us.pcap")).packets,
            (std::vector<Packet>{{{0xA5}, 1000}, {{0xA5}, 4294967295ull * 1000000000ull + 999999000ull}}));
  std::string e = write_all(dir.file("ns.pcap"), CAPTURE_FORMAT_PCAP_NS, {{{0xA5}, 4294967296ull * 1000000000ull}});
  EXPECT_NE(e.find("time stamp"), std::string::npos) << e;
  // pcapng keeps every 64-bit stamp.
  pk = {{{0xA5}, UINT64_MAX}};
  ASSERT_EQ(write_all(dir.file("x.pcapng"), CAPTURE_FORMAT_PCAPNG, pk), "");
  EXPECT_TRUE(read_all(dir.file("x.pcapng")).packets == pk);
}

// Three packets make a 67-byte file (records of length, stamp and bytes,
// little-endian); none make the bare header. Reading stops at the data count;
// impossible lengths are damage, foreign files are refused; the writer.
TEST(CaptureQelvo, FileLayoutDataCountAsTheEndDamageForeignFilesAndTheWriter) {
  testenv::TempDir dir;
  std::vector<Packet> pk = {{{0x2D, 0x00, 0x10}, 100}, {{0xC3, 0x80, 0x06}, 250}, {{0xD2}, 251}};
  std::vector<uint8_t> want = qelvo_header(43);
  for (const Packet& p : pk) put_record(want, p.bytes, p.ts, (uint32_t)p.bytes.size());
  std::string path = dir.file("three.qelvo");
  for (size_t n : {3, 0}) {
    pk.resize(n);
    ASSERT_EQ(write_all(path, CAPTURE_FORMAT_QELVO, pk), "");
    EXPECT_EQ(file_bytes(path), n ? want : qelvo_header(0));
    ReadResult r = read_all(path);
    EXPECT_EQ(r.end, 0) << r.error;
    EXPECT_EQ(r.format, CAPTURE_FORMAT_QELVO);
    EXPECT_TRUE(r.packets == pk);
  }
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
  EXPECT_EQ(r.packets, (std::vector<Packet>{{{0x69, 0x82, 0x18}, 7}, {{0x5A}, 9}}));

  // A record longer than any the program writes, and a count that ends inside
  // the second record although the file holds it whole (a file cut short is no
  // damage: CaptureWriter.FileCutAnywhere...), after a good record.
  const struct {
    uint64_t count;
    uint32_t length;
    const char* reason;
  } cases[] = {{13 + 12 + 4097, 4097, "4097"}, {13 + 5, 3, "data count"}};
  path = dir.file("bad.qelvo");
  for (const auto& c : cases) {
    SCOPED_TRACE(c.reason);
    v = qelvo_header(c.count);
    put_record(v, {0xA5}, 1, 1);
    put_record(v, std::vector<uint8_t>(c.length, 0xEE), 2, c.length);
    put_file(path, v);
    r = read_all(path);
    EXPECT_EQ(r.end, -1);
    EXPECT_EQ(r.packets.size(), 1u);
    for (const std::string& part : {path + ":", std::string("offset 37"), std::string(c.reason)})
      EXPECT_NE(r.error.find(part), std::string::npos) << r.error;
  }
  // The error stays reported on later calls.
  char err[256] = "", again[256] = "";
  CaptureReader* rd = capture_reader_open(path.c_str(), err, sizeof err);
  ASSERT_NE(rd, nullptr) << err;
  CapturePacket p;
  while (capture_reader_next(rd, &p, err, sizeof err) == 1) continue;
  EXPECT_EQ(capture_reader_next(rd, &p, again, sizeof again), -1);
  EXPECT_STREQ(err, again);
  capture_reader_close(rd);
  // Foreign and missing files are refused by name.
  std::vector<uint8_t> store = qelvo_header(0);  // a row store: version 1 at offset 4
  store[4] = 1;
  store.resize(504, 0);
  put_file(dir.file("package.qelvo"), store);
  put_file(dir.file("text.qelvo"), std::vector<uint8_t>{'h', 'e', 'l', 'l', 'o', '\n'});
  put_file(dir.file("empty.qelvo"), {});
  for (const char* name : {"package.qelvo", "text.qelvo", "empty.qelvo", "missing.qelvo"}) {
    r = read_all(dir.file(name));
    EXPECT_EQ(r.end, -2) << name;
    EXPECT_NE(r.error.find(name), std::string::npos) << r.error;
  }
  EXPECT_NE(read_all(dir.file("text.qelvo")).error.find("offset 0"), std::string::npos);

  // The writer refuses an oversized packet and carries on. Read while it still
  // holds its last records, what is on disk is a valid capture of a prefix of the
  // packets; a flush makes all of them readable.
  path = dir.file("written.qelvo");
  CaptureWriter* w = capture_writer_open(path.c_str(), CAPTURE_FORMAT_QELVO, err, sizeof err);
  ASSERT_NE(w, nullptr) << err;
  std::vector<uint8_t> big(4097, 1);
  EXPECT_EQ(capture_writer_write(w, big.data(), 4097, 1, err, sizeof err), -1);
  EXPECT_NE(std::string(err).find("4097"), std::string::npos) << err;
  pk = sample_packets(40000, 1000, 5);  // several MiB
  pk.insert(pk.begin(), {Packet{std::vector<uint8_t>(4096, 2), 2}, Packet{{}, 3}});
  for (const Packet& q : pk)
    ASSERT_EQ(capture_writer_write(w, q.bytes.empty() ? nullptr : q.bytes.data(), (uint32_t)q.bytes.size(), q.ts,
                                   err, sizeof err), 0) << err;
  r = read_all(path);
  EXPECT_EQ(r.end, 0) << r.error;
  EXPECT_GT(r.packets.size(), pk.size() / 2);
  EXPECT_LT(r.packets.size(), pk.size());
  EXPECT_TRUE(std::equal(r.packets.begin(), r.packets.end(), pk.begin()));
  ASSERT_EQ(capture_writer_flush(w, err, sizeof err), 0) << err;
  EXPECT_TRUE(read_all(path).packets == pk);
  ASSERT_EQ(capture_writer_close(w, err, sizeof err), 0) << err;
  EXPECT_TRUE(read_all(path).packets == pk);
}

TEST(CaptureRealFiles, EachSharedCaptureReadsCompletely) {
  for (const Expected& e : kCaptures) {
    SCOPED_TRACE(e.name);
    ReadResult r = read_all(testenv::shared_captures_dir() + "/" + e.name);
    ASSERT_EQ(r.end, 0) << r.error;
    ASSERT_EQ(r.packets.size(), e.packets);
    uint64_t bytes = 0;
    for (const Packet& p : r.packets) bytes += p.bytes.size();
    EXPECT_EQ(bytes, e.bytes);
    EXPECT_EQ(r.packets.front().ts, e.first_ns);
    EXPECT_EQ(r.packets.back().ts, e.last_ns);
    for (size_t i = 1; i < r.packets.size(); i++) ASSERT_GE(r.packets[i].ts, r.packets[i - 1].ts) << "packet " << i;
  }
}

TEST(CaptureWriter, FileCutAnywhereEndsCleanlyFormatNamesExtensionsAndFailuresNeverSuccess) {
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
    for (size_t cut = c.refused_cut ? c.refused_cut : c.header; cut <= f.size(); cut++) {
      put_file(cut_file, std::vector<uint8_t>(f.begin(), f.begin() + cut));
      ReadResult r = read_all(cut_file);
      if (cut < c.header) {
        EXPECT_TRUE(r.end == -2 && r.error.find(cut_file) != std::string::npos) << r.end << " " << r.error;
        continue;
      }
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
  }
  // Format names and extensions.
  const std::pair<const char*, int> paths[] = {  // a path and its format, -1: none
      {"a/b.qelvo", CAPTURE_FORMAT_QELVO}, {"C:\\caps\\x.PCAP", CAPTURE_FORMAT_PCAP_NS},
      {"x.pcapng", CAPTURE_FORMAT_PCAPNG}, {"x.PcApNg", CAPTURE_FORMAT_PCAPNG},
      {"x.txt", -1}, {"dir.pcap/file", -1}, {"noext", -1}, {"dir.pcap\\file", -1},
      {"x.pcap-ns", -1},  // a format name, not an extension
      {"x.pca", -1}};
  for (const auto& [path, format] : paths) {
    CaptureFormat f = CAPTURE_FORMAT_PCAP_US;  // no extension names it: left as it is when refused
    EXPECT_EQ(capture_format_from_path(path, &f), format < 0 ? -1 : 0) << path;
    EXPECT_EQ(f, format < 0 ? CAPTURE_FORMAT_PCAP_US : (CaptureFormat)format) << path;
  }
  CaptureFormat f;
  for (CaptureFormat g : {CAPTURE_FORMAT_QELVO, CAPTURE_FORMAT_PCAP_US, CAPTURE_FORMAT_PCAP_NS, CAPTURE_FORMAT_PCAPNG}) {
    ASSERT_EQ(capture_format_from_name(capture_format_name(g), &f), 0);
    EXPECT_EQ(f, g);
  }
  EXPECT_EQ(capture_format_from_name("pcapx", &f), -1);

  // Failures are never success, in every format. /dev/full refuses the header
  // at once; a file size limit lets the header through and fails a later write,
  // or only the close when every packet still fits the writer's buffer.
  char err[256] = "";
  for (const std::string& path : {dir.file("no/such/dir/x.pcap"), std::string("/dev/full")}) {
    EXPECT_EQ(capture_writer_open(path.c_str(), CAPTURE_FORMAT_PCAPNG, err, sizeof err), nullptr);
    EXPECT_NE(std::string(err).find(path), std::string::npos) << err;
  }
  EXPECT_EQ(capture_writer_open(dir.file("x").c_str(), (CaptureFormat)7, err, sizeof err), nullptr);
  EXPECT_NE(std::string(err).find("format"), std::string::npos) << err;
  // Nothing is printed while the limit holds: it applies to every file, a
  // redirected test log too.
  signal(SIGXFSZ, SIG_IGN);
  rlimit old;
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);
  rlimit limit = {4096, old.rlim_max};
  pk = sample_packets(100000, 200, 3);  // more than the writer buffers
  std::string path = dir.file("limited"), want, got;
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limit), 0);
  for (CaptureFormat g : {CAPTURE_FORMAT_QELVO, CAPTURE_FORMAT_PCAP_US, CAPTURE_FORMAT_PCAP_NS, CAPTURE_FORMAT_PCAPNG}) {
    for (size_t n : {pk.size(), (size_t)200}) {
      CaptureWriter* w = capture_writer_open(path.c_str(), g, err, sizeof err);
      size_t failed_writes = 0;
      for (size_t i = 0; w && i < n; i++)
        failed_writes += capture_writer_write(w, pk[i].bytes.data(), (uint32_t)pk[i].bytes.size(), pk[i].ts, err,
                                              sizeof err) != 0;
      err[0] = 0;
      int closed = w ? capture_writer_close(w, err, sizeof err) : 1;
      std::string name = capture_format_name(g);
      want += name + (n > 200 ? " failed writes" : "") + ", close -1 naming the file\n";
      got += name + (failed_writes ? " failed writes" : "") + ", close " + std::to_string(closed) +
             (strstr(err, path.c_str()) ? " naming the file\n" : "\n");
    }
  }
  setrlimit(RLIMIT_FSIZE, &old);
  EXPECT_EQ(got, want);
}
