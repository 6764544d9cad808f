// The shared-memory channel (see shm_channel.h).
//
// Creation order, so that nobody finds a half-made channel:
//   1. the lock object is created exclusively and initialised,
//   2. the event object likewise,
//   3. the segment is created exclusively: its name is what others look for.
// Whoever finds the segment therefore finds a usable lock and event. Every
// attachment adds one to the lock's attach count; shm_destroy() takes one
// away and, when the count reaches zero, unlinks segment, event and lock in
// that order while still holding the lock. A process that is killed never
// gives its count back, so a destroy that leaves the count above zero also
// looks for other live processes that map the segment (every attacher maps
// it before it counts itself) and unlinks when there are none: the channel
// goes away with its last live holder, as a Windows object does. An attacher counts itself only
// after checking, under the lock, that the segment it mapped is still the
// one published under the name, so it never joins a channel being removed.
//
// Ring invariants (all under the lock):
//   1. writePos < SIZE and readPos <= SIZE (SIZE stored by a read that ends
//      exactly at the end of the area; it means 0).
//   2. writePos == readPos means empty; one byte always stays free.
//   3. Bytes are copied before the position that publishes them is stored.
// A header that breaks (1) (a damaged or foreign segment) is reset to empty
// rather than trusted, so no copy ever leaves the ring.
#include "acquisition/shm_channel.h"

#include "os/clock.h"
#include "os/log.h"
#include "os/sync.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

const char kShmSegmentName[] = "MySharedMemorySegment";
const char kShmMutexName[] = "MySharedMemoryMutex";
const char kShmEventName[] = "MySharedMemoryEvent";

