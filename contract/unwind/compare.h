/* What the platform did against what the model says, promise by promise:
 * the first difference of each promise in a situation, never a cascade. A
 * function of the situation, the prediction, the observation and how the
 * child that ran it ended. */
#ifndef CONTRACT_UNWIND_COMPARE_H
#define CONTRACT_UNWIND_COMPARE_H

#include <vector>

#include "check.h"
#include "model.h"
#include "observation.h"
#include "program.h"

// The promises that s tries, in the contract's order.
std::vector<promise> tried(const situation &s, const prediction &p);

// The first difference of each promise between o and p.
findings compare(const situation &s, const prediction &p, const observation &o,
                 const child_end &end);

#endif
