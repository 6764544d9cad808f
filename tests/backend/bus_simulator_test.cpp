// The simulated bus against a protocol checker of its own, kept apart from
// the simulator so that it catches the simulator's mistakes: one run per
// speed. Whether a packet is valid (PID, length, CRC5, CRC16) is the
// decoder's verdict; the checker adds what the decoder does not check: the
// CRC5 of SPLITs, which packets may make a transaction at each speed,
// DATA0/DATA1 toggles per endpoint, control transfers from setup to status,
// SOF spacing and frame numbers, time stamps, and the descriptors the device
// hands out.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "backend/bus_simulator.h"
#include "backend/usb_packet_builder.h"

// The decoder's packet check (decode/usb_packet.h, whose PID names clash
// with the builder's): the PID when the packet is valid, else 0.
uint8_t usb_packet_validate(const uint8_t* bytes, int32_t length);

namespace {

using Bytes = std::vector<uint8_t>;

// One control transfer, open or completed (or stalled).
struct CheckedControl {
  uint8_t addr;
  uint8_t setup[8];
  Bytes data;  // data stage bytes
  bool stalled;
  bool via_split;          // went through a transaction translator
  uint8_t toggle = 1;      // next data stage PID
  bool data_done = false;  // a short or the last expected packet ended the data stage
};

// CRC5 of a SPLIT's 19-bit field (x^5 + x^2 + 1, preset to ones, sent
// inverted, high bit first), which the decoder leaves unchecked.
uint8_t split_crc5(uint32_t field) {
  uint8_t reg = 0x1F;
  for (int i = 0; i < 19; i++) reg = (uint8_t)(((reg << 1) & 0x1F) ^ (((reg >> 4 ^ field >> i) & 1) ? 0x05 : 0));
  uint8_t out = 0;
  for (int k = 0; k < 5; k++) out |= (uint8_t)((~reg >> (4 - k) & 1) << k);
  return out;
}

class UsbStreamChecker {
 public:
  // speed: 1 low, 2 full, 3 high.
  explicit UsbStreamChecker(int speed)
      : speed_(speed), max_packet0_(speed == 1 ? 8 : 64), bulk_size_(speed == 3 ? 512 : 64) {}

  // Adds one packet; `damaged` marks a packet whose CRC was damaged on purpose.
  void feed(const uint8_t* bytes, uint32_t length, uint64_t ts, bool damaged) {
    uint8_t pid = length ? bytes[0] : 0;
    packets++;
    pid_counts[pid]++;
    corrupted += damaged;
    bool valid = usb_packet_validate(bytes, (int32_t)length) != 0 &&
                 (pid != USB_PID_SPLIT || split_crc5((bytes[1] | bytes[2] << 8 | bytes[3] << 16) & 0x7FFFF) == bytes[3] >> 3);
    if (valid == damaged) fail(damaged ? "marked as damaged but passes its checks" : "invalid packet");
    if (packets > 1 && ts <= last_ts_) fail("time stamp does not increase");
    last_ts_ = ts;
    bool token = (pid & 3) == 1 || pid == USB_PID_PING || pid == USB_PID_SPLIT;  // OUT, IN, SOF, SETUP end in 01
    // A transaction is [SPLIT] token [data] [handshake]: it ends at the next token.
    if (token && !(txn_.size() == 1 && txn_[0][0] == USB_PID_SPLIT)) end_transaction();
    if (pid != USB_PID_SOF) {
      if (length) txn_.emplace_back(bytes, bytes + length);
      return;
    }
    if (length != 3) return;
    if (speed_ == 1) fail("SOF on a low-speed bus");
    uint16_t frame = (uint16_t)((bytes[1] | bytes[2] << 8) & 0x7FF);
    if (sofs_++) {
      if (ts - last_sof_ts_ != (speed_ == 3 ? 125000u : 1000000u)) fail("SOF spacing");
      // High speed repeats a frame number in its 8 microframes.
      bool same = speed_ == 3 && frame == last_frame_;
      if (same ? ++repeats_ > 7 : frame != ((last_frame_ + 1) & 0x7FF) || (speed_ == 3 && repeats_ != 7))
        fail("SOF frame number out of step");
      if (!same) repeats_ = 0;
    }
    last_sof_ts_ = ts;
    last_frame_ = frame;
  }

