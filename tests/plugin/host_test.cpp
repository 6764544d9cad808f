// The example host tool run as a child process, from a folder of its own so
// that the "qelvo.exe" it starts is a stand-in of the test's choosing (a
// bare program name is looked up next to the running program first).
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "os/process.h"
#include "plugin/plugin_internal.h"
#include "store/capture/capture_file.h"
#include "tests/plugin/plugin_test_util.h"

namespace {

std::string hex_of(const std::string& bytes) {
  std::vector<char> out(bytes.size() * 3 + 1);
  to_hex((const unsigned char*)bytes.data(), (int)bytes.size(), out.data());
  return out.data();
}

// "KIND STAMP LENGTH HEX" as the host prints it.
struct Line {
  int kind = 0;
  unsigned long long stamp = 0;
  int length = 0;
  std::string hex;
};

std::vector<Line> read_lines(const std::string& path) {
  std::vector<Line> lines;
  std::ifstream in(path);
  std::string text;
  while (std::getline(in, text)) {
    std::istringstream s(text);
    Line l;
    s >> l.kind >> l.stamp >> l.length;
    std::getline(s, l.hex);
    if (!l.hex.empty() && l.hex[0] == ' ') l.hex.erase(0, 1);
    lines.push_back(l);
  }
  return lines;
}

void write_script(const std::string& path, const std::string& body) {
  std::ofstream(path) << "#!/bin/sh\n" << body << "\n";
  chmod(path.c_str(), 0755);
}

// A folder holding copies of the host and the library, the working
// directory of the run.
class HostFolder {
 public:
  HostFolder() : chdir_(dir_.path()), path_("PATH", "/usr/bin:/bin") {
    for (const char* name : {"qelvo-host", "libqelvo.so"}) {
      std::filesystem::copy_file(testenv::bin_dir() + "/" + name, dir_.file(name));
      chmod(dir_.file(name).c_str(), 0755);
    }
  }
  std::string file(const std::string& name) const { return dir_.file(name); }

