// CRC-16/USB: polynomial 0x8005 reflected, initial value 0xFFFF, result
// inverted. Protects every display cell and every USB data packet.
#pragma once

#include <cstddef>
#include <cstdint>

// CRC over `len` bytes; 0x0000 for no bytes, 0xB4C8 for "123456789".
uint16_t crc16_usb(const uint8_t* data, size_t len);