  // Problems found, each naming the packet count when found; at most 50 kept.
  std::vector<std::string> errors;
  std::map<uint8_t, uint64_t> pid_counts;  // packets seen per PID byte
  uint64_t packets = 0;
  uint64_t corrupted = 0;
  uint64_t max_size_bulk = 0;  // data packets of the full bulk size of the speed (512 or 64)
  uint64_t short_data = 0;     // data packets on endpoints other than 0 shorter than that, zero-length included
  uint64_t zero_length = 0;    // zero-length data packets outside control transfers
  std::vector<CheckedControl> controls;  // every control transfer, in order
  std::vector<std::u16string> strings;   // string descriptors read whole

 private:
  void fail(const std::string& what) {
    if (errors.size() < 50) errors.push_back("packet " + std::to_string(packets) + ": " + what);
  }

  // The transaction's packets as one text, e.g. "CSp IN D": SS/CS a start or
  // complete SPLIT (p: periodic, E: the E bit set), D a DATA0/DATA1.
  static std::string shape(const std::vector<Bytes>& t) {
    static const std::map<uint8_t, std::string> kName = {
        {USB_PID_SETUP, "SETUP"}, {USB_PID_IN, "IN"}, {USB_PID_OUT, "OUT"}, {USB_PID_PING, "PING"}, {USB_PID_DATA0, "D"},
        {USB_PID_DATA1, "D"}, {USB_PID_ACK, "ACK"}, {USB_PID_NAK, "NAK"}, {USB_PID_STALL, "STALL"}, {USB_PID_NYET, "NYET"}};
    std::string s;
    for (const Bytes& p : t) {
      auto name = kName.find(p[0]);
      bool token = p[0] == USB_PID_SETUP || p[0] == USB_PID_IN || p[0] == USB_PID_OUT || p[0] == USB_PID_PING;
      if (p[0] == USB_PID_SPLIT && p.size() == 4)
        s += std::string(p[1] >> 7 ? "CS" : "SS") + (p[3] & 2 ? "p" : "") + (p[3] & 1 ? "E" : "");
      else if (name == kName.end() || (token && p.size() != 3) || (name->second == "D" && p.size() < 3))
        s += "?";  // unknown, or a size that would make reading its fields unsafe
      else
        s += name->second;
      s += ' ';
    }
    return s;
  }

