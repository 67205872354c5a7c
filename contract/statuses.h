/* The platform's statuses (declared with its types, seh_frame.h) and the
 * layer's exit status, from their one table. */
#ifndef CONTRACT_STATUSES_H
#define CONTRACT_STATUSES_H

#include <stdint.h>

#include "seh_frame.h"
#include "status_name.h"

#define STATUS(name, code, promise, what)
#define LAYER_EXIT(name, status, promise, what) constexpr uint32_t name = status;
#include "statuses.def"
#undef STATUS
#undef LAYER_EXIT


#endif
