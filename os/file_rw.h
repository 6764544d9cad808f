// Reading and writing a file at an offset through the file itself (no view),
// and the identity of a path. The loaded-packet list keeps its records in a
// scratch file this way, and Open notices a file that changes or vanishes
// while it is read.
//
// Functions return 0 (or a count) on success and -1 on failure; errno (see
// os_file_error) then holds the cause.
#pragma once

#include <cstdint>

#include "os/mapped_file.h"

// Writing at an offset is os_file_write_at (os/mapped_file.h).
// Reads up to `len` bytes at `offset`; the count read (fewer only at the end
// of the file), or -1.
int64_t os_file_pread(os_file f, uint64_t offset, void* out, uint64_t len);

// What tells one version of a file from another: the file itself, its size
// and its last change.
struct OsFileStamp {
  uint64_t device;
  uint64_t inode;
  uint64_t size;
  int64_t mtime_ns;  // last modification
  int64_t ctime_ns;  // last status change (a rewrite that restores mtime still moves it)
  int regular;       // a plain file (not a directory, pipe or device)
};

// The stamp of the file at `path` (links followed). 0, or -1 (ENOENT when it
// is gone).
int os_path_stamp(const char* path, OsFileStamp* out);
// 1 when both stamps name the same, unchanged file.
int os_file_stamp_equal(const OsFileStamp* a, const OsFileStamp* b);
