// The operations counted in guest instructions, on both targets, by the
// counting plugin (insn_count.c) under qemu-i386. Each operation runs once
// first, so that whatever its first run alone does (binding a symbol, a
// first allocation) is done, then in two marked regions, of FEW and of MANY
// iterations. The program prints one line per region, "<name> <iterations>",
// in the order in which it runs them, and the plugin one count per region
// in the same order: the difference of the two counts over the difference
// of the iterations is one operation, the loop's own few instructions
// included, whatever the regions' set-up costs.
//
//   bench_count [FEW MANY]   (default 2 and 6; 0 <= FEW < MANY)
//
// Without the plugin the markers are no-ops, and the program only runs.
#include <stdio.h>
#include <stdlib.h>

#include "marker.h"
#include "operations.h"

namespace {

volatile uint32_t sink;

// Not inlined: both regions of an operation run the same code, so that
// their set-up is the same to the instruction.
template <class F> __attribute__((noinline)) void count(const std::string &name, F op,
                                                         long iterations)
{
    mark_region_begin();
    for (long i = 0; i < iterations; ++i)
        sink = op();
    mark_region_end();
    printf("%s %ld\n", name.c_str(), iterations);
}

bool whole_number(const char *text, long *out)
{
    char *end = nullptr;
    *out = strtol(text, &end, 10);
    return *text >= '0' && *text <= '9' && *end == '\0' && *out < 1000000;
}

} // namespace

int main(int argc, char **argv)
{
    long few = 2, many = 6;
    if (argc != 1 && (argc != 3 || !whole_number(argv[1], &few) ||
                      !whole_number(argv[2], &many) || few >= many)) {
        fprintf(stderr, "usage: %s [FEW MANY]  (whole numbers, FEW below MANY)\n", argv[0]);
        return 2;
    }
    for_each_operation([few, many](const std::string &name, auto op) {
        sink = op();
        count(name, op, few);
        count(name, op, many);
    });
    return 0;
}
