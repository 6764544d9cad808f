// Small helpers the benchmarks share: a field of /proc/self/status and the
// folder of the built programs.
#pragma once

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace benchutil {

// A "Field:  N kB" line of /proc/self/status (RssAnon, RssFile, ...) in kB; -1 when absent.
inline long status_kb(const char* field) {
  FILE* f = fopen("/proc/self/status", "r");
  if (!f) return -1;
  char line[256];
  long kb = -1;
  size_t n = strlen(field);
  while (fgets(line, sizeof line, f))
    if (strncmp(line, field, n) == 0 && line[n] == ':') kb = strtol(line + n + 1, nullptr, 10);
  fclose(f);
  return kb;
}

// ORVANE_BIN, else the folder of this program (the programs are built beside it).
inline std::string bin_dir() {
  const char* env = getenv("ORVANE_BIN");
  if (env && *env) return env;
  char self[4096];
  ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  if (n <= 0) return ".";
  self[n] = 0;
  std::string s(self);
  return s.substr(0, s.rfind('/'));
}

}  // namespace benchutil