namespace {

// How long shm_read and shm_clear wait for the lock.
const uint32_t kLockWaitMs = 5000;
// How long a creator waits for a creation already under way elsewhere
// before it takes the half-made objects for leftovers of a crash.
const uint32_t kCreateWaitMs = 2000;

// ---- status text -----------------------------------------------------------
//
// Formatting a text on every successful read would cost more than the read
// itself, so a call records the format and its numbers and the text is
// rendered only when someone asks for it.

enum ArgKind { kNoArgs, kUlong, kInt, kUlongInt, kUlongUlong };

struct Status {
  const char* fmt;       // the format of the last outcome, null before any call
  ArgKind args;          // which numbers the format takes
  unsigned long a;       // first number
  unsigned long b;       // second number
  char text[256];        // the rendered text, cut to 255 characters
};

thread_local Status t_status = {nullptr, kNoArgs, 0, 0, {0}};

void set_status(const char* fmt, ArgKind args = kNoArgs, unsigned long a = 0,
                unsigned long b = 0) {
  t_status.fmt = fmt;
  t_status.args = args;
  t_status.a = a;
  t_status.b = b;
}

// ---- names -----------------------------------------------------------------

struct Names {
  char segment[OS_SHM_NAME_MAX];
  char lock[OS_SHM_NAME_MAX];
  char event[OS_SHM_NAME_MAX];
};

int make_names(Names* n) {
  if (os_shm_name(kShmSegmentName, n->segment, sizeof n->segment) != 0) return -1;
  if (os_shm_name(kShmMutexName, n->lock, sizeof n->lock) != 0) return -1;
  if (os_shm_name(kShmEventName, n->event, sizeof n->event) != 0) return -1;
  return 0;
}

// ---- header ----------------------------------------------------------------

uint32_t* header_word(ShmHandle* h, int index) {
  return reinterpret_cast<uint32_t*>(h->view) + index;
}
uint32_t load_word(ShmHandle* h, int index) {
  return __atomic_load_n(header_word(h, index), __ATOMIC_RELAXED);
}
void store_word(ShmHandle* h, int index, uint32_t v) {
  __atomic_store_n(header_word(h, index), v, __ATOMIC_RELAXED);
}
enum { kWritePos = 0, kReadPos = 1, kInitFlag = 2 };

uint8_t* ring(ShmHandle* h) { return h->view + SHM_HEADER_SIZE; }

uint32_t available(uint32_t wp, uint32_t rp) {
  return wp >= rp ? wp - rp : wp + SHM_RING_SIZE - rp;
}

uint32_t free_bytes(uint32_t wp, uint32_t rp) {
  return wp < rp ? rp - wp - 1 : rp - wp + SHM_RING_SIZE - 1;
}

// Reads the positions (lock held), resetting a damaged header to empty.
void load_positions(ShmHandle* h, uint32_t* wp, uint32_t* rp) {
  *wp = load_word(h, kWritePos);
  *rp = load_word(h, kReadPos);
  if (*wp >= SHM_RING_SIZE || *rp > SHM_RING_SIZE) {
    orvane_log("channel header damaged (writePos %u, readPos %u): ring emptied", *wp, *rp);
    *wp = *rp = 0;
    store_word(h, kWritePos, 0);
    store_word(h, kReadPos, 0);
  }
}

// ---- attaching ---------------------------------------------------------------

// Status texts of the two ways in: shm_create() speaks English throughout,
// shm_open() partly Chinese.
struct AttachTexts {
  const char* segment;  // opening the existing segment failed
  const char* map;      // mapping it failed
  const char* lock;     // opening the lock failed
  const char* event;    // opening the event failed
};

const AttachTexts kCreateTexts = {
    "creat share mem failed (err code: %lu)", "map shar mem failed (err code: %lu)",
    "open lock failed (err code: %lu)", "open event object failed (err code: %lu)"};
const AttachTexts kOpenTexts = {"open share mem failed (err code: %lu)",
                                "映射共享内存失败 (错误码: %lu)",
                                "打开互斥锁失败 (错误码: %lu)",
                                "打开事件对象失败 (错误码: %lu)"};

void close_parts(ShmHandle* h) {
  os_event_close(h->event);
  h->event = nullptr;
  os_lock_close(h->lock);
  h->lock = nullptr;
  os_shm_close(&h->segment);
  h->view = nullptr;
}

// Adds this attachment to the count, unless the mapped segment is no longer
// the published one. 0 counted, 1 gone (try again), -1 failed (status set).
int count_attachment(ShmHandle* h, const Names& names) {
  int rc = os_lock_acquire(h->lock, kLockWaitMs);
  if (rc == OS_LOCK_FAILED) {
    set_status("获取互斥锁失败 (错误码: %lu)", kUlong, os_sync_last_error());
    return -1;
  }
  if (!os_shm_is_current(names.segment, &h->segment)) {
    os_lock_release(h->lock);
    return 1;
  }
  *os_lock_attach_count(h->lock) += 1;
  os_lock_release(h->lock);
  return 0;
}

// Opens segment, lock and event of an existing channel into `h`.
// 0 attached, 1 the segment does not exist (or vanished), -1 failed.
int attach_existing(ShmHandle* h, const Names& names, const AttachTexts& texts) {
  // A segment that is still being sized by its creator looks too small for
  // a moment; give the creator that moment before calling it a failure.
  uint32_t start = os_tick_ms();
  for (;;) {
    if (os_shm_open_existing(names.segment, h->size, &h->segment) == 0) break;
    unsigned long err = os_shm_last_error();
    if (err == ENOENT) return 1;
    if (err == EINVAL && (uint32_t)(os_tick_ms() - start) < kCreateWaitMs) {
      os_sleep_ms(1);
      continue;
    }
    set_status(err == EINVAL || err == ENOMEM ? texts.map : texts.segment, kUlong, err);
    return -1;
  }
  h->view = static_cast<uint8_t*>(h->segment.addr);
  h->lock = os_lock_open(names.lock);
  if (!h->lock) {
    set_status(texts.lock, kUlong, os_sync_last_error());
    close_parts(h);
    return -1;
  }
  h->event = os_event_open(names.event);
  if (!h->event) {
    set_status(texts.event, kUlong, os_sync_last_error());
    close_parts(h);
    return -1;
  }
  int rc = count_attachment(h, names);
  if (rc != 0) close_parts(h);
  return rc;
}

// Makes a new channel: lock, event, then the segment. 0 created, 1 someone
// else's channel appeared meanwhile (attach to it), -1 failed.
int create_new(ShmHandle* h, const Names& names) {
  OsNamedLock* lock = nullptr;
  uint32_t start = os_tick_ms();
  for (;;) {
    lock = os_lock_create(names.lock);
    if (lock) break;
    unsigned long err = os_sync_last_error();
    if (err != EEXIST) {
      set_status("creat lock failed (err code: %lu)", kUlong, err);
      return -1;
    }
    // Another process is creating the channel (or tearing it down).
    if (os_shm_exists(names.segment)) return 1;
    if ((uint32_t)(os_tick_ms() - start) >= kCreateWaitMs) {
      // Nobody published a segment in all that time: these are the remains
      // of a creator that died half-way. Clear them away and start over.
      os_event_unlink(names.event);
      os_lock_unlink(names.lock);
      start = os_tick_ms();
    }
    os_sleep_ms(1);
  }
  OsNamedEvent* event = os_event_create(names.event);
  if (!event && os_sync_last_error() == EEXIST) {
    // Holding the lock name exclusively means nobody else is creating, so an
    // event without a lock is a leftover.
    os_event_unlink(names.event);
    event = os_event_create(names.event);
  }
  if (!event) {
    set_status("creat event object failed (err code: %lu)", kUlong, os_sync_last_error());
    os_lock_close(lock);
    os_lock_unlink(names.lock);
    return -1;
  }
  h->lock = lock;
  h->event = event;
  if (os_shm_create_exclusive(names.segment, h->size, &h->segment) != 0) {
    unsigned long err = os_shm_last_error();
    if (err == EEXIST) {
      // A segment without a lock of its own (left by a process that did not
      // follow the order above): take it over with the fresh lock and event.
      if (os_shm_open_existing(names.segment, h->size, &h->segment) == 0) {
        h->view = static_cast<uint8_t*>(h->segment.addr);
        int rc = count_attachment(h, names);
        if (rc == 0) {
          h->creator = false;
          return 0;
        }
      } else {
        set_status("map shar mem failed (err code: %lu)", kUlong, os_shm_last_error());
      }
    } else {
      set_status("creat share mem failed (err code: %lu)", kUlong, err);
    }
    close_parts(h);
    os_event_unlink(names.event);
    os_lock_unlink(names.lock);
    return -1;
  }
  h->view = static_cast<uint8_t*>(h->segment.addr);
  // A new object reads as zeros already; the header is written explicitly
  // because it is what every user looks at first.
  store_word(h, kWritePos, 0);
  store_word(h, kReadPos, 0);
  store_word(h, kInitFlag, 1);
  int counted = count_attachment(h, names);
  if (counted != 0) {
    close_parts(h);
    return counted;
  }
  h->creator = true;
  return 0;
}

ShmHandle* new_handle(const ShmConfig* config) {
  ShmHandle* h = static_cast<ShmHandle*>(std::calloc(1, sizeof(ShmHandle)));
  if (!h) {
    set_status("mem malloc failed");
    return nullptr;
  }
  h->segment.fd = -1;
  h->size = config->size;
  return h;
}

// A configuration that would map less than header and ring would let every
// ring copy run off the end of the view.
bool config_ok(const ShmConfig* config) {
  return config && config->size >= SHM_HEADER_SIZE + SHM_RING_SIZE;
}

}  // namespace

