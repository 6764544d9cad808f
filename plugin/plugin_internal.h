// The library's inner parts: the capture context behind the opaque handle,
// option parsing, notices, hex text and termination of stale backends.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>

#include "plugin/qelvo.h"

struct OsProcess;

// Marks the library's exports; everything else is hidden.
#define QELVO_EXPORT extern "C" __attribute__((visibility("default")))

// One open capture. The first five fields are the ones a host-facing
// description of the handle names; the rest keep the two threads and the
// backend child in step with ovix_close.
struct CaptureContext {
  std::thread reader;        // record reader thread
  void* user = nullptr;      // the host's value, handed back in every callback
  CaptureCallback callback = nullptr;  // the host's callback (may be null: nothing is delivered)
  uint32_t readerId = 0;     // record reader's thread id
  uint32_t speed = 3;        // 1 LS, 2 FS, 3 HS

  std::thread runner;            // backend runner thread
  std::mutex lock;               // guards the fields below
  std::condition_variable wake;  // signalled when a thread ends or close begins
  OsProcess* backend = nullptr;  // the running backend child, null when none
  bool closing = false;          // ovix_close has begun
  bool readerDone = false;       // the record reader has ended
  bool runnerDone = false;       // the backend runner has ended
  bool abandoned = false;        // close gave up waiting; the last thread frees the context
  std::atomic<bool> drain{false};  // the backend ended by itself: read what it left, then stop
};

// Sets the context's and the process-wide speed code from "<speed,XX>".
// 0 on success; -1 after a kind -1 notice with the reason.
int parse_option(CaptureContext* ctx, const char* option);

// Calls the context's callback with a notice text (length strlen + 1).
void send_notice(CaptureContext* ctx, int32_t kind, uint32_t a, const char* text);

// Writes `length` bytes as upper-case hex pairs separated by one blank, then
// a zero byte; `out` holds 3 * length bytes (1 when length <= 0).
void to_hex(const unsigned char* bytes, int length, char* out);

// Kills every process whose image name is `name` (ignoring case), printing
// what it does. 1 when at least one was killed, else 0.
int KillProcessByName(const char* name);

// The process-wide speed code (3 until an option sets it).
extern int32_t g_speedCode;
