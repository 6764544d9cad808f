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

// The tables of a descriptor chain (or the rows of one list) as text, with
// their colour names, so tests read like the tables on screen.
struct Cell {
  std::string text;
  std::string bgd;    // Qt colour name, "" for the default
  std::string color;  // Qt colour name, "" for the default
};

struct Row {
  Cell key, value, desc;  // desc.text is "<null>" when the pair has none
};

struct Table {
  Row title;
  std::vector<Row> rows;  // the column header first
};

Cell cell(const DataMsg* c) {
  if (!c) return {"<null>", "", ""};
  char text[8192];
  const char* bgd = "";
  const char* color = "";
  cell_to_text(c, text, sizeof text, &bgd, &color);
  return {text, bgd ? bgd : "", color ? color : ""};
}

std::vector<Row> rows_of(const kvLinkedList* list) {
  std::vector<Row> out;
  if (!list) return out;
  for (const kvNode* n = list->head; n; n = n->next)
    out.push_back({cell(n->pair->key), cell(n->pair->value), cell(n->pair->desc)});
  return out;
}

std::vector<Table> tables_of(const kvListPair* head) {
  std::vector<Table> out;
  for (const kvListPair* p = head; p; p = p->next) {
    Table t;
    std::vector<Row> title = rows_of(p->title);
    if (title.size() == 1) t.title = title[0];
    else t.title.key.text = "<" + std::to_string(title.size()) + " title rows>";
    t.rows = rows_of(p->table);
    out.push_back(t);
  }
  return out;
}

// The row whose key text is `key` (the n-th such row), or null.
const Row* find(const Table& t, const std::string& key, int nth = 0) {
  for (const Row& r : t.rows)
    if (r.key.text == key && nth-- == 0) return &r;
  return nullptr;
}

// The description (or value) text of the row `key`, "<missing>" without one.
std::string desc(const Table& t, const std::string& key, Cell Row::*column = &Row::desc) {
  const Row* r = find(t, key);
  return r ? (r->*column).text : "<missing>";
}

// "text[bgd/color]" of a cell: its text and colours in one comparison.
std::string styled(const Cell& c) { return c.text + "[" + c.bgd + "/" + c.color + "]"; }

// "key|value|desc" of a row.
std::string line(const Row& r) { return r.key.text + "|" + r.value.text + "|" + r.desc.text; }

// The lines of rows `first` on, for compact comparisons of whole tables.
std::vector<std::string> lines(const std::vector<Row>& rows, size_t first = 0) {
  std::vector<std::string> out;
  for (size_t i = first; i < rows.size(); i++) out.push_back(line(rows[i]));
  return out;
}

// The lines of the field rows of a table (header excluded).
std::vector<std::string> lines(const Table& t) { return lines(t.rows, 1); }

// Decodes the 8 setup bytes into one table.
Table request_table(const std::vector<uint8_t>& bytes) {
  SetupPacket s = setup_from_bytes(bytes.data());
  kvListPair* chain = nullptr;
  setup_decode_table(&s, &chain);
  std::vector<Table> tables = tables_of(chain);
  kvlistpair_chain_free(chain);
  EXPECT_EQ(tables.size(), 1u);
  return tables.empty() ? Table() : tables[0];
}

// The request line of the 8 setup bytes to `address` and `endpoint`.
std::vector<Row> request_line(const std::vector<uint8_t>& bytes, uint8_t address, uint8_t endpoint) {
  SetupPacket s = setup_from_bytes(bytes.data());
  kvLinkedList* list = nullptr;
  setup_request_line(&s, address, endpoint, &list);
  std::vector<Row> rows = rows_of(list);
  kvlist_free(list);
  EXPECT_EQ(rows.size(), 3u);
  rows.resize(3);
  return rows;
}

SetupPacket get_descriptor(uint8_t type, uint8_t index, uint16_t length) {
  const uint8_t b[8] = {0x80, 0x06, index, type, 0, 0, (uint8_t)length, (uint8_t)(length >> 8)};
  return setup_from_bytes(b);
}

