#include "backend/replay.h"

#include <cstdio>
#include <cstring>

#include "acquisition/capture_record.h"
#include "backend/pacer.h"
#include "os/log.h"
#include "store/capture/capture_file.h"

int replay_parse_rate(const char* text, ReplayRate* out) {
  if (!text || !*text || strcmp(text, "real") == 0) {
    *out = REPLAY_RATE_REAL;
    return 0;
  }
  if (strcmp(text, "max") == 0) {
    *out = REPLAY_RATE_MAX;
    return 0;
  }
  return -1;
}

int replay_run(const char* path, ReplayRate rate, PacketSink* sink, StopCheck stop, ReplayResult* result,
               char* err, size_t err_cap) {
  ReplayResult local = {0, 0};
  if (!result) result = &local;
  *result = local;
  CaptureReader* reader = capture_reader_open(path, err, err_cap);
  if (!reader) return -1;
  // pcap and pcapng stamps are sent counted from the first packet, as a
  // live capture counts them, so a replay decodes to the rows orvane-dump
  // shows for the same file; the system's own files keep their stamps.
  capture_reader_set_time_base(reader, CAPTURE_TIME_FROM_FIRST);
  Pacer pacer;
  pacer_init(&pacer);
  int rc = 0;
  uint64_t index = 0;
  for (;;) {
    if (stop && stop()) {
      rc = 1;
      break;
    }
    CapturePacket pkt;
    int got = capture_reader_next(reader, &pkt, err, err_cap);
    if (got == 0) break;
    if (got < 0) {
      rc = -1;
      break;
    }
    index++;
    if (pkt.length > CAPTURE_PACKET_MAX) {
      // A record cannot carry it; say so rather than lose it quietly.
      orvane_log("qelvo.exe: %s: packet %llu has %u bytes, more than a capture record holds (%u): not sent",
                 path, (unsigned long long)index, pkt.length, (unsigned)CAPTURE_PACKET_MAX);
      result->skipped++;
      continue;
    }
    if (rate == REPLAY_RATE_REAL) {
      int w = pacer_wait(&pacer, pkt.timestamp_ns, sink, stop);
      if (w == 1) {
        rc = 1;
        break;
      }
      if (w < 0) {
        snprintf(err, err_cap, "the capture channel failed during the replay of %s", path);
        rc = -1;
        break;
      }
    }
    if (sink->put(sink->ctx, pkt.bytes, pkt.length, pkt.timestamp_ns) != 0) {
      if (stop && stop()) {
        rc = 1;
      } else {
        snprintf(err, err_cap, "the capture channel failed during the replay of %s", path);
        rc = -1;
      }
      break;
    }
    result->packets++;
  }
  capture_reader_close(reader);
  if (sink->flush(sink->ctx) != 0 && rc == 0) {
    if (stop && stop()) {
      rc = 1;
    } else {
      snprintf(err, err_cap, "the capture channel failed during the replay of %s", path);
      rc = -1;
    }
  }
  return rc;
}
