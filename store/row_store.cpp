// Row stores: value file, index file and the child index behind one lock each.
//
// Appends are staged and reach the files in large writes at publish (or when
// the staging is full); the views are read-only and serve the readers, who
// see only what was published.
#include "store/row_store.h"

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "store/store_files.h"

namespace {

// Bytes staged per file before they are written through it.
// Writes of about a megabyte cost the system least per byte, and the two
// buffers of a value file then fill one huge page (os/big_buffer.h). The
// index files grow at a tenth of the rate: a quarter will do.
constexpr uint32_t kValueStageBytes = 1024 * 1024;
constexpr uint32_t kIndexStageBytes = 256 * 1024;

// Opens `name` in the data directory, writes its fresh header of
// `header_len` bytes through the file and maps it; fills file, names and
// view. -1 on failure with everything released.
int open_mapped(const char* name, const void* header, uint32_t header_len, os_file* file,
                char** filename, char** path, uint8_t** mapped, uint64_t* mapped_size,
                char** dir_out) {
  if (!name) return -1;
  char dir[4096], full[4096];
  snprintf(dir, sizeof dir, "%s", store_data_dir());
  if (store_format_path(dir, name, full, sizeof full) != 0) {
    store_message(1, "打开文件失败，错误码: %lu\n", (unsigned long)ENAMETOOLONG);
    return -1;
  }
  uint64_t size = 0;
  os_file f = store_create_file(dir, full, kStoreInitialSize, &size);
  if (f == OS_FILE_INVALID) return -1;
  if (os_file_write_at(f, 0, header, header_len) != 0) {
    store_message(0, "cannot write %s: %s (error %lu)", full, strerror(errno), os_file_error());
    os_file_close(f);
    return -1;
  }
  uint8_t* view = (uint8_t*)map_file(f, size);
  char* n = store_strdup(name);
  char* p = store_strdup(full);
  char* d = dir_out ? store_strdup(dir) : nullptr;
  if (!view || !n || !p || (dir_out && !d)) {
    if (view) os_file_unmap(view, size);
    os_file_close(f);
    free(n);
    free(p);
    free(d);
    return -1;
  }
  *file = f;
  *filename = n;
  *path = p;
  *mapped = view;
  *mapped_size = size;
  if (dir_out) *dir_out = d;
  return 0;
}

// Unmaps and closes with the close messages; frees the names.
void close_mapped(os_file file, uint8_t* mapped, uint64_t size, char* filename, char* path,
                  bool remove) {
  if (mapped && os_file_unmap(mapped, size) != 0)
    store_message(0, "取消内存映射失败，错误码: %lu", os_file_error());
  if (file != OS_FILE_INVALID && os_file_close(file) != 0)
    store_message(0, "关闭文件失败，错误码: %lu", os_file_error());
  if (remove && path) {
    store_message(0, "del filename = %s", path);
    os_file_delete(path);
  }
  free(filename);
  free(path);
}

// Writes the staged bytes of one file; logs the first failure. 0 or -1.
int flush_staged(AppendBuffer* ab, os_file f, const char* path) {
  if (ab->failed) return -1;
  if (append_buffer_flush(ab, f) == 0) return 0;
  store_message(0, "cannot write %s: %s (error %lu)", path, strerror(ab->failed),
                (unsigned long)ab->failed);
  return -1;
}

// Writes two u64 counters at offset 8 of a header (both kinds keep their
// count and their used bytes there). A failure counts as a failed write.
int write_counters(AppendBuffer* ab, os_file f, const char* path, uint64_t count, uint64_t used) {
  if (ab->failed) return -1;
  uint64_t counters[2] = {count, used};
  if (os_file_write_at(f, 8, counters, sizeof counters) == 0) return 0;
  ab->failed = errno ? errno : EIO;
  store_message(0, "cannot write %s: %s (error %lu)", path, strerror(ab->failed),
                (unsigned long)ab->failed);
  return -1;
}

// Writes the value file's staged records and header.
int flush_value_file(RowStore* s) {
  if (flush_staged(&s->staged, s->hFile, s->path) != 0) return -1;
  if (s->used == s->shown_used) return 0;
  return write_counters(&s->staged, s->hFile, s->path, s->record_count, s->used);
}

// Writes the index file's staged entries and header.
int flush_index_file(IndexFile* x) {
  if (flush_staged(&x->staged, x->hFile, x->path) != 0) return -1;
  if (x->entry_count != x->shown_count &&
      write_counters(&x->staged, x->hFile, x->path, x->entry_count, x->used) != 0)
    return -1;
  return 0;
}

// Writes the entries rewritten after they reached the file (see
// rowstore_update_entry); under the owner's file lock, as readers may be
// copying them.
int write_rewritten(IndexFile* x) {
  int rc = 0;
  for (uint32_t i = 0; i < x->rewritten_count && rc == 0; i++) {
    if (os_file_write_at(x->hFile, x->rewritten[i].offset, &x->rewritten[i].entry,
                         sizeof(IndexEntry)) != 0) {
      x->staged.failed = errno ? errno : EIO;
      store_message(0, "cannot write %s: %s (error %lu)", x->path, strerror(x->staged.failed),
                    (unsigned long)x->staged.failed);
      rc = -1;
    }
  }
  x->rewritten_count = 0;
  return rc;
}

// The entry of `row` in the index view, or null when the row is not
// published or its entry would lie outside the view. Under the file lock.
const IndexEntry* entry_of(RowStore* store, uint32_t row) {
  IndexFile* x = store->index;
  if (!x || !x->mapped || row == 0) return nullptr;
  if (row > x->shown_count) return nullptr;
  uint64_t off = kIndexHeaderSize + (uint64_t)(row - 1) * kIndexEntrySize;
  if (off + kIndexEntrySize > x->mapped_size) return nullptr;
  return (const IndexEntry*)(x->mapped + off);
}

}  // namespace

