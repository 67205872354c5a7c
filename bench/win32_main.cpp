// The benchmarks on win32 under Wine: a plain loop timed with the
// platform's high-resolution counter, printing one line per operation in
// the form "BM_<series>[/<depth>] <ns per operation> <iterations>".
// Each series runs for at least 0.3 s, or --min-seconds S; with --quick,
// only a few iterations.
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "operations.h"

namespace {

volatile uint32_t sink;
double min_seconds = 0.3;

double seconds_now()
{
    static LARGE_INTEGER frequency = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return f;
    }();
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return static_cast<double>(now.QuadPart) / static_cast<double>(frequency.QuadPart);
}

template <class F> void measure(const std::string &name, F op)
{
    long iterations = 1;
    double elapsed = 0;
    for (;;) {
        const double start = seconds_now();
        for (long i = 0; i < iterations; ++i)
            sink = op();
        elapsed = seconds_now() - start;
        if (elapsed >= min_seconds || iterations >= (1L << 28))
            break;
        iterations *= elapsed > min_seconds / 10 ? 2 : 10;
    }
    printf("%s %.2f %ld\n", name.c_str(), elapsed * 1e9 / iterations, iterations);
}

} // namespace

int main(int argc, char **argv)
{
    char *end = nullptr;
    if (argc == 2 && strcmp(argv[1], "--quick") == 0) {
        min_seconds = 0;
    } else if (argc == 3 && strcmp(argv[1], "--min-seconds") == 0 &&
               (min_seconds = strtod(argv[2], &end)) > 0 && *end == '\0') {
    } else if (argc != 1) {
        fprintf(stderr, "usage: %s [--quick | --min-seconds S]\n", argv[0]);
        return 2;
    }
    for_each_operation([](const std::string &name, auto op) { measure(name, op); });
    return 0;
}
