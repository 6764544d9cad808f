// USB 2.0 packets as they arrive from the bus: packet identifiers, their
// classes, the validity rules (lengths, CRC5, CRC16) and the time text shown
// for every time stamp.
#pragma once

#include <cstddef>
#include <cstdint>

enum UsbPid : uint8_t {
  PID_SOF = 0xA5,
  PID_SETUP = 0x2D,
  PID_IN = 0x69,
  PID_OUT = 0xE1,
  PID_PING = 0xB4,
  PID_SPLIT = 0x78,
  PID_DATA0 = 0xC3,
  PID_DATA1 = 0x4B,
  PID_DATA2 = 0x87,
  PID_MDATA = 0x0F,
  PID_ACK = 0xD2,
  PID_NAK = 0x5A,
  PID_STALL = 0x1E,
  PID_NYET = 0x96,
  PID_ERR = 0x3C,
  PID_NONE = 0xFF,  // no handshake
};

enum UsbPidClass { PID_CLASS_NONE = 0, PID_CLASS_TOKEN, PID_CLASS_DATA, PID_CLASS_HANDSHAKE };

// What the rows show for one PID: its word, the colours of its key cell and
// its attribute bit.
struct UsbPidInfo {
  uint8_t cls;        // UsbPidClass
  uint8_t word;       // kWordTable word of the kind ("Setup", "Data0", "Ack", ...)
  uint8_t keyBg;      // background colour of the kind key cell
  uint8_t keyText;    // text colour of the kind key cell
  uint32_t attrBit;   // ATTR_* bit of the packet kind or handshake
};

// The description of a PID byte; cls is PID_CLASS_NONE for an unlisted one.
const UsbPidInfo* usb_pid_info(uint8_t pid);

// Returns the PID when the packet is a valid USB 2.0 packet, else 0: handshakes
// are one byte; SPLIT four; SOF, SETUP, IN, OUT, PING three with a correct
// CRC5; data packets three bytes, or more with a correct CRC16 over the payload.
uint8_t usb_packet_validate(const uint8_t* bytes, int32_t length);

// The time text of a nanosecond count (single precision, as shown):
// " %.2f ns   " below 1,000, " %.2f us   " below 1,000,000, else " %.2f ms   ".
// Writes into buf (NUL-terminated) and returns buf.
char* usb_time_text(uint64_t ns, char* buf, size_t cap);

// Hex text of bytes ("2D 00 10"), cut to fit `cap`; returns buf.
char* usb_hex_text(const uint8_t* bytes, size_t n, char* buf, size_t cap);
