// Child processes and termination by image name.
//
// A program is started from one command line, as a Windows program would be:
// the line is split into arguments and a bare program name (no '/') is looked
// up in the directory of the running program, then the current directory,
// then PATH. The caller waits for the child's end and reads how it ended.
// Termination by image name walks every process of the machine and kills the
// ones whose executable has the given base name (ignoring case), never the
// caller itself.
//
// QELVO_KILL_SCOPE narrows termination by name for tests that run beside
// other tests on one machine (unset, every matching process is a target):
//   "children"  only direct children of the calling process;
//   "suffix"    only processes whose environment carries the caller's own
//               QELVO_SHM_SUFFIX value (both unset also counts as equal).
#pragma once

#include <cstddef>
#include <cstdint>

struct OsProcess;

// How a waited-for child ended.
struct OsProcessExit {
  int crashed;    // 1 when a signal ended it (there is no exit code then)
  int exit_code;  // exit status when crashed == 0
  int signal;     // the ending signal when crashed == 1
};

// Resolves a bare program name the way the system resolves a program to
// start; a name with '/' is taken as it is. 0 with the path in `out`, or -1
// (errno ENOENT, or ENAMETOOLONG when `out` is too small).
int os_process_resolve(const char* name, char* out, size_t out_cap);

// Starts the program named by the first word of `command_line` with the
// other words as its arguments (blank-separated; double quotes group words).
// The child inherits the environment, the current directory and the standard
// streams, and no other descriptor. Null on failure with errno set.
OsProcess* os_process_spawn(const char* command_line);

// Ways of starting a child (os_process_spawn_flags).
enum : unsigned {
  // The child leads a new process group of its own, which then holds the
  // processes it starts in turn, so that they can be signalled together.
  OS_SPAWN_NEW_GROUP = 1u,
};
// os_process_spawn with `flags` (0 is os_process_spawn).
OsProcess* os_process_spawn_flags(const char* command_line, unsigned flags);

// Process id of a started child.
uint32_t os_process_id(const OsProcess* proc);

// Waits for the child to end: timeout_ms 0xFFFFFFFF waits without limit.
// 1 with *out filled when it has ended, 0 on time-out, -1 on failure.
int os_process_wait(OsProcess* proc, uint32_t timeout_ms, OsProcessExit* out);

// Kills the child with SIGKILL unless it has already been waited for (so a
// recycled id is never hit). 1 when the signal was sent, else 0.
int os_process_kill(OsProcess* proc);

// Signals that can be sent to a process group.
enum OsSignal {
  OS_SIGNAL_INTERRUPT = 0,  // an interrupt from the keyboard (Ctrl+C)
  OS_SIGNAL_TERMINATE = 1,  // a request to end
  OS_SIGNAL_KILL = 2,       // ends the processes at once
};

// Sends `sig` to every process of the group that a child started with
// OS_SPAWN_NEW_GROUP leads: the child and whatever it started. Only while the
// child has not been waited for (its id cannot name another group then).
// 1 when sent, else 0.
int os_process_signal_group(OsProcess* proc, OsSignal sig);

// Releases the handle; a child still running is left running (and is
// reaped by the system when it ends only if the caller waits for it first).
void os_process_close(OsProcess* proc);

// What happened to one process during termination by name.
enum OsKillEventKind {
  OS_KILL_SEEN = 0,         // a process of the snapshot (image name in `image`)
  OS_KILL_OPEN_FAILED = 1,  // a match that we may not signal (EPERM)
  OS_KILL_DONE = 2,         // a match that was killed
  OS_KILL_FAILED = 3,       // a match that could not be killed for another reason
};

struct OsKillEvent {
  OsKillEventKind kind;
  uint32_t pid;
  const char* image;  // base name of the executable (or its comm)
  int error;          // errno for OPEN_FAILED and FAILED, else 0
};

typedef void (*os_kill_observer)(const OsKillEvent* event, void* user);

// Kills (SIGKILL) every process whose image base name equals `name` ignoring
// case, except the caller, within QELVO_KILL_SCOPE. Reports each process to
// `observer` (may be null). Returns the number killed, or -1 when the process
// list cannot be read (errno in *error when `error` is not null).
int os_kill_by_image_name(const char* name, os_kill_observer observer, void* user, int* error);

// Numeric id of the calling thread (the system's thread id, cut to 32 bits).
uint32_t os_current_thread_id(void);
