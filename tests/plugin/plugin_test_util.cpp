#include "tests/plugin/plugin_test_util.h"

#include <dirent.h>
#include <dlfcn.h>
#include <sys/mman.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <thread>

namespace plugintest {

int Recorder::callback(void* user, uint32_t a, uint32_t b, char* bytes, int32_t length,
                       int32_t kind) {
  Recorder* r = (Recorder*)user;
  Call c{kind, a, b, length, std::string()};
  if (bytes && length > 0) c.bytes.assign(bytes, (size_t)length);
  int backends = -1;
  if (kind == -2 && c.bytes == std::string("capture stop", 13)) backends = count_own_backends();
  std::lock_guard<std::mutex> g(r->lock);
  if (backends >= 0) r->backendsAtStop = backends;
  r->calls.push_back(std::move(c));
  return 0;
}

std::vector<Call> Recorder::snapshot() {
  std::lock_guard<std::mutex> g(lock);
  return calls;
}

bool Recorder::wait_stop(int ms) {
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  for (;;) {
    {
      std::lock_guard<std::mutex> g(lock);
      for (const Call& c : calls)
        if (c.kind == -2 && c.bytes == std::string("capture stop", 13)) return true;
    }
    if (std::chrono::steady_clock::now() >= end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

size_t Recorder::packets() {
  std::lock_guard<std::mutex> g(lock);
  size_t n = 0;
  for (const Call& c : calls) n += c.kind > 0;
  return n;
}

Isolation::Isolation() {
  const char* old = getenv("QELVO_KILL_SCOPE");
  if (old) {
    had_scope_ = true;
    old_scope_ = old;
  }
  setenv("QELVO_KILL_SCOPE", "suffix", 1);
}

Isolation::~Isolation() {
  unlink_channel();
  if (had_scope_)
    setenv("QELVO_KILL_SCOPE", old_scope_.c_str(), 1);
  else
    unsetenv("QELVO_KILL_SCOPE");
}

void unlink_channel() {
  const char* suffix = getenv("QELVO_SHM_SUFFIX");
  if (!suffix) return;  // never the live names
  for (const char* name : {"/MySharedMemorySegment", "/MySharedMemoryMutex", "/MySharedMemoryEvent"})
    shm_unlink((std::string(name) + suffix).c_str());
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

static std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
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
    std::string comm = read_file(base + "/comm");
    if (comm != "qelvo.exe\n") continue;
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

}  // namespace plugintest
