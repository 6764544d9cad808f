#include "tests/plugin/plugin_test_util.h"

#include <dirent.h>
#include <fcntl.h>
#include <dlfcn.h>
#include <sys/stat.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <thread>

#include "plugin/plugin_internal.h"
#include "store/capture/capture_file.h"

#include <gtest/gtest.h>

namespace plugintest {

int Recorder::callback(void* user, uint32_t a, uint32_t b, char* bytes, int32_t length, int32_t kind) {
  Recorder* r = (Recorder*)user;
  Call c{kind, a, b, length, std::string()};
  if (bytes && length > 0) c.bytes.assign(bytes, (size_t)length);
  int backends = kind == -2 && c.bytes == kStop ? count_own_backends() : -1;
  std::lock_guard<std::mutex> g(r->lock);
  if (backends >= 0) r->backendsAtStop = backends;
  r->calls.push_back(std::move(c));
  return 0;
}

void expect_notice(const Call& call, int32_t kind, const std::string& text) {
  EXPECT_EQ(kind, call.kind);
  EXPECT_EQ((int32_t)text.size(), call.length);
  EXPECT_EQ(text, call.bytes);
}

std::vector<Call> Recorder::snapshot() {
  std::lock_guard<std::mutex> g(lock);
  return calls;
}

bool Recorder::wait_stop(int ms) {
  return wait_until(
      [this] {
        for (const Call& c : snapshot())
          if (c.kind == -2 && c.bytes == kStop) return true;
        return false;
      },
      ms);
}

size_t Recorder::packets() {
  size_t n = 0;
  for (const Call& c : snapshot()) n += c.kind > 0;
  return n;
}

ScopedEnv::ScopedEnv(const char* name, const char* value) : name_(name) {
  if (const char* old = getenv(name)) had_ = true, old_ = old;
  value ? setenv(name, value, 1) : unsetenv(name);
}

ScopedEnv::~ScopedEnv() { had_ ? setenv(name_.c_str(), old_.c_str(), 1) : unsetenv(name_.c_str()); }

Isolation::~Isolation() { unlink_channel(); }

void unlink_channel() {
  const char* suffix = getenv("QELVO_SHM_SUFFIX");
  if (!suffix) return;  // never the live names
  for (const char* name : {"/MySharedMemorySegment", "/MySharedMemoryMutex", "/MySharedMemoryEvent"})
    shm_unlink((std::string(name) + suffix).c_str());
}

int channel_objects() {
  const char* suffix = getenv("QELVO_SHM_SUFFIX");
  int n = 0;
  for (const char* name : {"/MySharedMemorySegment", "/MySharedMemoryMutex", "/MySharedMemoryEvent"}) {
    int fd = shm_open((std::string(name) + (suffix ? suffix : "")).c_str(), O_RDONLY, 0);
    if (fd >= 0) ++n, close(fd);
  }
  return n;
}

std::string library_path() { return testenv::bin_dir() + "/libqelvo.so"; }

Library::Library(const std::string& path) {
  handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!handle) {
    error = dlerror();
    return;
  }
  get_option = (int (*)(char*, int))dlsym(handle, "ovix_get_option");
  open = (void* (*)(const char*, void*, CaptureCallback))dlsym(handle, "ovix_open");
  close = (int (*)(void*))dlsym(handle, "ovix_close");
}

Library::~Library() {
  if (handle) dlclose(handle);
}

// Reads a /proc file with plain reads. A process may end while its files
// are read, and the stream library throws on such a read error (ESRCH), which
// inside a capture callback would end the whole test program; here the read
// just stops and what was read so far counts.
std::string read_file(const std::string& path) {
  std::string out;
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return out;
  char buf[4096];
  for (;;) {
    ssize_t n = read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    out.append(buf, (size_t)n);
  }
  close(fd);
  return out;
}

int count_own_backends() {
  const char* suffix = getenv("QELVO_SHM_SUFFIX");
  std::string want = std::string("QELVO_SHM_SUFFIX=") + (suffix ? suffix : "");
  int n = 0;
  DIR* dir = opendir("/proc");
  if (!dir) return -1;
  while (dirent* e = readdir(dir)) {
    if (e->d_name[0] < '1' || e->d_name[0] > '9') continue;
    std::string base = std::string("/proc/") + e->d_name;
    if (read_file(base + "/comm") != "qelvo.exe\n") continue;
    std::string stat = read_file(base + "/stat");
    size_t paren = stat.rfind(')');
    if (paren == std::string::npos || stat.compare(paren, 3, ") Z") == 0) continue;
    std::string env = read_file(base + "/environ");
    size_t at = env.find(want);
    if (at != std::string::npos && (at == 0 || env[at - 1] == '\0') &&
        (at + want.size() == env.size() || env[at + want.size()] == '\0'))
      ++n;
  }
  closedir(dir);
  return n;
}

std::vector<FilePacket> read_capture(const std::string& path) {
  std::vector<FilePacket> packets;
  char err[512];
  CaptureReader* r = capture_reader_open(path.c_str(), err, sizeof err);
  EXPECT_NE(nullptr, r) << err;
  if (!r) return packets;
  capture_reader_set_time_base(r, CAPTURE_TIME_FROM_FIRST);
  CapturePacket p;
  int rc;
  while ((rc = capture_reader_next(r, &p, err, sizeof err)) == 1)
    packets.push_back({std::string((const char*)p.bytes, p.length), p.timestamp_ns});
  EXPECT_EQ(0, rc) << err;
  capture_reader_close(r);
  return packets;
}

std::string hex_of(const std::string& bytes) {
  std::vector<char> out(bytes.size() * 3 + 1, '#');  // a missing zero shows as a longer text
  to_hex((const unsigned char*)bytes.data(), (int)bytes.size(), out.data());
  return std::string(out.data(), strnlen(out.data(), out.size()));
}

void write_script(const std::string& path, const std::string& body) {
  std::ofstream(path) << "#!/bin/sh\n" << body << "\n";
  chmod(path.c_str(), 0755);
}

std::string copy_program(const std::string& from, const std::string& to) {
  std::filesystem::copy_file(from, to);
  chmod(to.c_str(), 0755);
  return to;
}

std::string first_line(const std::string& path) {
  std::ifstream in(path);
  std::string line;
  std::getline(in, line);
  return line;
}

long long ms_since(std::chrono::steady_clock::time_point t0) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0).count();
}

bool wait_until(const std::function<bool()>& done, int ms, int step_ms) {
  auto t0 = std::chrono::steady_clock::now();
  while (!done()) {
    if (ms_since(t0) >= ms) return done();
    std::this_thread::sleep_for(std::chrono::milliseconds(step_ms));
  }
  return true;
}

}  // namespace plugintest
