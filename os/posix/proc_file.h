// Reading a small /proc file whole, shared by the POSIX process and
// shared-memory code.
#pragma once

#include <string>

// Reads the file at `path` whole with plain reads (no streams: a file of a
// process that ends meanwhile just reads short). False when it cannot be
// opened (the process has gone, or is another user's).
bool os_posix_read_proc_file(const char* path, std::string* out);
