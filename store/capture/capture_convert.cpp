// Capture file to capture file, record by record (see capture_convert.h).
#include "store/capture/capture_convert.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "os/file_rw.h"
#include "store/capture/capture_internal.h"

int capture_write_end(CaptureWriter* writer, int status, const char* path, uint64_t total,
                      capture_progress_fn progress, void* user, char* err, size_t err_cap) {
  char closeErr[512];
  if (capture_writer_close(writer, closeErr, sizeof closeErr) != 0 && status == CAPTURE_IO_OK) {
    snprintf(err, err_cap, "%s", closeErr);
    status = CAPTURE_IO_FAILED;
  }
  if (status != CAPTURE_IO_OK) os_file_delete(path);
  else if (progress) progress(user, total, total);
  return status;
}

int capture_convert(const char* src, const char* dst, CaptureFormat format,
                    capture_progress_fn progress, void* user, char* err, size_t err_cap) {
  OsFileStamp in, out;
  if (os_path_stamp(src, &in) != 0) {
    capture_set_error(err, err_cap, src, "cannot open: %s", strerror(errno));
    return CAPTURE_IO_FAILED;
  }
  // Writing would cut the source before it is read.
  if (os_path_stamp(dst, &out) == 0 && out.device == in.device && out.inode == in.inode) {
    capture_set_error(err, err_cap, dst, "is the file being saved");
    return CAPTURE_IO_FAILED;
  }
  CaptureReader* reader = capture_reader_open(src, err, err_cap);
  if (!reader) return CAPTURE_IO_FAILED;
  CaptureWriter* writer = capture_writer_open(dst, format, err, err_cap);
  if (!writer) {
    capture_reader_close(reader);
    return CAPTURE_IO_FAILED;
  }
  int status = progress && progress(user, 0, in.size) ? CAPTURE_IO_CANCELLED : CAPTURE_IO_OK;
  uint64_t packets = 0, done = 0;
  CapturePacket p;
  while (status == CAPTURE_IO_OK) {
    int rc = capture_reader_next(reader, &p, err, err_cap);
    if (rc == 0) break;
    if (rc < 0 || capture_writer_write(writer, p.bytes, p.length, p.timestamp_ns, err, err_cap) != 0) {
      status = CAPTURE_IO_FAILED;
      break;
    }
    done += 12 + (uint64_t)p.length;
    if (++packets % kCaptureProgressEvery == 0 && progress &&
        progress(user, done < in.size ? done : in.size, in.size))
      status = CAPTURE_IO_CANCELLED;
  }
  capture_reader_close(reader);
  return capture_write_end(writer, status, dst, in.size, progress, user, err, err_cap);
}
