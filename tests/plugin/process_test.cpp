// Child processes and termination by image name.
#include "os/process.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>

#include "tests/plugin/plugin_test_util.h"

using plugintest::ScopedEnv;
using plugintest::write_script;

int KillProcessByName(const char* name);

namespace {

std::string self_path() { return std::filesystem::read_symlink("/proc/self/exe").string(); }
std::string base_name(const std::string& path) { return path.substr(path.rfind('/') + 1); }

// Runs to its end and returns the exit code (-1 when it did not end).
int exit_code_of(OsProcess* proc) {
  OsProcessExit how{};
  int r = os_process_wait(proc, 5000, &how);
  os_process_close(proc);
  return r == 1 ? how.exit_code : -1;
}

// Copies of sleep under a name no other program on the machine has, waiting 30 s.
struct Sleepers {
  explicit Sleepers(const char* stem, int n = 2) : name(std::string(stem) + std::to_string(getpid())) {
    std::string path = plugintest::copy_program("/bin/sleep", dir.file(name));
    for (int i = 0; i < n; ++i) procs.push_back(os_process_spawn((path + " 30").c_str()));
  }
  // Waits for each (killed) sleeper; true when every one died of SIGKILL.
  bool all_killed() {
    bool ok = true;
    for (OsProcess* p : procs) {
      OsProcessExit how{};
      ok &= os_process_wait(p, 5000, &how) == 1 && how.crashed && how.signal == SIGKILL;
      os_process_close(p);
    }
    procs.clear();
    return ok;
  }
  testenv::TempDir dir;
  std::string name;
  std::vector<OsProcess*> procs;
};

// posix_spawn returns while the child's exec is still setting up its
// environment; wait until /proc shows it.
void wait_environment(const OsProcess* proc) {
  std::string path = "/proc/" + std::to_string(os_process_id(proc)) + "/environ";
  plugintest::wait_until([&] { return !plugintest::read_file(path).empty(); }, 1000, 1);
}

}  // namespace

TEST(Process, BareNameLooksInProgramDirThenCwdThenPath) {
  testenv::TempDir cwd_dir, path_dir;
  testenv::ScopedChdir chdir_to(cwd_dir.path());
  std::string self = self_path();
  for (const std::string& script : {cwd_dir.file(base_name(self)), cwd_dir.file("zz-in-both"),
                                    path_dir.file("zz-in-both"), path_dir.file("zz-only-path")})
    write_script(script, "exit 0");
  std::ofstream(cwd_dir.file("zz-not-executable")) << "x";
  ScopedEnv path("PATH", (path_dir.path() + ":/usr/bin:/bin").c_str());
  char out[4096];
  ASSERT_EQ(0, os_process_resolve(base_name(self).c_str(), out, sizeof out));
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
  // Exit code = number of arguments * 10 + length of the second one.
  write_script(dir.file("zz-args"), "exit $(( $# * 10 + ${#2} ))");
  OsProcess* proc = os_process_spawn((dir.file("zz-args") + "  a \"b c d\"\tlast").c_str());
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

TEST(Process, ChildKeepsOnlyTheStandardStreamsAndThreadIdIsTheSystemId) {
  EXPECT_EQ((uint32_t)gettid(), os_current_thread_id());
  testenv::TempDir dir;
  int fd = open(dir.file("held").c_str(), O_CREAT | O_WRONLY, 0644);  // not close-on-exec
  ASSERT_GE(fd, 3);
  write_script(dir.file("zz-fds"), "[ -e /proc/self/fd/" + std::to_string(fd) + " ] && exit 1; exit 0");
  OsProcess* proc = os_process_spawn(dir.file("zz-fds").c_str());
  ASSERT_NE(nullptr, proc);
  EXPECT_EQ(0, exit_code_of(proc)) << "descriptor " << fd << " leaked into the child";
  close(fd);
}

TEST(KillByName, NeverTheCallerItself) {
  // Scoped to children so that parallel runs of this test program are safe.
  ScopedEnv scope("QELVO_KILL_SCOPE", "children");
  EXPECT_EQ(0, os_kill_by_image_name(base_name(self_path()).c_str(), nullptr, nullptr, nullptr));
}

TEST(KillByName, ScopeBySuffixSparesOtherRuns) {
  ScopedEnv scope("QELVO_KILL_SCOPE", "suffix");
  std::unique_ptr<Sleepers> other;
  {
    ScopedEnv suffix("QELVO_SHM_SUFFIX", ".other-run");
    other.reset(new Sleepers("zzOrvScoped", 1));
  }
  testenv::ShmIsolation iso;
  OsProcess* mine = os_process_spawn((other->dir.file(other->name) + " 30").c_str());
  ASSERT_NE(nullptr, other->procs[0]);
  ASSERT_NE(nullptr, mine);
  wait_environment(other->procs[0]);
  wait_environment(mine);
  EXPECT_EQ(1, os_kill_by_image_name(other->name.c_str(), nullptr, nullptr, nullptr));
  OsProcessExit how{};
  ASSERT_EQ(1, os_process_wait(mine, 5000, &how));
  EXPECT_EQ(1, how.crashed);
  os_process_close(mine);
  EXPECT_EQ(0, os_process_wait(other->procs[0], 50, &how)) << "a process of another run was killed";
  EXPECT_EQ(0, kill((pid_t)os_process_id(other->procs[0]), 0));
  os_process_kill(other->procs[0]);
  EXPECT_TRUE(other->all_killed());
}

// Every match, whatever the case of its name, is killed and reported.
TEST(KillByName, LibraryReportsEachKillAndItsVerdict) {
  Sleepers s("zzOrvReport");
  ASSERT_NE(nullptr, s.procs[0]);
  ASSERT_NE(nullptr, s.procs[1]);
  std::string upper = s.name;
  for (char& c : upper) c = (char)toupper((unsigned char)c);
  testing::internal::CaptureStdout();
  EXPECT_EQ(1, KillProcessByName(upper.c_str()));
  std::string out = testing::internal::GetCapturedStdout();
  for (OsProcess* p : s.procs) {
    std::string line = "成功关闭进程: " + upper + " (PID: " + std::to_string(os_process_id(p)) + ")\n";
    EXPECT_NE(std::string::npos, out.find(line)) << line;
  }
  EXPECT_NE(std::string::npos, out.find(">>>" + s.name + "\n"));
  EXPECT_NE(std::string::npos, out.find(">>>" + base_name(self_path()) + "\n")) << "every process is reported";
  EXPECT_NE(std::string::npos, out.find("\nfind api!!!\n"));
  EXPECT_TRUE(s.all_killed());
  // Nothing left (the reaped ones are gone, zombies are not counted).
  testing::internal::CaptureStdout();
  int err = -1;
  EXPECT_EQ(0, os_kill_by_image_name(s.name.c_str(), nullptr, nullptr, &err));
  EXPECT_EQ(0, err);
  EXPECT_EQ(0, KillProcessByName(s.name.c_str()));
  out = testing::internal::GetCapturedStdout();
  EXPECT_NE(std::string::npos, out.find("\nnot find api!!!\n"));
  EXPECT_EQ(std::string::npos, out.find("成功关闭进程"));
}
