// Capture files in and out: the system's own "*.qelvo" files, pcap
// (microsecond and nanosecond) and pcapng of USB 2.0 packets (one packet per
// record, PID first): link type 288, and 293, 294, 295 (the same packets,
// captured at low, full and high speed), which are read alike. Reading is
// streaming: a file of any size is read record by record without loading it
// whole.
//
// Reading, in short:
//   - "*.qelvo": the data ends at 24 + the header's data count, even when the
//     file is longer (a data file still open by the program is). A record
//     longer than 4,096 bytes, or one that runs past the data count while the
//     file holds all of it, is damage (-1); a file that ends before its data
//     count ends the reading cleanly after the last whole record.
//   - pcap/pcapng: the USB 2.0 link types only ("not a USB 2.0 capture"
//     otherwise).
//     Packets up to 65,535 bytes are returned as they are (the consumer
//     decides what it accepts); longer ones, or longer than the snapshot
//     length, are damage. A record cut short by the end of the file ends the
//     reading cleanly. pcapng simple packet blocks carry no time stamp and
//     take the one of the packet before them (0 for the first).
//   - After 0 or -1 every later call returns the same (with the same message).
//   - Time stamps are handed out as the file stores them, unless the reader
//     is asked to count them from the first packet (see
//     capture_reader_set_time_base).
//
// Writing: records are buffered and written in whole records; a "*.qelvo"
// header's data count is brought up to date each time records reach the
// disk (about every MiB, at capture_writer_flush and at close), so a writer
// that is killed leaves a valid file lacking only its last unwritten
// records. Microsecond pcap drops the sub-microsecond part of time stamps;
// nanosecond pcap refuses time stamps beyond its 32-bit seconds; pcapng
// (nanosecond resolution) and "*.qelvo" keep every stamp exactly. A packet a
// format cannot hold (over 4,096 bytes in "*.qelvo", over 65,535 elsewhere)
// is refused with -1 and the writer carries on; a failed write (disk full)
// fails the writer for good, and close then returns -1.
#pragma once

#include <cstddef>
#include <cstdint>

enum CaptureFormat {
  CAPTURE_FORMAT_QELVO = 0,    // "WRDH" data file of 12-byte-headed packet records
  CAPTURE_FORMAT_PCAP_US = 1,  // classic pcap, microsecond time stamps
  CAPTURE_FORMAT_PCAP_NS = 2,  // classic pcap, nanosecond time stamps
  CAPTURE_FORMAT_PCAPNG = 3,
};

// How a reader hands out time stamps.
enum CaptureTimeBase {
  // As the file has them: pcap/pcapng stamps are wall-clock nanoseconds
  // since 1970.
  CAPTURE_TIME_AS_STORED = 0,
  // pcap/pcapng stamps count from the file's first packet (a stamp before it
  // reads as 0), as a capture from the backend counts them; wall-clock
  // nanoseconds are far too large for the decoder's single-precision time
  // text. The system's own "*.qelvo" files keep their stamps as they are.
  CAPTURE_TIME_FROM_FIRST = 1,
};

struct CapturePacket {
  const uint8_t* bytes;   // valid until the next capture_reader_next or close
  uint32_t length;
  uint64_t timestamp_ns;  // qelvo: the stored stamp; pcap/pcapng: converted to ns
};

struct CaptureReader;
struct CaptureWriter;

// Opens a capture file of any of the formats (recognised by content, not by
// name). Null on failure, with a one-line message naming the file in `err`.
CaptureReader* capture_reader_open(const char* path, char* err, size_t err_cap);
CaptureFormat capture_reader_format(const CaptureReader* reader);
// Chooses the time base of the packets handed out from now on (call it
// before the first packet; CAPTURE_TIME_AS_STORED by default).
void capture_reader_set_time_base(CaptureReader* reader, CaptureTimeBase base);
// 1: a packet in *out; 0: end of the file (a truncated last record ends it
// cleanly); -1: damaged file, with a message naming the file and the offset.
int capture_reader_next(CaptureReader* reader, CapturePacket* out, char* err, size_t err_cap);
void capture_reader_close(CaptureReader* reader);

// Creates (or truncates) the file and writes its header. Null on failure.
CaptureWriter* capture_writer_open(const char* path, CaptureFormat format, char* err, size_t err_cap);
// 0 on success, -1 on failure (message in err).
int capture_writer_write(CaptureWriter* writer, const uint8_t* bytes, uint32_t length,
                         uint64_t timestamp_ns, char* err, size_t err_cap);
// Writes every pending record now, so that the file on disk is a complete
// capture of everything written so far (for long, slow recordings).
// 0, or -1 when the writer has failed.
int capture_writer_flush(CaptureWriter* writer, char* err, size_t err_cap);
// Flushes and closes; 0 on success, -1 when the file could not be completed.
int capture_writer_close(CaptureWriter* writer, char* err, size_t err_cap);

// One record of a "*.qelvo" file: {u32 length, u64 time stamp}, both
// little-endian, then the packet's bytes. Every "*.qelvo" record is encoded
// here, the capture data file's included.
enum : uint32_t {
  CAPTURE_QELVO_RECORD_HEAD = 12,
  CAPTURE_QELVO_MAX_RECORD = CAPTURE_QELVO_RECORD_HEAD + 4096,
};
// Writes the record of the packet into `out` (room for 12 + length bytes)
// and returns its size; 0 (nothing written) for a packet over 4,096 bytes or
// missing bytes.
uint32_t capture_qelvo_record(uint8_t* out, const uint8_t* bytes, uint32_t length,
                              uint64_t timestamp_ns);

// "qelvo", "pcap-us", "pcap-ns", "pcapng" ("unknown" for anything else).
const char* capture_format_name(CaptureFormat format);
// Parses one of the names above ("pcap" alone means nanosecond pcap, which
// keeps time stamps exactly), case-insensitive. 0, or -1 when unknown.
int capture_format_from_name(const char* name, CaptureFormat* out);
// The format a file name's extension asks for: ".qelvo", ".pcap"
// (nanosecond), ".pcapng". 0, or -1 when the extension is none of them.
int capture_format_from_path(const char* path, CaptureFormat* out);
