// Descriptor answers walked into tables, the endpoints they teach, and the
// request table and request line built from setup packets.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <random>

#include "decode/cells/kv_list.h"
#include "decode/descriptor_decoder.h"
#include "decode/setup_request.h"

namespace {

// A cell's text, with "[bgd/color]" (Qt colour names, "" for the default)
// when `colours`; "<null>" for no cell.
std::string text(const DataMsg* c, bool colours) {
  if (!c) return "<null>";
  char buf[8192];
  const char *bgd = nullptr, *color = nullptr;
  cell_to_text(c, buf, sizeof buf, &bgd, &color);
  return colours ? std::string(buf) + "[" + bgd + "/" + color + "]" : buf;
}

// "key|value|desc" per entry of a list, so tests read like the tables on screen.
std::vector<std::string> lines(const kvLinkedList* list, bool colours = false) {
  std::vector<std::string> out;
  for (const kvNode* n = list ? list->head : nullptr; n; n = n->next)
    out.push_back(text(n->pair->key, colours) + "|" + text(n->pair->value, colours) + "|" +
                  text(n->pair->desc, colours));
  return out;
}

// A table's lines: its title, then its rows (the column header first).
using Table = std::vector<std::string>;
using Tables = std::vector<Table>;

Tables tables_of(kvListPair* chain, bool colours = false) {
  Tables out;
  for (const kvListPair* p = chain; p; p = p->next) {
    out.push_back(lines(p->title, colours));
    for (const std::string& l : lines(p->table, colours)) out.back().push_back(l);
  }
  kvlistpair_chain_free(chain);
  return out;
}

// "value|desc" of the row whose key is `key`, "<missing>" without one.
std::string row(const Table& t, const std::string& key) {
  for (const std::string& l : t)
    if (l.compare(0, key.size() + 1, key + "|") == 0) return l.substr(key.size() + 1);
  return "<missing>";
}

// Decodes the 8 setup bytes into one table.
Table request_table(const std::vector<uint8_t>& bytes, bool colours = false) {
  SetupPacket s = setup_from_bytes(bytes.data());
  kvListPair* chain = nullptr;
  setup_decode_table(&s, &chain);
  Tables tables = tables_of(chain, colours);
  EXPECT_EQ(tables.size(), 1u);
  return tables.empty() ? Table(1) : tables[0];
}

// A GET_DESCRIPTOR, or another request with the same wValue and wLength.
SetupPacket get_descriptor(uint8_t type, uint8_t index, uint16_t length, uint8_t bmRequestType = 0x80,
                           uint8_t bRequest = 6) {
  const uint8_t b[8] = {bmRequestType, bRequest, index, type, 0, 0, (uint8_t)length, (uint8_t)(length >> 8)};
  return setup_from_bytes(b);
}

// The tables of walking `data`, copied into an exactly sized heap block so an
// overread is caught by the address sanitizer. The walk answers 1 exactly
// when it made tables (0: the caller shows the data).
Tables walk(const std::vector<uint8_t>& data, const SetupPacket& setup, EndpointTable* endpoints,
            uint8_t address = 5) {
  uint8_t* buf = (uint8_t*)malloc(data.empty() ? 1 : data.size());
  if (!data.empty()) memcpy(buf, data.data(), data.size());
  kvListPair* chain = nullptr;
  int result = descriptors_walk(buf, (uint32_t)data.size(), &setup, address, endpoints, &chain);
  free(buf);
  Tables tables = tables_of(chain);
  EXPECT_EQ(result, tables.empty() ? 0 : 1);
  return tables;
}

// "address/endpoint type direction size;" of each learned endpoint, in order.
std::string learned(const EndpointTable& t) {
  std::string out;
  for (const EndpointEntry* e = t.entries; e < t.entries + t.count; e++) {
    for (unsigned x : {e->address, e->endpoint, e->transferType, e->direction}) out += std::to_string(x) + " ";
    out += std::to_string(e->maxPacketSize) + ";";
  }
  return out;
}

const std::vector<uint8_t> kDevice = {0x12, 0x01, 0x00, 0x02, 0xEF, 0x02, 0x01, 0x40, 0x50,
                                      0x1D, 0x89, 0x60, 0x06, 0x01, 0x01, 0x02, 0x04, 0x01};

// A configuration with one interface and a bulk IN and a bulk OUT endpoint.
const std::vector<uint8_t> kConfig34 = {
    0x09, 0x02, 0x22, 0x00, 0x01, 0x01, 0x00, 0xE0, 0x32,  // configuration
    0x09, 0x04, 0x00, 0x00, 0x02, 0xFF, 0xFF, 0xFF, 0x00,  // interface
    0x08, 0x05, 0x81, 0x02, 0x00, 0x02, 0x00, 0x00,        // endpoint 1 IN (8 bytes)
    0x08, 0x05, 0x02, 0x02, 0x40, 0x00, 0x00, 0x00,        // endpoint 2 OUT (8 bytes)
};

class DescriptorWalk : public ::testing::Test {
 protected:
  void SetUp() override { endpoint_table_clear(&eps); }
  EndpointTable eps;
};

}  // namespace

