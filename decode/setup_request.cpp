#include "decode/setup_request.h"

// Placeholder until the request decoder lands: no tables, no request line.
SetupPacket setup_from_bytes(const uint8_t b[8]) {
  SetupPacket s;
  s.bmRequestType = b[0];
  s.bRequest = b[1];
  s.wValue = (uint16_t)(b[2] | (b[3] << 8));
  s.wIndex = (uint16_t)(b[4] | (b[5] << 8));
  s.wLength = (uint16_t)(b[6] | (b[7] << 8));
  return s;
}
const char* setup_request_name(uint8_t) { return nullptr; }
void setup_decode_table(const SetupPacket*, kvListPair**) {}
void setup_request_line(const SetupPacket*, uint8_t, uint8_t, kvLinkedList**) {}
