// The capture worker's two bounded packet queues: the live queue (filled by
// the channel reader) and the replay queue (filled by the replay of a loaded
// capture), drained by one consumer that takes replay entries first.
//
// Invariants:
//   1. One mutex guards both queues; one data condition wakes the consumer;
//      each queue has its own room condition for its producer.
//   2. A producer whose queue holds more than `limit` entries waits for room;
//      its own abort flag (checked whenever it is woken) ends the wait.
//   3. Every entry carries its own record flag, set by its producer: a flag
//      shared by two producers could record replayed packets or skip live ones.
//   4. No entry holds more than kQueuedPacketMax bytes: longer packets are
//      refused with a log line, so the consumer's buffer is never overrun.
//   5. A stop request wakes the consumer at once, even on empty queues; it
//      stays set until the consumer clears it.
//   6. While paused, the consumer takes nothing; pausing returns only when
//      the consumer is between entries, so the paused side may touch what the
//      consumer uses (decoder, trees) until it resumes.
//
// The consumer's entry states: taken (busy) from take until its next take
// call (or packet_queues_done); idle otherwise.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

// The consumer's packet buffer, and so the longest packet an entry may hold.
enum { kQueuedPacketMax = 4104 };
// The entry count above which a producer waits for room.
enum : uint64_t { kPacketQueueLimit = 10485759 };

enum PacketQueueId { QUEUE_LIVE = 0, QUEUE_REPLAY = 1, kPacketQueueCount = 2 };

// What an entry asks of the consumer.
enum QueuedKind : uint8_t {
  QUEUED_PACKET = 0,        // decode the packet
  QUEUED_REPLAY_BEGIN = 1,  // a replay starts: reset the decoder
  QUEUED_FINISH = 2,        // a trace or replay has ended: decode what still waits
};

// One taken entry; the bytes are in the buffer given to packet_queues_take.
struct QueuedPacket {
  QueuedKind kind;
  PacketQueueId queue;  // where it came from
  uint8_t record;       // 1: record into the capture data file before decoding
  uint32_t length;
  uint64_t timestamp;
};

struct PacketQueues;

// Empty queues bounded at `limit` entries each; null when memory runs out.
PacketQueues* packet_queues_create(uint64_t limit);
// Frees the queues and every entry still held. Nobody may use them any more.
void packet_queues_destroy(PacketQueues* q);

// Appends a copy of the packet to queue `id`, first waiting for room.
// 1 appended; 0 when *abort was found set (nothing appended); -1 refused
// (longer than kQueuedPacketMax, or out of memory; logged).
int packet_queues_push(PacketQueues* q, PacketQueueId id, const uint8_t* bytes, uint32_t length,
                       uint64_t timestamp, int record, const std::atomic<bool>* abort);
// Appends a marker entry (QUEUED_REPLAY_BEGIN, QUEUED_FINISH); as push.
int packet_queues_push_marker(PacketQueues* q, PacketQueueId id, QueuedKind kind,
                              const std::atomic<bool>* abort);
// Sets the entry count above which the producer of queue `id` waits.
void packet_queues_set_limit(PacketQueues* q, PacketQueueId id, uint64_t limit);
// Wakes every waiting producer so that it looks at its abort flag now.
void packet_queues_wake_producers(PacketQueues* q);

// The consumer: ends its previous entry, then takes the oldest replay entry,
// else the oldest live entry, copying its bytes into `buf` (kQueuedPacketMax
// bytes). Waits up to `wait_ms` (0 not at all, negative without end) while
// both queues are empty or the consumer is paused. 1 taken; 0 nothing to take
// in that time; -1 a stop was requested.
int packet_queues_take(PacketQueues* q, QueuedPacket* out, uint8_t* buf, int wait_ms);
// Ends the consumer's current entry without taking another.
void packet_queues_done(PacketQueues* q);

// Asks the consumer to stop (wakes it); cleared by packet_queues_clear_stop.
void packet_queues_request_stop(PacketQueues* q);
void packet_queues_clear_stop(PacketQueues* q);

// Waits up to `timeout_ms` until both queues are empty and the consumer is
// idle; with `and_pause` the consumer is then paused. 1 reached, 0 time-out.
int packet_queues_wait_idle(PacketQueues* q, uint32_t timeout_ms, int and_pause);
// Pauses the consumer once it is between entries, whatever the queues hold.
void packet_queues_pause(PacketQueues* q);
void packet_queues_resume(PacketQueues* q);
// Drops every queued entry of queue `id` (producers get room).
void packet_queues_discard(PacketQueues* q, PacketQueueId id);

// Entries now in queue `id`, and the most it has held.
uint64_t packet_queues_length(PacketQueues* q, PacketQueueId id);
uint64_t packet_queues_peak(PacketQueues* q, PacketQueueId id);
