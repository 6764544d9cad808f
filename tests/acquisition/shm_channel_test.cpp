// The channel's ring rules, status texts and lifetime within one process.
#include "acquisition/shm_channel.h"

#include "os/clock.h"
#include "os/sync.h"
#include "tests/acquisition/channel_fixture.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {


std::string status() { return shm_get_last_error(); }
// A call's result with the status text it left.
std::string said(int rc) { return std::to_string(rc) + " " + status(); }

class Channel : public OnChannel {
 protected:
  ShmStats stats() {
    ShmStats s;
    shm_get_stats(h, &s);
    return s;
  }
  // Write position, read position and init flag.
  std::vector<uint32_t> header() { return {stats().writePos, stats().readPos, stats().initFlag}; }
};

TEST_F(Channel, CreatedEmptyWithInitFlagAndCreatorRoundTripsClearsForEveryHandleAndTimesOut) {
  EXPECT_EQ(header(), (std::vector<uint32_t>{0, 0, 1}));
  uint32_t size = 0;
  int creator = -1;
  EXPECT_EQ(shm_get_info(h, &size, &creator), 0u);
  EXPECT_EQ(size, SHM_DEFAULT_SIZE);
  EXPECT_EQ(creator, 1);
  EXPECT_EQ(shm_exists(), 1);
  const char text[] = "hello ring";
  ASSERT_EQ(said(shm_write(h, text, sizeof text, 1000)), "11 成功写入 11 字节");
  char back[64] = {0};
  ASSERT_EQ(said(shm_read(h, back, sizeof back, 100)), "11 成功读取 11 字节");
  EXPECT_STREQ(back, text);
  // Attaching keeps what the ring holds; a clear through any handle empties
  // it for every handle.
  ASSERT_EQ(shm_write(h, "xyz", 3, 1000), 3);
  ShmHandle* other = shm_create(&kConfig);
  ASSERT_TRUE(other && !other->creator) << status();
  EXPECT_EQ(shm_get_info(other, nullptr, nullptr), 3u);
  EXPECT_EQ(shm_clear(other), 1);
  EXPECT_EQ(header(), (std::vector<uint32_t>{0, 0, 1}));
  uint8_t out[4];
  EXPECT_EQ(said(shm_read(h, out, 4, 30)), "0 等待数据超时");
  shm_destroy(other);

  // Time-outs, with and without the data event.
  uint8_t buf[100] = {0};
  EXPECT_EQ(said(shm_read(h, buf, 8, 0)), "0 没有数据可读");
  uint32_t t0 = os_tick_ms();
  EXPECT_EQ(said(shm_read(h, buf, 8, 100)), "0 等待数据超时");
  uint32_t waited = os_tick_ms() - t0;
  EXPECT_TRUE(waited >= 99 && waited < 3000) << waited;
  // Notified but empty: the wait ends at once, the read finds nothing and
  // resets the event, so the next wait times out again.
  EXPECT_EQ(said(shm_notify(h)), "1 成功");
  EXPECT_EQ(said(shm_read(h, buf, 8, 100000)), "0 没有数据可读");
  EXPECT_EQ(said(shm_read(h, buf, 8, 20)), "0 等待数据超时");
  // Data present: an unlimited wait returns at once.
  ASSERT_EQ(shm_write(h, "abc", 3, 1000), 3);
  EXPECT_EQ(shm_read(h, buf, 8, SHM_INFINITE), 3);
  // A short read delivers what there is and resets the event: a waiting read now times out.
  ASSERT_EQ(shm_write(h, buf, 40, 1000), 40);
  ASSERT_EQ(shm_read(h, buf, 100, 100), 40);
  EXPECT_EQ(said(shm_read(h, buf, 100, 100)), "0 等待数据超时");
}

