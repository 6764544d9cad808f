// Helpers shared by the library's tests.
#pragma once

#include <dirent.h>
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "os/shared_memory.h"
#include "plugin/plugin_internal.h"
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

// `kind`, a = b = 0, and `text` (its zero included) as bytes and length.
inline void expect_notice(const Call& call, int32_t kind, const std::string& text) {
  EXPECT_EQ(kind, call.kind);
  EXPECT_EQ(0u, call.a | call.b);
  EXPECT_EQ((int32_t)text.size(), call.length);
  EXPECT_EQ(text, call.bytes);
}

// Records the callbacks of any thread, and runs `on_packet` (when set)
// inside each packet callback, with the number of packets before it.
struct Recorder {
  std::mutex lock;
  std::vector<Call> calls;
  std::function<void(int)> on_packet;
  std::atomic<int> packets{0};

  static int callback(void* user, uint32_t a, uint32_t b, char* bytes, int32_t length, int32_t kind) {
    Recorder* r = (Recorder*)user;
    Call c{kind, a, b, length, std::string()};
    if (bytes && length > 0) c.bytes.assign(bytes, (size_t)length);
    {
      std::lock_guard<std::mutex> g(r->lock);
      r->calls.push_back(std::move(c));
    }
    if (kind > 0 && r->on_packet) r->on_packet(r->packets++);
    return 0;
  }
  std::vector<Call> snapshot() {
    std::lock_guard<std::mutex> g(lock);
    return calls;
  }
  // True once a kind -2 "capture stop" came.
  bool stopped() {
    for (const Call& c : snapshot())
      if (c.kind == -2 && c.bytes == kStop) return true;
    return false;
  }
};

// Channel names of this test only (removed again at its end, as a killed
// backend leaves them), and backend termination limited to the backends this
// test started (their environment carries the same suffix).
struct Isolation {
  testenv::ShmIsolation shm;
  testenv::ScopedEnv scope{"QELVO_KILL_SCOPE", "suffix"};
};

inline std::string library_path() { return testenv::bin_dir() + "/libqelvo.so"; }

// The built library's exports, loaded with dlopen as a host does.
struct Library {
  void* handle = dlopen(library_path().c_str(), RTLD_NOW | RTLD_LOCAL);
  std::string error = handle ? "" : dlerror();
  // Looked up in the library only (a null handle would search this program).
  void* symbol(const char* name) { return handle ? dlsym(handle, name) : nullptr; }
  decltype(&ovix_open) open = (decltype(&ovix_open))symbol("ovix_open");
  decltype(&ovix_close) close = (decltype(&ovix_close))symbol("ovix_close");
  ~Library() {
    if (handle) dlclose(handle);
  }
};

// Running qelvo.exe processes with this test's channel suffix (a zombie's
// environment reads empty).
inline int count_own_backends() {
  const char* suffix = getenv("QELVO_SHM_SUFFIX");
  std::string want = std::string("QELVO_SHM_SUFFIX=") + (suffix ? suffix : "");
  int n = 0;
  DIR* dir = opendir("/proc");
  if (!dir) return -1;
  while (dirent* e = readdir(dir)) {
    if (e->d_name[0] < '1' || e->d_name[0] > '9') continue;
    std::string base = std::string("/proc/") + e->d_name;
    if (read_file(base + "/comm") != "qelvo.exe\n") continue;
    // Whole entries only: a longer suffix is another test's.
    std::string env = std::string(1, '\0') + read_file(base + "/environ");
    if (env.find(std::string(1, '\0') + want + '\0') != std::string::npos) ++n;
  }
  closedir(dir);
  return n;
}

// How many of this test's three channel objects exist.
inline int channel_objects() {
  int n = 0;
  char name[OS_SHM_NAME_MAX];
  for (const char* base : {"MySharedMemorySegment", "MySharedMemoryMutex", "MySharedMemoryEvent"})
    n += os_shm_name(base, name, sizeof name) == 0 && os_shm_exists(name);
  return n;
}

// "01 AB ..." as the library prints bytes.
inline std::string hex_of(const std::string& bytes) {
  std::vector<char> out(bytes.size() * 3 + 1, '#');  // a missing zero shows as a longer text
  to_hex((const unsigned char*)bytes.data(), (int)bytes.size(), out.data());
  return std::string(out.data(), strnlen(out.data(), out.size()));
}

// An executable "#!/bin/sh" script.
inline void write_script(const std::string& path, const std::string& body) {
  std::ofstream(path) << "#!/bin/sh\n" << body << "\n";
  chmod(path.c_str(), 0755);
}

// Returns `to`, executable.
inline std::string copy_program(const std::string& from, const std::string& to) {
  std::filesystem::copy_file(from, to);
  chmod(to.c_str(), 0755);
  return to;
}

inline long long ms_since(std::chrono::steady_clock::time_point t0) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0).count();
}

}  // namespace plugintest
