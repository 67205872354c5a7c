/* Building a dispatch situation's world and raising its exception, with
 * handlers that note what they see and do what behaviour.h says. Staging
 * only observes: what it saw is judged elsewhere. */
#ifndef CONTRACT_DISPATCH_STAGE_H
#define CONTRACT_DISPATCH_STAGE_H

#include <functional>
#include <string>

#include "model.h"
#include "observation.h"

// On 8 threads, each round's observation is handed to a judge of rounds,
// which says what the round broke that the lone run did not, or nothing.
// It is made once the lone run (`alone`) has ended, and judges the rounds
// on their threads, at once.
using round_judge = std::function<std::string(const observation &round)>;
using round_judge_maker = round_judge (*)(const situation &s, const prediction &p,
                                          const observation &alone);

// Runs s where it says and notes in obs what the platform did. obs starts
// zeroed.
void run_situation(const situation &s, observation &obs, round_judge_maker judge);

// In each child, once: no dialog or debugger for what nobody takes.
void prepare_dispatch_child(void);

// Whether the situations run so far left this process unfit for another:
// a stack overflow on the main thread, whatever ran into its stack's guard,
// for no one re-arms it (X9 covers one overflow); or a vectored handler's
// call left by a jump, which a platform may keep in its list for good (V4
// leaves it open).
bool dispatch_child_spent(void);

#endif
