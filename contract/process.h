/* Running situations in child processes, many to a child: a child runs
 * them one after the other and notes what it sees in memory it shares with
 * its parent. When the platform ends a child (a status where it cannot
 * raise, a fault, a hang), the situation it was running gets that end and
 * a new child goes on with the next. One file per target. */
#ifndef CONTRACT_PROCESS_H
#define CONTRACT_PROCESS_H

#include <stddef.h>
#include <stdint.h>

#include "observation.h"

// The header of the shared memory, and the observations after it.
struct shared_runs {
    uint32_t count;   // situations to run
    uint32_t current; // the one a child is running
    uint32_t done;    // how many have been run
    uint32_t indexes[1]; // the situations' indexes; observations follow the header
};

inline size_t shared_size(uint32_t count, size_t *header)
{
    *header = (offsetof(shared_runs, indexes) + 4 * count + 15) & ~size_t{15};
    return *header + sizeof(observation) * count;
}

inline observation *observations_of(shared_runs *runs)
{
    size_t header;
    shared_size(runs->count, &header);
    return reinterpret_cast<observation *>(reinterpret_cast<char *>(runs) + header);
}

// Runs the situations of `indexes` (into all_situations()) and returns
// their observations, in the same order, in memory that lives as long as
// the process.
observation *run_in_children(const uint32_t *indexes, uint32_t count);

// Whether the platform raises its statuses to the chain, rather than ending
// the process with them: both targets' platforms do (raises.cpp).
bool platform_raises(void);

// In a child, before its situations: whatever the platform raises is noted
// on the call of RtlUnwind that was running and the situation is left
// (raises.cpp, both targets).
void observe_raises(void);

// A child's work, when the program is started as one (win32); false when
// argv is not a child's.
bool run_as_child(int argc, char **argv);

#endif
