// Staged appends of a store file (see append_buffer.h).
#include "store/append_buffer.h"

#include <cerrno>
#include <cstdlib>

#include "os/big_buffer.h"
#include "store/file_writer.h"

void append_buffer_init(AppendBuffer* ab, uint64_t base, uint32_t cap) {
  ab->bytes = ab->block = nullptr;
  ab->blockSize = 0;
  ab->cap = cap;
  ab->len = 0;
  ab->base = base;
  ab->failed = 0;
  ab->writer = nullptr;
  ab->spare = nullptr;
  ab->writing = false;
  ab->writeFailed = 0;
  ab->writebackFrom = ab->cachedFrom = base;
  ab->cacheBounded = false;
}

// Waits for the write handed to the writer; its failure becomes ours.
static void wait_writer(AppendBuffer* ab) {
  if (!ab->writer) return;
  file_writer_wait(ab->writer, ab);
  if (ab->writeFailed && !ab->failed) ab->failed = ab->writeFailed;
}

static bool in_block(const AppendBuffer* ab, const uint8_t* p) {
  return p >= ab->block && p < ab->block + ab->blockSize;
}

void append_buffer_release(AppendBuffer* ab) {
  wait_writer(ab);
  if (!in_block(ab, ab->bytes)) free(ab->bytes);
  if (!in_block(ab, ab->spare)) free(ab->spare);
  os_big_buffer_free(ab->block, ab->blockSize);
  ab->bytes = ab->spare = ab->block = nullptr;
  ab->blockSize = 0;
  ab->len = 0;
}

// The memory of the first append: with a writer both buffers at once, as
// one block (two staging buffers of the value stores fill a huge page).
static int take_memory(AppendBuffer* ab) {
  size_t size = ab->writer ? 2 * (size_t)ab->cap : ab->cap;
  uint8_t* block = (uint8_t*)os_big_buffer_alloc(size);
  if (!block && size > ab->cap) block = (uint8_t*)os_big_buffer_alloc(size = ab->cap);
  if (!block) return -1;
  ab->block = ab->bytes = block;
  ab->blockSize = size;
  if (size > ab->cap) ab->spare = block + ab->cap;
  return 0;
}

void append_buffer_restart(AppendBuffer* ab, uint64_t base) {
  wait_writer(ab);
  ab->len = 0;
  ab->base = base;
  ab->writebackFrom = ab->cachedFrom = base;
  ab->cacheBounded = false;
}

void append_buffer_settle(AppendBuffer* ab) { wait_writer(ab); }

void append_buffer_set_writer(AppendBuffer* ab, FileWriter* writer) {
  wait_writer(ab);
  ab->writer = writer;
}

// Writes the staged bytes here and now.
static int write_here(AppendBuffer* ab, os_file f) {
  if (os_file_write_at(f, ab->base, ab->bytes, ab->len) != 0) {
    ab->failed = errno ? errno : EIO;
    return -1;
  }
  ab->base += ab->len;
  ab->len = 0;
  return 0;
}

// Hands the staged bytes to the writer and stages on in the other buffer;
// writes them here when there is no memory for a second buffer.
static int hand_over(AppendBuffer* ab, os_file f) {
  wait_writer(ab);
  if (ab->failed) return -1;
  if (!ab->spare && !(ab->spare = (uint8_t*)malloc(ab->cap))) return write_here(ab, f);
  uint8_t* full = ab->bytes;
  ab->bytes = ab->spare;
  ab->spare = full;
  file_writer_submit(ab->writer, ab, f, ab->base, full, ab->len);
  ab->base += ab->len;
  ab->len = 0;
  return 0;
}

void append_buffer_start_flush(AppendBuffer* ab, os_file f) {
  if (ab->writer && !ab->failed && ab->len) hand_over(ab, f);
}

int append_buffer_flush(AppendBuffer* ab, os_file f) {
  if (!ab->failed && ab->len) {
    if (ab->writer)
      hand_over(ab, f);
    else
      write_here(ab, f);
  }
  wait_writer(ab);
  if (ab->failed) {
    errno = ab->failed;
    return -1;
  }
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
  if (!ab->bytes && take_memory(ab) != 0) {
    errno = ENOMEM;
    return nullptr;
  }
  if (ab->cap - ab->len < n) {
    int rc = ab->writer ? hand_over(ab, f) : write_here(ab, f);
    if (rc != 0) {
      errno = ab->failed;
      return nullptr;
    }
  }
  return ab->bytes + ab->len;
}

uint8_t* append_buffer_at(AppendBuffer* ab, uint64_t offset, uint32_t n) {
  if (offset < ab->base || offset - ab->base > ab->len || ab->len - (offset - ab->base) < n)
    return nullptr;
  return ab->bytes + (offset - ab->base);
}
