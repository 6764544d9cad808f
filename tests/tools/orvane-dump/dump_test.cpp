// orvane-dump as a user runs it: every shared capture through every view,
// golden outputs for small captures checked by hand, options and errors; and
// its JSON strings of arbitrary bytes: always valid UTF-8 JSON, bytes recoverable.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "tests/support/capture_test_util.h"
#include "tests/support/dump_run.h"
#include "views/json_text.h"

namespace {

using dumprun::split_lines;
using DumpRun = dumprun::Result;

class Dump : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(mkdir(tmp.c_str(), 0700), 0);
    ASSERT_EQ(mkdir(work.c_str(), 0700), 0);
  }
  DumpRun dump(const std::vector<std::string>& args) { return dumprun::run(args, work, tmp); }
  testenv::TempDir dir;
  std::string tmp = dir.file("tmp"), work = dir.file("work");
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
    jsonl::Value stats;
    const char* at = err[0].c_str();
    ASSERT_TRUE(jsonl::read(at, &stats)) << err[0];
    EXPECT_EQ(stats["packets"].num, packets) << f << " " << err[0];
    ASSERT_FALSE(stats.keys.empty());
    EXPECT_EQ(stats.keys.back(), "cleanup_seconds") << err[0];  // timed after the stores are gone
    ASSERT_EQ(r.bad_lines, 0) << f << " " << view;
    for (size_t i = 1; i < r.rows.size(); i++)  // rows are appended in view order
      EXPECT_GT(r.rows[i].row, r.rows[i - 1].row) << f << " " << view;
    // Nothing is filtered: every stored row is printed.
    EXPECT_EQ(stats["rows"][view].num, r.rows.size()) << f << " " << view << " " << err[0];
  }
  EXPECT_TRUE(std::filesystem::is_empty(tmp)) << "the private directory was left behind";
}

INSTANTIATE_TEST_SUITE_P(SharedCaptures, DumpCapture, ::testing::ValuesIn(testenv::shared_capture_names()),
                         [](const ::testing::TestParamInfo<std::string>& info) { return testenv::param_name(info.param); });

// Every golden file, "<capture>.<view>.jsonl" (or ".txt": the text output,
// children indented), holds rows checked by hand (or, for split-enum and
// mouse, against an independent model of the decoding rules, transfer detail
// cells excepted). In double-setup, three SETUPs without handshake are three
// failed control transfers, the last two shown only because the end of the
// file flushes what still waits.
TEST_F(Dump, GoldenOutputs) {
  int goldens = 0;
  for (const auto& e : std::filesystem::directory_iterator(ORVANE_DUMP_GOLDEN_DIR)) {
    std::string name = e.path().stem().string(), view = name.substr(name.rfind('.') + 1);
    std::string capture = testenv::shared_captures_dir() + "/" + name.substr(0, name.rfind('.')) + ".pcap";
    if (!std::filesystem::exists(capture)) capture += "ng";
    std::vector<std::string> args = {"--view", view, capture};
    if (e.path().extension() == ".jsonl") args.push_back("--json");
    DumpRun r = dump(args);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, testenv::read_file(e.path().string())) << e.path();
    goldens++;
  }
  EXPECT_EQ(goldens, 14);
}

TEST_F(Dump, FilterSelectionAndAbsoluteTimes) {
  std::string mouse = testenv::shared_captures_dir() + "/mouse.pcap";
  DumpRun all = dump({"--json", mouse});
  DumpRun noNak = dump({"--json", "--filter", "FFFF1000", mouse});
  ASSERT_EQ(noNak.status, 0);
  EXPECT_NE(all.out.find("\"Nak\""), std::string::npos);
  EXPECT_EQ(noNak.out.find("[\"HandShake\",\"Nak\"]"), std::string::npos);
  EXPECT_LT(noNak.out.size(), all.out.size());
  // Hex digits in either case: the default mask hides nothing.
  EXPECT_EQ(dump({"--json", "--filter", "ffFF0000", mouse}).out, all.out);
  // Only device 0: selector 0x00FF.
  DumpRun dev0 = dump({"--json", "--view", "transactions", "--filter", "0x00FF0000", mouse});
  ASSERT_EQ(dev0.status, 0);
  for (const dumprun::Row& row : dev0.rows)
    if (row.level == 0) {
      EXPECT_EQ(row.attr >> 24, 0u) << "row " << row.row;
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

  // pcap stamps count from the file's first packet unless asked otherwise.
  std::string abs =
      dump({"--view", "packages", "--absolute-time", testenv::shared_captures_dir() + "/double-setup.pcap"}).out;
  EXPECT_EQ(abs.rfind("#1 Package: 1; TimeStamp: 721.42 ms |", 0), 0u) << abs;
  EXPECT_NE(abs.find("\n#3 Package: 2; TimeStamp: 2035.00 ms |"), std::string::npos) << abs;
}

TEST_F(Dump, ArgumentsFileAndTemporaryDirectoryErrors) {
  std::string f = testenv::shared_captures_dir() + "/bad-crcs.pcap";
  for (const std::vector<std::string>& bad :
       std::vector<std::vector<std::string>>{{"--view", "nope", f}, {"--filter", "12345678Z", f},
                                             {"--filter", "123456789", f}, {"--select", "4", f},
                                             {"--select", "256:1", f}, {"--bogus", f}, {}, {f, f}})
    EXPECT_EQ(dump(bad).status, 2) << (bad.empty() ? "no arguments" : bad[0]);
  std::ofstream(work + "/junk.pcap") << "this is not a capture file at all";
  for (const char* name : {"nothing.pcap", "junk.pcap"}) {  // missing, and not a capture
    DumpRun r = dump({work + "/" + name});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find(name), std::string::npos) << r.err;
    EXPECT_EQ(split_lines(r.err).size(), 1u) << r.err;
  }
  DumpRun quiet = dump({"--quiet", f});
  EXPECT_EQ(quiet.status, 0);
  EXPECT_EQ(quiet.out + quiet.err, "");
  EXPECT_TRUE(std::filesystem::is_empty(tmp));
  DumpRun noTmp = dumprun::run({f}, work, tmp + "/missing");
  EXPECT_EQ(noTmp.status, 1);
  EXPECT_EQ(noTmp.err, "orvane-dump: cannot create a temporary directory in " + tmp +
                           "/missing: No such file or directory\n");
}

