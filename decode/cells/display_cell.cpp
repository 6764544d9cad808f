// Display cells: creation, the integrity check and the text form, plus the
// word and colour tables that cells index.
#include "decode/cells/display_cell.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "decode/cells/cell_pool.h"
#include "decode/cells/usb_crc.h"
#include "os/log.h"

const char* const kWordTable[kWordCount] = {
    "Type",      "Sof",       "Frame",   "Crc5",     "Setup",       "Addr",
    "In",        "Point",     "Out",     "Ping",     "Port",        "HubAddr",
    "SSplit",    "CSplit",    "S",       "E",        "U",           "ET",
    "Package",   "TimeStamp", "Token",   "Raw",      "Data",        "Data0",
    "Data1",     "Data2",     "MData",   "Crc16",    "HandShake",   "Ack",
    "Nak",       "Stall",     "Nyet",    "Err",      "Dir",         "\xE2\x86\x91",
    "\xE2\x86\x93", "Success", "Failed", "State",    "Split",       "Field",
    "Value",     "Description", "bmRequest", "bRequest", "wValue",  "wIndex",
    "wLength",   "bLength",   "bDescriptorType", "bcdUSB", "bDeviceClass",
};

const char* const kColorTable[kColorCount] = {
    "#5f9ea0", "#daa520", "#daa520", "#a9a9a9", "#daa520", "#daa520", "#a9a9a9", "#a9a9a9",
    "#a9a9a9", "#a9a9a9", "#000000", "#f8f8ff", "#228b22", "#daa520", "#caebd8", "#caebd8",
    "#5f9ea0", "#caebd8", "#5f9ea0", "#ba55d3", "#3cb371", "#3cb371", "#800000", "#800000",
    "#800000", "#800000", "#228b22", "#3cb371", "#48d1cc", "#f0e68c", "#7868ee", "#FFFFFF",
    "#a9a9a9", "#FFFFFF", "#5f9ea0", "#FFFFFF", "#7868ee", "#000000", "#caebd8",
};

static inline uint16_t load_u16(const uint8_t* p) { return (uint16_t)(p[0] | (p[1] << 8)); }

uint32_t cell_write(uint8_t* b, uint32_t payload_len, const void* payload, uint8_t type,
                    uint8_t bgd_color, uint8_t color) {
  if (payload_len > kDataMsgMaxPayload) return 0;
  if (payload_len > 0 && !payload) return 0;
  uint16_t len = (uint16_t)(payload_len + 2);
  b[0] = (uint8_t)len;
  b[1] = (uint8_t)(len >> 8);
  b[2] = type;
  b[3] = color;
  b[4] = bgd_color;
  b[5] = 0;
  if (payload_len) memcpy(b + 6, payload, payload_len);
  uint16_t crc = crc16_usb(b, payload_len + 6);
  b[6 + payload_len] = (uint8_t)crc;
  b[7 + payload_len] = (uint8_t)(crc >> 8);
  return payload_len + 8;
}

DataMsg* cell_create(uint32_t payload_len, const void* payload, uint8_t type, uint8_t bgd_color,
                     uint8_t color) {
  if (payload_len > kDataMsgMaxPayload) return nullptr;
  if (payload_len > 0 && !payload) return nullptr;
  uint8_t* b = (uint8_t*)cell_pool_alloc(payload_len + 8);
  if (!b) return nullptr;
  cell_write(b, payload_len, payload, type, bgd_color, color);
  return (DataMsg*)b;
}

DataMsg* cell_empty(void) { return cell_create(1, " ", D_STRING, 0, 0); }

DataMsg* cell_word(uint8_t word, uint8_t bgd_color, uint8_t color) {
  return cell_create(1, &word, D_WORD, bgd_color, color);
}

DataMsg* cell_text(const char* text, uint8_t bgd_color, uint8_t color) {
  if (!text) return nullptr;
  return cell_create((uint32_t)strlen(text), text, D_STRING, bgd_color, color);
}

DataMsg* cell_u8(uint8_t v, uint8_t bgd_color, uint8_t color) {
  return cell_create(1, &v, D_U8, bgd_color, color);
}

