// Engine diagnostics. Engine code logs through these functions; a program
// decides where the text goes (stderr by default, the Qt log in the GUI).
#pragma once

#include <cstdarg>

typedef void (*orvane_log_sink)(const char* line, void* user);

// printf-like; one call is one message (a trailing newline is not needed).
void orvane_log(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
void orvane_vlog(const char* fmt, va_list ap);
// Routes every later message to `sink` (null restores stderr).
void orvane_log_set_sink(orvane_log_sink sink, void* user);
// Drops every message (benchmarks, --quiet tools); the sink is kept.
void orvane_log_set_muted(int muted);
