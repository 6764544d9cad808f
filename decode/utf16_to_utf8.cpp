// UTF-16 to UTF-8 for string descriptors. Units are converted one by one
// rather than decoding surrogate pairs: a device may send unpaired surrogates,
// and a per-unit rule never has to reject or look ahead.
#include "decode/utf16_to_utf8.h"

size_t utf16_units_to_utf8(const uint8_t* units, size_t max_units, char* out) {
  size_t n = 0;
  for (size_t i = 0; i < max_units; i++) {
    uint16_t u = (uint16_t)(units[2 * i] | (units[2 * i + 1] << 8));
    if (u == 0) break;
    if (u < 0x80) {
      out[n++] = (char)u;
    } else if (u < 0x800) {
      out[n++] = (char)(0xC0 | (u >> 6));
      out[n++] = (char)(0x80 | (u & 0x3F));
    } else {
      out[n++] = (char)(0xE0 | (u >> 12));
      out[n++] = (char)(0x80 | ((u >> 6) & 0x3F));
      out[n++] = (char)(0x80 | (u & 0x3F));
    }
  }
  return n;
}
