// The channel between real processes: records crossing from a writer
// process to a reader process, holders that are killed, concurrent
// creation, and a process that dies holding the lock.
#include "acquisition/capture_record.h"
#include "os/clock.h"
#include "os/sync.h"
#include "tests/acquisition/channel_fixture.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cstring>
#include <functional>
#include <future>
#include <memory>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

// Runs `body` in a child process on an attachment of its own, then exits
// with what it returns.
pid_t in_child(const std::function<int(ShmHandle*)>& body) {
  pid_t pid = fork();
  if (pid == 0) {
    ShmHandle* own = shm_create(&kConfig);
    _exit(own ? body(own) : 2);
  }
  return pid;
}

// Packet `i` of the stream `seed` into `out`; its length (1 to 600, now and
// then the largest, 4,092).
uint32_t stream_packet(uint32_t seed, uint64_t i, uint8_t* out) {
  uint64_t x = (i + 1) * 0x9E3779B97F4A7C15ull ^ ((uint64_t)seed << 32 | seed);
  x ^= x >> 31;
  x *= 0xBF58476D1CE4E5B9ull;
  x ^= x >> 29;
  uint32_t len = (i % 997 == 0) ? 4092u : (uint32_t)(x % 600u) + 1u;
  for (uint32_t k = 0; k < len; ++k) {
    x = x * 6364136223846793005ull + 1442695040888963407ull;
    out[k] = (uint8_t)(x >> 56);
  }
  return len;
}

// Waits for `pid`; its exit code, or -signal when a signal ended it.
int wait_peer(pid_t pid) {
  int status = 0;
  if (pid <= 0 || waitpid(pid, &status, 0) != pid) return -1000;
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  return WIFSIGNALED(status) ? -WTERMSIG(status) : -1000;
}

// A child that takes the channel lock and then exits (or waits to be
// killed) holding it; returns once the lock is held.
pid_t child_holding_the_lock(bool wait_for_kill) {
  int fds[2];
  if (pipe(fds) != 0) return -1;
  pid_t pid = in_child([&](ShmHandle* own) {
    if (os_lock_acquire(own->lock, 5000) == OS_LOCK_FAILED) return 3;
    if (write(fds[1], "h", 1) != 1) return 4;
    while (wait_for_kill) pause();
    return 0;
  });
  close(fds[1]);
  char c;
  EXPECT_EQ(read(fds[0], &c, 1), 1);
  close(fds[0]);
  return pid;
}

using ChannelProcesses = OnChannel;

TEST_F(ChannelProcesses, WriterAndReaderProcessesExchangeRecordsIntact) {
  // About 16 MB of records of 21 to 4,112 bytes, round the ring and more;
  // each carries its number as the stamp.
  const uint64_t records = 50000;
  pid_t writer = in_child([&](ShmHandle* own) {
    uint8_t packet[CAPTURE_PACKET_MAX], record[CAPTURE_RECORD_MAX];
    for (uint64_t i = 0; i < records; ++i) {
      size_t n = capture_record_encode(record, sizeof record, packet, stream_packet(7, i, packet), i);
      // All or nothing: wait for room rather than split a record.
      for (int rc; (rc = shm_write(own, record, (uint32_t)n, 5000)) != (int)n; os_sleep_ms(1))
        if (rc < 0) return 3;
    }
    shm_destroy(own);
    return 0;
  });
  auto reader = std::make_unique<RecordReader>();
  record_reader_init(reader.get());
  std::atomic<bool> stop{false}, done{false};
  std::thread watchdog([&] { stop = !testenv::wait_until([&] { return done.load(); }, 60000); });
  uint8_t packet[CAPTURE_PACKET_MAX];
  CaptureRecordOut out;
  uint64_t i = 0;
  for (; i < records; ++i) {
    uint32_t len = stream_packet(7, i, packet);
    if (!record_read_exact(h, reader.get(), &stop, &out) || out.timestamp != i || out.dataLength != len ||
        std::memcmp(out.packet, packet, len) != 0)
      break;
  }
  done = true;
  watchdog.join();
  EXPECT_EQ(i, records) << "record " << i << " is missing, damaged or out of order";
  if (i < records) kill(writer, SIGKILL);
  EXPECT_EQ(wait_peer(writer), i < records ? -SIGKILL : 0);
  EXPECT_EQ(reader->skipped, 0u);
  EXPECT_EQ(shm_get_info(h, nullptr, nullptr), 0u);
}

