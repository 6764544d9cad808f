#include "backend/channel_sink.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "acquisition/capture_record.h"
#include "acquisition/shm_channel.h"
#include "os/clock.h"
#include "os/log.h"

enum {
  // Big enough that one lock carries thousands of records, small enough that
  // a slow reader frees room for it quickly.
  BATCH_BYTES = 256 * 1024,
  BATCH_MAX_PACKETS = BATCH_BYTES / CAPTURE_OVERHEAD,
  // The lock is held only for a copy; waiting longer than this is a fault.
  LOCK_WAIT_MS = 5000,
  // Consecutive channel errors before the sink gives up.
  MAX_ERRORS = 5,
  // Waiting this long for room gets one notice on stderr.
  FULL_NOTICE_MS = 5000,
  // The mirror file is brought up to date on disk at least this often, so a
  // backend that is killed outright leaves a file lacking only the last moment.
  MIRROR_FLUSH_MS = 1000,
};

// Where one queued packet lies in the batch, for the mirror file.
struct BatchEntry {
  uint32_t record_offset;  // start of its record in `records`
  uint32_t length;         // packet length
  uint64_t timestamp_ns;   // its time stamp
};

struct ChannelSink {
  ShmHandle* channel;          // our attachment to the channel
  StopCheck stop;              // polled while waiting; may be null
  CaptureWriter* mirror;       // "-f" file, not owned; null when none or failed
  int mirror_failed;           // the mirror failed and was dropped
  uint64_t mirror_flushed_ns;  // when the mirror was last brought up to date on disk
  uint8_t* records;            // the batch: whole encoded records back to back
  uint32_t used;               // bytes of the batch in use
  BatchEntry* entries;         // one per queued packet
  uint32_t count;              // packets queued
  ChannelSinkStats stats;      // counters
};

static int stop_now(const ChannelSink* s) { return s->stop && s->stop(); }

ChannelSink* channel_sink_open(StopCheck stop, char* err, size_t err_cap) {
  ShmConfig config = {SHM_DEFAULT_SIZE, 5000, 1, 1};
  ShmHandle* channel = shm_open(&config);
  if (!channel) channel = shm_create(&config);
  if (!channel) {
    if (err && err_cap) snprintf(err, err_cap, "cannot attach to the capture channel: %s", shm_get_last_error());
    return nullptr;
  }
  ChannelSink* s = (ChannelSink*)calloc(1, sizeof *s);
  if (s) {
    s->records = (uint8_t*)malloc(BATCH_BYTES);
    s->entries = (BatchEntry*)malloc(sizeof(BatchEntry) * BATCH_MAX_PACKETS);
  }
  if (!s || !s->records || !s->entries) {
    if (err && err_cap) snprintf(err, err_cap, "out of memory");
    if (s) {
      free(s->records);
      free(s->entries);
      free(s);
    }
    shm_destroy(channel);
    return nullptr;
  }
  s->channel = channel;
  s->stop = stop;
  return s;
}

void channel_sink_set_mirror(ChannelSink* s, CaptureWriter* mirror) {
  s->mirror = mirror;
  s->mirror_failed = 0;
  s->mirror_flushed_ns = os_monotonic_ns();
}

int channel_sink_mirror_failed(const ChannelSink* s) { return s->mirror_failed; }

// Writes the packets of the batch that just went into the ring to the mirror.
static void mirror_failure(ChannelSink* s, uint64_t written, const char* err) {
  orvane_log("qelvo.exe: the capture file stopped taking packets after %llu of them: %s",
             (unsigned long long)written, err);
  s->mirror = nullptr;
  s->mirror_failed = 1;
}

static void mirror_batch(ChannelSink* s) {
  if (!s->mirror) return;
  uint8_t packet[CAPTURE_PACKET_MAX];
  char err[256];
  for (uint32_t i = 0; i < s->count; i++) {
    const BatchEntry* e = &s->entries[i];
    const uint8_t* src = s->records + e->record_offset + CAPTURE_OVERHEAD;
    memcpy(packet, src, e->length);
    // The record holds the first two packet bytes scrambled; undo that.
    for (uint32_t k = 0; k < 2 && k < e->length; k++)
      packet[k] = (uint8_t)(packet[k] - (uint8_t)kHeaderKey[(CAPTURE_HEADER_SIZE + k) % 12]);
    if (capture_writer_write(s->mirror, packet, e->length, e->timestamp_ns, err, sizeof err) != 0) {
      mirror_failure(s, s->stats.packets - s->count + i, err);
      return;
    }
  }
  uint64_t now = os_monotonic_ns();
  if (now - s->mirror_flushed_ns >= (uint64_t)MIRROR_FLUSH_MS * 1000000ull) {
    s->mirror_flushed_ns = now;
    if (capture_writer_flush(s->mirror, err, sizeof err) != 0) mirror_failure(s, s->stats.packets, err);
  }
}

