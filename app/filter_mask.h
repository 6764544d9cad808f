// The filter mask of the tool bar's packet filters: the same layout as a
// row's attribute flag (kind bits 0..15 hide, endpoint in bits 16..23 and
// address in bits 24..31, 0xFF meaning any).
#pragma once

#include <QString>
#include <cstdint>

struct FilterInput {
  bool sof, ping, split;  // token kinds to hide
  bool nak, stall, err;   // handshake kinds to hide
  int address;            // -1: any device
  int endpoint;           // -1: any endpoint
};

// The mask of the filter state. An address or endpoint of -1 gives 0xFF in its byte.
uint32_t filter_mask(const FilterInput& in);
// The value of an address or endpoint field: -1 when empty, 0 for a text
// that is not a number.
int filter_field_value(const QString& text);
