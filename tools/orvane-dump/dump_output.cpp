// Row printing for orvane-dump.
#include "tools/orvane-dump/dump_output.h"

#include <cstring>
#include <string>

#include "decode/cells/display_cell.h"
#include "store/row_payload.h"
#include "store/row_store.h"
#include "tools/orvane-dump/json_text.h"

enum { kMaxDepth = 8, kTextCap = 16384 };

namespace {

struct Printer {
  RowStore* store;
  int withDesc;
  int json;
  FILE* out;
  uint64_t rows;
  std::string line;
  uint8_t payload[kRowPayloadCapacity + 8];
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
  p->line.append(s, n);
}

void group_json(Printer* p, const PayloadGroup* g) {
  p->line += '[';
  PayloadCursor cur;
  payload_cursor_init(&cur, g, p->withDesc);
  PayloadEntry e;
  bool first = true;
  while (g->body && payload_cursor_next(&cur, &e) == 1) {
    if (!first) p->line += ',';
    first = false;
    p->line += '[';
    size_t n = cell_text_of(p, e.key);
    json_append_string(p->line, p->text, n);
    p->line += ',';
    n = cell_text_of(p, e.value);
    json_append_string(p->line, p->text, n);
    if (e.desc) {
      p->line += ',';
      n = cell_text_of(p, e.desc);
      json_append_string(p->line, p->text, n);
    }
    p->line += ']';
  }
  p->line += ']';
}

void group_text(Printer* p, const PayloadGroup* g) {
  PayloadCursor cur;
  payload_cursor_init(&cur, g, p->withDesc);
  PayloadEntry e;
  bool first = true;
  while (g->body && payload_cursor_next(&cur, &e) == 1) {
    if (!first) p->line += "; ";
    first = false;
    append_trimmed(p, e.key);
    p->line += ": ";
    append_trimmed(p, e.value);
    if (e.desc) {
      size_t mark = p->line.size();
      p->line += " (";
      size_t before = p->line.size();
      append_trimmed(p, e.desc);
      if (p->line.size() == before)
        p->line.resize(mark);  // no description: nothing to show
      else
        p->line += ')';
    }
  }
}

void print_row(Printer* p, uint32_t row, int level) {
  IndexEntry entry;
  if (!rowstore_get_entry(p->store, row, &entry)) return;
  uint32_t len = rowstore_read_value(p->store, row, p->payload, sizeof p->payload);
  PayloadView view;
  memset(&view, 0, sizeof view);
  if (len) payload_unpack(p->payload, len, &view);
  p->line.clear();
  char head[160];
  if (p->json) {
    snprintf(head, sizeof head, "{\"row\":%u,\"parent\":%u,\"level\":%d,\"attr\":%u,\"complete\":%s,",
             row, entry.parent, level, entry.attr_flags, view.marked ? "true" : "false");
    p->line += head;
    p->line += "\"infos\":";
    group_json(p, &view.infos);
    p->line += ",\"values\":";
    group_json(p, &view.values);
    p->line += "}\n";
  } else {
    p->line.append((size_t)level * 2, ' ');
    snprintf(head, sizeof head, "#%u ", row);
    p->line += head;
    group_text(p, &view.infos);
    p->line += " | ";
    group_text(p, &view.values);
    if (!view.marked) p->line += " (incomplete)";
    p->line += '\n';
  }
  fwrite(p->line.data(), 1, p->line.size(), p->out);
  p->rows++;
}

void walk(Printer* p, uint32_t parent, int level) {
  uint32_t count = tree_child_count(p->store, parent);
  for (uint32_t i = 0; i < count; i++) {
    uint32_t row = tree_child_at(p->store, parent, i);
    if (row == 0xFFFFFFFFu) break;
    print_row(p, row, level);
    if (level + 1 < kMaxDepth) walk(p, row, level + 1);
  }
}

}  // namespace

uint64_t dump_view(RowStore* store, int with_desc, int json, FILE* out) {
  Printer* p = new Printer();
  p->store = store;
  p->withDesc = with_desc;
  p->json = json;
  p->out = out;
  p->rows = 0;
  walk(p, 0, 0);
  uint64_t rows = p->rows;
  delete p;
  return rows;
}
