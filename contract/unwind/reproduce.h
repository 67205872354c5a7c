/* A standalone C program that reproduces one check: it stages the
 * situation with the platform's API alone, prints what the contract
 * expects and what happened, and exits 1 when the platform breaks the
 * promise there. Its expectations are the model's prediction. */
#ifndef CONTRACT_UNWIND_REPRODUCE_H
#define CONTRACT_UNWIND_REPRODUCE_H

#include <string>

#include "promise.h"
#include "situation.h"

// The reproducer of the check of `p` in s (a check that s tries).
std::string reproducer(promise p, const situation &s);

// Keeps the lines of a template whose tags hold, without their tags, and
// fills in its placeholders. A line "@a @!b @c|d text" is kept when the
// feature a is on, b is off, and c or d is on; "{{NAME}}" is replaced by what `values` holds for
// NAME (which may be several lines).
struct template_values {
    std::vector<std::string> features;
    std::vector<std::pair<std::string, std::string>> values;
};
std::string expand(const char *text, const template_values &v);

#endif
