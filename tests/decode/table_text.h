// Test support: the tables of a descriptor chain (or the rows of one list) as
// text, with their colour names, so tests read like the tables on screen.
#pragma once

#include <string>
#include <vector>

#include "decode/cells/kv_list.h"

namespace tabletext {

struct Cell {
  std::string text;
  std::string bgd;    // Qt colour name, "" for the default
  std::string color;  // Qt colour name, "" for the default
};

struct Row {
  Cell key, value, desc;  // desc.text is "<null>" when the pair has none
};

struct Table {
  Row title;
  std::vector<Row> rows;  // the column header first
};

inline Cell cell(const DataMsg* c) {
  Cell out;
  if (!c) {
    out.text = "<null>";
    return out;
  }
  char text[8192];
  const char* bgd = "";
  const char* color = "";
  cell_to_text(c, text, sizeof text, &bgd, &color);
  out.text = text;
  out.bgd = bgd ? bgd : "";
  out.color = color ? color : "";
  return out;
}

inline std::vector<Row> rows(const kvLinkedList* list) {
  std::vector<Row> out;
  if (!list) return out;
  for (const kvNode* n = list->head; n; n = n->next)
    out.push_back({cell(n->pair->key), cell(n->pair->value), cell(n->pair->desc)});
  return out;
}

inline std::vector<Table> chain(const kvListPair* head) {
  std::vector<Table> out;
  for (const kvListPair* p = head; p; p = p->next) {
    Table t;
    std::vector<Row> title = rows(p->title);
    if (title.size() == 1) t.title = title[0];
    else t.title.key.text = "<" + std::to_string(title.size()) + " title rows>";
    t.rows = rows(p->table);
    out.push_back(t);
  }
  return out;
}

// The row whose key text is `key` (the n-th such row), or null.
inline const Row* find(const Table& t, const std::string& key, int nth = 0) {
  for (const Row& r : t.rows)
    if (r.key.text == key && nth-- == 0) return &r;
  return nullptr;
}

// The description (or value) text of the row `key`, "<missing>" without one.
inline std::string desc(const Table& t, const std::string& key) {
  const Row* r = find(t, key);
  return r ? r->desc.text : "<missing>";
}
inline std::string value(const Table& t, const std::string& key) {
  const Row* r = find(t, key);
  return r ? r->value.text : "<missing>";
}

// "text[bgd/color]" of a cell: its text and colours in one comparison.
inline std::string styled(const Cell& c) { return c.text + "[" + c.bgd + "/" + c.color + "]"; }

// "key|value|desc" of a row.
inline std::string line(const Row& r) { return r.key.text + "|" + r.value.text + "|" + r.desc.text; }

// The lines of rows `first` on, for compact comparisons of whole tables.
inline std::vector<std::string> lines(const std::vector<Row>& rows, size_t first = 0) {
  std::vector<std::string> out;
  for (size_t i = first; i < rows.size(); i++) out.push_back(line(rows[i]));
  return out;
}

// The lines of the field rows of a table (header excluded).
inline std::vector<std::string> lines(const Table& t) { return lines(t.rows, 1); }

}  // namespace tabletext
