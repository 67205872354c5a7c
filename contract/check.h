/* A situation's checks: one line for every promise it tries, "ok", or, for
 * what the comparison found, "not ok" (a deviation) or "differs" (reference
 * behaviour that only one source states, which the platform does
 * otherwise). */
#ifndef CONTRACT_CHECK_H
#define CONTRACT_CHECK_H

#include <string>
#include <vector>

#include "promise.h"

// A difference between the platform and the model, named with the promise
// it breaks: the first of that promise in its situation.
struct finding {
    promise which;
    std::string what;       // what the platform did
    bool reference = false; // what it breaks rests on one source: differs
    bool unstaged = false;  // the situation could not be staged: nothing else was tried
};

// The findings of one situation, one per promise: a later one of a promise
// already found is dropped.
class findings {
public:
    void add(promise which, const std::string &what, bool reference = false);
    bool has(promise which) const { return found_.has(which); }
    bool empty(void) const { return list_.empty(); }
    void mark_unstaged(void);
    const std::vector<finding> &list(void) const { return list_; }

private:
    promise_set found_;
    std::vector<finding> list_;
};

enum class result { ok, not_ok, differs };

struct check {
    promise which;
    result is;
    std::string what;      // empty when ok
    bool unstaged = false; // its situation could not be staged: it is all there is
};

// The checks of a situation that tries `tried` and in which `found` was
// found, in the promises' order: a situation that could not be staged has
// only its findings' lines.
std::vector<check> checks_of(const std::vector<promise> &tried, const findings &found);

const char *word_of(result r); // "ok", "not ok", "differs"

#endif
