#include <stdio.h>

#include "qarvel.h"
#include "stack_bounds.h"

// Prints the frame-pointer chain from this routine's own frame outward. A
// frame is followed only while the next one lies strictly above it, on the
// stack and word-aligned; a saved frame pointer of 0 ends the walk.
extern "C" void trace_control_stack(void)
{
    uint32_t fp, sp;
    __asm__ volatile("movl %%ebp, %0\n\tmovl %%esp, %1"
                     : "=r"(fp), "=r"(sp)
                     :
                     : "memory");
    printf("Base frame pointer: 0x%08lx.\n", (unsigned long)fp);
    printf("Base stack pointer: 0x%08lx.\n", (unsigned long)sp);

    for (uint32_t frame = fp; frame != 0;) {
        const uint32_t *slots = reinterpret_cast<const uint32_t *>(frame);
        printf("0x%08lx: 0x%08lx.\n", (unsigned long)frame,
               (unsigned long)slots[1]);
        uint32_t next = slots[0];
        if (next == 0)
            break;
        const char *why = nullptr;
        if (next <= frame)
            why = "is not above frame";
        else if (!on_stack(next, 8))
            why = "lies outside the stack above frame";
        else if (!word_aligned(next))
            why = "is not 4-byte aligned, above frame";
        if (why) {
            printf("next frame 0x%08lx %s 0x%08lx; walk stopped.\n",
                   (unsigned long)next, why, (unsigned long)frame);
            break;
        }
        frame = next;
    }
}
