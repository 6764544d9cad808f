// Monotonic time and sleeping.
#pragma once

#include <cstdint>

// Milliseconds of the monotonic clock, truncated to 32 bits (wraps after ~49 days).
uint32_t os_tick_ms(void);
// Nanoseconds of the monotonic clock.
uint64_t os_monotonic_ns(void);
// Nanoseconds of processor time used by the calling thread.
uint64_t os_thread_cpu_ns(void);
// Sleeps at least `ms` milliseconds (resumes after signals).
void os_sleep_ms(uint32_t ms);
