#include "decode/endpoint_table.h"

// Placeholder until the descriptor decoder lands: nothing is learned.
void endpoint_table_clear(EndpointTable* table) { table->count = 0; }
void endpoint_table_learn(EndpointTable*, const EndpointEntry*) {}
const EndpointEntry* endpoint_table_find(const EndpointTable*, uint8_t, uint8_t) { return nullptr; }
