// Store files, each test in its own temporary directory ("data" below it) with
// the store's log captured. Row store files, the child index (with a randomized
// comparison against a plain model) and data files; one thread appends and
// publishes rows while another reads them back, across growth.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "os/log.h"
#include "os/mapped_file.h"
#include "store/attr_filter.h"
#include "store/data_file.h"
#include "store/row_store.h"
#include "store/store_files.h"
#include "tests/support/test_env.h"

namespace {

class StoreTest : public ::testing::Test {
 protected:
  StoreTest() : cd_(tmp_.path()) {
    store_set_data_dir("data");
    orvane_log_set_sink([](const char* line, void* user) {
      StoreTest* self = (StoreTest*)user;
      std::lock_guard<std::mutex> hold(self->log_lock_);
      self->log_ += line;
    }, this);
  }
  ~StoreTest() override { orvane_log_set_sink(nullptr, nullptr); }

  bool logged_contains(const std::string& text) {
    std::lock_guard<std::mutex> hold(log_lock_);
    return log_.find(text) != std::string::npos;
  }
  static long long file_size(const std::string& path) {
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    return in ? (long long)in.tellg() : -1;
  }
  std::string data_path(const std::string& name) { return tmp_.path() + "/data/" + name; }
  void open(const char* value = "v.qelvo", const char* index = "i.qelvo") {
    store_ = rowstore_open(value);
    ASSERT_NE(store_, nullptr);
    index_ = indexfile_open(index, store_);
    ASSERT_NE(index_, nullptr);
  }
  void TearDown() override { close(true); }
  // Closes both files (deleting them when asked) and forgets them.
  void close(bool remove = false) {
    if (store_) remove ? rowstore_close_delete(store_) : rowstore_close(store_);
    if (index_) remove ? indexfile_close_delete(index_) : indexfile_close(index_);
    store_ = nullptr;
    index_ = nullptr;
  }
  // Appends and publishes one top-level row the way the tree model does; its row number.
  uint32_t add_row(const std::vector<uint8_t>& payload) {
    uint64_t at = 0;
    IndexEntry* e = rowstore_new_entry(store_, &at);
    EXPECT_NE(e, nullptr);
    if (!e) return 0;
    uint32_t row = (uint32_t)((at - 496) / 40 + 1);
    e->row = row;
    e->value_offset = rowstore_append_value(store_, payload.data(), (uint32_t)payload.size());
    e->length = (uint32_t)payload.size();
    EXPECT_EQ(rowstore_publish(store_), 0);
    tree_add_child(store_, 0, row, 0);
    return row;
  }
  // The children of `parent` the filter shows.
  std::vector<uint32_t> visible(uint32_t parent) {
    std::vector<uint32_t> out;
    for (uint32_t i = 0; i < tree_child_count(store_, parent); ++i) out.push_back(tree_child_at(store_, parent, i));
    return out;
  }

  testenv::TempDir tmp_;
  RowStore* store_ = nullptr;
  IndexFile* index_ = nullptr;

 private:
  testenv::ScopedChdir cd_;
  std::mutex log_lock_;
  std::string log_;
};

long open_fds() { return std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {}); }

std::vector<uint8_t> pattern(uint32_t seed, size_t n) {
  std::vector<uint8_t> v(n);
  for (size_t i = 0; i < n; ++i) v[i] = (uint8_t)(seed * 31 + i * 7);
  return v;
}

