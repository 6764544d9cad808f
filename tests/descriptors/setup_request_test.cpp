// The request table and the request line built from setup packets.
#include <gtest/gtest.h>

#include "decode/setup_request.h"
#include "table_text.h"

using tabletext::Table;

namespace {

// Decodes the 8 setup bytes into one table.
Table request_table(const std::vector<uint8_t>& bytes) {
  SetupPacket s = setup_from_bytes(bytes.data());
  kvListPair* chain = nullptr;
  setup_decode_table(&s, &chain);
  std::vector<Table> tables = tabletext::chain(chain);
  kvlistpair_chain_free(chain);
  EXPECT_EQ(tables.size(), 1u);
  return tables.empty() ? Table() : tables[0];
}

// The description (or value) text of the row `key`, "<missing>" without one.
std::string desc(const Table& t, const char* key) {
  const tabletext::Row* r = tabletext::find(t, key);
  return r ? r->desc.text : "<missing>";
}
std::string value(const Table& t, const char* key) {
  const tabletext::Row* r = tabletext::find(t, key);
  return r ? r->value.text : "<missing>";
}

// The request line of the 8 setup bytes to `address` and `endpoint`.
std::vector<tabletext::Row> request_line(const std::vector<uint8_t>& bytes, uint8_t address,
                                         uint8_t endpoint) {
  SetupPacket s = setup_from_bytes(bytes.data());
  kvLinkedList* list = nullptr;
  setup_request_line(&s, address, endpoint, &list);
  std::vector<tabletext::Row> rows = tabletext::rows(list);
  kvlist_free(list);
  EXPECT_EQ(rows.size(), 3u);
  rows.resize(3);
  return rows;
}

}  // namespace

TEST(SetupRequest, GetDeviceDescriptorTable) {
  Table t = request_table({0x80, 0x06, 0x00, 0x01, 0x00, 0x00, 0x12, 0x00});
  EXPECT_EQ(t.title.key.text, "Standard Requst");
  EXPECT_EQ(t.title.key.bgd, "#000000");
  EXPECT_EQ(t.title.key.color, "#5f9ea0");
  EXPECT_EQ(t.title.value.text, " ");
  EXPECT_EQ(t.title.desc.text, " ");

  ASSERT_FALSE(t.rows.empty());
  EXPECT_EQ(t.rows[0].key.text, "Field");
  EXPECT_EQ(t.rows[0].value.text, "Value");
  EXPECT_EQ(t.rows[0].desc.text, "Description");
  EXPECT_EQ(t.rows[0].desc.bgd, "#FFFFFF");
  EXPECT_EQ(t.rows[0].desc.color, "#5f9ea0");

  std::vector<std::string> expected = {
      "bmRequest|0x80| ",
      "     Recipient|0|Device",
      "     Type|0|Standard",
      "     Direction|1|Device To Host",
      "bRequest|0x06|Get Descriptor",
      "wValue|0x0100| ",
      "     index|0| ",
      "     type|1|Device Descriptor",
      "wIndex|0x0000| ",
      "wLength|0x0012| ",
  };
  EXPECT_EQ(tabletext::lines(t), expected);

  // Fields are grey on the default background, sub-fields carry no colours.
  EXPECT_EQ(t.rows[1].key.color, "#a9a9a9");
  EXPECT_EQ(t.rows[1].value.color, "#a9a9a9");
  EXPECT_EQ(t.rows[2].key.color, "");
  EXPECT_EQ(t.rows[2].value.color, "");
  EXPECT_EQ(t.rows[2].desc.color, "#a9a9a9");
}

TEST(SetupRequest, SetAddressAndSetConfigurationDescribeTheirValue) {
  Table t = request_table({0x00, 0x05, 0x07, 0x00, 0x00, 0x00, 0x00, 0x00});
  EXPECT_EQ(t.title.key.text, "Standard Requst");
  EXPECT_EQ(desc(t, "bRequest"), "Set Address");
  EXPECT_EQ(desc(t, "wValue"), "Address:7");
  EXPECT_EQ(desc(t, "     Direction"), "Host To Device");
  // Only GET_DESCRIPTOR splits wValue into index and type.
  EXPECT_EQ(tabletext::find(t, "     index"), nullptr);
  EXPECT_EQ(tabletext::find(t, "     type"), nullptr);

  Table c = request_table({0x00, 0x09, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00});
  EXPECT_EQ(desc(c, "wValue"), "Config:1");
}

