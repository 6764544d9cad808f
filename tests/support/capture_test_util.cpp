// Helpers of the capture file tests.
#include "tests/support/capture_test_util.h"

#include <cstdio>
#include <random>

#include "tests/support/test_env.h"

namespace capture_test {

ReadResult read_all(const std::string& path, CaptureTimeBase base) {
  ReadResult res;
  char err[512] = "";
  CaptureReader* r = capture_reader_open(path.c_str(), err, sizeof err);
  if (!r) {
    res.end = -2;
    res.error = err;
    return res;
  }
  res.format = capture_reader_format(r);
  capture_reader_set_time_base(r, base);
  CapturePacket p;
  int rc;
  while ((rc = capture_reader_next(r, &p, err, sizeof err)) == 1)
    res.packets.push_back(Packet{std::vector<uint8_t>(p.bytes, p.bytes + p.length), p.timestamp_ns});
  res.end = rc;
  if (rc < 0) res.error = err;
  capture_reader_close(r);
  return res;
}

std::string write_all(const std::string& path, CaptureFormat format, const std::vector<Packet>& packets) {
  char err[512] = "";
  CaptureWriter* w = capture_writer_open(path.c_str(), format, err, sizeof err);
  if (!w) return err[0] ? err : "open failed without a message";
  for (const Packet& p : packets) {
    if (capture_writer_write(w, p.bytes.data(), (uint32_t)p.bytes.size(), p.ts, err, sizeof err) != 0) {
      std::string e = err;
      capture_writer_close(w, nullptr, 0);
      return e.empty() ? "write failed without a message" : e;
    }
  }
  if (capture_writer_close(w, err, sizeof err) != 0) return err[0] ? err : "close failed without a message";
  return "";
}

std::vector<uint8_t> file_bytes(const std::string& path) {
  std::string s = testenv::read_file(path);
  return std::vector<uint8_t>(s.begin(), s.end());
}

void put_file(const std::string& path, const std::vector<uint8_t>& bytes) {
  FILE* f = fopen(path.c_str(), "wb");
  if (!f) return;
  if (!bytes.empty()) fwrite(bytes.data(), 1, bytes.size(), f);  // data() of an empty vector may be null
  fclose(f);
}

std::vector<Packet> sample_packets(size_t count, uint32_t max_len, uint32_t seed) {
  std::mt19937 rng(seed);
  std::vector<Packet> out;
  uint64_t ts = 1648585920917463123ull;
  for (size_t i = 0; i < count; i++) {
    uint32_t len = (i % 7 == 0) ? rng() % (max_len + 1) : 1 + rng() % 3;
    if (len > max_len) len = max_len;
    Packet p;
    p.bytes.resize(len);
    for (auto& b : p.bytes) b = (uint8_t)rng();
    ts += 1 + rng() % 100000;
    p.ts = ts;
    out.push_back(std::move(p));
  }
  return out;
}

void put(std::vector<uint8_t>& v, uint64_t x, int n, bool big) {
  for (int i = 0; i < n; i++) v.push_back((uint8_t)(x >> 8 * (big ? n - 1 - i : i)));
}

}  // namespace capture_test
