// A disk that fills up while orvane-dump stores its rows: an error naming
// the cause and exit status 1, never a crash, and no private directory left.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

#include "os/process.h"
#include "tests/support/dump_run.h"

namespace {

// Both limits on a high-speed capture whose rows take some tens of megabytes.
TEST(FullDisk, AFileSizeLimitOrASmallFileSystemEndsTheDumpWithAMessage) {
  testenv::TempDir dir;
  std::string capture = dir.file("hs.qelvo");
  OsProcess* p = os_process_spawn((testenv::bin_dir() + "/qelvo.exe --offline 60000 -s hs -f " + capture).c_str());
  OsProcessExit e{};
  ASSERT_TRUE(p && os_process_wait(p, 60000, &e) == 1 && !e.crashed && e.exit_code == 0);
  os_process_close(p);
  std::string tmp = dir.file("tmp"), small = dir.file("small");
  ASSERT_EQ(mkdir(tmp.c_str(), 0700), 0);
  ASSERT_EQ(mkdir(small.c_str(), 0700), 0);

  // The limit and the ignored signal pass to the child: files may grow to
  // 8 MiB, a write past that fails with EFBIG instead of killing it.
  struct rlimit old;
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);
  struct rlimit limit = {8u << 20, old.rlim_max};
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limit), 0);
  void (*was)(int) = signal(SIGXFSZ, SIG_IGN);
  dumprun::Result r = dumprun::run({"--quiet", capture}, dir.path(), tmp);
  signal(SIGXFSZ, was);
  setrlimit(RLIMIT_FSIZE, &old);
  EXPECT_EQ(r.status, 1) << r.err;  // a crash (SIGBUS) has no exit status
  EXPECT_NE(r.err.find("orvane-dump: " + tmp + "/orvane-dump-"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find(": the file has reached the largest size allowed (File too large)"),
            std::string::npos)
      << r.err;
  EXPECT_TRUE(std::filesystem::is_empty(tmp));

  if (mount("tmpfs", small.c_str(), "tmpfs", 0, "size=4m") != 0)
    GTEST_SKIP() << "cannot mount a tmpfs here (" << strerror(errno) << "); the file size limit covered the same path";
  struct Unmount {
    std::string at;
    ~Unmount() { umount2(at.c_str(), MNT_DETACH); }
  } unmount{small};
  r = dumprun::run({"--quiet", capture}, dir.path(), small);
  EXPECT_EQ(r.status, 1) << r.err;
  EXPECT_NE(r.err.find("orvane-dump: no space left on the device holding " + small + "/orvane-dump-"),
            std::string::npos)
      << r.err;
  EXPECT_TRUE(std::filesystem::is_empty(small));
}

}  // namespace
