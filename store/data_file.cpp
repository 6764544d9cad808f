// Data files: sequential bytes after a 24-byte header, grown by doubling.
#include "store/data_file.h"

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "store/store_files.h"

namespace {

// Bytes staged before they are written through the file.
constexpr uint32_t kStageBytes = 64 * 1024;

// Data bytes that lie inside the file (a damaged header cannot claim more).
uint64_t stored_bytes(DataFile* df) {
  uint64_t room = df->mapped_size - kDataHeaderSize;
  return df->data_bytes < room ? df->data_bytes : room;
}

void free_handle(DataFile* df) {
  append_buffer_release(&df->staged);
  free(df->filename);
  free(df->path);
  delete df;
}

// Logs the first failed write of the file.
void report_write_failure(DataFile* df) {
  store_message(0, "cannot write %s: %s (error %lu)", df->path, strerror(df->staged.failed),
                (unsigned long)df->staged.failed);
}

// Writes the staged bytes, then the header's counters. Under the lock.
int flush_locked(DataFile* df) {
  if (df->staged.failed) return -1;
  if (append_buffer_flush(&df->staged, df->hFile) != 0) {
    report_write_failure(df);
    return -1;
  }
  if (!df->header_dirty) return 0;
  uint64_t counters[2] = {df->data_bytes, df->write_offset};
  if (os_file_write_at(df->hFile, offsetof(DataFileHeader, data_bytes), counters,
                       sizeof counters) != 0) {
    df->staged.failed = errno ? errno : EIO;
    report_write_failure(df);
    return -1;
  }
  df->header_dirty = false;
  return 0;
}

}  // namespace

DataFile* datafile_create(const char* name) {
  if (!name) return nullptr;
  store_message(0, "filename = %s", name);
  DataFile* df = new (std::nothrow) DataFile();
  if (!df) return nullptr;
  df->hFile = OS_FILE_INVALID;
  df->filename = store_strdup(name);
  const char* path = datafile_path(name);
  df->path = path ? store_strdup(path) : nullptr;
  if (!df->filename || !df->path) {
    free_handle(df);
    return nullptr;
  }
  store_message(0, "hd->filename = %s", df->filename);
  store_message(0, "creat hd->hFile!!!");
  uint64_t size = 0;
  char dir[4096];
  snprintf(dir, sizeof dir, "%s", store_data_dir());
  df->hFile = store_create_file(dir, df->path, kStoreInitialSize, &size);
  if (df->hFile == OS_FILE_INVALID) {
    store_message(0, "-2 hd->filename = %s", df->filename);
    free_handle(df);
    return nullptr;
  }
  store_message(0, "-1 hd->filename = %s", df->filename);
  df->mapped = (uint8_t*)map_file(df->hFile, size);
  if (!df->mapped) {
    store_message(0, "CloseHandle");
    os_file_close(df->hFile);
    free_handle(df);
    return nullptr;
  }
  df->mapped_size = size;
  store_message(0, "0 hd->filename = %s", df->filename);
  store_message(0, "1 hd->filename = %s", df->filename);
  uint32_t magic;
  memcpy(&magic, df->mapped, 4);
  df->data_bytes = 0;
  df->write_offset = kDataHeaderSize;
  if (magic != kStoreMagic) {
    store_message(0, "new file init!!!");
    DataFileHeader h = {kStoreMagic, 0, 0, kDataHeaderSize};
    if (os_file_write_at(df->hFile, 0, &h, sizeof h) != 0) {
      store_message(0, "cannot write %s: %s (error %lu)", df->path, strerror(errno),
                    os_file_error());
      os_file_unmap(df->mapped, df->mapped_size);
      os_file_close(df->hFile);
      free_handle(df);
      return nullptr;
    }
  } else {
    DataFileHeader h;
    memcpy(&h, df->mapped, sizeof h);
    df->data_bytes = h.data_bytes;
    df->write_offset = h.write_offset;
  }
  append_buffer_init(&df->staged, df->write_offset, kStageBytes);
  store_message(0, "2 hd->filename = %s", df->filename);
  df->read_pos = 0;
  return df;
}

DataFile* datafile_open(const char* path) {
  if (!path) return nullptr;
  os_file f;
  if (os_file_open_existing(path, &f) != 0) {
    store_message(1, "打开文件失败: %s, 错误码: %lu\n", path, os_file_error());
    return nullptr;
  }
  uint64_t size = 0;
  if (os_file_size(f, &size) != 0) {
    store_message(1, "获取文件大小失败，错误码: %lu\n", os_file_error());
    os_file_close(f);
    return nullptr;
  }
  if (size == 0) {
    store_message(1, "文件大小为0: %s\n", path);
    os_file_close(f);
    return nullptr;
  }
  store_message(0, ">>>hd->mapped_size = %lld", (long long)size);
  if (size < kDataHeaderSize) {
    store_message(1, "not a data file (shorter than its header): %s\n", path);
    os_file_close(f);
    return nullptr;
  }
  uint8_t* view = (uint8_t*)map_file(f, size);
  if (!view) {
    os_file_close(f);
    return nullptr;
  }
  uint32_t magic;
  memcpy(&magic, view, 4);
  DataFile* df = nullptr;
  if (magic == kStoreMagic) df = new (std::nothrow) DataFile();
  if (df) {
    df->filename = store_strdup(path);
    df->path = store_strdup(path);
  }
  if (!df || !df->filename || !df->path) {
    if (magic != kStoreMagic) store_message(1, "not a data file (no \"WRDH\"): %s\n", path);
    os_file_unmap(view, size);
    os_file_close(f);
    if (df) free_handle(df);
    return nullptr;
  }
  df->hFile = f;
  df->opened = true;
  df->mapped = view;
  df->mapped_size = size;
  df->read_pos = 0;
  DataFileHeader h;
  memcpy(&h, view, sizeof h);
  df->data_bytes = h.data_bytes;
  df->write_offset = h.write_offset;
  append_buffer_init(&df->staged, h.write_offset, kStageBytes);
  return df;
}

