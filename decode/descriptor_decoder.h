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
// Returns 1 when the data was walked, 0 when it is not walked (the caller then
// shows the data itself): the setup is not a standard GET_DESCRIPTOR or
// SET_DESCRIPTOR of a standard descriptor type (wValue's high byte with bits
// 6..5 clear; class and vendor descriptors such as a HID report descriptor
// are shown as data), `filled` differs from its wLength (a short answer), or the
// first descriptor (its 2-byte header included) does not fit in `filled`.
// The walk stops at a zero bLength or at a descriptor running past `filled`.
// Never reads outside buf[0..filled).
int descriptors_walk(const uint8_t* buf, uint32_t filled, const SetupPacket* setup,
                     uint8_t token_address, EndpointTable* endpoints, kvListPair** chain);
