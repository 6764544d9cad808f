// The loaded-packet list (see loaded_packets.h): records in a scratch file,
// a pending buffer in front of it and a read window per reader.
#include "store/capture/loaded_packets.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <vector>

#include "os/file_rw.h"
#include "store/store_files.h"

namespace {

enum : uint32_t { kHead = 12 };  // {u32 length, u64 time stamp}
// The pending buffer and each reader's window.
enum : size_t { kBufferSize = 1 << 20 };
// One offset kept per this many packets, for reading by index.
enum : size_t { kMarkStride = 1024 };

void put_head(uint8_t* p, uint32_t length, uint64_t timestamp) {
  for (int i = 0; i < 4; i++) p[i] = (uint8_t)(length >> (8 * i));
  for (int i = 0; i < 8; i++) p[4 + i] = (uint8_t)(timestamp >> (8 * i));
}

void get_head(const uint8_t* p, uint32_t* length, uint64_t* timestamp) {
  uint32_t n = 0;
  uint64_t t = 0;
  for (int i = 3; i >= 0; i--) n = (n << 8) | p[i];
  for (int i = 7; i >= 0; i--) t = (t << 8) | p[4 + i];
  *length = n;
  *timestamp = t;
}

}  // namespace

struct LoadedPackets {
  std::mutex lock;                  // guards everything below
  os_file file = OS_FILE_INVALID;   // the scratch file; invalid: the records are in `heap`
  std::vector<uint8_t> heap;        // records, when there is no scratch file
  uint8_t* pending = nullptr;       // records not yet in the file (kBufferSize bytes)
  size_t pendingLen = 0;
  uint64_t written = 0;             // record bytes in the file
  size_t count = 0;                 // packets
  std::vector<uint64_t> marks;      // record offset of packet k * kMarkStride
  int error = 0;                    // errno of the failure that stopped appending
};

struct LoadedReader {
  LoadedPackets* list;
  size_t index;       // the next packet
  uint64_t offset;    // its record
  uint8_t* window;    // kBufferSize bytes of the file (file mode)
  uint64_t winBase;   // file offset of window[0]
  size_t winLen;      // bytes the window holds
  uint8_t* big;       // a packet too long for the window
  size_t bigCap;
};

namespace {

uint64_t total_bytes(const LoadedPackets* l) {
  return l->file == OS_FILE_INVALID ? l->heap.size() : l->written + l->pendingLen;
}

int flush_locked(LoadedPackets* l) {
  if (l->pendingLen == 0) return 0;
  if (os_file_write_at(l->file, l->written, l->pending, l->pendingLen) != 0) {
    l->error = errno ? errno : EIO;
    return -1;
  }
  l->written += l->pendingLen;
  l->pendingLen = 0;
  return 0;
}

// `n` bytes of the file from `off` on, through the reader's window; null
// when the file does not hold them.
const uint8_t* fetch(LoadedReader* r, uint64_t off, size_t n) {
  if (off >= r->winBase && off + n <= r->winBase + r->winLen) return r->window + (off - r->winBase);
  LoadedPackets* l = r->list;
  uint64_t left = l->written > off ? l->written - off : 0;
  int64_t got = os_file_pread(l->file, off, r->window, left < kBufferSize ? left : kBufferSize);
  r->winBase = off;
  r->winLen = got > 0 ? (size_t)got : 0;
  if (r->winLen < n) {
    if (got >= 0) errno = EIO;
    return nullptr;
  }
  return r->window;
}

// The reader's next packet, with the list's lock held.
int next_locked(LoadedReader* r, const uint8_t** bytes, uint32_t* length, uint64_t* timestamp) {
  LoadedPackets* l = r->list;
  if (r->index >= l->count) return 0;
  if (l->file == OS_FILE_INVALID) {
    const uint8_t* p = l->heap.data() + r->offset;
    get_head(p, length, timestamp);
    *bytes = p + kHead;
  } else {
    if (l->pendingLen && flush_locked(l) != 0) return -1;
    const uint8_t* head = fetch(r, r->offset, kHead);
    if (!head) return -1;
    get_head(head, length, timestamp);
    uint64_t rec = kHead + (uint64_t)*length;
    if (rec <= kBufferSize) {
      const uint8_t* p = fetch(r, r->offset, (size_t)rec);
      if (!p) return -1;
      *bytes = p + kHead;
    } else {
      if (r->bigCap < *length) {
        uint8_t* b = (uint8_t*)realloc(r->big, *length);
        if (!b) return -1;
        r->big = b;
        r->bigCap = *length;
      }
      if (os_file_pread(l->file, r->offset + kHead, r->big, *length) != (int64_t)*length) return -1;
      *bytes = r->big;
    }
  }
  r->offset += kHead + (uint64_t)*length;
  r->index++;
  return 1;
}

}  // namespace

LoadedPackets* loaded_list_create(void) {
  LoadedPackets* l = new (std::nothrow) LoadedPackets();
  if (!l) return nullptr;
  os_file f;
  if (os_file_create_scratch(store_data_dir(), &f) == 0) {
    l->pending = (uint8_t*)malloc(kBufferSize);
    if (l->pending) l->file = f;
    else os_file_close(f);
  }
  return l;
}

void loaded_list_destroy(LoadedPackets* list) {
  if (!list) return;
  if (list->file != OS_FILE_INVALID) os_file_close(list->file);
  free(list->pending);
  delete list;
}

