/* A standalone C program that reproduces one check: it stages the
 * situation with the platform's API alone, prints what the contract
 * expects and what happened, and exits 1 when the platform breaks the
 * promise there. Its expectations are the model's prediction. */
#ifndef CONTRACT_UNWIND_REPRODUCE_H
#define CONTRACT_UNWIND_REPRODUCE_H

#include <string>

#include "promise.h"
#include "reproducer.h"
#include "situation.h"

// The reproducer of the check of `p` in s (a check that s tries).
std::string reproducer(promise p, const situation &s);

#endif
