// Child processes and termination by image name.
#include "os/process.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "tests/plugin/plugin_test_util.h"

using plugintest::ScopedEnv;
using plugintest::write_script;

int KillProcessByName(const char* name);

namespace {

std::string self_path() { return std::filesystem::read_symlink("/proc/self/exe").string(); }
std::string base_name(const std::string& path) { return path.substr(path.rfind('/') + 1); }

// Waits for `proc` and closes it: its exit code, -signal when killed, -1000 when it did not end.
int end_of(OsProcess* proc) {
  OsProcessExit how{};
  int r = os_process_wait(proc, 5000, &how);
  os_process_close(proc);
  return r != 1 ? -1000 : how.crashed ? -how.signal : how.exit_code;
}

}  // namespace

// A bare name is looked up in the program's folder, then the current one,
// then PATH; a command line is split into words, and each end is reported.
TEST(Process, ResolvesBareNamesSplitsTheCommandLineAndReportsEachEnd) {
  testenv::TempDir dir, path_dir;
  testenv::ScopedChdir chdir_to(dir.path());
  std::string self = self_path();
  for (const std::string& script : {dir.file(base_name(self)), dir.file("zz-in-both"),
                                    path_dir.file("zz-in-both"), path_dir.file("zz-only-path")})
    write_script(script, "exit 0");
  std::ofstream(dir.file("zz-not-executable")) << "x";
  ScopedEnv path("PATH", (path_dir.path() + ":/usr/bin:/bin").c_str());
  struct Case {
    std::string name, want;
  } cases[] = {{base_name(self), self}, {"zz-in-both", dir.file("zz-in-both")},
               {"zz-only-path", path_dir.file("zz-only-path")}, {"./zz-in-both", "./zz-in-both"}};
  char out[4096];
  for (const Case& c : cases) {
    ASSERT_EQ(0, os_process_resolve(c.name.c_str(), out, sizeof out)) << c.name;
    EXPECT_EQ(c.want, out);
  }
  errno = 0;
  EXPECT_EQ(-1, os_process_resolve("zz-not-executable", out, sizeof out));
  EXPECT_EQ(ENOENT, errno);
  EXPECT_EQ(-1, os_process_resolve("zz-only-path", out, 4)) << "too small an output";

  EXPECT_EQ((uint32_t)gettid(), os_current_thread_id());
  // Exit code = number of arguments * 10 + length of the second one.
  write_script(dir.file("zz-args"), "exit $(( $# * 10 + ${#2} ))");
  OsProcess* proc = os_process_spawn((dir.file("zz-args") + "  a \"b c d\"\tlast").c_str());
  ASSERT_NE(nullptr, proc) << strerror(errno);
  EXPECT_GT(os_process_id(proc), 0u);
  OsProcessExit how{9, 9, 9};
  ASSERT_EQ(1, os_process_wait(proc, 5000, &how));
  EXPECT_TRUE(!how.crashed && how.exit_code == 35) << how.exit_code;
  // Waiting again reports the same end; killing a reaped child does nothing.
  ASSERT_EQ(1, os_process_wait(proc, 0, &how));
  EXPECT_EQ(35, how.exit_code);
  EXPECT_EQ(0, os_process_kill(proc));
  os_process_close(proc);

  proc = os_process_spawn("sleep 30");
  ASSERT_NE(nullptr, proc) << strerror(errno);
  EXPECT_EQ(0, os_process_wait(proc, 0, &how));
  EXPECT_EQ(0, os_process_wait(proc, 30, &how));
  EXPECT_EQ(1, os_process_kill(proc));
  EXPECT_EQ(-SIGKILL, end_of(proc));

  // Only the standard streams are inherited.
  int fd = open(dir.file("held").c_str(), O_CREAT | O_WRONLY, 0644);  // not close-on-exec
  ASSERT_GE(fd, 3);
  write_script(dir.file("zz-fds"), "[ -e /proc/self/fd/" + std::to_string(fd) + " ] && exit 1; exit 0");
  EXPECT_EQ(0, end_of(os_process_spawn(dir.file("zz-fds").c_str()))) << "descriptor " << fd << " leaked";
  close(fd);

  errno = 0;
  EXPECT_EQ(nullptr, os_process_spawn("zz-no-such-program-anywhere -x"));
  EXPECT_EQ(ENOENT, errno);
  EXPECT_EQ(nullptr, os_process_spawn("   "));
  EXPECT_EQ(nullptr, os_process_spawn(nullptr));
}

