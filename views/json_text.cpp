// JSON string escaping with a UTF-8 check.
#include "views/json_text.h"

#include <cstdint>

// Length of the valid UTF-8 sequence at s (at most n bytes), or 0.
static size_t utf8_valid_length(const unsigned char* s, size_t n) {
  unsigned char c = s[0];
  size_t len;
  uint32_t cp;
  if (c >= 0xC2 && c <= 0xDF) {
    len = 2;
    cp = c & 0x1F;
  } else if (c >= 0xE0 && c <= 0xEF) {
    len = 3;
    cp = c & 0x0F;
  } else if (c >= 0xF0 && c <= 0xF4) {
    len = 4;
    cp = c & 0x07;
  } else {
    return 0;
  }
  if (len > n) return 0;
  for (size_t i = 1; i < len; i++) {
    if ((s[i] & 0xC0) != 0x80) return 0;
    cp = (cp << 6) | (s[i] & 0x3F);
  }
  // No overlong forms, no surrogates, nothing above U+10FFFF.
  if ((len == 3 && cp < 0x800) || (len == 4 && (cp < 0x10000 || cp > 0x10FFFF))) return 0;
  if (cp >= 0xD800 && cp <= 0xDFFF) return 0;
  return len;
}

void json_append_string(std::string& out, const char* text, size_t n) {
  static const char hex[] = "0123456789abcdef";
  const unsigned char* s = (const unsigned char*)text;
  out.push_back('"');
  size_t i = 0;
  while (i < n) {
    unsigned char c = s[i];
    if (c >= 0x80) {
      size_t len = utf8_valid_length(s + i, n - i);
      if (len) {
        out.append(text + i, len);
        i += len;
        continue;
      }
    }
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      case '\b': out += "\\b"; break;
      case '\f': out += "\\f"; break;
      default:
        if (c < 0x20 || c >= 0x80) {
          out += "\\u00";
          out.push_back(hex[c >> 4]);
          out.push_back(hex[c & 0xF]);
        } else {
          out.push_back((char)c);
        }
    }
    i++;
  }
  out.push_back('"');
}
