// Helpers shared by the library's tests.
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

struct Call {
  int32_t kind;
  uint32_t a, b;
  int32_t length;
  std::string bytes;  // `length` bytes (none when length <= 0)
};

// The exact bytes of the "capture stop" notice, its zero included.
const std::string kStop("capture stop", 13);

// `kind`, and `text` (its zero included) as bytes and length.
void expect_notice(const Call& call, int32_t kind, const std::string& text);

// Records the callbacks of any thread.
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

// The built library's exports, loaded with dlopen as a host does.
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

// Running (not zombie) qelvo.exe processes with this test's channel suffix.
int count_own_backends();
// How many of this test's three channel objects exist.
int channel_objects();
// "01 AB ..." as the library prints bytes.
std::string hex_of(const std::string& bytes);
void write_script(const std::string& path, const std::string& body);  // executable "#!/bin/sh"
std::string copy_program(const std::string& from, const std::string& to);  // returns `to`, executable
std::string first_line(const std::string& path);  // "" when missing

long long ms_since(std::chrono::steady_clock::time_point t0);

}  // namespace plugintest
