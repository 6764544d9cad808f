// Every store test runs in its own temporary directory (the store files go
// to "data" below it) and can see what the store logged.
#pragma once

#include <dirent.h>
#include <gtest/gtest.h>

#include <fstream>
#include <mutex>
#include <string>
#include <vector>

#include "os/log.h"
#include "store/store_files.h"
#include "tests/support/test_env.h"

class StoreTest : public ::testing::Test {
 protected:
  StoreTest() : cd_(tmp_.path()) {
    store_set_data_dir("data");
    orvane_log_set_sink(&StoreTest::collect, this);
  }
  ~StoreTest() override { orvane_log_set_sink(nullptr, nullptr); }

  bool logged_contains(const std::string& text) {
    std::lock_guard<std::mutex> hold(log_lock_);
    for (const std::string& line : log_)
      if (line.find(text) != std::string::npos) return true;
    return false;
  }
  // Bytes of a file on disk (empty when missing).
  static std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  static long long file_size(const std::string& path) {
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    return in ? (long long)in.tellg() : -1;
  }
  std::string data_path(const std::string& name) { return tmp_.path() + "/data/" + name; }

  testenv::TempDir tmp_;

 private:
  static void collect(const char* line, void* user) {
    StoreTest* self = (StoreTest*)user;
    std::lock_guard<std::mutex> hold(self->log_lock_);
    self->log_.push_back(line);
  }
  testenv::ScopedChdir cd_;
  std::mutex log_lock_;
  std::vector<std::string> log_;
};

// Descriptors the process holds open.
static inline int open_fds() {
  int n = 0;
  DIR* d = opendir("/proc/self/fd");
  if (!d) return -1;
  while (readdir(d)) ++n;
  closedir(d);
  return n;
}

// `n` bytes that follow from `seed`.
static inline std::vector<uint8_t> pattern(uint32_t seed, size_t n) {
  std::vector<uint8_t> v(n);
  for (size_t i = 0; i < n; ++i) v[i] = (uint8_t)(seed * 31 + i * 7);
  return v;
}

template <typename T>
static T read_le(const std::string& bytes, size_t off) {
  T v{};
  if (off + sizeof v <= bytes.size()) memcpy(&v, bytes.data() + off, sizeof v);
  return v;
}
