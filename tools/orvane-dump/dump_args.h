// Command line of orvane-dump.
#pragma once

#include <cstddef>
#include <cstdint>

#include "acquisition/pipeline/capture_session.h"


struct DumpArgs {
  SessionView view;      // --view, packages by default
  uint32_t filter;     // --filter, 0xFFFF0000 (nothing hidden) by default
  uint8_t address;     // --select ADDR:EP, 0xFF:0xFF by default
  uint8_t endpoint;
  int json;            // --json
  int quiet;           // --quiet
  int stats;           // --stats
  int log;             // --log: engine messages on standard error
  int absolute_time;   // --absolute-time: pcap/pcapng stamps as the file has them
  const char* file;    // the capture file
};

// Parses argv; 0 on success, 1 for --help (usage printed), -1 with a one-line
// message in `err` for bad arguments.
int dump_parse_args(int argc, char** argv, DumpArgs* out, char* err, size_t cap);
void dump_usage(void);
