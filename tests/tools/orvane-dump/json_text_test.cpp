// JSON strings of arbitrary bytes: always valid UTF-8 JSON, bytes recoverable.
#include <gtest/gtest.h>

#include <string>

#include "views/json_text.h"

namespace {

std::string js(const std::string& s) {
  std::string out;
  json_append_string(out, s.data(), s.size());
  return out;
}

TEST(JsonText, EscapesQuotesBackslashesAndControls) {
  EXPECT_EQ(js("plain"), "\"plain\"");
  EXPECT_EQ(js("a\"b\\c"), "\"a\\\"b\\\\c\"");
  EXPECT_EQ(js("\n\r\t\b\f"), "\"\\n\\r\\t\\b\\f\"");
  EXPECT_EQ(js(std::string("\0\x01\x1f", 3)), "\"\\u0000\\u0001\\u001f\"");
  EXPECT_EQ(js("\x7f"), "\"\x7f\"");
}

TEST(JsonText, ValidUtf8PassesInvalidBytesAreEscaped) {
  EXPECT_EQ(js("\xE2\x86\x91 \xC3\xA9 \xF0\x9F\x98\x80"), "\"\xE2\x86\x91 \xC3\xA9 \xF0\x9F\x98\x80\"");
  EXPECT_EQ(js("\xff"), "\"\\u00ff\"");
  EXPECT_EQ(js("\xC3"), "\"\\u00c3\"");                    // truncated sequence
  EXPECT_EQ(js("\xC0\x80"), "\"\\u00c0\\u0080\"");         // overlong
  EXPECT_EQ(js("\xED\xA0\x80"), "\"\\u00ed\\u00a0\\u0080\"");  // surrogate
  EXPECT_EQ(js("\xE2\x86"), "\"\\u00e2\\u0086\"");
  EXPECT_EQ(js("\xF4\x90\x80\x80"), "\"\\u00f4\\u0090\\u0080\\u0080\"");  // above U+10FFFF
}

}  // namespace
