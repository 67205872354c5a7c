/* The platform's statuses and the layer's exit status, from their one
 * table. */
#ifndef CONTRACT_STATUSES_H
#define CONTRACT_STATUSES_H

#include <stdint.h>

#define STATUS(name, code, promise, what) constexpr uint32_t name = code##u;
#define LAYER_EXIT(name, status, promise, what) constexpr uint32_t name = status;
#include "statuses.def"
#undef STATUS
#undef LAYER_EXIT

// "STATUS_BAD_STACK", or null for a code that is none of them.
const char *status_name(uint32_t code);

#endif
