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

TEST(Crc16Usb, CheckValuesAndDataPacketsRecordedOnARealBus) {
  EXPECT_EQ(0xB4C8, crc16_usb((const uint8_t*)"123456789", 9));
  EXPECT_EQ(0x0000, crc16_usb(nullptr, 0));
  // DATA0 of GET_DESCRIPTOR(device, 64) and a DATA1 of the reply: the CRC16
  // after the payload, low byte first, must be ours.
  const uint8_t setup[] = {0xC3, 0x80, 0x06, 0x00, 0x01, 0x00, 0x00, 0x40, 0x00, 0xDD, 0x94};
  const uint8_t reply[] = {0x4B, 0x12, 0x01, 0x00, 0x02, 0x00, 0x00, 0x00, 0x08, 0x57, 0xE7};
  EXPECT_EQ(0x94DD, crc16_usb(setup + 1, 8));
  EXPECT_EQ(0xE757, crc16_usb(reply + 1, 8));
}

TEST(Crc16Usb, EveryLengthAndAlignmentMatchesTheModel) {
  // Lengths up to past the largest cell and every start offset within 16
  // bytes: the long-block path folds 64 bytes at a time and finishes the
  // rest on tables, so every remainder and misalignment must agree.
  if (!crc16_usb_accelerated()) GTEST_LOG_(INFO) << "no carry-less multiply on this CPU";
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
  // Every length up to past the fold boundaries (the odd tail after the
  // two-byte steps included), on random bytes and on the worst bytes for a
  // dropped carry: all ones and all zeros.
  for (int fill : {-1, 0x00, 0xFF}) {
    std::vector<uint8_t> same(600, (uint8_t)fill);
    if (fill < 0) same.assign(buf.begin(), buf.begin() + 600);
    for (size_t n = 0; n <= 600; ++n)
      ASSERT_EQ(crc16_reference(same.data(), n), crc16_usb(same.data(), n))
          << "length " << n << " fill " << fill;
  }
}

TEST(Crc5Usb, TableMatchesBitSerialModelForEveryField) {
  for (uint32_t f = 0; f < 2048; ++f) ASSERT_EQ(crc5_reference((uint16_t)f), crc5_usb((uint16_t)f)) << f;
  // Bits above the 11-bit field do not take part.
  EXPECT_EQ(crc5_usb(0x0123), crc5_usb(0xF923));
}

}  // namespace