// A process killed without detaching leaves its attach count behind but not
// its mapping: the channel goes with its last live holder.
TEST_F(ChannelProcesses, KilledHoldersDoNotKeepTheChannel) {
  auto hold = [](ShmHandle*) {
    for (;;) pause();
    return 0;
  };
  pid_t killed = in_child(hold), alive = in_child(hold);
  uint32_t* count = os_lock_attach_count(h->lock);
  ASSERT_TRUE(testenv::wait_until([&] { return __atomic_load_n(count, __ATOMIC_RELAXED) == 3; }, 10000))
      << "the peers did not attach";
  kill(killed, SIGKILL);
  EXPECT_EQ(wait_peer(killed), -SIGKILL);
  shm_destroy(h);
  h = nullptr;
  EXPECT_EQ(shm_exists(), 1) << "a live holder keeps the channel";
  kill(alive, SIGKILL);
  EXPECT_EQ(wait_peer(alive), -SIGKILL);
  ShmHandle* again = shm_open(&kConfig);
  ASSERT_NE(again, nullptr) << shm_get_last_error();
  shm_destroy(again);
  EXPECT_EQ(shm_exists(), 0) << "the counts of killed holders kept the channel";
}

TEST(ChannelThreads, ConcurrentCreatorsMeetOnOneChannel) {
  testenv::ShmIsolation iso;
  const int n = 8;
  std::vector<ShmHandle*> handles(n, nullptr);
  std::vector<std::thread> threads;
  for (int i = 0; i < n; ++i) threads.emplace_back([&, i] { handles[i] = shm_create(&kConfig); });
  for (auto& t : threads) t.join();
  ASSERT_EQ(std::count(handles.begin(), handles.end(), nullptr), 0);
  EXPECT_EQ(std::count_if(handles.begin(), handles.end(), [](ShmHandle* h) { return h->creator; }), 1);
  ASSERT_EQ(shm_write(handles[0], "ping", 4, 1000), 4);
  char out[4];
  EXPECT_EQ(shm_read(handles[n - 1], out, 4, 100), 4);
  EXPECT_EQ(std::memcmp(out, "ping", 4), 0);
  for (ShmHandle* h : handles) shm_destroy(h);
  EXPECT_EQ(shm_exists(), 0);
}

// A process that exits holding the lock, and one killed holding it while a
// writer waits: the next call is reported as failed (at once), then the
// channel works normally.
TEST_F(ChannelProcesses, ProcessesDyingWithTheLockDoNotBlockOthers) {
  pid_t pid = child_holding_the_lock(false);
  ASSERT_GT(pid, 0);
  EXPECT_EQ(wait_peer(pid), 0);
  uint8_t b = 0;
  EXPECT_EQ(shm_read(h, &b, 1, 0), -1);
  EXPECT_STREQ(shm_get_last_error(), "获取互斥锁失败 (错误码: 130)");
  EXPECT_EQ(shm_write(h, "ok", 2, 1000), 2) << shm_get_last_error();
  char out[2];
  EXPECT_EQ(shm_read(h, out, 2, 100), 2);

  pid = child_holding_the_lock(true);
  ASSERT_GT(pid, 0);
  auto writer = std::async(std::launch::async, [&] {  // status texts are per thread
    int rc = shm_write(h, "x", 1, 10000);
    return std::to_string(rc) + " " + shm_get_last_error();
  });
  os_sleep_ms(100);
  kill(pid, SIGKILL);
  EXPECT_EQ(writer.get(), "-1 获取互斥锁失败 (错误码: 130)");
  EXPECT_EQ(wait_peer(pid), -SIGKILL);
  EXPECT_EQ(shm_write(h, "y", 1, 1000), 1);
  EXPECT_EQ(shm_read(h, out, 2, 100), 1);
  EXPECT_EQ(out[0], 'y');
  EXPECT_EQ(shm_clear(h), 1);
}

}  // namespace
