// Small helpers the benchmarks share: a field of /proc/self/status and the
// folder of the built programs.
#pragma once

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "os/process.h"

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

// A new folder /tmp/bench-NAME-XXXXXX, made the current directory, holding
// hs.qelvo: `packets` high-speed packets written by the stand-in backend.
// False (with a line on stderr) when any step fails.
inline bool make_capture(const char* name, uint64_t packets, std::string* dir, std::string* file) {
  std::string tmpl = std::string("/tmp/bench-") + name + "-XXXXXX";
  if (!mkdtemp(&tmpl[0])) {
    perror("mkdtemp");
    return false;
  }
  *dir = tmpl;
  *file = *dir + "/hs.qelvo";
  if (chdir(dir->c_str()) != 0) return false;
  std::string gen =
      bin_dir() + "/qelvo.exe --offline " + std::to_string(packets) + " -s hs -f " + *file;
  OsProcess* proc = os_process_spawn(gen.c_str());
  OsProcessExit how{};
  bool ok = proc && os_process_wait(proc, 0xFFFFFFFFu, &how) == 1 && !how.crashed && !how.exit_code;
  if (proc) os_process_close(proc);
  if (!ok) fprintf(stderr, "bench_%s: could not generate %s\n", name, file->c_str());
  return ok;
}

}  // namespace benchutil
