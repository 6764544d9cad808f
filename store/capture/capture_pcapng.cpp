// pcapng files of USB 2.0 packets. Read: section headers in either byte
// order (several sections per file), interface descriptions with their time
// resolution (if_tsresol, default microseconds) and offset (if_tsoffset),
// enhanced and simple packet blocks; every other block is skipped. Written:
// one section, one interface with nanosecond resolution, enhanced packet
// blocks, little-endian.
//
// Rules of the reader:
//   1. Every block must be at least 12 bytes, a multiple of 4, and end with
//      the same length it starts with; otherwise the file is damaged.
//   2. A block cut short by the end of the file ends the reading cleanly.
//   3. A packet must name an interface of its section with a USB 2.0 link type.
//   4. A simple packet block has no time stamp; it takes the time stamp of
//      the packet before it, so time never runs backwards in a replay.
//   5. Blocks that are parsed are held whole in the read buffer, so none may
//      exceed CAPTURE_PCAPNG_MAX_BLOCK; skipped blocks may be of any size.
#include <cstdlib>

#include "store/capture/capture_internal.h"

enum : uint32_t {
  BLOCK_SHB = 0x0A0D0D0Au,
  BLOCK_IDB = 1,
  BLOCK_SPB = 3,
  BLOCK_EPB = 6,
  BYTE_ORDER_MAGIC = 0x1A2B3C4Du,
  OPT_END = 0,
  OPT_TSRESOL = 9,
  OPT_TSOFFSET = 14,
  MAX_INTERFACES = 65536,
};

static int read_failed(CaptureReader* r, uint64_t off, char* err, size_t err_cap) {
  capture_set_error(err, err_cap, r->path, "read failed at offset %llu: %s", (unsigned long long)off,
                    strerror(r->src.read_error));
  return -1;
}

// Reads the byte-order magic of a section header at p. 0 or -1 (not one).
static int section_order(const uint8_t* p, int* big) {
  if (capture_rd32(p + 8, 0) == BYTE_ORDER_MAGIC) {
    *big = 0;
    return 0;
  }
  if (capture_rd32(p + 8, 1) == BYTE_ORDER_MAGIC) {
    *big = 1;
    return 0;
  }
  return -1;
}

int capture_pcapng_start(CaptureReader* r, char* err, size_t err_cap) {
  long got = capture_source_fill(&r->src, 12);
  if (got < 0) return read_failed(r, 0, err, err_cap);
  if (got < 12) {
    capture_set_error(err, err_cap, r->path, "damaged pcapng file: section header cut short at offset %ld", got);
    return -1;
  }
  const uint8_t* p = capture_source_ptr(&r->src);
  if (section_order(p, &r->big) != 0) {
    capture_set_error(err, err_cap, r->path, "damaged pcapng file: no byte-order magic at offset 8");
    return -1;
  }
  // Tell a foreign capture at once when the first interface follows the
  // section header, instead of at its first packet.
  uint32_t shb_len = capture_rd32(p + 4, r->big);
  if (shb_len >= 28 && shb_len <= CAPTURE_PCAPNG_MAX_BLOCK && shb_len % 4 == 0) {
    got = capture_source_fill(&r->src, shb_len + 12);
    if (got < 0) return read_failed(r, 0, err, err_cap);
    p = capture_source_ptr(&r->src);
    if ((size_t)got >= shb_len + 12 && capture_rd32(p + shb_len, r->big) == BLOCK_IDB) {
      uint32_t link = capture_rd16(p + shb_len + 8, r->big);
      if (!capture_link_is_usb2(link)) {
        capture_set_error(err, err_cap, r->path,
                          "not a USB 2.0 capture (link type %u at offset %u, expected " CAPTURE_LINK_USB_2_0_TEXT ")",
                          link, shb_len + 8);
        return -1;
      }
    }
  }
  return 0;
}

static int damaged(CaptureReader* r, uint64_t off, const char* what, char* err, size_t err_cap) {
  capture_set_error(err, err_cap, r->path, "damaged pcapng block at offset %llu: %s", (unsigned long long)off,
                    what);
  return -1;
}

