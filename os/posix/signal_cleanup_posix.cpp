// Removal of a scratch folder when a signal ends the process.
//
// Inside a signal handler only async-signal-safe calls may run: no malloc,
// no stdio, no opendir. The tree is therefore walked with openat,
// getdents64 into a buffer on the stack, and unlinkat, to a bounded depth.
// The path is copied in advance into a static buffer; a flag that the
// handler reads says whether it is valid.
#include "os/signals.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

namespace {

const int kSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGPIPE};
// Deeper folders than this are left (scratch folders are flat or nearly so).
const int kMaxDepth = 8;

char g_path[4096];
volatile sig_atomic_t g_armed = 0;

bool is_dot(const char* name) {
  return name[0] == '.' && (name[1] == 0 || (name[1] == '.' && name[2] == 0));
}

// Removes everything inside the open directory `dir`.
void remove_inside(int dir, int depth) {
  alignas(8) char buf[2048];
  // Removing entries while reading the directory may make a pass miss some;
  // passes repeat while they still remove something.
  for (int pass = 0; pass < 8; ++pass) {
    int seen = 0, removed = 0;
    lseek(dir, 0, SEEK_SET);
    for (;;) {
      ssize_t n = getdents64(dir, buf, sizeof buf);
      if (n <= 0) break;
      for (ssize_t off = 0; off < n;) {
        struct dirent64* e = reinterpret_cast<struct dirent64*>(buf + off);
        off += e->d_reclen;
        if (is_dot(e->d_name)) continue;
        ++seen;
        if (unlinkat(dir, e->d_name, 0) == 0) {
          ++removed;
          continue;
        }
        if (errno != EISDIR || depth >= kMaxDepth) continue;
        int sub = openat(dir, e->d_name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (sub >= 0) {
          remove_inside(sub, depth + 1);
          close(sub);
        }
        if (unlinkat(dir, e->d_name, AT_REMOVEDIR) == 0) ++removed;
      }
    }
    if (seen == 0 || removed == 0) break;
  }
}

void on_fatal_signal(int sig) {
  int saved = errno;
  if (g_armed) {
    int dir = open(g_path, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (dir >= 0) {
      remove_inside(dir, 0);
      close(dir);
      rmdir(g_path);
    }
    g_armed = 0;
  }
  // The signal ends the process as it would have without us: it stays
  // blocked while this handler runs and is delivered on return.
  struct sigaction dfl;
  memset(&dfl, 0, sizeof dfl);
  dfl.sa_handler = SIG_DFL;
  sigemptyset(&dfl.sa_mask);
  sigaction(sig, &dfl, nullptr);
  raise(sig);
  errno = saved;
}

}  // namespace

int os_remove_tree_on_signal(const char* path) {
  g_armed = 0;
  if (!path) return 0;
  size_t n = strlen(path);
  if (n + 1 > sizeof g_path) {
    errno = ENAMETOOLONG;
    return -1;
  }
  memcpy(g_path, path, n + 1);
  struct sigaction sa;
  memset(&sa, 0, sizeof sa);
  sa.sa_handler = on_fatal_signal;
  // One removal at a time: the other signals wait while it runs.
  sigemptyset(&sa.sa_mask);
  for (int sig : kSignals) sigaddset(&sa.sa_mask, sig);
  for (int sig : kSignals) {
    // A signal the process was started with ignored (nohup, a background
    // job) stays ignored: it would not have ended the process.
    struct sigaction old;
    if (sigaction(sig, nullptr, &old) != 0) return -1;
    if (old.sa_handler == SIG_IGN) continue;
    if (sigaction(sig, &sa, nullptr) != 0) return -1;
  }
  g_armed = 1;
  return 0;
}
