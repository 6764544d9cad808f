// The USB CRC16 against an independent bit-serial model written here from
// its definition (token CRC5s are checked by every packet validation).
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

TEST(Crc16Usb, EveryLengthAndAlignmentMatchesTheModel) {
  EXPECT_EQ(0xB4C8, crc16_reference((const uint8_t*)"123456789", 9));  // the model is the USB CRC
  // The long-block path folds 64 bytes at a time and finishes on tables:
  // every remainder and misalignment must agree.
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
  // Every length past the fold boundaries, also on all ones and all zeros (a dropped carry).
  for (int fill : {-1, 0x00, 0xFF}) {
    std::vector<uint8_t> same(600, (uint8_t)fill);
    if (fill < 0) same.assign(buf.begin(), buf.begin() + 600);
    for (size_t n = 0; n <= 600; ++n)
      ASSERT_EQ(crc16_reference(same.data(), n), crc16_usb(same.data(), n))
          << "length " << n << " fill " << fill;
  }
}

}  // namespace
