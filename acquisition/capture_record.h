// Capture records: the framing in which the backend puts one USB packet at a
// time into the channel, and the readers that take records out again.
//
//   offset 0   "qrst"                      head, plain
//   offset 4   u32 length                  8 + body length, plain
//   offset 8   u32 stampHigh               header; these 12 bytes and the
//   offset 12  u32 stampLow                first two packet bytes are
//   offset 16  u32 dataLength              scrambled with the header key
//   offset 20  packet bytes (dataLength)
//
// Scrambled byte i (i = 0..13 of the body) = clear byte + key[i % 12] mod 256.
//
// Two reading disciplines:
//  - exact (the analyzer's channel reader): every read waits until all its
//    bytes have arrived, trying the channel and sleeping 100 ms whenever it
//    is empty; nothing is ever given up, so a record written in pieces is
//    still read whole. A stop flag ends the wait between sleeps.
//  - plugin (the plugin's record reader): each read is one channel read with
//    a 100 ms time-out; a read that comes back short abandons the record (or
//    the partly matched head), and the next call starts a fresh head search.
// While they wait, both look at the ring itself at least every 10 ms (the
// literal exact reader every 100 ms), whether or not the data event was set:
// records of a writer that never sets the event arrive all the same.
// In both, a record whose length is below 9 or above 4,112, or whose
// dataLength exceeds length - 20, is skipped and the head search resumes; no
// byte outside the 4,104-byte body buffer is ever read or written.
//
// A reader normally pulls the channel's bytes in bulk into a buffer of its
// own and scans there (one lock per chunk instead of one per head byte). It
// finds and skips exactly the records the literal byte-at-a-time reader
// does; `bulk = 0` selects that literal reader.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "acquisition/shm_channel.h"

// "qrst" plus the length field.
#define CAPTURE_FRAME_SIZE 8u
// The scrambled header: stampHigh, stampLow, dataLength.
#define CAPTURE_HEADER_SIZE 12u
// Framing bytes around a packet: frame + header.
#define CAPTURE_OVERHEAD 20u
// The body buffer of a reader, and so the largest body.
#define CAPTURE_BODY_MAX 4104u
// The largest record length.
#define CAPTURE_RECORD_MAX (CAPTURE_FRAME_SIZE + CAPTURE_BODY_MAX)
// The largest packet.
#define CAPTURE_PACKET_MAX (CAPTURE_BODY_MAX - CAPTURE_HEADER_SIZE)
// Bytes of a reader's bulk buffer.
#define CAPTURE_CHUNK_SIZE 65536u

// The header key.
extern const char kHeaderKey[];

// One decoded record. `packet` points into the reader's body buffer and is
// valid until the reader's next call.
struct CaptureRecordOut {
  const uint8_t* packet;  // packet bytes, PID first
  uint32_t dataLength;    // number of packet bytes
  uint32_t stampHigh;     // high 32 bits of the time stamp
  uint32_t stampLow;      // low 32 bits of the time stamp
  uint64_t timestamp;     // stampHigh * 2^32 + stampLow, nanoseconds
};

// The state of one reader; belongs to the reading thread. Initialise with
// record_reader_init(). Large (about 70 KB): keep it on the heap or in a
// thread's own frame, not in many copies.
struct RecordReader {
  uint8_t body[CAPTURE_BODY_MAX];    // the body of the record being read
  int printLengths;                  // plugin discipline: print "len = %d\n" per record (default 1)
  int bulk;                          // 1: read in bulk (default); 0: byte-at-a-time reference reader
  uint32_t chunkPos;                 // next unread byte in `chunk`
  uint32_t chunkEnd;                 // end of the bytes held in `chunk`
  uint64_t records;                  // records handed on
  uint64_t skipped;                  // records skipped for their length fields
  uint64_t abandoned;                // plugin discipline: records given up on a short read
  // Exact discipline, bulk reading: called on the reading thread whenever
  // the reader finds the channel empty between records (nothing held, no
  // head partly matched), about every 10 ms while it waits. Everything it
  // took from the channel before has then been handed on. May be null.
  void (*idle)(void* user);
  void* idleUser;                    // handed to `idle`
  uint8_t chunk[CAPTURE_CHUNK_SIZE]; // bytes taken from the channel, not yet scanned
};

// Descrambles the first 14 bytes of a body in place with `key` (its length
// taken with strlen); a null or empty key changes nothing. `bytes` must hold
// 14 bytes even when the body is shorter (a reader's body buffer does).
void hdrdecrypt(uint8_t* bytes, const char* key);
// Scrambles the first 14 bytes of a body in place (the inverse of hdrdecrypt).
void hdrencrypt(uint8_t* bytes, const char* key);

// Writes the capture record of one packet into `out`. Returns the record
// length (20 + len), or 0 when `cap` is too small or len > 4,092.
size_t capture_record_encode(uint8_t* out, size_t cap, const uint8_t* packet, uint32_t len,
                             uint64_t timestamp_ns);

// Resets `reader` to its defaults (bulk reading, lengths printed, no idle
// hook) and forgets any buffered bytes.
void record_reader_init(RecordReader* reader);
// Bytes the reader has taken from the channel but not yet scanned.
uint32_t record_reader_buffered(const RecordReader* reader);

// Reads the channel one byte at a time (shm_read, 100 ms) until "qrst" has
// been seen; 1 when found, 0 as soon as a read delivers anything but one byte.
int data_find_head(ShmHandle* handle);

// Exact discipline: returns 1 with the next used record in `out`, or 0 once
// `stop` (may be null) is found set, at the latest about 10 ms after it is set
// while waiting for bytes.
int record_read_exact(ShmHandle* handle, RecordReader* reader, const std::atomic<bool>* stop,
                      CaptureRecordOut* out);
// Plugin discipline: one round of the plugin's reader loop. Returns 1 with a
// record in `out` (and prints "len = %d\n" when enabled), or 0 when this round
// ended without one; the caller checks its running flag between calls.
int record_read_plugin(ShmHandle* handle, RecordReader* reader, CaptureRecordOut* out);
