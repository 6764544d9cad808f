// Names of the capture formats and the format a file name asks for.
#include <cstring>

#include "store/capture/capture_file.h"

const char* capture_format_name(CaptureFormat format) {
  switch (format) {
    case CAPTURE_FORMAT_QELVO: return "qelvo";
    case CAPTURE_FORMAT_PCAP_US: return "pcap-us";
    case CAPTURE_FORMAT_PCAP_NS: return "pcap-ns";
    case CAPTURE_FORMAT_PCAPNG: return "pcapng";
  }
  return "unknown";
}

static int same_text(const char* a, const char* b) {
  for (; *a && *b; a++, b++) {
    char x = (*a >= 'A' && *a <= 'Z') ? (char)(*a - 'A' + 'a') : *a;
    char y = (*b >= 'A' && *b <= 'Z') ? (char)(*b - 'A' + 'a') : *b;
    if (x != y) return 0;
  }
  return *a == *b;
}

int capture_format_from_name(const char* name, CaptureFormat* out) {
  static const struct {
    const char* name;
    CaptureFormat format;
  } names[] = {
      {"qelvo", CAPTURE_FORMAT_QELVO},    {"pcap-us", CAPTURE_FORMAT_PCAP_US}, {"pcap-ns", CAPTURE_FORMAT_PCAP_NS},
      {"pcap", CAPTURE_FORMAT_PCAP_NS},   {"pcapng", CAPTURE_FORMAT_PCAPNG},
  };
  if (!name) return -1;
  for (const auto& n : names) {
    if (same_text(name, n.name)) {
      *out = n.format;
      return 0;
    }
  }
  return -1;
}

int capture_format_from_path(const char* path, CaptureFormat* out) {
  if (!path) return -1;
  const char* dot = strrchr(path, '.');
  const char* slash = strrchr(path, '/');
  const char* backslash = strrchr(path, '\\');
  if (!dot || (slash && dot < slash) || (backslash && dot < backslash)) return -1;
  const char* ext = dot + 1;
  // "pcap-us"/"pcap-ns" are format names, not extensions.
  if (same_text(ext, "pcap-us") || same_text(ext, "pcap-ns")) return -1;
  return capture_format_from_name(ext, out);
}
