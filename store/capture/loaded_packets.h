// The loaded-packet list: the packets of the capture file opened last, kept
// for replay through the decoder.
//
// A list keeps its packets as records {u32 length, u64 time stamp, bytes}
// (the records of a "*.qelvo" file) in a nameless scratch file of the data
// directory, written in pieces of 1 MiB and read back through a window of
// the same size. So a capture of any size costs the heap two buffers and one
// offset per 1,024 packets, never a copy of the file; the scratch file is
// private, so nothing outside can change it under a replay. When no scratch
// file can be made the records stay on the heap.
//
// Invariants:
//   1. Records are only appended; a record never changes once written.
//   2. A reader sees every record appended before its call.
//   3. Each list has its own lock (appends, write-outs and window refills);
//      readers are independent of each other. The process-wide list has one
//      more lock, for installing, clearing and reading it by index.
//
// The process-wide list is filled by Open (a list built aside and then
// installed, so a file that cannot be read leaves the list as it was),
// emptied by the Clear action and read by the replay; one writer at a time.
#pragma once

#include <cstddef>
#include <cstdint>

struct LoadedPackets;
struct LoadedReader;

// An empty list. Null when memory runs out.
LoadedPackets* loaded_list_create(void);
void loaded_list_destroy(LoadedPackets* list);
// Appends a copy of the packet. 0, or -1 when it cannot be kept (no memory,
// a full disk: the list keeps what it had and refuses every later packet).
int loaded_list_add(LoadedPackets* list, const uint8_t* bytes, uint32_t length, uint64_t timestamp);
size_t loaded_list_count(LoadedPackets* list);
// Bytes of the records held: 12 + length per packet, which is the data
// count of a "*.qelvo" file of these packets.
uint64_t loaded_list_bytes(LoadedPackets* list);
// The system error that made the list refuse packets, 0 while none.
int loaded_list_error(LoadedPackets* list);

// Reads a list from its first packet on; any number of readers at once.
// Null when memory runs out.
LoadedReader* loaded_reader_open(LoadedPackets* list);
// 1: the next packet (*bytes valid until the next call or the close);
// 0: no more packets; -1: the scratch file could not be read.
int loaded_reader_next(LoadedReader* reader, const uint8_t** bytes, uint32_t* length,
                       uint64_t* timestamp);
void loaded_reader_close(LoadedReader* reader);

// ---- the process-wide list ----

// Makes `list` the process-wide list (it then belongs to it) and frees the
// one before. Null empties it.
void loaded_packets_install(LoadedPackets* list);
// The process-wide list, null when it is empty. Valid until the next
// install or clear.
LoadedPackets* loaded_packets_current(void);
// Appends an owned copy to the process-wide list; 0, or -1 as loaded_list_add.
int loaded_packets_append(const uint8_t* bytes, uint32_t length, uint64_t timestamp);
size_t loaded_packets_count(void);
// Copies entry i into `out` (at most `cap` bytes) and gives its full length
// and time stamp. Returns the number of bytes copied, or -1 when i is out of
// range (or cannot be read). A packet longer than `cap` is cut: the caller
// sees *length > copied. Reading in order costs no search.
int64_t loaded_packets_copy(size_t i, uint8_t* out, size_t cap, uint32_t* length,
                            uint64_t* timestamp);
// Frees every entry.
void loaded_packets_clear(void);
