// Test helpers: well-formed USB packets (correct CRC5 and CRC16), the text
// form of a display record list, and a fresh decoder per test.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

#include "decode/cells/display_cell.h"
#include "decode/cells/kv_list.h"
#include "decode/cells/usb_crc.h"
#include "decode/data_parse.h"

namespace usbtest {

using Bytes = std::vector<uint8_t>;

inline Bytes token(uint8_t pid, uint8_t address, uint8_t endpoint) {
  uint16_t field = (uint16_t)((address & 0x7F) | ((endpoint & 0x0F) << 7));
  field |= (uint16_t)(crc5_usb(field) << 11);
  return Bytes{pid, (uint8_t)field, (uint8_t)(field >> 8)};
}

inline Bytes sof(uint16_t frame) {
  uint16_t field = frame & 0x7FF;
  field |= (uint16_t)(crc5_usb(field) << 11);
  return Bytes{0xA5, (uint8_t)field, (uint8_t)(field >> 8)};
}

inline Bytes data(uint8_t pid, const Bytes& payload) {
  Bytes b(payload.size() + 3);
  b[0] = pid;
  for (size_t i = 0; i < payload.size(); i++) b[1 + i] = payload[i];
  uint16_t crc = crc16_usb(payload.data(), payload.size());
  b[payload.size() + 1] = (uint8_t)crc;
  b[payload.size() + 2] = (uint8_t)(crc >> 8);
  return b;
}

inline Bytes hs(uint8_t pid) { return Bytes{pid}; }

inline Bytes filled(size_t n, uint8_t start = 0) {
  Bytes b(n);
  for (size_t i = 0; i < n; i++) b[i] = (uint8_t)(start + i);
  return b;
}

inline std::string cell_text(const DataMsg* c) {
  if (!c) return "<null>";
  char buf[16384];
  const char *bg, *fg;
  cell_to_text(c, buf, sizeof buf, &bg, &fg);
  return buf;
}

// "key=value" per entry, joined by " | ".
inline std::string list_text(const kvLinkedList* l) {
  if (!l) return "<none>";
  std::string out;
  for (const kvNode* n = l->head; n; n = n->next) {
    if (!out.empty()) out += " | ";
    out += cell_text(n->pair->key) + "=" + cell_text(n->pair->value);
  }
  return out;
}

// Frees the lists `lists` and sets them to null, as a consumer takes them.
inline void drop(std::initializer_list<kvLinkedList**> lists) {
  for (kvLinkedList** l : lists) {
    kvlist_free(*l);
    *l = nullptr;
  }
}

// A fresh decoder per test, with the decoder's global state cleared around it.
class DecoderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    sof_hold_clear();
    selectedAddress = selectedEndpoint = 0xFF;
    dp = new dataParse();
  }
  void TearDown() override {
    delete dp;
    sof_hold_clear();
  }
  dataParse* dp = nullptr;
};

}  // namespace usbtest
