// Copying a capture file into another format (the capture data file saved
// as pcapng), with progress and cancel, and the status and progress
// conventions shared by the long capture-file operations of Open and Save.
#pragma once

#include <cstddef>
#include <cstdint>

#include "store/capture/capture_file.h"

// Results of a long capture-file operation.
enum { CAPTURE_IO_OK = 0, CAPTURE_IO_FAILED = -1, CAPTURE_IO_CANCELLED = -2 };

// Progress of a long operation: `done` of `total` (bytes, approximate).
// Called at the start, every few thousand packets and at the end; nonzero
// cancels the operation.
typedef int (*capture_progress_fn)(void* user, uint64_t done, uint64_t total);

// Packets between two progress calls.
enum { kCaptureProgressEvery = 4096 };

// Ends writing `path` with `writer` after an operation that came to
// `status`: closes the writer (a failed close turns success into failure,
// its message in `err`), deletes the file unless everything succeeded, and
// then reports the whole `total` as done. Returns the final status.
int capture_write_end(CaptureWriter* writer, int status, const char* path, uint64_t total,
                      capture_progress_fn progress, void* user, char* err, size_t err_cap);

// Writes every packet of the capture file `src` (any readable format, time
// stamps as stored) into a new file `dst` of `format`. CAPTURE_IO_OK,
// CAPTURE_IO_CANCELLED, or CAPTURE_IO_FAILED with a one-line message naming
// the file in `err` (a damaged source, a packet the format cannot hold, a
// failed write, `dst` being `src`). On failure and cancel `dst` is deleted;
// `src` is never changed.
int capture_convert(const char* src, const char* dst, CaptureFormat format,
                    capture_progress_fn progress, void* user, char* err, size_t err_cap);
