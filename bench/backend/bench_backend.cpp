// Throughput of the stand-in backend:
//  1. the simulator alone (packets generated per second, per speed);
//  2. the channel writer in process: a thread pushes simulated packets
//     through the channel sink as fast as it can while another thread
//     drains the ring and parses the records (the analyzer's reader);
//  3. end to end: qelvo.exe replays an offline file of 2,000,000 packets
//     with QELVO_REPLAY_RATE=max and this process reads every record.
// A plain timing program: each figure is one run, after a short warm-up.
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "acquisition/capture_record.h"
#include "acquisition/shm_channel.h"
#include "backend/bus_simulator.h"
#include "backend/channel_sink.h"
#include "os/clock.h"

extern char** environ;

static double seconds_since(uint64_t t0) { return (double)(os_monotonic_ns() - t0) / 1e9; }

static void bench_simulator() {
  const char* names[] = {"", "low", "full", "high"};
  for (int sp = 1; sp <= 3; sp++) {
    BusSimulator* sim = bus_sim_create((UsbSpeed)sp, 1);
    const uint64_t n = 2000000;
    uint64_t bytes = 0;
    uint64_t t0 = os_monotonic_ns();
    for (uint64_t i = 0; i < n; i++) bytes += bus_sim_next(sim)->length;
    double s = seconds_since(t0);
    printf("simulator %-4s speed: %10.0f packets/s  (%.1f MB/s of packet bytes)\n", names[sp], n / s,
           bytes / s / 1e6);
    bus_sim_destroy(sim);
  }
}

// Reads records until `want` have arrived; returns them counted.
static uint64_t read_records(ShmHandle* h, uint64_t want, std::atomic<bool>* stop, uint64_t* first_ns) {
  auto reader = std::make_unique<RecordReader>();
  record_reader_init(reader.get());
  CaptureRecordOut out;
  uint64_t got = 0;
  while (got < want && record_read_exact(h, reader.get(), stop, &out)) {
    if (got == 0 && first_ns) *first_ns = os_monotonic_ns();
    got++;
  }
  return got;
}

static void bench_channel_in_process() {
  ShmConfig config = {SHM_DEFAULT_SIZE, 10000, 1, 1};
  ShmHandle* h = shm_create(&config);
  if (!h) {
    printf("channel: cannot create: %s\n", shm_get_last_error());
    return;
  }
  // Pre-generate so that only the channel path is measured.
  const uint64_t n = 3000000;
  std::vector<uint8_t> bytes;
  std::vector<uint32_t> lens;
  std::vector<uint64_t> stamps;
  BusSimulator* sim = bus_sim_create(USB_SPEED_HIGH, 1);
  for (uint64_t i = 0; i < n; i++) {
    const SimPacketView* p = bus_sim_next(sim);
    bytes.insert(bytes.end(), p->bytes, p->bytes + p->length);
    lens.push_back(p->length);
    stamps.push_back(p->timestamp_ns);
  }
  bus_sim_destroy(sim);

  std::atomic<bool> stop{false};
  uint64_t got = 0;
  std::thread reader([&] { got = read_records(h, n, &stop, nullptr); });
  char err[256];
  ChannelSink* sink = channel_sink_open(nullptr, err, sizeof err);
  uint64_t t0 = os_monotonic_ns();
  size_t off = 0;
  for (uint64_t i = 0; i < n; i++) {
    channel_sink_put(sink, bytes.data() + off, lens[i], stamps[i]);
    off += lens[i];
  }
  channel_sink_flush(sink);
  double write_s = seconds_since(t0);
  reader.join();
  double total_s = seconds_since(t0);
  ChannelSinkStats st;
  channel_sink_get_stats(sink, &st);
  printf("channel in process: writer %10.0f packets/s (%.0f MB/s, %llu waits for room); "
         "reader done at %10.0f packets/s; %llu of %llu records read\n",
         n / write_s, st.bytes / write_s / 1e6, (unsigned long long)st.full_waits, n / total_s,
         (unsigned long long)got, (unsigned long long)n);
  channel_sink_close(sink);
  shm_destroy(h);
}

static int run_and_wait(std::vector<std::string> args) {
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(&a[0]);
  argv.push_back(nullptr);
  pid_t pid;
  if (posix_spawn(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0) return -1;
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

static void bench_end_to_end(const std::string& exe) {
  char dir[] = "/tmp/bench-backend-XXXXXX";
  if (!mkdtemp(dir)) return;
  std::string file = std::string(dir) + "/bus.qelvo";
  const uint64_t n = 2000000;
  if (run_and_wait({exe, "-s", "hs", "--offline", std::to_string(n), "-f", file}) != 0) {
    printf("end to end: offline file could not be written\n");
    return;
  }
  ShmConfig config = {SHM_DEFAULT_SIZE, 10000, 1, 1};
  ShmHandle* h = shm_create(&config);
  setenv("QELVO_REPLAY", file.c_str(), 1);
  setenv("QELVO_REPLAY_RATE", "max", 1);
  std::string a0 = exe, a1 = "-s", a2 = "hs", a3 = "-c";
  char* argv[] = {&a0[0], &a1[0], &a2[0], &a3[0], nullptr};
  uint64_t t0 = os_monotonic_ns();
  pid_t pid;
  if (posix_spawn(&pid, exe.c_str(), nullptr, nullptr, argv, environ) != 0) {
    printf("end to end: cannot start %s\n", exe.c_str());
    return;
  }
  std::atomic<bool> stop{false};
  uint64_t first = 0;
  uint64_t got = read_records(h, n, &stop, &first);
  double s = seconds_since(t0);
  double s_first = (double)(os_monotonic_ns() - first) / 1e9;
  int status = 0;
  waitpid(pid, &status, 0);
  printf("end to end (qelvo.exe replay at max -> exact reader): %llu records in %.2f s: %10.0f packets/s "
         "(%10.0f from the first record on)\n",
         (unsigned long long)got, s, got / s, got / s_first);
  shm_destroy(h);
  unlink(file.c_str());
  rmdir(dir);
}

int main(int argc, char** argv) {
  // Never touch a live capture's channel.
  std::string suffix = ".bench" + std::to_string(getpid());
  setenv("QELVO_SHM_SUFFIX", suffix.c_str(), 1);
  const char* bin = getenv("ORVANE_BIN");
  std::string exe;
  if (bin) {
    exe = std::string(bin) + "/qelvo.exe";
  } else {
    std::string self = argv[0];
    size_t slash = self.rfind('/');
    exe = (slash == std::string::npos ? std::string(".") : self.substr(0, slash)) + "/qelvo.exe";
  }
  (void)argc;
  bench_simulator();
  bench_channel_in_process();
  bench_end_to_end(exe);
  return 0;
}
