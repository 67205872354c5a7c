/* Running situations in child processes, many to a child: a child runs
 * them one after the other, each into a slot of memory it shares with the
 * parent, which judges each as soon as it ends. When the platform ends a
 * child (a fault, a status it cannot raise, a hang), the situation it was
 * running gets that end and a new child goes on with the next. */
#ifndef CONTRACT_SUPERVISOR_H
#define CONTRACT_SUPERVISOR_H

#include <vector>

#include "program.h"

// The program whose situations this process runs, in the parent and in
// every child (a win32 child is a new process): set before anything else.
void run_program(const contract_program &program);

// Called, in order, with each situation and its checks as soon as it has
// been judged.
using check_sink = void (*)(const situation &s, const std::vector<check> &checks, void *arg);

// Runs `list` and hands each situation's checks to `sink`; false when no
// memory could be shared with children (nothing was run).
bool run_supervised(const contract_program &program, const std::vector<situation> &list,
                    check_sink sink, void *arg);

#endif
