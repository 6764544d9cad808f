// The worker's two bounded packet queues: order, bounds, stop and pause.
#include <gtest/gtest.h>

#include <functional>
#include <future>
#include <thread>
#include <tuple>
#include <vector>

#include "acquisition/packet_queues.h"

namespace {

using Taken = std::tuple<PacketQueueId, uint8_t, std::vector<uint8_t>, uint64_t>;  // queue, record flag, bytes, stamp

int take(PacketQueues* q, Taken* out, int wait = 0) {
  static uint8_t buf[kQueuedPacketMax];
  QueuedPacket e;
  int r = packet_queues_take(q, &e, buf, wait);
  if (r == 1) *out = Taken{e.queue, e.record, std::vector<uint8_t>(buf, buf + e.length), e.timestamp};
  return r;
}

std::vector<uint8_t> bytes(size_t n, uint8_t first) {
  std::vector<uint8_t> b(n);
  for (size_t i = 0; i < n; i++) b[i] = (uint8_t)(first + i);
  return b;
}

// A call that must block until the test lets it go; then its result.
std::future<int> held(std::function<int()> call) {
  auto f = std::async(std::launch::async, call);
  EXPECT_EQ(std::future_status::timeout, f.wait_for(std::chrono::milliseconds(50)));
  return f;
}
int result(std::future<int>& f) {
  return f.wait_for(std::chrono::seconds(2)) == std::future_status::ready ? f.get() : -99;
}

}  // namespace

// Replay entries go first; each entry keeps its own bytes (inline or on the
// heap, up to the buffer's size) and its own record flag.
TEST(PacketQueues, ReplayFirstBoundsAbortIdlePauseAndStop) {
  PacketQueues* q = packet_queues_create(kPacketQueueLimit);
  std::vector<uint8_t> live1 = bytes(3, 0x10), live2 = bytes(kQueuedPacketMax, 1);
  std::vector<uint8_t> rep1 = bytes(9, 0x40), rep2 = bytes(1, 0xD2);
  ASSERT_EQ(1, packet_queues_push(q, QUEUE_LIVE, live1.data(), 3, 11, 1, nullptr));
  ASSERT_EQ(1, packet_queues_push(q, QUEUE_LIVE, live2.data(), kQueuedPacketMax, 12, 1, nullptr));
  ASSERT_EQ(1, packet_queues_push(q, QUEUE_REPLAY, rep1.data(), 9, 21, 0, nullptr));
  ASSERT_EQ(1, packet_queues_push(q, QUEUE_REPLAY, rep2.data(), 1, 22, 0, nullptr));
  std::vector<Taken> got;
  int last;
  for (Taken t; (last = take(q, &t)) == 1;) got.push_back(t);
  EXPECT_EQ(0, last);
  EXPECT_EQ(got, (std::vector<Taken>{{QUEUE_REPLAY, 0, rep1, 21}, {QUEUE_REPLAY, 0, rep2, 22},
                                     {QUEUE_LIVE, 1, live1, 11}, {QUEUE_LIVE, 1, live2, 12}}));
  EXPECT_EQ(2u, packet_queues_peak(q, QUEUE_LIVE));

  std::vector<uint8_t> tooLong(kQueuedPacketMax + 1, 0);
  EXPECT_EQ(-1, packet_queues_push(q, QUEUE_REPLAY, tooLong.data(), (uint32_t)tooLong.size(), 0, 0, nullptr));
  EXPECT_EQ(0u, packet_queues_length(q, QUEUE_REPLAY));
  packet_queues_destroy(q);

  // A producer over the bound waits until the consumer makes room, or until
  // its abort flag is raised.
  q = packet_queues_create(2);
  uint8_t b = 0xA5;
  for (int i = 0; i < 3; i++) ASSERT_EQ(1, packet_queues_push(q, QUEUE_LIVE, &b, 1, i, 1, nullptr));
  std::atomic<bool> abort{false};
  auto push = [&](PacketQueueId id, std::atomic<bool>* stop) {
    return held([=, &b] { return packet_queues_push(q, id, &b, 1, 3, id == QUEUE_LIVE, stop); });
  };
  std::future<int> producer = push(QUEUE_LIVE, &abort);
  // The other queue's producer is not held.
  EXPECT_EQ(1, packet_queues_push(q, QUEUE_REPLAY, &b, 1, 9, 0, nullptr));
  Taken t;
  ASSERT_EQ(1, take(q, &t));  // the replay entry: no room in the live queue yet
  ASSERT_EQ(1, take(q, &t));
  EXPECT_EQ(1, result(producer));

  producer = push(QUEUE_LIVE, &abort);
  abort.store(true);
  packet_queues_wake_producers(q);
  EXPECT_EQ(0, result(producer));
  EXPECT_EQ(3u, packet_queues_length(q, QUEUE_LIVE));

  // Each queue keeps its own bound: the replay's, set below the live one's,
  // holds its producer although the live queue holds more.
  packet_queues_set_limit(q, QUEUE_REPLAY, 0);
  ASSERT_EQ(1, packet_queues_push(q, QUEUE_REPLAY, &b, 1, 5, 0, nullptr));
  producer = push(QUEUE_REPLAY, nullptr);
  ASSERT_EQ(1, take(q, &t));
  EXPECT_EQ(QUEUE_REPLAY, std::get<0>(t));
  EXPECT_EQ(1, result(producer));
  packet_queues_destroy(q);

  // Idle means empty queues and no entry in the consumer's hands; a paused
  // consumer takes nothing until it is resumed; a stop request wakes a
  // consumer waiting on empty queues.
  q = packet_queues_create(kPacketQueueLimit);
  ASSERT_EQ(1, packet_queues_push(q, QUEUE_LIVE, &b, 1, 1, 1, nullptr));
  EXPECT_EQ(0, packet_queues_wait_idle(q, 20, 0));
  ASSERT_EQ(1, take(q, &t));
  EXPECT_EQ(0, packet_queues_wait_idle(q, 20, 0)) << "the consumer still holds the entry";
  packet_queues_done(q);
  EXPECT_EQ(1, packet_queues_wait_idle(q, 20, 1));

  ASSERT_EQ(1, packet_queues_push(q, QUEUE_LIVE, &b, 1, 2, 1, nullptr));
  EXPECT_EQ(0, take(q, &t)) << "paused";
  packet_queues_resume(q);
  EXPECT_EQ(1, take(q, &t));

  std::future<int> consumer = held([q] {
    Taken got;
    return take(q, &got, -1);
  });
  packet_queues_request_stop(q);
  int r = result(consumer);
  EXPECT_EQ(-1, r) << "the stop request did not wake the consumer";
  if (r == -99) packet_queues_push(q, QUEUE_LIVE, &b, 1, 0, 1, nullptr);  // lets it go, to end the test
  packet_queues_destroy(q);
}