TEST_F(StoreTest, NewFilesReopenedFilesTheDataDirectoryAndCreationFailures) {
  open();
  close();
  std::string v = testenv::read_file(data_path("v.qelvo"));
  ASSERT_EQ(v.size(), 5242880u);  // version 1, no rows, values from 504, zeros after
  EXPECT_EQ(v.substr(0, 24), std::string("WRDH\1\0\0\0\0\0\0\0\0\0\0\0\xF8\1\0\0\0\0\0\0", 24));
  EXPECT_EQ(v.find_first_not_of('\0', 24), std::string::npos);
  EXPECT_EQ(testenv::read_file(data_path("i.qelvo")).substr(16, 8), std::string("\xF0\1\0\0\0\0\0\0", 8));
  open();
  add_row(pattern(1, 50));
  close();
  EXPECT_EQ(testenv::read_file(data_path("v.qelvo")).substr(8, 8), std::string("\1\0\0\0\0\0\0\0", 8));
  open();  // opening again discards the old content
  EXPECT_EQ(rowstore_entry_count(store_), 0u);
  EXPECT_EQ(tree_child_count(store_, 0), 0u);
  close(true);
  EXPECT_EQ(file_size(data_path("v.qelvo")), -1);
  EXPECT_EQ(file_size(data_path("i.qelvo")), -1);
  EXPECT_TRUE(logged_contains("del filename = data/v.qelvo"));
  EXPECT_FALSE(logged_contains("取消内存映射失败"));  // a clean close reports no failure
  EXPECT_FALSE(logged_contains("关闭文件失败"));
  // Deleting uses the path the store was opened with, whatever the directory is now.
  std::string dir = tmp_.file("private");
  store_set_data_dir(dir.c_str());
  EXPECT_EQ(std::string(datafile_path("a.qelvo")), dir + "/a.qelvo");
  open("a.qelvo", "b.qelvo");
  EXPECT_EQ(file_size(dir + "/b.qelvo"), 5242880);
  store_set_data_dir("data");
  close(true);
  EXPECT_EQ(file_size(dir + "/a.qelvo"), -1);
  EXPECT_EQ(file_size(dir + "/b.qelvo"), -1);
  std::string long_name(5000, 'x');
  EXPECT_EQ(datafile_path(long_name.c_str()), nullptr);
  EXPECT_EQ(rowstore_open(long_name.c_str()), nullptr);
  // Creation failures are reported with the system's code.
  const struct { const char* op; int code; const char* text; } failures[] = {
      {"open", EACCES, "打开文件失败，错误码: 13\n"}, {"set_size", ENOSPC, "设置文件大小失败，错误码: 28\n"},
      {"map", ENOMEM, "映射视图失败，错误码: 12\n"}};
  for (const auto& f : failures) {
    os_file_fail_next(f.op, 1, f.code);
    EXPECT_EQ(rowstore_open("v.qelvo"), nullptr);
    EXPECT_TRUE(logged_contains(f.text)) << f.op;
  }
  // A data directory that cannot be created (its parent is a file).
  { std::ofstream(tmp_.file("plain")) << "x"; }
  store_set_data_dir("plain/data");
  EXPECT_EQ(rowstore_open("v.qelvo"), nullptr);
  EXPECT_TRUE(logged_contains("错误: 目录创建失败"));
  uint64_t size = 0;
  EXPECT_EQ(create_data_file("x.qelvo", 4096, &size), OS_FILE_INVALID);
}

