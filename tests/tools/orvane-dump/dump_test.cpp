// orvane-dump as a user runs it: every shared capture through every view,
// golden outputs for small captures checked by hand, options and errors; and
// its JSON strings of arbitrary bytes: always valid UTF-8 JSON, bytes recoverable.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>

#include <cstring>
#include <filesystem>
#include <fstream>

#include "tests/support/capture_test_util.h"
#include "tests/support/dump_run.h"
#include "views/json_text.h"

namespace {

using dumprun::split_lines;
using DumpRun = dumprun::Result;

// The number after "key": in a one-line JSON object.
long long json_number(const std::string& obj, const std::string& key) {
  size_t at = obj.find("\"" + key + "\":");
  if (at == std::string::npos) return -1;
  return std::stoll(obj.substr(at + key.size() + 3));
}

class Dump : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(mkdir(tmp.c_str(), 0700), 0);
    ASSERT_EQ(mkdir(work.c_str(), 0700), 0);
  }
  DumpRun dump(const std::vector<std::string>& args) { return dumprun::run(args, work, tmp); }
  testenv::TempDir dir;
  std::string tmp = dir.file("tmp");
  std::string work = dir.file("work");
};

class DumpCapture : public Dump, public ::testing::WithParamInterface<std::string> {};

TEST_P(DumpCapture, EveryView) {
  const std::string f = GetParam(), path = testenv::shared_captures_dir() + "/" + f;
  const uint64_t packets = capture_test::read_all(path).packets.size();
  ASSERT_GT(packets, 0u) << f;
  for (const char* view : {"packages", "transactions", "data", "descriptors"}) {
    DumpRun r = dump({"--json", "--stats", "--view", view, path});
    ASSERT_EQ(r.status, 0) << f << " " << view << "\n" << r.err;
    std::vector<std::string> err = split_lines(r.err);
    ASSERT_EQ(err.size(), 1u) << r.err;  // the statistics only (no sanitizer report)
    EXPECT_EQ(json_number(err[0], "packets"), (long long)packets) << f << " " << err[0];
    std::vector<std::string> lines = split_lines(r.out);
    uint32_t prev = 0;
    for (const std::string& l : lines) {
      ASSERT_EQ(l.rfind("{\"row\":", 0), 0u) << l;
      ASSERT_EQ(l.back(), '}') << l;
      uint32_t row = (uint32_t)json_number(l, "row");
      EXPECT_GT(row, prev) << f << " " << view;  // rows are appended in view order
      prev = row;
    }
    // Nothing is filtered: every stored row is printed.
    EXPECT_EQ(json_number(err[0], view), (long long)lines.size()) << f << " " << view << " " << err[0];
  }
  EXPECT_TRUE(std::filesystem::is_empty(tmp)) << "the private directory was left behind";
}

INSTANTIATE_TEST_SUITE_P(SharedCaptures, DumpCapture, ::testing::ValuesIn(testenv::shared_capture_names()),
                         [](const ::testing::TestParamInfo<std::string>& info) { return testenv::param_name(info.param); });

TEST_F(Dump, GoldenOutputs) {
  // Captures whose rows were checked by hand: every view of the two small
  // ones, and the transfers and data rows of a low-speed enumeration.
  std::vector<std::pair<const char*, const char*>> goldens;  // capture, view
  for (const char* name : {"bad-crcs.pcap", "double-setup.pcap"})
    for (const char* view : {"packages", "transactions", "data", "descriptors"}) goldens.push_back({name, view});
  goldens.insert(goldens.end(), {{"ls-keepalive-divided-transaction.pcapng", "transactions"},
                                 {"ls-keepalive-divided-transaction.pcapng", "data"},
                                 // Checked against an independent model of the decoding rules (transfer
                                 // detail cells excepted): SPLIT fields and idle SOF runs of a high-speed
                                 // hub, and the transactions of a low-speed mouse.
                                 {"split-enum.pcap", "packages"},
                                 {"split-enum.pcap", "transactions"},
                                 {"mouse.pcap", "transactions"}});
  for (const auto& [file, view] : goldens) {
    DumpRun r = dump({"--json", "--view", view, testenv::shared_captures_dir() + "/" + file});
    ASSERT_EQ(r.status, 0) << r.err;
    std::string base = file, golden = ORVANE_DUMP_GOLDEN_DIR;
    golden += "/" + base.substr(0, base.rfind('.')) + "." + view + ".jsonl";
    EXPECT_EQ(r.out, testenv::read_file(golden)) << golden;
  }
}

