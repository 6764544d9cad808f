// Helpers shared by the library's tests: a callback that records everything
// it is given, isolation of the channel and of backend termination, the built
// library loaded the way a host loads it, and capture files as packets.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "plugin/qelvo.h"
#include "tests/support/test_env.h"

namespace plugintest {

using testenv::ScopedEnv;
using testenv::read_file;
using testenv::wait_until;

// One callback as the host saw it.
struct Call {
  int32_t kind;
  uint32_t a, b;
  int32_t length;
  std::string bytes;  // `length` bytes (none when length <= 0)
};

// The exact bytes of the "capture stop" notice, its zero included.
const std::string kStop("capture stop", 13);

// Expects a notice: `kind`, and `text` (its zero included) as bytes and length.
void expect_notice(const Call& call, int32_t kind, const std::string& text);

// Collects callbacks from any thread.
struct Recorder {
  std::mutex lock;
  std::vector<Call> calls;

  static int callback(void* user, uint32_t a, uint32_t b, char* bytes, int32_t length, int32_t kind);
  std::vector<Call> snapshot();
  // Waits up to `ms` for a kind -2 "capture stop"; true when it came.
  bool wait_stop(int ms);
  size_t packets();
};

// Channel names of this test only (removed again at its end, as a killed
// backend leaves them), and backend termination limited to the backends this
// test started (their environment carries the same suffix).
struct Isolation {
  testenv::ShmIsolation shm;
  testenv::ScopedEnv scope{"QELVO_KILL_SCOPE", "suffix"};
};

// The three exports of the built library, loaded with dlopen.
struct Library {
  void* handle = nullptr;
  int (*get_option)(char*, int) = nullptr;
  void* (*open)(const char*, void*, CaptureCallback) = nullptr;
  int (*close)(void*) = nullptr;
  std::string error;

  explicit Library(const std::string& path);
  ~Library();
};

std::string library_path();

// Number of running (not zombie) processes named qelvo.exe whose environment
// carries this test's channel suffix.
int count_own_backends();

// How many of this test's three channel objects exist.
int channel_objects();

// "01 AB ..." as the library prints bytes.
std::string hex_of(const std::string& bytes);

// Writes an executable shell script with `body`.
void write_script(const std::string& path, const std::string& body);
// Copies the program `from` to `to` (a name no other program has), executable.
std::string copy_program(const std::string& from, const std::string& to);
// First line of a text file ("" when missing).
std::string first_line(const std::string& path);

long long ms_since(std::chrono::steady_clock::time_point t0);

}  // namespace plugintest