// Rows are numbered from one and shown once published; payloads hold up to
// 4,096 bytes, and a read needs room for more than the payload.
TEST_F(StoreTest, RowNumbersPayloadLimitsDamagedEntriesAndAStoreWithoutIndexFile) {
  open();
  uint64_t at = 0;
  IndexEntry* e = rowstore_new_entry(store_, &at);
  ASSERT_NE(e, nullptr);
  EXPECT_EQ(at, 496u);
  const IndexEntry zero{};
  EXPECT_EQ(memcmp(e, &zero, sizeof zero), 0);
  e->row = 1;
  e->attr_flags = 0x1234;
  uint64_t off = rowstore_append_value(store_, "abc", 3);
  EXPECT_EQ(off, 504u);
  indexfile_entry_at(index_, at)->value_offset = off;
  EXPECT_EQ(rowstore_append_value(store_, "de", 2), 504u + 4 + 3);
  IndexEntry copy;
  EXPECT_FALSE(rowstore_get_entry(store_, 1, &copy));  // staged rows are not shown yet
  EXPECT_EQ(rowstore_entry_count(store_), 0u);
  ASSERT_EQ(rowstore_publish(store_), 0);
  EXPECT_EQ(indexfile_entry_at(index_, at), nullptr);  // written: no staged copy left
  EXPECT_EQ(rowstore_entry_count(store_), 1u);
  ASSERT_TRUE(rowstore_get_entry(store_, 1, &copy));
  EXPECT_EQ(copy.row, 1u);
  EXPECT_EQ(copy.attr_flags, 0x1234u);
  EXPECT_FALSE(rowstore_get_entry(store_, 0, &copy));
  EXPECT_FALSE(rowstore_get_entry(store_, 2, &copy));
  std::vector<uint8_t> buf(8192);
  EXPECT_EQ(rowstore_read_value(store_, 1, buf.data(), 16), 3u);
  EXPECT_EQ(std::string((char*)buf.data(), 3), "abc");
  for (uint32_t row : {0u, 2u}) EXPECT_EQ(rowstore_read_value(store_, row, buf.data(), 16), 0u);
  EXPECT_EQ(rowstore_read_value(store_, 1, nullptr, 16), 0u);
  EXPECT_EQ(rowstore_row_total(store_), 0u);

  std::vector<uint8_t> full = pattern(3, 4096), almost = pattern(4, 4095), over = pattern(5, 4097);
  EXPECT_EQ(rowstore_append_value(store_, over.data(), 4097), 0u);
  EXPECT_EQ(rowstore_append_value(store_, over.data(), 0), 0u);
  EXPECT_EQ(rowstore_append_value(store_, nullptr, 10), 0u);
  uint32_t r1 = add_row(full);
  uint32_t r2 = add_row(almost);
  EXPECT_EQ(rowstore_read_value(store_, r1, buf.data(), 4096), 0u);
  EXPECT_EQ(rowstore_read_value(store_, r1, buf.data(), 4097), 4096u);
  EXPECT_EQ(std::vector<uint8_t>(buf.begin(), buf.begin() + 4096), full);
  EXPECT_EQ(rowstore_read_value(store_, r2, buf.data(), 4096), 4095u);
  EXPECT_EQ(std::vector<uint8_t>(buf.begin(), buf.begin() + 4095), almost);

  // Damage written into the files the way any writer would never sends a read outside them.
  ASSERT_TRUE(rowstore_get_entry(store_, r2, &copy));
  const uint64_t good = copy.value_offset, field = 496 + (r2 - 1) * 40ull + offsetof(IndexEntry, value_offset);
  for (uint64_t bad : std::vector<uint64_t>{0, 1, 503, 5242878, 5242880, ~0ull, good + 1, good}) {
    ASSERT_EQ(os_file_write_at(index_->hFile, field, &bad, 8), 0);
    EXPECT_EQ(rowstore_read_value(store_, r2, buf.data(), 8192), bad == good ? 4095u : 0u) << bad;
  }
  for (uint32_t len : {4097u, 4096u}) {  // too long; more than was ever written
    ASSERT_EQ(os_file_write_at(store_->hFile, good, &len, 4), 0);
    EXPECT_EQ(rowstore_read_value(store_, r2, buf.data(), 8192), 0u) << len;
  }
  // A row count past the index view cannot send a read outside it.
  index_->shown_count = 1u << 30;
  EXPECT_FALSE(rowstore_get_entry(store_, (1u << 30) - 1, nullptr));
  index_->shown_count = 3;

  indexfile_close_delete(index_);  // detaches from the store
  index_ = nullptr;
  EXPECT_EQ(rowstore_new_entry(store_, &at), nullptr);
  EXPECT_FALSE(rowstore_get_entry(store_, 1, nullptr));
  EXPECT_EQ(rowstore_entry_count(store_), 0u);
}

TEST_F(StoreTest, AFailedGrowthRefusesTheAppendAndKeepsTheStoreUsable) {
  open();
  std::vector<uint8_t> big = pattern(9, 4096);
  while (store_->mapped_size - store_->used >= 4100) rowstore_append_value(store_, big.data(), 4096);
  os_file_fail_next("set_size", 1, ENOSPC);
  EXPECT_EQ(rowstore_append_value(store_, big.data(), 4096), 0u);
  EXPECT_TRUE(logged_contains("扩展文件失败，错误码: 28\n"));
  os_file_fail_next("remap", 1, ENOMEM);
  EXPECT_EQ(rowstore_append_value(store_, big.data(), 4096), 0u);
  EXPECT_TRUE(logged_contains("映射视图失败，错误码: 12\n"));
  EXPECT_EQ(store_->mapped_size, 5242880u);
  EXPECT_EQ(file_size(data_path("v.qelvo")), 5242880);
  ASSERT_EQ(rowstore_publish(store_), 0);
  EXPECT_EQ(memcmp(store_->mapped + 504 + 4, big.data(), 4096), 0);
  EXPECT_NE(rowstore_append_value(store_, big.data(), 4096), 0u);  // the next growth works
  EXPECT_EQ(store_->mapped_size, 10485760u);

  uint64_t at;
  const uint32_t fit = (5242880 - 496) / 40;  // 131,059 entries fit the first 5 MiB
  for (uint32_t i = 0; i < fit; ++i) ASSERT_NE(rowstore_new_entry(store_, &at), nullptr);
  os_file_fail_next("set_size", 1, ENOSPC);
  EXPECT_EQ(rowstore_new_entry(store_, &at), nullptr);
  EXPECT_TRUE(logged_contains("扩展索引文件失败，错误码: 28\n"));
  EXPECT_TRUE(logged_contains("extend_indexfile failed!!!"));
  EXPECT_EQ(rowstore_error(store_, nullptr), ENOSPC);
  ASSERT_EQ(rowstore_publish(store_), 0);  // a failed growth is not a failed write
  EXPECT_EQ(rowstore_entry_count(store_), fit);
  EXPECT_NE(rowstore_new_entry(store_, &at), nullptr);
  ASSERT_EQ(rowstore_publish(store_), 0);
  EXPECT_EQ(rowstore_entry_count(store_), fit + 1);
}

