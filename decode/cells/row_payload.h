// The row payload: the two lists of a row (Infos and Values) packed into one
// buffer of at most 4,096 bytes, stored as one value record of a row store,
// and read back into entries for painting and printing.
//
//   A5 5A | u16 L1 | Infos body (L1 bytes) | u16 L2 | Values body (L2 bytes)
//
// A body is the cells of its list's entries in order, copied verbatim: key,
// value and, in lists with descriptions, the description. The marker is
// present only when both groups were packed completely; a row without it has
// no displayable entries. All numbers little-endian.
#pragma once

#include <cstdint>

#include "decode/cells/display_cell.h"
#include "decode/cells/kv_list.h"

enum { kRowPayloadCapacity = 4096, kRowPayloadMarker0 = 0xA5, kRowPayloadMarker1 = 0x5A };

// Packs one list as a group at *offset: its u16 body length, then the cells.
// Consumes the list whatever the outcome. Returns 0 with *offset past the
// group, or -1 when an argument is missing, there is no room for the length,
// or an entry does not fit (the entries that fit stay copied, the group length
// counts them, and *offset is past them). A cell whose CRC fails ends the
// process with status 1.
int payload_pack_list(kvLinkedList* list, uint8_t* buf, uint32_t* offset);

// Packs a row into buf and returns the payload length; consumes both lists.
// Without a Values list (and with the Infos list packed) the process ends with
// status -1. A failed group leaves the payload without its marker.
uint32_t payload_pack_row(kvLinkedList* infos, kvLinkedList* values,
                          uint8_t buf[kRowPayloadCapacity]);

// One group of a stored payload.
struct PayloadGroup {
  const uint8_t* body;  // first byte of the group's cells; null when the group is absent
  uint32_t len;         // bytes of the body that lie within the payload
  int complete;         // 1 when the stored length lies wholly within the payload
};

// The parts of a stored payload.
struct PayloadView {
  int marked;           // 1 when the payload begins with A5 5A
  PayloadGroup infos;   // Infos group
  PayloadGroup values;  // Values group (absent when Infos is incomplete)
};

// Splits a payload of `len` bytes into its groups without reading past `len`.
// Returns 0 when the row is displayable (marker present, both groups
// complete), else -1; the view is filled either way.
int payload_unpack(const uint8_t* payload, uint32_t len, PayloadView* view);

// One entry of a group: pointers to its cell blocks inside the payload.
struct PayloadEntry {
  const DataMsg* key;    // key cell
  const DataMsg* value;  // value cell
  const DataMsg* desc;   // description cell; null in lists without descriptions
};

// Walks the entries of a group.
struct PayloadCursor {
  const uint8_t* pos;  // next unread byte
  const uint8_t* end;  // end of the group's body
  int with_desc;       // 1 when every entry carries a description
  int damaged;         // 1 once a damaged or truncated cell has stopped the walk
};

void payload_cursor_init(PayloadCursor* cur, const PayloadGroup* group, int with_desc);
// Reads the next entry: 1 with *entry filled, 0 at the exact end of the
// group, -1 when a cell is damaged or runs past the group (and on every later
// call: the walk stops there).
// Checks framing only; cell_to_text verifies each cell's CRC when it is shown.
int payload_cursor_next(PayloadCursor* cur, PayloadEntry* entry);

// Reads up to `max` entries of a group into `out` and returns how many. Sets
// *complete to 1 when the group was read to its exact end without damage and
// the group itself is complete.
uint32_t payload_group_entries(const PayloadGroup* group, int with_desc, PayloadEntry* out,
                               uint32_t max, int* complete);
