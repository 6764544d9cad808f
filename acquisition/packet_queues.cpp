// The two bounded packet queues (see packet_queues.h). Entries are small
// records in a deque; packets of up to eight bytes (tokens, handshakes, SOF,
// SPLIT: most of the bus) sit inside the record, longer ones in one heap copy.
#include "acquisition/packet_queues.h"

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <new>

#include "os/log.h"

namespace {

enum { kInlineBytes = 8 };

struct Entry {
  union {
    uint8_t* heap;                // length > kInlineBytes
    uint8_t inl[kInlineBytes];    // length <= kInlineBytes
  } bytes;
  uint64_t timestamp;
  uint32_t length;
  QueuedKind kind;
  uint8_t record;
};

inline const uint8_t* entry_bytes(const Entry& e) {
  return e.length > kInlineBytes ? e.bytes.heap : e.bytes.inl;
}

inline void entry_free(Entry& e) {
  if (e.length > kInlineBytes) free(e.bytes.heap);
}

}  // namespace

struct PacketQueues {
  std::mutex lock;                              // guards everything below
  std::condition_variable data;                 // consumer: an entry, a stop or a resume
  std::condition_variable room[kPacketQueueCount];  // producers: room in their queue
  std::condition_variable idle;                 // the consumer ended an entry (or queues emptied)
  std::deque<Entry> queues[kPacketQueueCount];
  uint64_t peak[kPacketQueueCount] = {0, 0};
  uint64_t limit[kPacketQueueCount] = {0, 0};  // entries above which a producer waits
  bool stop = false;    // the consumer is asked to leave
  bool paused = false;  // the consumer takes nothing
  bool busy = false;    // the consumer holds a taken entry
};

PacketQueues* packet_queues_create(uint64_t limit) {
  PacketQueues* q = new (std::nothrow) PacketQueues();
  if (q) q->limit[QUEUE_LIVE] = q->limit[QUEUE_REPLAY] = limit;
  return q;
}

void packet_queues_destroy(PacketQueues* q) {
  if (!q) return;
  for (std::deque<Entry>& d : q->queues)
    for (Entry& e : d) entry_free(e);
  delete q;
}

// Appends `e` (whose bytes the queue then owns) after waiting for room.
static int push_entry(PacketQueues* q, PacketQueueId id, Entry e, const std::atomic<bool>* abort) {
  std::unique_lock<std::mutex> g(q->lock);
  std::deque<Entry>& d = q->queues[id];
  while (d.size() > q->limit[id]) {
    if (abort && abort->load()) {
      entry_free(e);
      return 0;
    }
    q->room[id].wait(g);
  }
  try {
    d.push_back(e);
  } catch (...) {
    entry_free(e);
    orvane_log(">>>packet queue: out of memory, packet dropped");
    return -1;
  }
  if (d.size() > q->peak[id]) q->peak[id] = d.size();
  g.unlock();
  q->data.notify_one();
  return 1;
}

int packet_queues_push(PacketQueues* q, PacketQueueId id, const uint8_t* bytes, uint32_t length,
                       uint64_t timestamp, int record, const std::atomic<bool>* abort) {
  if (length > kQueuedPacketMax || (length > 0 && !bytes)) {
    orvane_log(">>>packet of %u bytes refused: longer than the %d-byte packet buffer", length,
               (int)kQueuedPacketMax);
    return -1;
  }
  Entry e;
  e.timestamp = timestamp;
  e.length = length;
  e.kind = QUEUED_PACKET;
  e.record = record ? 1 : 0;
  if (length > kInlineBytes) {
    e.bytes.heap = (uint8_t*)malloc(length);
    if (!e.bytes.heap) {
      orvane_log(">>>packet queue: out of memory, packet dropped");
      return -1;
    }
    memcpy(e.bytes.heap, bytes, length);
  } else if (length > 0) {
    memcpy(e.bytes.inl, bytes, length);
  }
  return push_entry(q, id, e, abort);
}

int packet_queues_push_marker(PacketQueues* q, PacketQueueId id, QueuedKind kind,
                              const std::atomic<bool>* abort) {
  Entry e;
  memset(&e, 0, sizeof e);
  e.kind = kind;
  return push_entry(q, id, e, abort);
}

