#include "os/signals.h"

#include <csignal>
#include <cstring>
#include <sys/prctl.h>
#include <unistd.h>

// sig_atomic_t is the only type a handler may write; the loops only read it.
static volatile sig_atomic_t g_stop = 0;

static void on_stop_signal(int) { g_stop = 1; }

int os_stop_signals_install(void) {
  struct sigaction sa;
  memset(&sa, 0, sizeof sa);
  sa.sa_handler = on_stop_signal;
  sigemptyset(&sa.sa_mask);
  // No SA_RESTART: a blocking call returns early, so the stop is seen soon.
  sa.sa_flags = 0;
  if (sigaction(SIGTERM, &sa, nullptr) != 0) return -1;
  if (sigaction(SIGINT, &sa, nullptr) != 0) return -1;
  // A reader that vanished must not kill a writer through a broken pipe.
  signal(SIGPIPE, SIG_IGN);
  return 0;
}

int os_stop_with_parent(void) {
  if (prctl(PR_SET_PDEATHSIG, SIGTERM) != 0) return -1;
  // The parent may have gone before the request was made: we then belong
  // to init already.
  if (getppid() == 1) g_stop = 1;
  return 0;
}

int os_stop_requested(void) { return g_stop != 0; }

void os_stop_request(void) { g_stop = 1; }

void os_stop_reset(void) { g_stop = 0; }
