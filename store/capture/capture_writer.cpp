// The one writer over every capture format. Records are gathered in a buffer
// and written whole records at a time; the first failed write fails the
// writer for good, so a disk that fills up is never reported as success.
#include <cerrno>
#include <cstdarg>
#include <cstdlib>

#include "store/capture/capture_internal.h"

void capture_writer_fail(CaptureWriter* w, const char* fmt, ...) {
  if (w->failed) return;
  w->failed = 1;
  va_list ap;
  va_start(ap, fmt);
  capture_vset_error(w->first_error, sizeof w->first_error, w->path, fmt, ap);
  va_end(ap);
}

int capture_writer_drain(CaptureWriter* w) {
  if (w->failed) return -1;
  if (w->len == 0) return 0;
  errno = 0;
  size_t done = fwrite(w->buf, 1, w->len, w->file);
  if (done != w->len) {
    capture_writer_fail(w, "write failed: %s", strerror(errno ? errno : EIO));
    return -1;
  }
  w->len = 0;
  if (w->format == CAPTURE_FORMAT_QELVO) return capture_qelvo_update_header(w);
  return 0;
}

uint8_t* capture_writer_reserve(CaptureWriter* w, size_t n) {
  if (w->failed) return nullptr;
  if (n > CAPTURE_WRITER_BUFFER) {
    capture_writer_fail(w, "record of %zu bytes is too large", n);
    return nullptr;
  }
  if (w->len + n > CAPTURE_WRITER_BUFFER && capture_writer_drain(w) != 0) return nullptr;
  uint8_t* p = w->buf + w->len;
  w->len += n;
  return p;
}

static void copy_failure(const CaptureWriter* w, char* err, size_t err_cap) {
  if (err && err_cap) snprintf(err, err_cap, "%s", w->first_error);
}

CaptureWriter* capture_writer_open(const char* path, CaptureFormat format, char* err, size_t err_cap) {
  if (!path) {
    capture_set_error(err, err_cap, nullptr, "no file name");
    return nullptr;
  }
  if (format != CAPTURE_FORMAT_QELVO && format != CAPTURE_FORMAT_PCAP_US && format != CAPTURE_FORMAT_PCAP_NS &&
      format != CAPTURE_FORMAT_PCAPNG) {
    capture_set_error(err, err_cap, path, "unknown capture format %d", (int)format);
    return nullptr;
  }
  CaptureWriter* w = (CaptureWriter*)calloc(1, sizeof *w);
  size_t n = strlen(path) + 1;
  if (w) {
    w->path = (char*)malloc(n);
    w->buf = (uint8_t*)malloc(CAPTURE_WRITER_BUFFER);
  }
  if (!w || !w->path || !w->buf) {
    capture_set_error(err, err_cap, path, "out of memory");
    if (w) {
      free(w->path);
      free(w->buf);
      free(w);
    }
    return nullptr;
  }
  memcpy(w->path, path, n);
  w->format = format;
  w->file = fopen(path, "wb");
  if (!w->file) {
    capture_set_error(err, err_cap, path, "cannot create: %s", strerror(errno));
    free(w->path);
    free(w->buf);
    free(w);
    return nullptr;
  }
  setvbuf(w->file, nullptr, _IONBF, 0);
  int rc;
  switch (format) {
    case CAPTURE_FORMAT_QELVO: rc = capture_qelvo_write_header(w); break;
    case CAPTURE_FORMAT_PCAPNG: rc = capture_pcapng_write_header(w); break;
    default: rc = capture_pcap_write_header(w); break;
  }
  // Write the header now: a file that exists is a valid, empty capture.
  if (rc == 0) rc = capture_writer_drain(w);
  if (rc != 0) {
    copy_failure(w, err, err_cap);
    capture_writer_close(w, nullptr, 0);
    return nullptr;
  }
  return w;
}

int capture_writer_write(CaptureWriter* writer, const uint8_t* bytes, uint32_t length, uint64_t timestamp_ns,
                         char* err, size_t err_cap) {
  if (writer->failed) {
    copy_failure(writer, err, err_cap);
    return -1;
  }
  if (!bytes && length) {
    capture_set_error(err, err_cap, writer->path, "packet of %u bytes without data", length);
    return -1;
  }
  int rc;
  switch (writer->format) {
    case CAPTURE_FORMAT_QELVO: rc = capture_qelvo_write(writer, bytes, length, timestamp_ns, err, err_cap); break;
    case CAPTURE_FORMAT_PCAPNG: rc = capture_pcapng_write(writer, bytes, length, timestamp_ns, err, err_cap); break;
    default: rc = capture_pcap_write(writer, bytes, length, timestamp_ns, err, err_cap); break;
  }
  if (rc != 0 && writer->failed) copy_failure(writer, err, err_cap);
  return rc;
}

int capture_writer_flush(CaptureWriter* writer, char* err, size_t err_cap) {
  if (capture_writer_drain(writer) == 0) return 0;
  copy_failure(writer, err, err_cap);
  return -1;
}

int capture_writer_close(CaptureWriter* writer, char* err, size_t err_cap) {
  if (!writer) return 0;
  capture_writer_drain(writer);
  if (fclose(writer->file) != 0) capture_writer_fail(writer, "close failed: %s", strerror(errno));
  int rc = writer->failed ? -1 : 0;
  if (rc) copy_failure(writer, err, err_cap);
  free(writer->path);
  free(writer->buf);
  free(writer);
  return rc;
}
