// Staged appends of a store file (see append_buffer.h).
#include "store/append_buffer.h"

#include <cerrno>
#include <cstdlib>

void append_buffer_init(AppendBuffer* ab, uint64_t base, uint32_t cap) {
  ab->bytes = nullptr;
  ab->cap = cap;
  ab->len = 0;
  ab->base = base;
  ab->failed = 0;
}

void append_buffer_release(AppendBuffer* ab) {
  free(ab->bytes);
  ab->bytes = nullptr;
  ab->len = 0;
}

void append_buffer_restart(AppendBuffer* ab, uint64_t base) {
  ab->len = 0;
  ab->base = base;
}

int append_buffer_flush(AppendBuffer* ab, os_file f) {
  if (ab->failed) {
    errno = ab->failed;
    return -1;
  }
  if (ab->len == 0) return 0;
  if (os_file_write_at(f, ab->base, ab->bytes, ab->len) != 0) {
    ab->failed = errno ? errno : EIO;
    return -1;
  }
  ab->base += ab->len;
  ab->len = 0;
  return 0;
}

uint8_t* append_buffer_room(AppendBuffer* ab, os_file f, uint32_t n) {
  if (ab->failed) {
    errno = ab->failed;
    return nullptr;
  }
  if (n > ab->cap) {
    errno = EINVAL;
    return nullptr;
  }
  if (!ab->bytes) {
    ab->bytes = (uint8_t*)malloc(ab->cap);
    if (!ab->bytes) {
      errno = ENOMEM;
      return nullptr;
    }
  }
  if (ab->cap - ab->len < n && append_buffer_flush(ab, f) != 0) return nullptr;
  return ab->bytes + ab->len;
}

uint8_t* append_buffer_at(AppendBuffer* ab, uint64_t offset, uint32_t n) {
  if (offset < ab->base || offset - ab->base > ab->len || ab->len - (offset - ab->base) < n)
    return nullptr;
  return ab->bytes + (offset - ab->base);
}
