// unwind-contract: checks a platform's RtlUnwind against its documented
// contract, one line per check, each check in a process of its own.
#include <stdio.h>
#include <string.h>

#include <vector>

#include "checks.h"
#include "observe.h"
#include "process.h"
#include "report.h"
#include "verdict.h"

namespace {

constexpr int timeout_seconds = 10;

std::vector<const check *> all_checks(void)
{
    std::vector<const check *> all;
    const struct {
        const check *checks;
        int count;
    } groups[] = {
        {argument_checks, argument_check_count},
        {walk_checks, walk_check_count},
        {end_checks, end_check_count},
        {thread_checks, thread_check_count},
    };
    for (const auto &g : groups)
        for (int i = 0; i < g.count; ++i)
            all.push_back(&g.checks[i]);
    return all;
}

} // namespace

bool run_named_check(const char *name)
{
    for (const check *c : all_checks())
        if (strcmp(c->name, name) == 0) {
            c->run();
            report_done();
            return true;
        }
    return false;
}

int main(int argc, char **argv)
{
    if (argc > 2) {
        fprintf(stderr, "usage: unwind-contract (it takes no arguments)\n");
        return 2;
    }
    if (argc == 2) { // a child started by run_check_process
        prepare_child();
        if (!run_named_check(argv[1])) {
            fprintf(stderr, "unwind-contract: no check named %s\n", argv[1]);
            return 2;
        }
        return 0;
    }
    int counts[3] = {};
    const std::vector<const check *> all = all_checks();
    for (const check *c : all) {
        const verdict v = judge(*c, run_check_process(c->name, timeout_seconds));
        ++counts[v.result];
        printf("%s\n", line_of(*c, v).c_str());
        fflush(stdout);
    }
    printf("%d checks: %d ok, %d not ok, %d differs\n", (int)all.size(),
           counts[verdict::ok], counts[verdict::not_ok], counts[verdict::differs]);
    return 0;
}
