#include <stdio.h>

#include "qarvel.h"
#include "readable.h"
#include "stack_bounds.h"

// True when `addr` is one of the first `printed` records from the head: the
// records the walk below has printed so far.
static bool printed_before(uint32_t addr, unsigned printed)
{
    uint32_t r = get_seh_frame();
    for (unsigned i = 0; i < printed; ++i) {
        if (r == addr)
            return true;
        EXCEPTION_REGISTRATION_RECORD copy;
        if (!read_memory(r, &copy, sizeof copy))
            return false;
        r = seh_addr(copy.Next);
    }
    return false;
}

// Prints the registration chain from the head. A record may lie on the stack
// or anywhere else its memory can be read (static data, the heap); records
// on the stack lie newest first, each above the one before. The walk stops,
// with a line saying why, at a record already printed, one that is not
// word-aligned, one on the stack that does not lie above the previous one on
// the stack, or one that cannot be read. The end marker ends it.
extern "C" void trace_frame_stack(void)
{
    uint32_t prev = 0, last_on_stack = 0;
    unsigned printed = 0;
    for (uint32_t record = get_seh_frame(); record != SEH_CHAIN_END;) {
        const bool stacked = on_stack(record, sizeof(EXCEPTION_REGISTRATION_RECORD));
        EXCEPTION_REGISTRATION_RECORD r;
        const char *why = nullptr;
        if (!word_aligned(record))
            why = "is not 4-byte aligned at";
        // Only these can be a record printed before: every record printed
        // on the stack lies at or below last_on_stack.
        else if ((!stacked || record <= last_on_stack) &&
                 printed_before(record, printed))
            why = "loops back to";
        else if (stacked && last_on_stack != 0 && record <= last_on_stack)
            why = "points down to";
        else if (!read_memory(record, &r, sizeof r))
            why = "cannot be read at";
        if (why) {
            if (prev != 0)
                printf("record after 0x%08lx %s 0x%08lx; walk stopped.\n",
                       (unsigned long)prev, why, (unsigned long)record);
            else
                printf("chain head %s 0x%08lx; walk stopped.\n", why,
                       (unsigned long)record);
            break;
        }
        printf("0x%08lx: 0x%08lx", (unsigned long)record,
               (unsigned long)seh_addr(reinterpret_cast<const void *>(r.Handler)));
        printf("\n");
        ++printed;
        prev = record;
        if (stacked)
            last_on_stack = record;
        record = seh_addr(r.Next);
    }
}
