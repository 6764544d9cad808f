// The data directory and the steps shared by every store file: forming a
// path, creating or truncating a file at its initial size, mapping it,
// growing it by doubling, and the store's messages.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdint>

#include "os/mapped_file.h"

// Every store file starts at this size (5 MiB) and doubles when full.
enum : uint64_t { kStoreInitialSize = 5242880 };
// "WRDH" read as a little-endian u32.
enum : uint32_t { kStoreMagic = 0x48445257 };

// Sets the process-wide directory of the store files ("data" by default,
// relative to the current directory). Call it before opening stores.
void store_set_data_dir(const char* dir);
// The current data directory.
const char* store_data_dir(void);

// The path of `name` in the data directory, in a per-thread buffer valid
// until the next call on the same thread; null when the path is too long.
const char* datafile_path(const char* name);
// The same into `out`; 0, or -1 when it does not fit (nothing is truncated).
int store_format_path(const char* dir, const char* name, char* out, size_t cap);

// Creates or truncates `name` in the data directory (creating the directory
// when missing) and gives it `initial_size` zero bytes when it is empty
// (a sparse size: the bytes take disk space only once written).
// Returns the open file and its size in *actual_size, or OS_FILE_INVALID.
os_file create_data_file(const char* name, uint64_t initial_size, uint64_t* actual_size);
// The same for an already formed path inside directory `dir`.
os_file store_create_file(const char* dir, const char* path, uint64_t initial_size,
                          uint64_t* actual_size);
// Maps the first `size` bytes of `file` for reading (stores write through the
// file, never through the view); null on failure.
void* map_file(os_file file, uint64_t size);

// Doubles the file behind the view *mapped of *mapped_size bytes and maps
// the new size. On failure the old view and size are kept, the messages of
// the file's kind are logged and -1 is returned.
int store_grow_view(os_file file, uint8_t** mapped, uint64_t* mapped_size, const char* extend_msg);

// One line naming what a failed write of the store file at `path` ran into,
// for the user: "no space left on the device holding DIR (writing NAME)" for
// a full disk, else the file and the system's text. Returns `out`.
const char* store_failure_text(int error, const char* path, char* out, size_t cap);

// Logs a message; with `also_stderr` it is written to standard error too.
void store_message(int also_stderr, const char* fmt, ...) __attribute__((format(printf, 2, 3)));

// Copy of a C string on the heap (null when out of memory).
char* store_strdup(const char* s);
