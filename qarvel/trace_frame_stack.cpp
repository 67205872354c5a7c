#include <stdio.h>

#include "qarvel.h"
#include "stack_bounds.h"

// True when `addr` is one of the records from the head up to, not including,
// `stop`: the walk below only ever climbs, so these are all it has printed.
static bool visited(uint32_t addr, uint32_t stop)
{
    for (uint32_t r = get_seh_frame(); r != stop;
         r = reinterpret_cast<const EXCEPTION_REGISTRATION_RECORD *>(r)->Next)
        if (r == addr)
            return true;
    return addr == stop;
}

// Prints the registration chain from the head. Each record must lie on the
// stack, word-aligned, above the one before it; the end marker ends the walk.
extern "C" void trace_frame_stack(void)
{
    uint32_t prev = 0;
    for (uint32_t record = get_seh_frame(); record != SEH_CHAIN_END;) {
        const char *why = nullptr;
        if (prev != 0 && record <= prev)
            why = visited(record, prev) ? "loops back to" : "points down to";
        else if (!on_stack(record, sizeof(EXCEPTION_REGISTRATION_RECORD)))
            why = "lies outside the stack at";
        else if (!word_aligned(record))
            why = "is not 4-byte aligned at";
        if (why) {
            if (prev != 0)
                printf("record after 0x%08lx %s 0x%08lx; walk stopped.\n",
                       (unsigned long)prev, why, (unsigned long)record);
            else
                printf("chain head %s 0x%08lx; walk stopped.\n", why,
                       (unsigned long)record);
            break;
        }
        const EXCEPTION_REGISTRATION_RECORD *r =
            reinterpret_cast<const EXCEPTION_REGISTRATION_RECORD *>(record);
        printf("0x%08lx: 0x%08lx", (unsigned long)record,
               (unsigned long)seh_addr(reinterpret_cast<const void *>(r->Handler)));
        printf("\n");
        prev = record;
        record = r->Next;
    }
}
