// The bounded single-producer, single-consumer record ring (see row_queue.h).
//
// A record is a u32 length, the bytes, and padding to 8 bytes. A length of
// kWrapMark says that the rest of the ring up to its end is unused and the
// next record is at its beginning.
#include "acquisition/pipeline/row_queue.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <new>

#include "os/big_buffer.h"

namespace {

constexpr uint32_t kWrapMark = 0xFFFFFFFFu;
constexpr uint32_t kFrame = 4;  // the length field

enum Sleep : int { AWAKE = 0, DOZING = 1, SLEEPING = 2 };

inline uint32_t padded(uint32_t n) { return (n + 7u) & ~7u; }

}  // namespace

struct RowQueue {
  uint8_t* ring;                  // capacity bytes
  uint32_t capacity;              // a power of two
  uint32_t mask;                  // capacity - 1
  // Each side's own fields, its published position and its flags lie on
  // lines of their own: a side that reads the other's flag for every record
  // does not miss the cache because the other just moved its own position.
  // Producer side.
  alignas(64) uint64_t written;   // end of the committed records (>= head)
  uint64_t handed;                // head as last stored (the producer's copy)
  uint64_t tail_seen;             // the consumer's tail as last read
  uint64_t reserved_at;           // start of the reserved record (after a wrap)
  uint32_t reserved_max;          // its largest length
  std::atomic<uint64_t> producer_slept;  // times it slept for room
  alignas(64) std::atomic<uint64_t> head;  // end of the records handed over
  alignas(64) std::atomic<bool> producer_waits;  // asleep for room
  // Consumer side.
  alignas(64) uint64_t taken;     // end of the records taken
  uint64_t head_seen;             // the producer's head as last read
  std::atomic<uint64_t> slept[2];  // times it slept, dozed
  alignas(64) std::atomic<uint64_t> tail;  // start of the oldest unreleased record
  alignas(64) std::atomic<int> consumer_sleep;  // Sleep
  std::atomic<bool> kicked;       // a kick not yet seen by rowqueue_wait
  // Sleeping and waking.
  alignas(64) std::mutex lock;
  std::condition_variable room;   // the producer waits here
  std::condition_variable data;   // the consumer waits here
};

RowQueue* rowqueue_create(uint32_t capacity) {
  uint32_t cap = kRowQueueMinCapacity;
  while (cap < capacity && cap < (1u << 30)) cap <<= 1;
  RowQueue* q = new (std::nothrow) RowQueue();
  if (!q) return nullptr;
  q->ring = (uint8_t*)os_big_buffer_alloc(cap);
  if (!q->ring) {
    delete q;
    return nullptr;
  }
  q->capacity = cap;
  q->mask = cap - 1;
  q->head.store(0);
  q->tail.store(0);
  q->written = q->handed = q->tail_seen = 0;
  q->reserved_at = 0;
  q->reserved_max = 0;
  q->taken = q->head_seen = 0;
  q->producer_waits.store(false);
  q->producer_slept.store(0);
  q->slept[0].store(0);
  q->slept[1].store(0);
  q->consumer_sleep.store(AWAKE);
  q->kicked.store(false);
  return q;
}

void rowqueue_destroy(RowQueue* q) {
  if (!q) return;
  os_big_buffer_free(q->ring, q->capacity);
  delete q;
}

uint32_t rowqueue_max_record(const RowQueue* q) { return q->capacity / 2 - 2 * kFrame; }

static void wake_consumer(RowQueue* q) {
  std::lock_guard<std::mutex> hold(q->lock);
  q->data.notify_one();
}

void rowqueue_flush(RowQueue* q) {
  uint64_t head = q->written;
  if (head == q->handed) return;
  q->handed = head;
  q->head.store(head);
  int sleep = q->consumer_sleep.load();
  if (sleep == SLEEPING ||
      (sleep == DOZING && head - q->tail.load(std::memory_order_relaxed) >= q->capacity / 8))
    wake_consumer(q);
}

void rowqueue_flush_batch(RowQueue* q, uint32_t bytes) {
  if (q->written - q->handed >= bytes) rowqueue_flush(q);
}

