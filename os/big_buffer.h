// Memory for large buffers that live as long as a capture (the row queue,
// the stores' staging buffers).
#pragma once

#include <cstddef>

// `size` bytes, in pages as large as the system gives (2 MiB where it
// can) when `size` is a multiple of them: first touching a page of memory
// costs a trap, in a virtual machine often a trip to its host, and a large
// page takes that cost once for 512 small ones. Smaller sizes come from
// the heap. Null when out of memory.
void* os_big_buffer_alloc(size_t size);
// Frees a buffer of os_big_buffer_alloc with the same size. Null does nothing.
void os_big_buffer_free(void* p, size_t size);
