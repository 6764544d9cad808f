// The request table and the request line built from setup packets.
#include <gtest/gtest.h>

#include "decode/setup_request.h"
#include "table_text.h"

using tabletext::desc;
using tabletext::line;
using tabletext::styled;
using tabletext::Table;
using tabletext::value;

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
  EXPECT_EQ(line(t.title), "Standard Requst| | ");
  EXPECT_EQ(styled(t.title.key), "Standard Requst[#000000/#5f9ea0]");
  ASSERT_EQ(t.rows.size(), 11u);
  EXPECT_EQ(line(t.rows[0]), "Field|Value|Description");
  EXPECT_EQ(styled(t.rows[0].desc), "Description[#FFFFFF/#5f9ea0]");

  std::vector<std::string> expected = {
      "bmRequest|0x80| ", "     Recipient|0|Device", "     Type|0|Standard",
      "     Direction|1|Device To Host", "bRequest|0x06|Get Descriptor", "wValue|0x0100| ",
      "     index|0| ", "     type|1|Device Descriptor", "wIndex|0x0000| ", "wLength|0x0012| ",
  };
  EXPECT_EQ(tabletext::lines(t), expected);

  // Fields are grey on the default background, sub-fields carry no colours.
  EXPECT_EQ(styled(t.rows[1].key) + styled(t.rows[1].value), "bmRequest[/#a9a9a9]0x80[/#a9a9a9]");
  EXPECT_EQ(styled(t.rows[2].key) + styled(t.rows[2].value) + styled(t.rows[2].desc),
            "     Recipient[/]0[/]Device[/#a9a9a9]");
}

// The title and the description of one field per request.
TEST(SetupRequest, TitlesAndDescriptionsOfRequestKinds) {
  const struct {
    std::vector<uint8_t> bytes;
    const char *title, *field, *desc;
  } cases[] = {
      {{0x00, 0x05, 0x07, 0, 0, 0, 0, 0}, "Standard Requst", "wValue", "Address:7"},
      {{0x00, 0x05, 0x07, 0, 0, 0, 0, 0}, "Standard Requst", "     Direction", "Host To Device"},
      {{0x00, 0x09, 0x01, 0, 0, 0, 0, 0}, "Standard Requst", "wValue", "Config:1"},
      // Class and vendor requests use the standard names.
      {{0x21, 0x09, 0x00, 0x02, 0, 0, 1, 0}, "Class Requst", "bRequest", "Set Configuration"},
      {{0x21, 0x09, 0x00, 0x02, 0, 0, 1, 0}, "Class Requst", "     Recipient", "Interface"},
      {{0xC2, 0x30, 0, 0, 0, 0, 0, 0}, "Vendor Requst", "bRequest", "Set Sel"},
      {{0xC2, 0x30, 0, 0, 0, 0, 0, 0}, "Vendor Requst", "     Recipient", "EndPoint"},
      // Type 3 (reserved), recipient 31, request 2: no names.
      {{0x7F, 0x02, 0, 0, 0, 0, 0, 0}, " ", "     Recipient", " "},
      {{0x7F, 0x02, 0, 0, 0, 0, 0, 0}, " ", "     Type", " "},
      {{0x7F, 0x02, 0, 0, 0, 0, 0, 0}, " ", "bRequest", " "},
      {{0x80, 6, 0, 3, 0, 0, 4, 0}, "Standard Requst", "     type", "Language ID Descriptor"},
      {{0x80, 6, 0xFF, 3, 0x09, 0x04, 0xFF, 0}, "Standard Requst", "     type", "String Descriptor"},
      {{0x80, 6, 0, 2, 0, 0, 9, 0}, "Standard Requst", "     type", "Config Descriptor"},
      {{0x80, 6, 0, 0x22, 0, 0, 9, 0}, "Standard Requst", "     type", " "},
  };
  for (const auto& c : cases) {
    Table t = request_table(c.bytes);
    SCOPED_TRACE(c.field);
    EXPECT_EQ(t.title.key.text, c.title);
    EXPECT_EQ(desc(t, c.field), c.desc);
    for (const tabletext::Row& r : t.rows) EXPECT_NE(r.desc.text, "<null>") << r.key.text;  // three cells each
  }
  // Only GET_DESCRIPTOR splits wValue into index and type.
  Table set = request_table({0x00, 0x05, 0x07, 0, 0, 0, 0, 0});
  EXPECT_EQ(tabletext::find(set, "     index"), nullptr);
  Table s = request_table({0x80, 6, 0xFF, 3, 0x09, 0x04, 0xFF, 0});
  EXPECT_EQ(value(s, "     index"), "255");  // every bit of the low byte
  EXPECT_EQ(value(s, "wIndex"), "0x0409");
  EXPECT_EQ(value(s, "wLength"), "0x00ff");
}

// The texts of standard and class request lines are pinned by the golden outputs.
TEST(SetupRequest, RequestLineColoursAndReservedType) {
  std::vector<tabletext::Row> rows = request_line({0x80, 6, 0, 1, 0, 0, 0x12, 0}, 7, 0);
  EXPECT_EQ(styled(rows[0].key), "Standard Req[#f0e68c/#000000]");
  EXPECT_EQ(styled(rows[2].key), "Point[#a9a9a9/]");
  EXPECT_EQ(line(request_line({0x60, 2, 0, 0, 0, 0, 0, 0}, 1, 2)[0]), " | |<null>");
}
