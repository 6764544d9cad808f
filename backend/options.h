// The backend's command line: what the analyzer and the plugin pass
// ("-s hs -c -f cfile.qelvo") and the stand-in's own options.
//
//   -s ls|fs|hs     bus speed of the simulation (default hs)
//   -c              capture continuously (accepted; the backend always does)
//   -f FILE         also write every packet sent as a capture file
//   --offline N     write N simulated packets to the -f file, no channel
//   --seed N        seed of the simulation (default 1)
//   -h, --help      usage
#pragma once

#include <cstddef>
#include <cstdint>

#include "backend/device_model.h"
#include "store/capture/capture_file.h"

struct BackendOptions {
  UsbSpeed speed;           // -s
  int continuous;           // -c was given
  const char* file;         // -f, null when absent
  int offline;              // --offline was given
  uint64_t offline_count;   // its packet count
  uint64_t seed;            // --seed
  int help;                 // -h or --help
};

// The usage text.
extern const char kBackendUsage[];

// Parses argv[1..argc-1]. 0 on success; -1 with a one-line message in `err`
// for an unknown option, a missing or bad value, or --offline without -f.
int backend_parse_options(int argc, char** argv, BackendOptions* out, char* err, size_t err_cap);

// The capture file format for a file name: ".pcap" nanosecond pcap,
// ".pcapng" pcapng, anything else the system's own format.
CaptureFormat backend_file_format(const char* path);
