// Child processes and termination by image name.
#include "os/process.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include "tests/support/test_env.h"

namespace {

// Sets an environment variable for the lifetime of the object.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const char* value) : name_(name) {
    const char* old = getenv(name);
    if (old) {
      had_ = true;
      old_ = old;
    }
    if (value)
      setenv(name, value, 1);
    else
      unsetenv(name);
  }
  ~ScopedEnv() {
    if (had_)
      setenv(name_.c_str(), old_.c_str(), 1);
    else
      unsetenv(name_.c_str());
  }

 private:
  std::string name_, old_;
  bool had_ = false;
};

std::string self_path() {
  return std::filesystem::read_symlink("/proc/self/exe").string();
}

void write_script(const std::string& path, const std::string& body) {
  std::ofstream(path) << "#!/bin/sh\n" << body << "\n";
  chmod(path.c_str(), 0755);
}

// A copy of sleep under a name no other program on the machine has.
std::string make_sleeper(const testenv::TempDir& dir, const std::string& name) {
  std::string path = dir.file(name);
  std::filesystem::copy_file("/bin/sleep", path);
  chmod(path.c_str(), 0755);
  return path;
}

bool alive(uint32_t pid) { return kill((pid_t)pid, 0) == 0; }

// posix_spawn returns while the child's exec is still setting up its
// environment; wait until /proc shows it.
void wait_environment(const OsProcess* proc) {
  std::string path = "/proc/" + std::to_string(os_process_id(proc)) + "/environ";
  for (int i = 0; i < 1000; ++i) {
    std::ifstream in(path);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (!text.empty()) return;
    usleep(1000);
  }
}

}  // namespace

TEST(Process, BareNameLooksInProgramDirThenCwdThenPath) {
  testenv::TempDir cwd_dir, path_dir;
  testenv::ScopedChdir chdir_to(cwd_dir.path());
  std::string self = self_path();
  std::string self_name = self.substr(self.rfind('/') + 1);
  write_script(cwd_dir.file(self_name), "exit 0");
  write_script(cwd_dir.file("zz-in-both"), "exit 0");
  write_script(path_dir.file("zz-in-both"), "exit 0");
  write_script(path_dir.file("zz-only-path"), "exit 0");
  std::ofstream(cwd_dir.file("zz-not-executable")) << "x";
  std::string path_var = path_dir.path() + ":/usr/bin:/bin";
  ScopedEnv path("PATH", path_var.c_str());

  char out[4096];
  ASSERT_EQ(0, os_process_resolve(self_name.c_str(), out, sizeof out));
  EXPECT_EQ(self, out) << "the running program's directory comes first";
  ASSERT_EQ(0, os_process_resolve("zz-in-both", out, sizeof out));
  EXPECT_EQ(cwd_dir.file("zz-in-both"), out) << "the current directory comes before PATH";
  ASSERT_EQ(0, os_process_resolve("zz-only-path", out, sizeof out));
  EXPECT_EQ(path_dir.file("zz-only-path"), out);
  errno = 0;
  EXPECT_EQ(-1, os_process_resolve("zz-not-executable", out, sizeof out));
  EXPECT_EQ(ENOENT, errno);
  EXPECT_EQ(-1, os_process_resolve("zz-only-path", out, 4)) << "too small an output";
  ASSERT_EQ(0, os_process_resolve("./zz-in-both", out, sizeof out)) << "a path is taken as it is";
  EXPECT_STREQ("./zz-in-both", out);
}

TEST(Process, CommandLineIsSplitAndExitCodeRead) {
  testenv::TempDir dir;
  std::string script = dir.file("zz-args");
  // Exit code = number of arguments * 10 + length of the second one.
  write_script(script, "exit $(( $# * 10 + ${#2} ))");
  std::string line = script + "  a \"b c d\"\tlast";
  OsProcess* proc = os_process_spawn(line.c_str());
  ASSERT_NE(nullptr, proc) << strerror(errno);
  EXPECT_GT(os_process_id(proc), 0u);
  OsProcessExit how{9, 9, 9};
  ASSERT_EQ(1, os_process_wait(proc, 5000, &how));
  EXPECT_EQ(0, how.crashed);
  EXPECT_EQ(35, how.exit_code);
  // Waiting again reports the same end; killing a reaped child does nothing.
  ASSERT_EQ(1, os_process_wait(proc, 0, &how));
  EXPECT_EQ(35, how.exit_code);
  EXPECT_EQ(0, os_process_kill(proc));
  os_process_close(proc);
}

