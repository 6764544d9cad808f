#include "os/log.h"

#include <atomic>
#include <cstdio>

static std::atomic<orvane_log_sink> g_sink{nullptr};
static std::atomic<void*> g_user{nullptr};
static std::atomic<int> g_muted{0};

void orvane_log_set_sink(orvane_log_sink sink, void* user) {
  g_user.store(user);
  g_sink.store(sink);
}

void orvane_log_set_muted(int muted) { g_muted.store(muted); }

void orvane_vlog(const char* fmt, va_list ap) {
  if (g_muted.load(std::memory_order_relaxed)) return;
  char line[1024];
  vsnprintf(line, sizeof line, fmt, ap);
  orvane_log_sink sink = g_sink.load();
  if (sink)
    sink(line, g_user.load());
  else
    fprintf(stderr, "%s\n", line);
}

void orvane_log(const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  orvane_vlog(fmt, ap);
  va_end(ap);
}
