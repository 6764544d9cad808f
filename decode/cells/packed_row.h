// A row packed while it is built: the decoder copies each entry's cells into
// the row's groups as it makes them, instead of linking them into two lists
// that are packed (walked, checked, copied and freed) afterwards. The row
// payload that comes out is byte for byte the one payload_pack_row makes of
// the same two lists, an entry that does not fit included (same cut, same
// messages, no marker).
//
// Used for the rows made for every packet (the package rows and the
// transaction view's packet row), the bulk of all rows; a cell goes from
// its making into the row at once, so there is nothing to check again.
#pragma once

#include <cstdint>

#include "decode/cells/display_cell.h"

enum { kPackedEntriesMax = 256, kPackedBodyMax = 4096 };

// One list of a row: its entries' cells back to back, and each entry's sizes.
struct PackedGroup {
  uint32_t entries;                      // entries held
  uint32_t bytes;                        // body bytes held
  uint16_t sizes[kPackedEntriesMax][2];  // key and value size of each entry
  uint16_t cutSizes[2];                  // sizes of the first entry that did not fit here
  bool cut;                              // an entry did not fit (it cannot fit a payload either)
  uint8_t body[kPackedBodyMax];
};

struct PackedRow {
  PackedGroup infos;
  PackedGroup values;
};

// Empties the row.
void packed_row_clear(PackedRow* row);
// Adds the entry {key, value}, copying both cells (they stay the caller's).
// A missing cell adds nothing, like a refused list append.
void packed_group_put(PackedGroup* g, const DataMsg* key, const DataMsg* value);
// The same, consuming the cells (kept cells are not freed, see cell_pool.h).
void packed_group_add(PackedGroup* g, DataMsg* key, DataMsg* value);
// Adds {key, the cell cell_create would make of the other arguments},
// writing that cell straight into the group; the key stays the caller's.
void packed_group_put_new(PackedGroup* g, const DataMsg* key, uint32_t payload_len,
                          const void* payload, uint8_t type, uint8_t bgd_color, uint8_t color);
// 1 when the list would exist (an entry was added).
static inline int packed_group_used(const PackedGroup* g) { return g->entries || g->cut; }
// Writes the row payload to `out` (kRowPayloadCapacity bytes, row_payload.h)
// as packing the
// two lists would, logging the same messages for an entry that does not fit;
// returns its length. The row is left as it was.
uint32_t packed_row_finish(const PackedRow* row, uint8_t* out);
