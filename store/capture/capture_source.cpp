// Buffered input for the capture readers. Records are parsed straight out of
// one large buffer; the buffer is refilled with fread so that a file of any
// size streams through a fixed amount of memory.
#include <cerrno>
#include <cstdlib>

#include "store/capture/capture_internal.h"

// Under AddressSanitizer the part of the buffer that holds no readable file
// data is poisoned, so a parser that strays past the bytes it was given is
// caught at once (the fuzz tests rely on this).
#include "os/asan.h"
#ifdef ORVANE_ASAN
#include <sanitizer/asan_interface.h>
#endif

static void unpoison_all(CaptureSource* src) {
#ifdef ORVANE_ASAN
  ASAN_UNPOISON_MEMORY_REGION(src->buf, CAPTURE_SOURCE_CAPACITY);
#else
  (void)src;
#endif
}

// Poisons the buffer from the end of the data that may be handed out.
static void poison_rest(CaptureSource* src) {
#ifdef ORVANE_ASAN
  size_t end = src->len;
  if (src->limit != UINT64_MAX) {
    uint64_t room = src->limit > src->base ? src->limit - src->base : 0;
    if (room < end) end = (size_t)room;
  }
  ASAN_POISON_MEMORY_REGION(src->buf + end, CAPTURE_SOURCE_CAPACITY - end);
#else
  (void)src;
#endif
}

int capture_source_open(CaptureSource* src, const char* path, char* err, size_t err_cap) {
  memset(src, 0, sizeof *src);
  src->limit = UINT64_MAX;
  src->file = fopen(path, "rb");
  if (!src->file) {
    capture_set_error(err, err_cap, path, "cannot open: %s", strerror(errno));
    return -1;
  }
  // Our own buffer does the buffering; stdio's would only add a copy.
  setvbuf(src->file, nullptr, _IONBF, 0);
  src->buf = (uint8_t*)malloc(CAPTURE_SOURCE_CAPACITY);
  if (!src->buf) {
    capture_set_error(err, err_cap, path, "out of memory");
    fclose(src->file);
    src->file = nullptr;
    return -1;
  }
  poison_rest(src);
  return 0;
}

void capture_source_close(CaptureSource* src) {
  if (src->file) fclose(src->file);
  if (src->buf) unpoison_all(src);
  free(src->buf);
  memset(src, 0, sizeof *src);
}

// Bytes between the read position and the limit that the buffer may still
// hand out (the limit can cut the buffered data short).
static size_t visible(const CaptureSource* src) {
  size_t have = src->len - src->pos;
  if (src->limit != UINT64_MAX) {
    uint64_t off = src->base + src->pos;
    uint64_t room = src->limit > off ? src->limit - off : 0;
    if (room < have) have = (size_t)room;
  }
  return have;
}

long capture_source_refill(CaptureSource* src, size_t n) {
  if (n > CAPTURE_SOURCE_CAPACITY) n = CAPTURE_SOURCE_CAPACITY;
  if (src->len - src->pos < n && !src->at_eof && !src->read_error) {
    // Keep the unread tail, move it to the front, and read after it.
    unpoison_all(src);
    size_t tail = src->len - src->pos;
    if (src->pos > 0) {
      memmove(src->buf, src->buf + src->pos, tail);
      src->base += src->pos;
      src->pos = 0;
      src->len = tail;
    }
    while (src->len < n && !src->at_eof) {
      size_t want = CAPTURE_SOURCE_CAPACITY - src->len;
      errno = 0;
      size_t got = fread(src->buf + src->len, 1, want, src->file);
      src->len += got;
      if (got < want) {
        if (ferror(src->file)) {
          src->read_error = errno ? errno : EIO;
          break;
        }
        src->at_eof = 1;
      }
    }
    poison_rest(src);
  }
  size_t have = visible(src);
  if (have >= n) return (long)n;
  if (src->read_error) return -1;
  return (long)have;
}

void capture_source_set_limit(CaptureSource* src, uint64_t limit) {
  src->limit = limit;
  unpoison_all(src);
  poison_rest(src);
}

int capture_source_skip(CaptureSource* src, uint64_t n) {
  while (n > 0) {
    size_t chunk = n > CAPTURE_SOURCE_CAPACITY ? CAPTURE_SOURCE_CAPACITY : (size_t)n;
    long got = capture_source_fill(src, chunk);
    if (got < 0) return -1;
    if (got == 0) return 0;
    capture_source_advance(src, (size_t)got);
    n -= (uint64_t)got;
  }
  return 1;
}
