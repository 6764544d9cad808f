// Robust process-shared mutexes and a manual-reset event in POSIX shared
// memory, behind os/sync.h.
//
// Each object is one page of its own shared-memory object and holds, from
// offset 0, exactly these structures, so a program that links nothing of
// ours can meet us with pthread calls alone:
//
//   struct ChannelLock  { pthread_mutex_t mutex; uint32_t attachCount; };
//   struct ChannelEvent { pthread_mutex_t mutex; pthread_cond_t cond; uint32_t signalled; };
//
// Both mutexes are PTHREAD_PROCESS_SHARED and PTHREAD_MUTEX_ROBUST, the
// condition variable is PTHREAD_PROCESS_SHARED on CLOCK_MONOTONIC. A mutex
// whose holder died (EOWNERDEAD) is made consistent at once; the caller is
// told so it can report the abandonment, but nobody stays blocked.
//
// `signalled` is written only under the event's mutex (and atomically), but
// read without it on the fast paths: a set that finds it already set, or a
// reset that finds it clear, has nothing to do and wakes nobody.
#include "os/sync.h"

#include "os/shared_memory.h"

#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <new>
#include <pthread.h>
#include <unistd.h>

namespace {

struct ChannelLock {
  pthread_mutex_t mutex;  // robust, process-shared
  uint32_t attachCount;   // handles attached to the channel
};

struct ChannelEvent {
  pthread_mutex_t mutex;  // robust, process-shared; guards `signalled`
  pthread_cond_t cond;    // process-shared, CLOCK_MONOTONIC
  uint32_t signalled;     // 1 while the event is set
};

thread_local unsigned long t_last_error = 0;

size_t object_size() {
  long page = sysconf(_SC_PAGESIZE);
  return page > 0 ? (size_t)page : 4096;
}

void note_error(int err) {
  t_last_error = (unsigned long)err;
  errno = err;
}

// Absolute CLOCK_MONOTONIC deadline `ms` from now.
struct timespec deadline_after(uint32_t ms) {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  ts.tv_sec += (time_t)(ms / 1000);
  ts.tv_nsec += (long)(ms % 1000) * 1000000L;
  if (ts.tv_nsec >= 1000000000L) {
    ts.tv_sec += 1;
    ts.tv_nsec -= 1000000000L;
  }
  return ts;
}

int init_robust_mutex(pthread_mutex_t* m) {
  pthread_mutexattr_t attr;
  int rc = pthread_mutexattr_init(&attr);
  if (rc != 0) return rc;
  rc = pthread_mutexattr_setpshared(&attr, PTHREAD_PROCESS_SHARED);
  if (rc == 0) rc = pthread_mutexattr_setrobust(&attr, PTHREAD_MUTEX_ROBUST);
  if (rc == 0) rc = pthread_mutex_init(m, &attr);
  pthread_mutexattr_destroy(&attr);
  return rc;
}

// Locks a robust mutex without limit, repairing it when its holder died.
// 0 when held, else the error.
int lock_repairing(pthread_mutex_t* m) {
  int rc = pthread_mutex_lock(m);
  if (rc == EOWNERDEAD) rc = pthread_mutex_consistent(m);
  return rc;
}

}  // namespace

struct OsNamedLock {
  OsShmRegion region;  // the mapped lock object
  ChannelLock* obj;    // its contents
};

struct OsNamedEvent {
  OsShmRegion region;  // the mapped event object
  ChannelEvent* obj;   // its contents
};

unsigned long os_sync_last_error(void) { return t_last_error; }

// ---- lock ----------------------------------------------------------------

static OsNamedLock* wrap_lock(const OsShmRegion& region) {
  OsNamedLock* lock = new (std::nothrow) OsNamedLock;
  if (!lock) {
    OsShmRegion r = region;
    os_shm_close(&r);
    note_error(ENOMEM);
    return nullptr;
  }
  lock->region = region;
  lock->obj = static_cast<ChannelLock*>(region.addr);
  return lock;
}

OsNamedLock* os_lock_create(const char* name) {
  OsShmRegion region;
  if (os_shm_create_exclusive(name, object_size(), &region) != 0) {
    note_error((int)os_shm_last_error());
    return nullptr;
  }
  ChannelLock* obj = static_cast<ChannelLock*>(region.addr);
  int rc = init_robust_mutex(&obj->mutex);
  if (rc != 0) {
    os_shm_close(&region);
    os_shm_unlink(name);
    note_error(rc);
    return nullptr;
  }
  obj->attachCount = 0;
  return wrap_lock(region);
}

OsNamedLock* os_lock_open(const char* name) {
  OsShmRegion region;
  if (os_shm_open_existing(name, sizeof(ChannelLock), &region) != 0) {
    note_error((int)os_shm_last_error());
    return nullptr;
  }
  return wrap_lock(region);
}

int os_lock_acquire(OsNamedLock* lock, uint32_t timeout_ms) {
  pthread_mutex_t* m = &lock->obj->mutex;
  int rc;
  if (timeout_ms == 0) {
    rc = pthread_mutex_trylock(m);
  } else if (timeout_ms == OS_WAIT_INFINITE) {
    rc = pthread_mutex_lock(m);
  } else {
    struct timespec until = deadline_after(timeout_ms);
    rc = pthread_mutex_clocklock(m, CLOCK_MONOTONIC, &until);
  }
  if (rc == 0) return OS_LOCK_TAKEN;
  if (rc == EOWNERDEAD) {
    // The holder died inside its critical section. Mark the mutex usable at
    // once so that no other process ever blocks on it; the caller decides
    // what the abandonment means for its own call.
    pthread_mutex_consistent(m);
    note_error(EOWNERDEAD);
    return OS_LOCK_ABANDONED;
  }
  note_error(rc);
  return OS_LOCK_FAILED;
}

