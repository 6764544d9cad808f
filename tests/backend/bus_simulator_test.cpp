// The simulated bus against a protocol checker of its own (the decoder's
// packet check plus the transaction, toggle, SOF and descriptor rules): one
// run per speed.
#include <gtest/gtest.h>

#include <algorithm>
#include <set>

#include "backend/bus_simulator.h"
#include "tests/backend/usb_stream_checker.h"

namespace {

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
  std::string errors;
  for (const std::string& e : checker.errors) errors += "  " + e + "\n";
  EXPECT_EQ(checker.error_count, 0u) << errors;
  EXPECT_GT(checker.corrupted, 0u);
  EXPECT_LT(checker.corrupted, n / 200);
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
  auto count = [&](uint8_t pid) { return checker.pid_counts.count(pid) ? checker.pid_counts[pid] : 0; };
  EXPECT_GT(count(0x5A), 100u) << "NAKs";
  EXPECT_GT(checker.stalls, 0u);
  EXPECT_GT(checker.short_data, 0u);
  EXPECT_EQ(count(0xA5) > 1000, speed != USB_SPEED_LOW) << "SOFs, none at low speed";
  EXPECT_EQ(checker.max_size_bulk > 100, speed != USB_SPEED_LOW) << "full-size bulk packets";
  EXPECT_EQ(checker.zero_length > 0, speed != USB_SPEED_LOW) << "a bulk transfer ending on a packet boundary";
  EXPECT_EQ(count(0xB4) > 0 && count(0x96) > 0, speed == USB_SPEED_HIGH) << "PING and NYET";

  // The builder refuses data too long for USB 2.0.
  uint8_t b[USB_MAX_PACKET];
  std::vector<uint8_t> big(USB_MAX_PAYLOAD + 1, 1);
  EXPECT_EQ(usb_build_data(b, USB_PID_DATA0, big.data(), big.size()), 0u);
  EXPECT_EQ(usb_build_data(b, USB_PID_DATA0, big.data(), USB_MAX_PAYLOAD), (size_t)USB_MAX_PACKET);
}

INSTANTIATE_TEST_SUITE_P(Speeds, BackendSimulatedBus,
                         ::testing::Values(USB_SPEED_LOW, USB_SPEED_FULL, USB_SPEED_HIGH),
                         [](const ::testing::TestParamInfo<UsbSpeed>& info) {
                           return std::string(info.param == USB_SPEED_LOW    ? "low"
                                              : info.param == USB_SPEED_FULL ? "full"
                                                                             : "high");
                         });

}  // namespace
