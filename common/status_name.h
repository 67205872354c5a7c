/* The name of each of the platform's statuses (statuses.def). */
#ifndef SEH_STATUS_NAME_H
#define SEH_STATUS_NAME_H

#include <stdint.h>

/* "STATUS_BAD_STACK", or null for a code that is none of them. */
static inline const char *status_name(uint32_t code)
{
    switch (code) {
#define STATUS(name, status, promise, what) \
    case status##u:                         \
        return #name;
#define LAYER_EXIT(name, status, promise, what)
#include "statuses.def"
#undef STATUS
#undef LAYER_EXIT
    }
    return 0;
}

#endif
