/* The platform layer for linux-i386: what the layer adds to the platform's
 * API (seh_platform.h) for its own tools and tests.
 *
 * Every thread that the program starts with pthread_create (and so every
 * std::thread) gets a block of its own, with an empty chain and its own stack
 * bounds, before its start routine runs: the layer interposes pthread_create.
 * For that the layer must come before the C library in the program's lookup
 * order: link the program against it directly, or preload it. It cannot be
 * loaded with dlopen. */
#ifndef SEH_PLATFORM_NT_TIB_H
#define SEH_PLATFORM_NT_TIB_H

#include <stdbool.h>
#include <stdint.h>

#include "context.h"
#include "seh_frame.h"
#include "seh_platform.h"

#ifdef __cplusplus
extern "C" {
#endif

/* The exit status with which the layer ends a process that it cannot serve
 * (no block could be set up for a thread, or the thread has none of its
 * own). */
#define STATUS(name, code, promise, what)
#define LAYER_EXIT(name, status, promise, what) static const int name = status;
#include "statuses.def"
#undef STATUS
#undef LAYER_EXIT

/* The block that FS points to on the calling thread. */
SEH_PLATFORM_API NT_TIB *tib_current(void);

/* Whether tib is the calling thread's own block: false on a thread that the
 * layer did not start (a raw clone, a C library helper thread), which still
 * has its creator's. */
SEH_PLATFORM_API bool tib_is_own(const NT_TIB *tib);

#ifdef __cplusplus
}
#endif

#endif