RowStore* rowstore_open(const char* name) {
  RowStore* s = new (std::nothrow) RowStore();
  if (!s) return nullptr;
  ValueFileHeader h;
  memset(&h, 0, sizeof h);
  h.magic = kStoreMagic;
  h.version = 1;
  h.used_bytes = kValueHeaderSize;
  char* dir = nullptr;
  if (open_mapped(name, &h, sizeof h, &s->hFile, &s->filename, &s->path, &s->mapped,
                  &s->mapped_size, &dir) != 0) {
    delete s;
    return nullptr;
  }
  s->filter = 0;
  s->index = nullptr;
  s->used = s->shown_used = kValueHeaderSize;
  s->record_count = 0;
  s->error = 0;
  append_buffer_init(&s->staged, kValueHeaderSize, kValueStageBytes);
  int rc = child_index_init(&s->children, dir, s->filter);
  free(dir);
  if (rc != 0) {
    close_mapped(s->hFile, s->mapped, s->mapped_size, s->filename, s->path, false);
    delete s;
    return nullptr;
  }
  return s;
}

IndexFile* indexfile_open(const char* name, RowStore* store) {
  IndexFile* x = new (std::nothrow) IndexFile();
  if (!x) return nullptr;
  IndexFileHeader h;
  memset(&h, 0, sizeof h);
  h.magic = kStoreMagic;
  h.version = 1;
  h.used_bytes = kIndexHeaderSize;
  if (open_mapped(name, &h, sizeof h, &x->hFile, &x->filename, &x->path, &x->mapped,
                  &x->mapped_size, nullptr) != 0) {
    delete x;
    return nullptr;
  }
  x->used = kIndexHeaderSize;
  x->entry_count = x->shown_count = 0;
  x->rewritten_count = 0;
  append_buffer_init(&x->staged, kIndexHeaderSize, kIndexStageBytes);
  store_message(0, ">>>hs->mapped = %p", (void*)x->mapped);
  x->owner = store;
  if (store) {
    std::lock_guard<std::mutex> hold(store->file_lock);
    if (store->index) store->index->owner = nullptr;
    store->index = x;
  }
  return x;
}

