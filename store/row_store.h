// Row stores: the rows of one tree view kept in two files, so a capture of
// any length costs almost no heap memory.
//
// A RowStore owns a value file of variable-length payloads (u32 length +
// bytes, from offset 504), the child index (which rows are children of which,
// and which pass the attribute filter), and the attached IndexFile of 40-byte
// entries, row n at offset 496 + (n - 1) * 40. Files live in the data
// directory (store_files.h), are created anew on open and double when full.
//
// Writing: entries and records are staged (append_buffer.h) and written
// through the files; nothing is ever written through a view, so a full disk
// is an error return, never a fault. Rows become visible to readers only
// when rowstore_publish has written them: a reader never meets a staged row.
//
// Threads: one thread appends (rowstore_new_entry, rowstore_append_value,
// rowstore_update_entry, rowstore_publish, then tree_add_child for the rows
// published); others read. The file lock guards both views, their growth and
// the counts of published rows: readers copy entries and payloads out under
// it, so a growth never leaves them a stale view. The child lock guards the
// child index. No operation takes both. A row is shown to readers by
// tree_add_child: a reader that finds a row through the child queries sees
// its entry and payload as published.
//
// Pointers returned by rowstore_new_entry and indexfile_entry_at point into
// the staged bytes and stay valid only until the next rowstore_new_entry or
// rowstore_publish; keep offsets across appends.
#pragma once

#include <cstdint>
#include <mutex>

#include "os/mapped_file.h"
#include "store/append_buffer.h"
#include "store/child_index.h"
#include "store/store_layout.h"

struct IndexFile;
struct FileWriter;

// A value file with its child index and attached index file.
struct RowStore {
  os_file hFile;          // the value file
  char* filename;         // copy of the name given at open
  char* path;             // the file's path in the data directory at open
  uint8_t* mapped;        // read-only view of the whole value file (header first)
  uint64_t mapped_size;   // current file and view size
  uint64_t used;          // offset of the next record (staged records included)
  uint64_t record_count;  // records appended (staged ones included)
  uint64_t shown_used;    // end of the records readers may see; under file_lock
  AppendBuffer staged;    // records not yet written
  int error;              // system error of the last refused append or allocation (0: none)
  bool errorInIndex;      // ... which concerned the index file
  ChildIndex children;    // parent row -> its children; under child_lock
  std::mutex child_lock;  // guards `children` and `filter`
  std::mutex file_lock;   // guards both views, their growth and the shown counts
  uint32_t filter;        // current attribute filter mask
  IndexFile* index;       // attached index file, or null; under file_lock
};

// An entry rewritten after it reached the file, waiting for the next publish.
struct RewrittenEntry {
  uint64_t offset;
  IndexEntry entry;
};
enum { kRewrittenEntries = 4 };

// An index file of 40-byte entries; worked on under its store's file lock.
struct IndexFile {
  os_file hFile;          // the index file
  char* filename;         // copy of the name given at open
  char* path;             // the file's path in the data directory at open
  uint8_t* mapped;        // read-only view of the whole index file (header first)
  uint64_t mapped_size;   // current file and view size
  uint64_t used;          // offset of the next entry (staged ones included)
  uint64_t entry_count;   // entries allocated (staged ones included)
  uint64_t shown_count;   // entries readers may see; under the store's file lock
  AppendBuffer staged;    // entries not yet written
  RewrittenEntry rewritten[kRewrittenEntries];  // see rowstore_update_entry
  uint32_t rewritten_count;
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

// Stages one value record of 1..4096 bytes; its offset, or 0 when refused,
// when the file cannot grow or a write failed (rowstore_error tells).
uint64_t rowstore_append_value(RowStore* store, const void* bytes, uint32_t length);
// Stages the zeroed entry of the next row; writes its file offset to
// *offset. Null when there is no index file, it cannot grow or a write failed.
IndexEntry* rowstore_new_entry(RowStore* store, uint64_t* offset);
// The staged entry at `offset`, or null when it was written already. For the
// appending thread only.
IndexEntry* indexfile_entry_at(IndexFile* index, uint64_t offset);
// Sets the entry at `offset` (allocated earlier) to *entry: in place while it
// is staged, else at the next publish. 0, or -1 when a write failed.
int rowstore_update_entry(RowStore* store, uint64_t offset, const IndexEntry* entry);
// Writes everything staged through the files with the headers' counters,
// and shows the rows to readers. 0, or -1 when a write failed: the rows
// published before stay readable, everything later is refused.
int rowstore_publish(RowStore* store);
// With a writer: hands both files' staged bytes to it, records first,
// without waiting; the next rowstore_publish waits for them. A publish of
// several stores so waits once for all of their writes, not once per file.
void rowstore_start_publish(RowStore* store);
// Has both files' staged bytes written by `writer`'s thread from now on (null:
// by the appending thread itself); see file_writer.h. Call it between
// appends, after the index file is attached.
void rowstore_set_writer(RowStore* store, FileWriter* writer);
// The system error of the last refused append or allocation (ENOSPC for a
// full disk, EFBIG past the file size limit), 0 while none; with `path` the
// file it concerns. A failed write stays; a failed growth is retried.
int rowstore_error(RowStore* store, const char** path);

// Copies row `row`'s entry to *out (when out is not null); true when
// 1 <= row <= number of published rows.
bool rowstore_get_entry(RowStore* store, uint32_t row, IndexEntry* out);
// Copies row `row`'s payload when it is shorter than `capacity`; the number
// of bytes copied, or 0. Never reads outside the file, even for a damaged
// entry.
uint32_t rowstore_read_value(RowStore* store, uint32_t row, void* out, uint32_t capacity);
// Number of published rows (index entries); 0 without an index file.
uint32_t rowstore_entry_count(RowStore* store);
// The value file header's stored row total.
uint32_t rowstore_row_total(RowStore* store);
// Bytes of both files in use (headers, records and entries, staged included).
uint64_t rowstore_bytes(RowStore* store);

// Records the filter mask and rebuilds the root's visible children with it;
// other parents keep their visible children, later children meet the new
// mask.
void rowstore_set_filter(RowStore* store, uint32_t mask);
// Appends `child` under `parent` (0 = root); visible when its flags pass the
// store's mask. 0, or -1 when the child index cannot grow (nothing changed).
int tree_add_child(RowStore* store, uint32_t parent, uint32_t child, uint32_t flags);
// One child to add.
struct TreeChild {
  uint32_t parent;
  uint32_t child;
  uint32_t flags;
};
// tree_add_child for each of `n` children in order, under one lock. The
// number added: fewer than n when the child index could not grow.
uint32_t tree_add_children(RowStore* store, const TreeChild* children, uint32_t n);
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

// Writes out what is staged (best effort), frees the child index, unmaps and
// closes; the file stays at its size.
void rowstore_close(RowStore* store);
// Frees the child index, unmaps, closes and deletes the value file.
void rowstore_close_delete(RowStore* store);
// Detaches from its store, writes out what is staged (best effort), unmaps
// and closes; the file stays.
void indexfile_close(IndexFile* index);
// Detaches from its store, unmaps, closes and deletes the index file.
void indexfile_close_delete(IndexFile* index);