  // Starts the host with `args` (its callback lines go to "lines.txt").
  OsProcess* start(const std::string& args) {
    std::string line = dir_.file("qelvo-host") + " --out " + dir_.file("lines.txt") + " " + args;
    return os_process_spawn(line.c_str());
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
  std::vector<Line> lines() const { return read_lines(dir_.file("lines.txt")); }

 private:
  struct PathEnv {
    PathEnv(const char* name, const char* value) : name_(name) {
      const char* old = getenv(name);
      if (old) old_ = old;
      setenv(name, value, 1);
    }
    ~PathEnv() { setenv(name_.c_str(), old_.c_str(), 1); }
    std::string name_, old_;
  };
  plugintest::Isolation iso_;
  testenv::TempDir dir_;
  testenv::ScopedChdir chdir_;
  PathEnv path_;
};

const std::string kStop = hex_of(std::string("capture stop", 13));
const std::string kErr = hex_of(std::string("capture err", 12));

}  // namespace

TEST(Host, MissingBackendGivesCaptureErrThenStop) {
  HostFolder host;
  ASSERT_EQ(0, host.run("--speed HS"));
  std::vector<Line> lines = host.lines();
  ASSERT_EQ(2u, lines.size());
  EXPECT_EQ(-2, lines[0].kind);
  EXPECT_EQ(12, lines[0].length);
  EXPECT_EQ(kErr, lines[0].hex);
  EXPECT_EQ(-2, lines[1].kind);
  EXPECT_EQ(13, lines[1].length);
  EXPECT_EQ(kStop, lines[1].hex);
  // a = the tick count in ms, b = 0.
  EXPECT_EQ(0u, lines[1].stamp & 0xFFFFFFFFu);
  EXPECT_GE(lines[1].stamp >> 32, lines[0].stamp >> 32);
}

TEST(Host, BackendCommandLineCarriesTheSpeed) {
  HostFolder host;
  write_script(host.file("qelvo.exe"), "echo \"$@\" > \"" + host.file("args.txt") + "\"\nexit 3");
  for (const char* speed : {"HS", "FS", "LS"}) {
    SCOPED_TRACE(speed);
    ASSERT_EQ(0, host.run(std::string("--speed ") + speed));
    std::ifstream in(host.file("args.txt"));
    std::string args;
    std::getline(in, args);
    std::string code = speed[0] == 'H' ? "hs" : speed[0] == 'F' ? "fs" : "ls";
    EXPECT_EQ("-s " + code + " -c -f cfile.qelvo", args);
    // A backend that ends by itself ends the capture.
    std::vector<Line> lines = host.lines();
    ASSERT_EQ(1u, lines.size());
    EXPECT_EQ(kStop, lines[0].hex);
  }
}

TEST(Host, RefusedOptionIsPrintedAndExitsOne) {
  HostFolder host;
  ASSERT_EQ(1, host.run("--option <speed,fs>"));
  std::vector<Line> lines = host.lines();
  ASSERT_EQ(1u, lines.size());
  EXPECT_EQ(-1, lines[0].kind);
  EXPECT_EQ(0u, lines[0].stamp);
  EXPECT_EQ(24, lines[0].length);
  EXPECT_EQ(hex_of(std::string("speed not valid, got fs", 24)), lines[0].hex);

  ASSERT_EQ(1, host.run("--option nothing"));
  lines = host.lines();
  ASSERT_EQ(1u, lines.size());
  EXPECT_EQ(hex_of(std::string("speed option not set", 21)), lines[0].hex);
}

TEST(Host, BadArgumentsExitTwoAndMissingLibraryOne) {
  HostFolder host;
  EXPECT_EQ(2, host.run("--speed XS"));
  EXPECT_EQ(2, host.run("--packets ten"));
  EXPECT_EQ(2, host.run("--seconds -1"));
  EXPECT_EQ(2, host.run("--frobnicate"));
  EXPECT_EQ(2, host.run("--speed"));
  EXPECT_EQ(1, host.run("--lib " + host.file("no-such-library.so")));
}

TEST(Host, InterruptClosesAndKillsABackendOfAnotherImageName) {
  HostFolder host;
  // The stand-in becomes "sleep", which no kill by name would find: only the
  // library's own kill of its child ends it.
  write_script(host.file("qelvo.exe"), "echo $$ > \"" + host.file("pid.txt") + "\"\nexec sleep 30");
  OsProcess* proc = host.start("--speed FS");
  ASSERT_NE(nullptr, proc);
  std::string pid_text;
  for (int i = 0; i < 500 && pid_text.empty(); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    std::ifstream in(host.file("pid.txt"));
    std::getline(in, pid_text);
  }
  ASSERT_FALSE(pid_text.empty()) << "the stand-in backend never started";
  kill((pid_t)os_process_id(proc), SIGINT);
  auto t0 = std::chrono::steady_clock::now();
  OsProcessExit how{};
  ASSERT_EQ(1, os_process_wait(proc, 10000, &how));
  auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0);
  os_process_close(proc);
  EXPECT_EQ(0, how.crashed);
  EXPECT_EQ(0, how.exit_code);
  EXPECT_LT(ms.count(), 2500) << "close must come back within its bound";
  std::vector<Line> lines = host.lines();
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(kStop, lines.back().hex);
  pid_t backend = (pid_t)std::stol(pid_text);
  EXPECT_NE(0, kill(backend, 0)) << "the backend outlived the capture";
}

TEST(Host, SecondsLimitCloses) {
  HostFolder host;
  write_script(host.file("qelvo.exe"), "exec sleep 30");
  auto t0 = std::chrono::steady_clock::now();
  ASSERT_EQ(0, host.run("--seconds 1 --count"));
  auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0);
  EXPECT_GE(ms.count(), 1000);
  EXPECT_LT(ms.count(), 4000);
  std::ifstream in(host.file("lines.txt"));
  std::string text;
  std::getline(in, text);
  EXPECT_EQ("0 packets", text);
}

