// Control requests and descriptor answers decoded per second: the request
// table and request line of every control transfer, and the walk of typical
// answers (a 34-byte configuration, a string, a large audio configuration).
#include <benchmark/benchmark.h>

#include <vector>

#include "decode/descriptor_decoder.h"

namespace {

const uint8_t kSetup[8] = {0x80, 0x06, 0x00, 0x02, 0x00, 0x00, 0x22, 0x00};

const std::vector<uint8_t> kConfig34 = {
    0x09, 0x02, 0x22, 0x00, 0x01, 0x01, 0x00, 0xA0, 0x31, 0x09, 0x04, 0x00,
    0x00, 0x01, 0x03, 0x01, 0x02, 0x00, 0x09, 0x21, 0x10, 0x01, 0x00, 0x01,
    0x22, 0x4B, 0x00, 0x07, 0x05, 0x81, 0x03, 0x07, 0x00, 0x0A};

// A configuration of `n` interfaces with two endpoints each.
std::vector<uint8_t> big_config(int n) {
  std::vector<uint8_t> c = {0x09, 0x02, 0, 0, (uint8_t)n, 0x01, 0x00, 0x80, 0x32};
  for (int i = 0; i < n; i++) {
    const uint8_t itf[9] = {0x09, 0x04, (uint8_t)i, 0x00, 0x02, 0x01, 0x02, 0x20, 0x00};
    const uint8_t in[7] = {0x07, 0x05, (uint8_t)(0x81 + i % 15), 0x05, 0xC4, 0x00, 0x01};
    const uint8_t out[7] = {0x07, 0x05, (uint8_t)(0x01 + i % 15), 0x02, 0x40, 0x00, 0x00};
    c.insert(c.end(), itf, itf + 9);
    c.insert(c.end(), in, in + 7);
    c.insert(c.end(), out, out + 7);
  }
  c[2] = (uint8_t)c.size();
  c[3] = (uint8_t)(c.size() >> 8);
  return c;
}

void bm_request(benchmark::State& state) {
  SetupPacket s = setup_from_bytes(kSetup);
  for (auto _ : state) {
    kvListPair* chain = nullptr;
    kvLinkedList* line = nullptr;
    setup_decode_table(&s, &chain);
    setup_request_line(&s, 4, 0, &line);
    benchmark::DoNotOptimize(chain);
    kvlistpair_chain_free(chain);
    kvlist_free(line);
  }
}
BENCHMARK(bm_request);

void walk(benchmark::State& state, const std::vector<uint8_t>& answer, uint8_t type,
          uint8_t index) {
  const uint8_t b[8] = {0x80, 0x06, index, type, 0, 0, (uint8_t)answer.size(),
                        (uint8_t)(answer.size() >> 8)};
  SetupPacket s = setup_from_bytes(b);
  EndpointTable eps;
  endpoint_table_clear(&eps);
  int64_t tables = 0;
  for (auto _ : state) {
    kvListPair* chain = nullptr;
    descriptors_walk(answer.data(), (uint32_t)answer.size(), &s, 4, &eps, &chain);
    for (kvListPair* p = chain; p; p = p->next) tables++;
    kvlistpair_chain_free(chain);
  }
  state.counters["tables/s"] = benchmark::Counter((double)tables, benchmark::Counter::kIsRate);
  state.SetBytesProcessed(state.iterations() * (int64_t)answer.size());
}

void bm_walk_config34(benchmark::State& state) { walk(state, kConfig34, 2, 0); }
BENCHMARK(bm_walk_config34);

void bm_walk_string(benchmark::State& state) {
  std::vector<uint8_t> s = {0x30, 0x03};
  for (int i = 0; i < 23; i++) {
    s.push_back((uint8_t)('A' + i));
    s.push_back(0);
  }
  walk(state, s, 3, 2);
}
BENCHMARK(bm_walk_string);

void bm_walk_big_config(benchmark::State& state) { walk(state, big_config(16), 2, 0); }
BENCHMARK(bm_walk_big_config);

}  // namespace

BENCHMARK_MAIN();
