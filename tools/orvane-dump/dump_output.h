// Printing one view: the rows of a row store walked as a fully expanded tree
// view shows them (visible top-level rows in order, each followed by its
// visible children, depth first).
#pragma once

#include <cstdint>
#include <cstdio>

struct RowStore;

// Prints every visible row of `store` to `out`, as JSON Lines when `json`
// is set, else as indented text. `with_desc`: entries carry descriptions
// (the descriptor view). Returns the number of rows printed.
uint64_t dump_view(RowStore* store, int with_desc, int json, FILE* out);
