// pcapng: sections in both byte orders, interface time resolutions and
// offsets, simple packets, skipped blocks, and the damage rules for blocks.
#include <gtest/gtest.h>

#include <functional>

#include "tests/support/capture_test_util.h"
#include "tests/support/test_env.h"

using namespace capture_test;

namespace {

// Builds pcapng blocks in one byte order.
struct Ng {
  std::vector<uint8_t> v;
  bool big = false;

  // opts: options made by option(), without the end marker.
  void block(uint32_t type, std::vector<uint8_t> body, const std::vector<uint8_t>& opts = {}) {
    body.resize((body.size() + 3) / 4 * 4, 0);
    body.insert(body.end(), opts.begin(), opts.end());
    if (!opts.empty()) put32(body, 0, big);
    uint32_t total = 12 + (uint32_t)body.size();
    for (uint32_t x : {type, total}) put32(v, x, big);
    v.insert(v.end(), body.begin(), body.end());
    put32(v, total, big);
  }
  void section(bool big_endian) {
    big = big_endian;
    std::vector<uint8_t> b;
    // Version 1.0 (two 16-bit fields), no section length.
    for (uint32_t x : {0x1A2B3C4Du, big ? 0x10000u : 1u, ~0u, ~0u}) put32(b, x, big);
    block(0x0A0D0D0A, b);
  }
  void interface(uint16_t link, uint32_t snap, const std::vector<uint8_t>& opts = {}) {
    std::vector<uint8_t> b;
    put16(b, link, big);
    put16(b, 0, big);
    put32(b, snap, big);
    block(1, b, opts);
  }
  void packet(uint32_t iface, uint64_t ticks, const std::vector<uint8_t>& data, const std::vector<uint8_t>& opts = {}) {
    std::vector<uint8_t> b;
    uint32_t n = (uint32_t)data.size();
    for (uint32_t x : {iface, (uint32_t)(ticks >> 32), (uint32_t)ticks, n, n}) put32(b, x, big);
    b.insert(b.end(), data.begin(), data.end());
    block(6, b, opts);
  }
  void simple(const std::vector<uint8_t>& data) {
    std::vector<uint8_t> b;
    put32(b, (uint32_t)data.size(), big);
    b.insert(b.end(), data.begin(), data.end());
    block(3, b);
  }
  // An option of `n` value bytes, padded to four (1: comment, 9: time resolution, 14: offset).
  std::vector<uint8_t> option(uint16_t code, uint64_t value, int n) {
    std::vector<uint8_t> o;
    put16(o, code, big);
    put16(o, (uint16_t)n, big);
    put(o, value, n, big);
    o.resize((o.size() + 3) / 4 * 4, 0);
    return o;
  }
};

}  // namespace

