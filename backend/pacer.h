// Real-time pacing of a packet stream: the first packet goes out at once and
// every later one when as much wall time has passed as its time stamp says.
// While waiting, the sink's batch is flushed so that the packets already due
// reach the readers on time.
#pragma once

#include <cstdint>

#include "backend/packet_sink.h"

struct Pacer {
  uint64_t wall0_ns;   // monotonic time at which the first packet went out
  uint64_t stamp0_ns;  // time stamp of the first packet
  int started;         // the first packet has been seen
};

void pacer_init(Pacer* pacer);
// Waits until the packet stamped `timestamp_ns` is due. Returns 0 when it is
// due, 1 when `stop` asked to stop first, -1 when flushing the sink failed.
// A stamp earlier than its predecessors is due at once.
int pacer_wait(Pacer* pacer, uint64_t timestamp_ns, PacketSink* sink, StopCheck stop);
