// The capture data file "capusbdata.qelvo" in the data directory: a raw copy
// of every live packet, recorded by the pipeline as "*.qelvo" records before
// the packet is decoded. Save moves it to the chosen file; Clear empties it.
//
// The pipeline owns the file (CapturePipeline::captureData, null while it is
// closed). The calls below are made by the thread that decodes, or by
// another one while that thread is known to be idle (Save pauses it).
#pragma once

#include <cstdint>

struct CapturePipeline;

// Creates (or truncates) the file when it is not open; logs its name.
void capture_data_open(CapturePipeline* pl);
// Opens the file again keeping what it holds, so recording goes on after it
// (a Save that could not move it); creates it when missing or unreadable.
void capture_data_reopen(CapturePipeline* pl);
// Closes the file, cut to its filled size; the file stays on disk.
void capture_data_close(CapturePipeline* pl);
// Empties the file (no packets) without closing it.
void capture_data_clear(CapturePipeline* pl);
// Record bytes held, 0 when the file is closed.
uint64_t capture_data_size(CapturePipeline* pl);
// "data", the separator and "capusbdata.qelvo", in a process-wide buffer.
const char* capture_data_path(void);
// Appends the packet's record; nothing when the file is closed or the
// packet cannot be a record (over 4,096 bytes). A failed write stops the
// capture as a row that cannot be stored does (pipeline_failure).
void capture_data_record(CapturePipeline* pl, const uint8_t* bytes, int32_t length,
                         uint64_t timestamp);
