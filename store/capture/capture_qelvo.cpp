// The system's own capture files: a 24-byte data-file header ("WRDH", u32 0,
// u64 number of data bytes, u64 write offset) and then packet records
// {u32 length, u64 time stamp, bytes}, all little-endian.
//
// Reading stops at 24 + the stored number of data bytes, because a data file
// that the program still has open is much longer than its content (zeros
// follow). Two kinds of short data are told apart:
//   1. the file ends before the data its header declares (an interrupted copy
//      or a killed writer): the incomplete last record ends the reading cleanly;
//   2. the file holds all declared data but a record head declares more than
//      4,096 bytes or runs past the declared end: the file is damaged, and
//      reading fails with the offset of that record.
// The write offset at offset 16 is not used: the data count alone says where
// the data ends, as it does for the program's own reader.
//
// Writing keeps the header valid while the file grows: each time the pending
// records are written (every MiB or so, always at a record boundary) the data
// count is updated, so a writer that is killed leaves a readable file that
// lacks at most its last unwritten MiB of packets. Rewriting the header needs
// a seekable file, so a "*.qelvo" file cannot be written into a pipe.
#include <cerrno>

#include "store/capture/capture_internal.h"

enum { HEADER = 24, HEAD = 12 };

int capture_qelvo_start(CaptureReader* r, char* err, size_t err_cap) {
  long got = capture_source_fill(&r->src, HEADER);
  if (got < 0) {
    capture_set_error(err, err_cap, r->path, "read failed at offset 0: %s", strerror(r->src.read_error));
    return -1;
  }
  if (got < HEADER) {
    capture_set_error(err, err_cap, r->path, "not a capture file: header cut short at offset %ld", got);
    return -1;
  }
  const uint8_t* p = capture_source_ptr(&r->src);
  uint32_t version = capture_rd32(p + 4, 0);
  if (version != 0) {
    // Row stores and index files carry a version 1 here; they hold no packets.
    capture_set_error(err, err_cap, r->path,
                      "not a capture file: a store file of another kind (field %u at offset 4)", version);
    return -1;
  }
  uint64_t count = capture_rd64le(p + 8);
  if (count > UINT64_MAX - HEADER - 1) {
    capture_set_error(err, err_cap, r->path, "damaged header: impossible data count %llu at offset 8",
                      (unsigned long long)count);
    return -1;
  }
  capture_source_advance(&r->src, HEADER);
  capture_source_set_limit(&r->src, HEADER + count);
  return 0;
}

// A record that could not be read whole: 0 when the file itself ends early
// (truncated), -1 when the file has all its declared data (damaged).
static int short_record(CaptureReader* r, uint64_t off, long got, char* err, size_t err_cap) {
  if (got < 0) {
    capture_set_error(err, err_cap, r->path, "read failed at offset %llu: %s", (unsigned long long)off,
                      strerror(r->src.read_error));
    return -1;
  }
  uint64_t declared_left = r->src.limit - off;
  if ((uint64_t)got < declared_left) return 0;  // the file is shorter than its header says
  capture_set_error(err, err_cap, r->path,
                    "damaged record at offset %llu: %s runs past the stored data count (%llu bytes)",
                    (unsigned long long)off, got < HEAD ? "record head" : "packet",
                    (unsigned long long)(r->src.limit - HEADER));
  return -1;
}

int capture_qelvo_next(CaptureReader* r, CapturePacket* out, char* err, size_t err_cap) {
  CaptureSource* src = &r->src;
  uint64_t off = capture_source_offset(src);
  long got = capture_source_fill(src, HEAD);
  if (got == 0) return 0;
  if (got < HEAD) return short_record(r, off, got, err, err_cap);
  uint32_t length = capture_rd32(capture_source_ptr(src), 0);
  if (length > CAPTURE_QELVO_MAX_PACKET) {
    capture_set_error(err, err_cap, r->path, "damaged record at offset %llu: packet length %u exceeds %d",
                      (unsigned long long)off, length, (int)CAPTURE_QELVO_MAX_PACKET);
    return -1;
  }
  size_t need = HEAD + (size_t)length;
  got = capture_source_fill(src, need);
  if (got < (long)need) return short_record(r, off, got, err, err_cap);
  const uint8_t* p = capture_source_ptr(src);
  out->bytes = p + HEAD;
  out->length = length;
  out->timestamp_ns = capture_rd64le(p + 4);
  capture_source_advance(src, need);
  return 1;
}

static void fill_header(uint8_t* h, uint64_t count) {
  memcpy(h, "WRDH", 4);
  capture_wr32le(h + 4, 0);
  capture_wr64le(h + 8, count);
  capture_wr64le(h + 16, HEADER + count);
}

int capture_qelvo_write_header(CaptureWriter* w) {
  uint8_t* h = capture_writer_reserve(w, HEADER);
  if (!h) return -1;
  fill_header(h, 0);
  return 0;
}

int capture_qelvo_write(CaptureWriter* w, const uint8_t* bytes, uint32_t length, uint64_t ts, char* err,
                        size_t err_cap) {
  if (length > CAPTURE_QELVO_MAX_PACKET) {
    capture_set_error(err, err_cap, w->path, "packet of %u bytes exceeds the %d-byte record limit", length,
                        (int)CAPTURE_QELVO_MAX_PACKET);
    return -1;
  }
  uint8_t* p = capture_writer_reserve(w, HEAD + (size_t)length);
  if (!p) return -1;
  w->data_bytes += capture_qelvo_record(p, bytes, length, ts);
  return 0;
}

uint32_t capture_qelvo_record(uint8_t* out, const uint8_t* bytes, uint32_t length, uint64_t ts) {
  if (length > CAPTURE_QELVO_MAX_PACKET || (length && !bytes)) return 0;
  capture_wr32le(out, length);
  capture_wr64le(out + 4, ts);
  if (length) memcpy(out + HEAD, bytes, length);
  return HEAD + length;
}

int capture_qelvo_update_header(CaptureWriter* w) {
  // Called right after pending records reached the file: the count covers
  // exactly the bytes on disk, so the file is complete as it stands.
  uint8_t h[HEADER];
  fill_header(h, w->data_bytes);
  errno = 0;
  if (fseek(w->file, 0, SEEK_SET) != 0 || fwrite(h, 1, HEADER, w->file) != HEADER ||
      fseek(w->file, 0, SEEK_END) != 0) {
    capture_writer_fail(w, "cannot update the header: %s", strerror(errno ? errno : EIO));
    return -1;
  }
  return 0;
}
