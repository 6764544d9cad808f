// Temporary directories on POSIX: mkdtemp under $TMPDIR (or /tmp), and a
// depth-first removal that never follows symbolic links.
#include "os/temp_dir.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

const char* os_temp_root(void) {
  const char* base = getenv("TMPDIR");
  return base && *base ? base : "/tmp";
}

int os_make_temp_dir(const char* prefix, char* out, size_t cap) {
  int n = snprintf(out, cap, "%s/%sXXXXXX", os_temp_root(), prefix ? prefix : "");
  if (n < 0 || (size_t)n >= cap) {
    errno = ENAMETOOLONG;
    return -1;
  }
  return mkdtemp(out) ? 0 : -1;
}

int os_remove_tree(const char* path) {
  struct stat st;
  if (lstat(path, &st) != 0) return -1;
  if (!S_ISDIR(st.st_mode)) return unlink(path);
  int rc = 0;
  DIR* dir = opendir(path);
  if (!dir) return -1;
  while (struct dirent* e = readdir(dir)) {
    if (!strcmp(e->d_name, ".") || !strcmp(e->d_name, "..")) continue;
    std::string child = std::string(path) + "/" + e->d_name;
    if (os_remove_tree(child.c_str()) != 0) rc = -1;
  }
  closedir(dir);
  if (rmdir(path) != 0) rc = -1;
  return rc;
}
