// Named shared memory, the lock and the manual-reset event (a holder that
// dies with the lock is covered by the channel's tests).
#include "os/clock.h"
#include "os/shared_memory.h"
#include "os/sync.h"
#include "tests/support/test_env.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <string>
#include <sys/stat.h>
#include <thread>

namespace {

std::string name_of(const char* base) {
  char buf[OS_SHM_NAME_MAX];
  EXPECT_EQ(os_shm_name(base, buf, sizeof buf), 0);
  return buf;
}

TEST(OsShm, SuffixedNamesExclusiveCreateOwnerOnlyOpenAndUnlink) {
  char tiny[4];
  EXPECT_EQ(os_shm_name("Segment", tiny, sizeof tiny), -1);
  if (!std::getenv("QELVO_SHM_SUFFIX")) {
    EXPECT_EQ(name_of("MySharedMemorySegment"), "/MySharedMemorySegment");
  }
  testenv::ShmIsolation iso;
  std::string name = name_of("OsShmTest");
  EXPECT_EQ(name, "/OsShmTest" + iso.suffix());
  OsShmRegion a, b;
  ASSERT_EQ(os_shm_create_exclusive(name.c_str(), 8192, &a), 0) << os_shm_last_error();
  struct stat st;
  ASSERT_EQ(fstat(a.fd, &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  EXPECT_EQ(os_shm_create_exclusive(name.c_str(), 8192, &b), -1);
  EXPECT_EQ(os_shm_last_error(), (unsigned long)EEXIST);
  // Asking for more than the object holds would fault later: refused now.
  EXPECT_EQ(os_shm_open_existing(name.c_str(), 8193, &b), -1);
  EXPECT_EQ(os_shm_last_error(), (unsigned long)EINVAL);
  ASSERT_EQ(os_shm_open_existing(name.c_str(), 8192, &b), 0);
  static_cast<char*>(a.addr)[100] = 42;
  EXPECT_EQ(static_cast<char*>(b.addr)[100], 42);
  EXPECT_EQ(os_shm_is_current(name.c_str(), &b), 1);
  EXPECT_EQ(os_shm_unlink(name.c_str()), 0);
  EXPECT_EQ(os_shm_exists(name.c_str()), 0);
  EXPECT_EQ(os_shm_is_current(name.c_str(), &b), 0);
  // Views outlive the name.
  EXPECT_EQ(static_cast<char*>(b.addr)[100], 42);
  os_shm_close(&a);
  os_shm_close(&b);
  os_shm_close(&b);  // closing twice is harmless
  OsShmRegion zero = {};
  os_shm_close(&zero);
  EXPECT_EQ(os_shm_open_existing(name.c_str(), 8192, &b), -1);
  EXPECT_EQ(os_shm_last_error(), (unsigned long)ENOENT);
}

TEST(OsLock, TimedAndTryAcquireFailWhileAnotherThreadHolds) {
  testenv::ShmIsolation iso;
  std::string name = name_of("OsLockTest");
  OsNamedLock* lock = os_lock_create(name.c_str());
  ASSERT_NE(lock, nullptr);
  EXPECT_EQ(os_lock_create(name.c_str()), nullptr);
  EXPECT_EQ(os_sync_last_error(), (unsigned long)EEXIST);
  OsNamedLock* other = os_lock_open(name.c_str());
  ASSERT_NE(other, nullptr);
  EXPECT_EQ(*os_lock_attach_count(other), 0u);
  ASSERT_EQ(os_lock_acquire(lock, OS_WAIT_INFINITE), OS_LOCK_TAKEN);
  *os_lock_attach_count(lock) = 3;
  int tried = 99, timed = 99;
  uint32_t waited = 0;
  std::thread t([&] {
    tried = os_lock_acquire(other, 0);
    uint32_t t0 = os_tick_ms();
    timed = os_lock_acquire(other, 60);
    waited = os_tick_ms() - t0;
  });
  t.join();
  EXPECT_EQ(tried, OS_LOCK_FAILED);
  EXPECT_EQ(timed, OS_LOCK_FAILED);
  EXPECT_GE(waited, 55u);
  os_lock_release(lock);
  EXPECT_EQ(os_lock_acquire(other, 60), OS_LOCK_TAKEN);
  EXPECT_EQ(*os_lock_attach_count(other), 3u);
  os_lock_release(other);
  os_lock_close(other);
  os_lock_close(lock);
  os_lock_close(nullptr);
  EXPECT_EQ(os_lock_unlink(name.c_str()), 0);
}

TEST(OsEvent, ManualResetWaitsAndWakes) {
  testenv::ShmIsolation iso;
  std::string name = name_of("OsEventTest");
  OsNamedEvent* ev = os_event_create(name.c_str());
  ASSERT_NE(ev, nullptr);
  OsNamedEvent* other = os_event_open(name.c_str());
  ASSERT_NE(other, nullptr);
  EXPECT_EQ(os_event_wait(ev, 0), OS_WAIT_TIMEOUT);
  uint32_t t0 = os_tick_ms();
  EXPECT_EQ(os_event_wait(ev, 50), OS_WAIT_TIMEOUT);
  EXPECT_GE((uint32_t)(os_tick_ms() - t0), 49u);

  EXPECT_EQ(os_event_set(other), 0);
  EXPECT_EQ(os_event_wait(ev, 0), OS_WAIT_SIGNALLED);
  EXPECT_EQ(os_event_wait(ev, OS_WAIT_INFINITE), OS_WAIT_SIGNALLED);  // stays set
  EXPECT_EQ(os_event_reset(ev), 0);
  EXPECT_EQ(os_event_wait(other, 0), OS_WAIT_TIMEOUT);

  // A waiter without limit is woken by a set from elsewhere.
  int result = 99;
  std::thread waiter([&] { result = os_event_wait(other, OS_WAIT_INFINITE); });
  os_sleep_ms(30);
  EXPECT_EQ(os_event_set(ev), 0);
  waiter.join();
  EXPECT_EQ(result, OS_WAIT_SIGNALLED);
  os_event_close(other);
  os_event_close(ev);
  os_event_close(nullptr);
  EXPECT_EQ(os_event_unlink(name.c_str()), 0);
}

}  // namespace
