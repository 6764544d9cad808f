// bench_plugin: generates a high-speed capture of 1,000,000 simulated packets
// with "qelvo.exe --offline", replays it at full speed ("QELVO_REPLAY_RATE=max")
// through the channel and libqelvo.so's record reader to a callback that only
// counts, and reports packets per second and packets lost.
//
//   bench_plugin [PACKETS]      (default 1000000)
//
// The library's per-record diagnostics go to /dev/null during the run; the
// report is printed on standard output at the end.
#include <dlfcn.h>
#include <fcntl.h>
#include <limits.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>

#include "bench/support/bench_util.h"
#include "os/clock.h"
#include "plugin/qelvo.h"
#include "store/capture/capture_file.h"

namespace {



struct Counter {
  std::atomic<uint64_t> packets{0};
  uint64_t bytes = 0;          // written by the reader thread only
  uint64_t stamp_sum = 0;      // written by the reader thread only
  std::atomic<uint64_t> first_ns{0};
  std::atomic<uint64_t> last_ns{0};
  std::atomic<bool> stopped{false};
};

int count_packet(void* user, uint32_t a, uint32_t b, char*, int32_t length, int32_t kind) {
  Counter* c = (Counter*)user;
  if (kind > 0) {
    uint64_t now = os_monotonic_ns();
    if (c->packets.load(std::memory_order_relaxed) == 0) c->first_ns.store(now);
    c->last_ns.store(now, std::memory_order_relaxed);
    c->bytes += (uint64_t)length;
    c->stamp_sum += (uint64_t)a << 32 | b;
    c->packets.fetch_add(1, std::memory_order_relaxed);
  } else if (kind == -2 && length == 13) {
    c->stopped.store(true);
  }
  return 0;
}

using benchutil::bin_dir;

}  // namespace

int main(int argc, char** argv) {
  uint64_t want = argc > 1 ? strtoull(argv[1], nullptr, 10) : 1000000;

  // The capture to replay.
  std::string dir, file;
  if (!benchutil::make_capture("plugin", want, &dir, &file)) return 1;

  uint64_t file_packets = 0, file_bytes = 0, file_stamps = 0;
  char err[512];
  CaptureReader* r = capture_reader_open(file.c_str(), err, sizeof err);
  if (!r) {
    fprintf(stderr, "bench_plugin: %s\n", err);
    return 1;
  }
  CapturePacket p;
  while (capture_reader_next(r, &p, err, sizeof err) == 1) {
    ++file_packets;
    file_bytes += p.length;
    file_stamps += p.timestamp_ns;
  }
  capture_reader_close(r);

  std::string suffix = ".bench" + std::to_string(getpid());
  setenv("QELVO_SHM_SUFFIX", suffix.c_str(), 1);
  setenv("QELVO_KILL_SCOPE", "suffix", 1);
  setenv("QELVO_REPLAY", file.c_str(), 1);
  setenv("QELVO_REPLAY_RATE", "max", 1);

  std::string lib_path = bin_dir() + "/libqelvo.so";
  void* lib = dlopen(lib_path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!lib) {
    fprintf(stderr, "bench_plugin: %s\n", dlerror());
    return 1;
  }
  auto open_capture = (void* (*)(const char*, void*, CaptureCallback))dlsym(lib, "ovix_open");
  auto close_capture = (int (*)(void*))dlsym(lib, "ovix_close");

  // The library prints a line per record: keep it out of the report.
  fflush(stdout);
  int saved_stdout = dup(1);
  int devnull = open("/dev/null", O_WRONLY);
  dup2(devnull, 1);
  close(devnull);

  Counter counter;
  uint64_t t_open = os_monotonic_ns();
  void* ctx = open_capture("<speed,HS>", &counter, count_packet);
  while (ctx && !counter.stopped.load()) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  uint64_t t_stop = os_monotonic_ns();
  if (ctx) close_capture(ctx);

  fflush(stdout);
  dup2(saved_stdout, 1);
  close(saved_stdout);
  dlclose(lib);
  for (const char* name : {"/MySharedMemorySegment", "/MySharedMemoryMutex", "/MySharedMemoryEvent"})
    shm_unlink((std::string(name) + suffix).c_str());
  std::error_code ec;
  std::filesystem::remove_all(dir, ec);
  if (!ctx) {
    fprintf(stderr, "bench_plugin: ovix_open failed\n");
    return 1;
  }

  uint64_t got = counter.packets.load();
  double span = (double)(counter.last_ns.load() - counter.first_ns.load()) / 1e9;
  double total = (double)(t_stop - t_open) / 1e9;
  bool same = got == file_packets && counter.bytes == file_bytes && counter.stamp_sum == file_stamps;
  printf("file packets      %llu\n", (unsigned long long)file_packets);
  printf("callbacks         %llu\n", (unsigned long long)got);
  printf("lost              %lld\n", (long long)file_packets - (long long)got);
  printf("lengths, stamps   %s\n", same ? "equal to the file" : "DIFFERENT from the file");
  printf("packets/s         %.0f  (first to last packet, %.3f s)\n", span > 0 ? got / span : 0.0, span);
  printf("packets/s overall %.0f  (open to capture stop, %.3f s)\n", total > 0 ? got / total : 0.0, total);
  return same ? 0 : 1;
}
