// A row payload turned into texts and colour names for painting: the
// parsed-row arrays of the delegates. Parsing reads the payload only through
// the bounds-checked payload reader, so a damaged payload never sends it
// outside the bytes it was given; entries beyond an array's capacity are not
// parsed and texts are cut to their capacity.
#pragma once

#include <cstddef>
#include <cstdint>

enum { kShortTextCap = 64, kLongTextCap = 4096 };

// One cell as text (NUL-terminated UTF-8) with its Qt colour names ("" when
// the cell has none; the names are kColorTable's own strings).
template <size_t Cap>
struct ParsedText {
  char text[Cap];
  const char* bgd;    // background colour name
  const char* color;  // text colour name
};

// Key/value rows: the strips of the packet, transaction and data views.
struct ParsedInfoPair {
  ParsedText<kShortTextCap> key;
  ParsedText<kShortTextCap> value;
};
struct ParsedValuePair {
  ParsedText<kShortTextCap> key;
  ParsedText<kLongTextCap> value;
};
struct ParsedPairRow {
  enum { kInfos = 8, kValues = 16 };
  uint32_t infoCount;
  uint32_t valueCount;
  ParsedInfoPair infos[kInfos];
  ParsedValuePair values[kValues];
};

// Key/value/description rows: the request and descriptor tables.
struct ParsedInfoTriple {
  ParsedText<kShortTextCap> key;
  ParsedText<kShortTextCap> value;
  ParsedText<kShortTextCap> desc;
};
struct ParsedValueTriple {
  ParsedText<kShortTextCap> key;
  ParsedText<kLongTextCap> value;
  ParsedText<kLongTextCap> desc;
};
struct ParsedTripleRow {
  enum { kInfos = 8, kValues = 128 };
  uint32_t infoCount;
  uint32_t valueCount;
  ParsedInfoTriple infos[kInfos];
  ParsedValueTriple values[kValues];
};

// Parse the `len` bytes at `record`. Return 0, or -1 (and no entries) for a
// null record, a first byte 0 or a payload without its marker. Entries up to
// a damaged cell are kept.
int parse_pair_row(const uint8_t* record, uint32_t len, ParsedPairRow* out);
int parse_triple_row(const uint8_t* record, uint32_t len, ParsedTripleRow* out);
