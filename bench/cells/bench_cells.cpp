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
#include "decode/cells/row_payload.h"

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

// A row built and packed into its payload (the packer frees the lists), then
// read back entry by entry as a view paints it.
void BM_PackAndReadRow(benchmark::State& state) {
  uint8_t buf[kRowPayloadCapacity];
  int64_t bytes = 0;
  for (auto _ : state) {
    kvLinkedList* infos = nullptr;
    kvLinkedList* values = nullptr;
    for (int i = 0; i < 2; ++i) kvlist_append(&infos, make_cell(2 * i), make_cell(2 * i + 1));
    for (int i = 0; i < 6; ++i) kvlist_append(&values, make_cell(i + 1), make_cell(i));
    uint32_t n = payload_pack_row(infos, values, buf);
    PayloadView v;
    payload_unpack(buf, n, &v);
    PayloadEntry e[8];
    int complete;
    benchmark::DoNotOptimize(payload_group_entries(&v.values, 0, e, 8, &complete));
    bytes += n;
  }
  state.SetItemsProcessed(state.iterations());  // rows
  state.SetBytesProcessed(bytes);
}
BENCHMARK(BM_PackAndReadRow);

// Cells made on this thread and freed by another through the return stacks:
// batches of 1024 cells, double-buffered, so the two threads meet once per
// batch. Wall-clock time; on a loaded machine this mostly measures sharing.
void BM_CellsFreedOnAnotherThread(benchmark::State& state) {
  int old = cell_pool_set_enabled((int)state.range(0));
  constexpr int kCells = 1024;
  static DataMsg* batch[2][kCells];
  std::atomic<int> full[2] = {{0}, {0}};
  std::atomic<bool> done{false};
  std::thread freer([&] {
    for (int b = 0;; b ^= 1) {
      while (!full[b].load(std::memory_order_acquire)) {
        if (done.load(std::memory_order_acquire) && !full[b].load(std::memory_order_acquire)) return;
        std::this_thread::yield();
      }
      for (int i = 0; i < kCells; ++i) cell_free(batch[b][i]);
      full[b].store(0, std::memory_order_release);
    }
  });
  int b = 0;
  for (auto _ : state) {
    while (full[b].load(std::memory_order_acquire)) std::this_thread::yield();
    for (int i = 0; i < kCells; ++i) batch[b][i] = make_cell(i);
    full[b].store(1, std::memory_order_release);
    b ^= 1;
  }
  // Wait until the freer has emptied both batches, then stop it.
  while (full[0].load() || full[1].load()) std::this_thread::yield();
  done.store(true, std::memory_order_release);
  freer.join();
  state.SetItemsProcessed(state.iterations() * kCells);
  cell_pool_set_enabled(old);
}
BENCHMARK(BM_CellsFreedOnAnotherThread)->Arg(1)->Arg(0)->ArgName("pooled")->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
