// Internals shared by the capture file readers and writers: the buffered byte
// source every reader pulls records from, the reader and writer handles, the
// little helpers for byte order, and the per-format entry points that the
// dispatching reader and writer call.
//
// Design of the source: one heap buffer, refilled with plain fread. A record
// is handed out as a pointer into that buffer when it lies there whole, so
// the common path copies nothing; a record that straddles the end of the
// buffer is first moved to the front. Nothing is ever read past `limit`
// (the end of the data a file declares) or past the end of the buffer.
#pragma once

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "store/capture/capture_file.h"

// Largest packet any reader hands out; longer records are damage.
constexpr uint32_t CAPTURE_MAX_PACKET = 65535;
// Largest record a "*.qelvo" file holds (the data file's append limit).
constexpr uint32_t CAPTURE_QELVO_MAX_PACKET = 4096;
// Read buffer size; comfortably larger than the largest block kept whole.
constexpr size_t CAPTURE_SOURCE_CAPACITY = 1 << 20;
// Largest pcapng block that is parsed in the buffer (packets plus options).
constexpr uint32_t CAPTURE_PCAPNG_MAX_BLOCK = 256 * 1024;

struct CaptureSource {
  FILE* file;       // the open file, unbuffered (the buffer below is ours)
  uint8_t* buf;     // CAPTURE_SOURCE_CAPACITY bytes
  size_t pos;       // read position in buf
  size_t len;       // bytes of buf that hold file data
  uint64_t base;    // file offset of buf[0]
  uint64_t limit;   // file offset after which nothing is read (UINT64_MAX: none)
  int at_eof;       // fread reached the end of the file
  int read_error;   // errno of a failed fread, 0 when none
};

// Opens `path` for reading. 0, or -1 with the message in err.
int capture_source_open(CaptureSource* src, const char* path, char* err, size_t err_cap);
void capture_source_close(CaptureSource* src);
// Slow path of capture_source_fill: moves the unread bytes to the front and reads more.
long capture_source_refill(CaptureSource* src, size_t n);
// Stops all reading at file offset `limit`.
void capture_source_set_limit(CaptureSource* src, uint64_t limit);
// Skips n bytes. 1: skipped; 0: the file (or limit) ended first; -1: read error.
int capture_source_skip(CaptureSource* src, uint64_t n);

// Makes up to n (<= CAPTURE_SOURCE_CAPACITY) bytes readable at the read
// position; returns how many are (fewer than n only at the end of the file or
// the limit), or -1 on a read error.
static inline long capture_source_fill(CaptureSource* src, size_t n) {
  if (src->len - src->pos >= n) {
    uint64_t off = src->base + src->pos;
    if (src->limit == UINT64_MAX || off + n <= src->limit) return (long)n;
  }
  return capture_source_refill(src, n);
}
static inline const uint8_t* capture_source_ptr(const CaptureSource* src) { return src->buf + src->pos; }
static inline void capture_source_advance(CaptureSource* src, size_t n) { src->pos += n; }
static inline uint64_t capture_source_offset(const CaptureSource* src) { return src->base + src->pos; }

static inline uint16_t capture_rd16(const uint8_t* p, int big) {
  return big ? (uint16_t)((p[0] << 8) | p[1]) : (uint16_t)(p[0] | (p[1] << 8));
}
static inline uint32_t capture_rd32(const uint8_t* p, int big) {
  if (big) return ((uint32_t)p[0] << 24) | ((uint32_t)p[1] << 16) | ((uint32_t)p[2] << 8) | p[3];
  uint32_t v;
  memcpy(&v, p, 4);
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
  v = __builtin_bswap32(v);
#endif
  return v;
}
static inline uint64_t capture_rd64le(const uint8_t* p) {
  return (uint64_t)capture_rd32(p, 0) | ((uint64_t)capture_rd32(p + 4, 0) << 32);
}
static inline void capture_wr16le(uint8_t* p, uint16_t v) {
  p[0] = (uint8_t)v;
  p[1] = (uint8_t)(v >> 8);
}
static inline void capture_wr32le(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; i++) p[i] = (uint8_t)(v >> (8 * i));
}
static inline void capture_wr64le(uint8_t* p, uint64_t v) {
  for (int i = 0; i < 8; i++) p[i] = (uint8_t)(v >> (8 * i));
}

// Link types of USB 2.0 packets, PID first: 288 at any speed, and the same
// packets captured at low, full and high speed.
enum : uint32_t {
  CAPTURE_LINK_USB_2_0 = 288,
  CAPTURE_LINK_USB_2_0_LOW_SPEED = 293,
  CAPTURE_LINK_USB_2_0_FULL_SPEED = 294,
  CAPTURE_LINK_USB_2_0_HIGH_SPEED = 295,
};
// 1 when `link` is one of the USB 2.0 link types above.
static inline int capture_link_is_usb2(uint32_t link) {
  return link == CAPTURE_LINK_USB_2_0 || link == CAPTURE_LINK_USB_2_0_LOW_SPEED ||
         link == CAPTURE_LINK_USB_2_0_FULL_SPEED || link == CAPTURE_LINK_USB_2_0_HIGH_SPEED;
}
// How messages name the accepted link types.
#define CAPTURE_LINK_USB_2_0_TEXT "288, 293, 294 or 295"

