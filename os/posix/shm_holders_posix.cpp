// Who still maps a shared-memory object: every /proc/PID/maps line names the
// device and inode of the file behind a mapping, and a POSIX shared-memory
// object is a file of the tmpfs under /dev/shm. A process that has ended has
// no mappings left (a zombie's maps file is empty).
#include "os/shared_memory.h"
#include "os/posix/proc_file.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

// Mappings in one maps text of the file with device major:minor and inode.
static int count_in(const std::string& maps, unsigned major_no, unsigned minor_no, unsigned long long ino) {
  int n = 0;
  size_t start = 0;
  while (start < maps.size()) {
    size_t end = maps.find('\n', start);
    if (end == std::string::npos) end = maps.size();
    // "start-end perms offset MAJ:MIN inode path"; every line has the first
    // five fields, so the scan never reaches into the next line.
    unsigned maj = 0, min = 0;
    unsigned long long node = 0;
    if (sscanf(maps.c_str() + start, "%*s %*s %*s %x:%x %llu", &maj, &min, &node) == 3 && node == ino &&
        maj == major_no && min == minor_no)
      ++n;
    start = end + 1;
  }
  return n;
}

int os_shm_count_mappings(const OsShmRegion* region) {
  struct stat st;
  if (!region || region->fd < 0 || fstat(region->fd, &st) != 0) return -1;
  DIR* dir = opendir("/proc");
  if (!dir) return -1;
  // Objects are made with mode 0600: only processes of our own user (whose
  // maps we can read) can hold them.
  int total = 0;
  std::string maps;
  char path[320];
  while (struct dirent* e = readdir(dir)) {
    const char* d = e->d_name;
    if (*d < '1' || *d > '9' || strspn(d, "0123456789") != strlen(d)) continue;
    snprintf(path, sizeof path, "/proc/%s/maps", d);
    if (!os_posix_read_proc_file(path, &maps)) continue;
    total += count_in(maps, major(st.st_dev), minor(st.st_dev), (unsigned long long)st.st_ino);
  }
  closedir(dir);
  return total;
}
