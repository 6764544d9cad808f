// Capture record framing and the two record readers (see capture_record.h).
//
// Both readers are one state machine over a byte source. The source decides
// only how bytes are obtained:
//   - exact:  bytes come from the reader's chunk, refilled with try-reads;
//             an empty channel means waiting (watching the stop flag) and
//             another try. Bytes are never given up, so the records found
//             depend on the byte stream alone, not on when bytes arrive. The
//             literal reader sleeps 100 ms per empty try; the bulk reader
//             waits on the data event instead (see refill_exact).
//   - plugin: every read behaves as one read of up to 100 ms on the
//             channel: bytes already in the chunk count as bytes still in the
//             ring, topped up with one try-read when they do not suffice,
//             and only an empty chunk waits. A short read therefore comes
//             back exactly when the literal reader's would.
// Waiting is always on the data event in short slices with a look at the
// ring after each: a writer that never sets the event is read all the same,
// at most one slice late.
// With `bulk` 0 the same machine reads the channel directly, one byte per
// head-search read: the literal reader, kept as the reference.
#include "acquisition/capture_record.h"

#include "os/clock.h"

#include <cstdio>
#include <cstring>

const char kHeaderKey[] = "KHT_RAMOZ_31";

namespace {

// Bytes of a body that are scrambled.
const uint32_t kScrambled = 14;
// The literal plugin reader waits this long per read.
const uint32_t kPluginWaitMs = 100;
// The exact reader sleeps this long when the channel is empty...
const uint32_t kIdleMs = 100;
// ...in slices of this, looking at the stop flag between them.
const uint32_t kIdleSliceMs = 10;
// A head search that has scanned this many bytes without a partial match
// pending lets its caller look at its flags; resuming with a fresh search
// then finds exactly what continuing would have found.
const uint32_t kScanBudget = 1u << 16;

const uint8_t kHead[4] = {'q', 'r', 's', 't'};

// The header key's bytes for the 14 scrambled positions (key[i % 12]), as
// the readers apply them.
const uint8_t kKey14[14] = {'K', 'H', 'T', '_', 'R', 'A', 'M', 'O', 'Z', '_', '3', '1', 'K', 'H'};

// One step of the head match: the count of head bytes matched after `b`.
// "qrst" has no proper prefix that is also a suffix, so a mismatching byte
// can only restart the match if it is itself a 'q'.
inline int head_step(int m, uint8_t b) {
  if (b == kHead[m]) return m + 1;
  return b == 'q' ? 1 : 0;
}

inline uint32_t le32(const uint8_t* p) {
  return (uint32_t)p[0] | (uint32_t)p[1] << 8 | (uint32_t)p[2] << 16 | (uint32_t)p[3] << 24;
}

inline void put_le32(uint8_t* p, uint32_t v) {
  p[0] = (uint8_t)v;
  p[1] = (uint8_t)(v >> 8);
  p[2] = (uint8_t)(v >> 16);
  p[3] = (uint8_t)(v >> 24);
}

inline bool stop_set(const std::atomic<bool>* stop) {
  return stop && stop->load(std::memory_order_relaxed);
}

// Sleeps the literal exact reader's 100 ms; false when the stop flag ended
// it early.
bool idle(const std::atomic<bool>* stop) {
  for (uint32_t slept = 0; slept < kIdleMs; slept += kIdleSliceMs) {
    if (stop_set(stop)) return false;
    os_sleep_ms(kIdleSliceMs);
  }
  return !stop_set(stop);
}

inline uint32_t held(const RecordReader* r) { return r->chunkEnd - r->chunkPos; }

// Copies up to `n` buffered bytes to `dst`; returns how many.
inline uint32_t take(RecordReader* r, uint8_t* dst, uint32_t n) {
  uint32_t t = held(r);
  if (t > n) t = n;
  std::memcpy(dst, r->chunk + r->chunkPos, t);
  r->chunkPos += t;
  return t;
}

// Refills an empty chunk from the channel with `timeout`; the channel's result.
int refill(ShmHandle* h, RecordReader* r, uint32_t timeout) {
  r->chunkPos = r->chunkEnd = 0;
  int k = shm_read(h, r->chunk, CAPTURE_CHUNK_SIZE, timeout);
  if (k > 0) r->chunkEnd = (uint32_t)k;
  return k;
}

// A read that may wait up to `total_ms` for bytes. It looks at the ring at
// once and after every slice of waiting on the data event, so bytes of a
// writer that never sets the event wait at most one slice. Returns the
// channel's result: the count, 0 when nothing came in time, or -1.
int read_within(ShmHandle* h, uint8_t* dst, uint32_t n, uint32_t total_ms) {
  uint32_t start = os_tick_ms();
  for (;;) {
    int k = shm_read(h, dst, n, 0);
    if (k != 0) return k;
    uint32_t waited = os_tick_ms() - start;
    if (waited >= total_ms) return 0;
    uint32_t slice = total_ms - waited < kIdleSliceMs ? total_ms - waited : kIdleSliceMs;
    k = shm_read(h, dst, n, slice);
    if (k != 0) return k;
  }
}

// Refills an empty chunk for the exact discipline, waiting as long as it
// takes; 1 filled, 0 stopped. Rather than sleeping a blind 100 ms it waits
// on the data event in short slices, so bytes are taken as soon as they
// come; the records found do not depend on when bytes are taken. Each slice
// also tries the ring directly, so a writer that never signals the event
// is still read. `between_records`: no record is partly read, so an empty
// channel means the reader is idle (its idle hook is called).
int refill_exact(ShmHandle* h, RecordReader* r, const std::atomic<bool>* stop,
                 bool between_records) {
  for (;;) {
    int k0 = refill(h, r, 0);
    if (k0 > 0) return 1;
    if (k0 == 0 && between_records && r->idle) r->idle(r->idleUser);
    if (stop_set(stop)) return 0;
    int k = refill(h, r, kIdleSliceMs);
    if (k > 0) return 1;
    if (k < 0) os_sleep_ms(kIdleSliceMs);  // a failing channel must not spin
  }
}

// ---- exact discipline ------------------------------------------------------

// Reads exactly `n` bytes; 1 done, 0 stopped.
int exact_read(ShmHandle* h, RecordReader* r, const std::atomic<bool>* stop, uint8_t* dst,
               uint32_t n) {
  uint32_t got = 0;
  while (got < n) {
    if (r->bulk) {
      if (held(r) == 0 && !refill_exact(h, r, stop, false)) return 0;
      got += take(r, dst + got, n - got);
      continue;
    } else {
      int k = shm_try_read(h, dst + got, n - got);
      if (k > 0) {
        got += (uint32_t)k;
        continue;
      }
    }
    // Empty (or a failing channel, which is retried the same way).
    if (!idle(stop)) return 0;
  }
  return 1;
}

// Scans the bytes held in the chunk for the head, continuing the match in
// *m (4 once found) and consuming what it scanned. With no partial match it
// skips to the next 'q'; *skipped is the number of bytes skipped that way.
// False when the held bytes held no 'q' at all (they are all consumed).
bool scan_held(RecordReader* r, int* m, uint32_t* skipped) {
  const uint8_t* p = r->chunk + r->chunkPos;
  const uint8_t* end = r->chunk + r->chunkEnd;
  *skipped = 0;
  if (*m == 0) {
    const uint8_t* q = static_cast<const uint8_t*>(std::memchr(p, 'q', (size_t)(end - p)));
    *skipped = (uint32_t)((q ? q : end) - p);
    if (!q) {
      r->chunkPos = r->chunkEnd;
      return false;
    }
    p = q + 1;
    *m = 1;
  }
  while (p < end && *m != 4 && *m != 0) *m = head_step(*m, *p++);
  r->chunkPos = (uint32_t)(p - r->chunk);
  return true;
}

// Finds the next head; 1 found, 0 stopped.
int exact_find_head(ShmHandle* h, RecordReader* r, const std::atomic<bool>* stop) {
  int m = 0;
  uint32_t scanned = 0;
  for (;;) {
    if (!r->bulk) {
      uint8_t b;
      if (!exact_read(h, r, stop, &b, 1)) return 0;
      m = head_step(m, b);
      if (m == 4) return 1;
      if (++scanned >= kScanBudget) {
        scanned = 0;
        if (stop_set(stop)) return 0;
      }
      continue;
    }
    if (held(r) == 0) {
      if (stop_set(stop) || !refill_exact(h, r, stop, m == 0)) return 0;
      continue;
    }
    uint32_t skipped;
    scan_held(r, &m, &skipped);
    if (m == 4) return 1;
  }
}

// ---- plugin discipline -----------------------------------------------------

// One read as the plugin does it: at most `n` bytes, waiting up to 100 ms
// only when nothing is at hand. Returns the count, 0 or -1.
int plugin_read(ShmHandle* h, RecordReader* r, uint8_t* dst, uint32_t n) {
  if (!r->bulk) return read_within(h, dst, n, kPluginWaitMs);
  if (held(r) > 0) {
    uint32_t t = take(r, dst, n);
    if (t < n) {
      int k = shm_try_read(h, dst + t, n - t);
      if (k > 0) t += (uint32_t)k;
    }
    return (int)t;
  }
  r->chunkPos = r->chunkEnd = 0;
  int k = read_within(h, r->chunk, CAPTURE_CHUNK_SIZE, kPluginWaitMs);
  if (k <= 0) return k;
  r->chunkEnd = (uint32_t)k;
  return (int)take(r, dst, n);
}

// Head search of one round; 1 found, 0 when a read came back without exactly
// one byte (the partial match is forgotten) or the scan budget ran out.
int plugin_find_head(ShmHandle* h, RecordReader* r) {
  int m = 0;
  uint32_t scanned = 0;
  for (;;) {
    if (r->bulk && held(r) > 0) {
      uint32_t skipped;
      bool sawQ = scan_held(r, &m, &skipped);
      scanned += skipped;
      if (!sawQ && scanned >= kScanBudget) return 0;
      if (m == 4) return 1;
      continue;
    }
    uint8_t b;
    if (plugin_read(h, r, &b, 1) != 1) return 0;
    m = head_step(m, b);
    if (m == 4) return 1;
    if (m == 0 && ++scanned >= kScanBudget) return 0;
  }
}

// Checks the length fields, descrambles and fills `out`. `length` has been
// checked against the body buffer already. 1 used, 0 skipped.
int finish_record(RecordReader* r, uint32_t length, CaptureRecordOut* out) {
  for (uint32_t i = 0; i < kScrambled; ++i) r->body[i] = (uint8_t)(r->body[i] - kKey14[i]);
  uint32_t stampHigh = le32(r->body);
  uint32_t stampLow = le32(r->body + 4);
  uint32_t dataLength = le32(r->body + 8);
  if ((int64_t)dataLength > (int64_t)length - (int64_t)CAPTURE_OVERHEAD) {
    r->skipped++;
    return 0;
  }
  out->packet = r->body + CAPTURE_HEADER_SIZE;
  out->dataLength = dataLength;
  out->stampHigh = stampHigh;
  out->stampLow = stampLow;
  out->timestamp = (uint64_t)stampHigh << 32 | stampLow;
  r->records++;
  return 1;
}

inline bool length_fits(uint32_t length) {
  return length > CAPTURE_FRAME_SIZE && length <= CAPTURE_RECORD_MAX;
}

}  // namespace

