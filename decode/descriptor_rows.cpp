// Row builders of the request and descriptor tables. All tables share one
// layout so the parse view can paint them with one delegate: a title row
// (key only) and a three-column list whose rows always carry three cells.
#include "decode/descriptor_rows.h"

#include <cstdio>
#include <cstring>

void table_begin(TableBuild* t) {
  t->title = nullptr;
  t->table = nullptr;
  table_row(t, cell_word(W_FIELD, kHeaderBgd, kHeaderText),
            cell_word(W_VALUE, kHeaderBgd, kHeaderText),
            cell_word(W_DESCRIPTION, kHeaderBgd, kHeaderText));
}

// Appends to *list with the empty cell in place of any null cell.
static void append_row(kvLinkedList** list, DataMsg* key, DataMsg* value, DataMsg* desc) {
  if (!key) key = cell_empty();
  if (!value) value = cell_empty();
  if (!desc) desc = cell_empty();
  if (kvlist_append_desc(list, key, value, desc) != 0) {
    cell_free(key);
    cell_free(value);
    cell_free(desc);
  }
}

void table_row(TableBuild* t, DataMsg* key, DataMsg* value, DataMsg* desc) {
  append_row(&t->table, key, value, desc);
}

void table_finish(TableBuild* t, const char* title, kvListPair** chain) {
  append_row(&t->title, title ? cell_text(title, kTitleBgd, kTitleText) : nullptr, nullptr,
             nullptr);
  if (!t->title || !t->table || kvlist_move_table_pair(chain, &t->title, &t->table) != 0) {
    // Out of memory somewhere: drop this table rather than leave half of it.
    kvlist_free(t->title);
    kvlist_free(t->table);
  }
  t->title = nullptr;
  t->table = nullptr;
}

DataMsg* field_key(const char* name) { return cell_text(name, 0, kFieldText); }
DataMsg* field_key_word(uint8_t word) { return cell_word(word, 0, kFieldText); }

DataMsg* sub_key(const char* name) {
  char text[64];
  snprintf(text, sizeof text, "%s%s", "     ", name);
  return cell_text(text, 0, 0);
}

DataMsg* field_hex8(uint8_t v) {
  char text[8];
  snprintf(text, sizeof text, "0x%02x", v);
  return cell_text(text, 0, kFieldText);
}

DataMsg* field_hex16(uint16_t v) {
  char text[8];
  snprintf(text, sizeof text, "0x%04x", v);
  return cell_text(text, 0, kFieldText);
}

DataMsg* sub_u8(uint8_t v) { return cell_u8(v, 0, 0); }

DataMsg* sub_dec(uint32_t v) {
  char text[16];
  snprintf(text, sizeof text, "%u", v);
  return cell_text(text, 0, 0);
}

DataMsg* desc_text(const char* text) { return text ? cell_text(text, 0, kFieldText) : nullptr; }

void field_row8(TableBuild* t, DataMsg* key, uint8_t v, const char* desc) {
  table_row(t, key, field_hex8(v), desc_text(desc));
}

void field_row16(TableBuild* t, DataMsg* key, uint16_t v, const char* desc) {
  table_row(t, key, field_hex16(v), desc_text(desc));
}
