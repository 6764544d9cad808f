// Capture files into and out of loaded-packet lists (see loaded_capture.h).
#include "store/capture/loaded_capture.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "store/capture/loaded_packets.h"
#include "os/file_rw.h"

namespace {

enum { kQelvoHeader = 24 };

// The data count a "*.qelvo" file's header declares; 0 when unreadable (the
// reader has accepted the header by then, so this does not happen).
uint64_t qelvo_data_count(const char* path) {
  FILE* f = fopen(path, "rb");
  uint8_t h[kQelvoHeader];
  uint64_t count = 0;
  if (f && fread(h, 1, sizeof h, f) == sizeof h)
    for (int i = 7; i >= 0; i--) count = (count << 8) | h[8 + i];
  if (f) fclose(f);
  return count;
}

}  // namespace

LoadedPackets* capture_load(const char* path, capture_progress_fn progress, void* user,
                            CaptureLoadInfo* info, int* status, char* err, size_t err_cap) {
  *status = CAPTURE_IO_FAILED;
  *info = CaptureLoadInfo{};
  OsFileStamp before, after;
  if (os_path_stamp(path, &before) != 0) {
    snprintf(err, err_cap, "%s: cannot open: %s", path, strerror(errno));
    return nullptr;
  }
  // A pipe or a device could block or never end.
  if (!before.regular) {
    snprintf(err, err_cap, "%s: not a capture file (not a plain file)", path);
    return nullptr;
  }
  CaptureReader* reader = capture_reader_open(path, err, err_cap);
  if (!reader) return nullptr;
  info->format = capture_reader_format(reader);
  bool qelvo = info->format == CAPTURE_FORMAT_QELVO;
  uint64_t declared = qelvo ? qelvo_data_count(path) : 0;
  LoadedPackets* list = loaded_list_create();
  if (!list) {
    snprintf(err, err_cap, "%s: out of memory", path);
    capture_reader_close(reader);
    return nullptr;
  }
  // pcap and pcapng stamps are wall-clock nanoseconds, far too large for the
  // decoder's time text; they count from the first packet instead.
  capture_reader_set_time_base(reader, CAPTURE_TIME_FROM_FIRST);
  uint64_t bytes = 0;
  int rc = progress && progress(user, 0, before.size) ? CAPTURE_IO_CANCELLED : CAPTURE_IO_OK;
  CapturePacket p;
  while (rc == CAPTURE_IO_OK) {
    int got = capture_reader_next(reader, &p, err, err_cap);
    if (got == 0) break;
    if (got < 0) {
      rc = CAPTURE_IO_FAILED;
      break;
    }
    if (loaded_list_add(list, p.bytes, p.length, p.timestamp_ns) != 0) {
      snprintf(err, err_cap, "%s: cannot keep the packets: %s", path,
               strerror(loaded_list_error(list)));
      rc = CAPTURE_IO_FAILED;
      break;
    }
    bytes += 12 + (uint64_t)p.length;
    if (++info->packets % kCaptureProgressEvery == 0 && progress &&
        progress(user, bytes < before.size ? bytes : before.size, before.size))
      rc = CAPTURE_IO_CANCELLED;
  }
  capture_reader_close(reader);
  if (rc == CAPTURE_IO_OK) {
    // What was read must be one version of one file.
    if (os_path_stamp(path, &after) != 0) {
      snprintf(err, err_cap, "%s: vanished while it was being read", path);
      rc = CAPTURE_IO_FAILED;
    } else if (!os_file_stamp_equal(&before, &after)) {
      snprintf(err, err_cap, "%s: changed while it was being read", path);
      rc = CAPTURE_IO_FAILED;
    }
  }
  if (rc != CAPTURE_IO_OK) {
    loaded_list_destroy(list);
    *status = rc;
    return nullptr;
  }
  info->dataCount = qelvo ? declared : bytes;
  info->endedEarly = qelvo && bytes < declared;
  if (progress) progress(user, before.size, before.size);
  *status = CAPTURE_IO_OK;
  return list;
}

int capture_save_list(LoadedPackets* list, const char* path, CaptureFormat format,
                      capture_progress_fn progress, void* user, char* err, size_t err_cap) {
  LoadedReader* reader = loaded_reader_open(list);
  if (!reader) {
    snprintf(err, err_cap, "%s: out of memory", path);
    return CAPTURE_IO_FAILED;
  }
  CaptureWriter* writer = capture_writer_open(path, format, err, err_cap);
  if (!writer) {
    loaded_reader_close(reader);
    return CAPTURE_IO_FAILED;
  }
  uint64_t total = loaded_list_bytes(list), done = 0, packets = 0;
  int rc = progress && progress(user, 0, total) ? CAPTURE_IO_CANCELLED : CAPTURE_IO_OK;
  const uint8_t* bytes;
  uint32_t length;
  uint64_t stamp;
  while (rc == CAPTURE_IO_OK) {
    int got = loaded_reader_next(reader, &bytes, &length, &stamp);
    if (got == 0) break;
    if (got < 0) {
      snprintf(err, err_cap, "%s: the opened packets cannot be read back: %s", path, strerror(errno));
      rc = CAPTURE_IO_FAILED;
    } else if (capture_writer_write(writer, bytes, length, stamp, err, err_cap) != 0) {
      rc = CAPTURE_IO_FAILED;
    } else {
      done += 12 + (uint64_t)length;
      if (++packets % kCaptureProgressEvery == 0 && progress && progress(user, done, total))
        rc = CAPTURE_IO_CANCELLED;
    }
  }
  loaded_reader_close(reader);
  return capture_write_end(writer, rc, path, total, progress, user, err, err_cap);
}
