// Mapped files on POSIX: open/ftruncate/mmap/mremap/munmap/pwrite/
// posix_fallocate/unlink.
//
// Failures keep errno; os_file_error() returns it. Test fault injection sits
// here, at the boundary with the system, so the store's error paths run for
// real without filling a disk.
#include "os/mapped_file.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

struct InjectedFault {
  const char* name;
  std::atomic<int> count;
  std::atomic<int> error;
};

InjectedFault g_faults[] = {
    {"set_size", {0}, {0}}, {"map", {0}, {0}},   {"remap", {0}, {0}},
    {"open", {0}, {0}},     {"write", {0}, {0}}, {"reserve", {0}, {0}}};

// True (with errno set) when a failure was injected for this operation.
bool injected(const char* name) {
  for (InjectedFault& f : g_faults) {
    if (strcmp(f.name, name) != 0) continue;
    int left = f.count.load(std::memory_order_relaxed);
    while (left > 0) {
      if (f.count.compare_exchange_weak(left, left - 1)) {
        errno = f.error.load();
        return true;
      }
    }
    return false;
  }
  return false;
}

int open_retry(const char* path, int flags, mode_t mode) {
  int fd;
  do fd = open(path, flags | O_CLOEXEC, mode);
  while (fd < 0 && errno == EINTR);
  return fd;
}

}  // namespace

void os_file_fail_next(const char* operation, int count, int error) {
  for (InjectedFault& f : g_faults) {
    if (strcmp(f.name, operation) == 0) {
      f.error.store(error);
      f.count.store(count);
    }
  }
}

unsigned long os_file_error(void) { return (unsigned long)errno; }

int os_file_create_truncate(const char* path, os_file* out) {
  *out = OS_FILE_INVALID;
  if (injected("open")) return -1;
  int fd = open_retry(path, O_RDWR | O_CREAT | O_TRUNC, 0644);
  if (fd < 0) return -1;
  *out = fd;
  return 0;
}

int os_file_open_existing(const char* path, os_file* out) {
  *out = OS_FILE_INVALID;
  if (injected("open")) return -1;
  int fd = open_retry(path, O_RDWR, 0);
  if (fd < 0) return -1;
  *out = fd;
  return 0;
}

int os_file_create_scratch(const char* dir, os_file* out) {
  *out = OS_FILE_INVALID;
  if (injected("open")) return -1;
  int fd;
#ifdef O_TMPFILE
  fd = open_retry(dir, O_RDWR | O_TMPFILE, 0600);
  if (fd >= 0) {
    *out = fd;
    return 0;
  }
  if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) return -1;
#endif
  // File systems without nameless files: a unique name, unlinked at once,
  // so the file vanishes with its descriptor even if the process crashes.
  char path[4096];
  int n = snprintf(path, sizeof path, "%s/.scratch-XXXXXX", dir);
  if (n < 0 || (size_t)n >= sizeof path) {
    errno = ENAMETOOLONG;
    return -1;
  }
  fd = mkostemp(path, O_CLOEXEC);
  if (fd < 0) return -1;
  if (unlink(path) != 0) {
    int e = errno;
    close(fd);
    errno = e;
    return -1;
  }
  *out = fd;
  return 0;
}

int os_file_size(os_file f, uint64_t* out) {
  struct stat st;
  if (fstat((int)f, &st) != 0) return -1;
  *out = (uint64_t)st.st_size;
  return 0;
}

int os_file_set_size(os_file f, uint64_t size) {
  if (injected("set_size")) return -1;
  if (size > (uint64_t)INT64_MAX) {
    errno = EFBIG;
    return -1;
  }
  int rc;
  do rc = ftruncate((int)f, (off_t)size);
  while (rc != 0 && errno == EINTR);
  return rc == 0 ? 0 : -1;
}

int os_file_close(os_file f) { return close((int)f) == 0 ? 0 : -1; }

int os_file_delete(const char* path) { return unlink(path) == 0 ? 0 : -1; }