void hdrdecrypt(uint8_t* bytes, const char* key) {
  size_t n = key ? std::strlen(key) : 0;
  if (!bytes || n == 0) return;
  for (size_t i = 0, k = 0; i < kScrambled; ++i, k = k + 1 == n ? 0 : k + 1)
    bytes[i] = (uint8_t)(bytes[i] - (uint8_t)key[k]);
}

void hdrencrypt(uint8_t* bytes, const char* key) {
  size_t n = key ? std::strlen(key) : 0;
  if (!bytes || n == 0) return;
  for (size_t i = 0, k = 0; i < kScrambled; ++i, k = k + 1 == n ? 0 : k + 1)
    bytes[i] = (uint8_t)(bytes[i] + (uint8_t)key[k]);
}

size_t capture_record_encode(uint8_t* out, size_t cap, const uint8_t* packet, uint32_t len,
                             uint64_t timestamp_ns) {
  if (!out || len > CAPTURE_PACKET_MAX || (len > 0 && !packet)) return 0;
  size_t total = (size_t)CAPTURE_OVERHEAD + len;
  if (cap < total) return 0;
  std::memcpy(out, kHead, 4);
  put_le32(out + 4, (uint32_t)total);
  uint8_t* body = out + CAPTURE_FRAME_SIZE;
  put_le32(body, (uint32_t)(timestamp_ns >> 32));
  put_le32(body + 4, (uint32_t)timestamp_ns);
  put_le32(body + 8, len);
  if (len > 0) std::memcpy(body + CAPTURE_HEADER_SIZE, packet, len);
  // Scramble only bytes that belong to this record: a packet shorter than
  // two bytes leaves the bytes behind it alone (the reader ignores them).
  size_t n = (size_t)CAPTURE_HEADER_SIZE + len < kScrambled ? CAPTURE_HEADER_SIZE + len : kScrambled;
  for (size_t i = 0; i < n; ++i) body[i] = (uint8_t)(body[i] + kKey14[i]);
  return total;
}

