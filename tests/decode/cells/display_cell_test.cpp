// Cells: byte layout, the text form of every type, colours, and the exits on
// integrity failures.
#include "decode/cells/display_cell.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "decode/cells/usb_crc.h"

namespace {

std::string text_of(const void* block, const char** bgd = nullptr, const char** fg = nullptr) {
  char buf[512];
  const char* b = nullptr;
  const char* f = nullptr;
  size_t n = cell_to_text(block, buf, sizeof buf, &b, &f);
  EXPECT_EQ(strlen(buf), n);
  if (bgd) *bgd = b;
  if (fg) *fg = f;
  return buf;
}

struct CellDeleter {
  void operator()(DataMsg* c) const { cell_free(c); }
};
using CellPtr = std::unique_ptr<DataMsg, CellDeleter>;

TEST(DisplayCell, ByteLayout) {
  const uint8_t payload[3] = {0x2D, 0x00, 0x10};
  CellPtr c(cell_create(3, payload, D_HEX, 7, 9));
  ASSERT_TRUE(c);
  const uint8_t* b = (const uint8_t*)c.get();
  EXPECT_EQ(5, b[0] | (b[1] << 8));  // payload + 2
  EXPECT_EQ(D_HEX, b[2]);
  EXPECT_EQ(9, b[3]);  // text colour
  EXPECT_EQ(7, b[4]);  // background colour (given first)
  EXPECT_EQ(0, b[5]);
  EXPECT_EQ(0, memcmp(b + 6, payload, 3));
  uint16_t crc = crc16_usb(b, 9);
  EXPECT_EQ(crc & 0xFF, b[9]);
  EXPECT_EQ(crc >> 8, b[10]);
  EXPECT_EQ(11u, cell_size(c.get()));
  EXPECT_EQ(1, cell_crc_ok(b, 11));
}

TEST(DisplayCell, TextOfEveryTypeAndRefusedArguments) {
  EXPECT_EQ(nullptr, cell_create(4097, std::vector<uint8_t>(4097).data(), D_HEX, 0, 0));
  EXPECT_EQ(nullptr, cell_create(1, nullptr, D_HEX, 0, 0));
  EXPECT_EQ(nullptr, cell_text(nullptr, 0, 0));
  std::vector<uint8_t> big(4096, 0xAB);
  CellPtr c(cell_create(4096, big.data(), D_HEX, 0, 0));
  ASSERT_TRUE(c);
  EXPECT_EQ(1, cell_crc_ok(c.get(), cell_size(c.get())));
  const uint8_t token[3] = {0x2D, 0x00, 0x10}, lower[2] = {0xab, 0x0f};
  const std::pair<const char*, DataMsg*> cases[] = {
      {"2D 00 10", cell_hex(token, 3, 0, 0)},    {"", cell_hex(nullptr, 0, 0, 0)},
      {"AB 0F", cell_hex(lower, 2, 0, 0)},       {"4660", cell_u16(0x1234, 0, 0)},
      {"255", cell_u8(255, 0, 0)},               {"4294967295", cell_u32(0xFFFFFFFFu, 0, 0)},
      {"Type", cell_word(W_TYPE, 0, 0)},         {"\xE2\x86\x93", cell_word(W_DOWN, 0, 0)},
      {" ", cell_empty()},                       {"", cell_create(0, nullptr, D_NULL, 0, 0)},
  };
  for (const auto& c : cases) EXPECT_EQ(c.first, text_of(CellPtr(c.second).get()));
}

TEST(DisplayCell, ColourNames) {
  // An index past the table reads as the default colour, not past the table.
  const struct {
    DataMsg* cell;
    const char *bgd, *fg;
  } cases[] = {{cell_word(W_PACKAGE, 12, 11), "#f8f8ff", "#000000"},
               {cell_u8(1, 0, 0), "", ""},
               {cell_u8(1, 1, 39), "#5f9ea0", "#caebd8"},
               {cell_u8(1, 40, 255), "", ""}};
  for (const auto& c : cases) {
    const char* bgd = nullptr;
    const char* fg = nullptr;
    text_of(CellPtr(c.cell).get(), &bgd, &fg);
    EXPECT_STREQ(c.bgd, bgd);
    EXPECT_STREQ(c.fg, fg);
  }
}

TEST(DisplayCell, TextIsCutToCapacityButLengthIsFull) {
  CellPtr c(cell_text("abcdefgh", 0, 0));
  char buf[4];
  EXPECT_EQ(8u, cell_to_text(c.get(), buf, sizeof buf, nullptr, nullptr));
  EXPECT_STREQ("abc", buf);
  EXPECT_EQ(8u, cell_to_text(c.get(), nullptr, 0, nullptr, nullptr));
  const char* bgd = "x";
  EXPECT_EQ(0u, cell_to_text(nullptr, buf, sizeof buf, &bgd, nullptr));
  EXPECT_STREQ("", buf);
  EXPECT_STREQ("", bgd);
}

TEST(DisplayCell, CrcCheckDetectsCorruptionAndShortBlocks) {
  CellPtr c(cell_text("Setup", 0, 0));
  std::vector<uint8_t> b((uint8_t*)c.get(), (uint8_t*)c.get() + cell_size(c.get()));
  EXPECT_EQ(1, cell_crc_ok(b.data(), b.size()));
  EXPECT_EQ(0, cell_crc_ok(b.data(), b.size() - 1));  // len runs past what is readable
  for (size_t i = 0; i < b.size(); ++i) {
    std::vector<uint8_t> bad = b;
    bad[i] ^= 0x10;
    EXPECT_EQ(0, cell_crc_ok(bad.data(), bad.size())) << "flipped byte " << i;
  }
  uint8_t tiny[8] = {1, 0, 0, 0, 0, 0, 0, 0};  // len 1 cannot hold its own CRC
  EXPECT_EQ(0, cell_crc_ok(tiny, sizeof tiny));
  EXPECT_EQ(0, cell_crc_ok(nullptr, 100));
}

TEST(DisplayCellDeathTest, CorruptedCellOrWordOutsideTheTableEndsTheProcess) {
  CellPtr c(cell_text("Setup", 0, 0));
  std::vector<uint8_t> b((uint8_t*)c.get(), (uint8_t*)c.get() + cell_size(c.get()));
  b[7] ^= 1;
  char buf[32];
  EXPECT_EXIT(cell_to_text(b.data(), buf, sizeof buf, nullptr, nullptr), ::testing::ExitedWithCode(1),
              "conv crc16 err!");
  for (int w : {0, 54}) {
    CellPtr word(cell_word((uint8_t)w, 0, 0));
    EXPECT_EXIT(cell_to_text(word.get(), buf, sizeof buf, nullptr, nullptr), ::testing::ExitedWithCode(255),
                "data->data\\[0\\] = " + std::to_string(w));
  }
}

}  // namespace
