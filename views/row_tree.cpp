// The three appends, clear, set_filter and delete_files of a row tree.
#include "views/row_tree.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <vector>

#include "decode/cells/row_payload.h"
#include "os/log.h"

static void copy_name(char* dst, const char* src) {
  snprintf(dst, kRowTreeNameMax + 1, "%s", src ? src : "");
}

// Opens the store pair and applies the tree's filter; 0, or -1 (nothing left open).
static int open_pair(RowTree* tree) {
  tree->store = rowstore_open(tree->valueName);
  if (!tree->store) return -1;
  rowstore_set_filter(tree->store, tree->filter);
  tree->index = indexfile_open(tree->indexName, tree->store);
  if (!tree->index) {
    rowstore_close(tree->store);
    tree->store = nullptr;
    return -1;
  }
  rowstore_set_writer(tree->store, tree->writer);
  return 0;
}

static void start_empty(RowTree* tree) {
  memset(&tree->lastPar, 0, sizeof tree->lastPar);
  memset(&tree->lastSub, 0, sizeof tree->lastSub);
  tree->lastParOffset = tree->lastSubOffset = tree->lastSubSubOffset = 0;
  tree->nextRow = 1;
  tree->rowLen = 0;
  tree->unpublished.clear();
  tree->pubRows = tree->pubLastTop = tree->pubLastSub = 0;
}

// Keeps the first failure of the store: the row that met it was dropped or
// stored without payload.
static void note_failure(RowTree* tree, int err, const char* path) {
  if (tree->error || !err) return;
  tree->error = err;
  snprintf(tree->errorPath, sizeof tree->errorPath, "%s", path ? path : tree->valueName);
  orvane_log(">>>row tree: cannot store a row in %s: %s", tree->errorPath, strerror(err));
}

static void note_store_failure(RowTree* tree) {
  const char* path = nullptr;
  int err = tree->store ? rowstore_error(tree->store, &path) : 0;
  note_failure(tree, err, path);
}

// Writes the rows appended since the last publish, then shows them.
static int publish_locked(RowTree* tree) {
  if (!tree->store) return 0;
  std::vector<TreeChild>& rows = tree->unpublished;
  if (rowstore_publish(tree->store) != 0) {
    note_store_failure(tree);
    rows.clear();
    return -1;
  }
  uint32_t n = (uint32_t)rows.size();
  uint32_t added = n ? tree_add_children(tree->store, rows.data(), n) : 0;
  int err = errno;
  rows.clear();
  if (added < n) {
    // The child index's scratch file lives beside the value file.
    note_failure(tree, err ? err : ENOMEM, tree->store->path);
    return -1;
  }
  // Only the last rows of this publish can gain children later.
  tree->pubRows = rowstore_entry_count(tree->store);
  tree->pubLastTop = tree->nextRow != 1 ? tree->lastPar.row : 0;
  tree->pubLastSub = tree->nextRow != 1 ? tree->lastSub.row : 0;
  return 0;
}

RowTree* row_tree_open(const char* value_name, const char* index_name) {
  RowTree* tree = new (std::nothrow) RowTree();
  if (!tree) return nullptr;
  copy_name(tree->valueName, value_name);
  copy_name(tree->indexName, index_name);
  tree->filter = 0xFFFF0000u;
  start_empty(tree);
  if (open_pair(tree) != 0) {
    delete tree;
    return nullptr;
  }
  tree->totalRows = rowstore_row_total(tree->store);
  orvane_log("m_totalRows = %u", tree->totalRows);
  return tree;
}

void row_tree_close(RowTree* tree) {
  if (!tree) return;
  if (tree->store) {
    row_tree_clear(tree, nullptr, nullptr, nullptr);
    std::lock_guard<std::mutex> hold(tree->lock);
    if (tree->index) indexfile_close(tree->index);
    if (tree->store) rowstore_close(tree->store);
    tree->index = nullptr;
    tree->store = nullptr;
  }
  delete tree;
}

// What a new row carries: two lists to pack, or a payload packed earlier.
struct RowSource {
  kvLinkedList* infos;
  kvLinkedList* values;
  const uint8_t* packed;  // non-null: store these bytes as they are
  uint32_t packedLen;
};

