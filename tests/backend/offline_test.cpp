// qelvo.exe's offline mode and its command line.
#include <gtest/gtest.h>

#include <memory>

#include "backend/bus_simulator.h"
#include "backend/options.h"
#include "tests/backend/backend_test_util.h"
#include "tests/support/test_env.h"

using backendtest::FilePacket;

namespace {

std::vector<FilePacket> simulate(UsbSpeed speed, uint64_t seed, size_t n) {
  std::vector<FilePacket> out;
  BusSimulator* sim = bus_sim_create(speed, seed);
  for (size_t i = 0; i < n; i++) {
    const SimPacketView* p = bus_sim_next(sim);
    out.push_back({std::vector<uint8_t>(p->bytes, p->bytes + p->length), p->timestamp_ns});
  }
  bus_sim_destroy(sim);
  return out;
}

class BackendOfflineFormats : public ::testing::TestWithParam<const char*> {};

TEST_P(BackendOfflineFormats, WritesExactlyNSimulatedPacketsThatReadBack) {
  testenv::TempDir tmp;
  std::string file = tmp.file(std::string("bus") + GetParam());
  std::string err;
  int code = backendtest::run_backend({"-s", "fs", "--offline", "3000", "--seed", "9", "-f", file}, 20000, &err);
  ASSERT_EQ(code, 0) << err;
  std::string read_err;
  std::vector<FilePacket> got = backendtest::read_capture(file, &read_err);
  ASSERT_TRUE(read_err.empty()) << read_err;
  ASSERT_EQ(got.size(), 3000u);
  std::vector<FilePacket> want = simulate(USB_SPEED_FULL, 9, 3000);
  for (size_t i = 0; i < want.size(); i++) {
    ASSERT_EQ(got[i].bytes, want[i].bytes) << "packet " << i;
    ASSERT_EQ(got[i].timestamp_ns, want[i].timestamp_ns) << "packet " << i;
  }
}

INSTANTIATE_TEST_SUITE_P(Files, BackendOfflineFormats, ::testing::Values(".pcap", ".pcapng", ".qelvo", ".bin"),
                         [](const ::testing::TestParamInfo<const char*>& info) {
                           std::string s = info.param + 1;
                           return s;
                         });

TEST(BackendOffline, ZeroPacketsGiveAValidEmptyFile) {
  testenv::TempDir tmp;
  std::string file = tmp.file("empty.pcap");
  std::string err;
  ASSERT_EQ(backendtest::run_backend({"--offline", "0", "-f", file}, 10000, &err), 0) << err;
  std::string read_err;
  EXPECT_TRUE(backendtest::read_capture(file, &read_err).empty());
  EXPECT_TRUE(read_err.empty()) << read_err;
}

TEST(BackendOffline, FileThatCannotBeCreatedFailsWithAMessage) {
  testenv::TempDir tmp;
  std::string err;
  int code = backendtest::run_backend({"--offline", "10", "-f", tmp.file("no/such/dir/x.pcap")}, 10000, &err);
  EXPECT_EQ(code, 1);
  EXPECT_NE(err.find("x.pcap"), std::string::npos) << err;
}

TEST(BackendCommandLine, BadOptionsExitWithStatus2AndSayWhy) {
  struct Case {
    std::vector<std::string> args;
    const char* says;
  } cases[] = {
      {{"-s", "xs"}, "unknown speed \"xs\""},
      {{"-s"}, "-s needs a speed"},
      {{"-f"}, "-f needs a file name"},
      {{"--offline", "12"}, "--offline needs -f FILE"},
      {{"--offline", "-3", "-f", "x.pcap"}, "--offline needs a packet count"},
      {{"--offline", "99999999999999999999999", "-f", "x.pcap"}, "--offline needs a packet count"},
      {{"--seed", "1x"}, "--seed needs an unsigned number"},
      {{"--bogus"}, "unknown argument \"--bogus\""},
      {{"-s", "hs", "stray"}, "unknown argument \"stray\""},
  };
  for (const Case& c : cases) {
    std::string err;
    EXPECT_EQ(backendtest::run_backend(c.args, 10000, &err), 2) << c.says;
    EXPECT_NE(err.find(c.says), std::string::npos) << "stderr: " << err;
    EXPECT_NE(err.find("usage:"), std::string::npos);
  }
}

TEST(BackendCommandLine, BadReplayRateExitsWithStatus2) {
  setenv("QELVO_REPLAY_RATE", "fast", 1);
  std::string err;
  EXPECT_EQ(backendtest::run_backend({"-s", "hs", "-c"}, 10000, &err), 2);
  unsetenv("QELVO_REPLAY_RATE");
  EXPECT_NE(err.find("QELVO_REPLAY_RATE"), std::string::npos) << err;
}

TEST(BackendCommandLine, TheSystemsOwnCommandLineParses) {
  const char* argv[] = {"qelvo.exe", "-s", "ls", "-c", "-f", "cfile.qelvo"};
  BackendOptions o;
  char err[256];
  ASSERT_EQ(backend_parse_options(6, const_cast<char**>(argv), &o, err, sizeof err), 0) << err;
  EXPECT_EQ(o.speed, USB_SPEED_LOW);
  EXPECT_EQ(o.continuous, 1);
  EXPECT_STREQ(o.file, "cfile.qelvo");
  EXPECT_EQ(o.offline, 0);
  EXPECT_EQ(backend_file_format("cfile.qelvo"), CAPTURE_FORMAT_QELVO);
  EXPECT_EQ(backend_file_format("a.PCAP"), CAPTURE_FORMAT_PCAP_NS);
  EXPECT_EQ(backend_file_format("a.pcapng"), CAPTURE_FORMAT_PCAPNG);
  EXPECT_EQ(backend_file_format("pcap"), CAPTURE_FORMAT_QELVO);
}

}  // namespace

namespace {

TEST(BackendCommandLine, RandomArgumentListsNeverCrashTheParser) {
  // Deterministic: the same lists on every run.
  const char* words[] = {"-s", "ls", "fs", "hs", "HS", "-c", "-f", "x.pcap", "", "--offline", "0", "12",
                         "-1", "--seed", "18446744073709551615", "18446744073709551616", "-h", "--", "-",
                         "--offline=3", "\xC3\xA9"};
  const int nwords = sizeof words / sizeof words[0];
  uint64_t x = 0x243F6A8885A308D3ull;
  for (int round = 0; round < 5000; round++) {
    std::vector<const char*> argv = {"qelvo.exe"};
    x ^= x << 13;
    x ^= x >> 7;
    x ^= x << 17;
    int n = (int)(x % 7);
    for (int i = 0; i < n; i++) {
      x ^= x << 13;
      x ^= x >> 7;
      x ^= x << 17;
      argv.push_back(words[x % nwords]);
    }
    BackendOptions o;
    char err[256] = {0};
    int rc = backend_parse_options((int)argv.size(), const_cast<char**>(argv.data()), &o, err, sizeof err);
    ASSERT_TRUE(rc == 0 || rc == -1);
    if (rc == -1) {
      ASSERT_NE(err[0], 0) << "round " << round;
    } else {
      ASSERT_TRUE(o.speed >= USB_SPEED_LOW && o.speed <= USB_SPEED_HIGH);
      ASSERT_TRUE(!o.offline || o.file);
    }
  }
}

}  // namespace
