#include "world.h"

#include <stdio.h>

#include "statuses.h"

const raise_values sentinels = {0xEAEA0A0Au, 0xEBEB0B0Bu, 0xECEC0C0Cu, 0xEDED0D0Du,
                                0x5151E5E5u, 0xD1D1E0E0u, 0xEB9B0909u, 0x0887u};

const char *node_name(int n)
{
    static const struct names {
        char before[most_before][16];
        names()
        {
            for (int i = 0; i < most_before; ++i)
                snprintf(before[i], sizeof before[i], "record %d", i + 1);
        }
    } numbered;
    if (n >= node_before && n < node_before + most_before)
        return numbered.before[n - node_before];
    switch (n) {
    case node_answerer: return "the answering record";
    case node_after: return "the record after it";
    case node_after_2: return "the second record after it";
    case node_odd: return "the record that fails the walk's check";
    case node_catcher: return "the outermost record";
    case node_outer: return "the outer handler's record";
    case node_middle: return "the middle handler's record";
    case node_unwound: return "the record whose unwind handler raises";
    case node_unwind_target: return "the target of the outer unwind";
    case node_vectored_a: return "vectored handler a";
    case node_vectored_b: return "vectored handler b";
    case node_vectored_c: return "vectored handler c";
    case node_vectored_outer: return "the vectored handler that raises";
    case node_filter: return "the top-level filter";
    }
    return "no handler";
}

const char *exception_name(int kind)
{
    switch (kind) {
    case exc_tested: return "the exception";
    case exc_outer: return "the outer exception";
    case exc_middle: return "the middle exception";
    case exc_invalid_disposition: return "STATUS_INVALID_DISPOSITION";
    case exc_noncontinuable: return "STATUS_NONCONTINUABLE_EXCEPTION";
    case exc_step: return "the single step";
    }
    return "an exception no situation raises";
}
