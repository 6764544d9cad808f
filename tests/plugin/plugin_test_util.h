// Helpers shared by the library's tests: a callback that records everything
// it is given, isolation of the channel and of backend termination, and the
// built library loaded the way a host loads it.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <mutex>
#include <string>
#include <vector>

#include "plugin/qelvo.h"
#include "tests/support/test_env.h"

namespace plugintest {

// One callback as the host saw it.
struct Call {
  int32_t kind;
  uint32_t a, b;
  int32_t length;
  std::string bytes;  // `length` bytes (none when length <= 0)
};

// Collects callbacks from any thread.
struct Recorder {
  std::mutex lock;
  std::vector<Call> calls;
  int backendsAtStop = -1;  // this test's running backends when "capture stop" came

  static int callback(void* user, uint32_t a, uint32_t b, char* bytes, int32_t length, int32_t kind);
  std::vector<Call> snapshot();
  // Waits up to `ms` for a kind -2 "capture stop"; true when it came.
  bool wait_stop(int ms);
  size_t packets();
};

// Channel names of this test only, and backend termination limited to the
// backends this test started (their environment carries the same suffix).
class Isolation {
 public:
  Isolation();
  ~Isolation();

 private:
  testenv::ShmIsolation shm_;
  std::string old_scope_;
  bool had_scope_ = false;
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

// Removes this test's channel objects, which a killed backend leaves behind.
void unlink_channel();

}  // namespace plugintest