// Every match, whatever the case of its name, is killed and reported; the
// suffix scope spares the processes of other runs, and the caller is never killed.
TEST(KillByName, ReportsEachKillAndKeepsToItsScope) {
  testenv::TempDir dir;
  std::string name = "zzOrvKill" + std::to_string(getpid()), upper = name;
  for (char& c : upper) c = (char)toupper((unsigned char)c);
  std::string sleeper = plugintest::copy_program("/bin/sleep", dir.file(name)) + " 30";
  OsProcess* procs[2] = {os_process_spawn(sleeper.c_str()), os_process_spawn(sleeper.c_str())};
  ASSERT_TRUE(procs[0] && procs[1]);
  testing::internal::CaptureStdout();
  EXPECT_EQ(1, KillProcessByName(upper.c_str()));
  std::string out = testing::internal::GetCapturedStdout();
  for (OsProcess* p : procs) {
    std::string line = "成功关闭进程: " + upper + " (PID: " + std::to_string(os_process_id(p)) + ")\n";
    EXPECT_NE(std::string::npos, out.find(line)) << line;
    EXPECT_EQ(-SIGKILL, end_of(p));
  }
  EXPECT_NE(std::string::npos, out.find(">>>" + name + "\n"));
  EXPECT_NE(std::string::npos, out.find(">>>" + base_name(self_path()) + "\n")) << "every process is reported";
  EXPECT_NE(std::string::npos, out.find("\nfind api!!!\n"));
  // Nothing left (the reaped ones are gone, zombies are not counted).
  testing::internal::CaptureStdout();
  int err = -1;
  EXPECT_EQ(0, os_kill_by_image_name(name.c_str(), nullptr, nullptr, &err));
  EXPECT_EQ(0, err);
  EXPECT_EQ(0, KillProcessByName(name.c_str()));
  out = testing::internal::GetCapturedStdout();
  EXPECT_NE(std::string::npos, out.find("\nnot find api!!!\n"));
  EXPECT_EQ(std::string::npos, out.find("成功关闭进程"));

  ScopedEnv scope("QELVO_KILL_SCOPE", "suffix");
  OsProcess* other;
  {
    ScopedEnv suffix("QELVO_SHM_SUFFIX", ".other-run");
    other = os_process_spawn(sleeper.c_str());
  }
  testenv::ShmIsolation iso;
  OsProcess* mine = os_process_spawn(sleeper.c_str());
  ASSERT_TRUE(other && mine);
  // posix_spawn returns while the child's exec still sets up its environment.
  for (OsProcess* p : {other, mine}) {
    std::string env = "/proc/" + std::to_string(os_process_id(p)) + "/environ";
    plugintest::wait_until([&] { return !plugintest::read_file(env).empty(); }, 1000, 1);
  }
  EXPECT_EQ(1, os_kill_by_image_name(name.c_str(), nullptr, nullptr, nullptr));
  EXPECT_EQ(-SIGKILL, end_of(mine));
  OsProcessExit how{};
  EXPECT_EQ(0, os_process_wait(other, 50, &how)) << "a process of another run was killed";
  os_process_kill(other);
  EXPECT_EQ(-SIGKILL, end_of(other));

  ScopedEnv children("QELVO_KILL_SCOPE", "children");  // parallel runs of this program stay safe
  EXPECT_EQ(0, os_kill_by_image_name(base_name(self_path()).c_str(), nullptr, nullptr, nullptr));
}