// Walks `data` (copied into an exactly sized heap block so an overread is
// caught by the address sanitizer) and returns the tables.
struct Walk {
  int result = -1;
  std::vector<Table> tables;
};

Walk walk(const std::vector<uint8_t>& data, const SetupPacket& setup, EndpointTable* endpoints,
          uint8_t address = 5) {
  uint8_t* buf = (uint8_t*)malloc(data.empty() ? 1 : data.size());
  if (!data.empty()) memcpy(buf, data.data(), data.size());
  kvListPair* chain = nullptr;
  Walk w;
  w.result = descriptors_walk(buf, (uint32_t)data.size(), &setup, address, endpoints, &chain);
  w.tables = tables_of(chain);
  kvlistpair_chain_free(chain);
  free(buf);
  EXPECT_FALSE(w.result == 0 && !w.tables.empty()) << "tables of an answer shown as data";
  return w;
}

// "address/endpoint type direction size;" of each learned endpoint, in order.
std::string learned(const EndpointTable& t) {
  std::string out;
  for (int i = 0; i < t.count; i++) {
    const EndpointEntry& e = t.entries[i];
    for (unsigned x : {e.address, e.endpoint, e.transferType, e.direction}) out += std::to_string(x) + " ";
    out += std::to_string(e.maxPacketSize) + ";";
  }
  return out;
}

const std::vector<uint8_t> kDevice = {0x12, 0x01, 0x00, 0x02, 0x00, 0x00, 0x00, 0x40, 0x50,
                                      0x1D, 0x89, 0x60, 0x06, 0x01, 0x01, 0x02, 0x04, 0x01};

// A configuration with one interface and a bulk IN and a bulk OUT endpoint.
const std::vector<uint8_t> kConfig34 = {
    0x09, 0x02, 0x22, 0x00, 0x01, 0x01, 0x00, 0xE0, 0x32,  // configuration
    0x09, 0x04, 0x00, 0x00, 0x02, 0xFF, 0xFF, 0xFF, 0x00,  // interface
    0x08, 0x05, 0x81, 0x02, 0x00, 0x02, 0x00, 0x00,        // endpoint 1 IN (8 bytes)
    0x08, 0x05, 0x02, 0x02, 0x40, 0x00, 0x00, 0x00,        // endpoint 2 OUT (8 bytes)
};

// Each test starts with an empty endpoint table.
class DescriptorWalk : public ::testing::Test {
 protected:
  void SetUp() override { endpoint_table_clear(&eps); }
  EndpointTable eps;
};

}  // namespace

