#include "tests/support/test_env.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <sys/mman.h>
#include <unistd.h>

namespace testenv {

std::string shared_captures_dir() { return ORVANE_SHARED_CAPTURES_DIR; }
std::string bin_dir() { return ORVANE_BIN_DIR; }
std::string source_dir() { return ORVANE_SOURCE_DIR; }

TempDir::TempDir() {
  const char* base = std::getenv("TMPDIR");
  std::string tmpl = std::string(base && *base ? base : "/tmp") + "/orvane-test-XXXXXX";
  char* made = mkdtemp(tmpl.data());
  if (!made) {
    ADD_FAILURE() << "mkdtemp failed: " << std::strerror(errno);
    return;
  }
  path_ = made;
}

TempDir::~TempDir() {
  if (path_.empty()) return;
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

ScopedChdir::ScopedChdir(const std::string& dir) {
  char buf[4096];
  if (getcwd(buf, sizeof buf)) old_ = buf;
  if (chdir(dir.c_str()) != 0) ADD_FAILURE() << "chdir " << dir << ": " << std::strerror(errno);
}

ScopedChdir::~ScopedChdir() {
  if (!old_.empty() && chdir(old_.c_str()) != 0) {
    // Nothing sensible to do: the directory we came from is gone.
  }
}

ShmIsolation::ShmIsolation() {
  static std::atomic<int> counter{0};
  const char* prev = std::getenv("QELVO_SHM_SUFFIX");
  if (prev) {
    had_previous_ = true;
    previous_ = prev;
  }
  suffix_ = ".t" + std::to_string(getpid()) + "." + std::to_string(counter++);
  setenv("QELVO_SHM_SUFFIX", suffix_.c_str(), 1);
}

ShmIsolation::~ShmIsolation() {
  // A test may end with the channel still attached by a killed process;
  // its objects would otherwise stay in shared memory after the run.
  for (const char* base : {"/MySharedMemorySegment", "/MySharedMemoryMutex", "/MySharedMemoryEvent"})
    shm_unlink((std::string(base) + suffix_).c_str());
  if (had_previous_)
    setenv("QELVO_SHM_SUFFIX", previous_.c_str(), 1);
  else
    unsetenv("QELVO_SHM_SUFFIX");
}

ScopedEnv::ScopedEnv(const char* name, const std::string& value) : name_(name) {
  const char* old = std::getenv(name);
  if (old) had_ = true, old_ = old;
  setenv(name, value.c_str(), 1);
}

ScopedEnv::~ScopedEnv() { had_ ? setenv(name_, old_.c_str(), 1) : unsetenv(name_); }

}  // namespace testenv
