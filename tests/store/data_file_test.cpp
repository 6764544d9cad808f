// Data files: fresh header, appending to a reopened file, refusal of empty,
// short and foreign files, limits, growth, reset, partial reads and damage.
#include <cerrno>
#include <cstring>
#include <vector>

#include "os/mapped_file.h"
#include "store/data_file.h"
#include "tests/store/store_fixture.h"

namespace {

class DataFileTest : public StoreTest {};

TEST_F(DataFileTest, NewFileHeaderDeletionAndAppendingToAReopenedFile) {
  DataFile* df = datafile_create("capusbdata.qelvo");
  ASSERT_NE(df, nullptr);
  EXPECT_EQ(df->mapped_size, 5242880u);
  const DataFileHeader* h = (const DataFileHeader*)df->mapped;
  EXPECT_EQ(memcmp(df->mapped, "WRDH", 4), 0);
  EXPECT_EQ(h->data_bytes, 0u);
  EXPECT_EQ(h->write_offset, 24u);
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
}

TEST_F(DataFileTest, OpenRefusesMissingEmptyShortAndForeignFilesAndClosesThem) {
  int fds = open_fds();
  const std::pair<const char*, std::string> files[] = {{"empty", ""}, {"short", "WRDH"}, {"foreign", std::string(200, 'z')}};
  for (const auto& [name, bytes] : files) std::ofstream(tmp_.file(name)) << bytes;
  for (const char* name : {"missing", "empty", "short", "foreign"})
    EXPECT_EQ(datafile_open(tmp_.file(name).c_str()), nullptr) << name;
  EXPECT_TRUE(logged_contains("打开文件失败: " + tmp_.file("missing") + ", 错误码: 2\n"));
  EXPECT_TRUE(logged_contains("文件大小为0: " + tmp_.file("empty") + "\n"));
  EXPECT_EQ(open_fds(), fds);
}

TEST_F(DataFileTest, AppendLimitsGrowthResetAndPartialReads) {
  DataFile* df = datafile_create("d.qelvo");
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
  std::vector<uint8_t> out(4096);
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
  EXPECT_EQ(file_size(data_path("d.qelvo")), 27);
}

TEST_F(DataFileTest, ADamagedHeaderCannotSendReadsOrTruncationPastTheFile) {
  DataFile* df = datafile_create("d.qelvo");
  ASSERT_NE(df, nullptr);
  ASSERT_EQ(datafile_append(df, "hello", 5), 5u);
  datafile_close_truncate(df);
  std::string path = data_path("d.qelvo");
  auto poke = [&](long at, uint64_t v) {
    std::fstream f(path, std::ios::in | std::ios::out | std::ios::binary);
    f.seekp(at);
    f.write((const char*)&v, 8);
  };
  poke(8, 1ull << 40);  // data count
  poke(16, 1ull << 40);  // write offset
  DataFile* back = datafile_open(path.c_str());
  ASSERT_NE(back, nullptr);
  std::vector<uint8_t> out(4096);
  EXPECT_EQ(datafile_read(back, out.data(), 4096), 5u);
  EXPECT_EQ(datafile_read(back, out.data(), 4096), 0u);
  EXPECT_EQ(datafile_append(back, "x", 1), 0u);  // write offset outside the file
  datafile_close_truncate(back);
  EXPECT_EQ(file_size(path), 29);
  // A header that undercounts: reading stops at its count, and closing a
  // file that was only read does not cut off the rest.
  poke(8, 2);
  back = datafile_open(path.c_str());
  ASSERT_NE(back, nullptr);
  EXPECT_EQ(datafile_read(back, out.data(), 4096), 2u);
  datafile_close_truncate(back);
  EXPECT_EQ(file_size(path), 29);
}

}  // namespace
