// The child index of a row store: for every parent row (0 = the root) the
// ordered list of its children and the sub-list that the attribute filter
// lets through.
//
// Captures have tens of millions of rows, so nothing of the index lives on
// the heap per parent. Its structures sit in a nameless scratch file in the
// data directory that is mapped into memory (file pages, written back and
// dropped by the system under pressure, gone when the store closes):
//
//   1. A parent's slot (4 bytes) is found directly from its row number
//      through pages of 16,384 slots; the heap holds only the page table.
//   2. A slot is empty, holds one child inline (the common "packet with one
//      detail row"; the child as its distance from the parent), or holds
//      the offset of the parent's ChildList.
//   3. A list's visible children are the list of all children itself while
//      the filter hides none of them (count_visible == count_all); only a
//      list that hides some keeps a separate visible array.
//   4. Arrays of up to 16,384 children are one block that doubles from 4;
//      longer arrays are chunks of 16,384 behind a chunk table, so a list of
//      millions never copies itself when it grows.
//   5. Child flags are kept for the root's list only: it is the one list
//      that is ever rebuilt under a new filter; every other list keeps the
//      visible set it had and tests each new child once, when appended.
//
// The capacity a list reports follows the rule 4, 8, ... 16,384 (doubling
// while at most 10,000), then +10,000 per step; it is derived from the
// count, so no list stores it.
//
// Every operation that changes the index first makes room for everything it
// may allocate, disk space included (the file is written through its view);
// when the scratch file cannot grow it fails and changes nothing. Not
// thread-safe: the row store calls it under its child lock.
#pragma once

#include <cstdint>

#include "os/mapped_file.h"

// One parent's children, in the scratch file (the index's map value).
struct ChildList {
  uint32_t parent;         // the key: parent row number, 0 for the root
  uint32_t count_all;      // children appended under this parent
  uint32_t count_visible;  // of those, the ones the list's filter lets through
  uint32_t filter;         // mask in force when the visible list was last built
  uint64_t all;            // array of all child row numbers, ascending
  uint64_t visible;        // array of the visible ones; unused while equal to `all`
};
static_assert(sizeof(ChildList) == 32, "ChildList is packed in 32 bytes");

enum { kChildArenaClasses = 40 };

// The index of one row store.
struct ChildIndex {
  char* dir;                                  // where the scratch file is made
  os_file file;                               // scratch file, OS_FILE_INVALID until first use
  uint8_t* base;                              // view of the whole scratch file
  uint64_t size;                              // scratch file and view size
  uint64_t used;                              // bytes handed out from the start of the file
  uint64_t reserved;                          // bytes from the start with disk space reserved
  uint64_t free_head[kChildArenaClasses];     // freed blocks by power-of-two size
  uint64_t* pages;                            // heap table: offset of each slot page or 0
  uint32_t page_count;                        // entries in `pages`
  uint64_t root_flags;                        // array of the root children's flags
  uint32_t mask;                              // filter mask new children are tested against
};

// Prepares an empty index whose scratch file will live in `dir`; -1 when
// out of memory. The scratch file is made on the first child.
int child_index_init(ChildIndex* ix, const char* dir, uint32_t mask);
// Frees everything; the index must be initialised again before use.
void child_index_destroy(ChildIndex* ix);
// Removes every list (the scratch file goes back to nothing).
void child_index_clear(ChildIndex* ix);

// Appends `child` under `parent`, visible when `flags` pass the current
// mask. 0, or -1 when the scratch file cannot grow (nothing is changed).
int child_index_add(ChildIndex* ix, uint32_t parent, uint32_t child, uint32_t flags);
// Records the mask for new children and rebuilds the root's visible list if
// it was built with another mask. -1 when the rebuild lacked room: the root
// keeps its old visible list and will be rebuilt by the next call.
int child_index_set_filter(ChildIndex* ix, uint32_t mask);

// Number of visible children (0 when the parent has none).
uint32_t child_index_count(const ChildIndex* ix, uint32_t parent);
// Number of all children, hidden ones included.
uint32_t child_index_total(const ChildIndex* ix, uint32_t parent);
// Visible child at `pos`, or 0xFFFFFFFF.
uint32_t child_index_at(const ChildIndex* ix, uint32_t parent, uint32_t pos);
// Up to `n` visible children from position `pos` into `out`; the number written.
uint32_t child_index_range(const ChildIndex* ix, uint32_t parent, uint32_t pos, uint32_t n,
                           uint32_t* out);
// Position of `child` among the visible children (bisection), or 0xFFFFFFFF.
uint32_t child_index_find(const ChildIndex* ix, uint32_t parent, uint32_t child);
// Capacity of the parent's list by the growth rule; 0 when it has none.
uint32_t child_index_capacity(const ChildIndex* ix, uint32_t parent);
// Bytes of the scratch file in use (for measurements).
uint64_t child_index_scratch_bytes(const ChildIndex* ix);
