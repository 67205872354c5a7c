// libFuzzer target: the input is a chain of records and frames laid out in
// a region of the stack, which both tracers walk. Any fault, hang or runaway
// output is a finding; the tracers' output goes to /dev/null.
#include <stddef.h>
#include <stdio.h>
#include <string.h>

#include "nt_tib.h"
#include "probes.h"
#include "qarvel.h"

namespace {

constexpr size_t region_words = 256;

// An input word as a link: the end marker, 0, just above the stack, or any
// byte of the region (aligned or not).
uint32_t link(uint32_t word, uint32_t start)
{
    switch (word & 7u) {
    case 0: return SEH_CHAIN_END;
    case 1: return 0;
    case 2: return seh_addr(tib_current()->StackBase) + (word >> 3) % 64;
    default: return start + (word >> 3) % (region_words * 4);
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    if (!freopen("/dev/null", "w", stdout))
        return 1;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    uint32_t region[region_words] = {};
    const uint32_t start = seh_addr(region);
    uint32_t words[region_words + 2] = {};
    memcpy(words, data, size < sizeof words ? size : sizeof words);
    for (size_t i = 0; i < region_words; ++i)
        region[i] = link(words[i + 2], start);

    const uint32_t old_head = get_seh_frame();
    set_seh_frame(link(words[0], start));
    trace_frame_stack();
    set_seh_frame(old_head);
    trace_from_frame(start + 4 * (words[1] % region_words));
    return 0;
}
