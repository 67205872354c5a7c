/* Reading memory that may not be mapped, without ever faulting: each target
 * asks its system whether the bytes can be read (readable_linux.cpp,
 * readable_win32.cpp). */
#ifndef QARVEL_READABLE_H
#define QARVEL_READABLE_H

#include <stdint.h>

/* Copies `size` bytes (at most a page) at `addr` to `out` and returns true
 * when all of them can be read; returns false, copying nothing useful,
 * otherwise. */
bool read_memory(uint32_t addr, void *out, uint32_t size);

#endif