// Fills an interface from its description block (whole block at p, total bytes).
static int parse_interface(CaptureReader* r, const uint8_t* p, uint32_t total, uint64_t off,
                           CapturePcapngInterface* it, char* err, size_t err_cap) {
  memset(it, 0, sizeof *it);
  it->link_type = capture_rd16(p + 8, r->big);
  it->snap_len = capture_rd32(p + 12, r->big);
  it->mul = 1000;  // default resolution: microseconds
  it->div = 1;
  const uint8_t* o = p + 16;
  const uint8_t* end = p + total - 4;
  while (end - o >= 4) {
    uint16_t code = capture_rd16(o, r->big);
    uint16_t len = capture_rd16(o + 2, r->big);
    if (code == OPT_END) break;
    size_t padded = ((size_t)len + 3) & ~(size_t)3;
    if ((size_t)(end - o - 4) < padded) return damaged(r, off, "interface option runs past its block", err, err_cap);
    const uint8_t* v = o + 4;
    if (code == OPT_TSRESOL && len >= 1) {
      unsigned exp = v[0] & 0x7F;
      if (v[0] & 0x80) {
        if (exp > 63) return damaged(r, off, "unsupported time resolution", err, err_cap);
        it->binary = 1;
        it->pow2 = (uint8_t)exp;  // 0 is a resolution too: whole seconds
      } else {
        if (exp > 19) return damaged(r, off, "unsupported time resolution", err, err_cap);
        uint64_t scale = 1;
        for (unsigned i = 0; i < (exp > 9 ? exp - 9 : 9 - exp); i++) scale *= 10;
        it->mul = exp <= 9 ? (uint32_t)scale : 1;
        it->div = exp <= 9 ? 1 : scale;
        it->binary = 0;
      }
    } else if (code == OPT_TSOFFSET && len >= 8) {
      uint64_t lo = capture_rd32(v, r->big), hi = capture_rd32(v + 4, r->big);
      it->offset_s = (int64_t)(r->big ? (lo << 32 | hi) : (hi << 32 | lo));
    }
    o += 4 + padded;
  }
  return 0;
}

static uint64_t ticks_to_ns(const CapturePcapngInterface* it, uint64_t ticks) {
  uint64_t ns;
  if (it->binary) {
    unsigned v = it->pow2;
    if (v > 32) {
      // Finer than 2^-32 s is finer than a nanosecond: drop the excess bits first.
      ticks >>= (v - 32);
      v = 32;
    }
    uint64_t mask = ((uint64_t)1 << v) - 1;
    ns = (ticks >> v) * 1000000000u + (((ticks & mask) * 1000000000u) >> v);
  } else {
    ns = it->div > 1 ? ticks / it->div : ticks * it->mul;
  }
  return ns + (uint64_t)it->offset_s * 1000000000u;
}

// Skips a block that is not parsed, checking its trailing length. 1, 0 (cut short), -1.
static int skip_block(CaptureReader* r, uint64_t off, uint32_t total, char* err, size_t err_cap) {
  int s = capture_source_skip(&r->src, total - 4);
  if (s < 0) return read_failed(r, off, err, err_cap);
  if (s == 0) return 0;
  long got = capture_source_fill(&r->src, 4);
  if (got < 0) return read_failed(r, off, err, err_cap);
  if (got < 4) return 0;
  if (capture_rd32(capture_source_ptr(&r->src), r->big) != total)
    return damaged(r, off, "trailing length differs from the leading one", err, err_cap);
  capture_source_advance(&r->src, 4);
  return 1;
}

