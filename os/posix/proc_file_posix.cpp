#include "os/posix/proc_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

bool os_posix_read_proc_file(const char* path, std::string* out) {
  int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  out->clear();
  char buf[8192];
  for (;;) {
    ssize_t n = read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    out->append(buf, (size_t)n);
  }
  close(fd);
  return true;
}
