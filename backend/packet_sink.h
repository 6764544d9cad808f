// Where the backend's packets go: the channel (channel_sink.h), or anything
// else a test or benchmark wants to see them in. The producers (the paced
// simulation and the replay) only know this small interface.
#pragma once

#include <cstdint>

struct PacketSink {
  // Takes one packet. 0 when taken, -1 when the sink failed or a stop came
  // while it waited for room (the packet was not taken).
  int (*put)(void* ctx, const uint8_t* bytes, uint32_t length, uint64_t timestamp_ns);
  // Hands on everything taken so far. 0 when done, -1 as for put.
  int (*flush)(void* ctx);
  void* ctx;  // the sink's own state
};

// Polled by producers and sinks between steps; 1 means stop now.
typedef int (*StopCheck)(void);