static void* map_with(os_file f, uint64_t size, int prot) {
  if (injected("map")) return nullptr;
  if (size == 0 || size > (uint64_t)SIZE_MAX) {
    errno = EINVAL;
    return nullptr;
  }
  void* p = mmap(nullptr, (size_t)size, prot, MAP_SHARED, (int)f, 0);
  return p == MAP_FAILED ? nullptr : p;
}

void* os_file_map(os_file f, uint64_t size) { return map_with(f, size, PROT_READ | PROT_WRITE); }

void* os_file_map_read(os_file f, uint64_t size) { return map_with(f, size, PROT_READ); }

void* os_file_remap(os_file f, void* addr, uint64_t old_size, uint64_t new_size) {
  (void)f;
  if (injected("remap")) return nullptr;
  if (new_size == 0 || new_size > (uint64_t)SIZE_MAX) {
    errno = EINVAL;
    return nullptr;
  }
  // mremap leaves the old view in place when it fails.
  void* p = mremap(addr, (size_t)old_size, (size_t)new_size, MREMAP_MAYMOVE);
  return p == MAP_FAILED ? nullptr : p;
}

int os_file_unmap(void* addr, uint64_t size) {
  return munmap(addr, (size_t)size) == 0 ? 0 : -1;
}

void os_file_populate(void* addr, uint64_t len) {
#ifndef MADV_POPULATE_WRITE
#define MADV_POPULATE_WRITE 23  // Linux 5.14; older kernels answer EINVAL
#endif
  int saved = errno;
  madvise(addr, (size_t)len, MADV_POPULATE_WRITE);
  errno = saved;
}

int os_file_write_at(os_file f, uint64_t offset, const void* bytes, uint64_t len) {
  if (injected("write")) return -1;
  const uint8_t* p = (const uint8_t*)bytes;
  while (len > 0) {
    if (offset > (uint64_t)INT64_MAX) {
      errno = EFBIG;
      return -1;
    }
    size_t chunk = len < ((size_t)1 << 30) ? (size_t)len : ((size_t)1 << 30);
    ssize_t w = pwrite((int)f, p, chunk, (off_t)offset);
    if (w < 0 && errno == EINTR) continue;
    if (w < 0) return -1;
    // A short write is how a full file system first shows; the next call
    // reports the cause.
    if (w == 0) {
      errno = ENOSPC;
      return -1;
    }
    p += w;
    offset += (uint64_t)w;
    len -= (uint64_t)w;
  }
  return 0;
}

int os_file_reserve(os_file f, uint64_t offset, uint64_t len) {
  if (injected("reserve")) return -1;
  if (len == 0) return 0;
  if (offset > (uint64_t)INT64_MAX || len > (uint64_t)INT64_MAX - offset) {
    errno = EFBIG;
    return -1;
  }
  // posix_fallocate returns the error instead of setting errno; on a file
  // system without the call, the C library writes the blocks itself.
  int rc;
  do rc = posix_fallocate((int)f, (off_t)offset, (off_t)len);
  while (rc == EINTR);
  if (rc != 0) {
    errno = rc;
    return -1;
  }
  return 0;
}

void os_file_start_writeback(os_file f, uint64_t offset, uint64_t len) {
  int saved = errno;
  sync_file_range((int)f, (off_t)offset, (off_t)len, SYNC_FILE_RANGE_WRITE);
  errno = saved;
}

void os_file_drop_cached(os_file f, uint64_t offset, uint64_t len) {
  // Dirty pages and pages being written are left alone by the system; the
  // caller comes back to them later.
  int saved = errno;
  posix_fadvise((int)f, (off_t)offset, (off_t)len, POSIX_FADV_DONTNEED);
  errno = saved;
}

int os_path_access(const char* path) { return access(path, F_OK) == 0 ? 0 : -1; }

int os_make_dir(const char* path) { return mkdir(path, 0755) == 0 ? 0 : -1; }