ShmHandle* shm_create(const ShmConfig* config) {
  if (!config_ok(config)) {
    set_status("参数错误");
    return nullptr;
  }
  Names names;
  if (make_names(&names) != 0) {
    set_status("creat share mem failed (err code: %lu)", kUlong, os_shm_last_error());
    return nullptr;
  }
  ShmHandle* h = new_handle(config);
  if (!h) return nullptr;
  // Each round either attaches, creates, or finds that another process got
  // in between (rc 1) and looks again.
  int rc = 1;
  for (int attempt = 0; attempt < 8 && rc == 1; ++attempt) {
    rc = attach_existing(h, names, kCreateTexts);
    if (rc == 0) {
      h->creator = false;
      set_status("success");
      return h;
    }
    if (rc < 0) break;
    rc = create_new(h, names);
    if (rc == 0) {
      set_status("success");
      return h;
    }
  }
  if (rc > 0) set_status("creat share mem failed (err code: %lu)", kUlong, EAGAIN);
  std::free(h);
  return nullptr;
}

ShmHandle* shm_open(const ShmConfig* config) {
  if (!config_ok(config)) {
    set_status("参数错误");
    return nullptr;
  }
  Names names;
  if (make_names(&names) != 0 || !os_shm_exists(names.segment)) {
    set_status("share mem no exist (err code: %lu)", kUlong, os_shm_last_error());
    return nullptr;
  }
  ShmHandle* h = new_handle(config);
  if (!h) return nullptr;
  int rc = 1;
  for (int attempt = 0; attempt < 8 && rc == 1; ++attempt) rc = attach_existing(h, names, kOpenTexts);
  if (rc != 0) {
    if (rc > 0) set_status("share mem no exist (err code: %lu)", kUlong, ENOENT);
    std::free(h);
    return nullptr;
  }
  h->creator = false;
  std::fputs("open share mem success", stdout);
  std::fflush(stdout);
  set_status("成功");
  return h;
}

