// The built library as a host sees it: its export surface, and a channel
// that cannot be made (the close of a handle that is not the open capture is
// covered by the end-to-end tests).
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <set>

#include "tests/plugin/plugin_test_util.h"

using namespace plugintest;

TEST(Library, ExportsExactlyTheThreeFunctions) {
  std::string cmd = "nm -D --defined-only " + library_path() + " 2>&1";
  FILE* p = popen(cmd.c_str(), "r");
  ASSERT_NE(nullptr, p);
  std::set<std::string> names;
  char line[512], addr[64], type[8], name[400];
  while (fgets(line, sizeof line, p))
    if (sscanf(line, "%63s %7s %399s", addr, type, name) == 3) names.insert(name);
  ASSERT_EQ(0, pclose(p)) << cmd;
  EXPECT_EQ((std::set<std::string>{"ovix_close", "ovix_get_option", "ovix_open"}), names);
}

TEST(Library, ChannelFailureIsANoticeNotAnExit) {
  Isolation iso;
  // Names longer than the system allows: neither open nor create can work.
  ScopedEnv suffix("QELVO_SHM_SUFFIX", std::string(300, 'x').c_str());
  Library lib(library_path());
  ASSERT_NE(nullptr, lib.handle) << lib.error;
  Recorder rec;
  EXPECT_EQ(nullptr, lib.open("<speed,HS>", &rec, Recorder::callback));
  std::vector<Call> calls = rec.snapshot();
  ASSERT_EQ(1u, calls.size());
  EXPECT_EQ(-1, calls[0].kind);
  const std::string prefix = "creat mem failed: ";
  EXPECT_EQ(prefix, calls[0].bytes.substr(0, prefix.size())) << calls[0].bytes;
  EXPECT_GT(calls[0].bytes.size(), prefix.size() + 1) << "the channel's status text follows";
  EXPECT_EQ((int32_t)strlen(calls[0].bytes.c_str()) + 1, calls[0].length);
  // The library is still usable afterwards.
  testenv::ShmIsolation fresh;
  EXPECT_EQ(0, lib.close(nullptr));
}
