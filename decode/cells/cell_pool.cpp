// Plain malloc-backed implementation (pooled version follows).
#include "decode/cells/cell_pool.h"

#include <cstdlib>

void* cell_pool_alloc(size_t size) { return malloc(size ? size : 1); }
void cell_pool_free(void* block) { free(block); }
int cell_pool_active(void) { return 0; }
