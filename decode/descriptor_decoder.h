// Descriptors returned by GET_DESCRIPTOR (or sent by SET_DESCRIPTOR): one
// table per descriptor, and every endpoint descriptor learned.
#pragma once

#include <cstdint>

#include "decode/cells/kv_list.h"
#include "decode/endpoint_table.h"
#include "decode/setup_request.h"

// Walks the completed data stage `buf[0..filled)` of the control transfer
// whose setup is `setup`; `token_address` is the address of the last token
// (the device the endpoints belong to). Appends one table per decoded
// descriptor to *chain and learns endpoint descriptors into `endpoints`.
// Returns 1 when the data was walked, 0 when the first descriptor does not fit
// in `filled` (the caller then shows the data itself). Never reads outside
// buf[0..filled).
int descriptors_walk(const uint8_t* buf, uint32_t filled, const SetupPacket* setup,
                     uint8_t token_address, EndpointTable* endpoints, kvListPair** chain);