namespace {

// The packets of a capture file as the host prints them.
std::vector<Line> file_lines(const std::string& path, int kind) {
  std::vector<Line> lines;
  char err[512];
  CaptureReader* r = capture_reader_open(path.c_str(), err, sizeof err);
  EXPECT_NE(nullptr, r) << err;
  if (!r) return lines;
  CapturePacket p;
  while (capture_reader_next(r, &p, err, sizeof err) == 1) {
    Line l;
    l.kind = kind;
    l.stamp = p.timestamp_ns;
    l.length = (int)p.length;
    l.hex = hex_of(std::string((const char*)p.bytes, p.length));
    lines.push_back(l);
  }
  capture_reader_close(r);
  return lines;
}

// Runs the built host (with the built backend beside it) replaying `capture`.
int run_built_host(const testenv::TempDir& dir, const std::string& capture, const std::string& args) {
  setenv("QELVO_REPLAY", capture.c_str(), 1);
  setenv("QELVO_REPLAY_RATE", "max", 1);
  std::string line = testenv::bin_dir() + "/qelvo-host --out " + dir.file("lines.txt") + " " + args;
  OsProcess* proc = os_process_spawn(line.c_str());
  unsetenv("QELVO_REPLAY");
  unsetenv("QELVO_REPLAY_RATE");
  if (!proc) return -1;
  OsProcessExit how{};
  int r = os_process_wait(proc, 30000, &how);
  if (r != 1) os_process_kill(proc), os_process_wait(proc, 5000, &how);
  os_process_close(proc);
  return r == 1 && !how.crashed ? how.exit_code : -1;
}

}  // namespace

TEST(Host, ReplayThroughTheToolPrintsEveryPacket) {
  plugintest::Isolation iso;
  testenv::TempDir dir;
  testenv::ScopedChdir cd(dir.path());
  std::string capture = testenv::shared_captures_dir() + "/split-enum.pcap";
  std::vector<Line> want = file_lines(capture, 2);
  ASSERT_FALSE(want.empty());
  ASSERT_EQ(0, run_built_host(dir, capture, "--speed FS"));
  std::vector<Line> got = read_lines(dir.file("lines.txt"));
  ASSERT_EQ(want.size() + 1, got.size());
  for (size_t i = 0; i < want.size(); ++i) {
    ASSERT_EQ(want[i].kind, got[i].kind) << "line " << i;
    ASSERT_EQ(want[i].stamp, got[i].stamp) << "line " << i;
    ASSERT_EQ(want[i].length, got[i].length) << "line " << i;
    ASSERT_EQ(want[i].hex, got[i].hex) << "line " << i;
  }
  EXPECT_EQ(kStop, got.back().hex);
  EXPECT_EQ(0, plugintest::count_own_backends());
}

TEST(Host, PacketLimitPrintsThatManyAndCloses) {
  plugintest::Isolation iso;
  testenv::TempDir dir;
  testenv::ScopedChdir cd(dir.path());
  std::string capture = testenv::shared_captures_dir() + "/mouse.pcap";
  std::vector<Line> want = file_lines(capture, 1);
  ASSERT_GT(want.size(), 5u);
  ASSERT_EQ(0, run_built_host(dir, capture, "--speed LS --packets 5"));
  std::vector<Line> got = read_lines(dir.file("lines.txt"));
  ASSERT_EQ(6u, got.size());
  for (size_t i = 0; i < 5; ++i) EXPECT_EQ(want[i].hex, got[i].hex) << "line " << i;
  EXPECT_EQ(kStop, got.back().hex);

  ASSERT_EQ(0, run_built_host(dir, capture, "--speed LS --count"));
  std::ifstream in(dir.file("lines.txt"));
  std::string text;
  std::getline(in, text);
  EXPECT_EQ(std::to_string(want.size()) + " packets", text);
  EXPECT_EQ(0, plugintest::count_own_backends());
}