TEST_F(Dump, FilterAndSelection) {
  std::string mouse = testenv::shared_captures_dir() + "/mouse.pcap";
  DumpRun all = dump({"--json", mouse});
  DumpRun noNak = dump({"--json", "--filter", "FFFF1000", mouse});
  ASSERT_EQ(all.status, 0);
  ASSERT_EQ(noNak.status, 0);
  EXPECT_NE(all.out.find("\"Nak\""), std::string::npos);
  EXPECT_EQ(noNak.out.find("[\"HandShake\",\"Nak\"]"), std::string::npos);
  EXPECT_LT(noNak.out.size(), all.out.size());
  // Hex digits in either case: the default mask hides nothing.
  EXPECT_EQ(dump({"--json", "--filter", "ffFF0000", mouse}).out, all.out);
  // Only device 0: selector 0x00FF.
  DumpRun dev0 = dump({"--json", "--view", "transactions", "--filter", "0x00FF0000", mouse});
  ASSERT_EQ(dev0.status, 0);
  for (const std::string& l : split_lines(dev0.out))
    if (json_number(l, "level") == 0) {
      EXPECT_EQ(json_number(l, "attr") >> 24, 0) << l;
    }
  // The selected payloads reach the script in the working directory.
  ASSERT_EQ(mkdir((work + "/script").c_str(), 0700), 0);
  std::ofstream(work + "/script/main.lua")
      << "n = 0\nfunction process_data(p) n = n + 1 end\n"
         "function cleanup() io.stderr:write('payloads ', n, '\\n') end\n";
  DumpRun sel = dump({"--quiet", "--select", "4:1", mouse});
  ASSERT_EQ(sel.status, 0) << sel.err;
  EXPECT_TRUE(sel.out.empty());
  EXPECT_NE(sel.err.find("payloads "), std::string::npos);
  EXPECT_EQ(sel.err.find("payloads 0\n"), std::string::npos) << sel.err;
}

TEST_F(Dump, ArgumentsFileAndTemporaryDirectoryErrors) {
  std::string f = testenv::shared_captures_dir() + "/bad-crcs.pcap";
  for (const std::vector<std::string>& bad :
       std::vector<std::vector<std::string>>{{"--view", "nope", f}, {"--filter", "12345678Z", f},
                                             {"--filter", "123456789", f}, {"--select", "4", f},
                                             {"--select", "256:1", f}, {"--bogus", f}, {}, {f, f}})
    EXPECT_EQ(dump(bad).status, 2) << (bad.empty() ? "no arguments" : bad[0]);
  DumpRun missing = dump({work + "/nothing.pcap"});
  EXPECT_EQ(missing.status, 1);
  EXPECT_NE(missing.err.find("nothing.pcap"), std::string::npos) << missing.err;
  EXPECT_EQ(split_lines(missing.err).size(), 1u) << missing.err;
  std::ofstream(work + "/junk.pcap") << "this is not a capture file at all";
  DumpRun junk = dump({work + "/junk.pcap"});
  EXPECT_EQ(junk.status, 1);
  EXPECT_NE(junk.err.find("junk.pcap"), std::string::npos) << junk.err;
  DumpRun quiet = dump({"--quiet", f});
  EXPECT_EQ(quiet.status, 0);
  EXPECT_TRUE(quiet.out.empty());
  EXPECT_TRUE(quiet.err.empty()) << quiet.err;
  EXPECT_TRUE(std::filesystem::is_empty(tmp));
  DumpRun noTmp = dumprun::run({f}, work, tmp + "/missing");
  EXPECT_EQ(noTmp.status, 1);
  EXPECT_EQ(noTmp.err, "orvane-dump: cannot create a temporary directory in " + tmp +
                           "/missing: No such file or directory\n");
}

