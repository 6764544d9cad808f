// Rows packed while they are built (see packed_row.h). The cut of an entry
// that does not fit is decided at the end, where its place in the payload
// is known, exactly as payload_pack_list decides it.
#include "decode/cells/packed_row.h"

#include <cstring>
#include <initializer_list>

#include "decode/cells/row_payload.h"
#include "os/log.h"

static_assert(kPackedBodyMax >= kRowPayloadCapacity - 4, "a group's body fills a payload");

void packed_row_clear(PackedRow* row) {
  for (PackedGroup* g : {&row->infos, &row->values}) {
    g->entries = 0;
    g->bytes = 0;
    g->cut = false;
  }
}

// Room for an entry of ks + vs bytes at the end of the body, or null when
// it does not fit: an entry past the body cannot fit a payload either, so
// packing stops at it (or earlier), and the entries after it are never read.
static uint8_t* entry_room(PackedGroup* g, uint32_t ks, uint32_t vs) {
  if (g->cut) return nullptr;
  if (g->entries == kPackedEntriesMax || g->bytes + ks + vs > kPackedBodyMax) {
    g->cut = true;
    g->cutSizes[0] = (uint16_t)ks;
    g->cutSizes[1] = (uint16_t)vs;
    return nullptr;
  }
  uint8_t* at = g->body + g->bytes;
  g->sizes[g->entries][0] = (uint16_t)ks;
  g->sizes[g->entries][1] = (uint16_t)vs;
  g->entries++;
  g->bytes += ks + vs;
  return at;
}

void packed_group_put(PackedGroup* g, const DataMsg* key, const DataMsg* value) {
  if (!key || !value) return;
  uint32_t ks = (uint32_t)cell_size(key), vs = (uint32_t)cell_size(value);
  if (uint8_t* at = entry_room(g, ks, vs)) {
    cell_bytes_copy(at, key, ks);
    cell_bytes_copy(at + ks, value, vs);
  }
}

void packed_group_put_new(PackedGroup* g, const DataMsg* key, uint32_t payload_len,
                          const void* payload, uint8_t type, uint8_t bgd_color, uint8_t color) {
  // The cells cell_create refuses make no entry, as a refused list append.
  if (!key || payload_len > kDataMsgMaxPayload || (payload_len && !payload)) return;
  uint32_t ks = (uint32_t)cell_size(key);
  if (uint8_t* at = entry_room(g, ks, payload_len + 8)) {
    cell_bytes_copy(at, key, ks);
    cell_write(at + ks, payload_len, payload, type, bgd_color, color);
  }
}

void packed_group_add(PackedGroup* g, DataMsg* key, DataMsg* value) {
  packed_group_put(g, key, value);
  cell_free(key);
  cell_free(value);
}

static void store_u16(uint8_t* p, uint32_t v) {
  p[0] = (uint8_t)v;
  p[1] = (uint8_t)(v >> 8);
}

// One group at *offset, as payload_pack_list packs its list: 0, or -1 with
// the entries that fit copied and the same messages.
static int finish_group(const PackedGroup* g, uint8_t* out, uint32_t* offset) {
  const uint32_t cap = kRowPayloadCapacity;
  const uint32_t at = *offset;
  if (at > cap - 2) {
    orvane_log(">>>buf_capacity < 2 || *offset + 2 > buf_capacity");
    return -1;
  }
  uint32_t w = at + 2, body = 0, i = 0;
  for (; i < g->entries; i++) {
    uint32_t n = (uint32_t)g->sizes[i][0] + g->sizes[i][1];
    if (w + n > cap) break;
    w += n;
    body += n;
  }
  memcpy(out + at + 2, g->body, body);
  store_u16(out + at, body);
  *offset = w;
  if (i == g->entries && !g->cut) return 0;
  const uint16_t* sizes = i < g->entries ? g->sizes[i] : g->cutSizes;
  orvane_log(
      "*offset = %d, key_size = %d, value_size = %d, desc_size = %d, buf_capacity = %d", (int)w,
      (int)sizes[0], (int)sizes[1], 0, (int)cap);
  orvane_log("缓冲区不足，释放剩余节点");
  return -1;
}

uint32_t packed_row_finish(const PackedRow* row, uint8_t* out) {
  const PackedGroup* in = &row->infos;
  const PackedGroup* va = &row->values;
  if (!in->cut && !va->cut && 6 + in->bytes + va->bytes <= kRowPayloadCapacity) {
    // Everything fits (the common case): no entry needs to be looked at.
    out[0] = kRowPayloadMarker0;
    out[1] = kRowPayloadMarker1;
    store_u16(out + 2, in->bytes);
    memcpy(out + 4, in->body, in->bytes);
    store_u16(out + 4 + in->bytes, va->bytes);
    memcpy(out + 6 + in->bytes, va->body, va->bytes);
    return 6 + in->bytes + va->bytes;
  }
  out[0] = 0;
  out[1] = 0;
  uint32_t off = 2;
  if (finish_group(&row->infos, out, &off) != 0) return off;
  if (finish_group(&row->values, out, &off) == 0) {
    out[0] = kRowPayloadMarker0;
    out[1] = kRowPayloadMarker1;
  }
  return off;
}