TEST_F(DescriptorWalk, DeviceConfigurationEndpointStringAndLanguageTables) {
  EXPECT_EQ(walk(kDevice, get_descriptor(1, 0, 18), &eps),
            (Tables{{"Device Descriptor| | ", "Field|Value|Description", "bLength|0x12|length:18",
                     "bDescriptorType|0x01|Device Descriptor", "bcdUSB|0x0200|USB 2.0", "bDeviceClass|0xef|Miscellaneous",
                     "bDeviceSubClass|0x02| ", "bDeviceProtocol|0x01| ", "bMaxPacketSize0|0x40| ",
                     "idVendor|0x1d50| ", "idProduct|0x6089| ", "bcdDevice|0x0106| ", "iManufacturer|0x01| ",
                     "iProduct|0x02| ", "iSerialNumber|0x04| ", "bNumConfigurations|0x01| "}}));

  Tables w = walk(kConfig34, get_descriptor(2, 0, 34), &eps, 9);
  std::string titles;
  for (const Table& t : w) titles += t[0] + ";";
  EXPECT_EQ(titles, "Config Descriptor| | ;Interface Descriptor| | ;Endpoint Descriptor| | ;Endpoint Descriptor| | ;");
  EXPECT_EQ(row(w[0], "bmAttributes"), "0xe0|Self Powered;remote wake-up");
  EXPECT_EQ(row(w[0], "wTotalLength"), "0x0022| ");
  EXPECT_EQ(row(w[1], "bInterfaceClass"), "0xff|Vendor Specific");
  EXPECT_EQ(learned(eps), "9 1 2 8 512;9 2 2 0 64;");  // for the token's device only
  std::vector<uint8_t> bus(kConfig34.begin(), kConfig34.begin() + 9);
  bus[7] = 0x80;
  EXPECT_EQ(row(walk(bus, get_descriptor(2, 0, 9), nullptr).at(0), "bmAttributes"), "0x80|Bus Powered");

  // Isochronous IN, 3 transactions per microframe of 0x400 bytes, 7-byte
  // descriptor: bRefresh and bSynchAddress lie beyond bLength and read 0 even
  // though the buffer holds more bytes (the next descriptor).
  std::vector<uint8_t> d = {0x07, 0x05, 0x83, 0x25, 0x00, 0x14, 0x01,
                            0x07, 0x05, 0x04, 0x01, 0x10, 0x00, 0x01};
  endpoint_table_clear(&eps);
  w = walk(d, get_descriptor(2, 0, 14), &eps);
  ASSERT_EQ(w.size(), 2u);
  EXPECT_EQ(w[0], (Table{"Endpoint Descriptor| | ", "Field|Value|Description", "bLength|0x07|length:7",
                         "bDescriptorType|0x05|Endpoint Descriptor", "bEndpointAddress|0x83| ", "     numb|3| ",
                         "     direction|8|IN", "bmAttributes|0x25| ", "     transType|1|isoc", "     syncTyep|1| ",
                         "     useTyep|2| ", "     reserve|0| ", "wMaxPacketSize|0x1400| ", "     size|1024| ",
                         "     trasCount|2| ", "     reserve|0| ", "bInterval|0x01| ", "bRefresh|0x00| ",
                         "bSynchAddress|0x00| "}));
  EXPECT_EQ(row(w[1], "     direction"), "0|OUT");
  EXPECT_EQ(row(w[1], "     transType"), "1|isoc");
  EXPECT_EQ(learned(eps), "5 3 1 8 1024;5 4 1 0 16;");

  std::vector<uint8_t> big(254, 0);  // 254 bytes of 'x': only the 62 units of the slot are shown
  big[0] = 254;
  big[1] = 3;
  for (size_t i = 2; i < big.size(); i += 2) big[i] = 'x';
  const struct {
    std::vector<uint8_t> bytes;
    std::string bLength, wData;
  } cases[] = {
      // "Caf\u00e9" then a surrogate pair (U+1F600 as D83D DE00), each unit on its own.
      {{0x0E, 0x03, 'C', 0, 'a', 0, 'f', 0, 0xE9, 0x00, 0x3D, 0xD8, 0x00, 0xDE}, "0x0e|length:14",
       "Caf\xC3\xA9\xED\xA0\xBD\xED\xB8\x80"},
      {{0x0A, 0x03, 'a', 0, 0, 0, 'b', 0, 'c', 0}, "0x0a|length:10", "a"},  // stops at a zero unit
      {big, "0xfe|length:254", std::string(62, 'x')},
      {{0x05, 0x03, 'h', 0, 0xE9}, "0x05|length:5", "h\xC3\xA9"},  // odd bLength: the missing high byte reads 0
      {{0x04, 0x03, 0xAC, 0x20}, "0x04|length:4", "\xE2\x82\xAC"},
  };
  for (const auto& c : cases)
    EXPECT_EQ(walk(c.bytes, get_descriptor(3, 2, (uint16_t)c.bytes.size()), nullptr),
              (Tables{{"String Descriptor| | ", "Field|Value|Description", "bLength|" + c.bLength,
                       "bDescriptorType|0x03| ", "wData|" + c.wData + "| "}}));
  // Index 0: the languages, of which the first is shown.
  EXPECT_EQ(walk({0x06, 0x03, 0x09, 0x04, 0x07, 0x04}, get_descriptor(3, 0, 6), nullptr),
            (Tables{{"Language ID Descriptor| | ", "Field|Value|Description", "bLength|0x06|length:6",
                     "bDescriptorType|0x03| ", "wLANGID|0x0409| "}}));
}

