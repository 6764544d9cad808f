// Data files: one sequential byte stream in a file ("WRDH" header of 24
// bytes, then the bytes). The decoding pipeline appends raw capture records
// to one; a saved capture is opened as one and read back in order.
//
// Appends are staged and written through the file in large pieces
// (append_buffer.h); the header's counters are written with them. Reads
// write out what is staged first, then copy from a read-only view, so a
// reader always sees every byte appended. A write that fails (a full disk)
// refuses that append and every later one; the bytes written before stay.
//
// Every operation takes the handle's lock, so one thread may append while
// another reads.
#pragma once

#include <cstdint>
#include <mutex>

#include "os/mapped_file.h"
#include "store/append_buffer.h"
#include "store/store_layout.h"

struct DataFile {
  os_file hFile;          // the file
  char* filename;         // the name given at creation, or the path given to datafile_open
  char* path;             // the file's path (deleted by datafile_close_delete)
  uint8_t* mapped;        // read-only view of the whole file (header first)
  uint64_t mapped_size;   // current file and view size
  uint64_t read_pos;      // data bytes already read
  uint64_t data_bytes;    // the header's data byte count, staged bytes included
  uint64_t write_offset;  // the header's write offset, staged bytes included
  AppendBuffer staged;    // appended bytes not yet in the file
  bool header_dirty;      // the counters changed since the header was written
  bool opened;            // opened from an existing file with datafile_open
  bool written;           // appended to or reset since it was opened
  std::mutex lock;        // taken by every operation
};

// Creates (or truncates) `name` in the data directory at 5 MiB with a fresh
// header. Null on failure.
DataFile* datafile_create(const char* name);
// Opens the existing data file at `path`; null when it is missing, empty,
// shorter than its header or does not start with "WRDH".
DataFile* datafile_open(const char* path);
// Appends n (<= 4096) bytes; n, or 0 when refused, the file cannot grow or a
// write failed.
uint32_t datafile_append(DataFile* df, const void* bytes, uint32_t n);
// Copies the next n bytes (fewer when fewer remain); the count copied, or 0
// at the end of the data.
uint32_t datafile_read(DataFile* df, void* out, uint32_t n);
// Empties the file logically (no data, reading from the start); returns 0.
// A failed write is forgotten: the file starts over.
int datafile_reset(DataFile* df);
// Number of data bytes stored.
uint64_t datafile_size(DataFile* df);
// Writes out what is staged; 0, or -1 after a failed write.
int datafile_flush(DataFile* df);
// The system error of the write that failed (0 while none): ENOSPC when the
// disk is full. The file keeps every byte written before it.
int datafile_error(DataFile* df);
// Writes out what is staged, unmaps, cuts the file to 24 + data bytes and
// closes it. A file opened with datafile_open and only read keeps its size,
// so closing a capture whose header undercounts its bytes never cuts them off.
void datafile_close_truncate(DataFile* df);
// Unmaps, closes and deletes the file.
void datafile_close_delete(DataFile* df);