// Files past 0xA0000000 bytes: the old 32-bit mapping size would have
// stopped there. Growth is sparse, so this costs no disk space.
TEST_F(StoreTest, RecordsAndFilesGrowPastTheOld32BitLimitAFailedWriteRefusesLaterRows) {
  open();
  // Pretend the value file is full at 2,684,354,560 bytes (5 MiB doubled nine times).
  for (int i = 0; i < 9; ++i)
    ASSERT_EQ(store_grow_view(store_->hFile, &store_->mapped, &store_->mapped_size, "%lu"), 0);
  ASSERT_EQ(store_->mapped_size, 0xA0000000ull);
  store_->used = 0xA0000000ull - 100;
  append_buffer_restart(&store_->staged, store_->used);
  std::vector<uint8_t> p = pattern(77, 3000);
  uint64_t at = 0;
  IndexEntry* e = rowstore_new_entry(store_, &at);
  ASSERT_NE(e, nullptr);
  uint64_t off = rowstore_append_value(store_, p.data(), 3000);
  ASSERT_EQ(off, 0xA0000000ull - 100);
  EXPECT_EQ(store_->mapped_size, 0x140000000ull);
  e->row = 1;
  e->value_offset = off;
  ASSERT_EQ(rowstore_publish(store_), 0);  // read back below, after a failed write
  EXPECT_EQ(file_size(data_path("v.qelvo")), 0x140000000ll);
  EXPECT_EQ(rowstore_append_value(store_, p.data(), 10), 0xA0000000ull - 100 + 3004);

  // A write that fails (a full disk) refuses that row and every later one
  // with the system's code; what was published before stays readable.
  os_file_fail_next("write", 1, ENOSPC);
  ASSERT_NE(rowstore_new_entry(store_, &at), nullptr);  // staged: nothing written yet
  EXPECT_EQ(rowstore_publish(store_), -1);
  const char* path = nullptr;
  EXPECT_EQ(rowstore_error(store_, &path), ENOSPC);
  EXPECT_STREQ(path, "data/v.qelvo");
  EXPECT_EQ(rowstore_append_value(store_, "x", 1), 0u);
  EXPECT_EQ(rowstore_entry_count(store_), 1u);
  std::vector<uint8_t> out(4096);
  ASSERT_EQ(rowstore_read_value(store_, 1, out.data(), 4096), 3000u);
  EXPECT_EQ(std::vector<uint8_t>(out.begin(), out.begin() + 3000), p);
  EXPECT_TRUE(logged_contains("cannot write data/v.qelvo: No space left on device (error 28)"));
}

// Payload of row r: its length and bytes follow from r alone.
uint32_t payload_len(uint32_t r) { return 60 + r % 200; }
uint8_t payload_byte(uint32_t r, uint32_t i) { return (uint8_t)(r * 13 + i); }