void os_lock_release(OsNamedLock* lock) { pthread_mutex_unlock(&lock->obj->mutex); }

uint32_t* os_lock_attach_count(OsNamedLock* lock) { return &lock->obj->attachCount; }

void os_lock_close(OsNamedLock* lock) {
  if (!lock) return;
  os_shm_close(&lock->region);
  delete lock;
}

int os_lock_unlink(const char* name) { return os_shm_unlink(name); }

// ---- event ---------------------------------------------------------------

static OsNamedEvent* wrap_event(const OsShmRegion& region) {
  OsNamedEvent* event = new (std::nothrow) OsNamedEvent;
  if (!event) {
    OsShmRegion r = region;
    os_shm_close(&r);
    note_error(ENOMEM);
    return nullptr;
  }
  event->region = region;
  event->obj = static_cast<ChannelEvent*>(region.addr);
  return event;
}

OsNamedEvent* os_event_create(const char* name) {
  OsShmRegion region;
  if (os_shm_create_exclusive(name, object_size(), &region) != 0) {
    note_error((int)os_shm_last_error());
    return nullptr;
  }
  ChannelEvent* obj = static_cast<ChannelEvent*>(region.addr);
  int rc = init_robust_mutex(&obj->mutex);
  if (rc == 0) {
    pthread_condattr_t attr;
    rc = pthread_condattr_init(&attr);
    if (rc == 0) {
      rc = pthread_condattr_setpshared(&attr, PTHREAD_PROCESS_SHARED);
      if (rc == 0) rc = pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
      if (rc == 0) rc = pthread_cond_init(&obj->cond, &attr);
      pthread_condattr_destroy(&attr);
    }
  }
  if (rc != 0) {
    os_shm_close(&region);
    os_shm_unlink(name);
    note_error(rc);
    return nullptr;
  }
  obj->signalled = 0;
  return wrap_event(region);
}

OsNamedEvent* os_event_open(const char* name) {
  OsShmRegion region;
  if (os_shm_open_existing(name, sizeof(ChannelEvent), &region) != 0) {
    note_error((int)os_shm_last_error());
    return nullptr;
  }
  return wrap_event(region);
}

static uint32_t load_signalled(const ChannelEvent* obj) {
  return __atomic_load_n(&obj->signalled, __ATOMIC_ACQUIRE);
}

int os_event_set(OsNamedEvent* event) {
  ChannelEvent* obj = event->obj;
  if (load_signalled(obj)) return 0;
  int rc = lock_repairing(&obj->mutex);
  if (rc != 0) {
    note_error(rc);
    return -1;
  }
  __atomic_store_n(&obj->signalled, 1u, __ATOMIC_RELEASE);
  rc = pthread_cond_broadcast(&obj->cond);
  pthread_mutex_unlock(&obj->mutex);
  if (rc != 0) {
    note_error(rc);
    return -1;
  }
  return 0;
}

int os_event_reset(OsNamedEvent* event) {
  ChannelEvent* obj = event->obj;
  if (!load_signalled(obj)) return 0;
  int rc = lock_repairing(&obj->mutex);
  if (rc != 0) {
    note_error(rc);
    return -1;
  }
  __atomic_store_n(&obj->signalled, 0u, __ATOMIC_RELEASE);
  pthread_mutex_unlock(&obj->mutex);
  return 0;
}

int os_event_wait(OsNamedEvent* event, uint32_t timeout_ms) {
  ChannelEvent* obj = event->obj;
  if (load_signalled(obj)) return OS_WAIT_SIGNALLED;
  if (timeout_ms == 0) return OS_WAIT_TIMEOUT;
  struct timespec until = {0, 0};
  if (timeout_ms != OS_WAIT_INFINITE) until = deadline_after(timeout_ms);
  int rc = lock_repairing(&obj->mutex);
  if (rc != 0) {
    note_error(rc);
    return OS_WAIT_ERROR;
  }
  int result = OS_WAIT_SIGNALLED;
  while (!load_signalled(obj)) {
    if (timeout_ms == OS_WAIT_INFINITE)
      rc = pthread_cond_wait(&obj->cond, &obj->mutex);
    else
      rc = pthread_cond_timedwait(&obj->cond, &obj->mutex, &until);
    if (rc == EOWNERDEAD) rc = pthread_mutex_consistent(&obj->mutex);
    if (rc == ETIMEDOUT) {
      result = load_signalled(obj) ? OS_WAIT_SIGNALLED : OS_WAIT_TIMEOUT;
      break;
    }
    if (rc != 0) {
      note_error(rc);
      result = OS_WAIT_ERROR;
      break;
    }
  }
  pthread_mutex_unlock(&obj->mutex);
  return result;
}

void os_event_close(OsNamedEvent* event) {
  if (!event) return;
  os_shm_close(&event->region);
  delete event;
}

int os_event_unlink(const char* name) { return os_shm_unlink(name); }
