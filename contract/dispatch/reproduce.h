/* A standalone C program that reproduces one check of the dispatcher's
 * contract: it stages the situation with the platform's API alone, in a
 * child process of its own, prints what the contract expects and what
 * happened, and exits 1 when the platform breaks the promise there. Its
 * expectations are the model's prediction. */
#ifndef CONTRACT_DISPATCH_REPRODUCE_H
#define CONTRACT_DISPATCH_REPRODUCE_H

#include <string>

#include "promise.h"
#include "situation.h"

// The reproducer of the check of `p` in s (a check that s tries).
std::string reproducer(promise p, const situation &s);

#endif
