// Append speed and memory of a row store with its index file.
//
//   bench_store [ROWS] [SHAPE]
//
// SHAPE "transactions" (default): a three-level tree like the transaction
// view (transfers, 1-5 transactions each, 1-3 packets per transaction);
// "packages": one top-level row per packet with one child row, like the
// package view (ROWS counts packets, so twice as many rows are stored).
// Rows are appended the way the tree model appends them: allocate the entry,
// fill the fields, count the child in the parent's entry (kept in memory),
// store the payload (100..300 bytes); every 4,096 rows are published. Prints
// rows per second, the heap
// in use, RssAnon and the file sizes. Files go to a private temporary
// directory and are deleted at the end.
#include <malloc.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "bench/support/bench_util.h"
#include "os/clock.h"
#include "os/log.h"
#include "store/attr_filter.h"
#include "store/row_store.h"
#include "store/store_files.h"

namespace {

using benchutil::status_kb;

// Heap bytes in use (small blocks plus mmap'ed blocks).
uint64_t heap_in_use() {
  struct mallinfo2 mi = mallinfo2();
  return (uint64_t)mi.uordblks + (uint64_t)mi.hblkhd;
}

// CPU seconds (user, system) used by the process so far.
void cpu_seconds(double* user, double* sys) {
  struct rusage ru;
  getrusage(RUSAGE_SELF, &ru);
  *user = ru.ru_utime.tv_sec + ru.ru_utime.tv_usec / 1e6;
  *sys = ru.ru_stime.tv_sec + ru.ru_stime.tv_usec / 1e6;
}

// A field of /proc/self/status in kB.
struct Appender {
  RowStore* store;
  IndexFile* index;
  uint32_t next_row = 1;
  uint64_t par_off = 0, sub_off = 0;
  IndexEntry par{}, sub{};  // the parents' entries as last written
  std::vector<TreeChild> unpublished;
  uint32_t rng = 12345;
  uint8_t buf[4096];

  uint32_t rand() { return rng = rng * 1664525u + 1013904223u; }

  // level 0: top-level, 1: under the last top-level row, 2: under the last second-level row.
  void append(int level, uint32_t flags) {
    uint32_t r = next_row;
    uint64_t at;
    IndexEntry* e = rowstore_new_entry(store, &at);
    if (!e) {
      fprintf(stderr, "entry allocation failed at row %u\n", r);
      exit(1);
    }
    ++next_row;
    uint32_t parent = 0;
    if (level > 0) {
      IndexEntry* p = level == 1 ? &par : &sub;
      parent = p->row;
      e->position = p->child_count++;
      p->has_children = p->children_shown = 1;
      rowstore_update_entry(store, level == 1 ? par_off : sub_off, p);
    }
    e->row = r;
    e->parent = parent;
    e->attr_flags = flags;
    uint32_t len = 100 + rand() % 201;
    buf[0] = 0xA5;
    buf[1] = 0x5A;
    memset(buf + 2, (int)r, len - 2);
    e->value_offset = rowstore_append_value(store, buf, len);
    e->length = len;
    if (level == 0) par_off = at, par = *e;
    if (level == 1) sub_off = at, sub = *e;
    unpublished.push_back(TreeChild{parent, r, flags});
    // Rows are shown in batches, as the pipeline's storing thread shows them.
    if (unpublished.size() == 4096) publish();
  }
  void publish() {
    if (rowstore_publish(store) != 0) {
      fprintf(stderr, "a write failed\n");
      exit(1);
    }
    tree_add_children(store, unpublished.data(), (uint32_t)unpublished.size());
    unpublished.clear();
  }
};

}  // namespace

int main(int argc, char** argv) {
  uint64_t count = argc > 1 ? strtoull(argv[1], nullptr, 10) : 10000000ull;
  std::string shape = argc > 2 ? argv[2] : "transactions";
  if (shape != "transactions" && shape != "packages") {
    fprintf(stderr, "usage: bench_store [ROWS] [transactions|packages]\n");
    return 2;
  }
  const char* tmp = getenv("TMPDIR");
  std::string dir = std::string(tmp && *tmp ? tmp : "/tmp") + "/bench-store-XXXXXX";
  if (!mkdtemp(&dir[0])) {
    perror("mkdtemp");
    return 1;
  }
  store_set_data_dir(dir.c_str());
  orvane_log_set_muted(1);

  uint64_t heap0 = heap_in_use();
  long anon0 = status_kb("RssAnon");
  Appender a;
  a.store = rowstore_open("bench_value.qelvo");
  a.index = a.store ? indexfile_open("bench_index.qelvo", a.store) : nullptr;
  if (!a.index) {
    fprintf(stderr, "cannot open the store in %s\n", dir.c_str());
    return 1;
  }
  rowstore_set_filter(a.store, kFilterShowAll);

  double u0, s0, u1, s1;
  cpu_seconds(&u0, &s0);
  uint64_t t0 = os_monotonic_ns();
  uint64_t rows = 0;
  if (shape == "packages") {
    for (uint64_t i = 0; i < count; ++i) {
      uint32_t flags = 0x04010000u | (i % 4 == 0 ? 0x1000u : 0x800u);
      a.append(0, flags);
      a.append(1, flags);
      rows += 2;
    }
  } else {
    while (rows < count) {
      a.append(0, 0x04000000u | 0x00010000u | 0x4);
      ++rows;
      uint32_t transactions = 1 + a.rand() % 5;
      for (uint32_t t = 0; t < transactions && rows < count; ++t) {
        a.append(1, 0x04010000u | 0x8);
        ++rows;
        uint32_t packets = 1 + a.rand() % 3;
        for (uint32_t p = 0; p < packets && rows < count; ++p) {
          a.append(2, 0x04010000u | (p == packets - 1 ? 0x800 : 0x8));
          ++rows;
        }
      }
    }
  }
  a.publish();
  uint64_t t1 = os_monotonic_ns();
  cpu_seconds(&u1, &s1);
  double secs = (double)(t1 - t0) / 1e9;
  double cpu = (u1 - u0) + (s1 - s0);

  uint64_t heap1 = heap_in_use();
  long anon1 = status_kb("RssAnon");
  printf("shape %s: %llu rows in %.2f s = %.0f rows/s\n", shape.c_str(), (unsigned long long)rows,
         secs, (double)rows / secs);
  printf("CPU: %.2f s user + %.2f s system = %.0f rows per CPU second\n", u1 - u0, s1 - s0,
         (double)rows / cpu);
  printf("heap in use: %.2f MB (store's own: %.2f MB)\n", heap1 / 1e6,
         ((double)heap1 - (double)heap0) / 1e6);
  printf("RssAnon: %.1f MB (before opening: %.1f MB); RssFile %.1f MB\n", anon1 / 1e3, anon0 / 1e3,
         status_kb("RssFile") / 1e3);
  printf("value file %.1f MB, index file %.1f MB, child index scratch %.1f MB in use\n",
         a.store->mapped_size / 1e6, a.index->mapped_size / 1e6, tree_scratch_bytes(a.store) / 1e6);
  printf("root children %u, children of row 1: %u\n", tree_child_count(a.store, 0),
         tree_child_count(a.store, 1));

  rowstore_close_delete(a.store);
  indexfile_close_delete(a.index);
  rmdir(dir.c_str());
  return 0;
}
