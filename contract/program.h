/* What a contract program is to the machinery that runs it: its situations,
 * how one is staged and observed (in a child process, into memory shared
 * with the parent), and how what was observed is judged (in the parent,
 * by a model of the contract). contract_main is the whole program: its
 * command line, the supervision of the children, and the lines it prints. */
#ifndef CONTRACT_PROGRAM_H
#define CONTRACT_PROGRAM_H

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

#include "check.h"
#include "cover.h"
#include "dimension.h"

// How the child ended while it ran a situation.
struct child_end {
    enum kind : uint32_t {
        finished,    // the situation ended, and the child went on
        exited,      // the child exited during it, with `code`
        signalled,   // a signal ended the child, `code`
        hung,        // it hung (`code` says how), and was ended
        not_started, // no child could be started
    };
    // How a situation hung: no progress for the program's time, or progress
    // that went on without end.
    enum hang : uint32_t { no_progress = 1, endless };
    uint32_t how = finished, code = 0;
};

struct contract_program {
    const char *name;    // "unwind-contract"
    const char *what;    // what it judges, for --help: "RtlUnwind's contract"
    const dimensions &dims;
    const std::vector<situation> &(*situations)(void); // generated, smallest first
    validity makes_sense;
    size_t observation_size;
    // The bytes at its start that are zeroed before each situation: all of
    // them, or the header of an observation whose later entries its
    // staging fills one by one, each whole.
    size_t cleared_size;
    // A child that makes no progress for this long has hung: its situation
    // is ended and judged as it stands.
    double hang_seconds;
    // In each child, once: how it sees what the platform raises.
    void (*prepare_child)(void);
    // In a child: stages s and notes what happened in `observation` (its
    // first cleared_size bytes zeroed).
    void (*run)(const situation &s, void *observation);
    // In a child, after a situation: whether it left the process unfit for
    // another (or null: none does); the next runs in a new child.
    bool (*spent)(void);
    // The promises that s tries.
    std::vector<promise> (*tried)(const situation &s);
    // What was found in s, given its observation and how its child ended.
    findings (*judge)(const situation &s, const void *observation, const child_end &end);
    // A standalone C program that reproduces the check of p in s.
    std::string (*reproduce)(promise p, const situation &s);
};

int contract_main(const contract_program &program, int argc, char **argv);

#endif