uint64_t rowstore_append_value(RowStore* store, const void* bytes, uint32_t length) {
  if (!store || !bytes || length < 1 || length > kMaxRecordLength) return 0;
  if (store->staged.failed) {
    store->error = store->staged.failed;
    store->errorInIndex = false;
    return 0;
  }
  uint64_t used = store->used;
  if (store->mapped_size < used + length + 4) {
    std::lock_guard<std::mutex> hold(store->file_lock);
    if (store_grow_view(store->hFile, &store->mapped, &store->mapped_size,
                        "扩展文件失败，错误码: %lu\n") != 0) {
      store->error = (int)os_file_error();
      store->errorInIndex = false;
      return 0;
    }
    if (store->mapped_size < used + length + 4) return 0;
  }
  uint8_t* at = append_buffer_room(&store->staged, store->hFile, length + 4);
  if (!at) {
    store->error = errno;
    store->errorInIndex = false;
    if (store->staged.failed)
      store_message(0, "cannot write %s: %s (error %lu)", store->path,
                    strerror(store->staged.failed), (unsigned long)store->staged.failed);
    return 0;
  }
  memcpy(at, &length, 4);
  memcpy(at + 4, bytes, length);
  append_buffer_commit(&store->staged, length + 4);
  store->used = used + length + 4;
  store->record_count++;
  return used;
}

IndexEntry* rowstore_new_entry(RowStore* store, uint64_t* offset) {
  if (!store) return nullptr;
  IndexFile* x = store->index;
  if (!x) return nullptr;
  if (x->staged.failed) {
    store->error = x->staged.failed;
    store->errorInIndex = true;
    return nullptr;
  }
  uint64_t used = x->used;
  if (x->mapped_size < used + kIndexEntrySize) {
    std::lock_guard<std::mutex> hold(store->file_lock);
    if (store_grow_view(x->hFile, &x->mapped, &x->mapped_size,
                        "扩展索引文件失败，错误码: %lu\n") != 0) {
      store->error = (int)os_file_error();
      store->errorInIndex = true;
      store_message(0, "extend_indexfile failed!!!");
      return nullptr;
    }
  }
  uint8_t* at = append_buffer_room(&x->staged, x->hFile, kIndexEntrySize);
  if (!at) {
    store->error = errno;
    store->errorInIndex = true;
    if (x->staged.failed)
      store_message(0, "cannot write %s: %s (error %lu)", x->path, strerror(x->staged.failed),
                    (unsigned long)x->staged.failed);
    return nullptr;
  }
  memset(at, 0, kIndexEntrySize);
  append_buffer_commit(&x->staged, kIndexEntrySize);
  x->used = used + kIndexEntrySize;
  x->entry_count++;
  if (offset) *offset = used;
  return (IndexEntry*)at;
}

IndexEntry* indexfile_entry_at(IndexFile* index, uint64_t offset) {
  if (!index || offset < kIndexHeaderSize) return nullptr;
  return (IndexEntry*)append_buffer_at(&index->staged, offset, kIndexEntrySize);
}

int rowstore_update_entry(RowStore* store, uint64_t offset, const IndexEntry* entry) {
  IndexFile* x = store ? store->index : nullptr;
  if (!x || !entry) return -1;
  if (IndexEntry* staged = indexfile_entry_at(x, offset)) {
    memcpy(staged, entry, sizeof *staged);
    return 0;
  }
  if (offset < kIndexHeaderSize || offset + kIndexEntrySize > x->used) return -1;
  // Written already: kept until the next publish (a parent gains children
  // one by one; its entry is written once per publish, not per child).
  for (uint32_t i = 0; i < x->rewritten_count; i++) {
    if (x->rewritten[i].offset == offset) {
      x->rewritten[i].entry = *entry;
      return 0;
    }
  }
  if (x->rewritten_count == kRewrittenEntries) {
    // An older copy of these entries may still be on its way to the file.
    append_buffer_settle(&x->staged);
    std::lock_guard<std::mutex> hold(store->file_lock);
    if (write_rewritten(x) != 0) return -1;
  }
  x->rewritten[x->rewritten_count].offset = offset;
  x->rewritten[x->rewritten_count].entry = *entry;
  x->rewritten_count++;
  return 0;
}