// A lost output is a failure with a message, whichever stream lost it.
TEST_F(Dump, WriteErrorsAndSignalsAreFailuresThatLeaveNoPrivateDirectory) {
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

  // Whatever signal ends it while it prints (Ctrl+C, kill, a closed terminal,
  // a reader that went away), the private directory goes with it.
  int err = open(err_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
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
    if (sig == SIGPIPE) close(fds[0]);  // as `| head -1` does
    else kill(pid, sig);
    int st = 0;
    ASSERT_EQ(waitpid(pid, &st, 0), pid);
    if (sig != SIGPIPE) close(fds[0]);
    EXPECT_TRUE(WIFSIGNALED(st) && WTERMSIG(st) == sig) << "status " << st;
    EXPECT_TRUE(std::filesystem::is_empty(tmp)) << "the private directory was left behind";
  }
  close(err);
}

// A disk that fills up while rows are stored, by a file size limit or on a
// small file system: an error naming the cause and exit status 1, never a
// crash, and no private directory left. The capture's rows take some tens
// of megabytes.
TEST_F(Dump, AFullDiskEndsTheDumpWithAMessage) {
  std::string capture = dir.file("hs.qelvo"), small = dir.file("small");
  ASSERT_EQ(0, std::system((testenv::bin_dir() + "/qelvo.exe --offline 60000 -s hs -f " + capture + " >/dev/null").c_str()));
  ASSERT_EQ(mkdir(small.c_str(), 0700), 0);

  // The limit and the ignored signal pass to the child: files may grow to
  // 8 MiB, a write past that fails with EFBIG instead of killing it.
  struct rlimit old;
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);
  struct rlimit limit = {8u << 20, old.rlim_max};
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limit), 0);
  void (*was)(int) = signal(SIGXFSZ, SIG_IGN);
  DumpRun r = dump({"--quiet", capture});
  signal(SIGXFSZ, was);
  setrlimit(RLIMIT_FSIZE, &old);
  EXPECT_EQ(r.status, 1) << r.err;  // a crash (SIGBUS) has no exit status
  EXPECT_NE(r.err.find("orvane-dump: " + tmp + "/orvane-dump-"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find(": the file has reached the largest size allowed (File too large)"), std::string::npos)
      << r.err;
  EXPECT_TRUE(std::filesystem::is_empty(tmp));

  if (mount("tmpfs", small.c_str(), "tmpfs", 0, "size=4m") != 0)
    GTEST_SKIP() << "cannot mount a tmpfs here (" << strerror(errno) << "); the file size limit covered the same path";
  struct Unmount {
    std::string at;
    ~Unmount() { umount2(at.c_str(), MNT_DETACH); }
  } unmount{small};
  r = dumprun::run({"--quiet", capture}, work, small);
  EXPECT_EQ(r.status, 1) << r.err;
  EXPECT_NE(r.err.find("orvane-dump: no space left on the device holding " + small + "/orvane-dump-"),
            std::string::npos)
      << r.err;
  EXPECT_TRUE(std::filesystem::is_empty(small));
}

// Controls, quotes and bytes that are not valid UTF-8 are escaped; valid UTF-8 passes.
TEST(JsonText, EscapesControlsAndInvalidUtf8) {
  const std::pair<std::string, std::string> cases[] = {
      {"plain", "\"plain\""},
      {"a\"b\\c", "\"a\\\"b\\\\c\""},
      {"\n\r\t\b\f", "\"\\n\\r\\t\\b\\f\""},
      {std::string("\0\x01\x1f", 3), "\"\\u0000\\u0001\\u001f\""},
      {"\x7f", "\"\x7f\""},
      {"\xE2\x86\x91 \xC3\xA9 \xF0\x9F\x98\x80", "\"\xE2\x86\x91 \xC3\xA9 \xF0\x9F\x98\x80\""},
      {"\xff", "\"\\u00ff\""},
      {"\xC3", "\"\\u00c3\""},                                 // truncated sequence
      {"\xC0\x80", "\"\\u00c0\\u0080\""},                      // overlong
      {"\xED\xA0\x80", "\"\\u00ed\\u00a0\\u0080\""},           // surrogates
      {"\xED\xBF\xBF", "\"\\u00ed\\u00bf\\u00bf\""},
      {"\xE2\x86", "\"\\u00e2\\u0086\""},
      {"\xF4\x90\x80\x80", "\"\\u00f4\\u0090\\u0080\\u0080\""},  // above U+10FFFF
  };
  for (const auto& [in, want] : cases) {
    std::string out;
    json_append_string(out, in.data(), in.size());
    EXPECT_EQ(out, want) << want;
  }
}

}  // namespace
