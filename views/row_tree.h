// The engine of a large tree view: rows appended three levels deep into a
// RowStore and its IndexFile, never held in memory. The Qt model is a thin
// face over one RowTree (it adds the item-model overrides and the
// begin/end notifications, which it passes to clear and set_filter).
//
// Invariants:
//   1. Row n is the n-th entry of the index file: every append that takes a
//      row number allocates exactly one entry, and no entry is allocated
//      without taking one (a failed allocation drops the row).
//   2. Pointers into the index mapping are re-derived from the kept offsets
//      after every allocation (growth remaps the file).
//   3. A row is packed and its payload stored before tree_add_child makes it
//      visible to readers, so a reader never meets a row without payload.
//   4. Every operation runs under the tree's lock; reads go straight to the
//      store, whose own locks protect them.
#pragma once

#include <cstdint>
#include <mutex>

#include "decode/cells/kv_list.h"
#include "store/row_store.h"

enum { kRowBufSize = 4096, kRowTreeNameMax = 127 };

struct RowTree {
  RowStore* store;            // value file and child index; null after delete_files
  IndexFile* index;           // index file of store; null after delete_files
  IndexEntry* lastPar;        // entry of the last top-level row (valid until the next allocation)
  IndexEntry* lastSub;        // entry of the last second-level row (same)
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

// Rows appended so far (the index file's entry count).
uint32_t row_tree_row_count(RowTree* tree);

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