void record_reader_init(RecordReader* reader) {
  std::memset(reader->body, 0, sizeof reader->body);
  reader->printLengths = 1;
  reader->bulk = 1;
  reader->chunkPos = reader->chunkEnd = 0;
  reader->records = reader->skipped = reader->abandoned = 0;
  reader->idle = nullptr;
  reader->idleUser = nullptr;
}

uint32_t record_reader_buffered(const RecordReader* reader) { return held(reader); }

int data_find_head(ShmHandle* handle) {
  int m = 0;
  for (;;) {
    uint8_t b;
    if (shm_read(handle, &b, 1, kPluginWaitMs) != 1) return 0;
    m = head_step(m, b);
    if (m == 4) return 1;
  }
}

int record_read_exact(ShmHandle* handle, RecordReader* reader, const std::atomic<bool>* stop,
                      CaptureRecordOut* out) {
  for (;;) {
    if (stop_set(stop)) return 0;
    if (!exact_find_head(handle, reader, stop)) return 0;
    uint8_t field[4];
    if (!exact_read(handle, reader, stop, field, 4)) return 0;
    uint32_t length = le32(field);
    if (!length_fits(length)) {
      reader->skipped++;
      continue;
    }
    if (!exact_read(handle, reader, stop, reader->body, length - CAPTURE_FRAME_SIZE)) return 0;
    if (finish_record(reader, length, out)) return 1;
  }
}

int record_read_plugin(ShmHandle* handle, RecordReader* reader, CaptureRecordOut* out) {
  if (!plugin_find_head(handle, reader)) return 0;
  uint8_t field[4];
  if (plugin_read(handle, reader, field, 4) != 4) {
    reader->abandoned++;
    return 0;
  }
  uint32_t length = le32(field);
  if (!length_fits(length)) {
    reader->skipped++;
    return 0;
  }
  uint32_t want = length - CAPTURE_FRAME_SIZE;
  int got = plugin_read(handle, reader, reader->body, want);
  if (got <= 0 || (uint32_t)got != want) {
    reader->abandoned++;
    return 0;
  }
  if (!finish_record(reader, length, out)) return 0;
  if (reader->printLengths) std::printf("len = %d\n", (int)out->dataLength);
  return 1;
}
