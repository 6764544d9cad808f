// The second process of the channel tests.
//
//   channel_peer write COUNT SEED   writes COUNT records (see peer_packet)
//   channel_peer read COUNT SEED    reads COUNT records with the exact reader and
//                                   checks each; exit 0 when all arrived intact and in order
//   channel_peer hold               attaches with shm_create and waits to be killed
//
// Records carry their sequence number as the time stamp and a packet that
// follows from (seed, sequence), so the reader checks each one by itself.
#include "acquisition/capture_record.h"
#include "acquisition/shm_channel.h"
#include "os/clock.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <unistd.h>

// Fills `out` with packet `i` of stream `seed`; returns its length (1 to
// 600, now and then the largest, 4,092).
static uint32_t peer_packet(uint32_t seed, uint64_t i, uint8_t* out) {
  uint64_t x = (i + 1) * 0x9E3779B97F4A7C15ull ^ ((uint64_t)seed << 32 | seed);
  x ^= x >> 31;
  x *= 0xBF58476D1CE4E5B9ull;
  x ^= x >> 29;
  uint32_t len = (i % 997 == 0) ? 4092u : (uint32_t)(x % 600u) + 1u;
  for (uint32_t k = 0; k < len; ++k) {
    x = x * 6364136223846793005ull + 1442695040888963407ull;
    out[k] = (uint8_t)(x >> 56);
  }
  return len;
}

static int do_write(ShmHandle* h, uint64_t count, uint32_t seed) {
  uint8_t packet[CAPTURE_PACKET_MAX], record[CAPTURE_RECORD_MAX];
  for (uint64_t i = 0; i < count; ++i) {
    size_t n = capture_record_encode(record, sizeof record, packet, peer_packet(seed, i, packet), i);
    // All or nothing: wait for room rather than split a record.
    for (int rc; (rc = shm_write(h, record, (uint32_t)n, 5000)) != (int)n; os_sleep_ms(1))
      if (rc < 0) return std::fprintf(stderr, "channel_peer: write: %s\n", shm_get_last_error()), 3;
  }
  return 0;
}

static int do_read(ShmHandle* h, uint64_t count, uint32_t seed) {
  auto reader = std::make_unique<RecordReader>();
  record_reader_init(reader.get());
  std::atomic<bool> stop{false};
  uint8_t packet[CAPTURE_PACKET_MAX];
  for (uint64_t i = 0; i < count; ++i) {
    CaptureRecordOut out;
    if (!record_read_exact(h, reader.get(), &stop, &out)) return 4;
    uint32_t len = peer_packet(seed, i, packet);
    if (out.timestamp != i || out.dataLength != len || std::memcmp(out.packet, packet, len) != 0)
      return std::fprintf(stderr, "channel_peer: record %llu wrong\n", (unsigned long long)i), 5;
  }
  return reader->skipped != 0 ? 6 : 0;
}

int main(int argc, char** argv) {
  std::string cmd = argc >= 2 ? argv[1] : "";
  bool counted = (cmd == "write" || cmd == "read") && argc >= 4;
  if (!counted && cmd != "hold") return std::fprintf(stderr, "channel_peer: bad arguments\n"), 1;
  ShmConfig config = {SHM_DEFAULT_SIZE, 10000, 1, 1};
  ShmHandle* h = shm_create(&config);
  if (!h) return std::fprintf(stderr, "channel_peer: %s\n", shm_get_last_error()), 2;
  while (cmd == "hold") pause();
  uint64_t count = std::strtoull(argv[2], nullptr, 10);
  uint32_t seed = (uint32_t)std::strtoul(argv[3], nullptr, 10);
  int rc = cmd == "write" ? do_write(h, count, seed) : do_read(h, count, seed);
  shm_destroy(h);
  return rc;
}
