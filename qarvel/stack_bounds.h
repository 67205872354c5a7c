/* The calling thread's stack bounds, from its thread information block
 * (StackBase at FS:4, StackLimit at FS:8), and the checks that keep the
 * tracers' walks on the stack. */
#ifndef QARVEL_STACK_BOUNDS_H
#define QARVEL_STACK_BOUNDS_H

#include <stdbool.h>
#include <stdint.h>

static inline uint32_t stack_base(void)
{
    uint32_t base;
    __asm__ volatile("movl %%fs:4, %0" : "=r"(base) : : "memory");
    return base;
}

static inline uint32_t stack_limit(void)
{
    uint32_t limit;
    __asm__ volatile("movl %%fs:8, %0" : "=r"(limit) : : "memory");
    return limit;
}

/* True when `size` bytes at `addr` lie wholly inside the thread's stack. */
static inline bool on_stack(uint32_t addr, uint32_t size)
{
    uint32_t limit = stack_limit(), base = stack_base();
    return addr >= limit && addr <= base && base - addr >= size;
}

static inline bool word_aligned(uint32_t addr) { return (addr & 3u) == 0; }

#endif
