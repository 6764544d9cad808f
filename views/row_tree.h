// The engine of a large tree view: rows appended three levels deep into a
// RowStore and its IndexFile, never held in memory. The Qt model is a thin
// face over one RowTree (it adds the item-model overrides and the
// begin/end notifications, which it passes to clear and set_filter).
//
// Invariants:
//   1. Row n is the n-th entry of the index file: every append that takes a
//      row number allocates exactly one entry, and no entry is allocated
//      without taking one (a failed allocation drops the row).
//   2. The entries of the last top-level and second-level rows are kept here
//      as last written: a child changes the copy and hands it to the store
//      (rowstore_update_entry), never a pointer into a file.
//   3. A row is shown to readers (tree_add_child) only after its entry and
//      payload were published, so a reader never meets a row without
//      payload. Each append publishes at once, unless the tree defers it to
//      row_tree_publish (the pipeline's storing thread publishes once per
//      batch of rows).
//   4. Every operation runs under the tree's lock; reads go straight to the
//      store, whose own locks protect them.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <vector>

#include "decode/cells/kv_list.h"
#include "store/row_store.h"

enum { kRowBufSize = 4096, kRowTreeNameMax = 127 };

struct RowTree {
  RowStore* store;            // value file and child index; null after delete_files
  IndexFile* index;           // index file of store; null after delete_files
  IndexEntry lastPar;         // entry of the last top-level row as last written
  IndexEntry lastSub;         // entry of the last second-level row as last written
  uint64_t lastParOffset;     // index-file offset of the last top-level row's entry
  uint64_t lastSubOffset;     // index-file offset of the last second-level row's entry
  uint64_t lastSubSubOffset;  // index-file offset of the last third-level row's entry
  uint8_t rowBuf[kRowBufSize];  // each new row is packed here
  uint32_t rowLen;            // length of the packed row
  std::mutex lock;            // serialises appends, clear, set_filter, delete_files
  uint32_t totalRows;         // top-level rows (logged only)
  uint32_t nextRow;           // row number of the next appended row; 1 at start
  uint32_t filter;            // attribute filter mask; 0xFFFF0000 at start
  char valueName[kRowTreeNameMax + 1];  // value file name
  char indexName[kRowTreeNameMax + 1];  // index file name
  // Counts the clears: rows built before one are dropped. Read by the
  // decoding thread for every row, so kept off the lines that the storing
  // thread writes with each append.
  alignas(64) std::atomic<uint32_t> generation;
  alignas(64) bool deferPublish;  // appends wait for row_tree_publish
  FileWriter* writer;         // writes the store files' staged bytes, or null
  std::vector<TreeChild> unpublished;  // children of the rows appended since the last publish
  uint32_t pubRows;           // rows readers see: the entry count at the last publish
  uint32_t pubLastTop;        // the last top-level row at the last publish (0: none)
  uint32_t pubLastSub;        // the last second-level row at the last publish (0: none)
  int error;                  // system error of the first refused row (0: none)
  char errorPath[256];        // the file it concerns
};

// Called under the tree's lock around clear and set_filter (the Qt model
// brackets them with beginResetModel/endResetModel).
typedef void (*row_tree_hook)(void* user);

// Opens the store pair (files created anew in the data directory); null on failure.
RowTree* row_tree_open(const char* value_name, const char* index_name);
// Clears (leaving fresh files on disk) and closes; a tree without store only frees itself.
void row_tree_close(RowTree* tree);

// Appends a top-level row. The lists are consumed. Missing lists end the
// process (exit code -1) after "appendRowPar_KV_P Infos == NULL || Values == NULL".
void row_tree_append_par(RowTree* tree, kvLinkedList* infos, kvLinkedList* values, uint32_t attr);
// Appends a row under the last top-level row; before any top-level row the
// lists are freed and nothing is appended. Missing lists end the process.
void row_tree_append_sub(RowTree* tree, kvLinkedList* infos, kvLinkedList* values, uint32_t attr);
// Appends a row under the last second-level row; without one (or with a
// missing list) the lists are freed and nothing is appended.
void row_tree_append_subsub(RowTree* tree, kvLinkedList* infos, kvLinkedList* values,
                            uint32_t attr);

// Appends a row whose payload was packed earlier (row_tree_pack) at `level`
// (0 top, 1 second, 2 third), with the same rules as the list appends.
void row_tree_append_payload(RowTree* tree, int level, const uint8_t* payload, uint32_t len,
                             uint32_t attr);
// The same, unless the tree was cleared since row_tree_generation gave
// `generation` (a row built before a clear belongs to the rows it removed).
// True when the row was appended.
bool row_tree_append_packed(RowTree* tree, uint32_t generation, int level, const uint8_t* payload,
                            uint32_t len, uint32_t attr);
