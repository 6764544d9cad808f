// The shared-memory channel: a 10 MiB byte ring in a named segment, guarded
// by a named process-shared lock and signalled by a named manual-reset data
// event. The capture backend writes capture records into it; the analyzer's
// channel reader and the plugin's record reader take them out.
//
// Segment layout (little-endian): writePos u32, readPos u32, initFlag u32,
// then the ring of SHM_RING_SIZE bytes. One byte always stays free, so
// writePos == readPos means empty and the ring holds SHM_RING_SIZE - 1 bytes.
//
// Every call but shm_get_stats() and shm_get_info() touches the segment only
// while holding the lock. A lock whose holder died is repaired at once: the
// read or write that finds it so reports "获取互斥锁失败 (错误码: 130)" and
// releases it, and the next call proceeds normally; shm_clear() and
// shm_destroy() take it as taken. Each call leaves a status text, read with
// shm_get_last_error(). The status text is kept per thread: one shared
// buffer would let a call on one thread overwrite the outcome another thread
// is about to read. The texts themselves are the channel's fixed wordings.
#pragma once

#include <cstdint>

#include "os/shared_memory.h"

struct OsNamedLock;
struct OsNamedEvent;

// Bytes in the ring.
#define SHM_RING_SIZE 10485760u
// Bytes of the segment header (writePos, readPos, initFlag).
#define SHM_HEADER_SIZE 12u
// The largest count one write or read may move (the ring keeps a byte free).
#define SHM_MAX_WRITE (SHM_RING_SIZE - 1u)
// The segment size both deliverables ask for (ring + header + 244 spare).
#define SHM_DEFAULT_SIZE 10486016u
// Timeout value that waits without limit.
#define SHM_INFINITE 0xFFFFFFFFu

// The configuration a caller passes to shm_create() and shm_open(). Only
// `size` is read; the other values are carried for the callers.
struct ShmConfig {
  uint32_t size;        // bytes to create and map; at least header + ring
  uint32_t timeoutMs;   // carried, not read (5000 from the plugin, 10000 from the analyzer)
  uint8_t switchA;      // carried, not read (1)
  uint8_t switchB;      // carried, not read (1)
};

// One attachment to the channel, owned by the caller from create/open to
// shm_destroy().
struct ShmHandle {
  OsShmRegion segment;  // the mapped segment object
  OsNamedLock* lock;    // the channel lock
  OsNamedEvent* event;  // the data event
  uint8_t* view;        // start of the mapped segment (the header)
  uint32_t size;        // bytes mapped
  bool creator;         // true when this call created the segment
};

// A copy of the segment header.
struct ShmStats {
  uint32_t writePos;  // ring offset of the next byte to write
  uint32_t readPos;   // ring offset of the next byte to read (SHM_RING_SIZE means 0)
  uint32_t initFlag;  // 1 once created or cleared
};

// Creates the segment, or attaches when it already exists (creator false,
// contents untouched). Null on failure, with the status text set.
ShmHandle* shm_create(const ShmConfig* config);
// Attaches to an existing segment only. Null on failure ("share mem no exist
// (err code: %lu)" when there is none).
ShmHandle* shm_open(const ShmConfig* config);
// Copies up to `count` bytes out of the ring, first waiting up to `timeout`
// ms for the data event (0: no wait, SHM_INFINITE: no limit). Returns the
// bytes copied, 0 when nothing could be read, -1 on error.
int shm_read(ShmHandle* handle, void* destination, uint32_t count, uint32_t timeout);
// shm_read() without waiting for the event.
int shm_try_read(ShmHandle* handle, void* destination, uint32_t count);
// Appends all `count` bytes or none. `timeout` bounds the wait for the lock.
// Returns count, 0 when the ring lacks room, -1 on error.
int shm_write(ShmHandle* handle, const void* source, uint32_t count, uint32_t timeout);
// shm_write() without waiting for the lock.
int shm_try_write(ShmHandle* handle, const void* source, uint32_t count);
// Sets the data event. 1 when set, 0 otherwise.
int shm_notify(ShmHandle* handle);
// Copies the header into `out` without taking the lock. Null arguments do nothing.
void shm_get_stats(ShmHandle* handle, ShmStats* out);
// Empties the ring for every user (header and ring zeroed, initFlag 1, event
// reset). 1 when cleared, 0 when the handle is null or the lock was not
// taken within 5 s (no status text then).
int shm_clear(ShmHandle* handle);
// 1 when a segment of the channel's name exists, else 0.
int shm_exists(void);
// The available byte count (read without the lock); writes the mapped size
// and the creator flag (0/1) through the pointers that are not null. 0 for a
// null handle.
uint32_t shm_get_info(ShmHandle* handle, uint32_t* size, int* creator);
// Detaches and frees the handle; the last attachment of a live process in
// the system removes the three named objects (attachments of processes that
// were killed do not keep them). Null does nothing.
void shm_destroy(ShmHandle* handle);
// The status text of this thread's last channel call.
const char* shm_get_last_error(void);
// Sum modulo 2^32 of the bytes taken as signed 8-bit values; 0 for length 0.
uint32_t calculate_checksum(const void* bytes, uint32_t length);

// The bare object names (before the platform prefix and QELVO_SHM_SUFFIX).
extern const char kShmSegmentName[];
extern const char kShmMutexName[];
extern const char kShmEventName[];
