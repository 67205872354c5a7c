/* The world of a dispatch situation: the handlers of the check's that an
 * exception can reach (vectored handlers, records on the chain, the
 * top-level filter), the exceptions that run through them, and the values
 * the raise point's registers hold. The model and the staging name them
 * alike. */
#ifndef CONTRACT_DISPATCH_WORLD_H
#define CONTRACT_DISPATCH_WORLD_H

#include <stdint.h>

// More records before the answering one than any fixed limit of a walk
// would be meant for.
constexpr int most_before = 64;

enum node : int {
    // b1, b2, ...: the records before the answering one, b1 at the head
    node_before = 0,
    node_answerer = most_before, // the record that answers the exception (A)
    node_after,                  // the records after it
    node_after_2,
    node_odd,          // a record that fails the walk's check (D2)
    node_catcher,      // the check's outermost record: takes what is left over
    node_outer,        // the record whose handler raises (in a handler)
    node_middle,       // the record whose handler raises two deep
    node_unwound,      // the record whose unwind handler raises (in an unwind)
    node_unwind_target, // the target of that unwind
    node_vectored_a,   // the vectored handlers, in the order added: a and b
    node_vectored_b,   //   with First zero, c with First nonzero
    node_vectored_c,
    node_vectored_outer, // the vectored handler that raises (in a vectored handler)
    node_filter,         // the top-level filter
    node_count,
    node_none = -1,
};

inline bool is_vectored(int n) { return n >= node_vectored_a && n <= node_vectored_outer; }
inline bool is_record(int n) { return n >= 0 && n < node_vectored_a; }

// "record 3", "the answering record", ...
const char *node_name(int n);

// The exceptions of a situation, told apart by their codes: the one under
// test, those raised around it to stage where it is raised, and the
// dispatcher's own statuses (H4).
enum exception_kind : int {
    exc_tested,
    exc_outer,  // raised at the top, for a raise in its handler or filter
    exc_middle, // raised in the outer exception's handler, two deep
    exc_invalid_disposition,
    exc_noncontinuable,
    exc_step, // the single step after a context continued with the trap flag set
    exc_other, // anything else: no situation raises it
    exc_count,
};

constexpr uint32_t outer_code = 0xE0000E01u;
constexpr uint32_t middle_code = 0xE0000E02u;
const char *exception_name(int kind);

// The arguments that RaiseException is given: argument i holds
// argument_value(i); the caller's record of RtlRaiseException holds these.
constexpr uint32_t argument_value(uint32_t i) { return 0xA5650000u + 0x11 * i; }
constexpr uint32_t callers_address = 0x12345678u; // what RtlRaiseException must replace

// The raise point's registers: a value of each, none of which a platform
// could produce by accident, and the arithmetic flags as a pattern.
struct raise_values {
    uint32_t eax, ebx, ecx, edx, esi, edi, ebp;
    uint32_t eflags;
};
extern const raise_values sentinels;

constexpr uint32_t direction_flag = 0x400u;
constexpr uint32_t trap_flag = 0x100u;
constexpr uint32_t single_step_code = 0x80000004u;
constexpr uint32_t status_flags = 0x8D5u; // CF, PF, AF, ZF, SF, OF

// An address that no thread may read, write or run: the first page.
constexpr uint32_t inaccessible = 0x10u;
// What touching it raises: EXCEPTION_ACCESS_VIOLATION.
constexpr uint32_t access_violation = 0xC0000005u;

constexpr uint32_t EXCEPTION_NONCONTINUABLE_FLAG = 0x01u;
constexpr uint32_t EXCEPTION_STACK_INVALID_FLAG = 0x08u;
constexpr uint32_t EXCEPTION_NESTED_CALL_FLAG = 0x10u;
constexpr uint32_t context_minimum = 0x10007u; // CONTROL | INTEGER | SEGMENTS
constexpr uint32_t context_floating_point = 0x10008u; // FloatSave

#endif
