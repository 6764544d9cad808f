// Classic pcap files of USB 2.0 packets (link types 288, 293 to 295): a 24-byte file
// header and 16-byte record heads {seconds, fraction, captured length,
// original length}. Microsecond and nanosecond files in either byte order are
// read; files are written little-endian.
//
// A record whose captured length exceeds the snapshot length (or 65,535) is
// damage and an error; a record cut short by the end of the file ends the
// reading cleanly. Writing microsecond files drops the sub-microsecond part
// of the time stamps (truncation, not rounding); nanosecond files keep them.
#include "store/capture/capture_internal.h"

enum { FILE_HEADER = 24, RECORD_HEAD = 16 };

int capture_pcap_start(CaptureReader* r, char* err, size_t err_cap) {
  long got = capture_source_fill(&r->src, FILE_HEADER);
  if (got < 0) {
    capture_set_error(err, err_cap, r->path, "read failed at offset 0: %s", strerror(r->src.read_error));
    return -1;
  }
  if (got < FILE_HEADER) {
    capture_set_error(err, err_cap, r->path, "damaged pcap file: header cut short at offset %ld", got);
    return -1;
  }
  const uint8_t* p = capture_source_ptr(&r->src);
  // The low 16 bits name the link type; the upper bits carry FCS details.
  uint32_t link = capture_rd32(p + 20, r->big) & 0xFFFFu;
  if (!capture_link_is_usb2(link)) {
    capture_set_error(err, err_cap, r->path,
                      "not a USB 2.0 capture (link type %u at offset 20, expected " CAPTURE_LINK_USB_2_0_TEXT ")",
                      link);
    return -1;
  }
  uint32_t snap = capture_rd32(p + 16, r->big);
  // Some writers leave the snapshot length 0; the packet cap applies anyway.
  r->snap_len = (snap == 0 || snap > CAPTURE_MAX_PACKET) ? CAPTURE_MAX_PACKET : snap;
  capture_source_advance(&r->src, FILE_HEADER);
  return 0;
}

int capture_pcap_next(CaptureReader* r, CapturePacket* out, char* err, size_t err_cap) {
  CaptureSource* src = &r->src;
  uint64_t off = capture_source_offset(src);
  long got = capture_source_fill(src, RECORD_HEAD);
  if (got < 0) goto read_failed;
  if (got < RECORD_HEAD) return 0;  // end of file, or a record head cut short
  {
    const uint8_t* p = capture_source_ptr(src);
    uint32_t caplen = capture_rd32(p + 8, r->big);
    if (caplen > r->snap_len) {
      capture_set_error(err, err_cap, r->path,
                        "damaged record at offset %llu: captured length %u exceeds the snapshot length %u",
                        (unsigned long long)off, caplen, r->snap_len);
      return -1;
    }
    size_t need = RECORD_HEAD + (size_t)caplen;
    got = capture_source_fill(src, need);
    if (got < 0) goto read_failed;
    if ((size_t)got < need) return 0;  // the last record is cut short
    p = capture_source_ptr(src);
    uint64_t sec = capture_rd32(p, r->big);
    uint64_t frac = capture_rd32(p + 4, r->big);
    uint64_t scale = r->format == CAPTURE_FORMAT_PCAP_US ? 1000u : 1u;
    out->bytes = p + RECORD_HEAD;
    out->length = caplen;
    out->timestamp_ns = sec * 1000000000u + frac * scale;
    capture_source_advance(src, need);
    return 1;
  }
read_failed:
  capture_set_error(err, err_cap, r->path, "read failed at offset %llu: %s", (unsigned long long)off,
                    strerror(r->src.read_error));
  return -1;
}

int capture_pcap_write_header(CaptureWriter* w) {
  uint8_t* h = capture_writer_reserve(w, FILE_HEADER);
  if (!h) return -1;
  capture_wr32le(h, w->format == CAPTURE_FORMAT_PCAP_NS ? 0xA1B23C4Du : 0xA1B2C3D4u);
  capture_wr16le(h + 4, 2);
  capture_wr16le(h + 6, 4);
  capture_wr32le(h + 8, 0);   // time zone: UTC
  capture_wr32le(h + 12, 0);  // accuracy: unused
  capture_wr32le(h + 16, CAPTURE_MAX_PACKET);
  capture_wr32le(h + 20, CAPTURE_LINK_USB_2_0);
  return 0;
}

int capture_pcap_write(CaptureWriter* w, const uint8_t* bytes, uint32_t length, uint64_t ts, char* err,
                       size_t err_cap) {
  if (length > CAPTURE_MAX_PACKET) {
    capture_set_error(err, err_cap, w->path, "packet of %u bytes exceeds the %d-byte limit", length, (int)CAPTURE_MAX_PACKET);
    return -1;
  }
  uint64_t sec = ts / 1000000000u;
  uint64_t ns = ts % 1000000000u;
  if (sec > UINT32_MAX) {
    // The 32-bit seconds field cannot hold it; wrapping would reorder packets.
    capture_set_error(err, err_cap, w->path, "time stamp %llu ns does not fit a pcap record", (unsigned long long)ts);
    return -1;
  }
  uint8_t* p = capture_writer_reserve(w, RECORD_HEAD + (size_t)length);
  if (!p) return -1;
  capture_wr32le(p, (uint32_t)sec);
  capture_wr32le(p + 4, (uint32_t)(w->format == CAPTURE_FORMAT_PCAP_NS ? ns : ns / 1000u));
  capture_wr32le(p + 8, length);
  capture_wr32le(p + 12, length);
  if (length) memcpy(p + RECORD_HEAD, bytes, length);
  return 0;
}
