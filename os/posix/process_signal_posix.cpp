// Linux signals to a child known by its id (see process_signal.h).
#include "os/process_signal.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include "os/clock.h"

int os_process_own_group(void) { return setpgid(0, 0) == 0 ? 0 : -1; }

// 0, or errno of a failing kill.
static int send(pid_t pid, int sig) {
  if (pid <= 0) return ESRCH;  // 0 and negatives would address groups
  return kill(pid, sig) == 0 ? 0 : errno;
}

int os_pid_check(uint32_t pid) { return send((pid_t)pid, 0); }
int os_pid_interrupt(uint32_t pid) { return send((pid_t)pid, SIGINT); }
int os_pid_terminate(uint32_t pid) { return send((pid_t)pid, SIGTERM); }
int os_pid_kill(uint32_t pid) { return send((pid_t)pid, SIGKILL); }

int os_pid_kill_group(uint32_t pid) {
  if ((pid_t)pid <= 1) return ESRCH;
  return killpg((pid_t)pid, SIGKILL) == 0 ? 0 : errno;
}

int os_pid_wait_end(uint32_t pid, uint32_t timeout_ms) {
  uint64_t deadline = os_monotonic_ns() + (uint64_t)timeout_ms * 1000000ull;
  for (;;) {
    // WNOWAIT leaves the zombie to its owner; __WALL also sees children
    // started by clone without SIGCHLD (Qt's process launcher uses them).
    siginfo_t info;
    memset(&info, 0, sizeof info);
    int r = waitid(P_PID, (id_t)pid, &info, WEXITED | WNOHANG | WNOWAIT | __WALL);
    if (r < 0 && errno == EINTR) continue;
    if (r < 0) return 1;  // ECHILD: already reaped by its owner
    if (info.si_pid == (pid_t)pid) return 1;
    if (os_monotonic_ns() >= deadline) return 0;
    os_sleep_ms(2);
  }
}

int os_error_text(int code, char* out, size_t cap) {
  if (!out || cap == 0) return -1;
  out[0] = 0;
  if (!strerrordesc_np(code)) return -1;
  char buf[256];
  // GNU strerror_r returns the text, which may or may not be in buf.
  const char* text = strerror_r(code, buf, sizeof buf);
  while (*text == ' ' || *text == '\t') text++;
  snprintf(out, cap, "%s", text);
  size_t n = strlen(out);
  while (n > 0 && (out[n - 1] == ' ' || out[n - 1] == '\n' || out[n - 1] == '\r')) out[--n] = 0;
  return 0;
}
