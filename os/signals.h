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
