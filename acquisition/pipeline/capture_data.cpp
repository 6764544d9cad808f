// The capture data file: a data file of the store holding "*.qelvo" records.
#include "acquisition/pipeline/capture_data.h"

#include <cstdio>

#include "acquisition/pipeline/capture_pipeline.h"
#include "os/log.h"
#include "store/capture/capture_file.h"
#include "store/data_file.h"
#include "store/store_files.h"

static const char kCaptureDataName[] = "capusbdata.qelvo";
static char g_captureDataPath[256];

void capture_data_open(CapturePipeline* pl) {
  if (pl->captureData) return;
  pl->captureData = datafile_create(kCaptureDataName);
  orvane_log("captueDataFd filename:%s", kCaptureDataName);
}

void capture_data_reopen(CapturePipeline* pl) {
  if (pl->captureData) return;
  pl->captureData = datafile_open(capture_data_path());
  if (!pl->captureData) capture_data_open(pl);
}

void capture_data_close(CapturePipeline* pl) {
  if (pl->captureData) datafile_close_truncate(pl->captureData);
  pl->captureData = nullptr;
}

void capture_data_clear(CapturePipeline* pl) {
  if (pl->captureData) datafile_reset(pl->captureData);
}

uint64_t capture_data_size(CapturePipeline* pl) {
  return pl->captureData ? datafile_size(pl->captureData) : 0;
}

const char* capture_data_path(void) {
  snprintf(g_captureDataPath, sizeof g_captureDataPath, "%s", datafile_path(kCaptureDataName));
  return g_captureDataPath;
}

void capture_data_record(CapturePipeline* pl, const uint8_t* bytes, int32_t length,
                         uint64_t timestamp) {
  DataFile* df = pl->captureData;
  if (!df || !bytes || length < 0) return;
  uint8_t record[CAPTURE_QELVO_MAX_RECORD];
  uint32_t n = capture_qelvo_record(record, bytes, (uint32_t)length, timestamp);
  if (n == 0) return;
  // A data file takes at most 4,096 bytes per append: the longest records
  // go in two pieces.
  uint32_t first = n < 4096 ? n : 4096;
  if (datafile_append(df, record, first) == first && n > first)
    datafile_append(df, record + first, n - first);
  if (pl->failure.set.load(std::memory_order_relaxed)) return;
  if (int err = datafile_error(df)) {
    char text[512];
    pipeline_failure_set(&pl->failure, store_failure_text(err, df->path, text, sizeof text));
  }
}
