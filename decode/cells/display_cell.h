// Display cells: the small self-checking blocks in which every decoded field
// travels from the decoder to the stores and the views.
//
// A cell is one contiguous block, stored verbatim in row payloads:
//   u16 len (payload + 2) | u8 type | u8 colorIndex | u8 bgdColorIndex | u8 0 |
//   payload (len - 2 bytes) | u16 CRC-16/USB over everything before it
// so a cell occupies len + 6 bytes. All numbers little-endian.
//
// Cells are created and freed at the decoder's rate (tens per packet), so they
// come from a per-thread pool; a cell may still be freed on any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

enum DataMsgType : uint8_t {
  D_WORD = 0,    // 1 byte: 1-based index into kWordTable
  D_STRING = 1,  // UTF-8 characters, no terminator
  D_U8 = 2,
  D_U16 = 3,
  D_U32 = 4,
  D_HEX = 5,     // raw bytes, shown as "2D 00 10"
  D_NULL = 6,    // no payload, shown empty
};

#pragma pack(push, 1)
struct DataMsg {
  uint16_t len;           // payload length + 2
  uint8_t type;           // DataMsgType
  uint8_t colorIndex;     // text colour, 1-based into kColorTable; 0 = default
  uint8_t bgdColorIndex;  // background colour, 1-based; 0 = default
  uint8_t reserved;       // 0
  uint8_t data[];         // payload, then the two CRC bytes
};
#pragma pack(pop)

enum { kDataMsgHeaderSize = 6, kDataMsgMaxPayload = 4096 };
enum { kWordCount = 53, kColorCount = 39 };

// 1-based tables: word w is kWordTable[w - 1], colour c is kColorTable[c - 1].
extern const char* const kWordTable[kWordCount];
extern const char* const kColorTable[kColorCount];

// Word numbers of kWordTable, by name.
enum Word : uint8_t {
  W_TYPE = 1, W_SOF, W_FRAME, W_CRC5, W_SETUP, W_ADDR, W_IN, W_POINT, W_OUT, W_PING,
  W_PORT, W_HUBADDR, W_SSPLIT, W_CSPLIT, W_S, W_E, W_U, W_ET, W_PACKAGE, W_TIMESTAMP,
  W_TOKEN, W_RAW, W_DATA, W_DATA0, W_DATA1, W_DATA2, W_MDATA, W_CRC16, W_HANDSHAKE,
  W_ACK, W_NAK, W_STALL, W_NYET, W_ERR, W_DIR, W_UP, W_DOWN, W_SUCCESS, W_FAILED,
  W_STATE, W_SPLIT, W_FIELD, W_VALUE, W_DESCRIPTION, W_BMREQUEST, W_BREQUEST,
  W_WVALUE, W_WINDEX, W_WLENGTH, W_BLENGTH, W_BDESCRIPTORTYPE, W_BCDUSB, W_BDEVICECLASS,
};

// Colours of kColorTable (1-based) by what they mark; 0 is the default.
enum CellColor : uint8_t {
  COLOR_DEFAULT = 0,
  COLOR_TYPE = 1,              // the "Type" key of a detail row
  COLOR_SOF = 2,               // kind keys of the packets, by PID
  COLOR_SETUP = 3,
  COLOR_POINT = 4,             // "Point" keys
  COLOR_IN = 5,
  COLOR_OUT = 6,               // OUT, PING and SPLIT
  COLOR_SPLIT_PORT = 7,        // the SPLIT fields
  COLOR_SPLIT_S = 8,
  COLOR_SPLIT_EU = 9,
  COLOR_SPLIT_ET = 10,
  COLOR_DARK_TEXT = 11,        // text on the light backgrounds
  COLOR_PACKAGE = 12,          // "Package" keys
  COLOR_TIMESTAMP = 13,
  COLOR_TOKEN = 14,
  COLOR_RAW = 15,
  COLOR_DATA0 = 16,
  COLOR_DATA1 = 17,
  COLOR_DATA2 = 18,
  COLOR_MDATA = 19,
  COLOR_DATA = 20,             // "Data" and "Data (%d tytes)" keys
  COLOR_HANDSHAKE = 21,
  COLOR_ACK = 22,
  COLOR_NAK = 23,
  COLOR_STALL = 24,
  COLOR_NYET = 25,
  COLOR_ERR = 26,
  COLOR_DIR = 27,
  COLOR_STATE = 28,
  COLOR_TRANSACTION = 29,      // head cell of a transaction
  COLOR_REQUEST = 30,          // request line of a control transfer
  COLOR_TRANSFER = 31,         // head cell of a transfer
  COLOR_FIELD_TEXT = 33,       // request and descriptor tables
  COLOR_HEADER_BGD = 34,
  COLOR_TITLE_TEXT = 35,
  COLOR_TITLE_BGD = 38,
};

