// Endpoints learned from a configuration answer decide which transfers IN and
// OUT tokens begin afterwards: synthetic captures through orvane-dump's
// transactions and descriptor views.
#include <gtest/gtest.h>

#include "store/capture/capture_file.h"
#include "tests/support/usb_packets.h"
#include "tests/support/dump_run.h"

namespace {

using namespace usbtest;
enum : uint8_t { SETUP = 0x2D, IN = 0x69, OUT = 0xE1, DATA0 = 0xC3, DATA1 = 0x4B, ACK = 0xD2,
                 NAK = 0x5A };

// A packet list growing into a capture.
struct Bus {
  std::vector<Bytes> packets;
  void add(std::initializer_list<Bytes> ps) { packets.insert(packets.end(), ps); }
  // A control read: setup, the answer in 64-byte packets, OUT status stage.
  void control_read(uint8_t address, const Bytes& setup, const Bytes& answer) {
    add({token(SETUP, address, 0), data(DATA0, setup), hs(ACK)});
    uint8_t pid = DATA1;
    for (size_t off = 0; off < answer.size() || off == 0; off += 64) {
      Bytes part(answer.begin() + off, answer.begin() + std::min(answer.size(), off + 64));
      add({token(IN, address, 0), data(pid, part), hs(ACK)});
      pid = pid == DATA1 ? DATA0 : DATA1;
      if (answer.empty()) break;
    }
    add({token(OUT, address, 0), data(DATA1, Bytes{}), hs(ACK)});
  }
  bool write(const std::string& path) {
    char err[256];
    CaptureWriter* w = capture_writer_open(path.c_str(), CAPTURE_FORMAT_PCAP_NS, err, sizeof err);
    if (!w) return false;
    uint64_t t = 1000000;
    for (const Bytes& p : packets)
      if (capture_writer_write(w, p.data(), (uint32_t)p.size(), t += 1000, err, sizeof err) != 0)
        return false;
    return capture_writer_close(w, err, sizeof err) == 0;
  }
};

// Configuration of device 5: bulk IN 1 (64), interrupt IN 2 (8), isochronous OUT 3 (192).
const Bytes kConfig = {
    0x09, 0x02, 0x27, 0x00, 0x01, 0x01, 0x00, 0x80, 0x32,  // configuration
    0x09, 0x04, 0x00, 0x00, 0x03, 0xFF, 0x00, 0x00, 0x00,  // interface
    0x07, 0x05, 0x81, 0x02, 0x40, 0x00, 0x00,              // bulk IN 1
    0x07, 0x05, 0x82, 0x03, 0x08, 0x00, 0x0A,              // interrupt IN 2
    0x07, 0x05, 0x03, 0x01, 0xC0, 0x00, 0x01,              // isochronous OUT 3
};
const Bytes kGetConfig = {0x80, 0x06, 0x00, 0x02, 0x00, 0x00, 0x27, 0x00};

// The first info key of a row: the transfer or transaction kind, the table title.
std::string head(const dumprun::Row& r) { return r.infos.empty() || r.infos[0].empty() ? "<none>" : r.infos[0][0]; }

}  // namespace

TEST(TransferTracking, LearnedEndpointsBeginBulkInterruptAndIsochronousTransfers) {
  Bus bus;
  bus.control_read(5, kGetConfig, kConfig);
  Bytes full0 = data(DATA0, filled(64));
  bus.add({token(IN, 5, 4), data(DATA0, filled(3)), hs(ACK)});  // endpoint 4 was never described
  // Bulk IN: two full packets and a short one.
  bus.add({token(IN, 5, 1), full0, hs(ACK), token(IN, 5, 1), data(DATA1, filled(64)), hs(ACK),
           token(IN, 5, 1), data(DATA0, filled(10)), hs(ACK)});
  // Interrupt IN: a NAK, then 3 bytes.
  bus.add({token(IN, 5, 2), hs(NAK), token(IN, 5, 2), data(DATA0, filled(3)), hs(ACK)});
  // Isochronous OUT of 100 bytes (acknowledged here so that the transfer
  // completes; real isochronous packets carry no handshake).
  bus.add({token(OUT, 5, 3), data(DATA0, filled(100)), hs(ACK)});
  // Bulk IN ended by a zero-length packet.
  bus.add({token(IN, 5, 1), full0, hs(ACK), token(IN, 5, 1), data(DATA1, Bytes{}), hs(ACK)});
  // Endpoint 1 of another device is not known.
  bus.add({token(IN, 6, 1), data(DATA0, filled(3)), hs(ACK)});

  testenv::TempDir tmp;
  ASSERT_TRUE(bus.write(tmp.file("learn.pcap")));
  dumprun::Result r = dumprun::run({"--view", "transactions", "--json", tmp.file("learn.pcap")}, tmp);
  ASSERT_EQ(r.status, 0);
  ASSERT_EQ(r.bad_lines, 0);
  std::vector<const dumprun::Row*> top;
  std::vector<std::string> heads;
  for (const dumprun::Row& row : r.rows)
    if (row.level == 0) top.push_back(&row), heads.push_back(head(row));
  std::vector<std::string> expected = {"CTRL Transfer", "IN Transaction", "BULK Transfer",
                                       "INT Transfer",  "ISOC Transfer",  "BULK Transfer",
                                       "IN Transaction"};
  ASSERT_EQ(heads, expected);
  auto value = [&](size_t i, const char* key) { return dumprun::value_of(top[i]->values, key); };
  EXPECT_EQ(value(0, "Data (39 tytes)"), "<none>");  // the descriptors were walked: no data cell
  EXPECT_EQ(value(1, "Point"), "4");
  EXPECT_EQ(value(2, "Data (138 tytes)").substr(0, 8), "00 01 02");  // the reassembled data, once
  EXPECT_EQ(value(2, "State"), "Success");
  EXPECT_EQ(value(3, "Data (3 tytes)"), "00 01 02");
  EXPECT_NE(value(4, "Data (100 tytes)"), "<none>");
  EXPECT_EQ(value(5, "State"), "Success");
  EXPECT_EQ(value(6, "Addr"), "6");

  // The descriptor view of the same capture: the request and the five tables.
  dumprun::Result d = dumprun::run({"--view", "descriptors", "--json", tmp.file("learn.pcap")}, tmp);
  ASSERT_EQ(d.status, 0);
  std::vector<std::string> titles;
  for (const dumprun::Row& row : d.rows) titles.push_back(head(row));
  EXPECT_EQ(titles, (std::vector<std::string>{"Standard Requst", "Config Descriptor", "Interface Descriptor",
                                              "Endpoint Descriptor", "Endpoint Descriptor", "Endpoint Descriptor"}));
}
