// String descriptor text: UTF-16LE code units to UTF-8, one unit at a time.
#pragma once

#include <cstddef>
#include <cstdint>

// Converts up to `max_units` little-endian units from `units` (2 * max_units
// readable bytes), stopping at the first zero unit. Each unit is encoded on its
// own: below 0x80 one byte, below 0x800 two, otherwise three (so a surrogate
// pair becomes two three-byte sequences). `out` needs 3 * max_units bytes; no
// terminator is written. Returns the bytes written.
size_t utf16_units_to_utf8(const uint8_t* units, size_t max_units, char* out);
