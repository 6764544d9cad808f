// A write that fails while a capture is recorded and decoded (a full disk)
// stops the storing with one line for the user; what was stored stays.
#include <gtest/gtest.h>

#include <cerrno>

#include "os/mapped_file.h"
#include "tests/support/tree_text.h"

namespace {

TEST(PipelineStoreFailure, ACaptureDataFileThatCannotBeWrittenStopsTheCapture) {
  testenv::TempDir dir;
  CaptureSession* s = treetext::open_session_in(dir.path(), 1);
  ASSERT_NE(s, nullptr);
  uint64_t t = 1000;
  using namespace usbtest;
  for (const Bytes& b : {token(0x69, 9, 2), data(0xC3, filled(8)), hs(0xD2), sof(1)})
    pipeline_decode_packet(s->pipeline, b.data(), (int32_t)b.size(), t += 100, 1);
  pipeline_sync(s->pipeline);
  std::vector<std::string> stored = treetext::lines(s->trees.transaction);
  ASSERT_EQ(stored.size(), 4u);
  EXPECT_EQ(pipeline_failure(s->pipeline), nullptr);

  // Packets that make no rows, only capture data, until a write is due.
  os_file_fail_next("write", 1, ENOSPC);
  Bytes junk(100, 0x00);
  for (int i = 0; i < 1000; i++)
    pipeline_decode_packet(s->pipeline, junk.data(), (int32_t)junk.size(), t += 100, 1);
  const char* why = pipeline_failure(s->pipeline);
  ASSERT_NE(why, nullptr);
  EXPECT_EQ(std::string(why),
            "no space left on the device holding " + dir.path() + " (writing capusbdata.qelvo)");
  EXPECT_EQ(treetext::lines(s->trees.transaction), stored);
  capture_session_close(s, 1);
  orvane_log_set_muted(0);
}

}  // namespace
