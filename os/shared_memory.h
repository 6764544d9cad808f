// Named shared-memory regions: the objects through which processes meet on
// the capture channel. A region is created exclusively or opened, mapped
// read/write in full, and unlinked by name when the last user leaves.
//
// Names are the bare object names ("MySharedMemorySegment"); os_shm_name()
// turns one into the system name, appending QELVO_SHM_SUFFIX when that
// environment variable is set so that tests never touch a live capture.
#pragma once

#include <cstddef>
#include <cstdint>

// One mapped region. Plain data; the caller owns it from create/open to close.
struct OsShmRegion {
  int fd;        // descriptor of the object, -1 when closed
  void* addr;    // start of the mapped view, null when closed
  size_t size;   // bytes mapped
};

// Longest system name os_shm_name() produces, terminating zero included.
enum { OS_SHM_NAME_MAX = 256 };

// Writes the system name for `base` (leading '/', base, suffix) into `out`;
// returns 0, or -1 when it does not fit in `cap` bytes.
int os_shm_name(const char* base, char* out, size_t cap);

// Creates the object `name` (a system name) exclusively with mode 0600, sizes
// it to `size` bytes (zero-filled) and maps it. Returns 0, or -1 with the
// error in os_shm_last_error() (EEXIST when the object already exists); on
// failure nothing is left behind.
int os_shm_create_exclusive(const char* name, size_t size, OsShmRegion* out);

// Opens the existing object `name` and maps its first `size` bytes. Returns 0,
// or -1 with the error in os_shm_last_error() (ENOENT when it does not exist,
// EINVAL when it is smaller than `size`).
int os_shm_open_existing(const char* name, size_t size, OsShmRegion* out);

// 1 when an object called `name` exists, else 0.
int os_shm_exists(const char* name);

// 1 when `name` still names the very object `region` has mapped (it was not
// unlinked or replaced since), else 0.
int os_shm_is_current(const char* name, const OsShmRegion* region);

// Counts the mappings of the object `region` has mapped in every live
// process of the machine, this one included (so at least 1). A process that
// was killed leaves no mapping behind, which tells the users still holding
// an object from counts that were never given back. -1 when the process list
// cannot be read.
int os_shm_count_mappings(const OsShmRegion* region);

// Unmaps and closes; safe on a closed or zeroed region.
void os_shm_close(OsShmRegion* region);

// Removes the name; users that have it mapped keep their view. 0 or -1.
int os_shm_unlink(const char* name);

// The error code of the last failing call of this layer on this thread
// (errno values on this platform).
unsigned long os_shm_last_error(void);