TEST_F(StoreTest, ConcurrentReadersSeeCompleteRowsAcrossGrowth) {
  orvane_log_set_muted(1);
  open();
  rowstore_set_filter(store_, kFilterShowAll);

  // Enough rows to double both files more than once.
  const uint32_t rows = 260000;
  std::atomic<bool> done{false};
  std::thread writer([&] {
    uint8_t buf[300];
    uint64_t last_top = 0;
    IndexEntry top_entry{};
    std::vector<TreeChild> unpublished;
    for (uint32_t r = 1; r <= rows; ++r) {
      uint64_t at;
      IndexEntry* e = rowstore_new_entry(store_, &at);
      if (!e) break;
      bool top = r % 3 == 1;
      uint32_t parent = top ? 0 : top_entry.row;
      e->row = r;
      e->parent = parent;
      e->attr_flags = 0x0800;
      for (uint32_t i = 0; i < payload_len(r); ++i) buf[i] = payload_byte(r, i);
      e->value_offset = rowstore_append_value(store_, buf, payload_len(r));
      e->length = payload_len(r);
      if (top) {
        last_top = at;
        top_entry = *e;
      } else {
        // The parent may be written already: its new child count goes with the next publish.
        e->position = top_entry.child_count++;
        top_entry.has_children = top_entry.children_shown = 1;
        rowstore_update_entry(store_, last_top, &top_entry);
      }
      unpublished.push_back(TreeChild{parent, r, 0x0800});
      if (r % 97 == 0 || r == rows) {
        rowstore_publish(store_);
        tree_add_children(store_, unpublished.data(), (uint32_t)unpublished.size());
        unpublished.clear();
      }
    }
    done = true;
  });

  uint64_t checked = 0;
  uint8_t out[4097];
  uint32_t probe = 0;
  // A failed ASSERT leaves only this lambda, so the writer is still joined.
  auto read_while_written = [&] {
    while (!done.load()) {
      uint32_t tops = tree_child_count(store_, 0);
      if (tops == 0) continue;
      // The newest rows (freshly written, near growth) and some older ones.
      for (uint32_t k = 0; k < 8; ++k) {
        uint32_t pos = k < 4 ? tops - 1 - std::min(k, tops - 1) : (probe = probe * 1103515245u + 12345u) % tops;
        uint32_t top = tree_child_at(store_, 0, pos);
        ASSERT_NE(top, 0xFFFFFFFFu);
        std::vector<uint32_t> family = {top};
        uint32_t kids = tree_child_count(store_, top);
        for (uint32_t c = 0; c < kids; ++c) family.push_back(tree_child_at(store_, top, c));
        IndexEntry parent;
        ASSERT_TRUE(rowstore_get_entry(store_, top, &parent));
        ASSERT_GE(parent.child_count, kids) << top;  // counted before its children are shown
        for (uint32_t r : family) {
          IndexEntry e;
          ASSERT_TRUE(rowstore_get_entry(store_, r, &e)) << r;
          ASSERT_EQ(e.row, r);
          ASSERT_EQ(e.parent, r == top ? 0u : top) << r;
          ASSERT_EQ(e.length, payload_len(r)) << r;
          ASSERT_EQ(rowstore_read_value(store_, r, out, sizeof out), payload_len(r)) << r;
          for (uint32_t i = 0; i < payload_len(r); ++i) ASSERT_EQ(out[i], payload_byte(r, i)) << r;
          ++checked;
        }
      }
    }
  };
  read_while_written();
  writer.join();
  EXPECT_GT(checked, 1000u);
  EXPECT_EQ(rowstore_entry_count(store_), rows);
  EXPECT_GE(store_->mapped_size, 4u * 5242880u);
  EXPECT_GE(index_->mapped_size, 2u * 5242880u);
  orvane_log_set_muted(0);
}

constexpr uint32_t kNone = 0xFFFFFFFFu;

uint32_t attr(uint32_t kinds, uint32_t address, uint32_t endpoint) {
  return kinds | address << 24 | endpoint << 16;
}

