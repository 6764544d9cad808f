// The attribute flag of every row, tested by the view filters, and the table
// of (address, endpoint) pairs seen on the bus.
#pragma once

#include <cstdint>

enum : uint32_t {
  ATTR_SPLIT = 0x1,
  ATTR_SOF = 0x2,
  ATTR_SETUP = 0x4,
  ATTR_IN = 0x8,
  ATTR_OUT = 0x10,
  ATTR_PING = 0x20,
  ATTR_ACK = 0x800,
  ATTR_NAK = 0x1000,
  ATTR_STALL = 0x2000,
  ATTR_NYET = 0x4000,
  ATTR_ERR = 0x8000,
  ATTR_ENDPOINT_SHIFT = 16,  // bits 16..23, 255 when none
  ATTR_ADDRESS_SHIFT = 24,   // bits 24..31, 255 when none
  ATTR_DEVICE_MASK = 0xFFFF0000u,  // address and endpoint, no packet kind
};

static inline uint32_t attr_make_address(uint32_t kind_bits, uint8_t address, uint8_t endpoint) {
  return kind_bits | ((uint32_t)address << ATTR_ADDRESS_SHIFT) |
         ((uint32_t)endpoint << ATTR_ENDPOINT_SHIFT);
}

enum { kSeenEndpointsMax = 128 };

struct SeenEndpoint {
  uint8_t address;
  uint8_t endpoint;
};

// Process-wide: written by the decoding thread, read by the GUI.
struct SeenEndpoints {
  SeenEndpoint pairs[kSeenEndpointsMax];
  int32_t count;
};
extern SeenEndpoints seenEndpoints;

// Records a pair: nothing when present; appended when new; when the table is
// full a new pair restarts it with itself as the only entry.
void seen_endpoints_record(uint8_t address, uint8_t endpoint);
void seen_endpoints_clear(void);

// The filter test of the data-view selection: true when the row's address
// (bits 24..31) and endpoint (bits 16..23) equal the selected ones.
bool attr_matches_selection(uint32_t attrFlag, uint8_t selected_address, uint8_t selected_endpoint);
