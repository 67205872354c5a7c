#include "stack_edge.h"

#include <string.h>

#include "chain_head.h"
#include "format.h"
#include "process.h"
#include "stack_bounds.h"

std::string bound_place(edge from, int32_t offset)
{
    const char *bound = from == edge::base ? "StackBase" : "StackLimit";
    if (offset == 0)
        return bound;
    return format("%s %c %d", bound, offset < 0 ? '-' : '+', offset < 0 ? -offset : offset);
}

uint32_t bound_address(edge from, int32_t offset)
{
    return (from == edge::limit ? stack_limit() : stack_base()) + static_cast<uint32_t>(offset);
}

bool bounds_reach_beyond_stack(void)
{
    uint32_t low, high;
    const auto beyond = [&](bool anew) {
        return stack_extent(&low, &high, anew) && (stack_limit() < low || stack_base() > high);
    };
    return beyond(false) && beyond(true);
}

bool bounds_hold_stack(void)
{
    uint32_t local = 0;
    return stack_limit() < stack_base() && on_stack(seh_addr(&local), 4) &&
           !bounds_reach_beyond_stack();
}

bool word_on_stack(uint32_t addr) { return on_stack(addr, 4); }

// The memory at StackLimit belongs to the stack, but the stack may reach it
// only when it grows there: the kernel grows it on any touch, valgrind only
// on a touch at or above ESP. ESP goes down to just above the limit, as in
// a deep call, and the page there is touched: both map the stack down to
// it, committing nothing between. A limit further down than any stack with
// a limit (the stack of an unlimited ulimit -s) is left to the kernel.
__attribute__((noinline)) void grow_stack_to(uint32_t limit)
{
    const uint32_t margin = 256, farthest = 64u << 20;
    const uint32_t here = seh_addr(__builtin_frame_address(0));
    if (here <= limit + margin || here - limit > farthest)
        return;
    volatile char *low = static_cast<char *>(__builtin_alloca(here - limit - margin));
    *low = 0;
}

__attribute__((noinline)) bool call_with_stack_left(uint32_t room, void (*fn)(void *), void *arg)
{
    const uint32_t farthest = 64u << 20;
    const uint32_t here = seh_addr(__builtin_frame_address(0)), at = stack_floor() + room;
    if (here <= at || here - at > farthest)
        return false;
    volatile char *low = static_cast<char *>(__builtin_alloca(here - at));
    *low = 0;
    fn(arg);
    return true;
}

void write_record(uint32_t at, const uint32_t words[2], bool at_bound, overwritten &kept)
{
    for (uint32_t i = 0; i < 2; ++i) {
        const uint32_t addr = at + 4 * i;
        if (at_bound && !word_on_stack(addr))
            continue;
        void *live = reinterpret_cast<void *>(static_cast<uintptr_t>(addr));
        uint32_t was;
        memcpy(&was, live, 4);
        memcpy(live, &words[i], 4);
        // Once written: a word that faults is not put back.
        if (at_bound) {
            kept.at[kept.count] = addr;
            kept.saved[kept.count++] = was;
        }
    }
}

void put_back(overwritten &kept)
{
    for (uint32_t i = 0; i < kept.count; ++i)
        memcpy(reinterpret_cast<void *>(static_cast<uintptr_t>(kept.at[i])), &kept.saved[i], 4);
    kept.count = 0;
}
