// Signals to a child process known by its id, for a process object that
// starts and reaps the child itself (the GUI's process manager): the
// Ctrl+C, graceful and hard terminations, the forced kill of the child's
// whole process group, and waiting for the end without reaping it.
//
// The child is made a process-group leader by os_process_own_group(), called
// in the child between fork and exec, so that its group (id = its pid) can be
// killed as a whole without reaching the caller.
#pragma once

#include <cstddef>
#include <cstdint>

// In the child, between fork and exec: becomes the leader of a new process
// group. Async-signal-safe. 0, or -1 (the child then stays in the caller's group).
int os_process_own_group(void);

// 0 when the process exists and may be signalled, else the error code
// (ESRCH, EPERM): the "open the process" step.
int os_pid_check(uint32_t pid);
// Ctrl+C delivery (SIGINT). 0, or the error code.
int os_pid_interrupt(uint32_t pid);
// Graceful termination request (SIGTERM). 0, or the error code.
int os_pid_terminate(uint32_t pid);
// Hard termination (SIGKILL). 0, or the error code.
int os_pid_kill(uint32_t pid);
// Forced kill of the process tree: SIGKILL to the process group led by
// `pid`. 0, or the error code (ESRCH when `pid` leads no group).
int os_pid_kill_group(uint32_t pid);

// Waits up to `timeout_ms` for the child `pid` of the caller to end, without
// reaping it (its owner still collects the exit status). 1 when it has ended
// (also when it was already reaped), 0 when it still runs at the deadline.
int os_pid_wait_end(uint32_t pid, uint32_t timeout_ms);

// The system's text for error `code`, trimmed, into `out`. 0, or -1 when the
// system has no text for the code (`out` is then empty).
int os_error_text(int code, char* out, size_t cap);
