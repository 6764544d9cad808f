// Throughput of the capture path: a writer process encodes capture records
// and writes them into the channel in batches, this process reads them with
// a record reader and checks their order. Reports records/s and MB/s of
// record bytes for token-sized packets (3 bytes, 23-byte records) and for
// 512-byte data packets (532-byte records), then the reader alone on a
// ring filled up front.
//
//   bench_channel [SCALE]    SCALE multiplies the record counts (default 1)
//
// Runs on its own channel names (QELVO_SHM_SUFFIX=.bench<pid> unless set),
// so it never disturbs a live capture.
#include "acquisition/capture_record.h"
#include "acquisition/shm_channel.h"
#include "os/clock.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

const ShmConfig kConfig = {SHM_DEFAULT_SIZE, 10000, 1, 1};

enum Discipline { kExactBulk, kExactByteWise, kPluginBulk };

const char* discipline_name(Discipline d) {
  switch (d) {
    case kExactBulk: return "analyzer reader (bulk)";
    case kExactByteWise: return "analyzer reader (byte-wise)";
    case kPluginBulk: return "plugin reader (bulk)";
  }
  return "?";
}

// The writer process: `count` records of `len`-byte packets, time stamps
// 0, 1, 2, ..., written in batches of about 64 KiB.
int run_writer(uint64_t count, uint32_t len) {
  ShmHandle* h = shm_create(&kConfig);
  if (!h) {
    std::fprintf(stderr, "writer: %s\n", shm_get_last_error());
    return 2;
  }
  std::vector<uint8_t> packet(len);
  for (uint32_t i = 0; i < len; ++i) packet[i] = (uint8_t)(0x69 + i);
  std::vector<uint8_t> batch(64 * 1024);
  size_t used = 0;
  for (uint64_t i = 0; i <= count; ++i) {
    if (i == count || used + CAPTURE_OVERHEAD + len > batch.size()) {
      while (used > 0) {
        int rc = shm_write(h, batch.data(), (uint32_t)used, 5000);
        if (rc > 0) break;
        if (rc < 0) {
          std::fprintf(stderr, "writer: %s\n", shm_get_last_error());
          shm_destroy(h);
          return 3;
        }
        os_sleep_ms(1);  // the ring is full: let the reader catch up
      }
      used = 0;
      if (i == count) break;
    }
    used += capture_record_encode(batch.data() + used, batch.size() - used, packet.data(), len, i);
  }
  shm_destroy(h);
  return 0;
}

// Runs one measurement; false when something went wrong.
bool measure(Discipline d, uint64_t count, uint32_t len) {
  ShmHandle* h = shm_create(&kConfig);
  if (!h) {
    std::fprintf(stderr, "bench_channel: %s\n", shm_get_last_error());
    return false;
  }
  shm_clear(h);
  RecordReader* reader = new RecordReader;
  record_reader_init(reader);
  reader->printLengths = 0;
  reader->bulk = d == kExactByteWise ? 0 : 1;

  uint64_t t0 = os_monotonic_ns();
  std::fflush(stdout);
  pid_t pid = fork();
  if (pid == 0) _exit(run_writer(count, len));
  if (pid < 0) {
    std::perror("fork");
    return false;
  }
  std::atomic<bool> stop{false};
  uint64_t got = 0;
  bool ok = true;
  CaptureRecordOut out;
  while (got < count) {
    int rc = d == kPluginBulk ? record_read_plugin(h, reader, &out)
                              : record_read_exact(h, reader, &stop, &out);
    if (!rc) continue;  // plugin: a quiet round
    if (out.timestamp != got || out.dataLength != len) {
      std::fprintf(stderr, "bench_channel: record %llu out of order\n", (unsigned long long)got);
      ok = false;
      break;
    }
    ++got;
  }
  uint64_t t1 = os_monotonic_ns();
  int status = 0;
  waitpid(pid, &status, 0);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) ok = false;

  double secs = (double)(t1 - t0) / 1e9;
  double bytes = (double)got * (CAPTURE_OVERHEAD + len);
  std::printf("%-28s %4u-byte records: %9llu in %6.3f s  %10.0f records/s  %8.1f MB/s\n",
              discipline_name(d), CAPTURE_OVERHEAD + len, (unsigned long long)got, secs,
              (double)got / secs, bytes / secs / 1e6);
  delete reader;
  shm_destroy(h);
  return ok;
}

// The reader alone: the ring is filled with records up front (no writer
// running) and drained `rounds` times; shows the reader's own ceiling.
bool measure_reader_alone(Discipline d, uint32_t len, int rounds) {
  ShmHandle* h = shm_create(&kConfig);
  if (!h) return false;
  RecordReader* reader = new RecordReader;
  record_reader_init(reader);
  reader->printLengths = 0;
  reader->bulk = d == kExactByteWise ? 0 : 1;
  uint32_t rec = CAPTURE_OVERHEAD + len;
  uint64_t per_round = (SHM_MAX_WRITE / rec);
  std::vector<uint8_t> fill(per_round * rec);
  std::vector<uint8_t> packet(len, 0x2D);
  uint64_t ns = 0, got = 0;
  bool ok = true;
  for (int r = 0; r < rounds && ok; ++r) {
    shm_clear(h);
    for (uint64_t i = 0; i < per_round; ++i)
      capture_record_encode(fill.data() + i * rec, rec, packet.data(), len, got + i);
    if (shm_write(h, fill.data(), (uint32_t)fill.size(), 1000) != (int)fill.size()) ok = false;
    std::atomic<bool> stop{false};
    CaptureRecordOut out;
    uint64_t t0 = os_monotonic_ns();
    for (uint64_t i = 0; i < per_round && ok; ++i) {
      int rc = d == kPluginBulk ? record_read_plugin(h, reader, &out)
                                : record_read_exact(h, reader, &stop, &out);
      if (rc != 1 || out.timestamp != got + i) ok = false;
    }
    ns += os_monotonic_ns() - t0;
    got += per_round;
  }
  double secs = (double)ns / 1e9;
  std::printf("%-28s %4u-byte records: %9llu in %6.3f s  %10.0f records/s  %8.1f MB/s  (reader alone)\n",
              discipline_name(d), rec, (unsigned long long)got, secs, (double)got / secs,
              (double)got * rec / secs / 1e6);
  delete reader;
  shm_destroy(h);
  return ok;
}

}  // namespace

int main(int argc, char** argv) {
  double scale = argc > 1 ? std::atof(argv[1]) : 1.0;
  if (scale <= 0) scale = 1.0;
  if (!std::getenv("QELVO_SHM_SUFFIX")) {
    std::string suffix = ".bench" + std::to_string(getpid());
    setenv("QELVO_SHM_SUFFIX", suffix.c_str(), 1);
  }
  auto n = [&](double base) { return (uint64_t)(base * scale); };
  bool ok = true;
  ok &= measure(kExactBulk, n(20e6), 3);
  ok &= measure(kExactBulk, n(1e6), 512);
  ok &= measure(kPluginBulk, n(20e6), 3);
  ok &= measure(kPluginBulk, n(1e6), 512);
  ok &= measure(kExactByteWise, n(2e6), 3);
  ok &= measure(kExactByteWise, n(1e6), 512);
  ok &= measure_reader_alone(kExactBulk, 3, 10);
  ok &= measure_reader_alone(kPluginBulk, 3, 10);
  ok &= measure_reader_alone(kExactByteWise, 3, 2);
  return ok ? 0 : 1;
}
