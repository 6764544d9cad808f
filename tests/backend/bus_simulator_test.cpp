// The simulated bus against an independent protocol checker, at every speed.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>

#include "backend/bus_simulator.h"
#include "backend/device_model.h"
#include "tests/backend/usb_stream_checker.h"

namespace {

struct SimDeleter {
  void operator()(BusSimulator* s) const { bus_sim_destroy(s); }
};
using SimPtr = std::unique_ptr<BusSimulator, SimDeleter>;

// Enough packets for enumeration and a good stretch of class traffic at
// every speed, small enough to check in well under a second.
uint64_t packets_for(UsbSpeed speed) { return speed == USB_SPEED_LOW ? 20000 : 150000; }

std::string errors_text(const UsbStreamChecker& c) {
  std::string s;
  for (const std::string& e : c.errors) s += "  " + e + "\n";
  return s;
}

class BackendSimulatedBus : public ::testing::TestWithParam<UsbSpeed> {
 protected:
  void run(uint64_t seed, uint32_t corrupt_one_in = 10000, uint64_t divide = 1) {
    SimPtr sim(bus_sim_create(GetParam(), seed));
    ASSERT_NE(sim, nullptr);
    bus_sim_set_corruption(sim.get(), corrupt_one_in);
    uint64_t n = packets_for(GetParam()) / divide;
    for (uint64_t i = 0; i < n; i++) {
      const SimPacketView* p = bus_sim_next(sim.get());
      checker.feed(p->bytes, p->length, p->timestamp_ns, p->corrupted != 0);
    }
    checker.finish();
  }
  const CheckedControl* find_control(uint8_t type, uint8_t request, uint16_t value, uint16_t length) {
    for (const CheckedControl& c : checker.controls) {
      if (c.setup[0] == type && c.setup[1] == request && (c.setup[2] | c.setup[3] << 8) == value &&
          (c.setup[6] | c.setup[7] << 8) == length)
        return &c;
    }
    return nullptr;
  }
  UsbStreamChecker checker{GetParam()};
};

TEST_P(BackendSimulatedBus, EveryPacketAndTransactionFollowsTheProtocol) {
  run(1);
  EXPECT_EQ(checker.error_count, 0u) << errors_text(checker);
  EXPECT_EQ(checker.packets, packets_for(GetParam()));
}

TEST_P(BackendSimulatedBus, OtherSeedsAreJustAsCorrect) {
  for (uint64_t seed : {2ull, 77ull, 0xDEADBEEFull}) {
    UsbStreamChecker fresh(GetParam());
    checker = fresh;
    run(seed, 10000, 3);
    EXPECT_EQ(checker.error_count, 0u) << "seed " << seed << "\n" << errors_text(checker);
  }
}

TEST_P(BackendSimulatedBus, EnumerationReadsEveryDescriptorWhole) {
  run(5, 0);
  ASSERT_EQ(checker.error_count, 0u) << errors_text(checker);
  // The first read, at address 0, asks for 64 bytes and gets the 18 there are.
  const CheckedControl* first = find_control(0x80, 6, 0x0100, 64);
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(first->addr, 0);
  EXPECT_EQ(first->data.size(), 18u);
  const CheckedControl* set_address = nullptr;
  for (const CheckedControl& c : checker.controls)
    if (c.setup[0] == 0 && c.setup[1] == 5) set_address = &c;
  ASSERT_NE(set_address, nullptr);
  uint8_t addr = set_address->setup[2];
  EXPECT_NE(addr, 0);
  const CheckedControl* device = find_control(0x80, 6, 0x0100, 18);
  ASSERT_NE(device, nullptr);
  EXPECT_EQ(device->addr, addr) << "the device must answer at its new address";
  const CheckedControl* config9 = find_control(0x80, 6, 0x0200, 9);
  ASSERT_NE(config9, nullptr);
  ASSERT_EQ(config9->data.size(), 9u);
  uint16_t total = (uint16_t)(config9->data[2] | config9->data[3] << 8);
  const CheckedControl* config = find_control(0x80, 6, 0x0200, total);
  ASSERT_NE(config, nullptr);
  EXPECT_EQ(config->data.size(), total);
  // The device qualifier exists only on a high-speed device.
  const CheckedControl* qualifier = find_control(0x80, 6, 0x0600, 10);
  ASSERT_NE(qualifier, nullptr);
  EXPECT_EQ(qualifier->stalled, GetParam() != USB_SPEED_HIGH);
  // Language table, then three strings, each read whole at its exact length.
  ASSERT_EQ(checker.strings.size(), 3u);
  EXPECT_TRUE(std::any_of(checker.strings.begin(), checker.strings.end(),
                          [](const std::u16string& s) { return s.find(u'\u00E9') != std::u16string::npos; }))
      << "the serial number carries an e with acute accent";
  EXPECT_NE(find_control(0x00, 9, 1, 0), nullptr) << "SET_CONFIGURATION(1)";
}

TEST_P(BackendSimulatedBus, ClassTrafficShowsWhatADecoderMustHandle) {
  run(3);
  ASSERT_EQ(checker.error_count, 0u) << errors_text(checker);
  auto count = [&](uint8_t pid) { return checker.pid_counts.count(pid) ? checker.pid_counts[pid] : 0; };
  EXPECT_GT(count(0x5A), 100u) << "NAKs";
  EXPECT_GT(checker.stalls, 0u);
  EXPECT_GT(count(0xC3), 0u);
  EXPECT_GT(count(0x4B), 0u);
  EXPECT_GT(checker.short_data, 0u);
  if (GetParam() == USB_SPEED_LOW) {
    EXPECT_EQ(count(0xA5), 0u) << "no SOF at low speed";
    EXPECT_EQ(count(0x78), 0u);
    EXPECT_EQ(checker.max_size_bulk, 0u) << "no bulk at low speed";
    return;
  }
  EXPECT_GT(count(0xA5), 1000u);
  EXPECT_GT(checker.max_size_bulk, 100u) << "full-size bulk packets (512 or 64 bytes)";
  EXPECT_GT(count(0xE1), 100u) << "OUT data";
  EXPECT_GT(checker.zero_length, 0u) << "a bulk transfer ending on a packet boundary";
  if (GetParam() == USB_SPEED_HIGH) {
    EXPECT_GT(checker.ssplits, 50u);
    EXPECT_GT(checker.csplits, 50u);
    EXPECT_GT(count(0xB4), 0u) << "PING";
    EXPECT_GT(count(0x96), 0u) << "NYET";
    bool split_control = std::any_of(checker.controls.begin(), checker.controls.end(),
                                     [](const CheckedControl& c) { return c.via_split; });
    EXPECT_TRUE(split_control) << "a control transfer through the hub";
  } else {
    EXPECT_EQ(count(0x78), 0u);
    EXPECT_EQ(count(0xB4), 0u);
  }
}

TEST_P(BackendSimulatedBus, DamagedPacketsAreRareAndFailOnlyTheirCrc) {
  run(11, 500);  // many more than the default, to see them at all speeds
  EXPECT_EQ(checker.error_count, 0u) << errors_text(checker);
  EXPECT_GT(checker.corrupted, 0u);
  EXPECT_LT(checker.corrupted, checker.packets / 100);
}

TEST_P(BackendSimulatedBus, SameSeedSameBusOtherSeedOtherBus) {
  auto digest = [&](uint64_t seed) {
    SimPtr sim(bus_sim_create(GetParam(), seed));
    uint64_t h = 1469598103934665603ull;
    for (int i = 0; i < 20000; i++) {
      const SimPacketView* p = bus_sim_next(sim.get());
      for (uint32_t k = 0; k < p->length; k++) h = (h ^ p->bytes[k]) * 1099511628211ull;
      h = (h ^ p->timestamp_ns) * 1099511628211ull;
    }
    return h;
  };
  EXPECT_EQ(digest(42), digest(42));
  EXPECT_NE(digest(42), digest(43));
}

INSTANTIATE_TEST_SUITE_P(Speeds, BackendSimulatedBus,
                         ::testing::Values(USB_SPEED_LOW, USB_SPEED_FULL, USB_SPEED_HIGH),
                         [](const ::testing::TestParamInfo<UsbSpeed>& info) {
                           return std::string(info.param == USB_SPEED_LOW    ? "low"
                                              : info.param == USB_SPEED_FULL ? "full"
                                                                             : "high");
                         });

TEST(BackendSimulatedBusDamage, DefaultRateIsAboutOneInTenThousand) {
  // Low speed has too few packets per run to count; only tokens and data
  // packets with payload can carry a damaged CRC.
  for (UsbSpeed speed : {USB_SPEED_FULL, USB_SPEED_HIGH}) {
    SimPtr sim(bus_sim_create(speed, 12));
    uint64_t damaged = 0;
    for (int i = 0; i < 150000; i++) damaged += bus_sim_next(sim.get())->corrupted;
    EXPECT_GE(damaged, 2u) << "speed " << speed;
    EXPECT_LE(damaged, 40u) << "speed " << speed;
  }
}

TEST(BackendSimulatedBusTiming, PacketsTakeTheirBitTimes) {
  // An 11-byte DATA0 at full speed takes at least 88 bit times of 83.3 ns.
  SimPtr sim(bus_sim_create(USB_SPEED_FULL, 1));
  uint64_t prev_ts = 0;
  uint32_t prev_len = 0;
  int checked = 0;
  for (int i = 0; i < 5000 && checked < 20; i++) {
    const SimPacketView* p = bus_sim_next(sim.get());
    if (prev_len) {
      EXPECT_GE(p->timestamp_ns - prev_ts, (uint64_t)prev_len * 8 * 83) << "packet " << i;
      checked++;
    }
    prev_len = p->bytes[0] == 0xC3 && p->length == 11 ? 11 : 0;
    prev_ts = p->timestamp_ns;
  }
  EXPECT_GT(checked, 5);
}

}  // namespace
