// The example host tool run as a child process, from a folder of its own so
// that the "qelvo.exe" it starts is a stand-in of the test's choosing (a
// bare program name is looked up next to the running program first).
#include <gtest/gtest.h>
#include <signal.h>

#include <fstream>

#include "os/process.h"
#include "tests/plugin/plugin_test_util.h"
#include "tests/support/capture_test_util.h"

using namespace plugintest;

namespace {

// The line of a callback without its stamp.
std::string line_of(int kind, const std::string& bytes) {
  return std::to_string(kind) + " " + std::to_string(bytes.size()) + " " + hex_of(bytes);
}

// The working directory of the run. With `own_copies` it holds copies of the
// host and the library (so a stand-in backend can sit beside them); without,
// the built host runs with the built backend beside it.
class HostFolder {
 public:
  explicit HostFolder(bool own_copies = true) : host_(testenv::bin_dir() + "/qelvo-host") {
    if (own_copies)
      for (const char* name : {"libqelvo.so", "qelvo-host"}) host_ = copy_program(testenv::bin_dir() + "/" + name, file(name));
  }
  std::string file(const std::string& name) const { return dir_.file(name); }

  // Starts the host with `args` (its callback lines go to "lines.txt").
  OsProcess* start(const std::string& args) {
    return os_process_spawn((host_ + " --out " + file("lines.txt") + " " + args).c_str());
  }
  // Runs the host to its end (at most `ms`); its exit code, or -1.
  int run(const std::string& args, int ms = 10000) {
    OsProcess* proc = start(args);
    if (!proc) return -1;
    OsProcessExit how{};
    int r = os_process_wait(proc, (uint32_t)ms, &how);
    if (r != 1) os_process_kill(proc), os_process_wait(proc, 5000, &how);
    os_process_close(proc);
    return r == 1 && !how.crashed ? how.exit_code : -1;
  }
  // The lines "KIND STAMP LENGTH HEX" without their stamps, which go to
  // `stamps` (the stop notice carries the tick count).
  std::vector<std::string> lines(std::vector<unsigned long long>* stamps = nullptr) const {
    std::vector<std::string> lines;
    std::ifstream in(file("lines.txt"));
    for (std::string text; std::getline(in, text);) {
      size_t a = text.find(' '), b = text.find(' ', a + 1);
      if (stamps) stamps->push_back(std::stoull(text.substr(a + 1, b - a - 1)));
      lines.push_back(text.substr(0, a) + text.substr(b));
    }
    return lines;
  }

 private:
  Isolation iso_;
  testenv::TempDir dir_;
  testenv::ScopedChdir chdir_{dir_.path()};
  ScopedEnv path_{"PATH", "/usr/bin:/bin"};
  std::string host_;
};

const std::string kStopLine = line_of(-2, kStop);

}  // namespace

