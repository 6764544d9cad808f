// Stand-in for the row packer until store/row_payload.h is merged: the same
// byte layout (marker, Infos group, Values group), lists consumed.
#pragma once

#include <cstdlib>
#include <cstring>

#include "decode/cells/cell_pool.h"
#include "decode/cells/kv_list.h"
#include "os/log.h"

static inline int fallback_pack_list(kvLinkedList* list, uint8_t* buf, uint32_t* offset) {
  if (!list || !buf || !offset) return -1;
  if (*offset > 4094) {
    kvlist_free(list);
    return -1;
  }
  uint32_t p = *offset;
  *offset = p + 2;
  uint32_t sum = 0;
  kvNode* n = list->head;
  list->head = list->tail = nullptr;
  int ok = 0;
  while (n) {
    kvNode* next = n->next;
    kvPair* pair = n->pair;
    if (pair && ok == 0) {
      DataMsg* cells[3] = {pair->key, pair->value, pair->desc};
      uint32_t need = 0;
      for (DataMsg* c : cells)
        if (c) need += (uint32_t)cell_size(c);
      if (*offset + need > 4096) {
        ok = -1;
      } else {
        for (DataMsg* c : cells)
          if (c) {
            memcpy(buf + *offset, c, cell_size(c));
            *offset += (uint32_t)cell_size(c);
          }
        sum += need;
      }
    }
    kvpair_free(pair);
    cell_pool_free(n);
    n = next;
  }
  list->count = 0;
  kvlist_free(list);
  if (ok == 0) {
    buf[p] = (uint8_t)sum;
    buf[p + 1] = (uint8_t)(sum >> 8);
  }
  return ok;
}

static inline uint32_t payload_pack_row(kvLinkedList* infos, kvLinkedList* values, uint8_t* buf) {
  buf[0] = buf[1] = 0;
  uint32_t off = 2;
  if (fallback_pack_list(infos, buf, &off) != 0) {
    kvlist_free(values);
    return off;
  }
  if (!values) exit(-1);
  if (fallback_pack_list(values, buf, &off) == 0) {
    buf[0] = 0xA5;
    buf[1] = 0x5A;
  }
  return off;
}
