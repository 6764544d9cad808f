// A thread that writes staged bytes through their files (append_buffer.h)
// for the thread that staged them, which goes on staging into a second
// buffer meanwhile. The system's copying of the bytes into its cache of the
// files, the bulk of the work of storing rows, so runs beside the storing
// itself: on the other processor whenever that one has time to spare.
//
// Invariants:
//   1. Each buffer has at most one write handed over at a time; the writes
//      are made in the order they were handed over, so bytes of one file
//      reach it in order.
//   2. A buffer waits for its write before it hands over the next one,
//      before it is written out in full (a publish) and before it is freed:
//      nothing is shown to readers, and no file is closed, before its bytes
//      are written.
#pragma once

#include <cstdint>

#include "os/mapped_file.h"

struct FileWriter;
struct AppendBuffer;

// Starts the thread; null when it cannot be started. With `cache_keep`,
// once the thread has written `cache_after` bytes in all, it also bounds
// the system's cache of each file: from the file's next write on, it has
// the bytes sent to the disk as they come and lets go of their pages once
// they lie `cache_keep` bytes behind the file's end. What the files held
// before stays cached and is left to the system, which writes it back in
// its own time or when it needs the memory. 0: the cache keeps everything
// until the system needs the memory.
//
// Why: the files of a long capture are many times the memory, and new
// pages cost far more than reused ones (most of all in virtual machines,
// where each first touch of a page goes to the host). Let go as the capture
// goes on, the same pages are taken again and again, and the machine's
// memory stays free. A short capture, and the start of a long one, stay in
// the cache as they are: sending them to the disk would cost more than
// their pages, once in the writing and again when the files are deleted
// (their blocks are freed, and on some disks discarded one by one). Nothing
// waits for the disk: pages it has not taken yet stay until a later round.
FileWriter* file_writer_start(uint64_t cache_keep = 0, uint64_t cache_after = 0);
// Makes every write handed over, then ends the thread. Null does nothing.
void file_writer_stop(FileWriter* w);

// Hands over the write of `len` bytes at `bytes` to `offset` of `f` for
// buffer `ab` (which must have no write handed over).
void file_writer_submit(FileWriter* w, AppendBuffer* ab, os_file f, uint64_t offset,
                        const uint8_t* bytes, uint32_t len);
// Waits until buffer `ab` has no write handed over.
void file_writer_wait(FileWriter* w, AppendBuffer* ab);
// Processor time the thread has used, as of its last write (0 for null).
uint64_t file_writer_cpu_ns(FileWriter* w);
