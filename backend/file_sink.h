// A packet sink that writes straight into a capture file (offline mode).
#pragma once

#include "backend/packet_sink.h"
#include "store/capture/capture_file.h"

// The state of a file sink; the caller owns the writer.
struct FileSink {
  CaptureWriter* writer;  // where packets go
  char error[256];        // the writer's message after a failed put
};

// A PacketSink that writes through `fs` (its writer must be set).
PacketSink file_sink_as_packet_sink(FileSink* fs);