DataMsg* cell_u16(uint16_t v, uint8_t bgd_color, uint8_t color) {
  uint8_t le[2] = {(uint8_t)v, (uint8_t)(v >> 8)};
  return cell_create(2, le, D_U16, bgd_color, color);
}

DataMsg* cell_u32(uint32_t v, uint8_t bgd_color, uint8_t color) {
  uint8_t le[4] = {(uint8_t)v, (uint8_t)(v >> 8), (uint8_t)(v >> 16), (uint8_t)(v >> 24)};
  return cell_create(4, le, D_U32, bgd_color, color);
}

DataMsg* cell_hex(const uint8_t* bytes, uint32_t n, uint8_t bgd_color, uint8_t color) {
  return cell_create(n, bytes, D_HEX, bgd_color, color);
}

void cell_free(DataMsg* cell) { cell_pool_free(cell); }

int cell_crc_ok(const void* block, size_t avail) {
  if (!block || avail < 8) return 0;
  const uint8_t* b = (const uint8_t*)block;
  uint16_t len = load_u16(b);
  // len counts the CRC bytes, so anything below 2 cannot be a cell.
  if (len < 2 || (size_t)len + 6 > avail) return 0;
  return crc16_usb(b, (size_t)len + 4) == load_u16(b + len + 4);
}

static const char* color_name(uint8_t index) {
  if (index == 0 || index > kColorCount) return "";
  return kColorTable[index - 1];
}

// Appends `n` bytes to a text of capacity `cap`, keeping room for the NUL;
// `*pos` counts the full length even past the capacity.
static void put(char* text, size_t cap, size_t* pos, const char* s, size_t n) {
  if (*pos + 1 < cap) {
    size_t room = cap - 1 - *pos;
    memcpy(text + *pos, s, n < room ? n : room);
  }
  *pos += n;
}

size_t cell_to_text(const void* block, char* text, size_t cap, const char** bgd_name,
                    const char** color_name_out) {
  if (bgd_name) *bgd_name = "";
  if (color_name_out) *color_name_out = "";
  if (cap) text[0] = '\0';
  if (!block) return 0;
  const uint8_t* b = (const uint8_t*)block;
  uint16_t len = load_u16(b);
  if (len < 2 || crc16_usb(b, (size_t)len + 4) != load_u16(b + len + 4)) {
    orvane_log(">>>>>>>>>>>>>>>>>conv crc16 err!<<<<<<<<<<<<\n");
    exit(1);
  }
  const uint8_t* p = b + 6;
  size_t n = (size_t)len - 2;
  size_t pos = 0;
  char num[24];
  switch (b[2]) {
    case D_WORD: {
      int w = n ? p[0] : 0;
      if (w < 1 || w > kWordCount) {
        orvane_log("data->data[0] = %d\n", w);
        exit(-1);
      }
      put(text, cap, &pos, kWordTable[w - 1], strlen(kWordTable[w - 1]));
      break;
    }
    case D_STRING:
      put(text, cap, &pos, (const char*)p, n);
      break;
    case D_U8:
    case D_U16:
    case D_U32: {
      // Read the stored width (at most the payload) little-endian.
      size_t width = b[2] == D_U8 ? 1 : b[2] == D_U16 ? 2 : 4;
      if (width > n) width = n;
      if (!width) break;
      uint32_t v = 0;
      for (size_t i = 0; i < width; ++i) v |= (uint32_t)p[i] << (8 * i);
      int k = snprintf(num, sizeof num, "%u", v);
      put(text, cap, &pos, num, (size_t)k);
      break;
    }
    case D_HEX: {
      static const char digits[] = "0123456789ABCDEF";
      for (size_t i = 0; i < n; ++i) {
        char h[3] = {' ', digits[p[i] >> 4], digits[p[i] & 15]};
        if (i == 0)
          put(text, cap, &pos, h + 1, 2);
        else
          put(text, cap, &pos, h, 3);
      }
      break;
    }
    default:  // D_NULL and unknown types read as empty text
      break;
  }
  if (cap) text[pos < cap ? pos : cap - 1] = '\0';
  if (bgd_name) *bgd_name = color_name(b[4]);
  if (color_name_out) *color_name_out = color_name(b[3]);
  return pos;
}
