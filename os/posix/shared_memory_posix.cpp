// POSIX shared memory (shm_open/mmap) behind os/shared_memory.h.
#include "os/shared_memory.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

static thread_local unsigned long t_last_error = 0;

static int fail(int err) {
  t_last_error = (unsigned long)err;
  errno = err;
  return -1;
}

unsigned long os_shm_last_error(void) { return t_last_error; }

int os_shm_name(const char* base, char* out, size_t cap) {
  const char* suffix = std::getenv("QELVO_SHM_SUFFIX");
  int n = std::snprintf(out, cap, "/%s%s", base, suffix ? suffix : "");
  if (n < 0 || (size_t)n >= cap) return fail(ENAMETOOLONG);
  return 0;
}

static int map_fd(int fd, size_t size, OsShmRegion* out) {
  void* addr = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  if (addr == MAP_FAILED) return -1;
  out->fd = fd;
  out->addr = addr;
  out->size = size;
  return 0;
}

int os_shm_create_exclusive(const char* name, size_t size, OsShmRegion* out) {
  *out = OsShmRegion{-1, nullptr, 0};
  if (size == 0) return fail(EINVAL);
  int fd = shm_open(name, O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd < 0) return fail(errno);
  // A umask may have cleared bits; the mode must be exactly owner read/write.
  if (fchmod(fd, 0600) != 0 || ftruncate(fd, (off_t)size) != 0 || map_fd(fd, size, out) != 0) {
    int err = errno;
    close(fd);
    shm_unlink(name);
    return fail(err);
  }
  return 0;
}

int os_shm_open_existing(const char* name, size_t size, OsShmRegion* out) {
  *out = OsShmRegion{-1, nullptr, 0};
  if (size == 0) return fail(EINVAL);
  int fd = shm_open(name, O_RDWR | O_CLOEXEC, 0);
  if (fd < 0) return fail(errno);
  // Mapping past the end of the object would fault on first touch.
  struct stat st;
  if (fstat(fd, &st) != 0) {
    int err = errno;
    close(fd);
    return fail(err);
  }
  if ((uint64_t)st.st_size < (uint64_t)size) {
    close(fd);
    return fail(EINVAL);
  }
  if (map_fd(fd, size, out) != 0) {
    int err = errno;
    close(fd);
    return fail(err);
  }
  return 0;
}

int os_shm_exists(const char* name) {
  int fd = shm_open(name, O_RDONLY | O_CLOEXEC, 0);
  if (fd < 0) {
    t_last_error = (unsigned long)errno;
    return 0;
  }
  close(fd);
  return 1;
}

int os_shm_is_current(const char* name, const OsShmRegion* region) {
  if (!region || region->fd < 0) return 0;
  int fd = shm_open(name, O_RDONLY | O_CLOEXEC, 0);
  if (fd < 0) return 0;
  struct stat a, b;
  int same = fstat(fd, &a) == 0 && fstat(region->fd, &b) == 0 && a.st_dev == b.st_dev &&
             a.st_ino == b.st_ino;
  close(fd);
  return same;
}

void os_shm_close(OsShmRegion* region) {
  // A region is open exactly when it has a view; a zeroed one has fd 0,
  // which is not ours to close.
  if (!region || !region->addr) return;
  munmap(region->addr, region->size);
  if (region->fd >= 0) close(region->fd);
  region->addr = nullptr;
  region->size = 0;
  region->fd = -1;
}

int os_shm_unlink(const char* name) {
  if (shm_unlink(name) != 0) return fail(errno);
  return 0;
}
