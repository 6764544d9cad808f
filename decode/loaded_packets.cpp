// The loaded-packet list, as one growing byte arena with an offset table, so
// a long capture costs two allocations that grow by doubling, not one per
// packet.
#include "decode/loaded_packets.h"

#include <cstdlib>
#include <cstring>
#include <vector>

namespace {
struct LoadedEntry {
  uint64_t offset;     // into the arena
  uint64_t timestamp;  // ns
  uint32_t length;     // bytes
};
std::vector<LoadedEntry> g_entries;
std::vector<uint8_t> g_arena;
}  // namespace

int loaded_packets_append(const uint8_t* bytes, uint32_t length, uint64_t timestamp) {
  if (length > 0 && !bytes) return -1;
  try {
    uint64_t offset = g_arena.size();
    g_arena.insert(g_arena.end(), bytes, bytes + length);
    g_entries.push_back(LoadedEntry{offset, timestamp, length});
  } catch (...) {
    return -1;
  }
  return 0;
}

size_t loaded_packets_count(void) { return g_entries.size(); }

int64_t loaded_packets_copy(size_t i, uint8_t* out, size_t cap, uint32_t* length,
                            uint64_t* timestamp) {
  if (i >= g_entries.size()) return -1;
  const LoadedEntry& e = g_entries[i];
  size_t n = e.length < cap ? e.length : cap;
  if (n && out) memcpy(out, g_arena.data() + e.offset, n);
  if (length) *length = e.length;
  if (timestamp) *timestamp = e.timestamp;
  return (int64_t)n;
}

void loaded_packets_clear(void) {
  std::vector<LoadedEntry>().swap(g_entries);
  std::vector<uint8_t>().swap(g_arena);
}
