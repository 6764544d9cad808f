// The USB CRCs against their check values and against an independent
// bit-serial model written here from the definitions.
#include "decode/cells/usb_crc.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

namespace {

// CRC-16 the long way: each byte bit-reversed into a left-shifting register
// with polynomial 0x8005, the result bit-reversed and inverted.
uint16_t crc16_reference(const uint8_t* d, size_t n) {
  uint16_t r = 0xFFFF;
  for (size_t i = 0; i < n; ++i) {
    for (int bit = 0; bit < 8; ++bit) {
      int in = (d[i] >> bit) & 1;  // least significant bit first
      int top = (r >> 15) & 1;
      r = (uint16_t)(r << 1);
      if (top != in) r ^= 0x8005;
    }
  }
  uint16_t rev = 0;
  for (int i = 0; i < 16; ++i)
    if (r & (1u << i)) rev |= (uint16_t)(1u << (15 - i));
  return (uint16_t)~rev;
}

// CRC5 the long way, as it is defined for tokens.
uint8_t crc5_reference(uint16_t field) {
  unsigned r = 0x1F;
  for (int i = 0; i < 11; ++i) {
    unsigned in = (field >> i) & 1;
    unsigned out = (r >> 4) & 1;
    r = (r << 1) & 0x1F;
    if (out != in) r ^= 0x05;
  }
  r = ~r & 0x1F;
  unsigned rev = 0;
  for (int i = 0; i < 5; ++i)
    if (r & (1u << i)) rev |= 1u << (4 - i);
  return (uint8_t)rev;
}

// Bits 11..15 of the little-endian token field of a three-byte token.
uint8_t stored_crc5(const uint8_t token[3]) { return (uint8_t)(token[2] >> 3); }
uint16_t token_field(const uint8_t token[3]) { return (uint16_t)(token[1] | (token[2] << 8)); }

TEST(Crc16Usb, CheckValues) {
  const char* digits = "123456789";
  EXPECT_EQ(0xB4C8, crc16_usb((const uint8_t*)digits, 9));
  EXPECT_EQ(0x0000, crc16_usb(nullptr, 0));
  // A one-byte input exercises the odd tail after the two-byte steps.
  uint8_t one = 0x00;
  EXPECT_EQ(crc16_reference(&one, 1), crc16_usb(&one, 1));
}

TEST(Crc16Usb, MatchesBitSerialModelOnRandomInputs) {
  std::mt19937 rng(1234);
  std::vector<uint8_t> buf(300);
  for (int round = 0; round < 500; ++round) {
    size_t n = rng() % buf.size();
    for (size_t i = 0; i < n; ++i) buf[i] = (uint8_t)rng();
    ASSERT_EQ(crc16_reference(buf.data(), n), crc16_usb(buf.data(), n)) << "length " << n;
  }
}

TEST(Crc16Usb, LongBlocksAtEveryAlignmentMatchTheModel) {
  // Lengths up to past the largest cell and every start offset within 16
  // bytes: the long-block path folds 64 bytes at a time and finishes the
  // rest on tables, so every remainder and misalignment must agree.
  std::mt19937 rng(99);
  std::vector<uint8_t> buf(5000 + 16);
  for (uint8_t& b : buf) b = (uint8_t)rng();
  for (int round = 0; round < 400; ++round) {
    size_t n = rng() % 5001;
    size_t at = rng() % 16;
    const uint8_t* p = buf.data() + at;
    uint16_t want = crc16_reference(p, n);
    ASSERT_EQ(want, crc16_usb(p, n)) << "length " << n << " offset " << at;
    ASSERT_EQ(want, crc16_usb_tables(p, n)) << "length " << n << " offset " << at;
  }
  // Every length around the fold boundaries, with the worst bytes for a
  // dropped carry: all ones and all zeros.
  for (uint8_t fill : {0x00, 0xFF}) {
    std::vector<uint8_t> same(600, fill);
    for (size_t n = 0; n <= 600; ++n)
      ASSERT_EQ(crc16_reference(same.data(), n), crc16_usb(same.data(), n))
          << "length " << n << " fill " << (int)fill;
  }
}

TEST(Crc16Usb, AcceleratedAndTableFormsAgreeOnAPayloadCell) {
  // A cell with a 512-byte payload, as the bulk data of a high-speed bus
  // produces: its stored CRC must read back whichever way it is computed.
  std::vector<uint8_t> cell(520);
  std::mt19937 rng(7);
  for (uint8_t& b : cell) b = (uint8_t)rng();
  uint16_t a = crc16_usb(cell.data(), 518), b = crc16_usb_tables(cell.data(), 518);
  EXPECT_EQ(a, b);
  EXPECT_EQ(crc16_reference(cell.data(), 518), a);
  if (!crc16_usb_accelerated()) GTEST_LOG_(INFO) << "no carry-less multiply on this CPU";
}

TEST(Crc16Usb, DataPacketsRecordedOnARealBus) {
  // DATA0 of GET_DESCRIPTOR(device, 64) and a DATA1 of the reply: the CRC16
  // after the payload, low byte first, must be ours.
  const uint8_t setup[] = {0xC3, 0x80, 0x06, 0x00, 0x01, 0x00, 0x00, 0x40, 0x00, 0xDD, 0x94};
  const uint8_t reply[] = {0x4B, 0x12, 0x01, 0x00, 0x02, 0x00, 0x00, 0x00, 0x08, 0x57, 0xE7};
  EXPECT_EQ(0x94DD, crc16_usb(setup + 1, 8));
  EXPECT_EQ(0xE757, crc16_usb(reply + 1, 8));
}

TEST(Crc5Usb, SetupToAddressZero) {
  const uint8_t setup[3] = {0x2D, 0x00, 0x10};
  EXPECT_EQ(2, crc5_usb(token_field(setup)));
  EXPECT_EQ(stored_crc5(setup), crc5_usb(token_field(setup) & 0x7FF));
  const uint8_t bad[3] = {0x2D, 0x00, 0x00};
  EXPECT_NE(stored_crc5(bad), crc5_usb(token_field(bad) & 0x7FF));
}

TEST(Crc5Usb, TokensRecordedOnRealBuses) {
  // SETUP and IN to address 4 and SOFs of frames 0x0E4, 0x0E5 and 0x11C, as
  // recorded from real devices: the CRC5 they carry must be ours.
  const uint8_t tokens[][3] = {{0x2D, 0x04, 0x28}, {0x69, 0x84, 0x98}, {0xA5, 0xE4, 0x48},
                               {0xA5, 0xE5, 0xB0}, {0xA5, 0x1C, 0x91}, {0x69, 0x00, 0x10}};
  for (const auto& t : tokens) {
    EXPECT_EQ(stored_crc5(t), crc5_usb(token_field(t) & 0x7FF)) << std::hex << (int)t[0] << " "
                                                                 << (int)t[1] << " " << (int)t[2];
    EXPECT_EQ(stored_crc5(t), crc5_reference(token_field(t) & 0x7FF));
  }
}

TEST(Crc5Usb, TableMatchesBitSerialModelForEveryField) {
  for (uint32_t f = 0; f < 2048; ++f) ASSERT_EQ(crc5_reference((uint16_t)f), crc5_usb((uint16_t)f)) << f;
  // Bits above the 11-bit field do not take part.
  EXPECT_EQ(crc5_usb(0x0123), crc5_usb(0xF923));
}

}  // namespace