  void end_transaction() {
    if (txn_.empty()) return;
    std::vector<Bytes> t;
    t.swap(txn_);
    static const std::set<std::string> kAnySpeed = {
        "SETUP D ACK ", "IN D ACK ", "IN NAK ", "IN STALL ", "OUT D ACK ", "OUT D NAK ", "OUT D STALL "};
    // PING, NYET and split transactions exist at high speed only; the host
    // answers no complete-split data, and the hub no periodic start-split.
    static const std::set<std::string> kHighSpeed = {
        "OUT D NYET ", "PING ACK ", "PING NAK ", "PING STALL ", "SS SETUP D ACK ", "CS SETUP ACK ", "CS SETUP NYET ",
        "SS IN ACK ", "SSp IN ", "CS IN D ", "CS IN NAK ", "CS IN NYET ", "CS IN STALL ", "CSp IN D ", "CSp IN NAK ",
        "CSp IN NYET ", "CSp IN STALL ", "SS OUT D ACK ", "CS OUT ACK ", "CS OUT NAK ", "CS OUT NYET ", "CS OUT STALL "};
    std::string s = shape(t);
    if (!kAnySpeed.count(s) && !(speed_ == 3 && kHighSpeed.count(s))) return fail("transaction " + s);
    bool split = t[0][0] == USB_PID_SPLIT, complete = split && t[0][1] >> 7;
    const Bytes& tok = t[split];
    const Bytes* data = s.find(" D ") != std::string::npos ? &t[split + 1] : nullptr;
    uint8_t addr = tok[1] & 0x7F, ep = (uint8_t)((tok[1] >> 7 | tok[2] << 1) & 0x0F), last = t.back()[0];
    if (split && (t[0][3] & 6) == 0 && ep != 0) fail("control split to an endpoint other than 0");
    if (last == USB_PID_STALL) {  // ends the open control transfer on endpoint 0
      auto it = ctl_.find(addr);
      if (ep == 0 && it != ctl_.end()) {
        it->second.stalled = true;
        controls.push_back(it->second);
        ctl_.erase(it);
      }
      return;
    }
    uint32_t key = (uint32_t)addr << 8 | (uint32_t)ep << 1 | (tok[0] == USB_PID_IN);
    if (tok[0] == USB_PID_SETUP) {
      if (ep != 0) fail("SETUP to an endpoint other than 0");
      if (complete) {
        auto it = split_setups_.find(addr);
        if (last != USB_PID_ACK) return;
        if (it == split_setups_.end()) return fail("complete-split SETUP without a start-split");
        open_control(addr, it->second.data() + 1, true);
        split_setups_.erase(it);
      } else if ((*data)[0] != USB_PID_DATA0 || data->size() != 11) {
        fail("SETUP not followed by an 8-byte DATA0");
      } else if (split) {
        split_setups_[addr] = *data;
      } else {
        open_control(addr, data->data() + 1, false);
      }
    } else if (tok[0] == USB_PID_IN) {
      if (data) accept_data(addr, ep, *data, true);
    } else if (complete) {  // OUT: the device's answer to data a start-split carried
      auto it = split_outs_.find(key);
      if (last != USB_PID_ACK) return;
      if (it == split_outs_.end()) return fail("complete-split OUT without start-split data");
      accept_data(addr, ep, it->second, false);
      split_outs_.erase(it);
    } else if (split) {
      split_outs_[key] = *data;  // the toggle is checked when the device's answer arrives
    } else if (data && last != USB_PID_NAK) {
      accept_data(addr, ep, *data, false);
    }
  }

  void open_control(uint8_t addr, const uint8_t* setup, bool via_split) {
    if (ctl_.count(addr)) fail("SETUP while a control transfer is open");
    CheckedControl& c = ctl_[addr] = CheckedControl{addr, {}, {}, false, via_split};
    std::copy(setup, setup + 8, c.setup);
  }

  void accept_data(uint8_t addr, uint8_t ep, const Bytes& d, bool in) {
    uint8_t toggle = d[0] == USB_PID_DATA1;
    size_t len = d.size() - 3;
    if (ep != 0) {
      uint8_t& want = toggles_[(uint32_t)addr << 8 | (uint32_t)ep << 1 | in];
      if (toggle != want) fail("toggle out of step on endpoint " + std::to_string(addr) + "." + std::to_string(ep));
      want = toggle ^ 1;
      max_size_bulk += len == bulk_size_;
      short_data += len < bulk_size_;
      zero_length += len == 0;
      return;
    }
    auto it = ctl_.find(addr);
    if (it == ctl_.end()) return fail("control data without a setup packet");
    CheckedControl& c = it->second;
    size_t w_length = c.setup[6] | c.setup[7] << 8;
    if (w_length > 0 && in == ((c.setup[0] & 0x80) != 0)) {  // the data stage's direction
      if (c.data_done) return fail("control data after the data stage ended");
      if (toggle != c.toggle) fail("control data stage toggle out of step");
      c.toggle ^= 1;
      if (len > max_packet0_) fail("control data packet above bMaxPacketSize0");
      c.data.insert(c.data.end(), d.begin() + 1, d.end() - 2);
      if (c.data.size() > w_length) fail("control data stage longer than wLength");
      c.data_done = len < max_packet0_ || c.data.size() >= w_length;
      return;
    }
    if (w_length > 0 && !c.data_done) fail("status stage before the data stage ended");
    if (d[0] != USB_PID_DATA1 || len != 0) fail("status stage is not a zero-length DATA1");
    CheckedControl done = c;
    ctl_.erase(it);
    controls.push_back(done);
    const uint8_t* st = done.setup;
    if (st[0] == 0x00 && st[1] == 9) {  // SET_CONFIGURATION resets every toggle of the device
      for (auto t = toggles_.begin(); t != toggles_.end();) t = (t->first >> 8) == addr ? toggles_.erase(t) : std::next(t);
    } else if (st[0] == 0x02 && st[1] == 1 && st[2] == 0 && st[3] == 0) {  // CLEAR_FEATURE(ENDPOINT_HALT)
      toggles_.erase((uint32_t)addr << 8 | (uint32_t)(st[4] & 0x0F) << 1 | st[4] >> 7);
    } else if (st[0] == 0x80 && st[1] == 6) {
      check_descriptor(done);
    }
  }