TEST_F(Channel, WriteLimitsBadArgumentsTheEndOfTheRingAndDamagedPositions) {
  std::vector<uint8_t> big(SHM_RING_SIZE, 0x5A);
  EXPECT_EQ(said(shm_write(h, big.data(), SHM_RING_SIZE, 1000)), "-1 数据大小超出限制 (10485760 > 10485759)");
  EXPECT_EQ(shm_get_info(h, nullptr, nullptr), 0u);
  uint8_t b = 0;
  EXPECT_EQ(shm_write(h, nullptr, 1, 0), -1);
  EXPECT_EQ(shm_write(h, &b, 0, 0), -1);
  EXPECT_EQ(shm_read(nullptr, &b, 1, 0), -1);
  EXPECT_EQ(said(shm_read(h, &b, 0, 0)), "-1 参数错误");
  EXPECT_EQ(shm_clear(nullptr), 0);
  shm_destroy(nullptr);
  const uint8_t bytes[] = {0x01, 0xFF, 0x80, 0x7F};  // checksums sum signed bytes
  EXPECT_EQ(calculate_checksum(bytes, 0), 0u);
  EXPECT_EQ(calculate_checksum(bytes, 2), 0u);
  EXPECT_EQ(calculate_checksum(bytes, 3), (uint32_t)-128);
  EXPECT_EQ(calculate_checksum(bytes, 4), (uint32_t)-1);

  ASSERT_EQ(shm_write(h, big.data(), SHM_MAX_WRITE, 1000), (int)SHM_MAX_WRITE) << status();
  EXPECT_EQ(shm_get_info(h, nullptr, nullptr), SHM_MAX_WRITE);
  uint8_t one = 1;
  EXPECT_EQ(said(shm_write(h, &one, 1, 1000)), "0 缓冲区空间不足 (需要: 1, 可用: 0)");
  EXPECT_EQ(stats().writePos, SHM_MAX_WRITE);
  // Refused writes are all or nothing: a partly fitting one leaves no trace.
  std::vector<uint8_t> out(100);
  ASSERT_EQ(shm_read(h, out.data(), 100, 0), 100);
  std::vector<uint8_t> more(101, 0x77);
  EXPECT_EQ(said(shm_write(h, more.data(), 101, 1000)), "0 缓冲区空间不足 (需要: 101, 可用: 100)");
  EXPECT_EQ(stats().writePos, SHM_MAX_WRITE);
  EXPECT_EQ(shm_get_info(h, nullptr, nullptr), SHM_MAX_WRITE - 100);

  // A write across the end of the ring, and one ending exactly there (its
  // read stores the end position, which means 0).
  for (uint32_t len : {30u, 16u}) {
    SCOPED_TRACE(len);
    ASSERT_EQ(shm_clear(h), 1);
    std::vector<uint8_t> fill(SHM_RING_SIZE - 16, 0);  // both positions to 16 before the end
    ASSERT_EQ(shm_write(h, fill.data(), SHM_RING_SIZE - 16, 1000), (int)SHM_RING_SIZE - 16);
    ASSERT_EQ(shm_read(h, fill.data(), SHM_RING_SIZE - 16, 0), (int)SHM_RING_SIZE - 16);
    uint8_t in[30], got[30];
    for (uint32_t i = 0; i < len; ++i) in[i] = (uint8_t)(0xA0 + i);
    ASSERT_EQ(shm_write(h, in, len, 1000), (int)len);
    EXPECT_EQ(stats().writePos, len - 16);
    ASSERT_EQ(shm_read(h, got, len, 0), (int)len);
    EXPECT_EQ(std::memcmp(in, got, len), 0);
    EXPECT_EQ(stats().readPos, len == 16 ? SHM_RING_SIZE : len - 16);
  }
  EXPECT_EQ(shm_get_info(h, nullptr, nullptr), 0u);
  uint8_t next[3] = {7, 8, 9}, back[3] = {0};
  ASSERT_EQ(shm_write(h, next, 3, 1000), 3);
  EXPECT_EQ(shm_get_info(h, nullptr, nullptr), 3u);
  ASSERT_EQ(shm_read(h, back, 3, 100), 3);
  EXPECT_EQ(std::memcmp(next, back, 3), 0);
  EXPECT_EQ(stats().readPos, 3u);
  // And the ring is full again at SIZE - 1 from there.
  EXPECT_EQ(shm_write(h, big.data(), SHM_MAX_WRITE, 1000), (int)SHM_MAX_WRITE);

  // Positions beyond the ring (a foreign or damaged segment) must never
  // steer a copy outside it.
  uint32_t* raw = reinterpret_cast<uint32_t*>(h->view);
  raw[0] = 0xFFFFFFF0u;
  raw[1] = 5;
  EXPECT_EQ(shm_get_info(h, nullptr, nullptr), 0u);
  EXPECT_EQ(shm_read(h, out.data(), 16, 0), 0);
  EXPECT_EQ(header(), (std::vector<uint32_t>{0, 0, 1}));
  raw[1] = SHM_RING_SIZE + 1;
  EXPECT_EQ(shm_write(h, "ab", 2, 1000), 2);
  EXPECT_EQ(shm_read(h, out.data(), 16, 0), 2);
}

