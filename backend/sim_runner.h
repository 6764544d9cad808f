// Runs the simulated bus into a packet sink, either in real time (the live
// stand-in for a capture) or as a fixed number of packets as fast as the
// sink takes them (offline files, benchmarks).
#pragma once

#include <cstdint>

#include "backend/bus_simulator.h"
#include "backend/packet_sink.h"

// Sends packets in real time until `stop` says so. Returns 0 when stopped,
// -1 when the sink failed. *sent (may be null) gets the packets taken.
int sim_run_paced(BusSimulator* sim, PacketSink* sink, StopCheck stop, uint64_t* sent);
// Sends `count` packets unpaced and flushes. 0 when all went, 1 when `stop`
// ended it early, -1 when the sink failed. *sent as above.
int sim_run_count(BusSimulator* sim, PacketSink* sink, uint64_t count, StopCheck stop, uint64_t* sent);
