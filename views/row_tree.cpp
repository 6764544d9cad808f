// The three appends, clear, set_filter and delete_files of a row tree.
#include "views/row_tree.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "os/log.h"
#include "store/row_payload.h"

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
  return 0;
}

static void start_empty(RowTree* tree) {
  tree->lastPar = tree->lastSub = nullptr;
  tree->lastParOffset = tree->lastSubOffset = tree->lastSubSubOffset = 0;
  tree->nextRow = 1;
  tree->rowLen = 0;
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
// payload, and stores it for the entry at `offset`.
static void store_payload(RowTree* tree, uint64_t offset, RowSource* src) {
  const uint8_t* bytes = tree->rowBuf;
  if (src->packed) {
    bytes = src->packed;
    tree->rowLen = src->packedLen;
  } else {
    tree->rowLen = payload_pack_row(src->infos, src->values, tree->rowBuf);
  }
  uint64_t at = rowstore_append_value(tree->store, bytes, tree->rowLen);
  IndexEntry* e = indexfile_entry_at(tree->index, offset);
  if (!e) return;
  e->value_offset = at;
  e->length = tree->rowLen;
}

static void append_top(RowTree* tree, RowSource* src, uint32_t attr) {
  uint64_t offset = 0;
  IndexEntry* e = tree->store ? rowstore_new_entry(tree->store, &offset) : nullptr;
  if (!e) {  // no row number is taken for a row that cannot be stored
    source_free(src);
    return;
  }
  uint32_t r = tree->nextRow++;
  memset(e, 0, sizeof *e);
  e->row = r;
  e->parent = 0;
  e->attr_flags = attr;
  tree->lastParOffset = offset;
  tree->totalRows++;
  store_payload(tree, offset, src);
  tree->lastPar = indexfile_entry_at(tree->index, offset);
  tree_add_child(tree->store, 0, r, attr);
}

// The shared body of the second- and third-level appends: a row under the
// entry at `parentOffset`; its entry offset goes to *ownOffset.
static void append_under(RowTree* tree, uint64_t parentOffset, uint64_t* ownOffset,
                         RowSource* src, uint32_t attr) {
  uint64_t offset = 0;
  IndexEntry* e = tree->store ? rowstore_new_entry(tree->store, &offset) : nullptr;
  if (!e) {
    source_free(src);
    return;
  }
  uint32_t r = tree->nextRow++;
  memset(e, 0, sizeof *e);
  // The allocation may have moved the mapping: find the parent again.
  IndexEntry* parent = indexfile_entry_at(tree->index, parentOffset);
  if (!parent) {  // cannot happen for offsets this tree allocated; never write through null
    source_free(src);
    return;
  }
  uint32_t parentRow = parent->row;
  e->row = r;
  e->parent = parentRow;
  e->attr_flags = attr;
  e->position = parent->child_count;
  *ownOffset = offset;
  store_payload(tree, offset, src);
  parent = indexfile_entry_at(tree->index, parentOffset);
  parent->child_count++;
  parent->children_shown = 1;
  parent->has_children = 1;
  tree->lastPar = indexfile_entry_at(tree->index, tree->lastParOffset);
  tree_add_child(tree->store, parentRow, r, attr);
}

static void append_second(RowTree* tree, RowSource* src, uint32_t attr) {
  if (tree->nextRow == 1 || !tree->store) {  // no top-level row yet: dropped
    source_free(src);
    return;
  }
  append_under(tree, tree->lastParOffset, &tree->lastSubOffset, src, attr);
  tree->lastSub = tree->lastSubOffset ? indexfile_entry_at(tree->index, tree->lastSubOffset) : nullptr;
}

static void append_third(RowTree* tree, RowSource* src, uint32_t attr) {
  if (tree->nextRow == 1 || !tree->store || tree->lastSubOffset == 0) {
    source_free(src);
    return;
  }
  append_under(tree, tree->lastSubOffset, &tree->lastSubSubOffset, src, attr);
  tree->lastSub = indexfile_entry_at(tree->index, tree->lastSubOffset);
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

void row_tree_append_payload(RowTree* tree, int level, const uint8_t* payload, uint32_t len,
                             uint32_t attr) {
  std::lock_guard<std::mutex> hold(tree->lock);
  RowSource src{nullptr, nullptr, payload, len};
  if (level == 0)
    append_top(tree, &src, attr);
  else if (level == 1)
    append_second(tree, &src, attr);
  else
    append_third(tree, &src, attr);
}

uint32_t row_tree_pack(kvLinkedList* infos, kvLinkedList* values, uint8_t* buf) {
  return payload_pack_row(infos, values, buf);
}

void row_tree_clear(RowTree* tree, row_tree_hook begin, row_tree_hook end, void* user) {
  std::lock_guard<std::mutex> hold(tree->lock);
  if (!tree->store) return;
  if (begin) begin(user);
  indexfile_close(tree->index);
  rowstore_close(tree->store);
  tree->index = nullptr;
  tree->store = nullptr;
  // Opening truncates both files: a fresh, empty pair.
  if (open_pair(tree) != 0) orvane_log(">>>row tree: cannot reopen %s", tree->valueName);
  tree->totalRows = 0;
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
  tree->lastPar = tree->lastSub = nullptr;
}

uint32_t row_tree_row_count(RowTree* tree) {
  return tree->store ? rowstore_entry_count(tree->store) : 0;
}

// Row number of the entry at `offset` (the caller holds the tree's lock); 0 for none.
static uint32_t row_at_offset(RowTree* tree, uint64_t offset) {
  if (!offset || !tree->index) return 0;
  const IndexEntry* e = indexfile_entry_at(tree->index, offset);
  return e ? e->row : 0;
}

void row_tree_tail(RowTree* tree, RowTreeTail* out) {
  std::lock_guard<std::mutex> hold(tree->lock);
  row_tree_tail_in_hook(tree, out);
}

void row_tree_tail_in_hook(RowTree* tree, RowTreeTail* out) {
  out->rows = tree->store ? rowstore_entry_count(tree->store) : 0;
  bool any = tree->store && tree->nextRow != 1;
  out->lastTop = any ? row_at_offset(tree, tree->lastParOffset) : 0;
  out->lastSub = any ? row_at_offset(tree, tree->lastSubOffset) : 0;
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
