/* The world of a situation: the records that make up the chain, the
 * platform's records that stand at the head while handlers run, and the
 * unwinds that run over them. The model and the staging name them alike. */
#ifndef CONTRACT_WORLD_H
#define CONTRACT_WORLD_H

#include <stdint.h>

#include "situation.h"

// Longer than any chain a fixed limit of a walk could be meant for.
constexpr int most_above = 1100;

// The records of a situation, in the order of rising addresses but for the
// odd record, whose place depends on its kind.
enum node : int {
    // r1, r2, ...: the check's records above the target, r1 at the head
    node_above = 0,
    node_target = most_above, // the target (T), under the records above
    node_floor,               // under the target (F)
    node_unlinked,            // above every record, never linked (N)
    node_below,               // under the head, never linked (B)
    node_target_misaligned,   // two bytes into the target, as a target
    node_odd,                 // the odd record, if any
    node_outer,               // the records of the unwind the call is made from:
    node_outer_2,             //   its first record, whose handler makes the call,
    node_outer_target,        //   another, and its target
    node_middle,              // the same for the unwind in between, in_handler_2
    node_middle_2,
    node_middle_target,
    node_guard_outer,  // the platform's record of each unwind, at the head
    node_guard_middle, //   while that unwind runs a handler
    node_guard_tested,
    node_guard_nested,
    node_end, // the end marker
    node_count,
    node_none = -1,
};

// The unwinds of a situation, outermost first: the one the call is made
// from (in_handler and in_handler_2), the one in between (in_handler_2),
// the call under test, and the one that the actor starts (nests_*).
enum role : int { role_outer, role_middle, role_tested, role_nested, role_count };

inline bool is_guard(int n) { return n >= node_guard_outer && n <= node_guard_nested; }
inline int guard_of(int role) { return node_guard_outer + role; }

// "record 3", "the target", "the record at StackBase - 4", ...
const char *node_name(int n, const situation &s);
const char *role_name(int r);

// Values loaded into the registers for each call of RtlUnwind, different
// for each role, none of which a right answer could produce by accident.
struct call_values {
    uint32_t eax;          // EAX at the call: RtlUnwind must not leave it
    uint32_t return_value; // ReturnValue
    uint32_t ebx, esi, edi;
    uint32_t eflags;       // CF, PF, ZF, SF and OF as set at the call
};
const call_values &values_of(int role);

constexpr uint32_t direction_flag = 0x400u;
// The arithmetic flags, which the caller sets and gets back.
constexpr uint32_t arithmetic_flags = 0x8D5u;

// The caller's exception record (U5): its code, its address, and what its
// i-th parameter holds (its flags, count and chained record: record_row).
constexpr uint32_t callers_code = 0xE0C0FFEEu;
constexpr uint32_t callers_address = 0x12345678u;
constexpr uint32_t callers_parameter(uint32_t i) { return 0xA11A0000u + 7 * i; }

#endif
