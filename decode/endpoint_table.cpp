// Endpoints learned from endpoint descriptors. The table is small (128
// entries) and looked up once per IN or OUT token that starts a transfer, so a
// linear search is cheaper than keeping an index in step with the
// replace-and-restart rules.
#include "decode/endpoint_table.h"

#include <cstddef>

void endpoint_table_clear(EndpointTable* table) {
  if (table) table->count = 0;
}

// Index of (address, endpoint) among the valid entries, or -1.
static int32_t endpoint_table_index(const EndpointTable* table, uint8_t address,
                                    uint8_t endpoint) {
  int32_t n = table->count;
  if (n < 0 || n > kEndpointTableMax) return -1;  // never trust a damaged count
  for (int32_t i = 0; i < n; i++) {
    const EndpointEntry* e = &table->entries[i];
    if (e->address == address && e->endpoint == endpoint) return i;
  }
  return -1;
}

void endpoint_table_learn(EndpointTable* table, const EndpointEntry* entry) {
  if (!table || !entry) return;
  // Direction is not part of the key: an OUT and an IN endpoint with the same
  // number on one device share the slot, the later descriptor wins.
  int32_t i = endpoint_table_index(table, entry->address, entry->endpoint);
  if (i >= 0) {
    table->entries[i] = *entry;
    return;
  }
  if (table->count < 0 || table->count >= kEndpointTableMax) table->count = 0;
  table->entries[table->count++] = *entry;
}

const EndpointEntry* endpoint_table_find(const EndpointTable* table, uint8_t address,
                                         uint8_t endpoint) {
  if (!table) return nullptr;
  int32_t i = endpoint_table_index(table, address, endpoint);
  return i >= 0 ? &table->entries[i] : nullptr;
}
