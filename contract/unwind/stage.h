/* Building a situation's world on the stack and making its calls of
 * RtlUnwind, with handlers that note what they see. Staging only observes:
 * what it saw is judged elsewhere. */
#ifndef CONTRACT_UNWIND_STAGE_H
#define CONTRACT_UNWIND_STAGE_H

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

// Runs s where it says (this thread, a new thread, 8 threads at once) and
// notes in obs what the platform did. obs starts zeroed.
void run_situation(const situation &s, observation &obs, round_judge_maker judge);

// For the exception handlers of each target: the call of RtlUnwind that
// this thread is in (the innermost), or null; and the way out of the
// situation that this thread runs.
seen_unwind *unwind_in_progress(void);
uint32_t way_out(void);

#endif
