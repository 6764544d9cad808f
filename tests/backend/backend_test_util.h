// Helpers for the tests that run qelvo.exe itself: start it with arguments,
// wait for it with a time limit, read what it sent through the channel.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "tests/support/capture_test_util.h"
#include "tests/support/test_env.h"

struct ShmHandle;

namespace backendtest {

using testenv::read_file;
using testenv::wait_until;

// Starts qelvo.exe with `args`, standard output and error going to the given
// files (empty: /dev/null). Returns the process id, or -1.
int spawn_backend(const std::vector<std::string>& args, const std::string& out_path = "",
                  const std::string& err_path = "");
// Waits up to `timeout_ms` for the process to end. Returns its exit code,
// 128 + the signal when a signal ended it, or -1 on time-out (the process is
// then killed and reaped).
int wait_exit(int pid, int timeout_ms);
// Runs qelvo.exe to the end; its standard error goes to *err_text.
int run_backend(const std::vector<std::string>& args, int timeout_ms, std::string* err_text);

using FilePacket = capture_test::Packet;

// What a reader of the channel saw while qelvo.exe ran.
struct ChannelRun {
  std::vector<FilePacket> packets;  // records read, in order
  int exit_code = -1;               // as wait_exit reports it
  uint64_t ring_peak = 0;           // most bytes seen waiting in the ring
};

// What an action of read_channel_until_exit is given: the process id and
// the number of records read so far (growing while the action runs, unless
// reading is held).
using ChannelAct = std::function<void(int pid, const std::atomic<size_t>& read)>;

// Reads records from `channel` on this thread until the process `pid` has
// ended and the ring is empty. `act` (may be empty) runs on a helper thread
// first (to signal the process, or to hold off reading for a while: reading
// starts once `act` returns when `hold_reading` is set).
ChannelRun read_channel_until_exit(ShmHandle* channel, int pid, int timeout_ms, const ChannelAct& act = {},
                                   bool hold_reading = false);

// Waits up to `ms` until the backend `pid` sleeps in its wait for room in a
// full ring: at a max-rate replay that is the only place where it sleeps,
// and nobody reading means it stays there with a whole batch unsent. False
// when that did not happen in time.
bool wait_backend_waits_for_room(int pid, int ms);
}  // namespace backendtest