static void source_free(RowSource* src) {
  kvlist_free(src->infos);
  kvlist_free(src->values);
}

// Packs the row into rowBuf (consuming both lists), or takes its packed
// payload, and stores it; its value offset (0 when it could not be stored),
// its length in rowLen.
static uint64_t store_payload(RowTree* tree, RowSource* src) {
  const uint8_t* bytes = tree->rowBuf;
  if (src->packed) {
    bytes = src->packed;
    tree->rowLen = src->packedLen;
  } else {
    tree->rowLen = payload_pack_row(src->infos, src->values, tree->rowBuf);
  }
  uint64_t at = rowstore_append_value(tree->store, bytes, tree->rowLen);
  if (!at) note_store_failure(tree);
  return at;
}

// A new row's entry, written field by field: an entry filled in pieces and
// then copied whole waits for its pieces on every row.
static inline void put_entry(IndexEntry* d, uint32_t row, uint32_t parent, uint32_t length,
                             uint64_t value_offset, uint32_t position, uint32_t attr) {
  d->row = row;
  d->parent = parent;
  d->length = length;
  d->reserved0 = 0;
  d->value_offset = value_offset;
  d->position = position;
  d->attr_flags = attr;
  d->child_count = 0;
  d->children_shown = 0;
  d->has_children = 0;
  d->reserved1[0] = d->reserved1[1] = 0;
}

// The end of every append: the row waits for its publish, or is published.
static void finish_append(RowTree* tree, uint32_t parent, uint32_t row, uint32_t attr) {
  tree->unpublished.push_back(TreeChild{parent, row, attr});
  if (!tree->deferPublish) publish_locked(tree);
}

static void append_top(RowTree* tree, RowSource* src, uint32_t attr) {
  uint64_t offset = 0;
  IndexEntry* e = tree->store ? rowstore_new_entry(tree->store, &offset) : nullptr;
  if (!e) {  // no row number is taken for a row that cannot be stored
    note_store_failure(tree);
    source_free(src);
    return;
  }
  uint32_t r = tree->nextRow++;
  tree->lastParOffset = offset;
  tree->totalRows++;
  uint64_t value = store_payload(tree, src);
  put_entry(e, r, 0, tree->rowLen, value, 0, attr);
  put_entry(&tree->lastPar, r, 0, tree->rowLen, value, 0, attr);
  finish_append(tree, 0, r, attr);
}

// The shared body of the second- and third-level appends: a row under the
// row whose entry (as last written) is *parent at `parentOffset`; its entry
// offset goes to *ownOffset, the entry itself to *own.
static void append_under(RowTree* tree, IndexEntry* parent, uint64_t parentOffset,
                         uint64_t* ownOffset, IndexEntry* own, RowSource* src, uint32_t attr) {
  uint64_t offset = 0;
  IndexEntry* e = tree->store ? rowstore_new_entry(tree->store, &offset) : nullptr;
  if (!e) {
    note_store_failure(tree);
    source_free(src);
    return;
  }
  uint32_t r = tree->nextRow++;
  uint32_t position = parent->child_count;
  *ownOffset = offset;
  uint64_t value = store_payload(tree, src);
  put_entry(e, r, parent->row, tree->rowLen, value, position, attr);
  if (own) put_entry(own, r, parent->row, tree->rowLen, value, position, attr);
  parent->child_count = position + 1;
  parent->children_shown = 1;
  parent->has_children = 1;
  if (rowstore_update_entry(tree->store, parentOffset, parent) != 0) note_store_failure(tree);
  finish_append(tree, parent->row, r, attr);
}

static void append_second(RowTree* tree, RowSource* src, uint32_t attr) {
  if (tree->nextRow == 1 || !tree->store) {  // no top-level row yet: dropped
    source_free(src);
    return;
  }
  append_under(tree, &tree->lastPar, tree->lastParOffset, &tree->lastSubOffset, &tree->lastSub,
               src, attr);
}

