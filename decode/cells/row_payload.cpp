// Packing a row's two lists into its payload, and reading it back.
// Packing consumes the lists node by node: each node is freed right after it
// is copied, and the nodes after one that does not fit are freed unread, so
// every cell is freed exactly once whatever the outcome.
#include "decode/cells/row_payload.h"

#include <cstdlib>
#include <cstring>

#include "decode/cells/cell_pool.h"
#include "os/log.h"

static inline uint16_t load_u16(const uint8_t* p) { return (uint16_t)(p[0] | (p[1] << 8)); }
static inline void store_u16(uint8_t* p, uint32_t v) {
  p[0] = (uint8_t)v;
  p[1] = (uint8_t)(v >> 8);
}

// Ends the process when a live cell is damaged: a row is never stored with it.
// A kept cell (one block shared by every list that shows it, immutable) was
// checked when it was made; checking it at each of its countless uses would
// cost more than all other packing.
static inline void require_crc(const DataMsg* cell, const char* message) {
  if (cell_pool_is_kept(cell)) return;
  if (!cell_crc_ok(cell, cell_size(cell))) {
    orvane_log("%s", message);
    exit(1);
  }
}

// Frees a node with its cells. Its pair lives inside the node's block (see
// kv_list.cpp), so the node's release returns both.
static inline void release_node(kvNode* n) {
  if (kvPair* pair = n->pair) {
    cell_free(pair->key);
    cell_free(pair->value);
    if (pair->desc) cell_free(pair->desc);
  }
  cell_pool_free(n);
}

int payload_pack_list(kvLinkedList* list, uint8_t* buf, uint32_t* offset) {
  if (!list || !buf || !offset) {
    orvane_log(">>>!list || !output_buf || !offset");
    kvlist_free(list);  // the caller has handed the list over either way
    return -1;
  }
  const uint32_t cap = kRowPayloadCapacity;
  const uint32_t at = *offset;
  if (at > cap - 2) {
    kvlist_free(list);
    orvane_log(">>>buf_capacity < 2 || *offset + 2 > buf_capacity");
    return -1;
  }
  // The nodes are taken off the list at once and freed one by one as they
  // are copied (or, after an entry that does not fit, skipped).
  kvNode* n = list->head;
  list->head = list->tail = nullptr;
  list->count = 0;
  uint32_t w = at + 2;
  uint32_t body = 0;
  int rc = 0;
  while (n) {
    kvNode* next = n->next;
    kvPair* pair = n->pair;
    if (rc != 0) {
      // The rest of a list that did not fit is freed unread.
    } else if (!pair || !pair->key || !pair->value) {
      orvane_log(">>>kvPair is NULL");
    } else {
      require_crc(pair->key, ">>>>>>>>>>>>>>>>>key crc16 err!<<<<<<<<<<<<\n");
      require_crc(pair->value, ">>>>>>>>>>>>>>>>>value crc16 err!<<<<<<<<<<<<\n");
      if (pair->desc) require_crc(pair->desc, ">>>>>>>>>>>>>>>>>desc crc16 err!<<<<<<<<<<<<\n");
      uint32_t ks = (uint32_t)cell_size(pair->key);
      uint32_t vs = (uint32_t)cell_size(pair->value);
      uint32_t ds = pair->desc ? (uint32_t)cell_size(pair->desc) : 0;
      if (w + ks + vs + ds > cap) {
        orvane_log("*offset = %d, key_size = %d, value_size = %d, desc_size = %d, buf_capacity = %d",
                   (int)w, (int)ks, (int)vs, (int)ds, (int)cap);
        rc = -1;
      } else {
        cell_bytes_copy(buf + w, pair->key, ks);
        w += ks;
        cell_bytes_copy(buf + w, pair->value, vs);
        w += vs;
        if (ds) {
          cell_bytes_copy(buf + w, pair->desc, ds);
          w += ds;
        }
        body += ks + vs + ds;
      }
    }
    release_node(n);
    n = next;
  }
  // On failure the length of what was copied keeps the stored bytes
  // well-formed (the row has no marker, so readers still show it as empty).
  store_u16(buf + at, body);
  *offset = w;
  cell_pool_free(list);
  if (rc != 0) orvane_log("缓冲区不足，释放剩余节点");
  return rc;
}

