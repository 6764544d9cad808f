// The packet builders against packets recorded from real hardware (from
// split-enum.pcap) and against the CRC routine the decoder uses.
#include <gtest/gtest.h>

#include <vector>

#include "backend/usb_packet_builder.h"
#include "decode/cells/usb_crc.h"

namespace {

using Bytes = std::vector<uint8_t>;

TEST(BackendPacketBuilder, PacketsMatchRecordedOnesAndOversizeDataIsRefused) {
  uint8_t b[USB_MAX_PACKET];
  auto built = [&b](size_t n) { return Bytes(b, b + n); };
  ASSERT_EQ(usb_build_token(b, USB_PID_SETUP, 0, 0), 3u);
  EXPECT_EQ(built(3), (Bytes{0x2D, 0x00, 0x10}));
  usb_build_token(b, USB_PID_IN, 12, 1);
  EXPECT_EQ(built(3), (Bytes{0x69, 0x8C, 0xE8}));
  // Start- and complete-split to hub 12, port 2, low speed, control.
  UsbSplitFields start = {12, 0, 2, 1, 0, USB_XFER_CONTROL}, complete = {12, 1, 2, 1, 0, USB_XFER_CONTROL};
  ASSERT_EQ(usb_build_split(b, &start), 4u);
  EXPECT_EQ(built(4), (Bytes{0x78, 0x0C, 0x82, 0xC8}));
  usb_build_split(b, &complete);
  EXPECT_EQ(built(4), (Bytes{0x78, 0x8C, 0x82, 0x10}));
  const uint8_t setup[8] = {0x80, 0x06, 0x00, 0x01, 0x00, 0x00, 0x40, 0x00};
  ASSERT_EQ(usb_build_data(b, USB_PID_DATA0, setup, 8), 11u);
  EXPECT_EQ(built(11), (Bytes{0xC3, 0x80, 0x06, 0x00, 0x01, 0x00, 0x00, 0x40, 0x00, 0xDD, 0x94}));
  ASSERT_EQ(usb_build_data(b, USB_PID_DATA1, nullptr, 0), 3u);
  EXPECT_EQ(built(3), (Bytes{0x4B, 0x00, 0x00}));
  usb_build_sof(b, 0x7FF);
  EXPECT_EQ(b[0], USB_PID_SOF);
  EXPECT_EQ((b[1] | b[2] << 8) & 0x7FF, 0x7FF);
  for (uint32_t field = 0; field < 2048; field++)
    ASSERT_EQ(usb_crc5_bits(field, 11), crc5_usb((uint16_t)field)) << "field " << field;
  Bytes big(USB_MAX_PAYLOAD + 1, 1);
  EXPECT_EQ(usb_build_data(b, USB_PID_DATA0, big.data(), big.size()), 0u) << "too long for USB 2.0";
  EXPECT_EQ(usb_build_data(b, USB_PID_DATA0, big.data(), USB_MAX_PAYLOAD), (size_t)USB_MAX_PACKET);
}

}  // namespace
