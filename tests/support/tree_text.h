// Test helpers: the rows of a row store as text lines, walked as a fully
// expanded view shows them ("<indent>key=value | ... || key=value | ..."),
// and a decoder feeding the four views through the pipeline.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "acquisition/pipeline/capture_session.h"
#include "decode/cells/row_payload.h"
#include "decode/data_parse.h"
#include "os/log.h"
#include "store/capture/loaded_packets.h"
#include "store/row_store.h"
#include "store/store_files.h"
#include "tests/support/usb_packets.h"
#include "tests/support/test_env.h"
#include "views/row_tree.h"

namespace treetext {

// A list of one entry, `key`=`value`: the smallest row a test appends.
inline kvLinkedList* one(const char* key, const char* value) {
  kvLinkedList* l = nullptr;
  kvlist_append(&l, cell_text(key, 0, 0), cell_text(value, 0, 0));
  return l;
}

inline std::string group(const PayloadGroup& g, int with_desc) {
  std::string out;
  PayloadCursor cur;
  payload_cursor_init(&cur, &g, with_desc);
  PayloadEntry e;
  while (g.body && payload_cursor_next(&cur, &e) == 1) {
    if (!out.empty()) out += " | ";
    out += usbtest::cell_text(e.key) + "=" + usbtest::cell_text(e.value);
    if (e.desc) out += "=" + usbtest::cell_text(e.desc);
  }
  return out;
}

inline std::string row(RowTree* s, uint32_t r, int with_desc = 0) {
  uint8_t buf[4200];
  uint32_t n = row_tree_payload(s, r, buf, sizeof buf);
  PayloadView v{};
  if (n) payload_unpack(buf, n, &v);
  std::string t = group(v.infos, with_desc) + " || " + group(v.values, with_desc);
  if (!v.marked) t += " (incomplete)";
  return t;
}

inline std::vector<std::string> lines(RowTree* s, int with_desc = 0) {
  std::vector<std::string> out;
  std::function<void(uint32_t, int)> walk = [&](uint32_t parent, int level) {
    for (uint32_t i = 0, n = row_tree_child_count(s, parent); i < n; i++) {
      uint32_t r = row_tree_child_at(s, parent, i);
      out.push_back(std::string((size_t)level * 2, ' ') + row(s, r, with_desc));
      walk(r, level + 1);
    }
  };
  walk(0, 0);
  return out;
}

// A capture session whose store files go to `dir`, with a fresh decoder
// (quiet log, no SOF run held over from an earlier test).
inline CaptureSession* open_session_in(const std::string& dir, int record) {
  orvane_log_set_muted(1);
  store_set_data_dir(dir.c_str());
  sof_hold_clear();
  char err[256];
  CaptureSession* session = capture_session_open(record, err, sizeof err);
  EXPECT_TRUE(session) << err;
  return session;
}

// The four views in a private directory, a fresh decoder and the pipeline
// between them.
class PipelineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    session = open_session_in(dir.path(), 0);
    ASSERT_TRUE(session);
    trees = session->trees;
    dp = session->decoder;
    pl = session->pipeline;
  }
  void TearDown() override {
    capture_session_close(session, 1);
    sof_hold_clear();
    loaded_packets_clear();
    orvane_log_set_muted(0);
  }
  // Decodes one packet stamped `t`; its rows are stored when this returns.
  void decode(const usbtest::Bytes& b, uint64_t t) {
    pipeline_decode_packet(pl, b.data(), (int32_t)b.size(), t, 0);
    pipeline_sync(pl);
  }
  // Decodes `packets` stamped `t0`, `t0 + step`, ...
  void feed(const std::vector<usbtest::Bytes>& packets, uint64_t t0 = 1000, uint64_t step = 100) {
    for (const usbtest::Bytes& b : packets) decode(b, t0), t0 += step;
  }
  testenv::TempDir dir;
  CaptureSession* session = nullptr;
  RowTrees trees{};
  dataParse* dp = nullptr;
  CapturePipeline* pl = nullptr;
};

}  // namespace treetext
