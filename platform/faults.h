/* Test builds of the layer each break one promise of RtlUnwind, so that the
 * test suite can show that ostrevin reports it. SEH_PLATFORM_FAULT selects
 * which; the ordinary build breaks none. */
#ifndef SEH_PLATFORM_FAULTS_H
#define SEH_PLATFORM_FAULTS_H

enum class fault {
    none,
    no_unwinding_flag,    // handlers called without EXCEPTION_UNWINDING
    record_left,          // records are not taken off the chain
    target_handler_called, // the target's own handler is called as well
    collision_missed,     // a nested unwind calls the running handler again
    stops_one_early,      // the record just above the target is left alone
    returns_into_scenario, // returns as if its caller had returned as well
    null_exception_record, // handlers get no EXCEPTION_RECORD (they fault)
};

#ifndef SEH_PLATFORM_FAULT
#define SEH_PLATFORM_FAULT none
#endif

constexpr fault injected_fault = fault::SEH_PLATFORM_FAULT;

#endif