std::string sys_name(const char* base) {
  char buf[OS_SHM_NAME_MAX];
  EXPECT_EQ(os_shm_name(base, buf, sizeof buf), 0);
  return buf;
}

// Attaching, and the last holder removing the channel, are checked between
// processes (channel_process_test.cpp).
TEST(ChannelLifetime, OpenWithoutSegmentOrLockAndTooSmallConfigurationsFailLeftoversAreCleared) {
  testenv::ShmIsolation iso;
  EXPECT_EQ(said(shm_open(&kConfig) != nullptr), "0 share mem no exist (err code: 2)");
  ShmHandle* a = shm_create(&kConfig);
  ASSERT_EQ(said(a != nullptr), "1 success");
  ShmHandle* b = shm_open(&kConfig);
  ASSERT_EQ(said(b != nullptr), "1 成功");
  EXPECT_FALSE(b->creator);
  shm_destroy(b);
  shm_destroy(a);
  ShmConfig small = {4096, 0, 1, 1};
  EXPECT_EQ(said(shm_create(&small) != nullptr), "0 参数错误");
  EXPECT_EQ(shm_create(nullptr), nullptr);
  EXPECT_EQ(shm_exists(), 0);

  // A segment without its lock is reported, not used.
  std::string seg = sys_name(kShmSegmentName);
  OsShmRegion region;
  ASSERT_EQ(os_shm_create_exclusive(seg.c_str(), SHM_DEFAULT_SIZE, &region), 0);
  EXPECT_EQ(said(shm_create(&kConfig) != nullptr), "0 open lock failed (err code: 2)");
  EXPECT_EQ(said(shm_open(&kConfig) != nullptr), "0 打开互斥锁失败 (错误码: 2)");
  os_shm_close(&region);
  os_shm_unlink(seg.c_str());

  // A creator that died after making the lock and the event but before
  // publishing the segment: the next creator waits a moment, then starts afresh.
  std::string lock_name = sys_name(kShmMutexName), event_name = sys_name(kShmEventName);
  os_lock_close(os_lock_create(lock_name.c_str()));
  os_event_close(os_event_create(event_name.c_str()));
  uint32_t t0 = os_tick_ms();
  ShmHandle* h = shm_create(&kConfig);
  ASSERT_TRUE(h && h->creator) << status();
  EXPECT_LT((uint32_t)(os_tick_ms() - t0), 4000u);
  ASSERT_EQ(shm_write(h, "z", 1, 100), 1);
  ShmHandle* second = shm_open(&kConfig);
  ASSERT_NE(second, nullptr) << status();
  char c = 0;
  EXPECT_EQ(shm_read(second, &c, 1, 100), 1);
  EXPECT_EQ(c, 'z');
  shm_destroy(second);
  shm_destroy(h);
  EXPECT_EQ(shm_exists(), 0);
  EXPECT_EQ(os_lock_open(lock_name.c_str()), nullptr);
}

}  // namespace
