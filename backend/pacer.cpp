#include "backend/pacer.h"

#include "os/clock.h"

// Longest single sleep, so that a stop request is seen quickly.
static const uint64_t kMaxSleepNs = 5000000ull;

void pacer_init(Pacer* p) {
  p->wall0_ns = 0;
  p->stamp0_ns = 0;
  p->started = 0;
}

int pacer_wait(Pacer* p, uint64_t ts, PacketSink* sink, StopCheck stop) {
  uint64_t now = os_monotonic_ns();
  if (!p->started) {
    p->started = 1;
    p->wall0_ns = now;
    p->stamp0_ns = ts;
    return 0;
  }
  uint64_t due = p->wall0_ns + (ts > p->stamp0_ns ? ts - p->stamp0_ns : 0);
  int flushed = 0;
  while (now < due) {
    if (stop && stop()) return 1;
    if (!flushed) {
      if (sink->flush(sink->ctx) != 0) return -1;
      flushed = 1;
      now = os_monotonic_ns();
      continue;
    }
    uint64_t left = due - now;
    if (left > kMaxSleepNs) left = kMaxSleepNs;
    os_sleep_ms((uint32_t)((left + 999999ull) / 1000000ull));
    now = os_monotonic_ns();
  }
  return 0;
}
