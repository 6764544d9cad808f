// Debug dump of one display cell to the engine log.
#include <cstdio>
#include <cstring>

#include "decode/data_parse.h"
#include "decode/usb_packet.h"
#include "os/log.h"

void print_data_msg(const DataMsg* cell) {
  orvane_log(">>>print_data_msg start<<<");
  if (!cell) {
    orvane_log(">>>print_data_msg end<<<\n\n");
    return;
  }
  uint32_t n = cell->len >= 2 ? (uint32_t)cell->len - 2 : 0;
  orvane_log("type = %d", cell->type);
  orvane_log("len = %d", cell->len);
  char text[1024];
  text[0] = 0;
  switch (cell->type) {
    case D_WORD:
      orvane_log("data->data[0] = %d", n ? cell->data[0] : 0);
      if (n && cell->data[0] >= 1 && cell->data[0] <= kWordCount)
        snprintf(text, sizeof text, "%s", kWordTable[cell->data[0] - 1]);
      break;
    case D_STRING:
      snprintf(text, sizeof text, "%.*s", (int)(n < sizeof text - 1 ? n : sizeof text - 1),
               (const char*)cell->data);
      break;
    case D_U8:
      if (n >= 1) snprintf(text, sizeof text, "%d", cell->data[0]);
      break;
    case D_U16:
      if (n >= 2) snprintf(text, sizeof text, "%d", cell->data[0] | (cell->data[1] << 8));
      break;
    case D_U32:
      if (n >= 4) {
        uint32_t v;
        memcpy(&v, cell->data, 4);
        snprintf(text, sizeof text, "%d", (int)v);
      }
      break;
    case D_HEX:
      usb_hex_text(cell->data, n, text, sizeof text);
      break;
    case D_NULL:
      snprintf(text, sizeof text, ">>>D_NULL");
      break;
    default:
      break;
  }
  orvane_log("data = %s", text);
  orvane_log("bgdColorIndex = %d", cell->bgdColorIndex);
  if (cell->bgdColorIndex && cell->bgdColorIndex <= kColorCount)
    orvane_log("bgdcolor = %s", kColorTable[cell->bgdColorIndex - 1]);
  orvane_log("colorIndex = %d", cell->colorIndex);
  if (cell->colorIndex && cell->colorIndex <= kColorCount)
    orvane_log("color = %s", kColorTable[cell->colorIndex - 1]);
  orvane_log(">>>print_data_msg end<<<\n\n");
}
