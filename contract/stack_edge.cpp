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

namespace {

// Calls fn(arg) with ESP just below `at`, the stack there touched, as a deep
// call would: false, calling nothing, where `at` is not below the caller's
// frame or lies further down than any stack with a limit reaches (the stack
// of an unlimited ulimit -s).
__attribute__((noinline)) bool call_down_at(uint32_t at, void (*fn)(void *), void *arg)
{
    const uint32_t farthest = 64u << 20;
    const uint32_t here = seh_addr(__builtin_frame_address(0));
    if (here <= at || here - at > farthest)
        return false;
    volatile char *low = static_cast<char *>(__builtin_alloca(here - at));
    *low = 0;
    fn(arg);
    return true;
}

} // namespace

// The memory at StackLimit belongs to the stack, but the stack may reach it
// only when it grows there: the kernel grows it on any touch, valgrind only
// on a touch at or above ESP. ESP goes down to just above the limit, as in
// a deep call, and the page there is touched: both map the stack down to
// it, committing nothing between. A limit beyond reach is left to the
// kernel.
void grow_stack_to(uint32_t limit)
{
    call_down_at(limit + 256, [](void *) {}, nullptr);
}

bool call_with_stack_left(uint32_t room, void (*fn)(void *), void *arg)
{
    return call_down_at(stack_floor() + room, fn, arg);
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
