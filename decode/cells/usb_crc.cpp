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

// Tables for eight bytes per step: kCrc16By8[k][b] is the effect of byte b
// followed by k zero bytes.
struct Crc16Slices {
  uint16_t t[8][256];
  constexpr Crc16Slices() : t() {
    std::array<uint16_t, 256> base = make_crc16_table();
    for (int b = 0; b < 256; ++b) t[0][b] = base[b];
    for (int k = 1; k < 8; ++k)
      for (int b = 0; b < 256; ++b)
        t[k][b] = (uint16_t)((t[k - 1][b] >> 8) ^ t[0][t[k - 1][b] & 0xFF]);
  }
};

constexpr std::array<uint16_t, 256> kCrc16 = make_crc16_table();
constexpr Crc16Slices kSlices;

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
  const uint16_t(*t)[256] = kSlices.t;
  uint16_t r = 0xFFFF;
  size_t i = 0;
  // Eight bytes per step: the register folds into the first two, and every
  // byte is looked up in the table for its distance from the end of the step.
  for (; i + 8 <= len; i += 8) {
    const uint8_t* d = data + i;
    r = (uint16_t)(t[7][d[0] ^ (r & 0xFF)] ^ t[6][d[1] ^ (r >> 8)] ^ t[5][d[2]] ^ t[4][d[3]] ^
                   t[3][d[4]] ^ t[2][d[5]] ^ t[1][d[6]] ^ t[0][d[7]]);
  }
  for (; i + 2 <= len; i += 2)
    r = (uint16_t)(t[1][data[i] ^ (r & 0xFF)] ^ t[0][data[i + 1] ^ (r >> 8)]);
  if (i < len) r = (uint16_t)((r >> 8) ^ t[0][(r ^ data[i]) & 0xFF]);
  return (uint16_t)~r;
}

uint8_t crc5_usb(uint16_t field) { return kCrc5[field & 0x7FF]; }
