// Cells created and freed per second, as the decoder makes them: a batch of
// cells of a typical packet's mix, then the batch freed; with the pool and,
// for comparison, with plain malloc. Also whole lists built and freed, and
// cells built on one thread and freed on another.
#include <benchmark/benchmark.h>

#include <atomic>
#include <thread>
#include <vector>

#include "decode/cells/cell_pool.h"
#include "decode/cells/kv_list.h"

namespace {

constexpr int kBatch = 32;  // a packet's worth of cells

// Creates one cell of the mix; i picks the kind.
inline DataMsg* make_cell(int i) {
  static const uint8_t token[3] = {0x69, 0x84, 0x98};
  switch (i & 7) {
    case 0: return cell_word(W_PACKAGE, 12, 11);
    case 1: return cell_u32((uint32_t)i, 0, 0);
    case 2: return cell_word(W_TIMESTAMP, 0, 13);
    case 3: return cell_text(" 12.50 us   ", 0, 0);
    case 4: return cell_word(W_ADDR, 0, 0);
    case 5: return cell_u8((uint8_t)i, 0, 0);
    case 6: return cell_hex(token, 3, 15, 11);
    default: return cell_u16((uint16_t)i, 0, 0);
  }
}

void run_cells(benchmark::State& state) {
  DataMsg* cells[kBatch];
  for (auto _ : state) {
    for (int i = 0; i < kBatch; ++i) cells[i] = make_cell(i);
    benchmark::DoNotOptimize(cells);
    for (int i = 0; i < kBatch; ++i) cell_free(cells[i]);
  }
  state.SetItemsProcessed(state.iterations() * kBatch);
}

void BM_CellsPooled(benchmark::State& state) {
  int old = cell_pool_set_enabled(1);
  run_cells(state);
  cell_pool_set_enabled(old);
}
BENCHMARK(BM_CellsPooled);

void BM_CellsMalloc(benchmark::State& state) {
  int old = cell_pool_set_enabled(0);
  run_cells(state);
  cell_pool_set_enabled(old);
}
BENCHMARK(BM_CellsMalloc);

// A row as the decoder builds it: 8 pairs in two lists, concatenated, freed.
void BM_ListRows(benchmark::State& state) {
  int old = cell_pool_set_enabled((int)state.range(0));
  for (auto _ : state) {
    kvLinkedList* a = nullptr;
    kvLinkedList* b = nullptr;
    for (int i = 0; i < 4; ++i) {
      kvlist_append(&a, make_cell(2 * i), make_cell(2 * i + 1));
      kvlist_append(&b, make_cell(2 * i + 1), make_cell(2 * i));
    }
    kvlist_concat(a, b);
    kvlist_free(b);
    benchmark::DoNotOptimize(a);
    kvlist_free(a);
  }
  state.SetItemsProcessed(state.iterations() * 16);  // cells
  cell_pool_set_enabled(old);
}
BENCHMARK(BM_ListRows)->Arg(1)->Arg(0)->ArgName("pooled");

// Cells made on this thread, freed by another through the return stacks.
void BM_CellsFreedOnAnotherThread(benchmark::State& state) {
  int old = cell_pool_set_enabled(1);
  constexpr int kRing = 1024;
  std::vector<std::atomic<DataMsg*>> ring(kRing);
  for (auto& s : ring) s.store(nullptr);
  std::atomic<bool> done{false};
  std::thread freer([&] {
    int at = 0;
    while (true) {
      DataMsg* c = ring[at].exchange(nullptr, std::memory_order_acquire);
      if (c) {
        cell_free(c);
        at = (at + 1) % kRing;
      } else if (done.load(std::memory_order_acquire)) {
        if (!ring[at].load()) break;
      } else {
        std::this_thread::yield();
      }
    }
  });
  int at = 0;
  int64_t n = 0;
  for (auto _ : state) {
    for (int i = 0; i < kBatch; ++i) {
      DataMsg* c = make_cell(i);
      while (ring[at].load(std::memory_order_relaxed)) std::this_thread::yield();
      ring[at].store(c, std::memory_order_release);
      at = (at + 1) % kRing;
    }
    n += kBatch;
  }
  done.store(true, std::memory_order_release);
  freer.join();
  state.SetItemsProcessed(n);
  cell_pool_set_enabled(old);
}
BENCHMARK(BM_CellsFreedOnAnotherThread)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
