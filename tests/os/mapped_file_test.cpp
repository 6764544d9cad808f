// Zeros written through a file that a view maps: they must reach the view,
// stay inside the range asked for, and never grow the file.
#include "os/mapped_file.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "tests/support/test_env.h"

namespace {

TEST(MappedFile, ZerosWrittenThroughTheFileShowInTheViewAndStayInRange) {
  testenv::TempDir dir;
  os_file f;
  ASSERT_EQ(0, os_file_create_truncate(dir.file("z.bin").c_str(), &f));
  const uint64_t size = 3 * 1024 * 1024 + 100;  // several write calls, an odd end
  ASSERT_EQ(0, os_file_set_size(f, size));
  uint8_t* view = (uint8_t*)os_file_map(f, size);
  ASSERT_NE(nullptr, view);
  memset(view, 0xAB, size);

  // Not page-aligned at either end: the bytes just outside keep their value.
  const uint64_t from = 4096 + 17, len = 2 * 1024 * 1024 + 333;
  ASSERT_EQ(0, os_file_write_zeros(f, from, len));
  EXPECT_EQ(0xAB, view[from - 1]);
  EXPECT_EQ(0xAB, view[from + len]);
  for (uint64_t i = from; i < from + len; i += 4093) ASSERT_EQ(0, view[i]) << i;
  EXPECT_EQ(0, view[from]);
  EXPECT_EQ(0, view[from + len - 1]);

  // A range running past the end is cut at the end: the size stays.
  ASSERT_EQ(0, os_file_write_zeros(f, size - 10, 1000));
  uint64_t now = 0;
  ASSERT_EQ(0, os_file_size(f, &now));
  EXPECT_EQ(size, now);
  EXPECT_EQ(0, view[size - 1]);
  EXPECT_EQ(0xAB, view[size - 11]);
  // Wholly past the end: nothing written, nothing grown.
  ASSERT_EQ(0, os_file_write_zeros(f, size + 5, 10));
  ASSERT_EQ(0, os_file_size(f, &now));
  EXPECT_EQ(size, now);

  os_file_unmap(view, size);
  os_file_close(f);
}

}  // namespace
