// Store files: data directory, paths, creation, mapping, growth, messages.
#include "store/store_files.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "os/log.h"

namespace {

std::mutex g_dir_lock;
char g_data_dir[4096] = "data";

}  // namespace

void store_set_data_dir(const char* dir) {
  std::lock_guard<std::mutex> hold(g_dir_lock);
  snprintf(g_data_dir, sizeof g_data_dir, "%s", dir && *dir ? dir : "data");
}

const char* store_data_dir(void) {
  std::lock_guard<std::mutex> hold(g_dir_lock);
  return g_data_dir;
}

int store_format_path(const char* dir, const char* name, char* out, size_t cap) {
  int n = snprintf(out, cap, "%s/%s", dir, name);
  if (n < 0 || (size_t)n >= cap) {
    if (cap) out[0] = 0;
    return -1;
  }
  return 0;
}

const char* datafile_path(const char* name) {
  static thread_local char path[4096];
  if (!name) return nullptr;
  return store_format_path(store_data_dir(), name, path, sizeof path) == 0 ? path : nullptr;
}

void store_message(int also_stderr, const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  if (also_stderr) {
    va_list copy;
    va_copy(copy, ap);
    vfprintf(stderr, fmt, copy);
    va_end(copy);
  }
  orvane_vlog(fmt, ap);
  va_end(ap);
}

char* store_strdup(const char* s) {
  size_t n = strlen(s) + 1;
  char* copy = (char*)malloc(n);
  if (copy) memcpy(copy, s, n);
  return copy;
}

// Makes sure the directory exists; 0 on success.
static int ensure_dir(const char* dir) {
  if (os_path_access(dir) == 0) return 0;
  store_message(0, "目录 '%s' 不存在，正在尝试创建...\n", dir);
  // Another thread may create it at the same moment: that is success too.
  if (os_make_dir(dir) != 0 && os_path_access(dir) != 0) {
    store_message(0, "错误: 目录创建失败");
    return -1;
  }
  return 0;
}

os_file store_create_file(const char* dir, const char* path, uint64_t initial_size,
                          uint64_t* actual_size) {
  if (ensure_dir(dir) != 0) return OS_FILE_INVALID;
  store_message(0, "filename = %s", path);
  os_file f;
  if (os_file_create_truncate(path, &f) != 0) {
    store_message(1, "打开文件失败，错误码: %lu\n", os_file_error());
    return OS_FILE_INVALID;
  }
  uint64_t size = 0;
  if (os_file_size(f, &size) != 0) {
    store_message(1, "获取文件大小失败，错误码: %lu\n", os_file_error());
    os_file_close(f);
    return OS_FILE_INVALID;
  }
  if (size == 0) {
    if (os_file_set_size(f, initial_size) != 0) {
      store_message(1, "设置文件大小失败，错误码: %lu\n", os_file_error());
      os_file_close(f);
      return OS_FILE_INVALID;
    }
    size = initial_size;
  }
  if (actual_size) *actual_size = size;
  return f;
}

os_file create_data_file(const char* name, uint64_t initial_size, uint64_t* actual_size) {
  char dir[4096];
  snprintf(dir, sizeof dir, "%s", store_data_dir());
  char path[4096];
  if (!name || store_format_path(dir, name, path, sizeof path) != 0) {
    errno = ENAMETOOLONG;
    store_message(1, "打开文件失败，错误码: %lu\n", (unsigned long)ENAMETOOLONG);
    return OS_FILE_INVALID;
  }
  return store_create_file(dir, path, initial_size, actual_size);
}

void* map_file(os_file file, uint64_t size) {
  void* view = os_file_map_read(file, size);
  if (!view) store_message(1, "映射视图失败，错误码: %lu\n", os_file_error());
  return view;
}

int store_grow_view(os_file file, uint8_t** mapped, uint64_t* mapped_size, const char* extend_msg) {
  uint64_t old_size = *mapped_size;
  if (!*mapped || old_size == 0 || old_size > UINT64_MAX / 2) return -1;
  uint64_t new_size = old_size * 2;
  if (os_file_set_size(file, new_size) != 0) {
    store_message(1, extend_msg, os_file_error());
    return -1;
  }
  void* view = os_file_remap(file, *mapped, old_size, new_size);
  if (!view) {
    store_message(1, "映射视图失败，错误码: %lu\n", os_file_error());
    // The old view is intact; give the file its old size back so the file
    // and the view keep agreeing.
    os_file_set_size(file, old_size);
    return -1;
  }
  *mapped = (uint8_t*)view;
  *mapped_size = new_size;
  return 0;
}

const char* store_failure_text(int error, const char* path, char* out, size_t cap) {
  if (!cap) return out;
  const char* p = path ? path : "";
  const char* slash = strrchr(p, '/');
  if (error == ENOSPC || error == EDQUOT) {
    // The directory names the file system that ran out of room.
    int dir_len = slash ? (int)(slash - p) : 1;
    snprintf(out, cap, "no space left on the device holding %.*s (writing %s)", dir_len,
             slash ? p : ".", slash ? slash + 1 : p);
  } else if (error == EFBIG) {
    snprintf(out, cap, "%s: the file has reached the largest size allowed (%s)", p,
             strerror(error));
  } else {
    snprintf(out, cap, "cannot write %s: %s", p, strerror(error));
  }
  return out;
}
