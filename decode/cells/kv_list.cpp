// Display record lists: append, concatenate, free and the chain of tables.
// Headers, nodes, pairs and chain links come from the cell pool like cells;
// a node and its pair are one pool block.
#include "decode/cells/kv_list.h"

#include "decode/cells/cell_pool.h"

kvLinkedList* kvlist_new(void) {
  kvLinkedList* l = (kvLinkedList*)cell_pool_alloc(sizeof(kvLinkedList));
  if (!l) return nullptr;
  l->head = nullptr;
  l->tail = nullptr;
  l->count = 0;
  return l;
}

// Links a new node for {key, value, desc}; nothing is linked on failure.
static int append_pair(kvLinkedList** list, DataMsg* key, DataMsg* value, DataMsg* desc) {
  kvLinkedList* l = *list;
  int created = 0;
  if (!l) {
    l = kvlist_new();
    if (!l) return -1;
    created = 1;
  }
  // Node and pair share one block: kvnode_free releases the pair (a no-op
  // for the memory) before the node, which returns both.
  void* inner = nullptr;
  kvNode* node = (kvNode*)cell_pool_alloc_pair(sizeof(kvNode), sizeof(kvPair), &inner);
  kvPair* pair = (kvPair*)inner;
  if (!node) {
    if (created) cell_pool_free(l);
    return -1;
  }
  pair->key = key;
  pair->value = value;
  pair->desc = desc;
  node->pair = pair;
  node->next = nullptr;
  if (l->tail)
    l->tail->next = node;
  else
    l->head = node;
  l->tail = node;
  l->count++;
  *list = l;
  return 0;
}

int kvlist_append(kvLinkedList** list, DataMsg* key, DataMsg* value) {
  if (!list || !key || !value) return -1;
  return append_pair(list, key, value, nullptr);
}

int kvlist_append_desc(kvLinkedList** list, DataMsg* key, DataMsg* value, DataMsg* desc) {
  if (!list || !key || !value || !desc) return -1;
  return append_pair(list, key, value, desc);
}

int kvlist_concat(kvLinkedList* dst, kvLinkedList* src) {
  if (!dst || !src) return -1;
  if (dst == src || !src->head) return 0;
  if (dst->tail)
    dst->tail->next = src->head;
  else
    dst->head = src->head;
  dst->tail = src->tail;
  dst->count += src->count;
  src->head = nullptr;
  src->tail = nullptr;
  src->count = 0;
  return 0;
}

void kvpair_free(kvPair* pair) {
  if (!pair) return;
  cell_free(pair->key);
  cell_free(pair->value);
  cell_free(pair->desc);
  cell_pool_free(pair);
}

void kvnode_free(kvNode* node) {
  if (!node) return;
  kvpair_free(node->pair);
  cell_pool_free(node);
}

void kvlist_free(kvLinkedList* list) {
  if (!list) return;
  kvNode* n = list->head;
  while (n) {
    kvNode* next = n->next;
    kvnode_free(n);
    n = next;
  }
  cell_pool_free(list);
}

void kvlistpair_free(kvListPair* node) {
  if (!node) return;
  kvlist_free(node->title);
  kvlist_free(node->table);
  cell_pool_free(node);
}

void kvlistpair_chain_free(kvListPair* head) {
  while (head) {
    kvListPair* next = head->next;
    kvlistpair_free(head);
    head = next;
  }
}

int kvlist_move_table_pair(kvListPair** chain, kvLinkedList** title, kvLinkedList** table) {
  kvLinkedList* t = title ? *title : nullptr;
  kvLinkedList* v = table ? *table : nullptr;
  if (title) *title = nullptr;
  if (table) *table = nullptr;
  kvListPair* node = chain ? (kvListPair*)cell_pool_alloc(sizeof(kvListPair)) : nullptr;
  if (!node) {
    kvlist_free(t);
    kvlist_free(v);
    return -1;
  }
  node->title = t;
  node->table = v;
  node->next = nullptr;
  kvListPair** at = chain;
  while (*at) at = &(*at)->next;
  *at = node;
  return 0;
}
