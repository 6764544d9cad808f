// Named shared memory, the lock and the manual-reset event (a holder that
// dies with the lock is covered by the channel's tests); and files: bytes
// written through a file must reach a read-only view of it at once, exactly
// where they were written; reserving space keeps the file's size. Big
// buffers.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "os/big_buffer.h"
#include "os/clock.h"
#include "os/file_rw.h"
#include "os/mapped_file.h"
#include "os/shared_memory.h"
#include "os/sync.h"
#include "tests/support/test_env.h"

namespace {

std::string name_of(const char* base) {
  char buf[OS_SHM_NAME_MAX];
  EXPECT_EQ(os_shm_name(base, buf, sizeof buf), 0);
  return buf;
}

TEST(Os, SegmentsLocksEventsAndMappedFiles) {
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

  // The named lock: exclusive create, timed and try acquire while another thread holds it.
  name = name_of("OsLockTest");
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

  // The manual-reset event wakes a waiter without limit and stays set until
  // reset (timed waits are the channel's).
  name = name_of("OsEventTest");
  OsNamedEvent* ev = os_event_create(name.c_str());
  OsNamedEvent* waker = os_event_open(name.c_str());
  ASSERT_TRUE(ev && waker);
  auto waiting = std::async(std::launch::async, [&] { return os_event_wait(waker, OS_WAIT_INFINITE); });
  os_sleep_ms(30);
  EXPECT_EQ(os_event_set(ev), 0);
  EXPECT_EQ(waiting.get(), OS_WAIT_SIGNALLED);
  EXPECT_EQ(os_event_wait(ev, OS_WAIT_INFINITE), OS_WAIT_SIGNALLED);
  EXPECT_EQ(os_event_reset(ev), 0);
  EXPECT_EQ(os_event_wait(waker, 0), OS_WAIT_TIMEOUT);
  os_event_close(waker);
  os_event_close(ev);
  os_event_close(nullptr);
  EXPECT_EQ(os_event_unlink(name.c_str()), 0);

  // Files: writes show in a read-only view, reserving gives the range its
  // blocks and keeps the size, and write errors fail.
  testenv::TempDir dir;
  os_file f;
  ASSERT_EQ(0, os_file_create_truncate(dir.file("w.bin").c_str(), &f));
  const uint64_t size = 3 * 1024 * 1024 + 100;
  ASSERT_EQ(0, os_file_set_size(f, size));
  const uint8_t* view = (const uint8_t*)os_file_map_read(f, size);
  ASSERT_NE(nullptr, view);

  // Not page-aligned at either end, across many pages.
  const uint64_t from = 4096 + 17;
  std::vector<uint8_t> bytes(2 * 1024 * 1024 + 333);
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = (uint8_t)(i * 7 + 1);
  ASSERT_EQ(0, os_file_write_at(f, from, bytes.data(), bytes.size()));
  EXPECT_EQ(0, view[from - 1]);
  EXPECT_EQ(0, view[from + bytes.size()]);
  EXPECT_EQ(0, memcmp(bytes.data(), view + from, bytes.size()));

  struct stat before, after;
  ASSERT_EQ(0, fstat((int)f, &before));
  ASSERT_EQ(0, os_file_reserve(f, size - 5000, 5000));
  ASSERT_EQ(0, fstat((int)f, &after));
  EXPECT_GE((after.st_blocks - before.st_blocks) * 512, 5000) << "the range holds no blocks";
  uint64_t now = 0;
  ASSERT_EQ(0, os_file_size(f, &now));
  EXPECT_EQ(size, now);
  EXPECT_EQ(bytes[0], view[from]);  // reserving leaves written bytes alone

  EXPECT_EQ(-1, os_file_unmap((void*)(view + 1), size)) << "not a mapping's start";
  EXPECT_EQ(0, os_file_unmap((void*)view, size));
  os_file_close(f);

  // A write error fails at once instead of being retried.
  int fd = open("/dev/full", O_WRONLY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  errno = 0;
  EXPECT_EQ(-1, os_file_write_at((os_file)fd, 0, "x", 1));
  EXPECT_EQ(ENOSPC, errno);
  close(fd);
}

// Big buffers of every kind of size hold their bytes to the last one and
// leave their neighbours alone.
TEST(Os, BigBuffersHoldEveryByteOfTheirSize) {
  const size_t sizes[] = {1, 1u << 20, 2u << 20, 6u << 20, (6u << 20) + 4096};
  std::vector<uint8_t*> buffers;
  for (size_t size : sizes) {
    uint8_t* b = (uint8_t*)os_big_buffer_alloc(size);
    ASSERT_NE(nullptr, b) << size;
    memset(b, (int)(size % 251), size);
    buffers.push_back(b);
  }
  for (size_t i = 0; i < buffers.size(); i++) {
    const uint8_t* b = buffers[i];
    size_t size = sizes[i];
    EXPECT_TRUE(b[0] == size % 251 && b[size / 2] == size % 251 && b[size - 1] == size % 251) << size;
    os_big_buffer_free(buffers[i], size);
  }
  os_big_buffer_free(nullptr, 2u << 20);
}

}  // namespace
