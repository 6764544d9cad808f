// The one reader over every capture format: recognises the file by its first
// bytes, then hands each call to the reader of that format. After the end or
// an error the reader stays there: later calls return the same result
// without touching the file again.
#include <cstdarg>
#include <cstdlib>

#include "store/capture/capture_internal.h"

void capture_set_error(char* err, size_t err_cap, const char* path, const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  capture_vset_error(err, err_cap, path, fmt, ap);
  va_end(ap);
}

void capture_vset_error(char* err, size_t err_cap, const char* path, const char* fmt, va_list ap) {
  if (!err || err_cap == 0) return;
  char reason[512];
  vsnprintf(reason, sizeof reason, fmt, ap);
  if (!path) path = "(no file)";
  size_t plen = strlen(path), rlen = strlen(reason);
  if (plen + 2 + rlen < err_cap) {
    snprintf(err, err_cap, "%s: %s", path, reason);
    return;
  }
  // The reason is what the reader needs: a path too long for the message is
  // cut at its front (its file name stays), never the reason.
  static const char kCut[] = "...";
  size_t fixed = (sizeof kCut - 1) + 2 + rlen + 1;
  if (fixed + 8 > err_cap) {
    snprintf(err, err_cap, "%s", reason);
    return;
  }
  const char* tail = path + plen - (err_cap - fixed);
  while (((unsigned char)*tail & 0xC0) == 0x80) tail++;  // not inside a UTF-8 sequence
  snprintf(err, err_cap, "%s%s: %s", kCut, tail, reason);
}

static char* copy_text(const char* s) {
  size_t n = strlen(s) + 1;
  char* c = (char*)malloc(n);
  if (c) memcpy(c, s, n);
  return c;
}

CaptureReader* capture_reader_open(const char* path, char* err, size_t err_cap) {
  if (!path) {
    capture_set_error(err, err_cap, nullptr, "no file name");
    return nullptr;
  }
  CaptureReader* r = (CaptureReader*)calloc(1, sizeof *r);
  if (!r || !(r->path = copy_text(path))) {
    free(r);
    capture_set_error(err, err_cap, path, "out of memory");
    return nullptr;
  }
  if (capture_source_open(&r->src, path, err, err_cap) != 0) {
    free(r->path);
    free(r);
    return nullptr;
  }
  long got = capture_source_fill(&r->src, 4);
  int rc = -1;
  if (got < 0) {
    capture_set_error(err, err_cap, path, "read failed at offset 0: %s", strerror(r->src.read_error));
  } else if (got < 4) {
    capture_set_error(err, err_cap, path, "not a capture file (only %ld bytes)", got);
  } else {
    const uint8_t* p = capture_source_ptr(&r->src);
    uint32_t magic_le = capture_rd32(p, 0);
    uint32_t magic_be = capture_rd32(p, 1);
    if (memcmp(p, "WRDH", 4) == 0) {
      r->format = CAPTURE_FORMAT_QELVO;
      rc = capture_qelvo_start(r, err, err_cap);
    } else if (magic_le == 0xA1B2C3D4u || magic_be == 0xA1B2C3D4u) {
      r->format = CAPTURE_FORMAT_PCAP_US;
      r->big = magic_be == 0xA1B2C3D4u;
      rc = capture_pcap_start(r, err, err_cap);
    } else if (magic_le == 0xA1B23C4Du || magic_be == 0xA1B23C4Du) {
      r->format = CAPTURE_FORMAT_PCAP_NS;
      r->big = magic_be == 0xA1B23C4Du;
      rc = capture_pcap_start(r, err, err_cap);
    } else if (magic_le == 0x0A0D0D0Au) {
      r->format = CAPTURE_FORMAT_PCAPNG;
      rc = capture_pcapng_start(r, err, err_cap);
    } else {
      capture_set_error(err, err_cap, path,
                        "not a capture file (unknown magic %02x %02x %02x %02x at offset 0)", p[0], p[1],
                        p[2], p[3]);
    }
  }
  if (rc != 0) {
    capture_reader_close(r);
    return nullptr;
  }
  return r;
}

CaptureFormat capture_reader_format(const CaptureReader* reader) { return reader->format; }

void capture_reader_set_time_base(CaptureReader* reader, CaptureTimeBase base) { reader->time_base = base; }

// Counts a pcap/pcapng stamp from the first packet of the file.
static uint64_t from_first(CaptureReader* r, uint64_t ts) {
  if (!r->have_first) {
    r->have_first = 1;
    r->first_ts = ts;
  }
  return ts >= r->first_ts ? ts - r->first_ts : 0;  // a stamp going back reads as the start
}

int capture_reader_next(CaptureReader* reader, CapturePacket* out, char* err, size_t err_cap) {
  int rc;
  if (reader->ended) {
    rc = reader->ended < 0 ? -1 : 0;
  } else {
    char* msg = reader->last_error;
    const size_t cap = sizeof reader->last_error;
    switch (reader->format) {
      case CAPTURE_FORMAT_QELVO: rc = capture_qelvo_next(reader, out, msg, cap); break;
      case CAPTURE_FORMAT_PCAP_US:
      case CAPTURE_FORMAT_PCAP_NS: rc = capture_pcap_next(reader, out, msg, cap); break;
      case CAPTURE_FORMAT_PCAPNG: rc = capture_pcapng_next(reader, out, msg, cap); break;
      default:
        capture_set_error(msg, cap, reader->path, "unknown format");
        rc = -1;
        break;
    }
    if (rc <= 0) reader->ended = rc == 0 ? 1 : -1;
    if (rc == 1 && reader->time_base == CAPTURE_TIME_FROM_FIRST && reader->format != CAPTURE_FORMAT_QELVO)
      out->timestamp_ns = from_first(reader, out->timestamp_ns);
  }
  // An error stays reported with its first message on every later call.
  if (rc < 0 && err && err_cap) snprintf(err, err_cap, "%s", reader->last_error);
  return rc;
}

void capture_reader_close(CaptureReader* reader) {
  if (!reader) return;
  capture_source_close(&reader->src);
  free(reader->ifaces);
  free(reader->path);
  free(reader);
}
