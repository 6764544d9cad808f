#include "backend/usb_packet_builder.h"

#include <cstring>

#include "decode/cells/usb_crc.h"

uint8_t usb_crc5_bits(uint32_t value, unsigned nbits) {
  // Bit-serial form of the generator x^5 + x^2 + 1: a token is short, so a
  // table would buy nothing.
  uint8_t reg = 0x1F;
  for (unsigned i = 0; i < nbits; i++) {
    unsigned in = (value >> i) & 1u;
    unsigned out = (reg >> 4) & 1u;
    reg = (uint8_t)((reg << 1) & 0x1F);
    if (in != out) reg ^= 0x05;
  }
  reg = (uint8_t)(~reg & 0x1F);
  // The register's high bit goes on the wire first, so it lands in the
  // field's lowest CRC bit.
  uint8_t rev = 0;
  for (int i = 0; i < 5; i++)
    if (reg & (1u << i)) rev |= (uint8_t)(1u << (4 - i));
  return rev;
}

static size_t put_token_field(uint8_t* out, uint8_t pid, uint16_t field11) {
  field11 &= 0x7FF;
  uint16_t word = (uint16_t)(field11 | (usb_crc5_bits(field11, 11) << 11));
  out[0] = pid;
  out[1] = (uint8_t)(word & 0xFF);
  out[2] = (uint8_t)(word >> 8);
  return 3;
}

size_t usb_build_token(uint8_t* out, uint8_t pid, uint8_t addr, uint8_t endpoint) {
  return put_token_field(out, pid, (uint16_t)((addr & 0x7F) | ((endpoint & 0x0F) << 7)));
}

size_t usb_build_sof(uint8_t* out, uint16_t frame) { return put_token_field(out, USB_PID_SOF, frame); }

size_t usb_build_data(uint8_t* out, uint8_t pid, const uint8_t* payload, size_t len) {
  if (len > USB_MAX_PAYLOAD) return 0;
  out[0] = pid;
  if (len) memcpy(out + 1, payload, len);
  uint16_t crc = crc16_usb(out + 1, len);
  out[1 + len] = (uint8_t)(crc & 0xFF);
  out[2 + len] = (uint8_t)(crc >> 8);
  return len + 3;
}

size_t usb_build_handshake(uint8_t* out, uint8_t pid) {
  out[0] = pid;
  return 1;
}

size_t usb_build_split(uint8_t* out, const UsbSplitFields* f) {
  uint32_t field = (uint32_t)(f->hub_addr & 0x7F) | ((uint32_t)(f->complete & 1) << 7) |
                   ((uint32_t)(f->port & 0x7F) << 8) | ((uint32_t)(f->s & 1) << 15) |
                   ((uint32_t)(f->e & 1) << 16) | ((uint32_t)(f->et & 3) << 17);
  field |= (uint32_t)usb_crc5_bits(field, 19) << 19;
  out[0] = USB_PID_SPLIT;
  out[1] = (uint8_t)(field & 0xFF);
  out[2] = (uint8_t)((field >> 8) & 0xFF);
  out[3] = (uint8_t)((field >> 16) & 0xFF);
  return 4;
}
