// unwind-contract: tries every promise of RtlUnwind's contract in every
// situation that can break it, and holds what the platform did to what the
// model of the contract says (see contract_main for its command line).
#include <stddef.h>

#include "compare.h"
#include "program.h"
#include "raises.h"
#include "reproduce.h"
#include "stage.h"

namespace {

// What a round on 8 threads broke that the run alone kept.
round_judge rounds_apart(const situation &s, const prediction &p, const observation &alone)
{
    return [&s, &p, lone = compare(s, p, alone, child_end{})](const observation &round) {
        const findings now = compare(s, p, round, child_end{});
        for (const finding &f : now.list())
            if (!lone.has(f.which) && f.which != promise::T3)
                return std::string("unwinding at once, a thread broke ") + id_of(f.which) +
                       ", which the unwind alone keeps: " + f.what;
        return std::string();
    };
}

void run(const situation &s, void *o)
{
    run_situation(s, *static_cast<observation *>(o), rounds_apart);
}

std::vector<promise> tried_in(const situation &s) { return tried(s, predict(s)); }

findings judge(const situation &s, const void *o, const child_end &end)
{
    return compare(s, predict(s), *static_cast<const observation *>(o), end);
}

} // namespace

int main(int argc, char **argv)
{
    static const contract_program program = {
        "unwind-contract",
        "RtlUnwind's contract",
        unwind_dimensions(),
        unwind_situations,
        makes_sense,
        sizeof(observation),
        offsetof(observation, calls),
        5.0,
        watch_raises,
        run,
        nullptr,
        tried_in,
        judge,
        reproducer,
    };
    return contract_main(program, argc, argv);
}
