// The user script host: one Lua state per process that sees the payloads of
// the data packets of the selected device and endpoint.
//
// States: no state -> (open) -> state with or without a process_data
// reference -> (close) -> no state. A script that failed to load keeps its
// state until close, so cleanup is still looked up then. Every failure is
// logged and leaves the capture running. One thread at a time; not locked.
#pragma once

#include <cstdint>

// Creates the state and runs "script/main.lua" from the current directory;
// does nothing when a state already exists.
void lua_host_open(void);
// Calls process_data with the payload as one Lua string of exactly `length`
// bytes; nothing when there is no state or reference, no bytes or length <= 0.
void lua_host_process(const uint8_t* bytes, int32_t length);
// Calls the script's cleanup (errors ignored) and closes the state.
void lua_host_close(void);
// 1 while a state exists, 1 while a process_data reference is held (tests).
int lua_host_has_state(void);
int lua_host_has_function(void);
