// Requests to stop from outside the process: SIGTERM and SIGINT here, the
// console control events and window close messages on Windows. A program
// installs the handlers once and polls os_stop_requested() in its loops; the
// handler itself only raises a flag, so nothing unsafe runs inside it.
#pragma once

// Installs the stop handlers. 0 on success, -1 when the system refused.
int os_stop_signals_install(void);
// 1 once a stop was requested (by a signal or os_stop_request), else 0.
int os_stop_requested(void);
// Raises the stop flag from inside the process, as a signal would.
void os_stop_request(void);
// Lowers the stop flag again (for a program that runs more than one session).
void os_stop_reset(void);
// Raises the stop flag also when the process that started this one ends (a
// SIGTERM then comes by itself), so that a helper whose host died, or was
// killed, does not run on alone. Here "ends" is when the thread that started
// this process ends: hosts start helpers from a thread that outlives them.
// Needs os_stop_signals_install. 0, or -1 when the system refused.
int os_stop_with_parent(void);

// Removes the directory tree `path` when SIGINT, SIGTERM, SIGHUP or SIGPIPE
// would end the process, then lets the signal end it as it would have (a
// shell still sees the signal). For a private scratch folder that must not
// outlive its program, whatever ends it; a normal exit removes the folder
// itself. A signal that is ignored already stays ignored. One path at a
// time: a new call replaces it, null forgets it. The handler uses only calls
// that are safe inside a signal handler.
// 0, or -1 when the path is too long or the handlers could not be installed.
int os_remove_tree_on_signal(const char* path);
