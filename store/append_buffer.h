// The bytes appended to the end of a store file, gathered on the heap and
// written through the file in large pieces.
//
// Why: making a page of a mapped file by writing through the view costs a
// page fault and a page of zeros before the bytes themselves are copied in,
// and a file system without room for the page kills the process. Written
// through the file, each stored byte is copied once into the system's cache
// of the file (which every view of it shows), and a full disk is an error
// return.
//
// Invariants:
//   1. Bytes below `base` are in the file; bytes [base, base + len) are
//      staged here and nowhere else yet.
//   2. Appends go at base + len; the owner has made the file long enough
//      before it stages bytes, so a flush never extends the file.
//   3. After a failed write the staged bytes stay staged and `failed` holds
//      the error; every later call refuses (the caller reports it once).
//   4. With a writer (file_writer.h) a full buffer is handed to the writing
//      thread and staging goes on in the second buffer; a write it failed
//      shows in `failed` at the next hand-over or flush, and its bytes are
//      lost (those staged after it are refused).
#pragma once

#include <cstddef>
#include <cstdint>

#include "os/mapped_file.h"

struct FileWriter;

struct AppendBuffer {
  uint8_t* bytes;        // staged bytes, null until the first append
  uint8_t* block;        // the memory of `bytes` (and of `spare` when taken with it)
  size_t blockSize;      // its size
  uint32_t cap;          // size of `bytes`
  uint32_t len;          // bytes staged
  uint64_t base;         // file offset of bytes[0]
  int failed;            // system error of the first failed write, 0 while none
  FileWriter* writer;    // writes full buffers on its own thread; null: written here
  uint8_t* spare;        // the second buffer (with a writer), being written or free
  bool writing;          // the writer has `spare`; under the writer's lock
  int writeFailed;       // error of a write the writer made; under the writer's lock
  uint64_t writebackFrom;  // the writer's thread only: file bytes from here not yet sent to the disk
  uint64_t cachedFrom;     // the writer's thread only: bytes below were let go from the cache
  bool cacheBounded;       // the writer's thread only: the two above are in use
};

// An empty buffer of `cap` bytes whose first byte goes to file offset `base`
// (the memory is taken on the first append).
void append_buffer_init(AppendBuffer* ab, uint64_t base, uint32_t cap);
// Frees the memory; staged bytes are dropped.
void append_buffer_release(AppendBuffer* ab);
// Drops the staged bytes; the next byte goes to `base`.
void append_buffer_restart(AppendBuffer* ab, uint64_t base);
// Has full buffers written by `writer` from now on (null: by the caller),
// after the write handed to the old one, if any, is made.
void append_buffer_set_writer(AppendBuffer* ab, FileWriter* writer);
// Waits for the write handed to the writer, if any (before bytes it covers
// are written again another way).
void append_buffer_settle(AppendBuffer* ab);

// Room for n (<= cap) more bytes at the end, writing out what is staged when
// it is full; the caller fills it and calls append_buffer_commit. Null when
// the write failed or memory ran out (errno is set).
uint8_t* append_buffer_room(AppendBuffer* ab, os_file f, uint32_t n);
static inline void append_buffer_commit(AppendBuffer* ab, uint32_t n) { ab->len += n; }
// File offset of the next byte appended.
static inline uint64_t append_buffer_end(const AppendBuffer* ab) { return ab->base + ab->len; }

// With a writer: hands the staged bytes to it without waiting for them, so
// that several files are written in one go (append_buffer_flush then only
// waits). Nothing without a writer, with nothing staged or after a failure.
void append_buffer_start_flush(AppendBuffer* ab, os_file f);
// Writes the staged bytes through the file and waits for a write handed to
// the writer. 0, or -1 (errno set, see 3 and 4).
int append_buffer_flush(AppendBuffer* ab, os_file f);
// The staged copy of [offset, offset + n), or null when any of it is in the
// file already (or was never appended).
uint8_t* append_buffer_at(AppendBuffer* ab, uint64_t offset, uint32_t n);
