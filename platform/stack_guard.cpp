#include "stack_guard.h"

#include <sys/mman.h>

#include "kernel.h"

namespace {

constexpr uint32_t page = 4096;
constexpr uint32_t reserve = 16 * 1024;
constexpr uint32_t smallest_guarded = 128 * 1024;

// The calling thread's armed guard page (0: none), and the reserve's end.
__thread uint32_t guard_page __attribute__((tls_model("initial-exec")));
__thread uint32_t reserve_end __attribute__((tls_model("initial-exec")));

void *at(uint32_t address) { return reinterpret_cast<void *>(address); }

bool map_exactly(uint32_t address, uint32_t size, int protection)
{
    void *got = kernel_mmap(at(address), size, protection,
                            MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE | MAP_FIXED_NOREPLACE);
    if (kernel_failed(got))
        return false;
    if (got != at(address)) { // a kernel that took the address as a hint
        kernel_munmap(got, size);
        return false;
    }
    return true;
}

} // namespace

void arm_stack_guard(NT_TIB *tib)
{
    const uint32_t low = (seh_addr(tib->StackLimit) + page - 1) & ~(page - 1);
    const uint32_t high = seh_addr(tib->StackBase);
    if (high <= low || high - low < smallest_guarded)
        return;
    const uint32_t guard = low + reserve;
    if (kernel_mprotect(at(guard), page, PROT_NONE) != 0) {
        if (!map_exactly(low, reserve, PROT_READ | PROT_WRITE))
            return;
        if (!map_exactly(guard, page, PROT_NONE)) {
            kernel_munmap(at(low), reserve);
            return;
        }
    }
    guard_page = guard;
    reserve_end = low;
    tib->StackLimit = at(guard + page);
}

bool in_stack_guard(uint32_t address)
{
    return guard_page != 0 && address - guard_page < page;
}

bool reaches_stack_guard(uint32_t low, uint32_t top)
{
    return guard_page != 0 && top > guard_page && low < guard_page + page;
}

void fire_stack_guard(NT_TIB *tib)
{
    kernel_mprotect(at(guard_page), page, PROT_READ | PROT_WRITE);
    tib->StackLimit = at(reserve_end);
    guard_page = 0;
}

void disarm_stack_guard(void)
{
    if (guard_page != 0)
        kernel_mprotect(at(guard_page), page, PROT_READ | PROT_WRITE);
    guard_page = 0;
}
