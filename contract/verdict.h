/* From what a check's process reported and how it ended to the check's
 * line. */
#ifndef CONTRACT_VERDICT_H
#define CONTRACT_VERDICT_H

#include <string>

#include "checks.h"
#include "process.h"

struct verdict {
    enum kind { ok, not_ok, differs } result;
    std::string what; // what the platform did, unless ok
};

verdict judge(const check &c, const outcome &o);

// "ok ID description", "not ok ID description: what", "differs ID ...".
std::string line_of(const check &c, const verdict &v);

#endif