uint8_t* rowqueue_reserve(RowQueue* q, uint32_t max) {
  if (max > rowqueue_max_record(q)) return nullptr;
  uint64_t at = q->written;
  uint32_t need = padded(kFrame + max);
  uint32_t to_end = q->capacity - (uint32_t)(at & q->mask);
  uint64_t span = to_end < need ? (uint64_t)to_end + need : need;
  if (q->capacity - (at - q->tail_seen) < span) {
    q->tail_seen = q->tail.load(std::memory_order_acquire);
    if (q->capacity - (at - q->tail_seen) < span) {
      // The consumer may be waiting for exactly what is committed here.
      rowqueue_flush(q);
      std::unique_lock<std::mutex> hold(q->lock);
      q->producer_waits.store(true);
      q->producer_slept.fetch_add(1, std::memory_order_relaxed);
      // Seen before the consumer's next release, or woken by it (both sides
      // store their position before they look at the other's flag).
      while (q->capacity - (at - (q->tail_seen = q->tail.load())) < span) {
        // A dozing consumer must not sleep out its doze with a full queue.
        if (q->consumer_sleep.load() != AWAKE) q->data.notify_one();
        q->room.wait(hold);
      }
      q->producer_waits.store(false);
    }
  }
  if (to_end < need) {
    uint32_t mark = kWrapMark;
    memcpy(q->ring + (at & q->mask), &mark, sizeof mark);
    at += to_end;
  }
  q->reserved_at = at;
  q->reserved_max = max;
  return q->ring + (at & q->mask) + kFrame;
}

void rowqueue_commit(RowQueue* q, uint32_t len) {
  if (len > q->reserved_max) len = q->reserved_max;
  uint64_t at = q->reserved_at;
  memcpy(q->ring + (at & q->mask), &len, sizeof len);
  q->written = at + padded(kFrame + len);
}

void rowqueue_kick(RowQueue* q) {
  rowqueue_flush(q);
  q->kicked.store(true);
  wake_consumer(q);
}

uint64_t rowqueue_committed(const RowQueue* q) { return q->head.load(); }

const uint8_t* rowqueue_next(RowQueue* q, uint32_t* len) {
  if (q->taken == q->head_seen) {
    q->head_seen = q->head.load(std::memory_order_acquire);
    if (q->taken == q->head_seen) return nullptr;
  }
  uint32_t n;
  memcpy(&n, q->ring + (q->taken & q->mask), sizeof n);
  if (n == kWrapMark) {
    q->taken += q->capacity - (uint32_t)(q->taken & q->mask);
    memcpy(&n, q->ring + (q->taken & q->mask), sizeof n);
  }
  const uint8_t* at = q->ring + (q->taken & q->mask) + kFrame;
  q->taken += padded(kFrame + n);
  *len = n;
  return at;
}

void rowqueue_release(RowQueue* q) {
  q->tail.store(q->taken);
  if (q->producer_waits.load()) {
    std::lock_guard<std::mutex> hold(q->lock);
    q->room.notify_one();
  }
}

uint64_t rowqueue_taken(const RowQueue* q) { return q->taken; }

bool rowqueue_wait(RowQueue* q, int timeout_ms, bool doze) {
  std::unique_lock<std::mutex> hold(q->lock);
  q->consumer_sleep.store(doze ? DOZING : SLEEPING);
  // Checked after the flag is up: a producer that committed before it saw
  // the flag down, and its record is seen here.
  auto ready = [&] { return q->kicked.load() || q->head.load() != q->taken; };
  if (!ready()) {
    q->slept[doze ? 1 : 0].fetch_add(1, std::memory_order_relaxed);
    if (timeout_ms < 0)
      q->data.wait(hold, ready);
    else
      q->data.wait_for(hold, std::chrono::milliseconds(timeout_ms), ready);
  }
  q->consumer_sleep.store(AWAKE);
  return q->kicked.exchange(false);
}

RowQueueWaits rowqueue_waits(const RowQueue* q) {
  return RowQueueWaits{q->producer_slept.load(std::memory_order_relaxed),
                       q->slept[0].load(std::memory_order_relaxed),
                       q->slept[1].load(std::memory_order_relaxed)};
}
