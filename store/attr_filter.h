// The attribute filter test shared by the child index and the views.
//
// A row's flags carry packet-kind bits 0..15, the endpoint in bits 16..23 and
// the device address in bits 24..31. A filter mask carries the kinds to hide
// in bits 0..15 and a selector in bits 16..31: address in its upper byte,
// endpoint in its lower byte, 0xFF in a byte meaning "any", 0xFFFF meaning no
// address or endpoint filter at all.
#pragma once

#include <cstdint>

// The mask that hides nothing.
enum : uint32_t { kFilterShowAll = 0xFFFF0000u };

// True when a row with attribute flags `attr` is hidden by `mask`.
static inline bool attr_hidden(uint32_t attr, uint32_t mask) {
  if (attr & mask & 0xFFFFu) return true;
  uint32_t sel = mask >> 16;
  uint32_t row = attr >> 16;
  if (sel == 0xFFFFu) return false;
  if ((sel >> 8) == 0xFFu) return (sel & 0xFFu) != (row & 0xFFu);  // any address
  if ((sel & 0xFFu) < 0xFFu) return sel != row;                    // address and endpoint
  return (sel >> 8) != (row >> 8);                                 // any endpoint
}
