// Option parsing for orvane-dump: every value is checked whole (no trailing
// characters, no overflow).
#include "tools/orvane-dump/dump_args.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

void dump_usage(void) {
  fprintf(stderr,
          "usage: orvane-dump [options] FILE\n"
          "  Replays a capture file (*.qelvo, pcap, pcapng) through the decoder and prints one view.\n"
          "  --view packages|transactions|data|descriptors   the view to print (default packages)\n"
          "  --filter MASK    32-bit attribute filter mask in hex (default FFFF0000: nothing hidden)\n"
          "  --select ADDR:EP the selected device address and endpoint, decimal (their payloads go\n"
          "                   to script/main.lua of the current directory)\n"
          "  --json           JSON Lines, one object per visible row\n"
          "  --quiet          print no rows\n"
          "  --stats          print counts and speed as one JSON object on standard error\n"
          "  --log            show the engine's log messages on standard error\n"
          "  --absolute-time  keep the wall-clock time stamps of pcap and pcapng files\n"
          "                   (by default times count from the file's first packet)\n"
          "JSON strings are UTF-8; a byte that is not part of valid UTF-8 is written as \\u00XX.\n"
          "Exit status: 0 success, 1 unreadable or damaged file or failed output, 2 bad arguments.\n");
}

static int parse_u32_hex(const char* s, uint32_t* out) {
  if (!s || !*s) return -1;
  if (s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) s += 2;
  if (!*s || strlen(s) > 8) return -1;
  uint32_t v = 0;
  for (; *s; s++) {
    int d;
    if (*s >= '0' && *s <= '9') d = *s - '0';
    else if (*s >= 'a' && *s <= 'f') d = *s - 'a' + 10;
    else if (*s >= 'A' && *s <= 'F') d = *s - 'A' + 10;
    else return -1;
    v = (v << 4) | (uint32_t)d;
  }
  *out = v;
  return 0;
}

static int parse_byte_dec(const char* s, size_t n, uint8_t* out) {
  if (n == 0 || n > 3) return -1;
  unsigned v = 0;
  for (size_t i = 0; i < n; i++) {
    if (s[i] < '0' || s[i] > '9') return -1;
    v = v * 10 + (unsigned)(s[i] - '0');
  }
  if (v > 255) return -1;
  *out = (uint8_t)v;
  return 0;
}

int dump_parse_args(int argc, char** argv, DumpArgs* out, char* err, size_t cap) {
  *out = DumpArgs{VIEW_PACKAGES, 0xFFFF0000u, 0xFF, 0xFF, 0, 0, 0, 0, 0, nullptr};
  for (int i = 1; i < argc; i++) {
    const char* a = argv[i];
    auto value = [&](const char* name) -> const char* {
      if (i + 1 >= argc) {
        snprintf(err, cap, "option %s needs a value", name);
        return nullptr;
      }
      return argv[++i];
    };
    if (!strcmp(a, "--help") || !strcmp(a, "-h")) {
      dump_usage();
      return 1;
    } else if (!strcmp(a, "--view")) {
      const char* v = value(a);
      if (!v) return -1;
      if (!strcmp(v, "packages")) out->view = VIEW_PACKAGES;
      else if (!strcmp(v, "transactions")) out->view = VIEW_TRANSACTIONS;
      else if (!strcmp(v, "data")) out->view = VIEW_DATA;
      else if (!strcmp(v, "descriptors")) out->view = VIEW_DESCRIPTORS;
      else {
        snprintf(err, cap, "unknown view '%s' (packages, transactions, data, descriptors)", v);
        return -1;
      }
    } else if (!strcmp(a, "--filter")) {
      const char* v = value(a);
      if (!v) return -1;
      if (parse_u32_hex(v, &out->filter) != 0) {
        snprintf(err, cap, "bad filter mask '%s' (up to 8 hex digits)", v);
        return -1;
      }
    } else if (!strcmp(a, "--select")) {
      const char* v = value(a);
      if (!v) return -1;
      const char* colon = strchr(v, ':');
      if (!colon || parse_byte_dec(v, (size_t)(colon - v), &out->address) != 0 ||
          parse_byte_dec(colon + 1, strlen(colon + 1), &out->endpoint) != 0) {
        snprintf(err, cap, "bad selection '%s' (ADDR:EP, decimal, 0 to 255)", v);
        return -1;
      }
    } else if (!strcmp(a, "--json")) {
      out->json = 1;
    } else if (!strcmp(a, "--quiet")) {
      out->quiet = 1;
    } else if (!strcmp(a, "--stats")) {
      out->stats = 1;
    } else if (!strcmp(a, "--log")) {
      out->log = 1;
    } else if (!strcmp(a, "--absolute-time")) {
      out->absolute_time = 1;
    } else if (a[0] == '-' && a[1] != 0) {
      snprintf(err, cap, "unknown option '%s'", a);
      return -1;
    } else if (out->file) {
      snprintf(err, cap, "more than one file given ('%s' and '%s')", out->file, a);
      return -1;
    } else {
      out->file = a;
    }
  }
  if (!out->file) {
    snprintf(err, cap, "no capture file given");
    return -1;
  }
  return 0;
}