// The storing thread's batches: row_tree_hold takes the tree's lock once for
// many appends (row_tree_append_held) and their publish
// (row_tree_publish_held); row_tree_let_go gives it back. A clear or filter
// change on another thread waits for the end of the batch.
void row_tree_hold(RowTree* tree);
void row_tree_let_go(RowTree* tree);
bool row_tree_append_held(RowTree* tree, uint32_t generation, int level, const uint8_t* payload,
                          uint32_t len, uint32_t attr);
int row_tree_publish_held(RowTree* tree);
// Starts writing what the publish will write (rowstore_start_publish), so
// that the publishes of several trees wait once for all of it.
void row_tree_start_publish_held(RowTree* tree);
// The tree's clear count, for row_tree_append_packed.
static inline uint32_t row_tree_generation(const RowTree* tree) {
  return tree->generation.load(std::memory_order_relaxed);
}
// Packs a row as the appends do (consuming both lists) into `buf` of
// kRowBufSize bytes; returns the payload length.
uint32_t row_tree_pack(kvLinkedList* infos, kvLinkedList* values, uint8_t* buf);

// Empties the tree: both files truncated to fresh ones, the next row is 1.
void row_tree_clear(RowTree* tree, row_tree_hook begin, row_tree_hook end, void* user);
// Sets the attribute filter mask (refilters the top-level rows).
void row_tree_set_filter(RowTree* tree, uint32_t mask, row_tree_hook begin, row_tree_hook end,
                         void* user);
// Deletes both files; the tree has no store afterwards.
void row_tree_delete_files(RowTree* tree);

// Has the store files' bytes written on `writer`'s thread (file_writer.h)
// from now on, also after a clear; null: on the appending thread.
void row_tree_set_writer(RowTree* tree, FileWriter* writer);
// With `defer` set, appends wait for row_tree_publish before readers see
// them (one write of each file per batch instead of per row).
void row_tree_defer_publish(RowTree* tree, bool defer);
// Writes the rows appended since the last publish and shows them. 0, or -1
// when a write failed (row_tree_error tells).
int row_tree_publish(RowTree* tree);
// The system error of the first row the tree could not store (ENOSPC for a
// full disk), 0 while none; *path (when given) names the file. Rows
// published before it stay readable. Cleared by row_tree_clear.
int row_tree_error(RowTree* tree, const char** path);

// Rows appended and published so far (the index file's entry count).
uint32_t row_tree_row_count(RowTree* tree);
// Bytes the tree's two files hold (headers, entries and records).
uint64_t row_tree_bytes(RowTree* tree);

// The rows that may still gain children, read at one instant under the
// tree's lock. Appends only go under the last top-level row and under the
// last second-level row, so every other row that exists at that instant
// already has all the children it will ever have (until a clear).
struct RowTreeTail {
  uint32_t rows;     // rows appended so far
  uint32_t lastTop;  // last top-level row, 0 when none
  uint32_t lastSub;  // last second-level row, 0 when none
};
void row_tree_tail(RowTree* tree, RowTreeTail* out);
// The same for the hooks of row_tree_clear and row_tree_set_filter, which
// already hold the lock.
void row_tree_tail_in_hook(RowTree* tree, RowTreeTail* out);

// Reading rows back (any thread; the store's own locks protect the reads,
// and rows are only ever added at the end). Row 0 is the root. A tree
// without store answers as an empty one.

// Visible children of `parent`.
uint32_t row_tree_child_count(RowTree* tree, uint32_t parent);
// Row number of the visible child at `pos`, or 0xFFFFFFFF.
uint32_t row_tree_child_at(RowTree* tree, uint32_t parent, uint32_t pos);
// Up to `n` visible children of `parent` from position `pos` into `out` (one
// lock for all); the number written.
uint32_t row_tree_children(RowTree* tree, uint32_t parent, uint32_t pos, uint32_t n, uint32_t* out);
// The has-children flag of each of the `n` rows (one lock for all).
void row_tree_has_children(RowTree* tree, const uint32_t* rows, uint32_t n, uint8_t* out);
// Parent row of `row` and the row's position among the parent's visible
// children; false when the row does not exist or is not visible there.
bool row_tree_parent_of(RowTree* tree, uint32_t row, uint32_t* parent, uint32_t* pos);
// Copy of the row's entry; false when the row does not exist.
bool row_tree_entry(RowTree* tree, uint32_t row, IndexEntry* out);
// Copies the row's payload when it is shorter than `cap` (kRowBufSize + 1
// always suffices); the bytes copied, or 0.
uint32_t row_tree_payload(RowTree* tree, uint32_t row, void* out, uint32_t cap);