// Refused options and bad arguments, a missing backend, the backend's
// command line, the seconds limit and an interrupt, in one folder.
TEST(Host, OptionsBackendCommandLineLimitsAndInterrupt) {
  HostFolder host;
  ASSERT_EQ(1, host.run("--option <speed,fs>"));
  EXPECT_EQ("-1 0 24 " + hex_of(std::string("speed not valid, got fs", 24)) + "\n", read_file(host.file("lines.txt")));
  for (const char* args : {"--speed XS", "--packets ten", "--seconds -1", "--frobnicate", "--speed"})
    EXPECT_EQ(2, host.run(args)) << args;
  EXPECT_EQ(1, host.run("--lib " + host.file("no-such-library.so")));

  ASSERT_EQ(0, host.run("--speed HS"));
  std::vector<unsigned long long> stamps;
  EXPECT_EQ(host.lines(&stamps), (std::vector<std::string>{line_of(-2, std::string("capture err", 12)), kStopLine}));
  // a = the tick count in ms, b = 0.
  ASSERT_EQ(2u, stamps.size());
  EXPECT_EQ(0u, stamps[1] & 0xFFFFFFFFu);
  EXPECT_GE(stamps[1] >> 32, stamps[0] >> 32);

  write_script(host.file("qelvo.exe"), "echo \"$@\" > \"" + host.file("args.txt") + "\"\nexit 3");
  for (const char* speed : {"HS", "FS", "LS"}) {
    ASSERT_EQ(0, host.run(std::string("--speed ") + speed));
    std::string code = {(char)tolower(speed[0]), 's'};
    EXPECT_EQ("-s " + code + " -c -f cfile.qelvo\n", read_file(host.file("args.txt")));
    // A backend that ends by itself ends the capture.
    EXPECT_EQ(host.lines(), std::vector<std::string>{kStopLine}) << speed;
  }

  write_script(host.file("qelvo.exe"), "exec sleep 30");
  auto t0 = std::chrono::steady_clock::now();
  ASSERT_EQ(0, host.run("--seconds 1 --count"));
  EXPECT_GE(ms_since(t0), 1000);
  EXPECT_LT(ms_since(t0), 4000);
  EXPECT_EQ("0 packets\n", read_file(host.file("lines.txt")));

  // Interrupted, the host closes the capture and kills the backend. The
  // stand-in runs as a shell, which no kill by name of "qelvo.exe" would
  // find, and starts a child of its own: only the kill of the backend's
  // process group ends both.
  write_script(host.file("qelvo.exe"), "sleep 30 &\necho $! > \"" + host.file("child.txt") + "\"\necho $$ > \"" +
                                           host.file("pid.txt") + "\"\nwait");
  OsProcess* proc = host.start("--speed FS");
  ASSERT_NE(nullptr, proc);
  ASSERT_TRUE(wait_until([&] { return !read_file(host.file("pid.txt")).empty(); }, 5000, 10))
      << "the stand-in backend never started";
  pid_t backend = std::stoi(read_file(host.file("pid.txt"))), child = std::stoi(read_file(host.file("child.txt")));
  kill((pid_t)os_process_id(proc), SIGINT);
  t0 = std::chrono::steady_clock::now();
  OsProcessExit how{};
  ASSERT_EQ(1, os_process_wait(proc, 10000, &how));
  EXPECT_LT(ms_since(t0), 2500) << "close must come back within its bound";
  os_process_close(proc);
  EXPECT_TRUE(!how.crashed && how.exit_code == 0) << how.exit_code;
  std::vector<std::string> lines = host.lines();
  EXPECT_TRUE(!lines.empty() && lines.back() == kStopLine);
  EXPECT_NE(0, kill(backend, 0)) << "the backend outlived the capture";
  EXPECT_TRUE(wait_until([&] { return testenv::process_ended(child); }, 5000)) << "the backend's child outlived the capture";
  if (!testenv::process_ended(child)) kill(child, SIGKILL);
}

// The one replay of a real capture through the library: every packet reaches
// the host exactly (kind = the speed, stamp, length, bytes), then the stop;
// a packet limit closes early, and --count counts them all.
TEST(Host, ReplayThroughTheToolDeliversEveryPacketExactly) {
  HostFolder host(false);
  std::string capture = testenv::shared_captures_dir() + "/mouse.pcap";
  ScopedEnv replay("QELVO_REPLAY", capture), rate("QELVO_REPLAY_RATE", "max");
  capture_test::ReadResult want = capture_test::read_all(capture, CAPTURE_TIME_FROM_FIRST);
  ASSERT_GT(want.packets.size(), 5u);
  ASSERT_EQ(0, host.run("--speed LS", 30000));
  std::string lines;
  for (const capture_test::Packet& p : want.packets)
    lines += "1 " + std::to_string(p.ts) + " " + std::to_string(p.bytes.size()) + " " +
             hex_of(std::string(p.bytes.begin(), p.bytes.end())) + "\n";
  EXPECT_EQ(lines, read_file(host.file("lines.txt")).substr(0, lines.size()));
  std::vector<unsigned long long> stamps;
  std::vector<std::string> got = host.lines(&stamps);
  ASSERT_EQ(want.packets.size() + 1, got.size()) << "packets then capture stop";
  EXPECT_EQ(kStopLine, got.back());
  EXPECT_EQ(0u, stamps.back() & 0xFFFFFFFFu);
  ASSERT_EQ(0, host.run("--speed LS --packets 5", 30000));
  got = host.lines();
  EXPECT_TRUE(got.size() == 6 && got.back() == kStopLine) << got.size();
  ASSERT_EQ(0, host.run("--speed LS --count", 30000));
  EXPECT_EQ(std::to_string(want.packets.size()) + " packets\n", read_file(host.file("lines.txt")));
  EXPECT_EQ(0, count_own_backends());
}
