/* The situations of RtlUnwind's contract: one call of RtlUnwind and the
 * world around it. Each dimension is a table of rows, one per value: the
 * value's name in the situation's name, its weight, how the world stages it
 * and what the model takes from it. A situation's name joins the names of
 * its values with '/', the unnamed ones (no odd record, a context left as
 * it is) left out: "3-above/to-record/own/answers-4/top". */
#ifndef CONTRACT_UNWIND_SITUATION_H
#define CONTRACT_UNWIND_SITUATION_H

#include <stdint.h>

#include <string>
#include <vector>

#include "cover.h"
#include "dimension.h"
#include "stack_edge.h"

enum unwind_dimension {
    dim_above,  // how many records of the check's lie above the target
    dim_odd,    // a record at an edge of the stack or off it
    dim_target, // TargetFrame
    dim_record, // ExceptionRecord
    dim_answer, // what the actor's handler answers
    dim_change, // what the actor changes besides
    dim_place,  // where RtlUnwind is called
    dim_count,
};

// Records above the target: r1 at the head, r2 under it, ...
struct above_row {
    const char *name;
    int weight;
    int records;
};

// A record of the chain that lies at an edge of the stack or off it, met
// after the check's records: at the head when it lies at StackLimit or
// below, which makes it the newest.
struct odd_row {
    const char *name;
    int weight;
    const char *record; // how a line names it
    edge from;
    int32_t offset;
    bool good; // it passes W2's check, and its handler is called
};

enum class target_kind {
    record,     // a record on the chain
    exit,       // null: an exit unwind
    end,        // the end marker 0xFFFFFFFF
    unlinked,   // a record above every record, never on the chain
    below_head, // a record below the head
    passed_over, // a record between two records, which the walk passes over
    misaligned, // two bytes into the record on the chain that would be the target
};

struct target_row {
    const char *name;
    int weight;
    target_kind kind;
};

// ExceptionRecord: null (RtlUnwind's own) or one of the caller's, with
// these fields.
struct record_row {
    const char *name;
    int weight;
    bool own;
    uint32_t flags;
    uint32_t parameters; // each parameter i holds callers_parameter(i)
    bool chained;        // it chains another record
};

// What the actor's handler does with its answer. The actor is the first
// record of the check's that the walk meets; every other handler answers
// ExceptionContinueSearch.
enum class answer_kind {
    search,   // ExceptionContinueSearch
    collided, // ExceptionCollidedUnwind, naming a record in its dispatcher context
    invalid,  // a value that is no disposition of an unwind
    nests,    // a nested RtlUnwind, after which it leaves the walk
};

// The record that a collided answer names, or a nested unwind's target,
// from the actor's place on the chain.
enum class named {
    none,
    next,            // the actor's Next
    past_next,       // the record after its Next
    target_record,   // the record that is the target (or would be)
    past_target,     // the record under it
    same_target,     // a nested unwind's: the TargetFrame of the unwind it runs in
};

struct answer_row {
    const char *name;
    int weight;
    answer_kind kind;
    uint32_t value; // invalid: what it answers
    named names;
};

// A field of the CONTEXT that the actor changes, or the direction flag it
// leaves set itself on returning.
enum class field { none, eax, ebx, ecx, edx, esi, edi, ebp, esp, eip, eflags, live_df };

struct change_row {
    const char *name;
    int weight;
    field what;
    uint32_t value; // the new value; for eflags the bits flipped; for esp, how far below
};

enum class place_kind {
    top,       // by the check's own code
    handler,   // from a handler of an unwind, which then leaves its walk
    handler_2, // from a handler of an unwind started from a handler
    thread,    // on a new thread
    threads,   // on 8 threads at once, over many rounds
};

struct place_row {
    const char *name;
    int weight;
    place_kind kind;
};

// The value a field holds after `change`, given what it held and the place
// that a changed Eip points to.
uint32_t changed_value(const change_row &change, uint32_t was, uint32_t alternate_site);

extern const above_row above_rows[];
extern const odd_row odd_rows[];
extern const target_row target_rows[];
extern const record_row record_rows[];
extern const answer_row answer_rows[];
extern const change_row change_rows[];
extern const place_row place_rows[];

// The rows of s's values.
inline const above_row &above_of(const situation &s) { return above_rows[s.v[dim_above]]; }
inline const odd_row &odd_of(const situation &s) { return odd_rows[s.v[dim_odd]]; }
inline const target_row &target_of(const situation &s) { return target_rows[s.v[dim_target]]; }
inline const record_row &record_of(const situation &s) { return record_rows[s.v[dim_record]]; }
inline const answer_row &answer_of(const situation &s) { return answer_rows[s.v[dim_answer]]; }
inline const change_row &change_of(const situation &s) { return change_rows[s.v[dim_change]]; }
inline const place_row &place_of(const situation &s) { return place_rows[s.v[dim_place]]; }

// What a field of the context, or the register the caller gets back, holds
// once the actor of s has made its change (when `changed`), given what it
// held.
uint32_t after_change(const situation &s, field f, bool changed, uint32_t was,
                      uint32_t alternate_site);

const dimensions &unwind_dimensions(void);
const coverage &unwind_coverage(void);

std::string name_of(const situation &s);

// Whether s makes sense (see validity in cover.h): its actor exists when
// it acts, the records it names are the check's, and a walk that raises
// is tried neither after the actor changed the machine's state nor on 8
// threads at once.
bool makes_sense(const situation &s);

// The situations to try, generated, smallest first.
const std::vector<situation> &unwind_situations(void);

#endif
