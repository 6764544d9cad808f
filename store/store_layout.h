// The on-disk layout of the store files: headers and the 40-byte index
// entry. All integers are little-endian (the host order of every supported
// platform); every file starts with "WRDH".
#pragma once

#include <cstdint>

#pragma pack(push, 1)

// Header of a value file: the row payloads of a row store.
struct ValueFileHeader {
  uint32_t magic;          // "WRDH"
  uint32_t version;        // 1
  uint64_t record_count;   // value records stored
  uint64_t used_bytes;     // offset where the next record is written; 504 when new
  uint32_t row_total;      // stored row total, 0 at creation
  uint32_t reserved0;      // 0
  uint8_t reserved[472];   // zero
};

// Header of an index file: one IndexEntry per row, in row order.
struct IndexFileHeader {
  uint32_t magic;          // "WRDH"
  uint32_t version;        // 1
  uint64_t entry_count;    // entries = rows
  uint64_t used_bytes;     // offset of the next entry; 496 when new
  uint8_t reserved[472];   // zero
};

// One row of a tree: where its payload is and where it sits in the tree.
struct IndexEntry {
  uint32_t row;             // row number of this row (from 1)
  uint32_t parent;          // parent row number; 0 for a top-level row
  uint32_t length;          // payload length of the row's value record
  uint32_t reserved0;       // 0
  uint64_t value_offset;    // offset of the value record; 0 if storing the payload failed
  uint32_t position;        // the parent's child count when this row was added
  uint32_t attr_flags;      // attribute flags of the row
  uint32_t child_count;     // children appended under this row
  uint8_t children_shown;   // set to 1 together with has_children
  uint8_t has_children;     // 1 once a child was appended
  uint8_t reserved1[2];     // 0
};

// Header of a data file: raw bytes appended and read back in order.
struct DataFileHeader {
  uint32_t magic;          // "WRDH"
  uint32_t zero;           // 0
  uint64_t data_bytes;     // data bytes stored
  uint64_t write_offset;   // offset of the next byte to write; 24 when new
};

#pragma pack(pop)

static_assert(sizeof(ValueFileHeader) == 504, "value file header is 504 bytes");
static_assert(sizeof(IndexFileHeader) == 496, "index file header is 496 bytes");
static_assert(sizeof(IndexEntry) == 40, "an index entry is 40 bytes");
static_assert(sizeof(DataFileHeader) == 24, "data file header is 24 bytes");

enum : uint32_t {
  kValueHeaderSize = 504,
  kIndexHeaderSize = 496,
  kIndexEntrySize = 40,
  kDataHeaderSize = 24,
  kMaxRecordLength = 4096,  // longest value record or data-file append
};