// Answers shown as data are not walked (0, no tables); a bLength of 0 or 1, or
// past the answer, ends the walk keeping the tables before it; unknown types (a
// HID descriptor) are skipped, and bytes of a descriptor beyond its slot are
// ignored (an interface of 12 bytes shows 9).
TEST_F(DescriptorWalk, WhatIsWalkedAndWhereTheWalkStops) {
  const std::vector<uint8_t> first8(kDevice.begin(), kDevice.begin() + 8);
  const std::vector<uint8_t> one = {0x09, 0x02, 0x09, 0x00, 0x01, 0x01, 0x00, 0x80, 0x32,
                                    0x01, 0x05, 0x07, 0x05, 0x81, 0x02, 0x40, 0x00, 0x00};
  const std::vector<uint8_t> hid = {0x0C, 0x04, 0x01, 0x00, 0x01, 0x03, 0x01, 0x02, 0x00, 0xAA, 0xBB, 0xCC,
                                    0x09, 0x21, 0x11, 0x01, 0x00, 0x01, 0x22, 0x4B, 0x00,
                                    0x07, 0x05, 0x81, 0x03, 0x07, 0x00, 0x0A};
  std::vector<uint8_t> zero = kConfig34, overlong = kConfig34, other = kConfig34;
  other[1] = 0x07;   // other speed
  zero[18] = 0;      // the first endpoint's bLength
  overlong[26] = 9;  // the second endpoint claims one byte more than is left
  auto config = [](const std::vector<uint8_t>& d) { return get_descriptor(2, 0, (uint16_t)d.size()); };
  struct Case {
    const char* what;
    std::vector<uint8_t> data;
    SetupPacket setup;
    size_t tables;
    int endpoints;
  } cases[] = {
      {"device asked for with 255, answered with 18", kDevice, get_descriptor(1, 0, 255), 0, 0},
      {"configuration asked for with 255", kConfig34, get_descriptor(2, 0, 0xFF), 0, 0},
      {"class GET_DESCRIPTOR (a hub descriptor, say)", kDevice, get_descriptor(1, 0, 18, 0xA0), 0, 0},
      {"not a GET_DESCRIPTOR", kDevice, get_descriptor(1, 0, 18, 0x80, 0), 0, 0},
      {"first descriptor (bLength 18) asked for and answered with 8", first8, get_descriptor(1, 0, 8), 0, 0},
      {"a byte cannot hold the header", {0x01}, get_descriptor(1, 0, 1), 0, 0},
      {"no bytes", {}, get_descriptor(1, 0, 0), 0, 0},
      // Its first bytes 05 01 would otherwise read as a 5-byte device descriptor.
      {"HID report descriptor (type 0x22)", {0x05, 0x01, 0x09, 0x02, 0xA1, 0x01, 0x09, 0x01, 0xA1, 0x00},
       get_descriptor(0x22, 0, 10, 0x81), 0, 0},
      {"vendor descriptor type 0x41", kDevice, get_descriptor(0x41, 0, 18), 0, 0},
      {"first bLength 0", {0x00, 0x01, 0x00, 0x02}, get_descriptor(1, 0, 4), 0, 0},
      {"first bLength 1", {0x01, 0x01, 0x00, 0x02}, get_descriptor(1, 0, 4), 0, 0},
      {"device qualifier: a standard type without a table",
       {0x0A, 0x06, 0x00, 0x02, 0x00, 0x00, 0x00, 0x40, 0x01, 0x00}, get_descriptor(6, 0, 10), 0, 0},
      {"SET_DESCRIPTOR sends descriptors as answered", kDevice, get_descriptor(1, 0, 18, 0x00, 7), 1, 0},
      {"an endpoint's bLength 0", zero, config(zero), 2, 0},
      {"an endpoint past the answer", overlong, config(overlong), 3, 1},
      {"an endpoint's bLength 1", one, config(one), 1, 0},
      {"HID descriptor skipped", hid, config(hid), 2, 1},
      // Its interface and endpoints, for the speed the device is not running at.
      {"other speed: endpoints shown, not learned", other, get_descriptor(7, 0, 34), 3, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    endpoint_table_clear(&eps);
    EXPECT_EQ(walk(c.data, c.setup, &eps).size(), c.tables);
    EXPECT_EQ(eps.count, c.endpoints);
  }
  Tables w = walk(hid, config(hid), &eps);
  ASSERT_EQ(w.size(), 2u);
  EXPECT_EQ(w[0].size(), 11u);  // title, header and nine fields
  EXPECT_EQ(row(w[0], "bInterfaceClass"), "0x03|HID");
  EXPECT_EQ(row(w[0], "bLength"), "0x0c|length:12");
  EXPECT_EQ(w[1][0], "Endpoint Descriptor| | ");
  EXPECT_EQ(learned(eps), "5 1 3 8 7;");
}

TEST_F(DescriptorWalk, FuzzedAnswersStayInsideTheBuffer) {
  // Random lengths and bytes, biased towards plausible descriptor headers;
  // the buffers are exactly sized so the address sanitizer sees any overread.
  std::mt19937 rng(20261206);
  int walked = 0;
  for (int iter = 0; iter < 20000; iter++) {
    uint32_t n = rng() % 300;
    std::vector<uint8_t> data(n);
    for (uint8_t& b : data) b = (uint8_t)rng();
    // Plant headers now and then so the walk goes deep.
    for (uint32_t off = 0; off + 1 < n && (rng() & 3);) {
      uint8_t len = (uint8_t)(rng() % 40);
      data[off] = len;
      data[off + 1] = (uint8_t)(1 + rng() % 6);
      if (len == 0) break;
      off += len;
    }
    SetupPacket s = get_descriptor((uint8_t)(1 + rng() % 3), (uint8_t)(rng() % 2), (uint16_t)n);
    Tables w = walk(data, s, &eps, (uint8_t)(rng() % 128));
    walked += !w.empty();
    for (const Table& t : w) ASSERT_GE(t.size(), 3u);
    ASSERT_GE(eps.count, 0);
    ASSERT_LE(eps.count, kEndpointTableMax);
  }
  EXPECT_GT(walked, 1000);
}

// The request table of a GET_DESCRIPTOR and its request line (whose texts,
// for standard and class requests, are pinned by the golden outputs).
TEST(SetupRequest, TablesAndRequestLines) {
  const std::vector<uint8_t> get = {0x80, 0x06, 0x00, 0x01, 0x00, 0x00, 0x12, 0x00};
  EXPECT_EQ(request_table(get),
            (Table{"Standard Requst| | ", "Field|Value|Description", "bmRequest|0x80| ", "     Recipient|0|Device",
                   "     Type|0|Standard", "     Direction|1|Device To Host", "bRequest|0x06|Get Descriptor",
                   "wValue|0x0100| ", "     index|0| ", "     type|1|Device Descriptor", "wIndex|0x0000| ",
                   "wLength|0x0012| "}));
  // Fields are grey on the default background, sub-fields carry no colours.
  Table colours = request_table(get, true);
  colours.resize(4);
  EXPECT_EQ(colours, (Table{"Standard Requst[#000000/#5f9ea0]| [/]| [/]",
                            "Field[#FFFFFF/#5f9ea0]|Value[#FFFFFF/#5f9ea0]|Description[#FFFFFF/#5f9ea0]",
                            "bmRequest[/#a9a9a9]|0x80[/#a9a9a9]| [/]", "     Recipient[/]|0[/]|Device[/#a9a9a9]"}));
  for (const auto& [bytes, want] : std::vector<std::pair<std::vector<uint8_t>, std::vector<std::string>>>{
           {get, {"Standard Req[#f0e68c/#000000]|Get Descriptor[/]|<null>", "Addr[/]|7[/]|<null>",
                  "Point[#a9a9a9/]|0[/]|<null>"}},
           {{0x60, 2, 0, 0, 0, 0, 0, 0}, {" [#f0e68c/#000000]| [/]|<null>", "Addr[/]|1[/]|<null>",
                                          "Point[#a9a9a9/]|2[/]|<null>"}}}) {  // reserved type
    SetupPacket s = setup_from_bytes(bytes.data());
    kvLinkedList* list = nullptr;
    setup_request_line(&s, bytes[0] == 0x80 ? 7 : 1, bytes[0] == 0x80 ? 0 : 2, &list);
    EXPECT_EQ(lines(list, true), want);
    kvlist_free(list);
  }

  // The title and some rows ("value|desc", "<missing>" without one) per request.
  const struct {
    std::vector<uint8_t> bytes;
    const char* title;
    std::vector<std::pair<const char*, const char*>> rows;
  } cases[] = {
      {{0x00, 0x05, 0x07, 0, 0, 0, 0, 0}, "Standard Requst",
       {{"wValue", "0x0007|Address:7"}, {"     Direction", "0|Host To Device"}, {"     index", "<missing>"}}},
      {{0x00, 0x09, 0x01, 0, 0, 0, 0, 0}, "Standard Requst", {{"wValue", "0x0001|Config:1"}}},
      // Class and vendor requests use the standard names.
      {{0x21, 0x09, 0x00, 0x02, 0, 0, 1, 0}, "Class Requst",
       {{"bRequest", "0x09|Set Configuration"}, {"     Recipient", "1|Interface"}}},
      {{0xC2, 0x30, 0, 0, 0, 0, 0, 0}, "Vendor Requst", {{"bRequest", "0x30|Set Sel"}, {"     Recipient", "2|EndPoint"}}},
      // Type 3 (reserved), recipient 31, request 2: no names.
      {{0x7F, 0x02, 0, 0, 0, 0, 0, 0}, " ", {{"     Recipient", "31| "}, {"     Type", "3| "}, {"bRequest", "0x02| "}}},
      {{0x80, 6, 0, 3, 0, 0, 4, 0}, "Standard Requst", {{"     type", "3|Language ID Descriptor"}}},
      // Every bit of the low byte is the index.
      {{0x80, 6, 0xFF, 3, 0x09, 0x04, 0xFF, 0}, "Standard Requst",
       {{"     type", "3|String Descriptor"}, {"     index", "255| "}, {"wIndex", "0x0409| "}, {"wLength", "0x00ff| "}}},
      {{0x80, 6, 0, 2, 0, 0, 9, 0}, "Standard Requst", {{"     type", "2|Config Descriptor"}}},
      {{0x80, 6, 0, 0x22, 0, 0, 9, 0}, "Standard Requst", {{"     type", "34| "}}},
  };
  for (const auto& c : cases) {
    Table t = request_table(c.bytes);
    SCOPED_TRACE(c.rows[0].second);
    EXPECT_EQ(t[0], std::string(c.title) + "| | ");
    for (const auto& [field, want] : c.rows) EXPECT_EQ(row(t, field), want) << field;
    for (const std::string& l : t) EXPECT_EQ(l.find("<null>"), std::string::npos) << l;  // three cells each
  }
}