TEST_F(DescriptorWalk, DeviceConfigurationEndpointStringAndLanguageTables) {
  Walk w = walk(kDevice, get_descriptor(1, 0, 18), &eps);
  EXPECT_EQ(w.result, 1);
  ASSERT_EQ(w.tables.size(), 1u);
  EXPECT_EQ(w.tables[0].title.key.text, "Device Descriptor");
  std::vector<std::string> rows = lines(w.tables[0]);
  ASSERT_EQ(rows.size(), 14u);
  EXPECT_EQ(rows[0], "bLength|0x12|length:18");
  EXPECT_EQ(rows[2], "bcdUSB|0x0200|USB 2.0");
  EXPECT_EQ(rows[7], "idVendor|0x1d50| ");
  EXPECT_EQ(rows[13], "bNumConfigurations|0x01| ");

  w = walk(kConfig34, get_descriptor(2, 0, 34), &eps, 9);
  EXPECT_EQ(w.result, 1);
  std::vector<std::string> titles;
  for (const Table& t : w.tables) titles.push_back(t.title.key.text);
  EXPECT_EQ(titles, (std::vector<std::string>{"Config Descriptor", "Interface Descriptor", "Endpoint Descriptor",
                                              "Endpoint Descriptor"}));
  EXPECT_EQ(desc(w.tables[0], "bmAttributes"), "Self Powered;remote wake-up");
  EXPECT_EQ(desc(w.tables[0], "wTotalLength", &Row::value), "0x0022");
  EXPECT_EQ(desc(w.tables[1], "bInterfaceClass"), "Vendor Specific");
  EXPECT_EQ(learned(eps), "9 1 2 8 512;9 2 2 0 64;");  // for the token's device only
  // The endpoints of the speed the device is not running at are shown, not learned.
  std::vector<uint8_t> other = kConfig34;
  other[1] = 0x07;
  endpoint_table_clear(&eps);
  w = walk(other, get_descriptor(7, 0, 34), &eps);
  EXPECT_EQ(w.result, 1);
  EXPECT_EQ(w.tables.size(), 3u);  // interface and two endpoints
  EXPECT_EQ(eps.count, 0);
  std::vector<uint8_t> bus(kConfig34.begin(), kConfig34.begin() + 9);
  bus[7] = 0x80;
  EXPECT_EQ(desc(walk(bus, get_descriptor(2, 0, 9), nullptr).tables[0], "bmAttributes"), "Bus Powered");

  // Isochronous IN, 3 transactions per microframe of 0x400 bytes, 7-byte
  // descriptor: bRefresh and bSynchAddress lie beyond bLength and read 0 even
  // though the buffer holds more bytes (the next descriptor).
  std::vector<uint8_t> d = {0x07, 0x05, 0x83, 0x25, 0x00, 0x14, 0x01,
                            0x07, 0x05, 0x04, 0x01, 0x10, 0x00, 0x01};
  endpoint_table_clear(&eps);
  w = walk(d, get_descriptor(2, 0, 14), &eps);
  ASSERT_EQ(w.tables.size(), 2u);
  std::vector<std::string> expected = {
      "bLength|0x07|length:7", "bDescriptorType|0x05|Endpoint Descriptor",
      "bEndpointAddress|0x83| ", "     numb|3| ", "     direction|8|IN", "bmAttributes|0x25| ",
      "     transType|1|isoc", "     syncTyep|1| ", "     useTyep|2| ", "     reserve|0| ",
      "wMaxPacketSize|0x1400| ", "     size|1024| ", "     trasCount|2| ", "     reserve|0| ",
      "bInterval|0x01| ", "bRefresh|0x00| ", "bSynchAddress|0x00| ",
  };
  EXPECT_EQ(lines(w.tables[0]), expected);
  EXPECT_EQ(desc(w.tables[1], "     direction"), "OUT");
  EXPECT_EQ(desc(w.tables[1], "     transType"), "isoc");
  EXPECT_EQ(learned(eps), "5 3 1 8 1024;5 4 1 0 16;");

  std::vector<uint8_t> big(254, 0);  // 254 bytes of 'x': only the 62 units of the slot are shown
  big[0] = 254;
  big[1] = 3;
  for (size_t i = 2; i < big.size(); i += 2) big[i] = 'x';
  const struct {
    std::vector<uint8_t> bytes;
    std::string wData;
  } cases[] = {
      // "Caf\u00e9" then a surrogate pair (U+1F600 as D83D DE00), each unit on its own.
      {{0x0E, 0x03, 'C', 0, 'a', 0, 'f', 0, 0xE9, 0x00, 0x3D, 0xD8, 0x00, 0xDE},
       "Caf\xC3\xA9\xED\xA0\xBD\xED\xB8\x80"},
      {{0x0A, 0x03, 'a', 0, 0, 0, 'b', 0, 'c', 0}, "a"},  // stops at a zero unit
      {big, std::string(62, 'x')},
      {{0x05, 0x03, 'h', 0, 0xE9}, "h\xC3\xA9"},  // odd bLength: the missing high byte reads 0
      {{0x04, 0x03, 0xAC, 0x20}, "\xE2\x82\xAC"},
  };
  for (const auto& c : cases) {
    w = walk(c.bytes, get_descriptor(3, 2, (uint16_t)c.bytes.size()), nullptr);
    ASSERT_EQ(w.tables.size(), 1u);
    EXPECT_EQ(w.tables[0].title.key.text, "String Descriptor");
    EXPECT_EQ(line(*find(w.tables[0], "wData")), "wData|" + c.wData + "| ");
    EXPECT_EQ(desc(w.tables[0], "bLength"), "length:" + std::to_string(c.bytes[0]));
  }
  // Index 0: the languages, of which the first is shown.
  w = walk({0x06, 0x03, 0x09, 0x04, 0x07, 0x04}, get_descriptor(3, 0, 6), nullptr);
  ASSERT_EQ(w.tables.size(), 1u);
  EXPECT_EQ(w.tables[0].title.key.text, "Language ID Descriptor");
  EXPECT_EQ(lines(w.tables[0]),
            (std::vector<std::string>{"bLength|0x06|length:6", "bDescriptorType|0x03| ", "wLANGID|0x0409| "}));
}

