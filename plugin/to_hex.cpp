// Hex text of packet bytes, in the form the library and its example host print.
#include "plugin/plugin_internal.h"

void to_hex(const unsigned char* bytes, int length, char* out) {
  static const char kDigits[] = "0123456789ABCDEF";
  char* p = out;
  for (int i = 0; i < length; ++i) {
    if (i > 0) *p++ = ' ';
    *p++ = kDigits[bytes[i] >> 4];
    *p++ = kDigits[bytes[i] & 0x0F];
  }
  *p = 0;
}
