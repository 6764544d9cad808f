// The two USB CRCs, table-driven. Both tables are built at compile time from
// the bit-serial definitions, so there is nothing to initialise at run time.
#include "decode/cells/usb_crc.h"

#include <array>

namespace {

// CRC-16/USB processes bytes least significant bit first, so the register
// shifts right with the reflected polynomial 0xA001.
constexpr std::array<uint16_t, 256> make_crc16_table() {
  std::array<uint16_t, 256> t{};
  for (unsigned b = 0; b < 256; ++b) {
    uint16_t r = (uint16_t)b;
    for (int i = 0; i < 8; ++i) r = (r & 1) ? (uint16_t)((r >> 1) ^ 0xA001) : (uint16_t)(r >> 1);
    t[b] = r;
  }
  return t;
}

// Second table for two bytes per step: the effect of a byte followed by a zero byte.
constexpr std::array<uint16_t, 256> make_crc16_table_hi(const std::array<uint16_t, 256>& t) {
  std::array<uint16_t, 256> h{};
  for (unsigned b = 0; b < 256; ++b) h[b] = (uint16_t)((t[b] >> 8) ^ t[t[b] & 0xFF]);
  return h;
}

constexpr std::array<uint16_t, 256> kCrc16 = make_crc16_table();
constexpr std::array<uint16_t, 256> kCrc16Hi = make_crc16_table_hi(kCrc16);

// Token CRC of every 11-bit field: register starts at 0x1F, polynomial 0x05,
// data least significant bit first; the inverted register is stored with its
// bits reversed so that it reads as bits 11..15 of the token field.
constexpr uint8_t crc5_serial(uint16_t field) {
  uint8_t r = 0x1F;
  for (int i = 0; i < 11; ++i) {
    uint8_t in = (uint8_t)((field >> i) & 1);
    uint8_t out = (uint8_t)((r >> 4) & 1);
    r = (uint8_t)((r << 1) & 0x1F);
    if (out != in) r ^= 0x05;
  }
  r = (uint8_t)(~r & 0x1F);
  uint8_t rev = 0;
  for (int i = 0; i < 5; ++i) rev = (uint8_t)(rev | (((r >> i) & 1) << (4 - i)));
  return rev;
}

constexpr std::array<uint8_t, 2048> make_crc5_table() {
  std::array<uint8_t, 2048> t{};
  for (unsigned f = 0; f < 2048; ++f) t[f] = crc5_serial((uint16_t)f);
  return t;
}

constexpr std::array<uint8_t, 2048> kCrc5 = make_crc5_table();

static_assert(kCrc5[0] == 2, "SETUP to address 0, endpoint 0 carries CRC5 2");

}  // namespace

uint16_t crc16_usb(const uint8_t* data, size_t len) {
  uint16_t r = 0xFFFF;
  size_t i = 0;
  // Two bytes per step: fold both into the register, then look each half up.
  for (; i + 2 <= len; i += 2) {
    r ^= (uint16_t)(data[i] | (data[i + 1] << 8));
    r = (uint16_t)(kCrc16Hi[r & 0xFF] ^ kCrc16[r >> 8]);
  }
  if (i < len) r = (uint16_t)((r >> 8) ^ kCrc16[(r ^ data[i]) & 0xFF]);
  return (uint16_t)~r;
}

uint8_t crc5_usb(uint16_t field) { return kCrc5[field & 0x7FF]; }
