// The loaded-packet list: the packets of the capture file opened last, kept
// for replay through the decoder. Process-wide; one writer at a time (the
// open, the Clear action), read by the replay.
#pragma once

#include <cstddef>
#include <cstdint>

// Appends an owned copy; 0, or -1 when memory runs out.
int loaded_packets_append(const uint8_t* bytes, uint32_t length, uint64_t timestamp);
size_t loaded_packets_count(void);
// Copies entry i into `out` (at most `cap` bytes) and gives its full length
// and time stamp. Returns the number of bytes copied, or -1 when i is out of
// range. A packet longer than `cap` is cut: the caller sees *length > copied.
int64_t loaded_packets_copy(size_t i, uint8_t* out, size_t cap, uint32_t* length,
                            uint64_t* timestamp);
// Frees every entry.
void loaded_packets_clear(void);
