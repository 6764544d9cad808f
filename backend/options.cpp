#include "backend/options.h"

#include <cstdio>
#include <cstring>
#include <cctype>

const char kBackendUsage[] =
    "usage: qelvo.exe [-s ls|fs|hs] [-c] [-f FILE] [--offline N] [--seed N]\n"
    "  -s ls|fs|hs   bus speed of the simulated bus (default hs)\n"
    "  -c            capture continuously (the default; accepted for compatibility)\n"
    "  -f FILE       also write every packet sent as a capture file\n"
    "                (.pcap: nanosecond pcap, .pcapng: pcapng, else the qelvo format)\n"
    "  --offline N   write N simulated packets to the -f file without the channel, then exit\n"
    "  --seed N      seed of the simulated bus (default 1)\n"
    "environment:\n"
    "  QELVO_REPLAY=FILE       replay FILE instead of simulating; exit when it ends\n"
    "  QELVO_REPLAY_RATE=max   replay as fast as the channel allows (default real: paced)\n"
    "  QELVO_SHM_SUFFIX=TEXT   appended to the channel's object names\n";

// Strict unsigned decimal: digits only, no sign, no overflow.
static int parse_u64(const char* text, uint64_t* out) {
  if (!text || !*text) return -1;
  uint64_t v = 0;
  for (const char* p = text; *p; p++) {
    if (*p < '0' || *p > '9') return -1;
    uint64_t d = (uint64_t)(*p - '0');
    if (v > (UINT64_MAX - d) / 10) return -1;
    v = v * 10 + d;
  }
  *out = v;
  return 0;
}

int backend_parse_options(int argc, char** argv, BackendOptions* o, char* err, size_t err_cap) {
  memset(o, 0, sizeof *o);
  o->speed = USB_SPEED_HIGH;
  o->seed = 1;
  for (int i = 1; i < argc; i++) {
    const char* a = argv[i];
    const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
    if (strcmp(a, "-s") == 0) {
      if (!value) {
        snprintf(err, err_cap, "-s needs a speed: ls, fs or hs");
        return -1;
      }
      if (strcmp(value, "ls") == 0)
        o->speed = USB_SPEED_LOW;
      else if (strcmp(value, "fs") == 0)
        o->speed = USB_SPEED_FULL;
      else if (strcmp(value, "hs") == 0)
        o->speed = USB_SPEED_HIGH;
      else {
        snprintf(err, err_cap, "unknown speed \"%s\" (use ls, fs or hs)", value);
        return -1;
      }
      i++;
    } else if (strcmp(a, "-c") == 0) {
      o->continuous = 1;
    } else if (strcmp(a, "-f") == 0) {
      if (!value || !*value) {
        snprintf(err, err_cap, "-f needs a file name");
        return -1;
      }
      o->file = value;
      i++;
    } else if (strcmp(a, "--offline") == 0) {
      if (parse_u64(value, &o->offline_count) != 0) {
        snprintf(err, err_cap, "--offline needs a packet count, got \"%s\"", value ? value : "");
        return -1;
      }
      o->offline = 1;
      i++;
    } else if (strcmp(a, "--seed") == 0) {
      if (parse_u64(value, &o->seed) != 0) {
        snprintf(err, err_cap, "--seed needs an unsigned number, got \"%s\"", value ? value : "");
        return -1;
      }
      i++;
    } else if (strcmp(a, "-h") == 0 || strcmp(a, "--help") == 0) {
      o->help = 1;
    } else {
      snprintf(err, err_cap, "unknown argument \"%s\"", a);
      return -1;
    }
  }
  if (o->offline && !o->file) {
    snprintf(err, err_cap, "--offline needs -f FILE to write to");
    return -1;
  }
  return 0;
}

static int ends_with(const char* s, const char* suffix) {
  size_t n = strlen(s), m = strlen(suffix);
  if (n < m) return 0;
  for (size_t i = 0; i < m; i++)
    if (std::tolower((unsigned char)s[n - m + i]) != std::tolower((unsigned char)suffix[i])) return 0;
  return 1;
}

CaptureFormat backend_file_format(const char* path) {
  if (ends_with(path, ".pcap")) return CAPTURE_FORMAT_PCAP_NS;
  if (ends_with(path, ".pcapng")) return CAPTURE_FORMAT_PCAPNG;
  return CAPTURE_FORMAT_QELVO;
}
