// Bytes written through a file must reach a read-only view of it at once,
// exactly where they were written; reserving space keeps the file's size.
#include "os/mapped_file.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

#include "os/file_rw.h"

#include "tests/support/test_env.h"

namespace {

TEST(MappedFile, WritesThroughTheFileShowInAReadOnlyViewAndReservingKeepsTheSize) {
  testenv::TempDir dir;
  os_file f;
  ASSERT_EQ(0, os_file_create_truncate(dir.file("w.bin").c_str(), &f));
  const uint64_t size = 3 * 1024 * 1024 + 100;
  ASSERT_EQ(0, os_file_set_size(f, size));
  const uint8_t* view = (const uint8_t*)os_file_map_read(f, size);
  ASSERT_NE(nullptr, view);

  // Not page-aligned at either end, across many pages.
  const uint64_t from = 4096 + 17;
  std::vector<uint8_t> bytes(2 * 1024 * 1024 + 333);
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = (uint8_t)(i * 7 + 1);
  ASSERT_EQ(0, os_file_write_at(f, from, bytes.data(), bytes.size()));
  EXPECT_EQ(0, view[from - 1]);
  EXPECT_EQ(0, view[from + bytes.size()]);
  for (uint64_t i = 0; i < bytes.size(); i += 4093) ASSERT_EQ(bytes[i], view[from + i]) << i;
  EXPECT_EQ(bytes.back(), view[from + bytes.size() - 1]);

  ASSERT_EQ(0, os_file_reserve(f, size - 5000, 5000));
  uint64_t now = 0;
  ASSERT_EQ(0, os_file_size(f, &now));
  EXPECT_EQ(size, now);
  EXPECT_EQ(bytes[0], view[from]);  // reserving leaves written bytes alone

  EXPECT_EQ(-1, os_file_unmap((void*)(view + 1), size)) << "not a mapping's start";
  EXPECT_EQ(0, os_file_unmap((void*)view, size));
  os_file_close(f);
}

TEST(MappedFile, AWriteErrorFailsAtOnce) {
  int fd = open("/dev/full", O_WRONLY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  errno = 0;
  EXPECT_EQ(-1, os_file_write_at((os_file)fd, 0, "x", 1));
  EXPECT_EQ(ENOSPC, errno);
  close(fd);
}

}  // namespace