int channel_sink_flush(ChannelSink* s) {
  if (s->used == 0) return 0;
  int errors = 0;
  uint64_t waiting_since = 0;
  int noticed = 0;
  for (;;) {
    int rc = shm_write(s->channel, s->records, s->used, LOCK_WAIT_MS);
    if (rc > 0) break;
    if (rc < 0) {
      if (++errors >= MAX_ERRORS) {
        orvane_log("qelvo.exe: cannot write to the capture channel: %s (%u packets not sent)",
                   shm_get_last_error(), s->count);
        s->stats.unsent += s->count;
        return -1;
      }
    } else {
      errors = 0;
      s->stats.full_waits++;
      uint64_t now = os_monotonic_ns();
      if (!waiting_since) waiting_since = now;
      if (!noticed && now - waiting_since > (uint64_t)FULL_NOTICE_MS * 1000000ull) {
        orvane_log("qelvo.exe: the capture channel has been full for %d s; waiting for a reader",
                   FULL_NOTICE_MS / 1000);
        noticed = 1;
      }
    }
    if (stop_now(s)) {
      s->stats.unsent += s->count;
      return -1;
    }
    // The reader frees room in big steps; a millisecond is plenty to wait.
    os_sleep_ms(1);
  }
  s->stats.packets += s->count;
  s->stats.bytes += s->used;
  mirror_batch(s);
  s->used = 0;
  s->count = 0;
  return 0;
}

int channel_sink_put(ChannelSink* s, const uint8_t* bytes, uint32_t length, uint64_t timestamp_ns) {
  if (length > CAPTURE_PACKET_MAX) return -1;
  if (s->used + CAPTURE_OVERHEAD + length > BATCH_BYTES || s->count == BATCH_MAX_PACKETS) {
    if (channel_sink_flush(s) != 0) return -1;
  }
  size_t n = capture_record_encode(s->records + s->used, BATCH_BYTES - s->used, bytes, length, timestamp_ns);
  if (n == 0) return -1;
  BatchEntry* e = &s->entries[s->count++];
  e->record_offset = s->used;
  e->length = length;
  e->timestamp_ns = timestamp_ns;
  s->used += (uint32_t)n;
  return 0;
}

static uint32_t ring_filled(ShmHandle* channel) {
  ShmStats st;
  shm_get_stats(channel, &st);
  uint32_t r = st.readPos >= SHM_RING_SIZE ? st.readPos - SHM_RING_SIZE : st.readPos;
  return st.writePos >= r ? st.writePos - r : st.writePos + SHM_RING_SIZE - r;
}

int channel_sink_drain(ChannelSink* s, uint32_t idle_limit_ms) {
  uint32_t last = ring_filled(s->channel);
  uint64_t last_change = os_monotonic_ns();
  while (last != 0) {
    if (stop_now(s)) return 1;
    os_sleep_ms(2);
    uint32_t now_filled = ring_filled(s->channel);
    uint64_t now = os_monotonic_ns();
    if (now_filled != last) {
      last = now_filled;
      last_change = now;
    } else if (now - last_change > (uint64_t)idle_limit_ms * 1000000ull) {
      orvane_log("qelvo.exe: no reader took the last %u bytes out of the capture channel within %u ms",
                 now_filled, idle_limit_ms);
      return -1;
    }
  }
  return 0;
}

void channel_sink_get_stats(const ChannelSink* s, ChannelSinkStats* out) { *out = s->stats; }

void channel_sink_close(ChannelSink* s) {
  if (!s) return;
  shm_destroy(s->channel);
  free(s->records);
  free(s->entries);
  free(s);
}

static int put_thunk(void* ctx, const uint8_t* bytes, uint32_t length, uint64_t ts) {
  return channel_sink_put((ChannelSink*)ctx, bytes, length, ts);
}

static int flush_thunk(void* ctx) { return channel_sink_flush((ChannelSink*)ctx); }

PacketSink channel_sink_as_packet_sink(ChannelSink* s) {
  PacketSink p;
  p.put = put_thunk;
  p.flush = flush_thunk;
  p.ctx = s;
  return p;
}

uint32_t channel_sink_pending(const ChannelSink* s) { return s->count; }
