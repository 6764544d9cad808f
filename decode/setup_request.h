// Control requests: the 8-byte setup packet, its request table and the
// one-line summary shown on a control transfer.
#pragma once

#include <cstdint>

#include "decode/cells/kv_list.h"

struct SetupPacket {
  uint8_t bmRequestType;
  uint8_t bRequest;
  uint16_t wValue;
  uint16_t wIndex;
  uint16_t wLength;
};

// Reads the 8 little-endian bytes of a setup packet.
SetupPacket setup_from_bytes(const uint8_t bytes[8]);
// The request's name ("Get Descriptor", ...), or null for a code without one.
const char* setup_request_name(uint8_t bRequest);
// Appends the request table (title and field rows) to the end of *chain.
void setup_decode_table(const SetupPacket* setup, kvListPair** chain);
// Appends the request line ("Standard Req" -> name, "Addr", "Point") to *list.
void setup_request_line(const SetupPacket* setup, uint8_t address, uint8_t endpoint,
                        kvLinkedList** list);