// Takes the ring's lock for a read or write. An abandoned lock is already
// repaired by the lock layer; the call that met it still reports failure.
static bool lock_ring(ShmHandle* handle, uint32_t timeout) {
  int locked = os_lock_acquire(handle->lock, timeout);
  if (locked == OS_LOCK_TAKEN) return true;
  unsigned long err = os_sync_last_error();
  if (locked == OS_LOCK_ABANDONED) os_lock_release(handle->lock);
  set_status("获取互斥锁失败 (错误码: %lu)", kUlong, err);
  return false;
}

int shm_read(ShmHandle* handle, void* destination, uint32_t count, uint32_t timeout) {
  if (!handle || !destination || count == 0) {
    set_status("参数错误");
    return -1;
  }
  if (timeout != 0) {
    int w = os_event_wait(handle->event, timeout);
    if (w == OS_WAIT_TIMEOUT) {
      set_status("等待数据超时");
      return 0;
    }
    if (w != OS_WAIT_SIGNALLED) {
      set_status("等待事件失败 (错误码: %lu)", kUlong, os_sync_last_error());
      return -1;
    }
  }
  if (!lock_ring(handle, kLockWaitMs)) return -1;
  uint32_t wp, rp;
  load_positions(handle, &wp, &rp);
  uint32_t avail = available(wp, rp);
  if (avail == 0) {
    os_event_reset(handle->event);
    os_lock_release(handle->lock);
    set_status("没有数据可读");
    return 0;
  }
  uint32_t n = count < avail ? count : avail;
  uint32_t start = rp == SHM_RING_SIZE ? 0 : rp;
  uint32_t first = SHM_RING_SIZE - start;
  if (first > n) first = n;
  uint8_t* dst = static_cast<uint8_t*>(destination);
  std::memcpy(dst, ring(handle) + start, first);
  if (n > first) std::memcpy(dst + first, ring(handle), n - first);
  uint32_t next = rp + n;
  if (next > SHM_RING_SIZE) next -= SHM_RING_SIZE;
  store_word(handle, kReadPos, next);
  if (n == avail) os_event_reset(handle->event);
  os_lock_release(handle->lock);
  set_status("成功读取 %d 字节", kInt, n);
  return (int)n;
}

int shm_try_read(ShmHandle* handle, void* destination, uint32_t count) {
  return shm_read(handle, destination, count, 0);
}

int shm_write(ShmHandle* handle, const void* source, uint32_t count, uint32_t timeout) {
  if (!handle || !source || count == 0) {
    set_status("参数错误");
    return -1;
  }
  if (count > SHM_MAX_WRITE) {
    set_status("数据大小超出限制 (%lu > %d)", kUlongInt, count, SHM_MAX_WRITE);
    return -1;
  }
  if (!lock_ring(handle, timeout)) return -1;
  uint32_t wp, rp;
  load_positions(handle, &wp, &rp);
  uint32_t room = free_bytes(wp, rp);
  if (room < count) {
    os_lock_release(handle->lock);
    set_status("缓冲区空间不足 (需要: %lu, 可用: %lu)", kUlongUlong, count, room);
    return 0;
  }
  uint32_t first = SHM_RING_SIZE - wp;
  if (first > count) first = count;
  const uint8_t* src = static_cast<const uint8_t*>(source);
  std::memcpy(ring(handle) + wp, src, first);
  if (count > first) std::memcpy(ring(handle), src + first, count - first);
  uint32_t next = wp + count;
  if (next >= SHM_RING_SIZE) next -= SHM_RING_SIZE;
  store_word(handle, kWritePos, next);
  os_event_set(handle->event);
  os_lock_release(handle->lock);
  set_status("成功写入 %d 字节", kInt, count);
  return (int)count;
}

