/* The model of the dispatcher's contract: given a situation, what a
 * conforming platform does around the check's handlers (behaviour.h), call
 * by call and to the end. It is the one place where an expectation lives. */
#ifndef CONTRACT_DISPATCH_MODEL_H
#define CONTRACT_DISPATCH_MODEL_H

#include <stdint.h>

#include <vector>

#include "behaviour.h"
#include "promise.h"
#include "world.h"

// One dispatch: an exception raised, and its first pass.
struct expected_dispatch {
    int exc;
    uint32_t flags;  // ExceptionFlags as raised, before any nested flag
    int chained;     // the dispatch whose record it chains, or -1
    int head;        // the record at the head when it was raised (N1)
    int parent;      // the dispatch during which it was raised, or -1 (R8)
    int restart_of;  // the dispatch of the same fault run again (C4), or -1
    promise why;     // what makes it happen: the raise, H4, C3, C4, F5
};

struct expected_call {
    int node;
    int dispatch;   // whose record and context it gets
    bool unwinding; // called by an unwind rather than by the first pass
    int8_t nested;  // EXCEPTION_NESTED_CALL: 1 set, 0 clear, -1 not judged
    promise why;    // the promise that puts this call here
    decision act;   // what the handler does (first pass)
};

enum class resume_site : uint32_t {
    none,
    returned,  // the return address of the raising call
    alternate, // where a handler pointed Eip
    after,     // past the faulting instruction (or the trap's next one)
};

// How the raise point got control back.
struct expected_resume {
    bool made = false;
    resume_site site = resume_site::none;
    bool as_left = true; // the registers are the context as its continuer left it
    int by = node_none;  // the handler that continued it
    int dispatch = -1;   // the dispatch it ended
    promise why = promise::C1;
};

enum class situation_end {
    returns,       // the staging came back by itself
    caught,        // the outermost record took an exception and left
    filter_leaves, // the filter, after its raise, left the situation
    ends_process,  // the platform ended the process
};

struct prediction {
    std::vector<expected_dispatch> dispatches;
    std::vector<expected_call> calls;
    expected_resume resume;
    bool answerer_landed = false; // the answering record's unwind returned (H5)
    situation_end end = situation_end::returns;
    int caught_dispatch = -1;  // caught: the dispatch whose exception it took
    uint32_t exit_code = 0;    // ends_process: the code
    promise exit_why = promise::F4;
    bool filter_installed = false;
    bool unwinds_past_dispatcher = false; // an unwind meets the dispatcher's record (N6)
    // the platform ends the process after the filter: whether its frame
    // unwinds the records before it first, as an except block would, is
    // its own
    bool may_unwind_at_end = false;
};

// The fwait that reported an x87 exception, continued with the context
// unchanged, runs again: it faults again where the platform resumes the x87
// with the exception pending, as the context's status word holds it (the
// reference), and runs on where the platform resumes the x87 without it
// (the contract holds the platform to the context's integer registers, Eip,
// Esp and EFlags alone: C1).
enum class x87_resume { pending, cleared };

prediction predict(const situation &s, x87_resume x87 = x87_resume::pending);

// Whether p, the reference, has the fwait of an x87 exception of s run
// again after a continue: where the platform's x87_resume decides.
bool restarts_x87(const situation &s, const prediction &p);

// The vectored handlers of s in the order they are called.
std::vector<int> vectored_order(const situation &s);

// The chain of the tested records, head first (the world the raise sees on
// top of whatever its place has below it).
std::vector<int> tested_records(const situation &s);

// Where each of the check's records lies: a higher rank, a higher address.
int rank_of(int node);

#endif