uint32_t payload_pack_row(kvLinkedList* infos, kvLinkedList* values,
                          uint8_t buf[kRowPayloadCapacity]) {
  if (!buf) {
    orvane_log(">>>!list || !output_buf || !offset");
    kvlist_free(infos);
    kvlist_free(values);
    return 0;
  }
  buf[0] = 0;
  buf[1] = 0;
  uint32_t off = 2;
  if (payload_pack_list(infos, buf, &off) != 0) {
    kvlist_free(values);
    return off;
  }
  if (!values) {
    orvane_log("!!!!!!!!!!!1Values i NULL1!!!!!!!!!!!!");
    exit(-1);
  }
  if (payload_pack_list(values, buf, &off) == 0) {
    buf[0] = kRowPayloadMarker0;
    buf[1] = kRowPayloadMarker1;
  }
  return off;
}

// Reads the group whose length field lies at `at`; returns the offset just
// past its stored extent, or 0 when the group is absent or incomplete.
static uint32_t read_group(const uint8_t* payload, uint32_t len, uint32_t at, PayloadGroup* g) {
  g->body = nullptr;
  g->len = 0;
  g->complete = 0;
  if (at > len || len - at < 2) return 0;
  uint32_t stored = load_u16(payload + at);
  uint32_t avail = len - at - 2;
  g->body = payload + at + 2;
  g->len = stored <= avail ? stored : avail;
  g->complete = stored <= avail;
  return g->complete ? at + 2 + stored : 0;
}

int payload_unpack(const uint8_t* payload, uint32_t len, PayloadView* view) {
  if (!view) return -1;
  memset(view, 0, sizeof *view);
  if (!payload) return -1;
  view->marked = len >= 2 && payload[0] == kRowPayloadMarker0 && payload[1] == kRowPayloadMarker1;
  uint32_t next = read_group(payload, len, 2, &view->infos);
  if (next) read_group(payload, len, next, &view->values);
  return view->marked && view->infos.complete && view->values.complete ? 0 : -1;
}

void payload_cursor_init(PayloadCursor* cur, const PayloadGroup* group, int with_desc) {
  cur->pos = group && group->body ? group->body : nullptr;
  cur->end = cur->pos ? group->body + group->len : nullptr;
  cur->with_desc = with_desc ? 1 : 0;
  cur->damaged = 0;
}

// Takes one cell at cur->pos if its framing lies within the group.
static const DataMsg* take_cell(PayloadCursor* cur) {
  size_t avail = (size_t)(cur->end - cur->pos);
  if (avail < 8) return nullptr;
  uint16_t n = load_u16(cur->pos);
  if (n < 2 || (size_t)n + 6 > avail) return nullptr;
  const DataMsg* cell = (const DataMsg*)cur->pos;
  cur->pos += (size_t)n + 6;
  return cell;
}

int payload_cursor_next(PayloadCursor* cur, PayloadEntry* entry) {
  if (!cur) return -1;
  if (cur->damaged) return -1;
  if (!cur->pos || cur->pos == cur->end) return 0;
  const uint8_t* start = cur->pos;
  PayloadEntry e = {nullptr, nullptr, nullptr};
  e.key = take_cell(cur);
  if (e.key) e.value = take_cell(cur);
  if (e.value && cur->with_desc) e.desc = take_cell(cur);
  if (!e.key || !e.value || (cur->with_desc && !e.desc)) {
    cur->pos = start;
    cur->damaged = 1;
    return -1;
  }
  if (entry) *entry = e;
  return 1;
}

uint32_t payload_group_entries(const PayloadGroup* group, int with_desc, PayloadEntry* out,
                               uint32_t max, int* complete) {
  PayloadCursor cur;
  payload_cursor_init(&cur, group, with_desc);
  uint32_t n = 0;
  int r = 0;
  while (n < max && (r = payload_cursor_next(&cur, &out[n])) == 1) ++n;
  if (complete) *complete = group && group->complete && r >= 0 && cur.pos == cur.end ? 1 : 0;
  return n;
}
