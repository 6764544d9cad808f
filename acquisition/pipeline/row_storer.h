// The storing side of the pipeline: a thread of its own that takes the row
// records of the decoding thread from the hand-off queue, in order, and
// appends their rows to the four trees: entries, payloads written through
// the files, the child index. Rows a transaction or transfer is still
// collecting are parked here until it closes (in memory, and past a bound
// in a spill file, so a transfer open for millions of packets costs disk).
//
// Invariants:
//   1. Records are applied in the order they were committed; so rows reach
//      every tree in decoding order, as if appended by the decoding thread.
//   2. The trees are held (their locks taken) for a whole batch of records
//      and never while the thread sleeps. They publish their rows once per
//      batch (row_tree_publish_held): at most kPublishMs after they were
//      stored while records keep coming, at once when a sync is asked for.
//   3. `synced` is the queue position up to which every record is applied
//      and published; a sync waits for it to reach the producer's position.
//   4. After the first failure (a row that could not be stored) nothing more
//      is stored, the records are still taken (the producer never blocks
//      for good), and the failure text stays as first set.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>

struct RowQueue;
struct RowTree;
struct DataFile;

// A failure that stops the storing, with a line for the user.
struct PipelineFailure {
  std::atomic<bool> set;  // the text below is final once this is true
  std::mutex lock;        // serialises the first setting
  char text[512];
};
// Sets the failure unless one is set already.
void pipeline_failure_set(PipelineFailure* f, const char* text);

// Rows parked back to back: a head and the payload each.
struct ParkedRows {
  uint8_t* bytes;  // heap, grown by doubling and kept for reuse
  size_t len;
  size_t cap;
};

struct RowStorer {
  RowQueue* queue;                       // not owned
  RowTree* trees[4];                     // by RecordTree; not owned
  PipelineFailure* failure;              // not owned
  std::thread thread;
  std::atomic<bool> stop;                // leave once the queue is empty
  std::mutex syncLock;                   // guards `synced`
  std::condition_variable syncDone;
  uint64_t synced;                       // see invariant 3
  ParkedRows packetRows;                 // parked packet rows of the open transaction
  uint32_t packetRowCount;
  ParkedRows parked;                     // parked rows of the open transfer (memory part)
  DataFile* spill;                       // their continuation on disk, or null
  uint64_t spilledRows;                  // rows in the spill file
  bool unpublished;                      // rows stored since the last publish
  bool held;                             // the trees' locks are taken (a batch is on)
  std::atomic<uint64_t> cpuNs;           // processor time of the thread at its last publish
};

// Starts the thread. 0, or -1 when it cannot be started.
int row_storer_start(RowStorer* s, RowQueue* queue, RowTree* const trees[4],
                     PipelineFailure* failure);
// Waits until every record committed so far is stored and published.
void row_storer_sync(RowStorer* s);
// Stores what is queued, publishes it and ends the thread; frees the parked
// rows and deletes the spill file.
void row_storer_stop(RowStorer* s);
