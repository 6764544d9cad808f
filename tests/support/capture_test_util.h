// Helpers of the capture file tests: read a whole file into packets, write
// packets out, and raw file bytes in and out.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "store/capture/capture_file.h"

namespace capture_test {

struct Packet {
  std::vector<uint8_t> bytes;
  uint64_t ts;
  bool operator==(const Packet& o) const { return bytes == o.bytes && ts == o.ts; }
};

// Everything a reader gave: the packets, the final result (0 end, -1 error,
// -2 open failed) and the error text.
struct ReadResult {
  std::vector<Packet> packets;
  int end = 0;
  std::string error;
  CaptureFormat format = CAPTURE_FORMAT_QELVO;
};

ReadResult read_all(const std::string& path, CaptureTimeBase base = CAPTURE_TIME_AS_STORED);
// Writes every packet; returns "" on success, else the first error text.
std::string write_all(const std::string& path, CaptureFormat format, const std::vector<Packet>& packets);
std::vector<uint8_t> file_bytes(const std::string& path);
void put_file(const std::string& path, const std::vector<uint8_t>& bytes);
// Packets of assorted lengths (0 to max_len) and rising time stamps, from a fixed seed.
std::vector<Packet> sample_packets(size_t count, uint32_t max_len, uint32_t seed);

// Appends the `n` low bytes of `x`, little- or big-endian.
void put(std::vector<uint8_t>& v, uint64_t x, int n, bool big = false);
inline void put16(std::vector<uint8_t>& v, uint16_t x, bool big = false) { put(v, x, 2, big); }
inline void put32(std::vector<uint8_t>& v, uint32_t x, bool big = false) { put(v, x, 4, big); }
inline void put64(std::vector<uint8_t>& v, uint64_t x, bool big = false) { put(v, x, 8, big); }

}  // namespace capture_test
