// JSON string output for text that may hold any bytes (a D_STRING cell is
// whatever the device sent): valid UTF-8 passes through, quotes, backslashes
// and control characters are escaped, and every byte that is not part of a
// valid UTF-8 sequence is written as \u00XX with the byte's value (so the
// output is always valid UTF-8 JSON, and the original byte can be recovered).
#pragma once

#include <cstddef>
#include <string>

// Appends `text[0..n)` as a quoted JSON string to `out`.
void json_append_string(std::string& out, const char* text, size_t n);
