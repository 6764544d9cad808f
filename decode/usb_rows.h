// The row builders of the packet, transaction and transfer decoder, called by
// parsePackage in a fixed order for each decoded packet. Internal to decode/.
#pragma once

#include <cstdint>

#include "decode/cells/kv_list.h"

struct dataParse;

// Appends {key, value} to *list (creating it); frees both cells when the
// append is refused, so a failed append never leaks.
void rows_add(kvLinkedList** list, DataMsg* key, DataMsg* value);

// Packet rows, from the token, data and handshake slots.
void rows_token(dataParse* dp);
void rows_data(dataParse* dp);
void rows_handshake(dataParse* dp);

// Opens the transaction of the token in the token slot (head cells).
void transaction_start(dataParse* dp);
// Closes the open transaction with `lastNumber`; returns RESULT_TRANSACTION_ENDED.
uint32_t transaction_end(dataParse* dp, uint32_t lastNumber);
// The transfer tracking of the token in the token slot; returns
// RESULT_TRANSFER_ENDED and/or RESULT_TRANSFER_ACTIVE.
uint32_t transfer_track(dataParse* dp);
// Ends the current transfer with `lastNumber`; returns RESULT_TRANSFER_ENDED.
uint32_t transfer_end(dataParse* dp, uint32_t lastNumber);