int rowstore_publish(RowStore* store) {
  if (!store) return -1;
  IndexFile* x = store->index;
  // Records before entries: an entry never reaches the file before its payload.
  if (flush_value_file(store) != 0) return -1;
  if (x && flush_index_file(x) != 0) return -1;
  std::lock_guard<std::mutex> hold(store->file_lock);
  if (x && write_rewritten(x) != 0) return -1;
  store->shown_used = store->used;
  if (x) x->shown_count = x->entry_count;
  return 0;
}

void rowstore_start_publish(RowStore* store) {
  if (!store) return;
  append_buffer_start_flush(&store->staged, store->hFile);
  if (store->index) append_buffer_start_flush(&store->index->staged, store->index->hFile);
}

void rowstore_set_writer(RowStore* store, FileWriter* writer) {
  if (!store) return;
  append_buffer_set_writer(&store->staged, writer);
  if (store->index) append_buffer_set_writer(&store->index->staged, writer);
}

int rowstore_error(RowStore* store, const char** path) {
  if (!store) return 0;
  IndexFile* x = store->index;
  int err = store->error;
  const char* where = store->errorInIndex && x ? x->path : store->path;
  // A failed write outlasts any later failed growth.
  if (x && x->staged.failed) {
    err = x->staged.failed;
    where = x->path;
  }
  if (store->staged.failed) {
    err = store->staged.failed;
    where = store->path;
  }
  if (path) *path = err ? where : nullptr;
  return err;
}

bool rowstore_get_entry(RowStore* store, uint32_t row, IndexEntry* out) {
  if (!store) return false;
  std::lock_guard<std::mutex> hold(store->file_lock);
  const IndexEntry* e = entry_of(store, row);
  if (!e) return false;
  if (out) memcpy(out, e, sizeof *out);
  return true;
}

uint32_t rowstore_read_value(RowStore* store, uint32_t row, void* out, uint32_t capacity) {
  if (!store || !out) return 0;
  std::lock_guard<std::mutex> hold(store->file_lock);
  const IndexEntry* e = entry_of(store, row);
  if (!e || !store->mapped) return 0;
  uint64_t off = e->value_offset;
  // Bound every read by what was published and by the view, so a damaged
  // entry can never send the copy outside the file.
  uint64_t limit = store->shown_used;
  if (limit > store->mapped_size) limit = store->mapped_size;
  if (off < kValueHeaderSize || off > limit || limit - off < 4) return 0;
  uint32_t len;
  memcpy(&len, store->mapped + off, 4);
  if (len == 0 || len > kMaxRecordLength || len >= capacity || limit - off - 4 < len) return 0;
  memcpy(out, store->mapped + off + 4, len);
  return len;
}

uint32_t rowstore_entry_count(RowStore* store) {
  if (!store) return 0;
  std::lock_guard<std::mutex> hold(store->file_lock);
  if (!store->index || !store->index->mapped) return 0;
  uint64_t n = store->index->shown_count;
  return n > 0xFFFFFFFFull ? 0xFFFFFFFFu : (uint32_t)n;
}

uint64_t rowstore_bytes(RowStore* store) {
  if (!store) return 0;
  return store->used + (store->index ? store->index->used : 0);
}

uint32_t rowstore_row_total(RowStore* store) {
  if (!store) return 0;
  std::lock_guard<std::mutex> hold(store->file_lock);
  if (!store->mapped) return 0;
  uint32_t total;
  memcpy(&total, store->mapped + offsetof(ValueFileHeader, row_total), 4);
  return total;
}

void rowstore_set_filter(RowStore* store, uint32_t mask) {
  if (!store) return;
  std::lock_guard<std::mutex> hold(store->child_lock);
  store->filter = mask;
  child_index_set_filter(&store->children, mask);
}

int tree_add_child(RowStore* store, uint32_t parent, uint32_t child, uint32_t flags) {
  if (!store) return -1;
  std::lock_guard<std::mutex> hold(store->child_lock);
  return child_index_add(&store->children, parent, child, flags);
}

