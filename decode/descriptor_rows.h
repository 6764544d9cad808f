// Row builders shared by the request table and the descriptor tables: every
// table is a title row plus a "Field" | "Value" | "Description" list, with one
// colour scheme for fields and none for sub-fields.
#pragma once

#include <cstdint>

#include "decode/cells/kv_list.h"

// Colour roles of the tables (indices into kColorTable).
enum : uint8_t {
  kTitleBgd = COLOR_TITLE_BGD,     // title row background
  kTitleText = COLOR_TITLE_TEXT,   // title row text
  kHeaderBgd = COLOR_HEADER_BGD,   // column header background
  kHeaderText = COLOR_TITLE_TEXT,  // column header text
  kFieldText = COLOR_FIELD_TEXT,   // field keys, values and all descriptions
};

// One table while it is being built; both lists start null.
struct TableBuild {
  kvLinkedList* title;  // the single title row
  kvLinkedList* table;  // column header, then field rows
};

// Starts a table: clears *t and appends the column header row.
void table_begin(TableBuild* t);
// Appends {key, value, desc}; a null cell becomes the empty cell. On failure
// the cells are freed, so the caller never keeps ownership.
void table_row(TableBuild* t, DataMsg* key, DataMsg* value, DataMsg* desc);
// Appends the title row (title null: a row of empty cells) and moves the pair
// to the end of *chain; *t is cleared either way.
void table_finish(TableBuild* t, const char* title, kvListPair** chain);

// Field key: the name [0/33]; the _word form for names the word table holds
// (one byte of payload instead of the text).
DataMsg* field_key(const char* name);
DataMsg* field_key_word(uint8_t word);
// Sub-field key: five blanks and the name, no colours.
DataMsg* sub_key(const char* name);
// Field values: "0x%02x" and "0x%04x" [0/33].
DataMsg* field_hex8(uint8_t v);
DataMsg* field_hex16(uint16_t v);
// Sub-field values without colours: a D_U8 number, or "%d" text for wider ones.
DataMsg* sub_u8(uint8_t v);
DataMsg* sub_dec(uint32_t v);
// Description text [0/33]; null (the empty cell) when text is null.
DataMsg* desc_text(const char* text);

// The usual three field rows: "0x%02x" or "0x%04x" value with a description.
void field_row8(TableBuild* t, DataMsg* key, uint8_t v, const char* desc);
void field_row16(TableBuild* t, DataMsg* key, uint16_t v, const char* desc);