static void append_third(RowTree* tree, RowSource* src, uint32_t attr) {
  if (tree->nextRow == 1 || !tree->store || tree->lastSubOffset == 0) {
    source_free(src);
    return;
  }
  append_under(tree, &tree->lastSub, tree->lastSubOffset, &tree->lastSubSubOffset, nullptr, src,
               attr);
}

void row_tree_append_par(RowTree* tree, kvLinkedList* infos, kvLinkedList* values, uint32_t attr) {
  std::lock_guard<std::mutex> hold(tree->lock);
  if (!infos || !values) {
    orvane_log("appendRowPar_KV_P Infos == NULL || Values == NULL");
    exit(-1);
  }
  RowSource src{infos, values, nullptr, 0};
  append_top(tree, &src, attr);
}

void row_tree_append_sub(RowTree* tree, kvLinkedList* infos, kvLinkedList* values, uint32_t attr) {
  std::lock_guard<std::mutex> hold(tree->lock);
  if (tree->nextRow != 1 && tree->store && (!infos || !values)) {
    orvane_log("appendRowSub_KV_P Infos == NULL || Values == NULL");
    exit(-1);
  }
  RowSource src{infos, values, nullptr, 0};
  append_second(tree, &src, attr);
}

void row_tree_append_subsub(RowTree* tree, kvLinkedList* infos, kvLinkedList* values,
                            uint32_t attr) {
  std::lock_guard<std::mutex> hold(tree->lock);
  if (!infos || !values) {
    // A third-level row needs both lists; the row is dropped, not the program.
    orvane_log("appendRowSubSub_KV_P Infos == NULL || Values == NULL");
    kvlist_free(infos);
    kvlist_free(values);
    return;
  }
  RowSource src{infos, values, nullptr, 0};
  append_third(tree, &src, attr);
}

// A packed row at `level` (0 top, 1 second, else third), under the caller's lock.
static void append_at_level(RowTree* tree, int level, const uint8_t* payload, uint32_t len,
                            uint32_t attr) {
  RowSource src{nullptr, nullptr, payload, len};
  if (level == 0)
    append_top(tree, &src, attr);
  else if (level == 1)
    append_second(tree, &src, attr);
  else
    append_third(tree, &src, attr);
}

void row_tree_append_payload(RowTree* tree, int level, const uint8_t* payload, uint32_t len,
                             uint32_t attr) {
  std::lock_guard<std::mutex> hold(tree->lock);
  append_at_level(tree, level, payload, len, attr);
}

bool row_tree_append_packed(RowTree* tree, uint32_t generation, int level, const uint8_t* payload,
                            uint32_t len, uint32_t attr) {
  std::lock_guard<std::mutex> hold(tree->lock);
  return row_tree_append_held(tree, generation, level, payload, len, attr);
}

void row_tree_hold(RowTree* tree) { tree->lock.lock(); }
void row_tree_let_go(RowTree* tree) { tree->lock.unlock(); }
int row_tree_publish_held(RowTree* tree) { return publish_locked(tree); }

void row_tree_start_publish_held(RowTree* tree) {
  if (tree->store) rowstore_start_publish(tree->store);
}

bool row_tree_append_held(RowTree* tree, uint32_t generation, int level, const uint8_t* payload,
                          uint32_t len, uint32_t attr) {
  if (tree->generation.load(std::memory_order_relaxed) != generation) return false;
  uint32_t before = tree->nextRow;
  append_at_level(tree, level, payload, len, attr);
  return tree->nextRow != before;
}

uint32_t row_tree_pack(kvLinkedList* infos, kvLinkedList* values, uint8_t* buf) {
  return payload_pack_row(infos, values, buf);
}

void row_tree_clear(RowTree* tree, row_tree_hook begin, row_tree_hook end, void* user) {
  std::lock_guard<std::mutex> hold(tree->lock);
  if (!tree->store) return;
  if (begin) begin(user);
  tree->generation.fetch_add(1, std::memory_order_relaxed);
  indexfile_close(tree->index);
  rowstore_close(tree->store);
  tree->index = nullptr;
  tree->store = nullptr;
  // Opening truncates both files: a fresh, empty pair.
  if (open_pair(tree) != 0) orvane_log(">>>row tree: cannot reopen %s", tree->valueName);
  tree->totalRows = 0;
  tree->error = 0;
  tree->errorPath[0] = 0;
  start_empty(tree);
  if (end) end(user);
}

