// Row stores: the rows of one tree view kept in two mapped files, so a
// capture of any length costs almost no heap memory.
//
// A RowStore owns a value file of variable-length payloads (u32 length +
// bytes, from offset 504), the child index (which rows are children of which,
// and which pass the attribute filter), and the attached IndexFile of 40-byte
// entries, row n at offset 496 + (n - 1) * 40. Files live in the data
// directory (store_files.h), are created anew on open and double when full.
//
// Threads: one thread appends (rowstore_append_value, rowstore_new_entry,
// then fills the entry, then tree_add_child); others read. The file lock
// guards both files and their growth: readers copy entries and payloads out
// under it, so a growth never leaves them a stale view. The child lock
// guards the child index. No operation takes both. A row is published to
// readers by tree_add_child: a reader that finds a row through the child
// queries sees every entry field written before that call.
//
// Pointers returned by rowstore_new_entry and indexfile_entry_at stay valid
// only until the next rowstore_new_entry; keep offsets across appends.
#pragma once

#include <cstdint>
#include <mutex>

#include "os/mapped_file.h"
#include "store/child_index.h"
#include "store/store_layout.h"

struct IndexFile;

// A value file with its child index and attached index file.
struct RowStore {
  os_file hFile;          // the value file
  char* filename;         // copy of the name given at open
  char* path;             // the file's path in the data directory at open
  uint8_t* mapped;        // view of the whole value file (header first)
  uint64_t mapped_size;   // current file and view size
  uint64_t ready;         // value file bytes backed by pages ahead of writing
  ChildIndex children;    // parent row -> its children; under child_lock
  std::mutex child_lock;  // guards `children` and `filter`
  std::mutex file_lock;   // guards both files, their headers and growth
  uint32_t filter;        // current attribute filter mask
  IndexFile* index;       // attached index file, or null; under file_lock
};

// An index file of 40-byte entries; worked on under its store's file lock.
struct IndexFile {
  os_file hFile;          // the index file
  char* filename;         // copy of the name given at open
  char* path;             // the file's path in the data directory at open
  uint8_t* mapped;        // view of the whole index file (header first)
  uint64_t mapped_size;   // current file and view size
  uint64_t ready;         // bytes backed by pages ahead of writing
  RowStore* owner;        // the store it is attached to, or null
};

// Creates (or truncates) the value file `name` in the data directory, maps
// it and writes a fresh header; no index file yet. The filter mask starts
// at 0, which shows only rows of address 0 and endpoint 0: set the mask
// (kFilterShowAll for everything) before adding children. Null on failure.
RowStore* rowstore_open(const char* name);
// Creates the index file `name`, writes a fresh header and attaches it to
// `store` (replacing an attached one). Null on failure: the store is then
// left without an index file and refuses entry allocations and reads.
IndexFile* indexfile_open(const char* name, RowStore* store);

// Appends one value record of 1..4096 bytes; its offset, or 0 when refused
// or the file cannot grow.
uint64_t rowstore_append_value(RowStore* store, const void* bytes, uint32_t length);
// Allocates the zeroed entry of the next row; writes its file offset to
// *offset. Null when there is no index file or it cannot grow.
IndexEntry* rowstore_new_entry(RowStore* store, uint64_t* offset);
// Address of the entry at `offset` in the current view (no lock); null when
// the offset lies outside the file. For the appending thread only.
IndexEntry* indexfile_entry_at(IndexFile* index, uint64_t offset);

// Copies row `row`'s entry to *out (when out is not null); true when
// 1 <= row <= number of rows.
bool rowstore_get_entry(RowStore* store, uint32_t row, IndexEntry* out);
// Copies row `row`'s payload when it is shorter than `capacity`; the number
// of bytes copied, or 0. Never reads outside the file, even for a damaged
// entry.
uint32_t rowstore_read_value(RowStore* store, uint32_t row, void* out, uint32_t capacity);
// Number of rows (index entries); 0 without an index file.
uint32_t rowstore_entry_count(RowStore* store);
// The value file header's stored row total.
uint32_t rowstore_row_total(RowStore* store);

// Records the filter mask and rebuilds the root's visible children with it;
// other parents keep their visible children, later children meet the new
// mask.
void rowstore_set_filter(RowStore* store, uint32_t mask);
// Appends `child` under `parent` (0 = root); visible when its flags pass the
// store's mask. 0, or -1 when the child index cannot grow (nothing changed).
int tree_add_child(RowStore* store, uint32_t parent, uint32_t child, uint32_t flags);
// Visible children of `parent` (0 when it has none).
uint32_t tree_child_count(RowStore* store, uint32_t parent);
// Visible child at `pos`, or 0xFFFFFFFF.
uint32_t tree_child_at(RowStore* store, uint32_t parent, uint32_t pos);
// Up to `n` visible children of `parent` from position `pos` into `out`,
// under one lock; the number written.
uint32_t tree_children_at(RowStore* store, uint32_t parent, uint32_t pos, uint32_t n, uint32_t* out);
// The has-children flag of each of the `n` rows into `out` (0 for a row that
// does not exist), under one lock.
void rowstore_has_children(RowStore* store, const uint32_t* rows, uint32_t n, uint8_t* out);
// Position of `child` among the visible children of `parent`, or 0xFFFFFFFF.
uint32_t tree_index_of_child(RowStore* store, uint32_t parent, uint32_t child);
// All children of `parent`, hidden ones included.
uint32_t tree_child_total(RowStore* store, uint32_t parent);
// Capacity of the parent's child list (4, 8, ... 16,384, 26,384, ...); 0 when none.
uint32_t tree_child_capacity(RowStore* store, uint32_t parent);
// Removes every child list.
void tree_clear(RowStore* store);
// Bytes of the child index's scratch file in use.
uint64_t tree_scratch_bytes(RowStore* store);

// Frees the child index, unmaps and closes; the file stays at its size.
void rowstore_close(RowStore* store);
// As rowstore_close, then deletes the value file.
void rowstore_close_delete(RowStore* store);
// Detaches from its store, unmaps and closes; the file stays.
void indexfile_close(IndexFile* index);
// As indexfile_close, then deletes the index file.
void indexfile_close_delete(IndexFile* index);
