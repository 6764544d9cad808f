// Capture files into and out of loaded-packet lists. Open reads a whole file
// into a new list before anything on screen changes, so a damaged, foreign
// or changing file is refused with the views as they were; Save writes the
// list of the file opened last out as a capture file.
#pragma once

#include <cstddef>
#include <cstdint>

#include "store/capture/capture_convert.h"

struct LoadedPackets;

// What a load found.
struct CaptureLoadInfo {
  CaptureFormat format;  // what the file turned out to be
  uint64_t packets;      // packets loaded
  // "*.qelvo": the number of data bytes its header declares; other formats:
  // the record bytes of the packets loaded (what a "*.qelvo" file of them
  // would declare).
  uint64_t dataCount;
  // "*.qelvo": the file ends before the data its header declares; the whole
  // records before that point are loaded.
  int endedEarly;
};

// Reads every packet of the capture file at `path` (the system's own files,
// pcap, pcapng; recognised by content) into a new list. pcap and pcapng
// times count from the file's first packet, as orvane-dump shows them; the
// system's own files keep their stamps. Returns the list, or null with
// *status CAPTURE_IO_CANCELLED, or CAPTURE_IO_FAILED and a one-line message
// naming the file and the problem in `err`: a file that cannot be opened,
// is no capture, is damaged (with the offset), changes or vanishes while it
// is read, or whose packets cannot be kept (a full disk).
LoadedPackets* capture_load(const char* path, capture_progress_fn progress, void* user,
                            CaptureLoadInfo* info, int* status, char* err, size_t err_cap);

// Writes every packet of `list` into a new capture file of `format` at
// `path`. CAPTURE_IO_OK, CAPTURE_IO_CANCELLED, or CAPTURE_IO_FAILED with a
// message (a packet the format cannot hold, a failed write). On failure and
// cancel the file is deleted.
int capture_save_list(LoadedPackets* list, const char* path, CaptureFormat format,
                      capture_progress_fn progress, void* user, char* err, size_t err_cap);