TEST(Process, KilledChildReportsACrashAndTimedWaitTimesOut) {
  OsProcess* proc = os_process_spawn("sleep 30");
  ASSERT_NE(nullptr, proc) << strerror(errno);
  OsProcessExit how{};
  EXPECT_EQ(0, os_process_wait(proc, 0, &how));
  EXPECT_EQ(0, os_process_wait(proc, 30, &how));
  EXPECT_EQ(1, os_process_kill(proc));
  ASSERT_EQ(1, os_process_wait(proc, 5000, &how));
  EXPECT_EQ(1, how.crashed);
  EXPECT_EQ(SIGKILL, how.signal);
  os_process_close(proc);
}

TEST(Process, MissingProgramIsRefused) {
  testenv::TempDir dir;
  testenv::ScopedChdir chdir_to(dir.path());
  errno = 0;
  EXPECT_EQ(nullptr, os_process_spawn("zz-no-such-program-anywhere -x"));
  EXPECT_EQ(ENOENT, errno);
  EXPECT_EQ(nullptr, os_process_spawn("   "));
  EXPECT_EQ(nullptr, os_process_spawn(nullptr));
}

TEST(Process, ChildKeepsOnlyTheStandardStreams) {
  testenv::TempDir dir;
  int fd = open(dir.file("held").c_str(), O_CREAT | O_WRONLY, 0644);  // not close-on-exec
  ASSERT_GE(fd, 3);
  std::string script = dir.file("zz-fds");
  write_script(script, "[ -e /proc/self/fd/" + std::to_string(fd) + " ] && exit 1; exit 0");
  OsProcess* proc = os_process_spawn(script.c_str());
  ASSERT_NE(nullptr, proc);
  OsProcessExit how{};
  ASSERT_EQ(1, os_process_wait(proc, 5000, &how));
  EXPECT_EQ(0, how.exit_code) << "descriptor " << fd << " leaked into the child";
  os_process_close(proc);
  close(fd);
}

namespace {

struct KillLog {
  int seen = 0, done = 0, failed = 0;
  bool saw_self = false;
};

void log_kill(const OsKillEvent* ev, void* user) {
  KillLog* log = (KillLog*)user;
  if (ev->kind == OS_KILL_SEEN) {
    ++log->seen;
    if (ev->pid == (uint32_t)getpid()) log->saw_self = true;
  }
  if (ev->kind == OS_KILL_DONE) ++log->done;
  if (ev->kind == OS_KILL_OPEN_FAILED || ev->kind == OS_KILL_FAILED) ++log->failed;
}

std::string unique_name(const char* stem) {
  return std::string(stem) + std::to_string(getpid());
}

}  // namespace

TEST(KillByName, EveryMatchIgnoringCaseIsKilled) {
  testenv::TempDir dir;
  std::string name = unique_name("zzOrvSleeper");
  std::string path = make_sleeper(dir, name);
  OsProcess* a = os_process_spawn((path + " 30").c_str());
  OsProcess* b = os_process_spawn((path + " 30").c_str());
  ASSERT_NE(nullptr, a);
  ASSERT_NE(nullptr, b);
  std::string upper = name;
  for (char& c : upper) c = (char)toupper((unsigned char)c);
  KillLog log;
  int err = -1;
  EXPECT_EQ(2, os_kill_by_image_name(upper.c_str(), log_kill, &log, &err));
  EXPECT_EQ(0, err);
  EXPECT_EQ(2, log.done);
  EXPECT_EQ(0, log.failed);
  EXPECT_GT(log.seen, 2);
  EXPECT_TRUE(log.saw_self) << "every process of the snapshot is reported";
  OsProcessExit how{};
  ASSERT_EQ(1, os_process_wait(a, 5000, &how));
  EXPECT_EQ(SIGKILL, how.signal);
  ASSERT_EQ(1, os_process_wait(b, 5000, &how));
  EXPECT_EQ(SIGKILL, how.signal);
  os_process_close(a);
  os_process_close(b);
  // Nothing left (the reaped ones are gone, zombies are not counted).
  EXPECT_EQ(0, os_kill_by_image_name(name.c_str(), nullptr, nullptr, nullptr));
}