uint32_t datafile_append(DataFile* df, const void* bytes, uint32_t n) {
  if (!df || !bytes || n == 0 || n > kMaxRecordLength) return 0;
  std::lock_guard<std::mutex> hold(df->lock);
  if (df->staged.failed) return 0;
  uint64_t off = df->write_offset;
  if (off < kDataHeaderSize || off > df->mapped_size) return 0;
  if (df->mapped_size < off + n &&
      store_grow_view(df->hFile, &df->mapped, &df->mapped_size, "扩展文件失败，错误码: %lu\n") != 0)
    return 0;
  if (df->mapped_size < off + n) return 0;
  uint8_t* at = append_buffer_room(&df->staged, df->hFile, n);
  if (!at) {
    if (df->staged.failed) report_write_failure(df);
    return 0;
  }
  memcpy(at, bytes, n);
  append_buffer_commit(&df->staged, n);
  df->write_offset = off + n;
  df->data_bytes += n;
  df->header_dirty = true;
  df->written = true;
  return n;
}

uint32_t datafile_read(DataFile* df, void* out, uint32_t n) {
  if (!df || !out || n == 0) return 0;
  std::lock_guard<std::mutex> hold(df->lock);
  // What is still staged is written first, so the view shows every byte.
  if (df->staged.len) flush_locked(df);
  uint64_t stored = stored_bytes(df);
  if (df->staged.failed && df->staged.base - kDataHeaderSize < stored)
    stored = df->staged.base - kDataHeaderSize;  // never read what never reached the file
  if (df->read_pos >= stored) return 0;
  uint64_t left = stored - df->read_pos;
  uint32_t take = left < n ? (uint32_t)left : n;
  memcpy(out, df->mapped + kDataHeaderSize + df->read_pos, take);
  df->read_pos += take;
  return take;
}

int datafile_reset(DataFile* df) {
  if (!df) return 0;
  std::lock_guard<std::mutex> hold(df->lock);
  df->write_offset = kDataHeaderSize;
  df->data_bytes = 0;
  df->read_pos = 0;
  df->written = true;
  append_buffer_restart(&df->staged, kDataHeaderSize);
  df->staged.failed = 0;
  df->header_dirty = true;
  flush_locked(df);
  return 0;
}

uint64_t datafile_size(DataFile* df) {
  if (!df) return 0;
  std::lock_guard<std::mutex> hold(df->lock);
  return stored_bytes(df);
}

int datafile_flush(DataFile* df) {
  if (!df) return -1;
  std::lock_guard<std::mutex> hold(df->lock);
  return flush_locked(df);
}

int datafile_error(DataFile* df) {
  if (!df) return 0;
  std::lock_guard<std::mutex> hold(df->lock);
  return df->staged.failed;
}

void datafile_close_truncate(DataFile* df) {
  if (!df) return;
  uint64_t keep;
  bool cut;
  {
    std::lock_guard<std::mutex> hold(df->lock);
    if (flush_locked(df) != 0) {
      // The staged bytes never reached the file: the file keeps what did.
      df->data_bytes -= df->staged.len;
      df->write_offset -= df->staged.len;
      df->staged.len = 0;
      // Rewriting bytes of the header needs no new room; best effort.
      uint64_t counters[2] = {df->data_bytes, df->write_offset};
      os_file_write_at(df->hFile, offsetof(DataFileHeader, data_bytes), counters, sizeof counters);
    }
    keep = kDataHeaderSize + stored_bytes(df);
    cut = !df->opened || df->written;
  }
  if (os_file_unmap(df->mapped, df->mapped_size) != 0)
    store_message(0, "取消内存映射失败，错误码: %lu", os_file_error());
  if (cut && os_file_set_size(df->hFile, keep) != 0)
    store_message(1, "截断文件失败，错误码: %lu\n", os_file_error());
  if (os_file_close(df->hFile) != 0) store_message(0, "关闭文件失败，错误码: %lu", os_file_error());
  free_handle(df);
}

void datafile_close_delete(DataFile* df) {
  if (!df) return;
  if (os_file_unmap(df->mapped, df->mapped_size) != 0)
    store_message(0, "取消内存映射失败，错误码: %lu", os_file_error());
  if (os_file_close(df->hFile) != 0) store_message(0, "关闭文件失败，错误码: %lu", os_file_error());
  store_message(0, "del filename = %s", df->path);
  os_file_delete(df->path);
  free_handle(df);
}
