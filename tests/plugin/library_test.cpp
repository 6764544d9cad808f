// The built library as a host sees it (its export surface, a channel that
// cannot be made), option template and option parsing, and hex text.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <memory>

#include "plugin/plugin_internal.h"
#include "tests/plugin/plugin_test_util.h"

using namespace plugintest;

// Exactly three exports; a channel that cannot be made is a notice, not an exit.
TEST(Library, ExportsThreeFunctionsAndReportsAChannelFailure) {
  std::string cmd = "nm -D --defined-only --format=just-symbols " + library_path() + " 2>&1", names;
  FILE* p = popen(cmd.c_str(), "r");
  ASSERT_NE(nullptr, p);
  for (int c; (c = fgetc(p)) != EOF;) names += (char)c;
  ASSERT_EQ(0, pclose(p)) << cmd;
  EXPECT_EQ("ovix_close\novix_get_option\novix_open\n", names);

  Isolation iso;
  // Names longer than the system allows: neither open nor create can work.
  ScopedEnv suffix("QELVO_SHM_SUFFIX", std::string(300, 'x').c_str());
  Library lib;
  ASSERT_NE(nullptr, lib.handle) << lib.error;
  Recorder rec;
  EXPECT_EQ(nullptr, lib.open("<speed,HS>", &rec, Recorder::callback));
  std::vector<Call> calls = rec.snapshot();
  ASSERT_EQ(1u, calls.size());
  // The channel's status text follows.
  expect_notice(calls[0], -1, std::string("creat mem failed: creat share mem failed (err code: 36)", 56));
  // The library is still usable afterwards.
  testenv::ShmIsolation fresh;
  EXPECT_EQ(0, lib.close(nullptr));
}

// The template needs room for its zero; the first "<speed," decides, by the
// two characters behind it.
TEST(Options, TemplateAndSpeedCodesWithTheirNotices) {
  char buf[64];
  memset(buf, 'x', sizeof buf);
  EXPECT_EQ(8, ovix_get_option(buf, 24));
  EXPECT_EQ(0, memcmp(buf, "<select,speed,HS,FS,LS>", 24));
  EXPECT_EQ('x', buf[24]) << "nothing written behind the zero";
  memset(buf, 'x', sizeof buf);
  EXPECT_EQ(-1, ovix_get_option(buf, 23));
  EXPECT_EQ(0, memcmp(buf, "\0x", 2)) << "only the zero written";
  EXPECT_EQ(-1, ovix_get_option(nullptr, 64));

  struct Case {
    const char* option;
    uint32_t speed;      // 0: refused
    const char* notice;  // for a refusal
  } cases[] = {
      {"<speed,HS>", 3, nullptr}, {"<speed,FS>", 2, nullptr}, {"x<speed,LS", 1, nullptr},
      {"<select,speed,HS,FS,LS><speed,FSxyz", 2, nullptr}, {"<speed,fs>", 0, "speed not valid, got fs"},
      {"<speed,H", 0, "speed not valid, got H"}, {"<speed,", 0, "speed not valid, got "},
      {"", 0, "speed option not set"}, {"<Speed,HS>", 0, "speed option not set"},
      {nullptr, 0, "speed option not set"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.option ? c.option : "(null)");
    // A heap copy of exactly the text: reading past its zero is caught by
    // the address sanitizer.
    std::unique_ptr<char[]> exact;
    if (c.option) exact.reset(strcpy(new char[strlen(c.option) + 1], c.option));
    Recorder rec;
    CaptureContext ctx;
    ctx.speed = 0;
    ctx.callback = Recorder::callback;
    ctx.user = &rec;
    EXPECT_EQ(c.speed ? 0 : -1, parse_option(&ctx, exact.get()));
    std::vector<Call> calls = rec.snapshot();
    if (c.speed) {
      EXPECT_TRUE(calls.empty());
      EXPECT_EQ(c.speed, ctx.speed);
      EXPECT_EQ((int32_t)c.speed, g_speedCode);
      continue;
    }
    ASSERT_EQ(1u, calls.size());
    expect_notice(calls[0], -1, std::string(c.notice, strlen(c.notice) + 1));
  }
  CaptureContext no_callback;
  EXPECT_EQ(-1, parse_option(&no_callback, "nothing")) << "no notice, and no crash, without a callback";
}

TEST(ToHex, PairsSeparatedByOneBlank) {
  std::string all;
  for (int i = 0; i < 256; ++i) all += (char)i;
  char want[256 * 3 + 1];
  for (int i = 0; i < 256; ++i) snprintf(want + i * 3, 4, "%02X ", i);
  want[256 * 3 - 1] = 0;  // 3 * length bytes with the zero
  EXPECT_EQ(want, hex_of(all));
  for (int n : {0, -5}) {
    char out[2] = {'#', '#'};
    to_hex(nullptr, n, out);
    EXPECT_EQ(0, memcmp(out, "\0#", 2));
  }
}