TEST(KillByName, NeverTheCallerItself) {
  // Scoped to children so that parallel runs of this test program are safe.
  ScopedEnv scope("QELVO_KILL_SCOPE", "children");
  std::string self = self_path();
  EXPECT_EQ(0, os_kill_by_image_name(self.substr(self.rfind('/') + 1).c_str(), nullptr, nullptr,
                                     nullptr));
}

TEST(KillByName, ScopeBySuffixSparesOtherRuns) {
  testenv::TempDir dir;
  std::string name = unique_name("zzOrvScoped");
  std::string path = make_sleeper(dir, name);
  ScopedEnv scope("QELVO_KILL_SCOPE", "suffix");
  OsProcess* other;
  OsProcess* mine;
  {
    ScopedEnv suffix("QELVO_SHM_SUFFIX", ".other-run");
    other = os_process_spawn((path + " 30").c_str());
  }
  testenv::ShmIsolation iso;
  mine = os_process_spawn((path + " 30").c_str());
  ASSERT_NE(nullptr, other);
  ASSERT_NE(nullptr, mine);
  wait_environment(other);
  wait_environment(mine);
  EXPECT_EQ(1, os_kill_by_image_name(name.c_str(), nullptr, nullptr, nullptr));
  OsProcessExit how{};
  ASSERT_EQ(1, os_process_wait(mine, 5000, &how));
  EXPECT_EQ(1, how.crashed);
  EXPECT_EQ(0, os_process_wait(other, 50, &how)) << "a process of another run was killed";
  EXPECT_TRUE(alive(os_process_id(other)));
  os_process_kill(other);
  ASSERT_EQ(1, os_process_wait(other, 5000, &how));
  os_process_close(mine);
  os_process_close(other);
}

TEST(Process, ThreadIdIsTheSystemId) {
  EXPECT_EQ((uint32_t)gettid(), os_current_thread_id());
}

int KillProcessByName(const char* name);

TEST(KillByName, LibraryReportsEachKillAndItsVerdict) {
  testenv::TempDir dir;
  std::string name = unique_name("zzOrvReport");
  std::string path = make_sleeper(dir, name);
  OsProcess* a = os_process_spawn((path + " 30").c_str());
  OsProcess* b = os_process_spawn((path + " 30").c_str());
  ASSERT_NE(nullptr, a);
  ASSERT_NE(nullptr, b);
  testing::internal::CaptureStdout();
  int found = KillProcessByName(name.c_str());
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(1, found);
  for (OsProcess* p : {a, b}) {
    std::string line = "成功关闭进程: " + name + " (PID: " + std::to_string(os_process_id(p)) + ")\n";
    EXPECT_NE(std::string::npos, out.find(line)) << line;
  }
  EXPECT_NE(std::string::npos, out.find(">>>" + name + "\n"));
  EXPECT_NE(std::string::npos, out.find("\nfind api!!!\n"));
  OsProcessExit how{};
  EXPECT_EQ(1, os_process_wait(a, 5000, &how));
  EXPECT_EQ(1, os_process_wait(b, 5000, &how));
  os_process_close(a);
  os_process_close(b);

  testing::internal::CaptureStdout();
  EXPECT_EQ(0, KillProcessByName(name.c_str()));
  out = testing::internal::GetCapturedStdout();
  EXPECT_NE(std::string::npos, out.find("\nnot find api!!!\n"));
  EXPECT_EQ(std::string::npos, out.find("成功关闭进程"));
}
