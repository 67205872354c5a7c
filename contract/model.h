/* The model of RtlUnwind's contract: given a situation, what a conforming
 * platform does, call by call and to its end. It is the one place where an
 * expectation lives. */
#ifndef CONTRACT_MODEL_H
#define CONTRACT_MODEL_H

#include <stdint.h>

#include <vector>

#include "world.h"

// A handler call: whose handler, called by which unwind, and what the
// handlers before it changed in that unwind's context (bits: 1 Eax, 2 Ebx,
// 4 Eip, 8 EFlags).
struct expected_call {
    int node;
    int role;
    uint8_t changes;
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
    // returns: the context as the handlers left it (E5)
    bool eax_changed = false, ebx_changed = false, eip_changed = false,
         eflags_flipped = false;
    int head_after = node_none;
    // raises: the status, or the unwind's record itself (E3)
    uint32_t status = 0;
    bool record_itself = false;
    int at = node_none;          // the record the walk was at
    const char *promise = "";    // the promise that says it raises
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
    int actor = node_none; // the record whose handler acts
    bool collision = false; // some walk meets another unwind's platform record (W5)
};

// What a conforming platform does in s.
prediction predict(const situation &s);

// Whether s is a situation at all: its actor exists when it acts, the
// records it names are the check's, and on 8 threads nothing is raised.
bool makes_sense(const situation &s);

// The chain as staged: the record after n (node_end for the end marker).
int next_of(const situation &s, int n);
// The record at the head when the walk of `role` starts.
int head_of(const situation &s, int role);
// The record that the tested unwind's chain ends in: the end marker, or
// the platform's record of the unwind the call is made from.
int base_of(const situation &s);
// Whether node n lies above node m on the stack.
bool above(int n, int m, odd extra);

#endif
