// Display record lists: the rows that the decoders build and the stores keep.
// A list owns its nodes, its pairs and the cells they point to; it is handed
// from producer to consumer by pointer and the producer forgets it.
//
// Headers, nodes, pairs, chain links and cells all come from the cell pool:
// make them only with the functions here and in display_cell.h, and release
// them only with the free functions (never with free()).
#pragma once

#include <cstdint>

#include "decode/cells/display_cell.h"

struct kvPair {
  DataMsg* key;
  DataMsg* value;
  DataMsg* desc;  // null except in descriptor tables
};

struct kvNode {
  kvPair* pair;
  kvNode* next;
};

struct kvLinkedList {
  kvNode* head;
  kvNode* tail;
  uint64_t count;
};

// One table of a chain: its title row and its field rows.
struct kvListPair {
  kvLinkedList* title;
  kvLinkedList* table;
  kvListPair* next;
};

// A new empty list, or null when memory runs out.
kvLinkedList* kvlist_new(void);
// Appends {key, value, no desc}. Creates the list first when *list is null.
// Returns 0, or -1 (nothing appended, the cells stay the caller's) when list,
// key or value is null or memory runs out.
int kvlist_append(kvLinkedList** list, DataMsg* key, DataMsg* value);
// The same with a description; all three cells are required.
int kvlist_append_desc(kvLinkedList** list, DataMsg* key, DataMsg* value, DataMsg* desc);
// Moves every node of src to the end of dst; src stays as an empty header.
// Returns 0, or -1 when either is null.
int kvlist_concat(kvLinkedList* dst, kvLinkedList* src);

void kvpair_free(kvPair* pair);               // its cells and itself
void kvnode_free(kvNode* node);               // its pair and itself (not next)
void kvlist_free(kvLinkedList* list);         // everything it owns and the header
void kvlistpair_free(kvListPair* node);       // both lists and the node (not next)
void kvlistpair_chain_free(kvListPair* head); // the whole chain

// Wraps {*title, *table} in a new kvListPair appended at the end of *chain and
// sets *title and *table to null. Returns 0, or -1 when memory runs out (the
// lists are then freed).
int kvlist_move_table_pair(kvListPair** chain, kvLinkedList** title, kvLinkedList** table);
