// Files that are mapped into memory: the row stores, the data files and the
// child index's scratch file. Plain functions over the operating system's
// file calls; a Windows layer implements the same functions beside posix/.
//
// Every function that can fail returns 0 (or a non-null address) on success
// and -1 (or null) on failure; os_file_error() then gives the system error
// code of the failure (errno here), which the store prints in its messages.
#pragma once

#include <cstddef>
#include <cstdint>

typedef intptr_t os_file;           // an open file; OS_FILE_INVALID when none
enum : intptr_t { OS_FILE_INVALID = -1 };

// Opens `path` for reading and writing, creating it or cutting an existing
// file to zero length (mode 0644).
int os_file_create_truncate(const char* path, os_file* out);
// Opens an existing file for reading and writing; fails when it is missing.
int os_file_open_existing(const char* path, os_file* out);
// Creates an empty, nameless scratch file in directory `dir` that disappears
// when it is closed or the process ends. Its pages are file pages, not
// anonymous memory, so large scratch structures can live in it.
int os_file_create_scratch(const char* dir, os_file* out);
// Current size in bytes.
int os_file_size(os_file f, uint64_t* out);
// Sets the size: growing fills with zero bytes, shrinking cuts the file.
int os_file_set_size(os_file f, uint64_t size);
int os_file_close(os_file f);
// Removes the file of that name.
int os_file_delete(const char* path);

// Maps the first `size` bytes of the file read/write and shared, so stores
// reach the file through memory. Null on failure.
void* os_file_map(os_file f, uint64_t size);
// Replaces the view `addr` of `old_size` bytes by one of `new_size` bytes
// (the address may change). On failure the old view stays valid and null is
// returned.
void* os_file_remap(os_file f, void* addr, uint64_t old_size, uint64_t new_size);
int os_file_unmap(void* addr, uint64_t size);
// Asks the system to back `len` bytes of a view at `addr` with writable
// pages now, in one call instead of one fault per page. A hint: failures
// (an older system, no memory) are ignored and the pages fault in later.
void os_file_prefault(void* addr, uint64_t len);

// Writes `len` zero bytes at `offset` through the file itself (not a view).
// For a range that holds no data yet this is how its pages are best made:
// plain writes create them many times faster than first-touch faults
// through a view, which read the holes in and clear them. Never extends the
// file past its size. 0, or -1 when a write failed.
int os_file_write_zeros(os_file f, uint64_t offset, uint64_t len);

// 0 when the path exists and is accessible.
int os_path_access(const char* path);
// Creates one directory (mode 0755); fails when it already exists.
int os_make_dir(const char* path);

// System error code of the last failed call of this layer on this thread.
unsigned long os_file_error(void);
// A failure injected for tests of error paths: the next `count` calls of the
// named operation ("set_size", "map", "remap", "open") fail with `error`.
void os_file_fail_next(const char* operation, int count, int error);
