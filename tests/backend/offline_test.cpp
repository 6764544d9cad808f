// qelvo.exe's offline mode and its command line.
#include <gtest/gtest.h>

#include "backend/bus_simulator.h"
#include "backend/options.h"
#include "tests/backend/backend_test_util.h"

using backendtest::FilePacket;
using backendtest::run_backend;

namespace {

// Exactly the simulator's packets in every format; zero packets give a valid
// empty file, and a file that cannot be created fails.
TEST(BackendOffline, WritesExactlyTheSimulatedPacketsInEveryFormat) {
  testenv::TempDir tmp;
  for (const char* ext : {".pcap", ".pcapng", ".qelvo", ".bin"}) {
    std::string file = tmp.file(std::string("bus") + ext), err;
    ASSERT_EQ(run_backend({"-s", "fs", "--offline", "3000", "--seed", "9", "-f", file}, 20000, &err), 0) << err;
    capture_test::ReadResult got = capture_test::read_all(file);
    ASSERT_EQ(got.end, 0) << ext << ": " << got.error;
    ASSERT_EQ(got.packets.size(), 3000u) << ext;
    BusSimulator* sim = bus_sim_create(USB_SPEED_FULL, 9);
    for (size_t i = 0; i < got.packets.size(); i++) {
      const SimPacketView* p = bus_sim_next(sim);
      ASSERT_TRUE(got.packets[i] == (FilePacket{{p->bytes, p->bytes + p->length}, p->timestamp_ns})) << ext << " " << i;
    }
    bus_sim_destroy(sim);
  }
  std::string file = tmp.file("empty.pcap"), err;
  ASSERT_EQ(run_backend({"--offline", "0", "-f", file}, 10000, &err), 0) << err;
  capture_test::ReadResult empty = capture_test::read_all(file);
  EXPECT_TRUE(empty.end == 0 && empty.packets.empty()) << empty.error;
  EXPECT_EQ(run_backend({"--offline", "10", "-f", tmp.file("no/such/dir/x.pcap")}, 10000, &err), 1);
  EXPECT_NE(err.find("x.pcap"), std::string::npos) << err;
}

TEST(BackendCommandLine, BadOptionsExitWithStatus2AndSayWhyAndTheSystemsOwnParses) {
  struct Case {
    std::vector<std::string> args;
    const char* says;
    const char* rate;  // QELVO_REPLAY_RATE, or null
  } cases[] = {
      {{"-s", "xs"}, "unknown speed \"xs\"", nullptr},
      {{"-s"}, "-s needs a speed", nullptr},
      {{"-f"}, "-f needs a file name", nullptr},
      {{"--offline", "12"}, "--offline needs -f FILE", nullptr},
      {{"--offline", "-3", "-f", "x.pcap"}, "--offline needs a packet count", nullptr},
      {{"--offline", "99999999999999999999999", "-f", "x.pcap"}, "--offline needs a packet count", nullptr},
      {{"--seed", "1x"}, "--seed needs an unsigned number", nullptr},
      {{"--bogus"}, "unknown argument \"--bogus\"", nullptr},
      {{"-s", "hs", "stray"}, "unknown argument \"stray\"", nullptr},
      {{"-s", "hs", "-c"}, "QELVO_REPLAY_RATE", "fast"},
  };
  for (const Case& c : cases) {
    c.rate ? setenv("QELVO_REPLAY_RATE", c.rate, 1) : unsetenv("QELVO_REPLAY_RATE");
    std::string err;
    EXPECT_EQ(run_backend(c.args, 10000, &err), 2) << c.says;
    EXPECT_NE(err.find(c.says), std::string::npos) << "stderr: " << err;
    EXPECT_TRUE(c.rate || err.find("usage:") != std::string::npos);
  }
  unsetenv("QELVO_REPLAY_RATE");

  // The system's own command line parses.
  const char* argv[] = {"qelvo.exe", "-s", "ls", "-c", "-f", "cfile.qelvo"};
  BackendOptions o;
  char err[256];
  ASSERT_EQ(backend_parse_options(6, const_cast<char**>(argv), &o, err, sizeof err), 0) << err;
  EXPECT_EQ(o.speed, USB_SPEED_LOW);
  EXPECT_EQ(o.continuous, 1);
  EXPECT_STREQ(o.file, "cfile.qelvo");
  EXPECT_EQ(o.offline, 0);
  // The format follows the extension, in any case; no extension is the qelvo format.
  EXPECT_EQ(backend_file_format("cfile.qelvo"), CAPTURE_FORMAT_QELVO);
  EXPECT_EQ(backend_file_format("a.PCAP"), CAPTURE_FORMAT_PCAP_NS);
  EXPECT_EQ(backend_file_format("a.PcapNG"), CAPTURE_FORMAT_PCAPNG);
  EXPECT_EQ(backend_file_format("a.pcapng.bin"), CAPTURE_FORMAT_QELVO);
  EXPECT_EQ(backend_file_format("pcap"), CAPTURE_FORMAT_QELVO);
  EXPECT_EQ(backend_file_format(".pcap"), CAPTURE_FORMAT_PCAP_NS);
}

}  // namespace