TEST_F(DescriptorWalk, AnswersShownAsDataAreNotWalked) {
  SetupPacket class_get = get_descriptor(1, 0, 18), no_get = class_get;
  class_get.bmRequestType = 0xA0;  // class GET_DESCRIPTOR (a hub descriptor, say)
  no_get.bRequest = 0;
  const uint8_t hid[8] = {0x81, 0x06, 0x00, 0x22, 0x00, 0x00, 10, 0x00};
  const std::vector<uint8_t> first8(kDevice.begin(), kDevice.begin() + 8);
  struct Case {
    const char* what;
    std::vector<uint8_t> data;
    SetupPacket setup;
  } cases[] = {
      {"device asked for with 255, answered with 18", kDevice, get_descriptor(1, 0, 255)},
      {"configuration asked for with 255", kConfig34, get_descriptor(2, 0, 0xFF)},
      {"class request", kDevice, class_get},
      {"not a GET_DESCRIPTOR", kDevice, no_get},
      {"first descriptor (bLength 18) asked for and answered with 8", first8, get_descriptor(1, 0, 8)},
      {"a byte cannot hold the header", {0x01}, get_descriptor(1, 0, 1)},
      {"no bytes", {}, get_descriptor(1, 0, 0)},
      // Its first bytes 05 01 would otherwise read as a 5-byte device descriptor.
      {"HID report descriptor (type 0x22)", {0x05, 0x01, 0x09, 0x02, 0xA1, 0x01, 0x09, 0x01, 0xA1, 0x00},
       setup_from_bytes(hid)},
      {"vendor descriptor type 0x41", kDevice, get_descriptor(0x41, 0, 18)},
      {"first bLength 0", {0x00, 0x01, 0x00, 0x02}, get_descriptor(1, 0, 4)},
      {"first bLength 1", {0x01, 0x01, 0x00, 0x02}, get_descriptor(1, 0, 4)},
      {"device qualifier: a standard type without a table",
       {0x0A, 0x06, 0x00, 0x02, 0x00, 0x00, 0x00, 0x40, 0x01, 0x00}, get_descriptor(6, 0, 10)},
  };
  for (const Case& c : cases) EXPECT_EQ(walk(c.data, c.setup, &eps).result, 0) << c.what;
  EXPECT_EQ(eps.count, 0);
  // SET_DESCRIPTOR sends descriptors the same way as GET_DESCRIPTOR answers them.
  SetupPacket set = get_descriptor(1, 0, 18);
  set.bmRequestType = 0x00;
  set.bRequest = 7;
  Walk w = walk(kDevice, set, nullptr);
  EXPECT_EQ(w.result, 1);
  EXPECT_EQ(w.tables.size(), 1u);
}

