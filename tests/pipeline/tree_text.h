// Test helper: the rows of a row store as text lines, walked as a fully
// expanded view shows them: "<indent>key=value | ... || key=value | ...".
#pragma once

#include <string>
#include <vector>

#include "store/row_payload.h"
#include "store/row_store.h"
#include "tests/decode/usb_packets.h"

namespace treetext {

inline std::string group(const PayloadGroup& g, int with_desc) {
  std::string out;
  PayloadCursor cur;
  payload_cursor_init(&cur, &g, with_desc);
  PayloadEntry e;
  while (g.body && payload_cursor_next(&cur, &e) == 1) {
    if (!out.empty()) out += " | ";
    out += usbtest::cell_text(e.key) + "=" + usbtest::cell_text(e.value);
    if (e.desc) out += "=" + usbtest::cell_text(e.desc);
  }
  return out;
}

inline std::string row(RowStore* s, uint32_t r, int with_desc = 0) {
  uint8_t buf[4200];
  uint32_t n = rowstore_read_value(s, r, buf, sizeof buf);
  PayloadView v{};
  if (n) payload_unpack(buf, n, &v);
  std::string t = group(v.infos, with_desc) + " || " + group(v.values, with_desc);
  if (!v.marked) t += " (incomplete)";
  return t;
}

inline void walk(RowStore* s, uint32_t parent, int level, std::vector<std::string>& out,
                 int with_desc) {
  uint32_t n = tree_child_count(s, parent);
  for (uint32_t i = 0; i < n; i++) {
    uint32_t r = tree_child_at(s, parent, i);
    out.push_back(std::string((size_t)level * 2, ' ') + row(s, r, with_desc));
    walk(s, r, level + 1, out, with_desc);
  }
}

inline std::vector<std::string> lines(RowStore* s, int with_desc = 0) {
  std::vector<std::string> out;
  walk(s, 0, 0, out, with_desc);
  return out;
}

}  // namespace treetext
