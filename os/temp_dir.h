// Private temporary directories for tools and tests: made with a unique name
// under the system's temporary folder, removed with everything inside.
#pragma once

#include <cstddef>

// Creates a new directory "<tmp>/<prefix>XXXXXX" readable only by the user;
// writes its path to `out`. 0, or -1 on failure.
int os_make_temp_dir(const char* prefix, char* out, size_t cap);
// Removes `path` and everything below it (symbolic links are not followed).
// 0, or -1 when something could not be removed.
int os_remove_tree(const char* path);
