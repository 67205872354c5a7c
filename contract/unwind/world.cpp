#include "world.h"

#include <stdio.h>

const char *node_name(int n, const situation &s)
{
    static const struct names {
        char above[most_above][16];
        names()
        {
            for (int i = 0; i < most_above; ++i)
                snprintf(above[i], sizeof above[i], "record %d", i + 1);
        }
    } numbered;
    if (n >= node_above && n < node_above + most_above)
        return numbered.above[n - node_above];
    switch (n) {
    case node_target: return "the target";
    case node_floor: return "the record under the target";
    case node_unlinked: return "the unlinked record";
    case node_below: return "the record under the head";
    case node_target_misaligned: return "two bytes into the target";
    case node_odd: return odd_of(s).record;
    case node_outer: return "the outer unwind's first record";
    case node_outer_2: return "the outer unwind's second record";
    case node_outer_target: return "the outer unwind's target";
    case node_middle: return "the middle unwind's first record";
    case node_middle_2: return "the middle unwind's second record";
    case node_middle_target: return "the middle unwind's target";
    case node_guard_outer: return "the platform's record of the outer unwind";
    case node_guard_middle: return "the platform's record of the middle unwind";
    case node_guard_tested: return "the platform's record of the unwind";
    case node_guard_nested: return "the platform's record of the nested unwind";
    case node_end: return "the end marker";
    }
    return "no record";
}

const char *role_name(int r)
{
    static const char *const names[] = {"outer unwind", "middle unwind", "unwind",
                                        "nested unwind"};
    return r >= 0 && r < role_count ? names[r] : "no unwind";
}

const call_values &values_of(int role)
{
    // EFLAGS: CF, PF, ZF, SF and OF in a pattern of each call's own, with
    // the reserved bit 1 that the processor always sets.
    static const call_values values[role_count] = {
        {0xEA0000EAu, 0x5EED0001u, 0xB0000001u, 0x51000001u, 0xD1000001u, 0x0803u},
        {0xEA0001EAu, 0x5EED0002u, 0xB0000002u, 0x51000002u, 0xD1000002u, 0x0047u},
        {0xEA0002EAu, 0x5EED0003u, 0xB0000003u, 0x51000003u, 0xD1000003u, 0x08C7u},
        {0xEA0003EAu, 0x5EED0004u, 0xB0000004u, 0x51000004u, 0xD1000004u, 0x0087u},
    };
    return values[role];
}