// A full scratch file refuses the child and changes nothing; capacity doubles
// from 4 to 16,384, then grows by 10,000, only when the list is full.
TEST_F(StoreTest, ChildIndexFullScratchFileCapacityGrowthFarApartParentsAndNoName) {
  open();
  rowstore_set_filter(store_, kFilterShowAll);
  // Fill the first megabyte of the scratch file with pages of far-apart parents.
  tree_add_child(store_, 0, 1, 0);
  uint32_t parent = 1;
  while (tree_scratch_bytes(store_) + 65536 <= (1u << 20)) {
    parent += 16384;
    ASSERT_EQ(tree_add_child(store_, parent, 2, 0), 0);
  }
  os_file_fail_next("set_size", 1, ENOSPC);
  EXPECT_EQ(tree_add_child(store_, parent + 16384, 3, 0), -1);
  EXPECT_EQ(tree_child_count(store_, parent + 16384), 0u);
  EXPECT_EQ(tree_add_child(store_, parent + 16384, 3, 0), 0);
  EXPECT_EQ(visible(parent + 16384), (std::vector<uint32_t>{3}));
  EXPECT_EQ(visible(0), (std::vector<uint32_t>{1}));

  EXPECT_EQ(tree_child_capacity(store_, 7), 0u);
  const std::pair<uint32_t, uint32_t> steps[] = {{1, 4},         {4, 4},         {5, 8},
                                                 {16384, 16384}, {16385, 26384}, {26385, 36384},
                                                 {36384, 36384}, {36385, 46384}};
  uint32_t added = 0;
  for (const auto& [children, capacity] : steps) {
    for (; added < children; ++added) ASSERT_EQ(tree_add_child(store_, 7, 101 + added, 0), 0);
    EXPECT_EQ(tree_child_capacity(store_, 7), capacity) << children;
  }
  for (uint32_t i : {0u, 3u, 4u, 16383u, 16384u, 16385u, 36384u}) {
    EXPECT_EQ(tree_child_at(store_, 7, i), 101 + i) << i;
    EXPECT_EQ(tree_index_of_child(store_, 7, 101 + i), i);
  }
  EXPECT_EQ(tree_child_at(store_, 7, 36385), kNone);
  EXPECT_EQ(tree_index_of_child(store_, 7, 100), kNone);
  EXPECT_EQ(tree_index_of_child(store_, 7, 101 + 36385), kNone);

  tree_add_child(store_, 0xFFFFFFFEu, 0xFFFFFFFFu, 0);
  EXPECT_EQ(visible(0xFFFFFFFEu), (std::vector<uint32_t>{0xFFFFFFFFu}));
  EXPECT_EQ(tree_child_count(store_, 0xFFFFFFFDu), 0u);

  // The scratch file leaves no name, and closing releases it.
  long before = open_fds();
  RowStore* other = rowstore_open("w.qelvo");
  ASSERT_NE(other, nullptr);
  for (uint32_t r = 1; r <= 5000; ++r) ASSERT_EQ(tree_add_child(other, r / 3, r, 0), 0);
  ASSERT_GT(tree_scratch_bytes(other), 0u);
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(tmp_.path() + "/data"), {}), 3);  // i, v, w.qelvo
  rowstore_close_delete(other);
  EXPECT_EQ(open_fds(), before);
}

// The semantics in their plainest form: one list of all children with flags
// and one visible list per parent.
struct ModelList {
  std::vector<uint32_t> all, flags, visible;
};

