// The simulated USB bus: an endless, deterministic stream of protocol-correct
// packets at low, full or high speed, each with a nanosecond time stamp.
// A device attaches and is enumerated with standard requests, then runs class
// traffic: NAKed interrupt polls, bulk data both ways, occasional STALLs,
// PING/NYET and split transactions to a full-speed device behind a hub at
// high speed, and rarely a packet whose CRC is damaged on purpose.
//
// Time follows the bus: packets take their bit times at 1.5, 12 or 480 Mb/s,
// with turnaround and inter-packet gaps; SOF opens every 1 ms frame at full
// speed and every 125 us microframe at high speed; low speed has no SOF.
#pragma once

#include <cstdint>

#include "backend/device_model.h"

// One packet of the simulated bus; valid until the next bus_sim_next.
struct SimPacketView {
  const uint8_t* bytes;   // the packet, PID first, CRC included
  uint32_t length;        // its length in bytes
  uint64_t timestamp_ns;  // start of the packet on the bus, from the start of the simulation
  uint8_t corrupted;      // 1 when its CRC was damaged on purpose
};

struct BusSimulator;

// A simulator for `speed`; the same seed gives the same packets. Null only
// when memory runs out.
BusSimulator* bus_sim_create(UsbSpeed speed, uint64_t seed);
// The next packet. The bus never ends, so this cannot fail.
const SimPacketView* bus_sim_next(BusSimulator* sim);
// One in `one_in` packets that can carry a CRC gets a damaged one (0: never).
// The default is one in 10,000.
void bus_sim_set_corruption(BusSimulator* sim, uint32_t one_in);
void bus_sim_destroy(BusSimulator* sim);
