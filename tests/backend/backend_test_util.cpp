#include "tests/backend/backend_test_util.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include "os/clock.h"
#include "store/capture/capture_file.h"
#include "tests/support/test_env.h"

extern char** environ;

namespace backendtest {

std::string backend_path() { return testenv::bin_dir() + "/qelvo.exe"; }

int spawn_backend(const std::vector<std::string>& args, const std::string& out_path, const std::string& err_path) {
  std::string exe = backend_path();
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>("qelvo.exe"));
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
  for (;;) {
    int status = 0;
    pid_t r = waitpid(pid, &status, WNOHANG);
    if (r == pid) {
      if (WIFEXITED(status)) return WEXITSTATUS(status);
      if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
      return -1;
    }
    if (r < 0) return -1;
    if (os_monotonic_ns() > deadline) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      return -1;
    }
    os_sleep_ms(5);
  }
}

void send_signal(int pid, int sig) { kill(pid, sig); }

std::string read_text(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

int run_backend(const std::vector<std::string>& args, int timeout_ms, std::string* err_text) {
  testenv::TempDir tmp;
  std::string err_path = tmp.file("stderr.txt");
  int pid = spawn_backend(args, "", err_path);
  if (pid < 0) return -1;
  int code = wait_exit(pid, timeout_ms);
  if (err_text) *err_text = read_text(err_path);
  return code;
}

std::vector<FilePacket> read_capture(const std::string& path, std::string* err) {
  std::vector<FilePacket> out;
  char msg[512] = {0};
  CaptureReader* r = capture_reader_open(path.c_str(), msg, sizeof msg);
  if (!r) {
    if (err) *err = msg;
    return out;
  }
  CapturePacket p;
  int rc;
  while ((rc = capture_reader_next(r, &p, msg, sizeof msg)) == 1)
    out.push_back({std::vector<uint8_t>(p.bytes, p.bytes + p.length), p.timestamp_ns});
  if (rc < 0 && err) *err = msg;
  capture_reader_close(r);
  return out;
}

bool program_available(const char* name) {
  const char* path = getenv("PATH");
  if (!path) return false;
  std::stringstream ss(path);
  std::string dir;
  while (std::getline(ss, dir, ':')) {
    if (dir.empty()) continue;
    std::string full = dir + "/" + name;
    if (access(full.c_str(), X_OK) == 0) return true;
  }
  return false;
}

}  // namespace backendtest

#include <atomic>
#include <memory>
#include <thread>

#include "acquisition/capture_record.h"
#include "acquisition/shm_channel.h"

namespace backendtest {

ChannelRun read_channel_until_exit(ShmHandle* channel, int pid, int timeout_ms, const std::function<void(int)>& act,
                                   bool hold_reading) {
  ChannelRun run;
  std::atomic<bool> stop{false};
  std::atomic<bool> may_read{!hold_reading};
  std::atomic<uint64_t> peak{0};
  std::thread watchdog([&] {
    if (act) act(pid);
    may_read = true;
    run.exit_code = wait_exit(pid, timeout_ms);
    // Whatever the process wrote is in the ring now; stop once it is empty.
    uint64_t deadline = os_monotonic_ns() + 10000000000ull;
    while (shm_get_info(channel, nullptr, nullptr) != 0 && os_monotonic_ns() < deadline) os_sleep_ms(5);
    stop = true;
  });
  while (!may_read) {
    uint64_t filled = shm_get_info(channel, nullptr, nullptr);
    if (filled > peak) peak = filled;
    os_sleep_ms(5);
  }
  auto reader = std::make_unique<RecordReader>();
  record_reader_init(reader.get());
  CaptureRecordOut out;
  for (;;) {
    if (record_read_exact(channel, reader.get(), &stop, &out)) {
      run.packets.push_back({std::vector<uint8_t>(out.packet, out.packet + out.dataLength), out.timestamp});
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
  run.ring_peak = peak;
  return run;
}

}  // namespace backendtest
