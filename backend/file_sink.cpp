#include "backend/file_sink.h"

static int file_put(void* ctx, const uint8_t* bytes, uint32_t length, uint64_t ts) {
  FileSink* fs = (FileSink*)ctx;
  return capture_writer_write(fs->writer, bytes, length, ts, fs->error, sizeof fs->error) == 0 ? 0 : -1;
}

// The writer flushes itself when it closes.
static int file_flush(void*) { return 0; }

PacketSink file_sink_as_packet_sink(FileSink* fs) {
  fs->error[0] = 0;
  PacketSink p;
  p.put = file_put;
  p.flush = file_flush;
  p.ctx = fs;
  return p;
}
