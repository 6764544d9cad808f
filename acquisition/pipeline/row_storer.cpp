// The storing thread: row records in, rows in the trees (see row_storer.h).
#include "acquisition/pipeline/row_storer.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

#include "acquisition/pipeline/row_queue.h"
#include "acquisition/pipeline/row_records.h"
#include "os/clock.h"
#include "os/log.h"
#include "store/data_file.h"
#include "store/store_files.h"
#include "views/row_tree.h"

namespace {

using Clock = std::chrono::steady_clock;

// Rows wait at most this long for readers, or this many record bytes. Each
// publish writes out every file's partial buffer and waits for it, which
// at full speed cost the storing thread more time than anything else when
// it came every few MiB: so time decides, and bytes only bound it.
constexpr int kPublishMs = 25;
constexpr uint64_t kPublishBytes = 64u << 20;
constexpr uint64_t kHoldBytes = 4u << 20;     // readers get the trees back this often
constexpr uint32_t kReleaseBytes = 256 * 1024;  // room goes back to the producer in steps
constexpr size_t kParkedMemory = 4u << 20;    // parked transfer rows kept in memory

const char kSpillName[] = "pending_rows.qelvo";

// Head of one parked row (in memory and in the spill file).
#pragma pack(push, 1)
struct ParkedHead {
  uint8_t level;    // 1: a transaction under the transfer, 2: one of its packets
  uint32_t attr;    // the row's attribute flags
  uint16_t length;  // payload bytes that follow (1..4096)
};
#pragma pack(pop)

// Appends one parked row; false when memory runs out (the row is lost).
bool park_in(ParkedRows* v, uint8_t level, uint32_t attr, const uint8_t* payload, uint32_t len) {
  size_t need = v->len + sizeof(ParkedHead) + len;
  if (need > v->cap) {
    size_t cap = v->cap ? v->cap : 64 * 1024;
    while (cap < need) cap *= 2;
    uint8_t* grown = (uint8_t*)realloc(v->bytes, cap);
    if (!grown) return false;
    v->bytes = grown;
    v->cap = cap;
  }
  ParkedHead head{level, attr, (uint16_t)len};
  memcpy(v->bytes + v->len, &head, sizeof head);
  memcpy(v->bytes + v->len + sizeof head, payload, len);
  v->len = need;
  return true;
}

// Calls fn(head, payload) for each row parked in v.
template <typename Fn>
void for_each_parked(const ParkedRows& v, Fn fn) {
  size_t at = 0;
  while (at + sizeof(ParkedHead) <= v.len) {
    ParkedHead head;
    memcpy(&head, v.bytes + at, sizeof head);
    fn(head, v.bytes + at + sizeof head);
    at += sizeof head + head.length;
  }
}

void fail_with(RowStorer* s, int err, const char* path) {
  char text[512];
  pipeline_failure_set(s->failure, store_failure_text(err, path, text, sizeof text));
}

// Parks one row of the open transfer: in memory up to the bound, then on disk.
void park_transfer_row(RowStorer* s, uint8_t level, uint32_t attr, const uint8_t* payload,
                       uint32_t len) {
  if (!s->spill && s->parked.len + sizeof(ParkedHead) + len <= kParkedMemory &&
      park_in(&s->parked, level, attr, payload, len))
    return;
  if (!s->spill && !(s->spill = datafile_create(kSpillName))) {
    fail_with(s, errno ? errno : EIO, datafile_path(kSpillName));
    return;
  }
  ParkedHead head{level, attr, (uint16_t)len};
  if (datafile_append(s->spill, &head, sizeof head) != sizeof head ||
      datafile_append(s->spill, payload, len) != len) {
    int err = datafile_error(s->spill);
    fail_with(s, err ? err : EFBIG, s->spill->path);
    return;
  }
  s->spilledRows++;
}

void drop_packet_rows(RowStorer* s) {
  s->packetRows.len = 0;
  s->packetRowCount = 0;
}

void drop_transfer_rows(RowStorer* s) {
  s->parked.len = 0;
  if (s->spill && s->spilledRows) datafile_reset(s->spill);
  s->spilledRows = 0;
}

// Appends every parked row of the transfer below its row, then drops them.
void unpark_transfer_rows(RowStorer* s, RowTree* tree, uint32_t generation) {
  for_each_parked(s->parked, [&](const ParkedHead& h, const uint8_t* payload) {
    row_tree_append_held(tree, generation, h.level, payload, h.length, h.attr);
  });
  uint8_t buf[4096];
  for (uint64_t i = 0; i < s->spilledRows; i++) {
    ParkedHead h;
    if (datafile_read(s->spill, &h, sizeof h) != sizeof h) break;
    if (h.length == 0 || h.length > sizeof buf ||
        datafile_read(s->spill, buf, h.length) != h.length)
      break;
    row_tree_append_held(tree, generation, h.level, buf, h.length, h.attr);
  }
  drop_transfer_rows(s);
}

void apply(RowStorer* s, const RowRecord* r, const uint8_t* payload) {
  RowTree* tx = s->trees[RECORD_TREE_TRANSACTION];
  switch (r->kind) {
    case RECORD_ROW:
      if (r->tree < kRecordTreeCount && s->trees[r->tree])
        row_tree_append_held(s->trees[r->tree], r->generation, r->level, payload, r->length,
                               r->attr);
      break;
    case RECORD_PACKET_ROW:
      if (park_in(&s->packetRows, 2, r->attr, payload, r->length)) s->packetRowCount++;
      break;
    case RECORD_TRANSACTION:
      if (row_tree_append_held(tx, r->generation, 0, payload, r->length, r->attr)) {
        for_each_parked(s->packetRows, [&](const ParkedHead& h, const uint8_t* p) {
          row_tree_append_held(tx, r->generation, 1, p, h.length, h.attr);
        });
      }
      drop_packet_rows(s);
      break;
    case RECORD_TRANSFER_STEP:
      park_transfer_row(s, 1, r->attr, payload, r->length);
      for_each_parked(s->packetRows, [&](const ParkedHead& h, const uint8_t* p) {
        park_transfer_row(s, 2, h.attr, p, h.length);
      });
      drop_packet_rows(s);
      break;
    case RECORD_TRANSFER:
      if (row_tree_append_held(tx, r->generation, 0, payload, r->length, r->attr))
        unpark_transfer_rows(s, tx, r->generation);
      else
        drop_transfer_rows(s);
      break;
    case RECORD_DROP_PACKETS:
      drop_packet_rows(s);
      break;
    case RECORD_DROP_TRANSFER:
      drop_transfer_rows(s);
      break;
    case RECORD_FORGET:
      drop_packet_rows(s);
      drop_transfer_rows(s);
      break;
    default:
      break;
  }
}

// The trees are held for a whole batch of records: one lock per tree and
// batch instead of one per row.
void hold_trees(RowStorer* s) {
  if (s->held) return;
  for (RowTree* t : s->trees)
    if (t) row_tree_hold(t);
  s->held = true;
}

void let_go_trees(RowStorer* s) {
  if (!s->held) return;
  for (RowTree* t : s->trees)
    if (t) row_tree_let_go(t);
  s->held = false;
}

// Shows the rows stored since the last publish; a tree that could not store
// a row (then or before) stops the storing.
void publish(RowStorer* s) {
  hold_trees(s);
  for (RowTree* t : s->trees)
    if (t) row_tree_start_publish_held(t);
  for (RowTree* t : s->trees)
    if (t) row_tree_publish_held(t);
  let_go_trees(s);
  s->unpublished = false;
  for (RowTree* t : s->trees) {
    const char* path = nullptr;
    if (t)
      if (int err = row_tree_error(t, &path)) fail_with(s, err, path);
  }
}

void mark_synced(RowStorer* s) {
  s->cpuNs.store(os_thread_cpu_ns(), std::memory_order_relaxed);
  std::lock_guard<std::mutex> hold(s->syncLock);
  s->synced = rowqueue_taken(s->queue);
  s->syncDone.notify_all();
}

void run(RowStorer* s) {
  RowQueue* q = s->queue;
  Clock::time_point last = Clock::now();
  uint64_t sincePublish = 0;
  bool syncWanted = false;
  for (;;) {
    bool any = false;
    uint32_t sinceRelease = 0, len = 0;
    uint64_t sinceHold = 0;
    while (const uint8_t* rec = rowqueue_next(q, &len)) {
      any = true;
      hold_trees(s);
      if (!s->failure->set.load(std::memory_order_acquire)) {
        RowRecord r;
        memcpy(&r, rec, sizeof r);
        apply(s, &r, rec + sizeof r);
      }
      sinceRelease += len;
      sincePublish += len;
      sinceHold += len;
      if (sinceRelease >= kReleaseBytes) {
        rowqueue_release(q);
        sinceRelease = 0;
      }
      if (sinceHold >= kHoldBytes) break;  // let readers in, even while records keep coming
    }
    if (any) {
      rowqueue_release(q);
      s->unpublished = true;
    }
    Clock::time_point now = Clock::now();
    int waited = (int)std::chrono::duration_cast<std::chrono::milliseconds>(now - last).count();
    if (s->unpublished &&
        (sincePublish >= kPublishBytes || waited >= kPublishMs || (syncWanted && !any))) {
      publish(s);
      last = now;
      sincePublish = 0;
    }
    let_go_trees(s);
    if (any) continue;  // look again before sleeping
    if (syncWanted) {
      mark_synced(s);
      syncWanted = false;
    }
    if (s->stop.load()) break;
    // With rows waiting for their publish, doze until it is due; else sleep
    // until records come.
    int timeout = s->unpublished ? (waited < kPublishMs ? kPublishMs - waited : 1) : -1;
    if (rowqueue_wait(q, timeout, s->unpublished)) syncWanted = true;
  }
  let_go_trees(s);
  if (s->unpublished) publish(s);
  mark_synced(s);
}

}  // namespace

