// The hand-off between the decoding thread and the storing thread: a bounded
// ring of variable-length records with one producer and one consumer.
//
// Invariants:
//   1. A record is contiguous: one that would not fit before the end of the
//      ring starts at its beginning, behind a wrap mark.
//   2. `head` (moved only by the producer) ends the records handed over;
//      `tail` (moved only by the consumer) is where the oldest record not yet
//      released starts; both count bytes since creation. head == tail: empty.
//      Each side keeps a private copy of the other's position and reads the
//      shared one only when its copy says it must wait.
//   3. Records are taken in the order they were committed, and a record's
//      bytes are not overwritten before the consumer releases it.
//   4. Nobody sleeps while they could act: the producer sleeps only without
//      room, the consumer only without records. Wake-ups cost a system call,
//      so they are made only for a side that announced its sleep, and a
//      dozing consumer (one that wakes by itself soon) is woken only for a
//      good batch: at full speed the producer makes almost no calls.
#pragma once

#include <cstdint>

struct RowQueue;

// The smallest queue: two records of 4 KiB and their framing always fit.
enum : uint32_t { kRowQueueMinCapacity = 16384 };

// A queue of at least `capacity` bytes (rounded up to a power of two, at
// least kRowQueueMinCapacity); null when out of memory.
RowQueue* rowqueue_create(uint32_t capacity);
void rowqueue_destroy(RowQueue* q);
// The largest `max` that rowqueue_reserve accepts.
uint32_t rowqueue_max_record(const RowQueue* q);

// Producer: room for a record of up to `max` bytes, waiting until the
// consumer has released enough; the caller writes the record there and
// commits it. Only one record is reserved at a time.
uint8_t* rowqueue_reserve(RowQueue* q, uint32_t max);
// Producer: ends the reserved record with its real length (<= max). The
// consumer sees it at the next rowqueue_flush (or when the producer has to
// wait for room): one shared store per batch instead of one per record.
void rowqueue_commit(RowQueue* q, uint32_t len);
// Producer: hands every committed record over.
void rowqueue_flush(RowQueue* q);
// Producer: the same once the records not yet handed over make up `bytes`
// or more. Handing over costs a store the consumer's processor must fetch
// and a look at its flag, so per packet it would be paid some hundred
// thousand times a second; per batch of some kilobytes it is not.
void rowqueue_flush_batch(RowQueue* q, uint32_t bytes);
// Producer: hands every committed record over and wakes the consumer even
// when it dozes or nothing is queued (a request it should look at now).
void rowqueue_kick(RowQueue* q);
// Producer: bytes handed over since creation.
uint64_t rowqueue_committed(const RowQueue* q);

// Consumer: the next record not yet taken (its length in *len), or null when
// none is queued. Taken records stay valid until rowqueue_release.
const uint8_t* rowqueue_next(RowQueue* q, uint32_t* len);
// Consumer: gives the space of every record taken back to the producer.
void rowqueue_release(RowQueue* q);
// Consumer: bytes taken since creation (the consumer's position).
uint64_t rowqueue_taken(const RowQueue* q);
// Consumer: sleeps until a record is queued, a kick, or `timeout_ms` passed
// (negative: no limit). With `doze` the producer wakes it only for a batch
// of records (an eighth of the queue), not for each one: use it when the
// timeout is short anyway. Returns true when it was kicked.
bool rowqueue_wait(RowQueue* q, int timeout_ms, bool doze);

// How often each side had to wait (for tests and measurements; any thread).
struct RowQueueWaits {
  uint64_t producer;  // times the producer slept for room
  uint64_t sleeping;  // times the consumer slept until a record came
  uint64_t dozing;    // times the consumer dozed
};
RowQueueWaits rowqueue_waits(const RowQueue* q);
