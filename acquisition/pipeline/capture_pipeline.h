// The capture worker's engine: the decoding step for one packet (record it,
// call parsePackage until it stops asking to be called again, move the
// package lists into the package, data and descriptor trees) and the
// assembly of transaction and transfer rows in the transaction tree.
//
// Two threads share the work. The caller's thread decodes, assembles and
// packs every row into its payload (so cells and lists never leave it); a
// storing thread of the pipeline's own (row_storer.h) takes the packed rows
// through a bounded queue, in order, and appends them to the four trees.
// When the queue is full the decoding waits. Rows go over in batches, and
// the last ones when the caller runs out of packets (pipeline_flush); they
// reach readers shortly after (at most some tens of milliseconds); pipeline_sync
// waits until every row handed over is stored and visible, and
// pipeline_finish implies it. The rows made for every packet come from the
// decoder packed already (dataParse::packRowsAsBuilt, switched on here).
//
// The transaction assembly keeps the head and detail lists of the open
// transaction until it closes; its packet rows, and the closed transactions
// of an open transfer, wait packed on the storing side (row_storer.h).
//
// A row that cannot be stored (a full disk, a file past the size limit)
// stops the storing: pipeline_failure then gives one line for the user, and
// every row stored before it stays readable.
//
// Threads: one thread (the capture worker's consumer, orvane-dump's main)
// makes every call but pipeline_failure, which any thread may make. Other
// threads read the trees, clear them and set their filters at any time (a
// row decoded before a clear of its tree is not stored after it).
#pragma once

#include <cstdint>

#include "acquisition/pipeline/row_storer.h"
#include "decode/cells/kv_list.h"

struct dataParse;
struct RowTree;
struct RowQueue;
struct FileWriter;
struct DataFile;

// The four trees the rows go to (not owned by the pipeline).
struct RowTrees {
  RowTree* package;      // packets with their detail rows
  RowTree* transaction;  // transactions or transfers, with packets below
  RowTree* data;         // data rows
  RowTree* descriptor;   // request and descriptor tables
};

// The status text after every call that produced something ("parsePackage: %u").
typedef void (*pipeline_status_fn)(const char* text, void* user);

// Packet rows kept for one open transaction at most (a real one has three).
enum { kMaxPacketRows = 1024 };

struct CapturePipeline {
  dataParse* decoder;                  // not owned
  RowTrees trees;                      // not owned
  pipeline_status_fn status;           // may be null
  void* statusUser;
  kvLinkedList* txKey;                 // transaction row Infos under construction
  kvLinkedList* stagedDetail;          // the open transaction's token cells
  uint32_t rowFlag;                    // attrFlag of the last packet row taken
  uint32_t packetRows;                 // packet rows handed over for the open transaction
  kvLinkedList* transferKey;           // transfer row Infos under construction
  uint64_t packetsIn;                  // packets handed to the decoding step
  RowQueue* queue;                     // packed rows on their way to the storing thread
  FileWriter* writer;                  // writes the trees' files for the storing thread
  // The storing thread writes its part with every row: on lines of its own,
  // apart from what the decoding thread reads for every row.
  alignas(64) RowStorer storer;        // the storing thread and the rows it parks
  alignas(64) PipelineFailure failure;  // why storing stopped, once it did
  DataFile* captureData;               // the capture data file (capture_data.h), owned;
                                       // null while closed
};

// Default bytes of the hand-off queue. It carries the decoding through the
// storing thread's pauses (a publish waits for its writes): at 2 MiB the
// decoding waited in each of them, at 8 MiB it goes on and 1 M packets
// decode about a fifth faster.
enum : uint32_t { kPipelineQueueBytes = 8u << 20 };

// The system's cache of the store files (file_writer.h): once a capture has
// written a gigabyte, what each file gains from then on stays cached for its
// last 32 MiB only (the rows the views show while a capture runs, and
// more), so ten million packets (6 GB of store files) decode nearly at the
// speed of one million instead of waiting for fresh memory. The gigabyte
// before stays cached and is not sent to the disk.
constexpr uint64_t kPipelineCacheKeep = 32ull << 20;
constexpr uint64_t kPipelineCacheAfter = 1ull << 30;

// A pipeline over `decoder` writing into `trees` (whose appends it defers
// to its storing thread's publishes) with a queue of `queue_bytes` (0: the
// default) and `cache_keep` bytes of each file kept cached after
// `cache_after` bytes in all. Null when memory runs out or the thread
// cannot start.
CapturePipeline* pipeline_create(dataParse* decoder, RowTrees trees, uint32_t queue_bytes = 0,
                                 uint64_t cache_keep = kPipelineCacheKeep,
                                 uint64_t cache_after = kPipelineCacheAfter);
// Stores what was handed over, stops the storing thread and frees
// everything still held (rows under construction, parked rows, the spill
// file); the trees publish each append again. The capture data file is
// closed (cut to its filled size) and stays on disk.
void pipeline_destroy(CapturePipeline* pl);
void pipeline_set_status(CapturePipeline* pl, pipeline_status_fn fn, void* user);

// The decoding step for one packet: records it first into the capture data
// file when `record` is set. Its rows go to the storing thread in batches
// of some kilobytes (pipeline_flush hands over the rest).
void pipeline_decode_packet(CapturePipeline* pl, const uint8_t* bytes, int32_t length,
                            uint64_t timestamp, int record);
// Hands the rows of every packet decoded so far to the storing thread. A
// caller whose packets stop coming calls it before it waits for more, so
// that the last rows reach the views; pipeline_finish, pipeline_sync and
// pipeline_forget imply it.
void pipeline_flush(CapturePipeline* pl);
// The end of a capture: decodes the packets still waiting for an outcome
// and closes the open transaction and transfer, so every packet reaches the
// views, then waits as pipeline_sync does. Decoding may go on afterwards.
void pipeline_finish(CapturePipeline* pl);
// Waits until every row handed over so far is stored and readers see it.
void pipeline_sync(CapturePipeline* pl);
// Drops the rows under construction (the views were cleared, or a replay
// starts over); the decoder's own state is left alone.
void pipeline_forget(CapturePipeline* pl);
// Null while everything could be stored; after the first failure (a full
// disk, a file past the size limit, the capture data file not written) one
// line naming the cause, e.g. "no space left on the device holding
// /tmp/x (writing package.qelvo)". Rows stored before it stay readable;
// later rows are not stored. Any thread may ask.
const char* pipeline_failure(CapturePipeline* pl);

// Processor time the storing thread and the thread that writes the files
// have used, as of the last pipeline_sync.
uint64_t pipeline_storing_cpu_ns(CapturePipeline* pl);

// Replays the loaded-packet list (a file opened earlier) through the
// decoding step after a decoder reset (rows still under construction are
// dropped with it), without recording, until done or
// *abort becomes nonzero. Packets longer than the 4,104-byte replay buffer
// are refused and logged, never copied past it. Returns the packets replayed,
// once their rows are stored (as after pipeline_sync).
uint64_t pipeline_replay_loaded(CapturePipeline* pl, const volatile uint8_t* abort);