// A lost output is a failure with a message, whichever stream lost it.
TEST_F(Dump, WriteErrorsAreFailures) {
  std::string mouse = testenv::shared_captures_dir() + "/mouse.pcap";
  std::string err_file = work + "/err.txt", out_file = work + "/out.txt";
  struct Case {
    std::vector<std::string> args;
    std::string out, err;  // where the streams go
  } cases[] = {{{mouse}, "/dev/full", err_file},
               {{"--json", mouse}, "/dev/full", err_file},
               {{"--stats", mouse}, out_file, "/dev/full"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args[0] + " > " + c.out + " 2> " + c.err);
    DumpRun r = dumprun::run(c.args, work, tmp, c.out, c.err);
    EXPECT_EQ(r.status, 1);
    if (c.err == err_file) {
      EXPECT_EQ(testenv::read_file(err_file), "orvane-dump: cannot write standard output: No space left on device\n");
    }
    EXPECT_TRUE(std::filesystem::is_empty(tmp));
  }
}

// Whatever signal ends it while it prints (Ctrl+C, kill, a closed terminal,
// a reader that went away), the private directory goes with it.
TEST_F(Dump, SignalsLeaveNoPrivateDirectory) {
  std::string mouse = testenv::shared_captures_dir() + "/mouse.pcap";
  int err = open((work + "/err.txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  ASSERT_GE(err, 0);
  for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGPIPE}) {
    SCOPED_TRACE(strsignal(sig));
    int fds[2];
    ASSERT_EQ(pipe2(fds, O_CLOEXEC), 0);
    // Far more output than the pipe holds: it stays blocked printing.
    pid_t pid = dumprun::start({"--json", "--view", "transactions", mouse}, work, tmp, fds[1], err);
    close(fds[1]);
    ASSERT_GT(pid, 0);
    char first[64];
    ASSERT_GT(read(fds[0], first, sizeof first), 0) << "no output";
    if (sig == SIGPIPE) {
      close(fds[0]);  // as `| head -1` does
    } else {
      kill(pid, sig);
    }
    int st = 0;
    ASSERT_EQ(waitpid(pid, &st, 0), pid);
    if (sig != SIGPIPE) close(fds[0]);
    EXPECT_TRUE(WIFSIGNALED(st) && WTERMSIG(st) == sig) << "status " << st;
    EXPECT_TRUE(std::filesystem::is_empty(tmp)) << "the private directory was left behind";
  }
  close(err);
}

// The text output indents children; pcap stamps count from the file's first
// packet unless asked otherwise.
TEST_F(Dump, TextOutputIndentsChildrenAndTimesCountFromTheFirstPacket) {
  std::string f = testenv::shared_captures_dir() + "/double-setup.pcap";
  DumpRun tree = dump({"--view", "transactions", f});
  ASSERT_EQ(tree.status, 0);
  std::vector<std::string> lines = split_lines(tree.out);
  // Three SETUPs without handshake: three failed control transfers, the last
  // two shown only because the end of the file flushes what still waits.
  ASSERT_EQ(lines.size(), 9u);
  EXPECT_EQ(lines[0], "#1 CTRL Transfer: 0.00 ns; Package: 1 ~ 1 | State: Failed");
  EXPECT_EQ(lines[1].rfind("  #2 SETUP Transaction: 0.00 ns; Package: 1 ~ 1 | Setup: 2D", 0), 0u);
  EXPECT_EQ(lines[2], "    #3 Package: 1; Dir: ↓ | Setup: 2D; Addr: 43; Point: 4; Crc5: 1F");
  EXPECT_EQ(lines[6], "#7 CTRL Transfer: 1313.58 ms; Package: 3 ~ 3 | State: Failed");
  DumpRun absolute = dump({"--view", "packages", "--absolute-time", f});
  ASSERT_EQ(absolute.status, 0);
  std::vector<std::string> abs = split_lines(absolute.out);
  ASSERT_GE(abs.size(), 3u);
  EXPECT_EQ(abs[0].rfind("#1 Package: 1; TimeStamp: 721.42 ms |", 0), 0u) << abs[0];
  EXPECT_NE(abs[2].find("TimeStamp: 2035.00 ms"), std::string::npos) << abs[2];
}

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