  void check_descriptor(const CheckedControl& c) {
    uint8_t type = c.setup[3], index = c.setup[2];
    size_t w_length = c.setup[6] | c.setup[7] << 8;
    const Bytes& d = c.data;
    static const uint8_t kLength[7] = {0, 18, 9, 0, 0, 0, 10};  // bLength by type, 0: varies
    if (d.size() < 2 || d[1] != type) return fail("descriptor of another type, or shorter than 2 bytes");
    if (d.size() < w_length && d.size() < d[0]) fail("short answer cuts the descriptor");
    if (type < 7 && kLength[type] && d[0] != kLength[type]) fail("bLength of descriptor type " + std::to_string(type));
    if (type == 1 && d.size() >= 8 && d[7] != max_packet0_) fail("bMaxPacketSize0 does not match the bus");
    if (type == 2 && d.size() >= 4 && d.size() == w_length && w_length == (size_t)(d[2] | d[3] << 8)) check_configuration(d);
    if (type != 3) return;
    if (d[0] % 2 != 0) fail("odd string bLength");
    if (index == 0 && (d[0] != 4 || d.size() < 4 || (d[2] | d[3] << 8) != 0x0409)) fail("language table is not English (US)");
    // Kept when read at exactly its length, as a descriptor decoder walks it.
    if (index != 0 && d.size() == d[0] && w_length == d[0]) {
      std::u16string text;
      for (size_t i = 2; i + 1 < d.size(); i += 2) text += (char16_t)(d[i] | d[i + 1] << 8);
      strings.push_back(text);
    }
  }

  // Walks a whole configuration: the bLength chain, the counts and the endpoints' sizes.
  void check_configuration(const Bytes& d) {
    size_t off = 0;
    int interfaces = 0, endpoints_expected = 0, endpoints = 0;
    for (; off + 2 <= d.size() && d[off] >= 2 && off + d[off] <= d.size(); off += d[off]) {
      const uint8_t* x = &d[off];
      if (x[1] == 4 && x[0] == 9) interfaces++, endpoints_expected += x[4];
      if (x[1] != 5 || x[0] != 7) continue;
      endpoints++;
      uint16_t mps = (uint16_t)(x[4] | x[5] << 8);
      if ((x[3] & 3) == 2 && (speed_ == 1 || mps != bulk_size_)) fail("bulk endpoint of " + std::to_string(mps) + " bytes");
      if (speed_ == 1 && mps > 8) fail("low-speed endpoint above 8 bytes");
    }
    if (off != d.size() || interfaces != d[4] || endpoints != endpoints_expected) fail("configuration does not add up");
  }

