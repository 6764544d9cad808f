// The second process of the channel tests.
//
//   channel_peer write COUNT SEED     writes COUNT records (see peer_record)
//   channel_peer read COUNT SEED      reads COUNT records with the exact
//                                     reader and checks each; exit 0 when all
//                                     arrived intact and in order
//   channel_peer attach               attaches with shm_create and exits:
//                                     code 10 + creator flag
//   channel_peer hold                 attaches, takes the channel lock, says
//                                     "held" on stdout and waits to be killed
//
// Records carry their sequence number as the time stamp and a packet whose
// length and bytes follow from (seed, sequence), so the reader can check
// each one without any other channel.
#include "acquisition/capture_record.h"
#include "acquisition/shm_channel.h"
#include "os/clock.h"
#include "os/sync.h"
#include "tests/acquisition/peer_record.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

static ShmHandle* attach() {
  ShmConfig config = {SHM_DEFAULT_SIZE, 10000, 1, 1};
  ShmHandle* h = shm_create(&config);
  if (!h) std::fprintf(stderr, "channel_peer: %s\n", shm_get_last_error());
  return h;
}

static int do_write(uint64_t count, uint32_t seed) {
  ShmHandle* h = attach();
  if (!h) return 2;
  std::vector<uint8_t> batch(64 * 1024);
  size_t used = 0;
  uint8_t packet[CAPTURE_PACKET_MAX];
  uint8_t record[CAPTURE_RECORD_MAX];
  for (uint64_t i = 0; i <= count; ++i) {
    size_t n = 0;
    if (i < count) {
      uint32_t len = peer_packet(seed, i, packet);
      n = capture_record_encode(record, sizeof record, packet, len, i);
    }
    if (i == count || used + n > batch.size()) {
      // All or nothing: wait for room rather than split a batch.
      while (used > 0) {
        int rc = shm_write(h, batch.data(), (uint32_t)used, 5000);
        if (rc == (int)used) break;
        if (rc < 0) {
          std::fprintf(stderr, "channel_peer: write: %s\n", shm_get_last_error());
          shm_destroy(h);
          return 3;
        }
        os_sleep_ms(1);
      }
      used = 0;
    }
    std::memcpy(batch.data() + used, record, n);
    used += n;
  }
  shm_destroy(h);
  return 0;
}

static int do_read(uint64_t count, uint32_t seed) {
  ShmHandle* h = attach();
  if (!h) return 2;
  RecordReader* reader = new RecordReader;
  record_reader_init(reader);
  std::atomic<bool> stop{false};
  uint8_t packet[CAPTURE_PACKET_MAX];
  int rc = 0;
  for (uint64_t i = 0; i < count; ++i) {
    CaptureRecordOut out;
    if (!record_read_exact(h, reader, &stop, &out)) {
      rc = 4;
      break;
    }
    uint32_t len = peer_packet(seed, i, packet);
    if (out.timestamp != i || out.dataLength != len || std::memcmp(out.packet, packet, len) != 0) {
      std::fprintf(stderr, "channel_peer: record %llu wrong (stamp %llu, length %u, want %u)\n",
                   (unsigned long long)i, (unsigned long long)out.timestamp, out.dataLength, len);
      rc = 5;
      break;
    }
  }
  if (rc == 0 && reader->skipped != 0) rc = 6;
  delete reader;
  shm_destroy(h);
  return rc;
}

int main(int argc, char** argv) {
  if (argc >= 4 && std::strcmp(argv[1], "write") == 0)
    return do_write(std::strtoull(argv[2], nullptr, 10), (uint32_t)std::strtoul(argv[3], nullptr, 10));
  if (argc >= 4 && std::strcmp(argv[1], "read") == 0)
    return do_read(std::strtoull(argv[2], nullptr, 10), (uint32_t)std::strtoul(argv[3], nullptr, 10));
  if (argc >= 2 && std::strcmp(argv[1], "attach") == 0) {
    ShmHandle* h = attach();
    if (!h) return 2;
    int code = 10 + (h->creator ? 1 : 0);
    shm_destroy(h);
    return code;
  }
  if (argc >= 2 && std::strcmp(argv[1], "hold") == 0) {
    ShmHandle* h = attach();
    if (!h) return 2;
    if (os_lock_acquire(h->lock, 5000) == OS_LOCK_FAILED) return 3;
    std::printf("held\n");
    std::fflush(stdout);
    for (;;) os_sleep_ms(1000);
  }
  std::fprintf(stderr, "usage: channel_peer write|read COUNT SEED | attach | hold\n");
  return 1;
}
