// Endpoints learned from endpoint descriptors: which transfer type and
// maximum packet size each (address, endpoint) has. Filled by the descriptor
// decoder, read by the transfer tracking.
#pragma once

#include <cstdint>

enum { kEndpointTableMax = 128 };

// Transfer types, as bits 1..0 of an endpoint's bmAttributes.
enum TransferType : uint8_t {
  TRANSFER_TYPE_CONTROL = 0,
  TRANSFER_TYPE_ISOCHRONOUS = 1,
  TRANSFER_TYPE_BULK = 2,
  TRANSFER_TYPE_INTERRUPT = 3,
  TRANSFER_TYPE_NONE = 255,  // no transfer (after reset)
};

struct EndpointEntry {
  uint8_t transferType;    // TransferType
  uint8_t address;         // device address
  uint8_t endpoint;        // endpoint number (bEndpointAddress & 0x0F)
  uint8_t direction;       // high nibble of bEndpointAddress (8 for IN)
  uint32_t maxPacketSize;  // wMaxPacketSize & 0x7FF
};

struct EndpointTable {
  EndpointEntry entries[kEndpointTableMax];
  int32_t count;
};

void endpoint_table_clear(EndpointTable* table);
// Replaces the entry of the same (address, endpoint), else appends; a new
// entry in a full table restarts it with that entry alone.
void endpoint_table_learn(EndpointTable* table, const EndpointEntry* entry);
// The entry of (address, endpoint), or null.
const EndpointEntry* endpoint_table_find(const EndpointTable* table, uint8_t address,
                                         uint8_t endpoint);