// The filter's verdict on kinds and address/endpoint selectors first: the model relies on it.
TEST_F(StoreTest, ChildIndexMatchesAPlainModelUnderRandomAppendsAndFilters) {
  const struct {
    uint32_t kinds, address, endpoint, mask;
    bool hidden;
  } cases[] = {
      {0x1000, 5, 3, 0xFFFF0000, false}, {0xFFFF, 255, 255, 0xFFFF0000, false},  // the default mask
      {0x1000, 5, 3, 0xFFFF1000, true},  {0x0800, 5, 3, 0xFFFF1000, false},     // kind bits
      {0, 5, 3, 0xFF030000, false},      {0, 9, 3, 0xFF030000, false},  {0, 5, 4, 0xFF030000, true},
      {0, 5, 7, 0x05FF0000, false},      {0, 6, 7, 0x05FF0000, true},   // device 5, any endpoint
      {0, 5, 3, 0x05030000, false},      {0, 5, 4, 0x05030000, true},   {0, 6, 3, 0x05030000, true},
      {0x0002, 5, 3, 0x05030002, true},  // kind bits win over a matching selector
      {0x0800, 0, 0, 0, false},          {0x0800, 0, 1, 0, true},  // mask 0 shows only 0/0
  };
  for (const auto& c : cases)
    EXPECT_EQ(c.hidden, attr_hidden(attr(c.kinds, c.address, c.endpoint), c.mask)) << &c - cases;
  open();
  std::mt19937 rng(20261206);
  std::map<uint32_t, ModelList> model;
  uint32_t mask = kFilterShowAll;
  rowstore_set_filter(store_, mask);
  const uint32_t masks[] = {kFilterShowAll, 0xFFFF1000, 0xFF030000, 0x05FF0000, 0x05030800, 0xFFFF1800};
  uint32_t next_row = 1;
  std::vector<uint32_t> parents = {0};
  for (int step = 0; step < 60000; ++step) {
    uint32_t dice = rng() % 1000;
    if (dice == 0) {
      mask = masks[rng() % 6];
      rowstore_set_filter(store_, mask);
      ModelList& root = model[0];
      root.visible.clear();
      for (size_t i = 0; i < root.all.size(); ++i)
        if (!attr_hidden(root.flags[i], mask)) root.visible.push_back(root.all[i]);
      ASSERT_EQ(visible(0), root.visible) << step;  // right after each refilter too
      if (root.all.empty()) model.erase(0);
      continue;
    }
    // Mostly the newest parents (like the tree model), sometimes an old one;
    // a few parents get thousands of children.
    uint32_t parent = dice < 300   ? 0
                      : dice < 310 ? parents[rng() % parents.size()]
                      : dice < 500 ? 3
                                   : parents[parents.size() - 1 - rng() % std::min<size_t>(parents.size(), 3)];
    uint32_t flags = attr((rng() % 4 == 0) ? 0x1000 : 0x0800, rng() % 7, rng() % 5);
    uint32_t row = next_row++;
    ASSERT_EQ(tree_add_child(store_, parent, row, flags), 0);
    ModelList& l = model[parent];
    l.all.push_back(row);
    l.flags.push_back(flags);
    if (!attr_hidden(flags, mask)) l.visible.push_back(row);
    parents.push_back(row);
  }
  for (const auto& [parent, l] : model) {
    ASSERT_EQ(visible(parent), l.visible) << parent;
    ASSERT_EQ(tree_child_total(store_, parent), l.all.size()) << parent;
    ASSERT_EQ(tree_child_at(store_, parent, (uint32_t)l.visible.size()), kNone);
    for (size_t i = 0; i < l.visible.size(); ++i) ASSERT_EQ(tree_index_of_child(store_, parent, l.visible[i]), i) << parent;
  }
  EXPECT_GT(model[3].all.size(), 10000u);
}

