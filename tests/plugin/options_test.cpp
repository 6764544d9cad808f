// Option template and option parsing, hex text, and the refusals of ovix_open
// that happen before anything is started.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>

#include "plugin/plugin_internal.h"
#include "tests/plugin/plugin_test_util.h"

using plugintest::Call;
using plugintest::Recorder;

namespace {

// Parses `option` into a fresh context; the notices go to `rec`.
int parse(const char* option, Recorder* rec, CaptureContext* ctx) {
  ctx->callback = Recorder::callback;
  ctx->user = rec;
  return parse_option(ctx, option);
}

}  // namespace

TEST(Options, TemplateNeedsRoomForItsZero) {
  char buf[64];
  memset(buf, 'x', sizeof buf);
  EXPECT_EQ(8, ovix_get_option(buf, sizeof buf));
  EXPECT_STREQ("<select,speed,HS,FS,LS>", buf);
  EXPECT_EQ('x', buf[24]) << "nothing written behind the zero";
  char exact[24];
  EXPECT_EQ(8, ovix_get_option(exact, sizeof exact));
  EXPECT_EQ(0, memcmp(exact, "<select,speed,HS,FS,LS>", 24));
  char small[23];
  memset(small, 'x', sizeof small);
  EXPECT_EQ(-1, ovix_get_option(small, sizeof small));
  EXPECT_EQ(0, small[0]);
  EXPECT_EQ('x', small[22]);
  EXPECT_EQ(-1, ovix_get_option(nullptr, 64));
}

TEST(Options, SpeedCodesAndTheirNotices) {
  struct Case {
    const char* option;
    int result;
    uint32_t speed;
    const char* notice;  // null: no notice expected
  };
  const Case cases[] = {
      {"<speed,HS>", 0, 3, nullptr},
      {"<speed,FS>", 0, 2, nullptr},
      {"x<speed,LS", 0, 1, nullptr},
      {"<select,speed,HS,FS,LS><speed,FSxyz", 0, 2, nullptr},
      {"<speed,fs>", -1, 0, "speed not valid, got fs"},
      {"<speed,H", -1, 0, "speed not valid, got H"},
      {"", -1, 0, "speed option not set"},
      {"<Speed,HS>", -1, 0, "speed option not set"},
      {nullptr, -1, 0, "speed option not set"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.option ? c.option : "(null)");
    Recorder rec;
    CaptureContext ctx;
    ctx.speed = 0;
    EXPECT_EQ(c.result, parse(c.option, &rec, &ctx));
    std::vector<Call> calls = rec.snapshot();
    if (!c.notice) {
      EXPECT_TRUE(calls.empty());
      EXPECT_EQ(c.speed, ctx.speed);
      EXPECT_EQ((int32_t)c.speed, g_speedCode);
      continue;
    }
    ASSERT_EQ(1u, calls.size());
    plugintest::expect_notice(calls[0], -1, std::string(c.notice, strlen(c.notice) + 1));
    EXPECT_EQ(0u, calls[0].a);
    EXPECT_EQ(0u, calls[0].b);
  }
  CaptureContext no_callback;
  EXPECT_EQ(-1, parse_option(&no_callback, "nothing")) << "no notice, and no crash, without a callback";
}

TEST(Options, EndOfTextRightAfterTheKeyIsNotOverread) {
  // Heap copy of exactly the text: reading past its zero would be caught
  // by the address sanitizer.
  const char text[] = "<speed,";
  std::unique_ptr<char[]> exact(new char[sizeof text]);
  memcpy(exact.get(), text, sizeof text);
  Recorder rec;
  CaptureContext ctx;
  EXPECT_EQ(-1, parse(exact.get(), &rec, &ctx));
  std::vector<Call> calls = rec.snapshot();
  ASSERT_EQ(1u, calls.size());
  EXPECT_EQ(std::string("speed not valid, got "), calls[0].bytes.c_str());
}

TEST(ToHex, PairsSeparatedByOneBlank) {
  using plugintest::hex_of;
  EXPECT_EQ("01 AB", hex_of("\x01\xAB"));
  EXPECT_EQ("00", hex_of(std::string(1, '\0')));
  EXPECT_EQ("FF 10 0A", hex_of("\xFF\x10\x0A"));
  std::string all;
  for (int i = 0; i < 256; ++i) all += (char)i;
  std::string text = hex_of(all);
  ASSERT_EQ(256u * 3 - 1, text.size()) << "3 * length bytes with the zero";
  EXPECT_EQ("7F 80", text.substr(127 * 3, 5));
  char out[4] = {'#', '#', '#', '#'};
  to_hex(nullptr, 0, out);
  EXPECT_EQ(0, out[0]);
  EXPECT_EQ('#', out[1]);
  out[0] = '#';
  to_hex(nullptr, -5, out);
  EXPECT_EQ(0, out[0]);
}

TEST(Options, RandomTextsAgreeWithASimpleModel) {
  uint32_t seed = 12345;
  auto next = [&seed] {
    seed = seed * 1103515245u + 12345u;
    return (seed >> 16) & 0x7FFF;
  };
  const char alphabet[] = "<speed,HFLSsx>";
  for (int round = 0; round < 20000; ++round) {
    std::string text;
    int len = (int)(next() % 24);
    for (int i = 0; i < len; ++i) text += alphabet[next() % (sizeof alphabet - 1)];
    if (next() % 4 == 0) text.insert(next() % (text.size() + 1), "<speed,");
    // The model: the first "<speed," decides, by the two characters behind it.
    size_t at = text.find("<speed,");
    std::string code = at == std::string::npos ? "" : text.substr(at + 7, 2);
    uint32_t speed = code == "HS" ? 3 : code == "FS" ? 2 : code == "LS" ? 1 : 0;
    Recorder rec;
    CaptureContext ctx;
    ctx.speed = 0;
    ASSERT_EQ(speed ? 0 : -1, parse(text.c_str(), &rec, &ctx)) << text;
    ASSERT_EQ(speed ? 0u : 1u, rec.snapshot().size()) << text;
    if (speed) {
      ASSERT_EQ(speed, ctx.speed) << text;
    }
  }
}
