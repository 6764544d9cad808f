// The record reader behind the library's reader thread.
#include "plugin/record_loop.h"

#include <cstdio>
#include <cstring>

#include "acquisition/shm_channel.h"

// The header key "KHT_RAMOZ_31" as the 14 byte values it subtracts.
static const uint8_t kKey[14] = {'K', 'H', 'T', '_', 'R', 'A', 'M', 'O', 'Z', '_', '3', '1', 'K', 'H'};
static const uint8_t kHead[4] = {'q', 'r', 's', 't'};
static const uint32_t kMaxRecord = 4112;
static const uint32_t kReadTimeoutMs = 100;

static uint32_t le32(const uint8_t* p) {
  return (uint32_t)p[0] | (uint32_t)p[1] << 8 | (uint32_t)p[2] << 16 | (uint32_t)p[3] << 24;
}

void record_loop_init(RecordLoop* loop, ShmHandle* channel) {
  loop->channel = channel;
  memset(loop->body, 0, sizeof loop->body);
}

int record_loop_next(RecordLoop* loop, PluginRecord* out) {
  int m = 0;
  for (;;) {
    uint8_t b;
    if (shm_read(loop->channel, &b, 1, kReadTimeoutMs) != 1) return 0;
    if (b == kHead[m]) {
      if (++m == 4) break;
    } else {
      m = b == 'q' ? 1 : 0;
    }
  }
  uint8_t len_bytes[4];
  if (shm_read(loop->channel, len_bytes, 4, kReadTimeoutMs) != 4) return 0;
  uint32_t length = le32(len_bytes);
  // Too short to hold a body, or longer than the body buffer: skipped.
  if (length < 9 || length > kMaxRecord) return 0;
  uint32_t body_len = length - 8;
  int n = shm_read(loop->channel, loop->body, body_len, kReadTimeoutMs);
  if (n <= 0 || (uint32_t)n != body_len) return 0;
  for (int i = 0; i < 14; ++i) loop->body[i] = (uint8_t)(loop->body[i] - kKey[i]);
  uint32_t data_length = le32(loop->body + 8);
  // A header cut short or a packet longer than the record is not handed on.
  if (body_len < 12 || data_length > body_len - 12) return 0;
  printf("len = %d\n", (int)data_length);
  out->stampHigh = le32(loop->body);
  out->stampLow = le32(loop->body + 4);
  out->dataLength = data_length;
  out->packet = loop->body + 12;
  return 1;
}
