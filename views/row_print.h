// Rows as text: one row's payload as an indented text line or a JSON line,
// and a whole view walked as a fully expanded tree view shows it (visible
// top-level rows in order, each followed by its visible children, depth
// first). orvane-dump prints with it; tests compare views with it.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

struct RowTree;

// Where a row sits; printed in front of its cells.
struct RowPlace {
  uint32_t row;     // row number
  uint32_t parent;  // parent row number, 0 at the top level
  int level;        // 0 top, 1 second, 2 third
  uint32_t attr;    // the row's attribute flags
};

// Appends one row (its `len` payload bytes; 0 for a row without payload) to
// `out`, ending in a newline: JSON when `json` is set, else indented text.
// `with_desc`: entries carry descriptions (the descriptor view).
void row_print_line(std::string& out, const RowPlace& place, const uint8_t* payload, uint32_t len,
                    int with_desc, int json);

// Prints every visible row of `tree` to `out`. Returns the number of rows
// printed.
uint64_t row_tree_print(RowTree* tree, int with_desc, int json, FILE* out);
