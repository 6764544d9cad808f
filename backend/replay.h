// Replay of a capture file into a packet sink: the system's own capture
// files, and pcap or pcapng of USB 2.0 packets, whose time stamps are sent
// counted from the file's first packet. Paced by the file's time stamps
// ("real") or as fast as the sink takes packets ("max").
#pragma once

#include <cstddef>
#include <cstdint>

#include "backend/packet_sink.h"

enum ReplayRate { REPLAY_RATE_REAL = 0, REPLAY_RATE_MAX = 1 };

struct ReplayResult {
  uint64_t packets;  // packets handed to the sink
  uint64_t skipped;  // packets too long for a capture record (each reported)
};

// Reads "real" or "max"; null or empty means "real". 0, or -1 for other text.
int replay_parse_rate(const char* text, ReplayRate* out);

// Sends every packet of `path` into `sink` and flushes it. Returns 0 at the
// end of the file, 1 when `stop` (may be null) ended it early, -1 when the
// file cannot be read or the sink failed, with a message in `err`. Packets
// sent before a failure stay sent.
int replay_run(const char* path, ReplayRate rate, PacketSink* sink, StopCheck stop, ReplayResult* result,
               char* err, size_t err_cap);
