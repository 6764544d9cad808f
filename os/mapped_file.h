// Files that are mapped into memory: the row stores, the data files and the
// child index's scratch file. Plain functions over the operating system's
// file calls; a Windows layer implements the same functions beside posix/.
//
// The stores write through the file (os_file_write_at) and read through a
// read-only view; only the scratch file is written through its view, in
// ranges reserved beforehand.
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

// Maps the first `size` bytes of the file read/write and shared. Writing
// through such a view into a range of the file that holds no data yet can
// kill the process when the file system has no room for the page: reserve
// the range first (os_file_reserve). Null on failure.
void* os_file_map(os_file f, uint64_t size);
// Maps the first `size` bytes read-only and shared; bytes written through
// the file (os_file_write_at) show in it at once. Null on failure.
void* os_file_map_read(os_file f, uint64_t size);
// Replaces the view `addr` of `old_size` bytes by one of `new_size` bytes
// (the address may change; the access stays). On failure the old view stays
// valid and null is returned.
void* os_file_remap(os_file f, void* addr, uint64_t old_size, uint64_t new_size);
int os_file_unmap(void* addr, uint64_t size);

// Writes `len` bytes at `offset` through the file itself, into the system's
// cache of the file, where every view of the file sees them: one copy, and a
// full disk is an error here rather than a fault later. All or nothing as
// far as the caller is concerned: 0, or -1 (ENOSPC, EFBIG, EIO, ...) when
// not every byte could be written.
int os_file_write_at(os_file f, uint64_t offset, const void* bytes, uint64_t len);
// Asks the system to back `len` bytes of a writable view at `addr` with
// pages now, in one call instead of one fault per page (faults are dear in
// some virtual machines). A hint: failures (an older system) are ignored and
// the pages fault in as they are first written.
void os_file_populate(void* addr, uint64_t len);
// Reserves the disk space of [offset, offset + len) inside the file, so that
// writing through a view there cannot fail for want of room. The file's size
// does not change. 0, or -1 (ENOSPC when the file system is full).
int os_file_reserve(os_file f, uint64_t offset, uint64_t len);
// Has the system start writing [offset, offset + len) of the file's cached
// pages to the disk, without waiting for it. A hint: failures are ignored.
void os_file_start_writeback(os_file f, uint64_t offset, uint64_t len);
// Lets the system drop the pages of [offset, offset + len) from its cache of
// the file where they are on the disk already (the rest stay; views read
// dropped pages back from the disk). A hint: failures are ignored.
void os_file_drop_cached(os_file f, uint64_t offset, uint64_t len);

// 0 when the path exists and is accessible.
int os_path_access(const char* path);
// Creates one directory (mode 0755); fails when it already exists.
int os_make_dir(const char* path);

// System error code of the last failed call of this layer on this thread.
unsigned long os_file_error(void);
// A failure injected for tests of error paths: the next `count` calls of the
// named operation ("set_size", "map", "remap", "open", "write", "reserve")
// fail with `error`.
void os_file_fail_next(const char* operation, int count, int error);
