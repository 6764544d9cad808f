#include "tests/backend/backend_test_util.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <thread>

#include "acquisition/capture_record.h"
#include "acquisition/shm_channel.h"
#include "os/clock.h"
#include "tests/support/test_env.h"

extern char** environ;

namespace backendtest {

int spawn_backend(const std::vector<std::string>& args, const std::string& out_path, const std::string& err_path) {
  std::string exe = testenv::bin_dir() + "/qelvo.exe";
  std::vector<char*> argv = {const_cast<char*>("qelvo.exe")};
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_addopen(&fa, 1, out_path.empty() ? "/dev/null" : out_path.c_str(),
                                   O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_addopen(&fa, 2, err_path.empty() ? "/dev/null" : err_path.c_str(),
                                   O_WRONLY | O_CREAT | O_TRUNC, 0644);
  pid_t pid = -1;
  int rc = posix_spawn(&pid, exe.c_str(), &fa, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&fa);
  return rc == 0 ? (int)pid : -1;
}

int wait_exit(int pid, int timeout_ms) {
  uint64_t deadline = os_monotonic_ns() + (uint64_t)timeout_ms * 1000000ull;
  for (int status = 0;; os_sleep_ms(5)) {
    pid_t r = waitpid(pid, &status, WNOHANG);
    if (r == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : WIFSIGNALED(status) ? 128 + WTERMSIG(status) : -1;
    if (r < 0) return -1;
    if (os_monotonic_ns() > deadline) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      return -1;
    }
  }
}

int run_backend(const std::vector<std::string>& args, int timeout_ms, std::string* err_text) {
  testenv::TempDir tmp;
  int pid = spawn_backend(args, "", tmp.file("stderr.txt"));
  if (pid < 0) return -1;
  int code = wait_exit(pid, timeout_ms);
  if (err_text) *err_text = read_file(tmp.file("stderr.txt"));
  return code;
}

bool wait_backend_waits_for_room(int pid, int ms) {
  std::string path = "/proc/" + std::to_string(pid) + "/syscall";
  return wait_until(
      [&] {
        // "NR args..." while blocked in a system call, "running" otherwise.
        // Plain reads: a stream throws when the process ends meanwhile.
        char text[64] = {0};
        int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) return false;
        ssize_t n = read(fd, text, sizeof text - 1);
        close(fd);
        if (n <= 0) return false;
        long nr = strtol(text, nullptr, 10);
        return (text[0] >= '0' && text[0] <= '9') && (nr == SYS_clock_nanosleep || nr == SYS_nanosleep);
      },
      ms);
}

ChannelRun read_channel_until_exit(ShmHandle* channel, int pid, int timeout_ms, const ChannelAct& act,
                                   bool hold_reading) {
  ChannelRun run;
  std::atomic<bool> stop{false}, may_read{!hold_reading};
  std::atomic<size_t> read{0};
  std::thread watchdog([&] {
    if (act) act(pid, read);
    may_read = true;
    run.exit_code = wait_exit(pid, timeout_ms);
    // Whatever the process wrote is in the ring now; stop once it is empty.
    uint64_t deadline = os_monotonic_ns() + 10000000000ull;
    while (shm_get_info(channel, nullptr, nullptr) != 0 && os_monotonic_ns() < deadline) os_sleep_ms(5);
    stop = true;
  });
  for (bool last = false; !last; os_sleep_ms(5)) {
    last = may_read;  // one more look once reading may begin: nobody has read yet
    run.ring_peak = std::max<uint64_t>(run.ring_peak, shm_get_info(channel, nullptr, nullptr));
  }
  auto reader = std::make_unique<RecordReader>();
  record_reader_init(reader.get());
  CaptureRecordOut out;
  for (;;) {
    if (record_read_exact(channel, reader.get(), &stop, &out)) {
      run.packets.push_back({std::vector<uint8_t>(out.packet, out.packet + out.dataLength), out.timestamp});
      read = run.packets.size();
      continue;
    }
    if (!stop) continue;
    // Stopped: take what is still buffered or in the ring (whole records only).
    if (record_reader_buffered(reader.get()) == 0 && shm_get_info(channel, nullptr, nullptr) == 0) break;
    stop = false;
    if (record_read_exact(channel, reader.get(), &stop, &out))
      run.packets.push_back({std::vector<uint8_t>(out.packet, out.packet + out.dataLength), out.timestamp});
    stop = true;
  }
  watchdog.join();
  return run;
}

}  // namespace backendtest
