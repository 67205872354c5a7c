// A caller that keeps values in EBX, ESI and EDI across a harness run must
// get them back, however the run ends: through a forced unwind, and through
// test 5's nested unwinds into its own invoke_callback calls.
#include <stdio.h>

#include "probes.h"
#include "qarvel.h"
#include "scenarios.h"

static void run_harness(void *scenario)
{
    establish_return_frame(reinterpret_cast<scenario_fn>(scenario));
}

static bool kept(const char *what, void (*scenario)(void))
{
    uint32_t regs[3];
    call_with_callee_saved(run_harness, reinterpret_cast<void *>(scenario),
                           regs);
    if (regs[0] == probe_ebx && regs[1] == probe_esi && regs[2] == probe_edi) {
        printf("%s: EBX, ESI and EDI kept.\n", what);
        return true;
    }
    printf("%s: EBX 0x%08lx, ESI 0x%08lx, EDI 0x%08lx after the run.\n", what,
           (unsigned long)regs[0], (unsigned long)regs[1],
           (unsigned long)regs[2]);
    return false;
}

int main(void)
{
    bool ok = kept("forced unwind", clobber_and_unwind);
    ok = kept("dirty unwind", test_05_dirty_unwind_frame) && ok;

    // An optimised loop keeps its counter in a callee-saved register.
    int passes = 0;
    for (int i = 0; i < 4; ++i) {
        establish_return_frame(test_04_clean_unwind_frame);
        ++passes;
    }
    printf("%d passes of a forced unwind in a loop.\n", passes);
    return ok ? 0 : 1;
}
