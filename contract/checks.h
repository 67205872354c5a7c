/* The checks of the contract program: one or more per promise of the
 * documented contract of RtlUnwind (U1..U6, W1..W7, E1..E4, T1, T2), in the
 * contract's order. Each runs in a process of its own. */
#ifndef CONTRACT_CHECKS_H
#define CONTRACT_CHECKS_H

#include <stdint.h>

// The platform's statuses, as the contract names them.
constexpr uint32_t status_invalid_disposition = 0xC0000026u;
constexpr uint32_t status_unwind = 0xC0000027u;
constexpr uint32_t status_bad_stack = 0xC0000028u;
constexpr uint32_t status_invalid_unwind_target = 0xC0000029u;
constexpr uint32_t status_stack_overflow = 0xC00000FDu;

// How a check's process has to end for the check to pass.
enum class ending {
    returns,   // RtlUnwind came back and the check ran to its end
    unwind_end, // as `returns`, or ended by STATUS_UNWIND at the end marker (E3)
    status,    // ended with `status`, never returning
    reference, // as `status`, but the status is only the reference behaviour
    raise,     // `status` raised to the check's own record at the bottom of
               // the chain; where the platform cannot raise, ended with it
};

struct check {
    const char *id;          // the promise, U1 .. T2
    const char *name;        // the child's argument
    const char *description; // never contains ": "
    void (*run)(void);
    ending end;
    uint32_t status;
    uint32_t also = 0; // for `status`: a second status that passes as well, or 0
};

// Runs the check of that name in this process (a child's work); false if
// there is none.
bool run_named_check(const char *name);

// The checks of each group, in order.
extern const check argument_checks[]; // U1..U6
extern const int argument_check_count;
extern const check walk_checks[]; // W1..W7
extern const int walk_check_count;
extern const check end_checks[]; // E1..E4
extern const int end_check_count;
extern const check thread_checks[]; // T1, T2
extern const int thread_check_count;

#endif
