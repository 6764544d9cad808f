// Row printing for orvane-dump and the tests.
#include "views/row_print.h"

#include <cstring>

#include "decode/cells/display_cell.h"
#include "decode/cells/row_payload.h"
#include "views/json_text.h"
#include "views/row_tree.h"

enum { kMaxDepth = 8, kTextCap = 16384 };

namespace {

struct Printer {
  std::string* line;
  int withDesc;
  char text[kTextCap];
};

size_t cell_text_of(Printer* p, const DataMsg* cell) {
  const char *bg, *fg;
  size_t n = cell_to_text(cell, p->text, sizeof p->text, &bg, &fg);
  return n < sizeof p->text ? n : sizeof p->text - 1;
}

// The text of a cell with the blanks around it trimmed (for people).
void append_trimmed(Printer* p, const DataMsg* cell) {
  size_t n = cell_text_of(p, cell);
  const char* s = p->text;
  while (n && (*s == ' ')) s++, n--;
  while (n && s[n - 1] == ' ') n--;
  p->line->append(s, n);
}

void group_json(Printer* p, const PayloadGroup* g) {
  std::string& line = *p->line;
  line += '[';
  PayloadCursor cur;
  payload_cursor_init(&cur, g, p->withDesc);
  PayloadEntry e;
  bool first = true;
  while (g->body && payload_cursor_next(&cur, &e) == 1) {
    if (!first) line += ',';
    first = false;
    line += '[';
    size_t n = cell_text_of(p, e.key);
    json_append_string(line, p->text, n);
    line += ',';
    n = cell_text_of(p, e.value);
    json_append_string(line, p->text, n);
    if (e.desc) {
      line += ',';
      n = cell_text_of(p, e.desc);
      json_append_string(line, p->text, n);
    }
    line += ']';
  }
  line += ']';
}

void group_text(Printer* p, const PayloadGroup* g) {
  std::string& line = *p->line;
  PayloadCursor cur;
  payload_cursor_init(&cur, g, p->withDesc);
  PayloadEntry e;
  bool first = true;
  while (g->body && payload_cursor_next(&cur, &e) == 1) {
    if (!first) line += "; ";
    first = false;
    append_trimmed(p, e.key);
    line += ": ";
    append_trimmed(p, e.value);
    if (e.desc) {
      size_t mark = line.size();
      line += " (";
      size_t before = line.size();
      append_trimmed(p, e.desc);
      if (line.size() == before)
        line.resize(mark);  // no description: nothing to show
      else
        line += ')';
    }
  }
}

struct Walk {
  RowTree* tree;
  FILE* out;
  int withDesc;
  int json;
  uint64_t rows;
  std::string line;
  uint8_t payload[kRowPayloadCapacity + 8];
};

void walk(Walk* w, uint32_t parent, int level) {
  uint32_t count = row_tree_child_count(w->tree, parent);
  for (uint32_t i = 0; i < count; i++) {
    uint32_t row = row_tree_child_at(w->tree, parent, i);
    if (row == 0xFFFFFFFFu) break;
    IndexEntry entry;
    if (row_tree_entry(w->tree, row, &entry)) {
      uint32_t len = row_tree_payload(w->tree, row, w->payload, sizeof w->payload);
      w->line.clear();
      row_print_line(w->line, RowPlace{row, entry.parent, level, entry.attr_flags}, w->payload, len,
                     w->withDesc, w->json);
      fwrite(w->line.data(), 1, w->line.size(), w->out);
      w->rows++;
    }
    if (level + 1 < kMaxDepth) walk(w, row, level + 1);
  }
}

}  // namespace

void row_print_line(std::string& out, const RowPlace& place, const uint8_t* payload, uint32_t len,
                    int with_desc, int json) {
  Printer printer;  // 16 KiB of text space on the stack: no allocation per row
  Printer* p = &printer;
  p->line = &out;
  p->withDesc = with_desc;
  PayloadView view;
  memset(&view, 0, sizeof view);
  if (len && payload) payload_unpack(payload, len, &view);
  char head[160];
  if (json) {
    snprintf(head, sizeof head, "{\"row\":%u,\"parent\":%u,\"level\":%d,\"attr\":%u,\"complete\":%s,",
             place.row, place.parent, place.level, place.attr, view.marked ? "true" : "false");
    out += head;
    out += "\"infos\":";
    group_json(p, &view.infos);
    out += ",\"values\":";
    group_json(p, &view.values);
    out += "}\n";
  } else {
    out.append((size_t)place.level * 2, ' ');
    snprintf(head, sizeof head, "#%u ", place.row);
    out += head;
    group_text(p, &view.infos);
    out += " | ";
    group_text(p, &view.values);
    if (!view.marked) out += " (incomplete)";
    out += '\n';
  }
}

uint64_t row_tree_print(RowTree* tree, int with_desc, int json, FILE* out) {
  Walk* w = new Walk();
  w->tree = tree;
  w->out = out;
  w->withDesc = with_desc;
  w->json = json;
  walk(w, 0, 0);
  uint64_t rows = w->rows;
  delete w;
  return rows;
}