  int speed_;
  uint8_t max_packet0_;
  uint16_t bulk_size_;
  uint64_t last_ts_ = 0;
  uint64_t sofs_ = 0, last_sof_ts_ = 0;
  uint16_t last_frame_ = 0;
  int repeats_ = 0;
  std::vector<Bytes> txn_;                // the open transaction's packets
  std::map<uint32_t, uint8_t> toggles_;   // (addr, ep, dir) -> next PID toggle
  std::map<uint8_t, CheckedControl> ctl_;  // open control transfers per address
  std::map<uint8_t, Bytes> split_setups_;  // setup DATA0 sent by a start-split, per address
  std::map<uint32_t, Bytes> split_outs_;   // OUT data sent by a start-split, per (addr, ep, dir)
};

class BackendSimulatedBus : public ::testing::TestWithParam<UsbSpeed> {};

TEST_P(BackendSimulatedBus, EveryPacketTransactionAndDescriptorFollowsTheProtocol) {
  const UsbSpeed speed = GetParam();
  // Enough packets for enumeration and a stretch of class traffic.
  const uint64_t n = speed == USB_SPEED_LOW ? 20000 : 150000;
  UsbStreamChecker checker(speed);
  BusSimulator* sim = bus_sim_create(speed, 11);
  ASSERT_NE(sim, nullptr);
  bus_sim_set_corruption(sim, 2000);  // more than the default, to see damage at every speed
  std::set<uint8_t> damaged;  // PIDs of the packets damaged on purpose
  for (uint64_t i = 0; i < n; i++) {
    const SimPacketView* p = bus_sim_next(sim);
    checker.feed(p->bytes, p->length, p->timestamp_ns, p->corrupted != 0);
    if (p->corrupted) damaged.insert(p->bytes[0]);
  }
  bus_sim_destroy(sim);
  EXPECT_TRUE(checker.errors.empty()) << testing::PrintToString(checker.errors);
  EXPECT_TRUE(checker.corrupted > 0 && checker.corrupted < n / 200) << checker.corrupted;
  EXPECT_EQ(damaged.count(0xA5) > 0, speed != USB_SPEED_LOW) << "damaged SOFs";
  EXPECT_TRUE(damaged.count(0x69) && (damaged.count(0xC3) || damaged.count(0x4B))) << "damaged IN tokens and data";

  // The enumeration read a device, a configuration and three strings (one
  // with an e acute) whole, and configured the device at its new address.
  ASSERT_EQ(checker.strings.size(), 3u);
  EXPECT_TRUE(std::any_of(checker.strings.begin(), checker.strings.end(),
                          [](const std::u16string& s) { return s.find(u'\u00E9') != std::u16string::npos; }));
  bool set_config = false, qualifier_stalled = false, split_control = false;
  for (const CheckedControl& c : checker.controls) {
    set_config |= c.setup[0] == 0 && c.setup[1] == 9 && c.addr != 0;
    qualifier_stalled |= c.setup[1] == 6 && c.setup[3] == 6 && c.stalled;
    split_control |= c.via_split;
  }
  EXPECT_TRUE(set_config);
  EXPECT_EQ(qualifier_stalled, speed != USB_SPEED_HIGH) << "the device qualifier exists only at high speed";
  EXPECT_EQ(split_control, speed == USB_SPEED_HIGH) << "a control transfer through the hub";

  // Class traffic shows what a decoder must handle.
  EXPECT_GT(checker.pid_counts[0x5A], 100u) << "NAKs";
  EXPECT_GT(checker.pid_counts[0x1E], 0u) << "STALLs";
  EXPECT_GT(checker.short_data, 0u);
  EXPECT_EQ(checker.pid_counts[0xA5] > 1000, speed != USB_SPEED_LOW) << "SOFs, none at low speed";
  EXPECT_EQ(checker.max_size_bulk > 100, speed != USB_SPEED_LOW) << "full-size bulk packets";
  EXPECT_EQ(checker.zero_length > 0, speed != USB_SPEED_LOW) << "a bulk transfer ending on a packet boundary";
  EXPECT_EQ(checker.pid_counts[0xB4] > 0 && checker.pid_counts[0x96] > 0, speed == USB_SPEED_HIGH) << "PING and NYET";

  // The builder refuses data too long for USB 2.0.
  uint8_t b[USB_MAX_PACKET];
  std::vector<uint8_t> big(USB_MAX_PAYLOAD + 1, 1);
  EXPECT_EQ(usb_build_data(b, USB_PID_DATA0, big.data(), big.size()), 0u);
  EXPECT_EQ(usb_build_data(b, USB_PID_DATA0, big.data(), USB_MAX_PAYLOAD), (size_t)USB_MAX_PACKET);
}

INSTANTIATE_TEST_SUITE_P(Speeds, BackendSimulatedBus,
                         ::testing::Values(USB_SPEED_LOW, USB_SPEED_FULL, USB_SPEED_HIGH),
                         [](const ::testing::TestParamInfo<UsbSpeed>& info) {
                           return (std::vector<std::string>{"", "low", "full", "high"})[info.param];
                         });

}  // namespace
