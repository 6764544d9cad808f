// Cross-check of the simulated bus with an independent decoder: tshark
// decodes link type 288 pcap files (CRCs, split tokens, setup packets and
// descriptors) and must find nothing wrong but the packets damaged on purpose.
#include <gtest/gtest.h>

#include <cstdio>
#include <algorithm>
#include <cstdlib>
#include <set>
#include <sstream>
#include <string>

#include "backend/bus_simulator.h"
#include "tests/backend/backend_test_util.h"
#include "tests/support/test_env.h"

namespace {

class BackendTsharkCrossCheck : public ::testing::TestWithParam<const char*> {};

TEST_P(BackendTsharkCrossCheck, OnlyTheDamagedPacketsDrawComplaints) {
  if (system("command -v tshark >/dev/null 2>&1") != 0)
    GTEST_SKIP() << "tshark is not installed (Debian package \"tshark\"): the cross-check with an "
                    "independent decoder is skipped";
  const char* speed = GetParam();
  UsbSpeed s = speed[0] == 'l' ? USB_SPEED_LOW : speed[0] == 'f' ? USB_SPEED_FULL : USB_SPEED_HIGH;
  const uint64_t n = s == USB_SPEED_LOW ? 20000 : 60000;
  testenv::TempDir tmp;
  std::string file = tmp.file(std::string(speed) + ".pcap"), err;
  ASSERT_EQ(backendtest::run_backend({"-s", speed, "--seed", "4", "--offline", std::to_string(n), "-f", file}, 30000,
                                     &err),
            0)
      << err;
  // The same seed in process tells which packets were damaged on purpose.
  std::set<uint64_t> damaged;  // tshark frame numbers, from 1
  BusSimulator* sim = bus_sim_create(s, 4);
  for (uint64_t i = 0; i < n; i++)
    if (bus_sim_next(sim)->corrupted) damaged.insert(i + 1);
  bus_sim_destroy(sim);
  // With this seed the damage path is cross-checked too (low speed has too
  // few packets that can carry a CRC).
  if (s != USB_SPEED_LOW) {
    EXPECT_FALSE(damaged.empty());
  }
  std::string command = "tshark -n -r '" + file +
                        "' -T fields -E separator=/t -e frame.number -e _ws.expert.message "
                        "-e _ws.malformed -e usb.idVendor 2>/dev/null";
  FILE* p = popen(command.c_str(), "r");
  ASSERT_NE(p, nullptr);
  std::string out;
  char buf[4096];
  for (size_t got; (got = fread(buf, 1, sizeof buf, p)) > 0;) out.append(buf, got);
  ASSERT_EQ(pclose(p), 0) << "tshark failed on " << file;
  std::istringstream lines(out);
  uint64_t frames = 0;
  std::set<uint64_t> complained;
  std::string line, complaints;
  bool saw_vendor = false;
  while (std::getline(lines, line)) {
    std::vector<std::string> f;
    std::stringstream ls(line);
    for (std::string cell; std::getline(ls, cell, '\t');) f.push_back(cell);
    if (f.empty()) continue;
    frames++;
    f.resize(std::max<size_t>(f.size(), 4));
    saw_vendor |= f[3] == "0x1209";
    if (f[1].empty() && f[2].empty()) continue;  // neither an expert message nor malformed
    complained.insert(std::stoull(f[0]));
    if (!damaged.count(std::stoull(f[0])) && complaints.size() < 2000)
      complaints += "  frame " + f[0] + ": " + f[1] + "\n";
  }
  EXPECT_EQ(frames, n);
  EXPECT_TRUE(complaints.empty()) << "tshark complains about good packets:\n" << complaints;
  for (uint64_t d : damaged) EXPECT_TRUE(complained.count(d)) << "tshark did not see the damage of frame " << d;
  EXPECT_TRUE(saw_vendor) << "tshark decoded no device descriptor with our vendor ID";
}

INSTANTIATE_TEST_SUITE_P(Speeds, BackendTsharkCrossCheck, ::testing::Values("ls", "fs", "hs"));

}  // namespace
