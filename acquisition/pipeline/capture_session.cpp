// Opening and closing the four trees, the decoder and the pipeline together.
#include "acquisition/pipeline/capture_session.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>

#include "acquisition/pipeline/capture_data.h"
#include "acquisition/script_host/lua_host.h"
#include "decode/data_parse.h"
#include "store/store_files.h"
#include "views/row_tree.h"

const SessionTreeFiles kSessionTreeFiles[kSessionViewCount] = {
    {"transfer_value.qelvo", "transfer_index.qelvo"},
    {"package.qelvo", "index.qelvo"},
    {"cData.qelvo", "cIndex.qelvo"},
    {"parse_value.qelvo", "parse_index.qelvo"},
};

static RowTree** tree_slot(RowTrees* trees, SessionView view) {
  switch (view) {
    case VIEW_TRANSACTIONS: return &trees->transaction;
    case VIEW_PACKAGES: return &trees->package;
    case VIEW_DATA: return &trees->data;
    default: return &trees->descriptor;
  }
}

RowTree* capture_session_tree(CaptureSession* s, SessionView view) {
  return *tree_slot(&s->trees, view);
}

// The selected payloads go to the user script (nothing happens while no
// script is loaded).
static void to_script(const uint8_t* payload, int32_t length, void*) {
  lua_host_process(payload, length);
}

CaptureSession* capture_session_open(int record_capture_data, char* err, size_t err_cap) {
  CaptureSession* s = new (std::nothrow) CaptureSession();
  if (!s) {
    snprintf(err, err_cap, "out of memory");
    return nullptr;
  }
  for (int v = 0; v < kSessionViewCount; v++) {
    const SessionTreeFiles& f = kSessionTreeFiles[v];
    errno = 0;
    RowTree* t = row_tree_open(f.value, f.index);
    *tree_slot(&s->trees, (SessionView)v) = t;
    if (!t) {
      int e = errno;
      snprintf(err, err_cap, "cannot create the row store %s in %s%s%s", f.value, store_data_dir(),
               e ? ": " : "", e ? strerror(e) : "");
      capture_session_close(s, 1);
      return nullptr;
    }
  }
  s->decoder = new (std::nothrow) dataParse();
  if (s->decoder) s->decoder->selectedPayload = to_script;
  s->pipeline = s->decoder ? pipeline_create(s->decoder, s->trees) : nullptr;
  if (!s->pipeline) {
    snprintf(err, err_cap, "out of memory");
    capture_session_close(s, 1);
    return nullptr;
  }
  if (record_capture_data) capture_data_open(s->pipeline);
  return s;
}

void capture_session_close(CaptureSession* s, int delete_files) {
  if (!s) return;
  pipeline_destroy(s->pipeline);
  delete s->decoder;
  for (int v = 0; v < kSessionViewCount; v++) {
    RowTree* t = *tree_slot(&s->trees, (SessionView)v);
    if (!t) continue;
    if (delete_files) row_tree_delete_files(t);
    row_tree_close(t);
  }
  delete s;
}
