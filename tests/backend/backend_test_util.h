// Helpers for the tests that run qelvo.exe itself: start it with arguments,
// wait for it with a time limit, read what it sent through the channel.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "acquisition/capture_record.h"
#include "acquisition/shm_channel.h"
#include "os/clock.h"
#include "tests/support/capture_test_util.h"
#include "tests/support/test_env.h"

extern char** environ;

namespace backendtest {

using testenv::read_file;
using testenv::wait_until;
using FilePacket = capture_test::Packet;

// Starts qelvo.exe with `args`, standard error going to `err_path`. Returns
// the process id, or -1.
inline int spawn_backend(const std::vector<std::string>& args, const std::string& err_path = "/dev/null") {
  std::string exe = testenv::bin_dir() + "/qelvo.exe";
  std::vector<char*> argv = {const_cast<char*>("qelvo.exe")};
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&fa, 2, err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  pid_t pid = -1;
  int rc = posix_spawn(&pid, exe.c_str(), &fa, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&fa);
  return rc == 0 ? (int)pid : -1;
}

// Waits up to `timeout_ms` for the process to end. Returns its exit code,
// 128 + the signal when a signal ended it, or -1 on time-out (the process is
// then killed and reaped).
inline int wait_exit(int pid, int timeout_ms) {
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

// Runs qelvo.exe to the end; its standard error goes to *err_text.
inline int run_backend(const std::vector<std::string>& args, int timeout_ms, std::string* err_text) {
  testenv::TempDir tmp;
  int pid = spawn_backend(args, tmp.file("stderr.txt"));
  int code = pid < 0 ? -1 : wait_exit(pid, timeout_ms);
  *err_text = read_file(tmp.file("stderr.txt"));
  return code;
}

// Waits up to `ms` until the backend `pid` sleeps in its wait for room in a
// full ring: at a max-rate replay that is the only place where it sleeps,
// and nobody reading means it stays there with a whole batch unsent. False
// when that did not happen in time.
inline bool wait_backend_waits_for_room(int pid, int ms) {
  std::string path = "/proc/" + std::to_string(pid) + "/syscall";
  return wait_until(
      [&] {
        // "NR args..." while blocked in a system call, "running" otherwise.
        std::string text = read_file(path);
        long nr = strtol(text.c_str(), nullptr, 10);
        return isdigit((unsigned char)text[0]) && (nr == SYS_clock_nanosleep || nr == SYS_nanosleep);
      },
      ms);
}

// What a reader of the channel saw while qelvo.exe ran.
struct ChannelRun {
  std::vector<FilePacket> packets;  // records read, in order
  int exit_code = -1;               // as wait_exit reports it
};

// Reads records from `channel` on this thread until the process `pid` has
// ended and the ring is empty. `act` (may be empty) runs on a helper thread
// first, given the process id and the number of records read so far (to
// signal the process, or to hold off reading for a while: reading starts
// once `act` returns when `hold_reading` is set).
inline ChannelRun read_channel_until_exit(ShmHandle* channel, int pid, int timeout_ms,
                                          const std::function<void(int pid, const std::atomic<size_t>& read)>& act = {},
                                          bool hold_reading = false) {
  ChannelRun run;
  std::atomic<bool> stop{false}, may_read{!hold_reading};
  std::atomic<size_t> read{0};
  std::thread watchdog([&] {
    if (act) act(pid, read);
    may_read = true;
    run.exit_code = wait_exit(pid, timeout_ms);
    // Whatever the process wrote is in the ring now; stop once it is empty.
    wait_until([&] { return shm_get_info(channel, nullptr, nullptr) == 0; }, 10000, 5);
    stop = true;
  });
  while (!may_read) os_sleep_ms(5);
  auto reader = std::make_unique<RecordReader>();
  record_reader_init(reader.get());
  CaptureRecordOut out;
  for (const std::atomic<bool> go_on{false};;) {
    // Once stopped, take what is still buffered or in the ring (whole records only).
    bool stopped = stop;
    if (stopped && record_reader_buffered(reader.get()) == 0 && shm_get_info(channel, nullptr, nullptr) == 0) break;
    if (record_read_exact(channel, reader.get(), stopped ? &go_on : &stop, &out)) {
      run.packets.push_back({std::vector<uint8_t>(out.packet, out.packet + out.dataLength), out.timestamp});
      read = run.packets.size();
    }
  }
  watchdog.join();
  return run;
}

}  // namespace backendtest