// A bLength of 0 or 1, or past the answer, ends the walk keeping the tables
// before it; unknown types (a HID descriptor) are skipped, and bytes of a
// descriptor beyond its slot are ignored (an interface of 12 bytes shows 9).
TEST_F(DescriptorWalk, StopsAtBadLengthsSkipsUnknownTypesAndIgnoresBytesBeyondTheSlot) {
  const std::vector<uint8_t> one = {0x09, 0x02, 0x09, 0x00, 0x01, 0x01, 0x00, 0x80, 0x32,
                                    0x01, 0x05, 0x07, 0x05, 0x81, 0x02, 0x40, 0x00, 0x00};
  const std::vector<uint8_t> hid = {0x0C, 0x04, 0x01, 0x00, 0x01, 0x03, 0x01, 0x02, 0x00, 0xAA, 0xBB, 0xCC,
                                    0x09, 0x21, 0x11, 0x01, 0x00, 0x01, 0x22, 0x4B, 0x00,
                                    0x07, 0x05, 0x81, 0x03, 0x07, 0x00, 0x0A};
  std::vector<uint8_t> zero = kConfig34, overlong = kConfig34;
  zero[18] = 0;      // the first endpoint's bLength
  overlong[26] = 9;  // the second endpoint claims one byte more than is left
  const struct {
    std::vector<uint8_t> data;
    size_t tables;
    int endpoints;
  } cases[] = {{zero, 2, 0}, {overlong, 3, 1}, {one, 1, 0}, {hid, 2, 1}};
  for (const auto& c : cases) {
    endpoint_table_clear(&eps);
    Walk w = walk(c.data, get_descriptor(2, 0, (uint16_t)c.data.size()), &eps);
    EXPECT_EQ(w.result, 1);
    EXPECT_EQ(w.tables.size(), c.tables) << &c - cases;
    EXPECT_EQ(eps.count, c.endpoints) << &c - cases;
  }
  Walk w = walk(hid, get_descriptor(2, 0, (uint16_t)hid.size()), &eps);
  ASSERT_EQ(w.tables.size(), 2u);
  EXPECT_EQ(w.tables[0].rows.size(), 10u);  // header and nine fields
  EXPECT_EQ(desc(w.tables[0], "bInterfaceClass"), "HID");
  EXPECT_EQ(desc(w.tables[0], "bLength"), "length:12");
  EXPECT_EQ(w.tables[1].title.key.text, "Endpoint Descriptor");
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
    Walk w = walk(data, s, &eps, (uint8_t)(rng() % 128));
    ASSERT_TRUE(w.result == 0 || w.result == 1);
    if (w.result == 1) walked++;
    ASSERT_FALSE(w.result == 0 && !w.tables.empty());
    for (const Table& t : w.tables) ASSERT_GE(t.rows.size(), 2u);
    ASSERT_GE(eps.count, 0);
    ASSERT_LE(eps.count, kEndpointTableMax);
  }
  EXPECT_GT(walked, 1000);
}

