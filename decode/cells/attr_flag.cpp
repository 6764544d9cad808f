// The table of (address, endpoint) pairs seen on the bus and the filter test.
#include "decode/cells/attr_flag.h"

SeenEndpoints seenEndpoints;

void seen_endpoints_record(uint8_t address, uint8_t endpoint) {
  int32_t n = seenEndpoints.count;
  if (n < 0 || n > kSeenEndpointsMax) n = 0;  // never trust a damaged count
  for (int32_t i = 0; i < n; ++i)
    if (seenEndpoints.pairs[i].address == address && seenEndpoints.pairs[i].endpoint == endpoint)
      return;
  // A full table starts over: the pick list follows what the bus uses now.
  if (n == kSeenEndpointsMax) n = 0;
  seenEndpoints.pairs[n].address = address;
  seenEndpoints.pairs[n].endpoint = endpoint;
  seenEndpoints.count = n + 1;
}

void seen_endpoints_clear(void) { seenEndpoints.count = 0; }

bool attr_matches_selection(uint32_t attrFlag, uint8_t selected_address, uint8_t selected_endpoint) {
  return (uint8_t)(attrFlag >> ATTR_ADDRESS_SHIFT) == selected_address &&
         (uint8_t)(attrFlag >> ATTR_ENDPOINT_SHIFT) == selected_endpoint;
}
