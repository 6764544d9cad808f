// The capture library's interface for host programs: ask for the option
// template, open a capture with an option text and a callback, receive one
// callback per captured packet and the capture's notices, close it.
//
// Callback kinds: 1, 2, 3 a packet at low, full or high speed (a and b the
// high and low half of its nanosecond time stamp, bytes valid only during
// the call); -1 the option text was refused (bytes: the message, length its
// strlen + 1); -2 the capture ended or failed (a: tick count in ms, bytes:
// "capture err" or "capture stop" with their terminating zero).
#pragma once

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef int (*CaptureCallback)(void* user, uint32_t a, uint32_t b, char* bytes, int32_t length,
                               int32_t kind);

// Copies the option template "<select,speed,HS,FS,LS>" with its zero into
// `buffer` (size at least 24) and returns 8; -1 when the buffer is too small.
int ovix_get_option(char* buffer, int size);
// Opens a capture; the option text must contain "<speed,HS>", "<speed,FS>" or
// "<speed,LS>". Returns the capture handle, or null (a kind -1 notice says
// why). One capture at a time per process.
void* ovix_open(const char* option, void* user, CaptureCallback callback);
// Stops the capture, waits for its callbacks to end and releases it; the
// handle is invalid afterwards. Null does nothing. Returns 0.
int ovix_close(void* context);

#ifdef __cplusplus
}
#endif
