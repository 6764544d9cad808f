// Parsing a row payload into the delegates' fixed arrays (no allocation).
#include "views/qt/parsed_row.h"

#include "decode/cells/display_cell.h"
#include "decode/cells/row_payload.h"

namespace {

// Cuts a text that was cut to its capacity back to the last whole UTF-8 character.
void trim_partial_char(char* text, size_t n) {
  size_t i = n;
  while (i > 0 && ((uint8_t)text[i - 1] & 0xC0) == 0x80) i--;  // continuation bytes
  if (i == 0) return;
  uint8_t lead = (uint8_t)text[i - 1];
  size_t want = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 1;
  if (n - (i - 1) < want) text[i - 1] = '\0';
}

template <size_t Cap>
void convert(const DataMsg* cell, ParsedText<Cap>* out) {
  size_t full = cell_to_text(cell, out->text, Cap, &out->bgd, &out->color);
  if (full >= Cap) trim_partial_char(out->text, Cap - 1);
}

// Splits the record into its groups; false when it shows nothing.
bool open_record(const uint8_t* record, uint32_t len, PayloadView* view) {
  if (!record || len == 0 || record[0] == 0) return false;
  payload_unpack(record, len, view);
  return view->marked != 0;
}

}  // namespace

int parse_pair_row(const uint8_t* record, uint32_t len, ParsedPairRow* out) {
  out->infoCount = out->valueCount = 0;
  PayloadView view;
  if (!open_record(record, len, &view)) return -1;
  PayloadEntry e[ParsedPairRow::kValues];
  out->infoCount = payload_group_entries(&view.infos, 0, e, ParsedPairRow::kInfos, nullptr);
  for (uint32_t i = 0; i < out->infoCount; i++) {
    convert(e[i].key, &out->infos[i].key);
    convert(e[i].value, &out->infos[i].value);
  }
  out->valueCount = payload_group_entries(&view.values, 0, e, ParsedPairRow::kValues, nullptr);
  for (uint32_t i = 0; i < out->valueCount; i++) {
    convert(e[i].key, &out->values[i].key);
    convert(e[i].value, &out->values[i].value);
  }
  return 0;
}

int parse_triple_row(const uint8_t* record, uint32_t len, ParsedTripleRow* out) {
  out->infoCount = out->valueCount = 0;
  PayloadView view;
  if (!open_record(record, len, &view)) return -1;
  PayloadEntry e[ParsedTripleRow::kValues];
  out->infoCount = payload_group_entries(&view.infos, 1, e, ParsedTripleRow::kInfos, nullptr);
  for (uint32_t i = 0; i < out->infoCount; i++) {
    convert(e[i].key, &out->infos[i].key);
    convert(e[i].value, &out->infos[i].value);
    convert(e[i].desc, &out->infos[i].desc);
  }
  out->valueCount = payload_group_entries(&view.values, 1, e, ParsedTripleRow::kValues, nullptr);
  for (uint32_t i = 0; i < out->valueCount; i++) {
    convert(e[i].key, &out->values[i].key);
    convert(e[i].value, &out->values[i].value);
    convert(e[i].desc, &out->values[i].desc);
  }
  return 0;
}