// The request table of a GET_DESCRIPTOR and its request line (whose texts,
// for standard and class requests, are pinned by the golden outputs).
TEST(SetupRequest, TablesAndRequestLines) {
  Table t = request_table({0x80, 0x06, 0x00, 0x01, 0x00, 0x00, 0x12, 0x00});
  EXPECT_EQ(line(t.title), "Standard Requst| | ");
  EXPECT_EQ(styled(t.title.key), "Standard Requst[#000000/#5f9ea0]");
  ASSERT_EQ(t.rows.size(), 11u);
  EXPECT_EQ(line(t.rows[0]), "Field|Value|Description");
  EXPECT_EQ(styled(t.rows[0].desc), "Description[#FFFFFF/#5f9ea0]");

  EXPECT_EQ(lines(t), (std::vector<std::string>{
                          "bmRequest|0x80| ", "     Recipient|0|Device", "     Type|0|Standard",
                          "     Direction|1|Device To Host", "bRequest|0x06|Get Descriptor", "wValue|0x0100| ",
                          "     index|0| ", "     type|1|Device Descriptor", "wIndex|0x0000| ", "wLength|0x0012| "}));

  // Fields are grey on the default background, sub-fields carry no colours.
  EXPECT_EQ(styled(t.rows[1].key) + styled(t.rows[1].value), "bmRequest[/#a9a9a9]0x80[/#a9a9a9]");
  EXPECT_EQ(styled(t.rows[2].key) + styled(t.rows[2].value) + styled(t.rows[2].desc),
            "     Recipient[/]0[/]Device[/#a9a9a9]");
  std::vector<Row> rows = request_line({0x80, 6, 0, 1, 0, 0, 0x12, 0}, 7, 0);
  EXPECT_EQ(styled(rows[0].key), "Standard Req[#f0e68c/#000000]");
  EXPECT_EQ(styled(rows[2].key), "Point[#a9a9a9/]");
  EXPECT_EQ(line(request_line({0x60, 2, 0, 0, 0, 0, 0, 0}, 1, 2)[0]), " | |<null>");  // reserved type

  // The title and the description of one field per request.
  const struct {
    std::vector<uint8_t> bytes;
    const char* title;
    std::vector<std::pair<const char*, const char*>> descs;  // field, description
  } cases[] = {
      {{0x00, 0x05, 0x07, 0, 0, 0, 0, 0}, "Standard Requst", {{"wValue", "Address:7"}, {"     Direction", "Host To Device"}}},
      {{0x00, 0x09, 0x01, 0, 0, 0, 0, 0}, "Standard Requst", {{"wValue", "Config:1"}}},
      // Class and vendor requests use the standard names.
      {{0x21, 0x09, 0x00, 0x02, 0, 0, 1, 0}, "Class Requst", {{"bRequest", "Set Configuration"}, {"     Recipient", "Interface"}}},
      {{0xC2, 0x30, 0, 0, 0, 0, 0, 0}, "Vendor Requst", {{"bRequest", "Set Sel"}, {"     Recipient", "EndPoint"}}},
      // Type 3 (reserved), recipient 31, request 2: no names.
      {{0x7F, 0x02, 0, 0, 0, 0, 0, 0}, " ", {{"     Recipient", " "}, {"     Type", " "}, {"bRequest", " "}}},
      {{0x80, 6, 0, 3, 0, 0, 4, 0}, "Standard Requst", {{"     type", "Language ID Descriptor"}}},
      {{0x80, 6, 0xFF, 3, 0x09, 0x04, 0xFF, 0}, "Standard Requst", {{"     type", "String Descriptor"}}},
      {{0x80, 6, 0, 2, 0, 0, 9, 0}, "Standard Requst", {{"     type", "Config Descriptor"}}},
      {{0x80, 6, 0, 0x22, 0, 0, 9, 0}, "Standard Requst", {{"     type", " "}}},
  };
  for (const auto& c : cases) {
    t = request_table(c.bytes);
    SCOPED_TRACE(c.descs[0].second);
    EXPECT_EQ(t.title.key.text, c.title);
    for (const auto& [field, text] : c.descs) EXPECT_EQ(desc(t, field), text) << field;
    for (const Row& r : t.rows) EXPECT_NE(r.desc.text, "<null>") << r.key.text;  // three cells each
  }
  // Only GET_DESCRIPTOR splits wValue into index and type.
  Table set = request_table({0x00, 0x05, 0x07, 0, 0, 0, 0, 0});
  EXPECT_EQ(find(set, "     index"), nullptr);
  Table s = request_table({0x80, 6, 0xFF, 3, 0x09, 0x04, 0xFF, 0});
  EXPECT_EQ(desc(s, "     index", &Row::value), "255");  // every bit of the low byte
  EXPECT_EQ(desc(s, "wIndex", &Row::value), "0x0409");
  EXPECT_EQ(desc(s, "wLength", &Row::value), "0x00ff");
}