void pipeline_failure_set(PipelineFailure* f, const char* text) {
  std::lock_guard<std::mutex> hold(f->lock);
  if (f->set.load()) return;
  snprintf(f->text, sizeof f->text, "%s", text);
  orvane_log(">>>pipeline: %s", f->text);
  f->set.store(true, std::memory_order_release);
}

int row_storer_start(RowStorer* s, RowQueue* queue, RowTree* const trees[4],
                     PipelineFailure* failure) {
  s->queue = queue;
  for (int i = 0; i < kRecordTreeCount; i++) s->trees[i] = trees[i];
  s->failure = failure;
  s->stop.store(false);
  s->synced = 0;
  s->packetRowCount = 0;
  s->packetRows = s->parked = ParkedRows{nullptr, 0, 0};
  s->spill = nullptr;
  s->spilledRows = 0;
  s->unpublished = false;
  s->held = false;
  s->cpuNs.store(0);
  try {
    s->thread = std::thread(run, s);
  } catch (...) {
    return -1;
  }
  return 0;
}

void row_storer_sync(RowStorer* s) {
  rowqueue_flush(s->queue);
  uint64_t target = rowqueue_committed(s->queue);
  std::unique_lock<std::mutex> hold(s->syncLock);
  if (s->synced >= target) return;
  rowqueue_kick(s->queue);
  s->syncDone.wait(hold, [&] { return s->synced >= target; });
}

void row_storer_stop(RowStorer* s) {
  if (s->thread.joinable()) {
    s->stop.store(true);
    rowqueue_kick(s->queue);
    s->thread.join();
  }
  drop_packet_rows(s);
  drop_transfer_rows(s);
  for (ParkedRows* v : {&s->packetRows, &s->parked}) {
    free(v->bytes);
    *v = ParkedRows{nullptr, 0, 0};
  }
  if (s->spill) datafile_close_delete(s->spill);
  s->spill = nullptr;
}