uint32_t tree_add_children(RowStore* store, const TreeChild* children, uint32_t n) {
  if (!store || (n && !children)) return 0;
  std::lock_guard<std::mutex> hold(store->child_lock);
  for (uint32_t i = 0; i < n; i++)
    if (child_index_add(&store->children, children[i].parent, children[i].child,
                        children[i].flags) != 0)
      return i;
  return n;
}

uint32_t tree_child_count(RowStore* store, uint32_t parent) {
  if (!store) return 0;
  std::lock_guard<std::mutex> hold(store->child_lock);
  return child_index_count(&store->children, parent);
}

uint32_t tree_child_at(RowStore* store, uint32_t parent, uint32_t pos) {
  if (!store) return 0xFFFFFFFFu;
  std::lock_guard<std::mutex> hold(store->child_lock);
  return child_index_at(&store->children, parent, pos);
}

uint32_t tree_children_at(RowStore* store, uint32_t parent, uint32_t pos, uint32_t n, uint32_t* out) {
  if (!store) return 0;
  std::lock_guard<std::mutex> hold(store->child_lock);
  return child_index_range(&store->children, parent, pos, n, out);
}

void rowstore_has_children(RowStore* store, const uint32_t* rows, uint32_t n, uint8_t* out) {
  if (!store) {
    memset(out, 0, n);
    return;
  }
  std::lock_guard<std::mutex> hold(store->file_lock);
  for (uint32_t i = 0; i < n; i++) {
    const IndexEntry* e = entry_of(store, rows[i]);
    out[i] = e ? e->has_children : 0;
  }
}

uint32_t tree_index_of_child(RowStore* store, uint32_t parent, uint32_t child) {
  if (!store) return 0xFFFFFFFFu;
  std::lock_guard<std::mutex> hold(store->child_lock);
  return child_index_find(&store->children, parent, child);
}

uint32_t tree_child_total(RowStore* store, uint32_t parent) {
  if (!store) return 0;
  std::lock_guard<std::mutex> hold(store->child_lock);
  return child_index_total(&store->children, parent);
}

uint32_t tree_child_capacity(RowStore* store, uint32_t parent) {
  if (!store) return 0;
  std::lock_guard<std::mutex> hold(store->child_lock);
  return child_index_capacity(&store->children, parent);
}

void tree_clear(RowStore* store) {
  if (!store) return;
  std::lock_guard<std::mutex> hold(store->child_lock);
  child_index_clear(&store->children);
}

uint64_t tree_scratch_bytes(RowStore* store) {
  if (!store) return 0;
  std::lock_guard<std::mutex> hold(store->child_lock);
  return child_index_scratch_bytes(&store->children);
}

static void rowstore_close_impl(RowStore* store, bool remove) {
  if (!store) return;
  if (!remove) flush_value_file(store);  // the file keeps its content intact
  {
    std::lock_guard<std::mutex> hold(store->child_lock);
    child_index_destroy(&store->children);
  }
  {
    std::lock_guard<std::mutex> hold(store->file_lock);
    if (store->index) store->index->owner = nullptr;
    store->index = nullptr;
  }
  append_buffer_release(&store->staged);
  close_mapped(store->hFile, store->mapped, store->mapped_size, store->filename, store->path, remove);
  delete store;
}

void rowstore_close(RowStore* store) { rowstore_close_impl(store, false); }
void rowstore_close_delete(RowStore* store) { rowstore_close_impl(store, true); }

static void indexfile_close_impl(IndexFile* index, bool remove) {
  if (!index) return;
  if (RowStore* owner = index->owner) {
    std::lock_guard<std::mutex> hold(owner->file_lock);
    if (owner->index == index) owner->index = nullptr;
  }
  if (!remove && flush_index_file(index) == 0) write_rewritten(index);
  append_buffer_release(&index->staged);
  close_mapped(index->hFile, index->mapped, index->mapped_size, index->filename, index->path, remove);
  delete index;
}

void indexfile_close(IndexFile* index) { indexfile_close_impl(index, false); }
void indexfile_close_delete(IndexFile* index) { indexfile_close_impl(index, true); }
