// Capture file throughput: writes N packets (default 10,000,000) of a bus-like
// mix of lengths in each format, then reads them back, and prints packets per
// second. The read figure is the parser's speed over the page cache.
//   bench_capture [packets] [directory]
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "os/clock.h"
#include "store/capture/capture_file.h"

namespace {

// Token, handshake, data: the mix a busy bus produces.
const uint32_t kLengths[] = {3, 3, 1, 3, 11, 1, 3, 67, 1, 3};

double seconds_since(uint64_t t0) { return (double)(os_monotonic_ns() - t0) / 1e9; }

int run(const std::string& path, CaptureFormat format, uint64_t count) {
  char err[512];
  uint8_t packet[128];
  for (size_t i = 0; i < sizeof packet; i++) packet[i] = (uint8_t)(i * 37 + 1);

  uint64_t t0 = os_monotonic_ns();
  CaptureWriter* w = capture_writer_open(path.c_str(), format, err, sizeof err);
  if (!w) {
    fprintf(stderr, "%s\n", err);
    return 1;
  }
  uint64_t ts = 1000000000;
  for (uint64_t i = 0; i < count; i++) {
    ts += 83 + (i & 15);
    if (capture_writer_write(w, packet, kLengths[i % 10], ts, err, sizeof err) != 0) {
      fprintf(stderr, "%s\n", err);
      capture_writer_close(w, nullptr, 0);
      return 1;
    }
  }
  if (capture_writer_close(w, err, sizeof err) != 0) {
    fprintf(stderr, "%s\n", err);
    return 1;
  }
  double wsec = seconds_since(t0);

  t0 = os_monotonic_ns();
  CaptureReader* r = capture_reader_open(path.c_str(), err, sizeof err);
  if (!r) {
    fprintf(stderr, "%s\n", err);
    return 1;
  }
  CapturePacket p;
  uint64_t n = 0, bytes = 0, sum = 0;
  int rc;
  while ((rc = capture_reader_next(r, &p, err, sizeof err)) == 1) {
    n++;
    bytes += p.length;
    sum += p.bytes[0] + p.timestamp_ns;
  }
  capture_reader_close(r);
  double rsec = seconds_since(t0);
  if (rc != 0 || n != count) {
    fprintf(stderr, "read %" PRIu64 " of %" PRIu64 " packets: %s\n", n, count, rc ? err : "");
    return 1;
  }
  FILE* f = fopen(path.c_str(), "rb");
  long long size = 0;
  if (f && fseek(f, 0, SEEK_END) == 0) size = ftell(f);
  if (f) fclose(f);
  printf("%-8s %6.1f MB  write %6.2f s %7.2f Mpkt/s   read %6.2f s %7.2f Mpkt/s %7.0f MB/s  (check %" PRIu64 ")\n",
         capture_format_name(format), size / 1e6, wsec, count / wsec / 1e6, rsec, count / rsec / 1e6,
         size / rsec / 1e6, sum & 0xFFFF);
  remove(path.c_str());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  uint64_t count = argc > 1 ? strtoull(argv[1], nullptr, 10) : 10000000ull;
  const char* tmp = getenv("TMPDIR");
  std::string dir = argc > 2 ? argv[2] : (tmp && *tmp ? tmp : "/tmp");
  printf("%" PRIu64 " packets, mean length 9.6 bytes\n", count);
  int failed = 0;
  for (CaptureFormat f : {CAPTURE_FORMAT_QELVO, CAPTURE_FORMAT_PCAP_US, CAPTURE_FORMAT_PCAP_NS, CAPTURE_FORMAT_PCAPNG})
    failed |= run(dir + "/bench_capture." + capture_format_name(f), f, count);
  return failed;
}
