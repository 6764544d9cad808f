// Output checks and clean-up of orvane-dump: a write that fails (a full
// disk, a closed stream) must not pass for success, and the private folder
// of row stores must not outlive the program, whatever ends it.
#pragma once

#include <cstdio>

// One output stream and the first failure seen on it.
struct DumpOutput {
  FILE* stream;      // stdout or stderr
  const char* name;  // "standard output", "standard error"
  int failed;        // a write to it failed
  int error;         // errno of the first failure (0 when unknown)
};

// Call right after writing to the stream: remembers a failure of those
// writes while its cause is still known.
void dump_output_note(DumpOutput* out);
// Flushes the stream and checks everything written to it. A failure is
// reported once as "orvane-dump: cannot write NAME: REASON" on standard
// error. 0 when all output reached the stream, else -1.
int dump_output_finish(DumpOutput* out);

// Makes the private folder `dir` (under the system's temporary folder) and
// has it removed at any exit, also when a signal ends the program. 0, or -1
// with a message naming the folder and the cause on standard error.
int dump_private_dir_make(char* dir, size_t cap);
// Removes the private folder now (the normal end).
void dump_private_dir_remove(void);
