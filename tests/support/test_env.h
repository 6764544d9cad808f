// Test isolation: every test gets its own temporary directory and its own
// channel names, so the whole suite runs in parallel without collisions;
// and the small helpers many suites share (file reads, waits, capture names).
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace testenv {

// Folder of the shared real captures (read in place, never copied).
std::string shared_captures_dir();
// The names of the *.pcap and *.pcapng files there, sorted.
std::vector<std::string> shared_capture_names();
// A test name made of `text`: every character but letters and digits becomes '_'.
std::string param_name(const std::string& text);
// Folder that holds the built programs and libraries (qelvo.exe, libqelvo.so, tools).
std::string bin_dir();
std::string source_dir();

// The whole file, or what could be read of it. Plain reads that never throw:
// a /proc file of a process that ends meanwhile just reads short.
std::string read_file(const std::string& path);
// Polls `done` every `step_ms` for up to `ms`; its last answer.
bool wait_until(const std::function<bool()>& done, int ms, int step_ms = 2);
// True once process `pid` has ended (gone, or a zombie nobody reaped yet).
bool process_ended(long pid);

// A fresh directory under $TMPDIR, removed with everything in it on destruction.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// Changes the current directory for the lifetime of the object (each CTest
// test runs in its own process, so this cannot disturb another test).
class ScopedChdir {
 public:
  explicit ScopedChdir(const std::string& dir);
  ~ScopedChdir();

 private:
  std::string old_;
};

// Sets an environment variable for the lifetime of the object and restores
// the value before (or its absence) on destruction.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const std::string& value);
  ~ScopedEnv();
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  const char* name_;
  bool had_ = false;
  std::string old_;
};

// Sets QELVO_SHM_SUFFIX to a value unique to this process and test, and
// restores the previous value on destruction.
class ShmIsolation {
 public:
  ShmIsolation();
  ~ShmIsolation();
  const std::string& suffix() const { return suffix_; }

 private:
  std::string suffix_;
  ScopedEnv env_;
};

}  // namespace testenv
