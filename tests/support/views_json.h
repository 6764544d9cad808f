// Test helpers: the four views of a capture session as orvane-dump --json
// prints them, and what orvane-dump itself prints for a capture file.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "acquisition/pipeline/capture_session.h"
#include "tests/support/dump_run.h"
#include "views/row_print.h"

namespace viewsjson {

inline std::vector<std::string> of_session(CaptureSession* session) {
  std::vector<std::string> out;
  for (int v = 0; v < kSessionViewCount; v++) {
    char* buf = nullptr;
    size_t len = 0;
    FILE* f = open_memstream(&buf, &len);
    row_tree_print(capture_session_tree(session, (SessionView)v), v == VIEW_DESCRIPTORS, 1, f);
    fclose(f);
    out.emplace_back(buf, len);
    free(buf);
  }
  return out;
}

// orvane-dump run in `dir` on `file`, one view at a time.
inline std::vector<std::string> of_dump(const std::string& file, const testenv::TempDir& dir) {
  std::vector<std::string> out;
  for (const char* view : {"transactions", "packages", "data", "descriptors"}) {  // in SessionView order
    dumprun::Result r = dumprun::run({"--json", "--view", view, file}, dir);
    EXPECT_EQ(0, r.status) << view << ": " << r.err;
    out.push_back(r.out);
  }
  return out;
}

}  // namespace viewsjson
