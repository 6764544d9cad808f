// What the decoding thread hands to the storing thread: one record per row
// or per assembly step, in decoding order, each a RowRecord followed by the
// row payload it carries (packed already, so the storing thread never
// touches cells or lists). Internal to the pipeline.
#pragma once

#include <cstdint>

// The four trees, as records name them.
enum RecordTree : uint8_t {
  RECORD_TREE_PACKAGE = 0,
  RECORD_TREE_TRANSACTION = 1,
  RECORD_TREE_DATA = 2,
  RECORD_TREE_DESCRIPTOR = 3,
  kRecordTreeCount = 4,
};

enum RecordKind : uint8_t {
  RECORD_ROW = 0,              // append the row to `tree` at `level` (0 top, 1, 2)
  RECORD_PACKET_ROW = 1,       // a packet row of the open transaction: kept until it closes
  RECORD_TRANSACTION = 2,      // a closed transaction without transfer: a top-level row of
                               // the transaction tree, its kept packet rows below it
  RECORD_TRANSFER_STEP = 3,    // a closed transaction of the open transfer: parked with its
                               // kept packet rows until the transfer ends
  RECORD_TRANSFER = 4,         // the transfer ended: its top-level row, then every parked row
  RECORD_DROP_PACKETS = 5,     // the open transaction's kept packet rows are dropped
  RECORD_DROP_TRANSFER = 6,    // the rows parked for the transfer are dropped
  RECORD_FORGET = 7,           // both of the above
};

struct RowRecord {
  uint8_t kind;         // RecordKind
  uint8_t tree;         // RecordTree (RECORD_ROW)
  uint8_t level;        // RECORD_ROW: 0 top, 1 second, 2 third level
  uint8_t reserved;     // 0
  uint32_t attr;        // the row's attribute flags
  uint32_t generation;  // row_tree_generation of the target tree when the row was built
  uint32_t length;      // payload bytes that follow (0 for the marks)
};
static_assert(sizeof(RowRecord) == 16, "records are framed in 16 bytes");