// Both byte orders, skipped blocks (one larger than the read buffer), simple
// packets, and the time resolutions (microseconds by default, 2^-20 s with an
// offset, 2^0 s, picoseconds); the speed-specific USB 2.0 link types read like 288.
TEST(CapturePcapng, SectionsOrdersResolutionsSimplePacketsAndDamagedBlocks) {
  testenv::TempDir dir;
  Ng ng;
  ng.section(true);
  ng.interface(288, 0);
  ng.block(0x40000BAD, std::vector<uint8_t>(3 << 20, 0x11));  // custom block: skipped
  ng.packet(0, 1500001, {0x2D, 0x00, 0x10});
  ng.simple({0xD2});                            // no stamp: the previous one
  ng.block(5, std::vector<uint8_t>(12, 0));    // statistics: skipped
  ng.section(false);                            // new section, new interfaces
  std::vector<uint8_t> opts = ng.option(9, 0x80 | 20, 1), off = ng.option(14, (uint64_t)-1, 8);
  opts.insert(opts.end(), off.begin(), off.end());
  ng.interface(293, 65535, ng.option(9, 9, 1));
  ng.interface(294, 65535, opts);
  ng.packet(1, (uint64_t)3 << 20 | 1 << 19, {0x5A});  // 3.5 s, minus one second
  ng.packet(0, 7, {0x4B, 1, 2, 3, 4, 5});
  ng.interface(295, 0, ng.option(9, 12, 1));
  ng.packet(2, 123456789, {0xC3, 9, 9}, ng.option(1, 'h' | 'i' << 8, 2));
  ng.interface(288, 0, ng.option(9, 0x80, 1));
  ng.packet(3, 5, {0xD2});
  put_file(dir.file("x.pcapng"), ng.v);
  ReadResult r = read_all(dir.file("x.pcapng"));
  ASSERT_EQ(r.end, 0) << r.error;
  EXPECT_EQ(r.format, CAPTURE_FORMAT_PCAPNG);
  EXPECT_EQ(r.packets, (std::vector<Packet>{{{0x2D, 0x00, 0x10}, 1500001000},
                                            {{0xD2}, 1500001000},
                                            {{0x5A}, 2500000000},
                                            {{0x4B, 1, 2, 3, 4, 5}, 7},
                                            {{0xC3, 9, 9}, 123456},
                                            {{0xD2}, 5000000000}}));
  // Foreign interfaces, unknown interface numbers and malformed blocks end the
  // read with the block's offset and the file's name.
  struct Case {
    const char* expect;                 // in the error text
    std::function<void(Ng&)> damage;    // appends the bad blocks behind a section and a USB interface
    size_t offset = 48;                 // behind the section header (28 bytes) and the interface (20)
  } cases[] = {
      {"block length 30",
       [](Ng& ng) {
         put32(ng.v, 6);
         put32(ng.v, 30);  // not a multiple of 4
         ng.v.resize(ng.v.size() + 40, 0);
       }},
      {"trailing length",
       [](Ng& ng) {
         ng.packet(0, 0, {1, 2, 3});
         ng.v.back() = 0x7F;  // trailing length differs
       }},
      {"trailing length",
       [](Ng& ng) {
         ng.block(0x40000BAD, std::vector<uint8_t>(8, 0));  // a skipped block
         ng.v[ng.v.size() - 4] = 0x10;
       }},
      {"captured length",
       [](Ng& ng) {
         ng.packet(0, 0, {0, 0, 0, 0});
         ng.v[ng.v.size() - 16] = 100;  // captured length beyond the block
       }},
      {"option", [](Ng& ng) { ng.interface(288, 0, {9, 0, 40, 0}); }},  // longer than its block
      {"not a USB 2.0 capture",  // packets of an Ethernet interface after a good one
       [](Ng& ng) {
         ng.interface(1, 0);
         ng.packet(0, 0, {0xA5});
         ng.packet(1, 0, {1});
       }, 48 + 20 + 36},
      {"interface 0",  // a new section forgets the interface
       [](Ng& ng) {
         ng.section(false);
         ng.packet(0, 0, {0xA5});
       }, 48 + 28},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.expect);
    Ng ng;
    ng.section(false);
    ng.interface(288, 0);
    c.damage(ng);
    put_file(dir.file("bad.pcapng"), ng.v);
    ReadResult r = read_all(dir.file("bad.pcapng"));
    EXPECT_EQ(r.end, -1);
    EXPECT_NE(r.error.find(c.expect), std::string::npos) << r.error;
    EXPECT_NE(r.error.find("bad.pcapng"), std::string::npos) << r.error;
    EXPECT_NE(r.error.find("offset " + std::to_string(c.offset)), std::string::npos) << r.error;
  }
  Ng eth;  // only an Ethernet interface: no USB capture at all
  eth.section(false);
  eth.interface(1, 0);
  eth.packet(0, 0, {1});
  put_file(dir.file("eth.pcapng"), eth.v);
  r = read_all(dir.file("eth.pcapng"));
  EXPECT_EQ(r.end, -2);
  EXPECT_NE(r.error.find("not a USB 2.0 capture"), std::string::npos) << r.error;
}

