#include "backend/sim_runner.h"

#include "backend/pacer.h"

int sim_run_paced(BusSimulator* sim, PacketSink* sink, StopCheck stop, uint64_t* sent) {
  Pacer pacer;
  pacer_init(&pacer);
  uint64_t n = 0;
  int rc = 0;
  for (;;) {
    const SimPacketView* p = bus_sim_next(sim);
    int w = pacer_wait(&pacer, p->timestamp_ns, sink, stop);
    if (w != 0) {
      rc = w < 0 ? -1 : 0;
      break;
    }
    if (sink->put(sink->ctx, p->bytes, p->length, p->timestamp_ns) != 0) {
      rc = (stop && stop()) ? 0 : -1;
      break;
    }
    n++;
  }
  if (sent) *sent = n;
  return rc;
}

int sim_run_count(BusSimulator* sim, PacketSink* sink, uint64_t count, StopCheck stop, uint64_t* sent) {
  uint64_t n = 0;
  int rc = 0;
  for (; n < count; n++) {
    // Looking at the flag every packet would cost more than the packet.
    if ((n & 1023) == 0 && stop && stop()) {
      rc = 1;
      break;
    }
    const SimPacketView* p = bus_sim_next(sim);
    if (sink->put(sink->ctx, p->bytes, p->length, p->timestamp_ns) != 0) {
      rc = (stop && stop()) ? 1 : -1;
      break;
    }
  }
  if (rc == 0 && sink->flush(sink->ctx) != 0) rc = (stop && stop()) ? 1 : -1;
  if (sent) *sent = n;
  return rc;
}