void packet_queues_set_limit(PacketQueues* q, PacketQueueId id, uint64_t limit) {
  std::lock_guard<std::mutex> g(q->lock);
  q->limit[id] = limit;
  q->room[id].notify_all();
}

void packet_queues_wake_producers(PacketQueues* q) {
  std::lock_guard<std::mutex> g(q->lock);
  for (std::condition_variable& c : q->room) c.notify_all();
}

static bool queues_empty(const PacketQueues* q) {
  return q->queues[QUEUE_LIVE].empty() && q->queues[QUEUE_REPLAY].empty();
}

// The consumer's entry ends; waiters for an idle consumer look again.
static void end_entry_locked(PacketQueues* q) {
  if (!q->busy) return;
  q->busy = false;
  q->idle.notify_all();
}

int packet_queues_take(PacketQueues* q, QueuedPacket* out, uint8_t* buf, int wait_ms) {
  Entry e;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(wait_ms > 0 ? wait_ms : 0);
  PacketQueueId from = QUEUE_LIVE;
  {
    std::unique_lock<std::mutex> g(q->lock);
    end_entry_locked(q);
    for (;;) {
      if (q->stop) return -1;
      if (!q->paused) {
        // Replay entries first.
        if (!q->queues[QUEUE_REPLAY].empty()) {
          from = QUEUE_REPLAY;
          break;
        }
        if (!q->queues[QUEUE_LIVE].empty()) {
          from = QUEUE_LIVE;
          break;
        }
      }
      if (wait_ms == 0) return 0;
      if (wait_ms < 0) q->data.wait(g);
      else if (q->data.wait_until(g, deadline) == std::cv_status::timeout && !q->stop) return 0;
    }
    std::deque<Entry>& d = q->queues[from];
    e = d.front();
    d.pop_front();
    q->busy = true;
    if (d.size() <= q->limit[from]) q->room[from].notify_one();
  }
  out->kind = e.kind;
  out->queue = from;
  out->record = e.record;
  out->length = e.length;
  out->timestamp = e.timestamp;
  if (e.length > 0) memcpy(buf, entry_bytes(e), e.length);  // length <= kQueuedPacketMax (rule 4)
  entry_free(e);
  return 1;
}

void packet_queues_done(PacketQueues* q) {
  std::lock_guard<std::mutex> g(q->lock);
  end_entry_locked(q);
}

void packet_queues_request_stop(PacketQueues* q) {
  std::lock_guard<std::mutex> g(q->lock);
  q->stop = true;
  q->data.notify_all();
}

void packet_queues_clear_stop(PacketQueues* q) {
  std::lock_guard<std::mutex> g(q->lock);
  q->stop = false;
}

int packet_queues_wait_idle(PacketQueues* q, uint32_t timeout_ms, int and_pause) {
  std::unique_lock<std::mutex> g(q->lock);
  bool reached = q->idle.wait_for(g, std::chrono::milliseconds(timeout_ms),
                                  [q] { return queues_empty(q) && !q->busy; });
  if (reached && and_pause) q->paused = true;
  return reached ? 1 : 0;
}

void packet_queues_pause(PacketQueues* q) {
  std::unique_lock<std::mutex> g(q->lock);
  q->paused = true;
  q->idle.wait(g, [q] { return !q->busy; });
}

void packet_queues_resume(PacketQueues* q) {
  std::lock_guard<std::mutex> g(q->lock);
  q->paused = false;
  q->data.notify_all();
}

void packet_queues_discard(PacketQueues* q, PacketQueueId id) {
  std::lock_guard<std::mutex> g(q->lock);
  for (Entry& e : q->queues[id]) entry_free(e);
  q->queues[id].clear();
  q->room[id].notify_all();
  q->idle.notify_all();
}

uint64_t packet_queues_length(PacketQueues* q, PacketQueueId id) {
  std::lock_guard<std::mutex> g(q->lock);
  return q->queues[id].size();
}

uint64_t packet_queues_peak(PacketQueues* q, PacketQueueId id) {
  std::lock_guard<std::mutex> g(q->lock);
  return q->peak[id];
}