int shm_try_write(ShmHandle* handle, const void* source, uint32_t count) {
  return shm_write(handle, source, count, 0);
}

int shm_notify(ShmHandle* handle) {
  if (!handle) {
    set_status("参数错误");
    return 0;
  }
  if (os_event_set(handle->event) != 0) {
    set_status("设置事件失败 (错误码: %lu)", kUlong, os_sync_last_error());
    return 0;
  }
  set_status("成功");
  return 1;
}

void shm_get_stats(ShmHandle* handle, ShmStats* out) {
  if (!handle || !out) return;
  out->writePos = load_word(handle, kWritePos);
  out->readPos = load_word(handle, kReadPos);
  out->initFlag = load_word(handle, kInitFlag);
}

int shm_clear(ShmHandle* handle) {
  if (!handle) return 0;
  // A lock whose holder died is taken all the same: clearing is exactly what
  // puts the ring back in order after such a death.
  if (os_lock_acquire(handle->lock, kLockWaitMs) == OS_LOCK_FAILED) return 0;
  std::memset(handle->view, 0, SHM_HEADER_SIZE + SHM_RING_SIZE);
  store_word(handle, kInitFlag, 1);
  os_event_reset(handle->event);
  os_lock_release(handle->lock);
  return 1;
}

int shm_exists(void) {
  Names names;
  if (make_names(&names) != 0) return 0;
  return os_shm_exists(names.segment);
}

uint32_t shm_get_info(ShmHandle* handle, uint32_t* size, int* creator) {
  if (!handle) return 0;
  if (size) *size = handle->size;
  if (creator) *creator = handle->creator ? 1 : 0;
  uint32_t wp = load_word(handle, kWritePos);
  uint32_t rp = load_word(handle, kReadPos);
  if (wp >= SHM_RING_SIZE || rp > SHM_RING_SIZE) return 0;
  return available(wp, rp);
}

void shm_destroy(ShmHandle* handle) {
  if (!handle) return;
  os_event_close(handle->event);
  handle->event = nullptr;
  if (handle->lock) {
    // Waits for the lock (rather than only trying it) because the attach
    // count may change only under it; a dead holder's lock counts as taken.
    if (os_lock_acquire(handle->lock, kLockWaitMs) != OS_LOCK_FAILED) {
      uint32_t* count = os_lock_attach_count(handle->lock);
      if (*count > 0) *count -= 1;
      Names names;
      if (make_names(&names) == 0 && os_shm_is_current(names.segment, &handle->segment) &&
          (*count == 0 || os_shm_count_mappings(&handle->segment) == 1)) {
        // Nobody else holds the channel: either every attachment was given
        // back, or the rest of the count belongs to processes that were
        // killed without detaching (a killed process keeps its count but
        // not its mapping; only ours is left). The lock goes last: a new
        // creator must win its name before it makes the others, so it never
        // meets our leftovers.
        os_shm_unlink(names.segment);
        os_event_unlink(names.event);
        os_lock_unlink(names.lock);
      }
      os_lock_release(handle->lock);
    }
    os_lock_close(handle->lock);
    handle->lock = nullptr;
  }
  os_shm_close(&handle->segment);
  std::free(handle);
}

const char* shm_get_last_error(void) {
  Status& s = t_status;
  if (!s.fmt) {
    s.text[0] = 0;
    return s.text;
  }
  switch (s.args) {
    case kNoArgs: std::snprintf(s.text, sizeof s.text, "%s", s.fmt); break;
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
    case kUlong: std::snprintf(s.text, sizeof s.text, s.fmt, s.a); break;
    case kInt: std::snprintf(s.text, sizeof s.text, s.fmt, (int)s.a); break;
    case kUlongInt: std::snprintf(s.text, sizeof s.text, s.fmt, s.a, (int)s.b); break;
    case kUlongUlong: std::snprintf(s.text, sizeof s.text, s.fmt, s.a, s.b); break;
#pragma GCC diagnostic pop
  }
  return s.text;
}

uint32_t calculate_checksum(const void* bytes, uint32_t length) {
  const int8_t* p = static_cast<const int8_t*>(bytes);
  uint32_t sum = 0;
  for (uint32_t i = 0; i < length; ++i) sum += (uint32_t)(int32_t)p[i];
  return sum;
}
