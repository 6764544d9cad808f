#include "tests/support/test_env.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>
#include <random>
#include <sys/mman.h>
#include <unistd.h>

namespace testenv {

std::string shared_captures_dir() { return ORVANE_SHARED_CAPTURES_DIR; }
std::string bin_dir() { return ORVANE_BIN_DIR; }
std::string source_dir() { return ORVANE_SOURCE_DIR; }

std::vector<std::string> shared_capture_names() {
  std::vector<std::string> names;
  // Called while the test lists are made at build time: a missing folder
  // must not abort the build, it leaves the suites over it without cases,
  // which the test run then reports as failures that name them.
  std::error_code ec;
  std::filesystem::directory_iterator dir(shared_captures_dir(), ec);
  if (ec) {
    fprintf(stderr, "shared captures not found: %s (%s)\n", shared_captures_dir().c_str(),
            ec.message().c_str());
    return names;
  }
  for (const auto& e : dir)
    if (e.path().extension() == ".pcap" || e.path().extension() == ".pcapng")
      names.push_back(e.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

bool wait_until(const std::function<bool()>& done, int ms, int step_ms) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (!done()) {
    if (std::chrono::steady_clock::now() >= deadline) return done();
    std::this_thread::sleep_for(std::chrono::milliseconds(step_ms));
  }
  return true;
}

bool process_ended(long pid) {
  std::string stat = read_file("/proc/" + std::to_string(pid) + "/stat");
  size_t paren = stat.rfind(')');
  return paren == std::string::npos || stat.compare(paren, 3, ") Z") == 0;
}

std::string param_name(const std::string& text) {
  std::string n = text;
  for (char& c : n)
    if (!isalnum((unsigned char)c)) c = '_';
  return n;
}

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
  if (!old_.empty()) (void)!chdir(old_.c_str());  // nothing sensible to do when it is gone
}

// Process ids come round again (pid_max may be 32768), and a test killed
// mid-way leaves its objects behind: a random part keeps a later process
// with the same id from opening them as its own.
static std::string fresh_suffix() {
  static std::atomic<int> counter{0};
  static const unsigned salt = std::random_device{}();
  return ".t" + std::to_string(getpid()) + "." + std::to_string(salt) + "." + std::to_string(counter++);
}

ShmIsolation::ShmIsolation() : suffix_(fresh_suffix()), env_("QELVO_SHM_SUFFIX", suffix_) {}

ShmIsolation::~ShmIsolation() {
  // A test may end with the channel still attached by a killed process;
  // its objects would otherwise stay in shared memory after the run.
  for (const char* base : {"/MySharedMemorySegment", "/MySharedMemoryMutex", "/MySharedMemoryEvent"})
    shm_unlink((std::string(base) + suffix_).c_str());
}

ScopedEnv::ScopedEnv(const char* name, const std::string& value) : name_(name) {
  const char* old = std::getenv(name);
  if (old) had_ = true, old_ = old;
  setenv(name, value.c_str(), 1);
}

ScopedEnv::~ScopedEnv() { had_ ? setenv(name_, old_.c_str(), 1) : unsetenv(name_); }

}  // namespace testenv
