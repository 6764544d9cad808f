// The library's record reader: one capture record per call, read with the
// library's waiting discipline (single reads of at most 100 ms each; a record
// not wholly in the channel once its head is found is dropped).
#pragma once

#include <cstdint>

struct ShmHandle;

// One decoded record; `packet` points into the loop's body buffer and is
// valid until the next call.
struct PluginRecord {
  uint32_t stampHigh;   // high half of the time stamp
  uint32_t stampLow;    // low half of the time stamp
  uint32_t dataLength;  // packet bytes at `packet`
  const uint8_t* packet;
};

struct RecordLoop {
  ShmHandle* channel;   // the channel read from
  uint8_t body[4104];   // one record body (header and packet)
};

void record_loop_init(RecordLoop* loop, ShmHandle* channel);
// 1 with a record in *out; 0 when no whole record came within the reads
// (the caller re-checks its running flag and calls again).
int record_loop_next(RecordLoop* loop, PluginRecord* out);
