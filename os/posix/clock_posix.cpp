#include "os/clock.h"

#include <cerrno>
#include <ctime>

uint64_t os_monotonic_ns(void) {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return (uint64_t)ts.tv_sec * 1000000000ull + (uint64_t)ts.tv_nsec;
}

uint64_t os_thread_cpu_ns(void) {
  struct timespec ts;
  if (clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts) != 0) return 0;
  return (uint64_t)ts.tv_sec * 1000000000ull + (uint64_t)ts.tv_nsec;
}

uint32_t os_tick_ms(void) { return (uint32_t)(os_monotonic_ns() / 1000000ull); }

void os_sleep_ms(uint32_t ms) {
  struct timespec req = {(time_t)(ms / 1000), (long)(ms % 1000) * 1000000L};
  struct timespec rem;
  while (nanosleep(&req, &rem) != 0 && errno == EINTR) req = rem;
}