int capture_pcapng_next(CaptureReader* r, CapturePacket* out, char* err, size_t err_cap) {
  CaptureSource* src = &r->src;
  for (;;) {
    uint64_t off = capture_source_offset(src);
    long got = capture_source_fill(src, 12);
    if (got < 0) return read_failed(r, off, err, err_cap);
    if (got < 12) return 0;  // end of file, or a block head cut short
    const uint8_t* p = capture_source_ptr(src);
    // The section header's type reads the same in both orders; its magic
    // sets the order of everything up to the next section header.
    uint32_t type = capture_rd32(p, r->big);
    if (type == BLOCK_SHB && section_order(p, &r->big) != 0)
      return damaged(r, off, "section header without byte-order magic", err, err_cap);
    uint32_t total = capture_rd32(p + 4, r->big);
    if (total < 12 || total % 4 != 0) {
      char what[64];
      snprintf(what, sizeof what, "impossible block length %u", total);
      return damaged(r, off, what, err, err_cap);
    }
    if (type != BLOCK_SHB && type != BLOCK_IDB && type != BLOCK_EPB && type != BLOCK_SPB) {
      int s = skip_block(r, off, total, err, err_cap);
      if (s <= 0) return s;
      continue;
    }
    if (total > CAPTURE_PCAPNG_MAX_BLOCK) {
      char what[64];
      snprintf(what, sizeof what, "block of %u bytes is too large", total);
      return damaged(r, off, what, err, err_cap);
    }
    got = capture_source_fill(src, total);
    if (got < 0) return read_failed(r, off, err, err_cap);
    if ((size_t)got < total) return 0;  // the last block is cut short
    p = capture_source_ptr(src);
    if (capture_rd32(p + total - 4, r->big) != total)
      return damaged(r, off, "trailing length differs from the leading one", err, err_cap);

    if (type == BLOCK_SHB) {
      if (total < 28) return damaged(r, off, "section header too short", err, err_cap);
      uint16_t major = capture_rd16(p + 12, r->big);
      if (major != 1) {
        char what[64];
        snprintf(what, sizeof what, "unsupported section version %u", major);
        return damaged(r, off, what, err, err_cap);
      }
      r->iface_count = 0;  // interfaces belong to their section
    } else if (type == BLOCK_IDB) {
      if (total < 20) return damaged(r, off, "interface description too short", err, err_cap);
      if (r->iface_count == r->iface_cap) {
        if (r->iface_cap >= MAX_INTERFACES) return damaged(r, off, "too many interfaces", err, err_cap);
        uint32_t cap = r->iface_cap ? r->iface_cap * 2 : 4;
        void* grown = realloc(r->ifaces, cap * sizeof *r->ifaces);
        if (!grown) {
          capture_set_error(err, err_cap, r->path, "out of memory at offset %llu", (unsigned long long)off);
          return -1;
        }
        r->ifaces = (CapturePcapngInterface*)grown;
        r->iface_cap = cap;
      }
      if (parse_interface(r, p, total, off, &r->ifaces[r->iface_count], err, err_cap) != 0) return -1;
      r->iface_count++;
    } else {
      uint32_t iface = 0, caplen, data_at;
      uint64_t ts;
      if (type == BLOCK_EPB) {
        if (total < 32) return damaged(r, off, "packet block too short", err, err_cap);
        iface = capture_rd32(p + 8, r->big);
        ts = (uint64_t)capture_rd32(p + 12, r->big) << 32 | capture_rd32(p + 16, r->big);
        caplen = capture_rd32(p + 20, r->big);
        data_at = 28;
        if (caplen > total - 32) return damaged(r, off, "captured length runs past its block", err, err_cap);
      } else {
        if (total < 16) return damaged(r, off, "packet block too short", err, err_cap);
        caplen = capture_rd32(p + 8, r->big);  // the original length; captured is what fits
        if (caplen > total - 16) caplen = total - 16;
        data_at = 12;
        ts = 0;
      }
      if (iface >= r->iface_count) {
        char what[96];
        snprintf(what, sizeof what, "packet of interface %u, but the section declares %u", iface, r->iface_count);
        return damaged(r, off, what, err, err_cap);
      }
      const CapturePcapngInterface* it = &r->ifaces[iface];
      if (!capture_link_is_usb2(it->link_type)) {
        capture_set_error(err, err_cap, r->path, "not a USB 2.0 capture (link type %u at offset %llu)",
                          it->link_type, (unsigned long long)off);
        return -1;
      }
      if (type == BLOCK_SPB && it->snap_len && caplen > it->snap_len) caplen = it->snap_len;
      if (caplen > CAPTURE_MAX_PACKET || (it->snap_len && caplen > it->snap_len)) {
        char what[96];
        snprintf(what, sizeof what, "captured length %u exceeds the limit", caplen);
        return damaged(r, off, what, err, err_cap);
      }
      out->bytes = p + data_at;
      out->length = caplen;
      out->timestamp_ns = type == BLOCK_EPB ? ticks_to_ns(it, ts) : r->last_ts;
      r->last_ts = out->timestamp_ns;
      capture_source_advance(src, total);
      return 1;
    }
    capture_source_advance(src, total);
  }
}

int capture_pcapng_write_header(CaptureWriter* w) {
  uint8_t* p = capture_writer_reserve(w, 28 + 32);
  if (!p) return -1;
  capture_wr32le(p, BLOCK_SHB);
  capture_wr32le(p + 4, 28);
  capture_wr32le(p + 8, BYTE_ORDER_MAGIC);
  capture_wr16le(p + 12, 1);
  capture_wr16le(p + 14, 0);
  capture_wr64le(p + 16, UINT64_MAX);  // section length not given
  capture_wr32le(p + 24, 28);
  uint8_t* i = p + 28;
  capture_wr32le(i, BLOCK_IDB);
  capture_wr32le(i + 4, 32);
  capture_wr16le(i + 8, CAPTURE_LINK_USB_2_0);
  capture_wr16le(i + 10, 0);
  capture_wr32le(i + 12, CAPTURE_MAX_PACKET);
  capture_wr16le(i + 16, OPT_TSRESOL);
  capture_wr16le(i + 18, 1);
  i[20] = 9;  // nanoseconds: time stamps are kept exactly
  i[21] = i[22] = i[23] = 0;
  capture_wr32le(i + 24, OPT_END);
  capture_wr32le(i + 28, 32);
  return 0;
}

int capture_pcapng_write(CaptureWriter* w, const uint8_t* bytes, uint32_t length, uint64_t ts, char* err,
                         size_t err_cap) {
  if (length > CAPTURE_MAX_PACKET) {
    capture_set_error(err, err_cap, w->path, "packet of %u bytes exceeds the %d-byte limit", length,
                      (int)CAPTURE_MAX_PACKET);
    return -1;
  }
  uint32_t padded = (length + 3) & ~3u;
  uint32_t total = 32 + padded;
  uint8_t* p = capture_writer_reserve(w, total);
  if (!p) return -1;
  capture_wr32le(p, BLOCK_EPB);
  capture_wr32le(p + 4, total);
  capture_wr32le(p + 8, 0);
  capture_wr32le(p + 12, (uint32_t)(ts >> 32));
  capture_wr32le(p + 16, (uint32_t)ts);
  capture_wr32le(p + 20, length);
  capture_wr32le(p + 24, length);
  if (length) memcpy(p + 28, bytes, length);
  memset(p + 28 + length, 0, padded - length);
  capture_wr32le(p + 28 + padded, total);
  return 0;
}