void row_tree_set_filter(RowTree* tree, uint32_t mask, row_tree_hook begin, row_tree_hook end,
                         void* user) {
  std::lock_guard<std::mutex> hold(tree->lock);
  if (begin) begin(user);
  if (tree->store) {
    rowstore_set_filter(tree->store, mask);
    tree->totalRows = rowstore_row_total(tree->store);
  }
  tree->filter = mask;
  if (end) end(user);
}

void row_tree_delete_files(RowTree* tree) {
  std::lock_guard<std::mutex> hold(tree->lock);
  if (tree->index) indexfile_close_delete(tree->index);
  if (tree->store) rowstore_close_delete(tree->store);
  tree->index = nullptr;
  tree->store = nullptr;
  start_empty(tree);
}

void row_tree_set_writer(RowTree* tree, FileWriter* writer) {
  std::lock_guard<std::mutex> hold(tree->lock);
  tree->writer = writer;
  rowstore_set_writer(tree->store, writer);
}

void row_tree_defer_publish(RowTree* tree, bool defer) {
  std::lock_guard<std::mutex> hold(tree->lock);
  if (!defer) publish_locked(tree);
  tree->deferPublish = defer;
}

int row_tree_publish(RowTree* tree) {
  std::lock_guard<std::mutex> hold(tree->lock);
  return publish_locked(tree);
}

int row_tree_error(RowTree* tree, const char** path) {
  std::lock_guard<std::mutex> hold(tree->lock);
  if (path) *path = tree->error ? tree->errorPath : nullptr;
  return tree->error;
}

uint32_t row_tree_row_count(RowTree* tree) {
  return tree->store ? rowstore_entry_count(tree->store) : 0;
}

void row_tree_tail(RowTree* tree, RowTreeTail* out) {
  std::lock_guard<std::mutex> hold(tree->lock);
  row_tree_tail_in_hook(tree, out);
}

void row_tree_tail_in_hook(RowTree* tree, RowTreeTail* out) {
  // What readers can see: the state of the last publish, not rows still
  // waiting for theirs.
  out->rows = tree->store ? tree->pubRows : 0;
  out->lastTop = tree->store ? tree->pubLastTop : 0;
  out->lastSub = tree->store ? tree->pubLastSub : 0;
}

uint64_t row_tree_bytes(RowTree* tree) {
  std::lock_guard<std::mutex> hold(tree->lock);
  return tree->store ? rowstore_bytes(tree->store) : 0;
}

uint32_t row_tree_child_count(RowTree* tree, uint32_t parent) {
  return tree->store ? tree_child_count(tree->store, parent) : 0;
}

uint32_t row_tree_child_at(RowTree* tree, uint32_t parent, uint32_t pos) {
  return tree->store ? tree_child_at(tree->store, parent, pos) : 0xFFFFFFFFu;
}

uint32_t row_tree_children(RowTree* tree, uint32_t parent, uint32_t pos, uint32_t n, uint32_t* out) {
  return tree->store ? tree_children_at(tree->store, parent, pos, n, out) : 0;
}

void row_tree_has_children(RowTree* tree, const uint32_t* rows, uint32_t n, uint8_t* out) {
  rowstore_has_children(tree->store, rows, n, out);
}

bool row_tree_parent_of(RowTree* tree, uint32_t row, uint32_t* parent, uint32_t* pos) {
  IndexEntry e;
  if (!row_tree_entry(tree, row, &e)) return false;
  uint32_t at = tree_index_of_child(tree->store, e.parent, row);
  if (at == 0xFFFFFFFFu) return false;
  if (parent) *parent = e.parent;
  if (pos) *pos = at;
  return true;
}

bool row_tree_entry(RowTree* tree, uint32_t row, IndexEntry* out) {
  return tree->store && rowstore_get_entry(tree->store, row, out);
}

uint32_t row_tree_payload(RowTree* tree, uint32_t row, void* out, uint32_t cap) {
  return tree->store ? rowstore_read_value(tree->store, row, out, cap) : 0;
}
