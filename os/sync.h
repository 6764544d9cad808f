// Process-shared synchronisation objects that live in named shared memory:
// a lock that survives the death of its holder, and a manual-reset event.
//
// Both are created exclusively and initialised before anyone can find them
// by another published name (the caller publishes that name last), opened
// by name, closed, and unlinked by name. A lock object also carries the
// count of attached handles, which its users change while holding it.
#pragma once

#include <cstdint>

struct OsNamedLock;   // opaque; one per attachment
struct OsNamedEvent;  // opaque; one per attachment

// Waits without limit when given as a timeout.
enum : uint32_t { OS_WAIT_INFINITE = 0xFFFFFFFFu };

// Results of os_lock_acquire().
enum {
  OS_LOCK_FAILED = -1,    // not taken (time-out or error; see os_sync_last_error)
  OS_LOCK_TAKEN = 0,      // taken
  OS_LOCK_ABANDONED = 1,  // taken; the previous holder died holding it and
                          // the lock has already been made consistent again
};

// Results of os_event_wait().
enum { OS_WAIT_ERROR = -1, OS_WAIT_SIGNALLED = 0, OS_WAIT_TIMEOUT = 1 };

// Creates and initialises the lock object `name` (a system name, see
// os_shm_name) exclusively, attach count 0. Null on failure (EEXIST when it
// exists already).
OsNamedLock* os_lock_create(const char* name);
// Opens an existing lock object. Null on failure.
OsNamedLock* os_lock_open(const char* name);
// Takes the lock, waiting at most `timeout_ms` (0: only try; OS_WAIT_INFINITE:
// no limit). Returns OS_LOCK_TAKEN, OS_LOCK_ABANDONED or OS_LOCK_FAILED.
int os_lock_acquire(OsNamedLock* lock, uint32_t timeout_ms);
// Releases a lock this thread holds.
void os_lock_release(OsNamedLock* lock);
// The shared attach count; read or change it only while holding the lock.
uint32_t* os_lock_attach_count(OsNamedLock* lock);
// Closes this attachment (the object stays until unlinked). Null is ignored.
void os_lock_close(OsNamedLock* lock);
// Removes the name of a lock object. 0 or -1.
int os_lock_unlink(const char* name);

// Creates and initialises the event object `name` exclusively, not
// signalled. Null on failure (EEXIST when it exists already).
OsNamedEvent* os_event_create(const char* name);
// Opens an existing event object. Null on failure.
OsNamedEvent* os_event_open(const char* name);
// Signals the event and wakes every waiter. 0, or -1 on failure.
int os_event_set(OsNamedEvent* event);
// Clears the signal. 0, or -1 on failure.
int os_event_reset(OsNamedEvent* event);
// Waits until the event is signalled, at most `timeout_ms` (0: only look;
// OS_WAIT_INFINITE: no limit). The signal stays set (manual reset).
int os_event_wait(OsNamedEvent* event, uint32_t timeout_ms);
// Closes this attachment. Null is ignored.
void os_event_close(OsNamedEvent* event);
// Removes the name of an event object. 0 or -1.
int os_event_unlink(const char* name);

// The error code of the last failing call of this layer on this thread.
unsigned long os_sync_last_error(void);
