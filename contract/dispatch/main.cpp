// dispatch-contract: tries every promise of the exception dispatcher's
// contract in every situation that can break it, and holds what the
// platform did to what the model of the contract says (see contract_main
// for its command line).
#include "compare.h"
#include "program.h"
#include "reproduce.h"
#include "stage.h"

namespace {

// What a round on 8 threads broke that the run alone kept.
round_judge rounds_apart(const situation &s, const prediction &p, const observation &alone)
{
    return [&s, &p, lone = compare(s, p, alone, child_end{})](const observation &round) {
        const findings now = compare(s, p, round, child_end{});
        for (const finding &f : now.list())
            if (!lone.has(f.which) && f.which != promise::D5)
                return std::string("dispatching at once, a thread broke ") + id_of(f.which) +
                       ", which the dispatch alone keeps: " + f.what;
        return std::string();
    };
}

void run(const situation &s, void *o) { run_situation(s, *static_cast<observation *>(o), rounds_apart); }

std::vector<promise> tried_in(const situation &s) { return tried(s, predict(s)); }

findings judge(const situation &s, const void *o, const child_end &end)
{
    return compare(s, predict(s), *static_cast<const observation *>(o), end);
}

} // namespace

int main(int argc, char **argv)
{
    static const contract_program program = {
        "dispatch-contract",
        "the exception dispatcher's contract",
        dispatch_dimensions(),
        dispatch_situations,
        makes_sense,
        sizeof(observation),
        sizeof(observation),
        5.0,
        prepare_dispatch_child,
        run,
        dispatch_child_spent,
        tried_in,
        judge,
        reproducer,
    };
    return contract_main(program, argc, argv);
}