// One pcapng interface as its description block declared it.
struct CapturePcapngInterface {
  uint16_t link_type;  // one of the USB 2.0 link types for packets we read
  uint32_t snap_len;   // 0: no limit
  uint32_t mul;        // ticks -> ns: ns = ticks * mul / div (decimal resolutions)
  uint64_t div;        // 1 when the resolution is ns or coarser
  uint8_t binary;      // 1: binary resolution 2^-pow2 seconds (mul/div unused)
  uint8_t pow2;        // exponent of a binary resolution (0: whole seconds)
  int64_t offset_s;    // if_tsoffset in seconds
};

struct CaptureReader {
  char* path;               // copy of the file name, for messages
  CaptureFormat format;     // what the content turned out to be
  CaptureSource src;        // buffered input
  int big;                  // pcap/pcapng: the file (section) is big-endian
  uint32_t snap_len;        // pcap: the file's snapshot length
  int ended;                // 1 after end or error: next keeps returning the same
  uint64_t last_ts;         // pcapng: time stamp of the previous packet (for simple blocks)
  CaptureTimeBase time_base; // how stamps are handed out
  int have_first;           // CAPTURE_TIME_FROM_FIRST: the first packet's stamp is known
  uint64_t first_ts;        // CAPTURE_TIME_FROM_FIRST: the first packet's stamp as stored
  CapturePcapngInterface* ifaces;  // pcapng: interfaces of the current section
  uint32_t iface_count;     // pcapng: entries used in ifaces
  uint32_t iface_cap;       // pcapng: entries allocated
  char last_error[512];     // message of the error that ended the reading
};

struct CaptureWriter {
  FILE* file;            // the output file (stdio unbuffered; buf below is ours)
  char* path;            // copy of the file name, for messages
  CaptureFormat format;  // chosen at open
  uint8_t* buf;          // pending bytes, written whole records at a time
  size_t len;            // bytes pending in buf
  uint64_t data_bytes;   // qelvo: record bytes written so far (pending included)
  int failed;            // a write failed; everything after fails too
  char first_error[256]; // message of the first failure
};

constexpr size_t CAPTURE_WRITER_BUFFER = 1 << 20;

// Formats "<path>: <text>" into err (never overflowing it). A path too long
// for err is cut at its front ("...tail"); the text is kept whole.
void capture_set_error(char* err, size_t err_cap, const char* path, const char* fmt, ...)
    __attribute__((format(printf, 4, 5)));
void capture_vset_error(char* err, size_t err_cap, const char* path, const char* fmt, va_list ap)
    __attribute__((format(printf, 4, 0)));

// Per-format reader entry points, called by the dispatcher once the magic is known.
int capture_qelvo_start(CaptureReader* r, char* err, size_t err_cap);
int capture_qelvo_next(CaptureReader* r, CapturePacket* out, char* err, size_t err_cap);
int capture_pcap_start(CaptureReader* r, char* err, size_t err_cap);
int capture_pcap_next(CaptureReader* r, CapturePacket* out, char* err, size_t err_cap);
int capture_pcapng_start(CaptureReader* r, char* err, size_t err_cap);
int capture_pcapng_next(CaptureReader* r, CapturePacket* out, char* err, size_t err_cap);

// Writer plumbing: queue bytes (flushing whole records when the buffer is full).
// Returns a pointer to n bytes of buffer space for the caller to fill, or null on failure.
uint8_t* capture_writer_reserve(CaptureWriter* w, size_t n);
// Writes the pending bytes. 0 or -1 (the writer is then failed).
int capture_writer_drain(CaptureWriter* w);
// Marks the writer failed with a message (the first message is kept).
void capture_writer_fail(CaptureWriter* w, const char* fmt, ...) __attribute__((format(printf, 2, 3)));

// Per-format writer entry points. A packet the format cannot hold is refused
// (-1, message in err) without failing the writer; a failed write fails it.
int capture_qelvo_write_header(CaptureWriter* w);
int capture_qelvo_write(CaptureWriter* w, const uint8_t* bytes, uint32_t length, uint64_t ts, char* err,
                      size_t err_cap);
int capture_qelvo_update_header(CaptureWriter* w);
int capture_pcap_write_header(CaptureWriter* w);
int capture_pcap_write(CaptureWriter* w, const uint8_t* bytes, uint32_t length, uint64_t ts, char* err,
                      size_t err_cap);
int capture_pcapng_write_header(CaptureWriter* w);
int capture_pcapng_write(CaptureWriter* w, const uint8_t* bytes, uint32_t length, uint64_t ts, char* err,
                      size_t err_cap);
