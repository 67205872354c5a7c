/* A situation: one call of RtlUnwind and the world around it, as data. Each
 * dimension is an enumeration whose values have short names; a situation's
 * name joins them with '/', its chain's odd record left out when there is
 * none: "3-above/to-record/own/answers-4/in-handler". */
#ifndef CONTRACT_SITUATION_H
#define CONTRACT_SITUATION_H

#include <string>
#include <vector>

// How many records of the check's lie above the target: 0, 1, 3 or 64.
enum class depth { none, one, three, many };
// A record of the chain that lies at an edge of the stack or off it, met
// after the check's records (at the head, for the one at StackLimit). The
// first two and the last three fail the check of W2.
enum class odd {
    none,
    off_stack,  // a static record
    misaligned, // 2 bytes off a word
    limit,      // at StackLimit: good
    limit_4,    // at StackLimit - 4
    limit_8,    // at StackLimit - 8
    base_8,     // at StackBase - 8: good
    base_4,     // at StackBase - 4: its 8 bytes cross StackBase
    base,       // at StackBase
};
// TargetFrame.
enum class target {
    record,      // a record on the chain
    exit,        // null: an exit unwind
    end,         // the end marker 0xFFFFFFFF
    unlinked,    // a record above every record, never on the chain
    below_head,  // a record below the head
    passed_over, // a record between two records, which the walk passes over
};
// ExceptionRecord: null (RtlUnwind's own) or one of the caller's.
enum class supplied { own, callers };
// What the handler of the first record of the check's that the walk meets
// (the actor) does; every other handler answers ExceptionContinueSearch.
enum class action {
    continues,    // answers ExceptionContinueSearch
    collides,     // answers ExceptionCollidedUnwind, naming its Next
    answers_0,    // ExceptionContinueExecution
    answers_2,    // ExceptionNestedException
    answers_4,
    answers_max,  // 0xFFFFFFFF
    nests_next,   // a nested RtlUnwind to its Next, then leaves the walk
    nests_past,   // a nested RtlUnwind to the record after its Next, then leaves
    nests_target, // a nested RtlUnwind to the outer unwind's target, then leaves
    sets_eax,     // changes Eax in the context
    sets_ebx,     // changes Ebx in the context
    sets_eip,     // points Eip in the context at another return site
    sets_eflags,  // flips CF, ZF, SF and OF in the context
    leaves_df,    // returns with the direction flag set
};
// Where RtlUnwind is called.
enum class place {
    top,       // by the check's own code
    handler,   // from a handler of an unwind, which then leaves its walk
    handler_2, // from a handler of an unwind started from a handler
    thread,    // on a new thread
    threads,   // on 8 threads at once, over many rounds
};

struct situation {
    depth above;
    odd extra;
    target to;
    supplied record;
    action act;
    place where;
};

bool operator==(const situation &a, const situation &b);

// The number of records above the target.
int records_above(depth d);

std::string name_of(const situation &s);
// The situation that a name describes, whether or not it is one of the
// list; false when the name describes none.
bool parse_situation(const std::string &name, situation *out);
// The situation of the list of that name, false when there is none.
bool situation_named(const std::string &name, situation *out);

// The situations to try, generated: every valid pair of values of any two
// dimensions, and every valid triple of the action, the exception record
// and the place, and of the target, the exception record and the place,
// occurs in at least one of them. The same list, in the same order, on
// every run.
const std::vector<situation> &all_situations(void);

#endif
