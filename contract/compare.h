/* What the platform did against what the model says, promise by promise:
 * the first difference of each promise in a situation, never a cascade. */
#ifndef CONTRACT_COMPARE_H
#define CONTRACT_COMPARE_H

#include <string>
#include <vector>

#include "model.h"
#include "observation.h"

struct finding {
    const char *promise;
    std::string what;       // what the platform did
    bool reference = false; // reference behaviour only: differs, not a deviation
    bool unstaged = false;  // the situation could not be staged: nothing else was tried
};

bool operator==(const finding &a, const finding &b);

// The promises in the contract's order.
extern const char *const promises[];
extern const int promise_count;

// The promises that s tries, in the contract's order.
std::vector<const char *> tried(const situation &s, const prediction &p);

// The first difference of each promise between o and p. `raises`: the
// platform raises its statuses (win32), rather than ending the process
// with them (the linux-i386 layer).
std::vector<finding> compare(const situation &s, const prediction &p, const observation &o,
                             bool raises);

#endif