TEST(SetupRequest, ClassAndVendorRequestsUseTheStandardNames) {
  Table c = request_table({0x21, 0x09, 0x00, 0x02, 0x00, 0x00, 0x01, 0x00});
  EXPECT_EQ(c.title.key.text, "Class Requst");
  EXPECT_EQ(desc(c, "bRequest"), "Set Configuration");
  EXPECT_EQ(desc(c, "     Recipient"), "Interface");
  EXPECT_EQ(desc(c, "     Type"), "Class");
  EXPECT_EQ(value(c, "     Type"), "1");

  Table v = request_table({0xC2, 0x30, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00});
  EXPECT_EQ(v.title.key.text, "Vendor Requst");
  EXPECT_EQ(desc(v, "bRequest"), "Set Sel");
  EXPECT_EQ(desc(v, "     Recipient"), "EndPoint");
}

TEST(SetupRequest, UnnamedValuesGetTheEmptyDescription) {
  // Type 3 (reserved), recipient 31, request 2 (no name).
  Table t = request_table({0x7F, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00});
  EXPECT_EQ(t.title.key.text, " ");
  EXPECT_EQ(t.title.key.bgd, "");
  EXPECT_EQ(value(t, "     Recipient"), "31");
  EXPECT_EQ(desc(t, "     Recipient"), " ");
  EXPECT_EQ(desc(t, "     Type"), " ");
  EXPECT_EQ(desc(t, "bRequest"), " ");
  // Every row carries three cells.
  for (const tabletext::Row& r : t.rows) EXPECT_NE(r.desc.text, "<null>") << r.key.text;
}

TEST(SetupRequest, DescriptorTypeOfAGetDescriptor) {
  EXPECT_EQ(desc(request_table({0x80, 6, 0, 3, 0, 0, 4, 0}), "     type"),
            "Language ID Descriptor");
  Table s = request_table({0x80, 6, 2, 3, 0x09, 0x04, 0xFF, 0});
  EXPECT_EQ(value(s, "     index"), "2");
  EXPECT_EQ(desc(s, "     type"), "String Descriptor");
  EXPECT_EQ(value(s, "wIndex"), "0x0409");
  EXPECT_EQ(value(s, "wLength"), "0x00ff");
  EXPECT_EQ(desc(request_table({0x80, 6, 0, 2, 0, 0, 9, 0}), "     type"),
            "Config Descriptor");
  EXPECT_EQ(desc(request_table({0x80, 6, 0, 0x22, 0, 0, 9, 0}), "     type"),
            " ");
}

TEST(SetupRequest, AppendsTablesAtTheEndOfTheChain) {
  const uint8_t a[8] = {0x80, 6, 0, 1, 0, 0, 0x12, 0};
  const uint8_t b[8] = {0x40, 1, 0, 0, 0, 0, 0, 0};
  SetupPacket sa = setup_from_bytes(a), sb = setup_from_bytes(b);
  kvListPair* chain = nullptr;
  setup_decode_table(&sa, &chain);
  setup_decode_table(&sb, &chain);
  std::vector<Table> tables = tabletext::chain(chain);
  kvlistpair_chain_free(chain);
  ASSERT_EQ(tables.size(), 2u);
  EXPECT_EQ(tables[0].title.key.text, "Standard Requst");
  EXPECT_EQ(tables[1].title.key.text, "Vendor Requst");
}

TEST(SetupRequest, RequestLine) {
  std::vector<tabletext::Row> rows = request_line({0x80, 6, 0, 1, 0, 0, 0x12, 0}, 7, 0);
  EXPECT_EQ(rows[0].key.text, "Standard Req");
  EXPECT_EQ(rows[0].key.bgd, "#f0e68c");
  EXPECT_EQ(rows[0].key.color, "#000000");
  EXPECT_EQ(rows[0].value.text, "Get Descriptor");
  EXPECT_EQ(rows[1].key.text, "Addr");
  EXPECT_EQ(rows[1].value.text, "7");
  EXPECT_EQ(rows[2].key.text, "Point");
  EXPECT_EQ(rows[2].key.bgd, "#a9a9a9");
  EXPECT_EQ(rows[2].key.color, "");
  EXPECT_EQ(rows[2].value.text, "0");
  for (const tabletext::Row& r : rows) EXPECT_EQ(r.desc.text, "<null>");

  // A reserved type has no name; a class request uses the standard one.
  rows = request_line({0x60, 2, 0, 0, 0, 0, 0, 0}, 1, 2);
  EXPECT_EQ(rows[0].key.text, " ");
  EXPECT_EQ(rows[0].value.text, " ");
  rows = request_line({0x21, 0x0A, 0, 0, 0, 0, 0, 0}, 1, 2);
  EXPECT_EQ(rows[0].key.text, "Class Req");
  EXPECT_EQ(rows[0].value.text, "Get Interface");
}
