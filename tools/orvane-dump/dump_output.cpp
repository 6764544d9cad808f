#include "tools/orvane-dump/dump_output.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "os/signals.h"
#include "os/temp_dir.h"

void dump_output_note(DumpOutput* out) {
  if (out->failed || !ferror(out->stream)) return;
  out->failed = 1;
  out->error = errno;
}

int dump_output_finish(DumpOutput* out) {
  errno = 0;
  if (fflush(out->stream) != 0 && !out->failed) {
    out->failed = 1;
    out->error = errno;
  }
  dump_output_note(out);
  if (!out->failed) return 0;
  fprintf(stderr, "orvane-dump: cannot write %s: %s\n", out->name,
          out->error ? strerror(out->error) : "write error");
  return -1;
}

// The private folder; removed at any exit (also when an integrity failure
// ends the process from inside the engine) and on the signals that end it.
static char g_privateDir[1024];

void dump_private_dir_remove(void) {
  if (!g_privateDir[0]) return;
  os_remove_tree(g_privateDir);
  // Forgotten by the signal handler only once it is gone.
  os_remove_tree_on_signal(nullptr);
  g_privateDir[0] = 0;
}

int dump_private_dir_make(char* dir, size_t cap) {
  if (os_make_temp_dir("orvane-dump-", dir, cap) != 0) {
    fprintf(stderr, "orvane-dump: cannot create a temporary directory in %s: %s\n", os_temp_root(),
            strerror(errno));
    return -1;
  }
  snprintf(g_privateDir, sizeof g_privateDir, "%s", dir);
  if (os_remove_tree_on_signal(dir) != 0) {
    fprintf(stderr, "orvane-dump: cannot install the signal handlers: %s\n", strerror(errno));
    dump_private_dir_remove();
    return -1;
  }
  atexit(dump_private_dir_remove);
  return 0;
}