// Creates a cell; null when payload_len > 4096, when payload_len > 0 and
// payload is null, or when memory runs out. Note the order: background colour
// before text colour.
DataMsg* cell_create(uint32_t payload_len, const void* payload, uint8_t type,
                     uint8_t bgd_color, uint8_t color);
// Writes the block of the cell cell_create would make into `out` (room for
// payload_len + 8 bytes) and returns its size; 0 (nothing written) for a
// payload longer than 4096 bytes or a missing payload.
uint32_t cell_write(uint8_t* out, uint32_t payload_len, const void* payload, uint8_t type,
                    uint8_t bgd_color, uint8_t color);
// The empty cell: a D_STRING of one blank, no colours.
DataMsg* cell_empty(void);
// Shorthands for cell_create.
DataMsg* cell_word(uint8_t word, uint8_t bgd_color, uint8_t color);
DataMsg* cell_text(const char* text, uint8_t bgd_color, uint8_t color);  // D_STRING, strlen bytes
DataMsg* cell_u8(uint8_t v, uint8_t bgd_color, uint8_t color);
DataMsg* cell_u16(uint16_t v, uint8_t bgd_color, uint8_t color);
DataMsg* cell_u32(uint32_t v, uint8_t bgd_color, uint8_t color);
DataMsg* cell_hex(const uint8_t* bytes, uint32_t n, uint8_t bgd_color, uint8_t color);
// Frees a cell (null is fine), on any thread. Cells are never released with free().
void cell_free(DataMsg* cell);

// Total bytes of the block: len + 6.
static inline size_t cell_size(const DataMsg* cell) { return (size_t)cell->len + 6; }
// Copies the n >= 8 bytes of a cell block. Most cells are 9 to 32 bytes,
// which take two overlapping moves here instead of a call to memcpy.
static inline void cell_bytes_copy(void* dst, const void* src, size_t n) {
  uint8_t* d = (uint8_t*)dst;
  const uint8_t* s = (const uint8_t*)src;
  if (n <= 16) {
    uint64_t a, b;
    memcpy(&a, s, 8);
    memcpy(&b, s + n - 8, 8);
    memcpy(d, &a, 8);
    memcpy(d + n - 8, &b, 8);
  } else if (n <= 32) {
    uint64_t a[2], b[2];
    memcpy(a, s, 16);
    memcpy(b, s + n - 16, 16);
    memcpy(d, a, 16);
    memcpy(d + n - 16, b, 16);
  } else {
    memcpy(d, s, n);
  }
}
// 1 when the stored CRC matches the block, else 0. `block` needs at least
// `avail` readable bytes; a block whose len runs past `avail` fails.
int cell_crc_ok(const void* block, size_t avail);

// Text form of a cell (a stored block or a live cell): writes the text,
// NUL-terminated and cut to `cap`, and the Qt colour names of the background
// and text colours ("" for index 0). Returns the full text length.
// A CRC mismatch ends the process with status 1 after
// ">>>>>>>>>>>>>>>>>conv crc16 err!<<<<<<<<<<<<\n"; a D_WORD outside 1..53
// ends it with status -1 after "data->data[0] = %d\n". A null block gives "".
size_t cell_to_text(const void* block, char* text, size_t cap, const char** bgd_name,
                    const char** color_name);
