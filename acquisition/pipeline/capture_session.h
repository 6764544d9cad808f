// A capture session: the four row trees of the analyzer's views with their
// fixed file names, the decoder and the pipeline between them, opened and
// closed as one unit. The analyzer's capture worker, orvane-dump and the
// tests all decode through one of these. The payloads of the selected
// device and endpoint go to the script host (lua_host.h).
//
// Invariants:
//   1. Either everything is open (four trees, decoder, pipeline) or the
//      session does not exist: open fails as a whole and leaves no file.
//   2. The store files live in the data directory current at open.
#pragma once

#include <cstddef>

#include "acquisition/pipeline/capture_data.h"
#include "acquisition/pipeline/capture_pipeline.h"

struct RowTree;
struct dataParse;

// The four views, in the order the analyzer creates their models.
enum SessionView {
  VIEW_TRANSACTIONS = 0,  // transactions and transfers with their packets
  VIEW_PACKAGES = 1,      // packets with their detail rows
  VIEW_DATA = 2,          // data packets
  VIEW_DESCRIPTORS = 3,   // requests and descriptor tables
  kSessionViewCount = 4,
};

// Store file names of one view's row tree.
struct SessionTreeFiles {
  const char* value;  // value file
  const char* index;  // index file
};
extern const SessionTreeFiles kSessionTreeFiles[kSessionViewCount];

struct CaptureSession {
  RowTrees trees;              // owned
  dataParse* decoder;          // owned
  CapturePipeline* pipeline;   // owned
};

// Opens the four trees (fresh files), a decoder and the pipeline. With
// `record_capture_data` the pipeline also creates the capture data file
// "capusbdata.qelvo" into which live packets are recorded (capture_data.h). Null on
// failure, with a one-line message in `err`; nothing stays open.
CaptureSession* capture_session_open(int record_capture_data, char* err, size_t err_cap);
// The tree of one view.
RowTree* capture_session_tree(CaptureSession* s, SessionView view);
// Closes everything. With `delete_files` the four trees' store files are
// deleted (the analyzer's close), else they stay on disk as fresh files.
// Null does nothing.
void capture_session_close(CaptureSession* s, int delete_files);
