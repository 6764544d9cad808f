// The packet builders against packets recorded from real hardware and
// against the CRC routines the decoder uses.
#include <gtest/gtest.h>

#include <vector>

#include "backend/device_model.h"
#include "backend/usb_packet_builder.h"
#include "decode/cells/usb_crc.h"

namespace {

std::vector<uint8_t> bytes(const uint8_t* p, size_t n) { return std::vector<uint8_t>(p, p + n); }

TEST(BackendPacketBuilder, TokensAndSplitsMatchRecordedPackets) {
  uint8_t b[8];
  ASSERT_EQ(usb_build_token(b, USB_PID_SETUP, 0, 0), 3u);
  EXPECT_EQ(bytes(b, 3), (std::vector<uint8_t>{0x2D, 0x00, 0x10}));
  // From split-enum.pcap: IN to 12.1, and the start/complete-splits to hub
  // 12, port 2, low speed, control.
  usb_build_token(b, USB_PID_IN, 12, 1);
  EXPECT_EQ(bytes(b, 3), (std::vector<uint8_t>{0x69, 0x8C, 0xE8}));
  UsbSplitFields start = {12, 0, 2, 1, 0, USB_XFER_CONTROL};
  ASSERT_EQ(usb_build_split(b, &start), 4u);
  EXPECT_EQ(bytes(b, 4), (std::vector<uint8_t>{0x78, 0x0C, 0x82, 0xC8}));
  UsbSplitFields complete = {12, 1, 2, 1, 0, USB_XFER_CONTROL};
  usb_build_split(b, &complete);
  EXPECT_EQ(bytes(b, 4), (std::vector<uint8_t>{0x78, 0x8C, 0x82, 0x10}));
}

TEST(BackendPacketBuilder, Crc5AgreesWithTheDecodersForEveryTokenField) {
  for (uint32_t field = 0; field < 2048; field++)
    ASSERT_EQ(usb_crc5_bits(field, 11), crc5_usb((uint16_t)field)) << "field " << field;
  uint8_t b[3];
  usb_build_sof(b, 0x7FF);
  EXPECT_EQ(b[0], USB_PID_SOF);
  EXPECT_EQ((b[1] | b[2] << 8) & 0x7FF, 0x7FF);
}

TEST(BackendPacketBuilder, DataPacketsCarryTheCrc16OfTheirPayload) {
  // From split-enum.pcap: the GET_DESCRIPTOR setup packet.
  const uint8_t setup[8] = {0x80, 0x06, 0x00, 0x01, 0x00, 0x00, 0x40, 0x00};
  uint8_t b[USB_MAX_PACKET];
  ASSERT_EQ(usb_build_data(b, USB_PID_DATA0, setup, 8), 11u);
  EXPECT_EQ(b[9], 0xDD);
  EXPECT_EQ(b[10], 0x94);
  ASSERT_EQ(usb_build_data(b, USB_PID_DATA1, nullptr, 0), 3u);
  EXPECT_EQ(bytes(b, 3), (std::vector<uint8_t>{0x4B, 0x00, 0x00}));
  std::vector<uint8_t> big(USB_MAX_PAYLOAD + 1, 1);
  EXPECT_EQ(usb_build_data(b, USB_PID_DATA0, big.data(), big.size()), 0u) << "too long for USB 2.0";
  EXPECT_EQ(usb_build_data(b, USB_PID_DATA0, big.data(), USB_MAX_PAYLOAD), (size_t)USB_MAX_PACKET);
}

TEST(BackendDeviceModel, DescriptorsAreConsistentAtEverySpeed) {
  for (UsbSpeed speed : {USB_SPEED_LOW, USB_SPEED_FULL, USB_SPEED_HIGH}) {
    DeviceModel m;
    device_model_init(&m, speed);
    uint16_t len = 0;
    const uint8_t* cfg = device_model_descriptor(&m, USB_DESC_CONFIGURATION, 0, &len);
    ASSERT_NE(cfg, nullptr);
    EXPECT_EQ(len, cfg[2] | cfg[3] << 8);
    int endpoints = 0;
    for (uint16_t off = 0; off < len; off = (uint16_t)(off + cfg[off])) {
      ASSERT_GE(cfg[off], 2);
      if (cfg[off + 1] == USB_DESC_ENDPOINT) endpoints++;
    }
    EXPECT_EQ(endpoints, m.endpoint_count);
    EXPECT_EQ(device_model_descriptor(&m, USB_DESC_DEVICE_QUALIFIER, 0, &len) != nullptr,
              speed == USB_SPEED_HIGH);
    EXPECT_EQ(device_model_descriptor(&m, USB_DESC_STRING, 4, &len), nullptr);
    // The serial number holds U+00E9 as one UTF-16 unit.
    const uint8_t* serial = device_model_descriptor(&m, USB_DESC_STRING, 3, &len);
    ASSERT_NE(serial, nullptr);
    bool found = false;
    for (uint16_t i = 2; i + 1 < len; i += 2) found |= serial[i] == 0xE9 && serial[i + 1] == 0x00;
    EXPECT_TRUE(found);
  }
}

}  // namespace
