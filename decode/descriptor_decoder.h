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
// descriptor to *chain and learns endpoint descriptors into `endpoints`
// (null: learn nothing; an Other Speed Configuration is never learned).
// Walks only a standard GET_DESCRIPTOR or SET_DESCRIPTOR of a standard
// descriptor type (wValue's high byte with bits 6..5 clear; class and vendor
// descriptors such as a HID report descriptor are data) whose `filled`
// equals its wLength. The walk stops at a bLength below 2 or at a descriptor
// running past `filled`. Returns 1 when at least one table was appended, 0
// otherwise (the caller then shows the data itself). Never reads outside
// buf[0..filled).
int descriptors_walk(const uint8_t* buf, uint32_t filled, const SetupPacket* setup,
                     uint8_t token_address, EndpointTable* endpoints, kvListPair** chain);
