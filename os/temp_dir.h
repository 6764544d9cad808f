// Private temporary directories for tools and tests: made with a unique name
// under the system's temporary folder, removed with everything inside.
#pragma once

#include <cstddef>

// The system's temporary folder: $TMPDIR, or /tmp when that is unset or empty.
const char* os_temp_root(void);
// Creates a new directory "<tmp>/<prefix>XXXXXX" readable only by the user;
// writes its path to `out`. 0, or -1 on failure with errno set (ENAMETOOLONG
// when the path does not fit in `cap`).
int os_make_temp_dir(const char* prefix, char* out, size_t cap);
// Removes `path` and everything below it (symbolic links are not followed).
// 0, or -1 when something could not be removed.
int os_remove_tree(const char* path);
