// Builders of raw USB 2.0 packets exactly as they travel on the bus: PID byte
// first (low nibble the PID, high nibble its complement), then the fields,
// payload and CRC. Tokens carry a CRC5 over their 11-bit field, SPLIT tokens
// a CRC5 over their 19-bit field, data packets a CRC16 over the payload.
// Every builder writes into a caller buffer and returns the packet length.
#pragma once

#include <cstddef>
#include <cstdint>

// PID bytes as they appear on the wire.
enum UsbPid : uint8_t {
  USB_PID_OUT = 0xE1,
  USB_PID_IN = 0x69,
  USB_PID_SOF = 0xA5,
  USB_PID_SETUP = 0x2D,
  USB_PID_DATA0 = 0xC3,
  USB_PID_DATA1 = 0x4B,
  USB_PID_DATA2 = 0x87,
  USB_PID_MDATA = 0x0F,
  USB_PID_ACK = 0xD2,
  USB_PID_NAK = 0x5A,
  USB_PID_STALL = 0x1E,
  USB_PID_NYET = 0x96,
  USB_PID_ERR = 0x3C,
  USB_PID_SPLIT = 0x78,
  USB_PID_PING = 0xB4,
};

// Largest data payload of USB 2.0 (high-speed isochronous and interrupt).
enum { USB_MAX_PAYLOAD = 1024, USB_MAX_PACKET = USB_MAX_PAYLOAD + 3 };

// Transfer type codes as used in the ET field of a SPLIT token and in an
// endpoint descriptor's bmAttributes.
enum UsbTransferType : uint8_t {
  USB_XFER_CONTROL = 0,
  USB_XFER_ISOCHRONOUS = 1,
  USB_XFER_BULK = 2,
  USB_XFER_INTERRUPT = 3,
};

// The fields of a SPLIT token (hub address first on the wire).
struct UsbSplitFields {
  uint8_t hub_addr;  // 7 bits: the high-speed hub that holds the transaction translator
  uint8_t complete;  // SC bit: 0 start-split (SSPLIT), 1 complete-split (CSPLIT)
  uint8_t port;      // 7 bits: hub port of the full- or low-speed device
  uint8_t s;         // S bit: 1 low speed, 0 full speed (start/end for isochronous OUT)
  uint8_t e;         // E bit of a start-split, U bit (always 0) of a complete-split
  uint8_t et;        // endpoint type, a UsbTransferType
};

// The USB CRC5 over the `nbits` low bits of `value`, least significant bit
// first; the five result bits as they are stored after the field.
uint8_t usb_crc5_bits(uint32_t value, unsigned nbits);

// SETUP, IN, OUT or PING token to `addr` (7 bits) and `endpoint` (4 bits); 3 bytes.
size_t usb_build_token(uint8_t* out, uint8_t pid, uint8_t addr, uint8_t endpoint);
// Start-of-frame with the 11-bit frame number; 3 bytes.
size_t usb_build_sof(uint8_t* out, uint16_t frame);
// Data packet with `len` payload bytes (at most USB_MAX_PAYLOAD) and its
// CRC16; len + 3 bytes, or 0 when the payload is too long.
size_t usb_build_data(uint8_t* out, uint8_t pid, const uint8_t* payload, size_t len);
// Handshake (ACK, NAK, STALL, NYET, ERR); 1 byte.
size_t usb_build_handshake(uint8_t* out, uint8_t pid);
// SPLIT token; 4 bytes.
size_t usb_build_split(uint8_t* out, const UsbSplitFields* fields);