TEST_F(StoreTest, DataFileHeaderReopeningRefusedFilesAppendLimitsGrowthResetAndDamagedHeaders) {
  DataFile* df = datafile_create("capusbdata.qelvo");
  ASSERT_NE(df, nullptr);
  EXPECT_EQ(df->mapped_size, 5242880u);  // version 0, no data, writing at 24
  EXPECT_EQ(std::string((const char*)df->mapped, 24), std::string("WRDH\0\0\0\0\0\0\0\0\0\0\0\0\x18\0\0\0\0\0\0\0", 24));
  EXPECT_TRUE(logged_contains("new file init!!!"));
  datafile_close_delete(df);
  EXPECT_EQ(file_size(data_path("capusbdata.qelvo")), -1);
  EXPECT_TRUE(logged_contains("del filename = data/capusbdata.qelvo"));
  datafile_close_truncate(datafile_create("none.qelvo"));  // no data: only its header stays
  EXPECT_EQ(file_size(data_path("none.qelvo")), 24);

  // Pages ahead of the write position are made by writing zeros through the
  // file; on a reopened file that must start at its write position, never
  // over what is already there, even within the same page.
  df = datafile_create("r.qelvo");
  ASSERT_NE(df, nullptr);
  std::vector<uint8_t> bytes = pattern(7, 8000);
  ASSERT_EQ(datafile_append(df, bytes.data(), 4000), 4000u);  // records are at most 4,096
  ASSERT_EQ(datafile_append(df, bytes.data() + 4000, 1000), 1000u);
  datafile_close_truncate(df);
  EXPECT_EQ(file_size(data_path("r.qelvo")), 5024);  // only header and data are kept
  DataFile* back = datafile_open(data_path("r.qelvo").c_str());
  ASSERT_NE(back, nullptr);
  ASSERT_EQ(datafile_append(back, bytes.data() + 5000, 3000), 3000u);
  std::vector<uint8_t> out(8000);
  ASSERT_EQ(datafile_read(back, out.data(), 8000), 8000u);
  EXPECT_EQ(out, bytes);
  datafile_close_delete(back);
  // Missing, empty, short and foreign files are refused and closed again.
  long fds = open_fds();
  const std::pair<const char*, std::string> files[] = {{"empty", ""}, {"short", "WRDH"}, {"foreign", std::string(200, 'z')}};
  for (const auto& [name, bytes] : files) std::ofstream(tmp_.file(name)) << bytes;
  for (const char* name : {"missing", "empty", "short", "foreign"})
    EXPECT_EQ(datafile_open(tmp_.file(name).c_str()), nullptr) << name;
  EXPECT_TRUE(logged_contains("打开文件失败: " + tmp_.file("missing") + ", 错误码: 2\n"));
  EXPECT_TRUE(logged_contains("文件大小为0: " + tmp_.file("empty") + "\n"));
  EXPECT_EQ(open_fds(), fds);

  // Append limits, growth, reset, partial reads, damaged headers.
  df = datafile_create("d.qelvo");
  ASSERT_NE(df, nullptr);
  std::vector<uint8_t> block(4097, 0x5A);
  EXPECT_EQ(datafile_append(df, block.data(), 4097), 0u);
  EXPECT_EQ(datafile_append(df, block.data(), 0), 0u);
  EXPECT_EQ(datafile_append(df, nullptr, 5), 0u);
  EXPECT_EQ(datafile_append(nullptr, block.data(), 5), 0u);
  EXPECT_EQ(datafile_size(df), 0u);
  uint64_t total = 0;
  for (uint32_t i = 0; total < 5242880 + 4096; ++i) {
    for (int k = 0; k < 4096; ++k) block[k] = (uint8_t)(i + k);
    ASSERT_EQ(datafile_append(df, block.data(), 4096), 4096u);
    total += 4096;
  }
  EXPECT_EQ(df->mapped_size, 10485760u);
  EXPECT_EQ(datafile_size(df), total);
  for (uint32_t i = 0; i * 4096ull < total; ++i) {
    ASSERT_EQ(datafile_read(df, out.data(), 4096), 4096u);
    ASSERT_EQ(out[0], (uint8_t)i);
    ASSERT_EQ(out[4095], (uint8_t)(i + 4095));
  }
  EXPECT_EQ(datafile_read(df, out.data(), 1), 0u);

  // Growth that fails refuses the append and keeps what is there.
  uint64_t room = df->mapped_size - 24 - total;
  for (uint64_t k = 0; k < room / 4096; ++k) ASSERT_EQ(datafile_append(df, block.data(), 4096), 4096u);
  os_file_fail_next("set_size", 1, ENOSPC);
  EXPECT_EQ(datafile_append(df, block.data(), 4096), 0u);
  EXPECT_TRUE(logged_contains("扩展文件失败，错误码: 28\n"));
  EXPECT_EQ(datafile_size(df), total + room / 4096 * 4096);

  EXPECT_EQ(datafile_reset(df), 0);
  EXPECT_EQ(datafile_size(df), 0u);
  EXPECT_EQ(datafile_read(df, out.data(), 1), 0u);
  EXPECT_EQ(datafile_append(df, "abc", 3), 3u);
  // A read asking for more than remains copies the rest.
  EXPECT_EQ(datafile_read(df, out.data(), 10), 3u);
  EXPECT_EQ(memcmp(out.data(), "abc", 3), 0);
  EXPECT_EQ(df->mapped_size, 10485760u);  // reset keeps the file's size
  datafile_close_truncate(df);
  std::string path = data_path("d.qelvo");
  EXPECT_EQ(file_size(path), 27);

  // A damaged header cannot send reads or truncation past the file.
  auto poke = [&](long at, uint64_t v) {
    std::fstream f(path, std::ios::in | std::ios::out | std::ios::binary);
    f.seekp(at);
    f.write((const char*)&v, 8);
  };
  poke(8, 1ull << 40);  // data count
  poke(16, 1ull << 40);  // write offset
  back = datafile_open(path.c_str());
  ASSERT_NE(back, nullptr);
  EXPECT_EQ(datafile_read(back, out.data(), 4096), 3u);
  EXPECT_EQ(datafile_read(back, out.data(), 4096), 0u);
  EXPECT_EQ(datafile_append(back, "x", 1), 0u);  // write offset outside the file
  datafile_close_truncate(back);
  EXPECT_EQ(file_size(path), 27);
  // A header that undercounts: reading stops at its count, and closing a
  // file that was only read does not cut off the rest.
  poke(8, 2);
  back = datafile_open(path.c_str());
  ASSERT_NE(back, nullptr);
  EXPECT_EQ(datafile_read(back, out.data(), 4096), 2u);
  datafile_close_truncate(back);
  EXPECT_EQ(file_size(path), 27);
}

}  // namespace