int loaded_list_add(LoadedPackets* list, const uint8_t* bytes, uint32_t length, uint64_t timestamp) {
  if (!list || (length > 0 && !bytes)) return -1;
  std::lock_guard<std::mutex> hold(list->lock);
  if (list->error) return -1;
  uint8_t head[kHead];
  put_head(head, length, timestamp);
  uint64_t offset = total_bytes(list);
  uint64_t rec = kHead + (uint64_t)length;
  size_t marks = list->marks.size();
  try {
    if (list->count % kMarkStride == 0) list->marks.push_back(offset);
    if (list->file == OS_FILE_INVALID) {
      list->heap.insert(list->heap.end(), head, head + kHead);
      list->heap.insert(list->heap.end(), bytes, bytes + length);
    }
  } catch (...) {
    list->marks.resize(marks);
    list->heap.resize(offset);
    list->error = ENOMEM;
    return -1;
  }
  if (list->file != OS_FILE_INVALID) {
    bool fail = list->pendingLen + rec > kBufferSize && flush_locked(list) != 0;
    if (!fail && rec > kBufferSize) {
      // Longer than the buffer: straight into the file.
      fail = os_file_write_at(list->file, list->written, head, kHead) != 0 ||
             os_file_write_at(list->file, list->written + kHead, bytes, length) != 0;
      if (fail) list->error = errno ? errno : EIO;
      else list->written += rec;
    } else if (!fail) {
      memcpy(list->pending + list->pendingLen, head, kHead);
      if (length) memcpy(list->pending + list->pendingLen + kHead, bytes, length);
      list->pendingLen += (size_t)rec;
    }
    if (fail) {
      list->marks.resize(marks);
      return -1;
    }
  }
  list->count++;
  return 0;
}

size_t loaded_list_count(LoadedPackets* list) {
  if (!list) return 0;
  std::lock_guard<std::mutex> hold(list->lock);
  return list->count;
}

uint64_t loaded_list_bytes(LoadedPackets* list) {
  if (!list) return 0;
  std::lock_guard<std::mutex> hold(list->lock);
  return total_bytes(list);
}

int loaded_list_error(LoadedPackets* list) {
  if (!list) return 0;
  std::lock_guard<std::mutex> hold(list->lock);
  return list->error;
}

LoadedReader* loaded_reader_open(LoadedPackets* list) {
  if (!list) return nullptr;
  LoadedReader* r = (LoadedReader*)calloc(1, sizeof *r);
  if (!r) return nullptr;
  r->list = list;
  if (list->file != OS_FILE_INVALID && !(r->window = (uint8_t*)malloc(kBufferSize))) {
    free(r);
    return nullptr;
  }
  return r;
}

int loaded_reader_next(LoadedReader* reader, const uint8_t** bytes, uint32_t* length,
                       uint64_t* timestamp) {
  std::lock_guard<std::mutex> hold(reader->list->lock);
  return next_locked(reader, bytes, length, timestamp);
}

void loaded_reader_close(LoadedReader* reader) {
  if (!reader) return;
  free(reader->window);
  free(reader->big);
  free(reader);
}

// ---- the process-wide list ----

namespace {
std::mutex g_lock;                 // guards the two below
LoadedPackets* g_list = nullptr;   // null when empty
LoadedReader* g_reader = nullptr;  // loaded_packets_copy's position in g_list
}  // namespace

void loaded_packets_install(LoadedPackets* list) {
  LoadedPackets* old;
  {
    std::lock_guard<std::mutex> hold(g_lock);
    old = g_list;
    g_list = list;
    loaded_reader_close(g_reader);
    g_reader = nullptr;
  }
  loaded_list_destroy(old);
}

LoadedPackets* loaded_packets_current(void) {
  std::lock_guard<std::mutex> hold(g_lock);
  return g_list;
}

int loaded_packets_append(const uint8_t* bytes, uint32_t length, uint64_t timestamp) {
  std::lock_guard<std::mutex> hold(g_lock);
  if (!g_list && !(g_list = loaded_list_create())) return -1;
  return loaded_list_add(g_list, bytes, length, timestamp);
}

size_t loaded_packets_count(void) {
  std::lock_guard<std::mutex> hold(g_lock);
  return loaded_list_count(g_list);
}

int64_t loaded_packets_copy(size_t i, uint8_t* out, size_t cap, uint32_t* length,
                            uint64_t* timestamp) {
  std::lock_guard<std::mutex> hold(g_lock);
  if (!g_list) return -1;
  std::lock_guard<std::mutex> holdList(g_list->lock);
  if (i >= g_list->count) return -1;
  if (!g_reader && !(g_reader = loaded_reader_open(g_list))) return -1;
  LoadedReader* r = g_reader;
  // In order costs nothing; anything else starts from the mark before i.
  if (r->index > i || i - r->index >= kMarkStride) {
    r->index = i / kMarkStride * kMarkStride;
    r->offset = g_list->marks[i / kMarkStride];
  }
  const uint8_t* bytes = nullptr;
  uint32_t n = 0;
  uint64_t t = 0;
  do {
    if (next_locked(r, &bytes, &n, &t) != 1) {
      // A failed read leaves the position unknown: start again next time.
      loaded_reader_close(g_reader);
      g_reader = nullptr;
      return -1;
    }
  } while (r->index <= i);
  size_t copied = n < cap ? n : cap;
  if (copied && out) memcpy(out, bytes, copied);
  if (length) *length = n;
  if (timestamp) *timestamp = t;
  return (int64_t)copied;
}

void loaded_packets_clear(void) { loaded_packets_install(nullptr); }
