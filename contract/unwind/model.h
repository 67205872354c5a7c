/* The model of RtlUnwind's contract: given a situation, what a conforming
 * platform does, call by call and to its end. It is the one place where an
 * expectation lives. */
#ifndef CONTRACT_UNWIND_MODEL_H
#define CONTRACT_UNWIND_MODEL_H

#include <stdint.h>

#include <vector>

#include "promise.h"
#include "world.h"

// A handler call: whose handler, called by which unwind, and whether the
// actor had changed that unwind's context before it (W8: the handlers of an
// unwind share one).
struct expected_call {
    int node;
    int role;
    bool changed;
};

// How an unwind ends.
enum class ending {
    none,      // no such unwind in the situation
    returns,   // to its caller (E1, E5), with the target at the head
    raises,    // a status, or its own record (E3, E4)
    abandoned, // left by the check's own handler (nests_*, and the outer unwinds)
};

struct expected_end {
    ending how = ending::none;
    // returns: the actor changed the context it resumes (E5), as its
    // situation's change says
    bool changed = false;
    int head_after = node_none;
    // raises: the status, or the unwind's record itself (E3)
    uint32_t status = 0;
    bool record_itself = false;
    int at = node_none;          // the record the walk was at
    promise which = promise::E3; // the promise that says it raises
};

struct unwind_plan {
    bool made = false;
    int target = node_none; // node_none for a null target, node_end for 0xFFFFFFFF
    bool own_record = true;
    uint32_t flags = 0; // the unwind flags that its handlers must see (U6)
};

struct prediction {
    unwind_plan unwinds[role_count];
    std::vector<expected_call> calls;
    expected_end ends[role_count];
    int actor = node_none;  // the record whose handler acts
    bool collision = false; // some walk meets another unwind's platform record (W5)
    // a targeted walk meets the static record: whether it lies above the
    // target is the platform's memory layout, and the situation makes no
    // sense
    bool layout_decides = false;
};

// What a conforming platform does in s.
prediction predict(const situation &s);

// What makes_sense needs of a walk: whether the situation is one at all
// (its actor exists when it answers otherwise than going on, the records
// its answer names are the check's own and still ahead of it, and no
// targeted walk meets the static record),
// whether the actor exists, and whether some unwind of it raises. They
// depend only on the records above, the odd record, the target, the answer
// and the place, and are worked out once for each combination of them.
struct walk_facts {
    bool sensible, actor_exists, raises;
};
walk_facts facts_of(const situation &s);

// The chain as staged: the record after n (node_end for the end marker).
int next_of(const situation &s, int n);
// The record at the head when the walk of `role` starts.
int head_of(const situation &s, int role);
// The record that the tested unwind's chain ends in: the end marker, or
// the platform's record of the unwind the call is made from.
int base_of(const situation &s);
// The place of node n on the stack, lowest first: record i above the
// target (node_above + i) has 10 + i.
int rank(int n, const situation &s);
// Whether node n lies above node m on the stack.
bool above(int n, int m, const situation &s);
// Whether node n is a record that fails W2's check.
bool fails_check(int n, const situation &s);
// The node that a collided answer or a nested unwind of the actor names.
int named_node(const situation &s, int actor, int tested_target);

#endif
