// The script host: loading, missing functions, errors in the script, raw
// payloads with zero bytes, and a missing script.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <fstream>
#include <string>
#include <vector>

#include "acquisition/script_host/lua_host.h"
#include "os/log.h"
#include "tests/support/test_env.h"

namespace {

class LuaHost : public ::testing::Test {
 protected:
  void SetUp() override {
    orvane_log_set_sink([](const char* line, void* test) { ((LuaHost*)test)->logs.push_back(line); }, this);
  }
  void TearDown() override {
    lua_host_close();
    orvane_log_set_sink(nullptr, nullptr);
  }
  void script(const std::string& text) {
    mkdir(dir.file("script").c_str(), 0755);
    std::ofstream(dir.file("script/main.lua")) << text;
  }
  int count(const std::string& prefix) {
    return (int)std::count_if(logs.begin(), logs.end(), [&](const std::string& l) { return l.rfind(prefix, 0) == 0; });
  }
  std::vector<std::string> logs;
  testenv::TempDir dir;
  testenv::ScopedChdir cd{dir.path()};
};

// A missing script, a script without process_data, and one whose
// process_data fails: each reported as often as it happens.
TEST_F(LuaHost, ScriptFaultsAreReportedPayloadsArriveWholeAndTheSampleScriptDecodesBootReports) {
  lua_host_open();
  ASSERT_EQ(count("<font color='red'>Lua 脚本加载失败: "), 1);
  EXPECT_NE(logs.back().find("script/main.lua"), std::string::npos) << logs.back();
  EXPECT_TRUE(lua_host_has_state());  // left for the cleanup
  lua_host_close();
  EXPECT_FALSE(lua_host_has_state());

  script("x = 1\n");
  lua_host_open();
  lua_host_open();  // a second open keeps the state
  const uint8_t b[] = {1, 2, 3};
  for (int i = 0; i < 5; i++) lua_host_process(b, 3);
  EXPECT_EQ(count("<font color='red'>Error: Lua function 'process_data' not found!</font>"), 1);
  EXPECT_TRUE(lua_host_has_state());
  EXPECT_FALSE(lua_host_has_function());
  lua_host_close();

  script("n = 0\nfunction process_data(p) n = n + 1; error('bad payload ' .. n) end\n");
  lua_host_open();
  lua_host_process(b, 1);
  lua_host_process(b, 1);
  ASSERT_EQ(count("<font color='red'>Lua 执行报错: "), 2);
  EXPECT_NE(logs.back().find("bad payload 2"), std::string::npos) << logs.back();
  EXPECT_EQ(logs.back().substr(logs.back().size() - 7), "</font>");
  lua_host_close();
  logs.clear();

  script("function process_data(p)\n"
         "  local f = io.open('seen.bin', 'ab'); f:write(string.format('%d:', #p), p); f:close()\n"
         "end\n"
         "function cleanup() io.open('cleanup.txt', 'w'):close() end\n");
  lua_host_open();
  EXPECT_EQ(count("Lua 脚本加载成功，开始采集数据..."), 1);
  ASSERT_TRUE(lua_host_has_function());
  const uint8_t payload[] = {0x00, 0x41, 0x00, 0xFF};
  lua_host_process(payload, 4);
  lua_host_process(payload, 0);        // length 0 is not passed on
  lua_host_process(nullptr, 4);        // nor missing bytes
  EXPECT_EQ(testenv::read_file(dir.file("seen.bin")), std::string("4:\0A\0\xFF", 6));
  lua_host_close();
  EXPECT_TRUE(std::ifstream(dir.file("cleanup.txt")).good()) << "cleanup() was not called";
  EXPECT_FALSE(lua_host_has_state());
  EXPECT_EQ(count("Lua 虚拟机已安全关闭"), 1);

  // The sample script decodes boot-protocol reports.
  script(testenv::read_file(testenv::source_dir() + "/script/main.lua"));
  lua_host_open();
  ASSERT_TRUE(lua_host_has_function());
  testing::internal::CaptureStderr();
  const uint8_t mouse[] = {0x01, 0x05, 0xFE};
  const uint8_t keys[] = {0x02, 0x00, 0x04, 0x05, 0, 0, 0, 0};
  lua_host_process(mouse, 3);
  lua_host_process(keys, 8);
  lua_host_close();
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "[lua] #1 3 bytes: 01 05 FE  (mouse: buttons L-- dx 5 dy -2)\n"
            "[lua] #2 8 bytes: 02 00 04 05 00 00 00 00  (keyboard: mods [LShift] keys [a b])\n"
            "[lua] 2 payloads, 11 bytes\n");
}

}  // namespace
