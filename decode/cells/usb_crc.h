// The two CRCs of USB 2.0 packets. CRC-16/USB also protects every display cell.
#pragma once

#include <cstddef>
#include <cstdint>

// CRC-16/USB: polynomial 0x8005 reflected, initial value 0xFFFF, result
// inverted; 0x0000 for no bytes, 0xB4C8 for "123456789".
uint16_t crc16_usb(const uint8_t* data, size_t len);
// The same CRC on tables only: what crc16_usb falls back to on a CPU without
// carry-less multiplication, kept callable so both ways can be compared.
uint16_t crc16_usb_tables(const uint8_t* data, size_t len);
// 1 when crc16_usb uses carry-less multiplication for long blocks on this CPU.
int crc16_usb_accelerated(void);

// CRC5 of a token over the 11 low bits of `field` (address and endpoint, or
// the frame number), as it stands in bits 11..15 of the token field: SETUP to
// address 0, endpoint 0 (bytes 2D 00 10) has CRC5 2.
uint8_t crc5_usb(uint16_t field);
