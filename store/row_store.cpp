// Row stores: value file, index file and the child index behind one lock each.
#include "store/row_store.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "store/store_files.h"

namespace {

ValueFileHeader* value_header(RowStore* s) { return (ValueFileHeader*)s->mapped; }
IndexFileHeader* index_header(IndexFile* x) { return (IndexFileHeader*)x->mapped; }

// Opens `name` in the data directory, maps it; fills file, names and view.
// -1 on failure with everything released.
int open_mapped(const char* name, os_file* file, char** filename, char** path,
                uint8_t** mapped, uint64_t* mapped_size, char** dir_out) {
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

// The entry of `row` in the index view, or null when the row does not exist
// or its entry would lie outside the view. Under the file lock.
const IndexEntry* entry_of(RowStore* store, uint32_t row) {
  IndexFile* x = store->index;
  if (!x || !x->mapped || row == 0) return nullptr;
  if (row > index_header(x)->entry_count) return nullptr;
  uint64_t off = kIndexHeaderSize + (uint64_t)(row - 1) * kIndexEntrySize;
  if (off + kIndexEntrySize > x->mapped_size) return nullptr;
  return (const IndexEntry*)(x->mapped + off);
}

}  // namespace

RowStore* rowstore_open(const char* name) {
  RowStore* s = new (std::nothrow) RowStore();
  if (!s) return nullptr;
  char* dir = nullptr;
  if (open_mapped(name, &s->hFile, &s->filename, &s->path, &s->mapped, &s->mapped_size, &dir) != 0) {
    delete s;
    return nullptr;
  }
  s->filter = 0;
  s->index = nullptr;
  int rc = child_index_init(&s->children, dir, s->filter);
  free(dir);
  if (rc != 0) {
    close_mapped(s->hFile, s->mapped, s->mapped_size, s->filename, s->path, false);
    delete s;
    return nullptr;
  }
  ValueFileHeader* h = value_header(s);
  memset(h, 0, sizeof *h);
  h->magic = kStoreMagic;
  h->version = 1;
  h->record_count = 0;
  h->used_bytes = kValueHeaderSize;
  h->row_total = 0;
  return s;
}

IndexFile* indexfile_open(const char* name, RowStore* store) {
  IndexFile* x = new (std::nothrow) IndexFile();
  if (!x) return nullptr;
  if (open_mapped(name, &x->hFile, &x->filename, &x->path, &x->mapped, &x->mapped_size, nullptr) != 0) {
    delete x;
    return nullptr;
  }
  IndexFileHeader* h = index_header(x);
  memset(h, 0, sizeof *h);
  h->magic = kStoreMagic;
  h->version = 1;
  h->entry_count = 0;
  h->used_bytes = kIndexHeaderSize;
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
  std::lock_guard<std::mutex> hold(store->file_lock);
  if (!store->mapped) return 0;
  uint64_t used = value_header(store)->used_bytes;
  if (used < kValueHeaderSize || used > store->mapped_size) return 0;
  if (store->mapped_size < used + length + 4 &&
      store_grow_view(store->hFile, &store->mapped, &store->mapped_size,
                      "扩展文件失败，错误码: %lu\n") != 0)
    return 0;
  if (store->mapped_size < used + length + 4) return 0;
  store_prefault(store->hFile, store->mapped, store->mapped_size, used, used + length + 4,
                 &store->ready);
  memcpy(store->mapped + used, &length, 4);
  memcpy(store->mapped + used + 4, bytes, length);
  ValueFileHeader* h = value_header(store);
  h->used_bytes = used + length + 4;
  h->record_count++;
  return used;
}

IndexEntry* rowstore_new_entry(RowStore* store, uint64_t* offset) {
  if (!store) return nullptr;
  std::lock_guard<std::mutex> hold(store->file_lock);
  IndexFile* x = store->index;
  if (!x || !x->mapped) return nullptr;
  uint64_t used = index_header(x)->used_bytes;
  if (used < kIndexHeaderSize || used > x->mapped_size) return nullptr;
  if (x->mapped_size < used + kIndexEntrySize) {
    if (store_grow_view(x->hFile, &x->mapped, &x->mapped_size,
                        "扩展索引文件失败，错误码: %lu\n") != 0) {
      store_message(0, "extend_indexfile failed!!!");
      return nullptr;
    }
  }
  store_prefault(x->hFile, x->mapped, x->mapped_size, used, used + kIndexEntrySize, &x->ready);
  IndexFileHeader* h = index_header(x);
  h->used_bytes = used + kIndexEntrySize;
  h->entry_count++;
  if (offset) *offset = used;
  IndexEntry* e = (IndexEntry*)(x->mapped + used);
  memset(e, 0, sizeof *e);
  return e;
}

IndexEntry* indexfile_entry_at(IndexFile* index, uint64_t offset) {
  if (!index || !index->mapped || offset < kIndexHeaderSize ||
      offset + kIndexEntrySize > index->mapped_size)
    return nullptr;
  return (IndexEntry*)(index->mapped + offset);
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
  // Bound every read by what was written and by the view, so a damaged
  // entry or header can never send the copy outside the file.
  uint64_t limit = value_header(store)->used_bytes;
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
  uint64_t n = index_header(store->index)->entry_count;
  return n > 0xFFFFFFFFull ? 0xFFFFFFFFu : (uint32_t)n;
}

uint32_t rowstore_row_total(RowStore* store) {
  if (!store) return 0;
  std::lock_guard<std::mutex> hold(store->file_lock);
  return store->mapped ? value_header(store)->row_total : 0;
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
  {
    std::lock_guard<std::mutex> hold(store->child_lock);
    child_index_destroy(&store->children);
  }
  {
    std::lock_guard<std::mutex> hold(store->file_lock);
    if (store->index) store->index->owner = nullptr;
    store->index = nullptr;
  }
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
  close_mapped(index->hFile, index->mapped, index->mapped_size, index->filename, index->path, remove);
  delete index;
}

void indexfile_close(IndexFile* index) { indexfile_close_impl(index, false); }
void indexfile_close_delete(IndexFile* index) { indexfile_close_impl(index, true); }
