/* The chain head of the calling thread (the word at FS:0) and the 32-bit
 * address of anything, apart from the platform's types (seh_frame.h), so
 * that code built against the platform's own headers reads the head the
 * same way.
 *
 * The accessors go through asm volatile with a memory clobber so that the
 * compiler can neither cache the head nor fold a comparison of the head
 * against the address of a local record. */
#ifndef SEH_CHAIN_HEAD_H
#define SEH_CHAIN_HEAD_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

static inline uint32_t seh_addr(const void *p)
{
    return (uint32_t)(uintptr_t)p;
}

/* The chain head of the calling thread. */
static inline uint32_t get_seh_frame(void)
{
    uint32_t head;
    __asm__ volatile("movl %%fs:0, %0" : "=r"(head) : : "memory");
    return head;
}

/* Writes `record` into the chain head of the calling thread, unchecked. */
static inline void set_seh_frame(uint32_t record)
{
    __asm__ volatile("movl %0, %%fs:0" : : "r"(record) : "memory");
}

#ifdef __cplusplus
}
#endif

#endif
