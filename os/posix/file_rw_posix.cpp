// Positioned reads (pread) and path stamps (stat) on POSIX.
#include "os/file_rw.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

int64_t os_file_pread(os_file f, uint64_t offset, void* out, uint64_t len) {
  uint8_t* p = (uint8_t*)out;
  uint64_t got = 0;
  while (got < len) {
    ssize_t r = pread((int)f, p + got, (size_t)(len - got), (off_t)(offset + got));
    if (r < 0 && errno == EINTR) continue;
    if (r < 0) return -1;
    if (r == 0) break;  // the end of the file
    got += (uint64_t)r;
  }
  return (int64_t)got;
}

int os_path_stamp(const char* path, OsFileStamp* out) {
  struct stat st;
  if (!path || stat(path, &st) != 0) return -1;
  out->device = (uint64_t)st.st_dev;
  out->inode = (uint64_t)st.st_ino;
  out->size = (uint64_t)st.st_size;
  out->mtime_ns = (int64_t)st.st_mtim.tv_sec * 1000000000 + st.st_mtim.tv_nsec;
  out->ctime_ns = (int64_t)st.st_ctim.tv_sec * 1000000000 + st.st_ctim.tv_nsec;
  out->regular = S_ISREG(st.st_mode) ? 1 : 0;
  return 0;
}

int os_file_stamp_equal(const OsFileStamp* a, const OsFileStamp* b) {
  return a->device == b->device && a->inode == b->inode && a->size == b->size &&
         a->mtime_ns == b->mtime_ns && a->ctime_ns == b->ctime_ns;
}
