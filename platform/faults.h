/* Test builds of the layer each break one promise of RtlUnwind, so that the
 * test suite can show that ostrevin and unwind-contract report it.
 * SEH_PLATFORM_FAULT selects which; the ordinary build breaks none. The
 * faults after the first five each break one promise of the contract, named
 * by its number. */
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
    exit_unwind_keeps_oldest, // U2: an exit unwind stops above the oldest record
    jumps_to_target_ip,   // U3: calls TargetIp at the end when it names code
    own_record_parameters, // U4: RtlUnwind's own record has a parameter
    own_record_address,   // U4: its ExceptionAddress is RtlUnwind itself
    record_replaced,      // U5: handlers get a copy of the caller's record
    flags_assigned,       // U5: the caller's flags are replaced, not or-ed
    exit_flag_on_targeted, // U6: EXCEPTION_EXIT_UNWIND on every unwind
    no_exit_flag,         // U6: EXCEPTION_EXIT_UNWIND on none
    skips_head,           // W1: the head record is unwound without its handler
    no_record_check,      // W2: records are not checked before their handler
    target_not_checked,   // W3: a target passed over ends the walk as if met
    wrong_establisher_frame, // W4: handlers get the layer's own record
    unlinked_before_handler, // W4: a record goes before its handler runs
    disposition_ignored,  // W6: every answer counts as ExceptionContinueSearch
    collided_unchecked,   // W6: the record a collided answer names is not checked
    handler_called_twice, // W7: every handler is called twice
    unlinked_at_end,      // W7: records are taken off all at once at the end
    eax_not_return_value, // E1: RtlUnwind returns 0
    esp_off_by_4,         // E1: RtlUnwind pops 12 bytes of arguments (return_faults.S)
    esp_off_by_16,        // E1: RtlUnwind pops none (return_faults.S)
    callee_saved_clobbered, // E1: EBX, ESI, EDI come back changed (return_faults.S)
    ebp_clobbered,        // E1: EBP comes back changed (return_faults.S)
    end_marker_raises,    // E2: 0xFFFFFFFF as target ends like a null target
    returns_at_end,       // E3: RtlUnwind returns at the end marker
    empty_chain_is_zero,  // T1: a new thread's empty chain is 0
    shared_chain,         // T1: every thread uses the main thread's block
    creator_stack_base,   // T2: a new thread's StackBase is the main thread's
    main_stack_limit_low, // T2: the main thread's StackLimit is 256 MiB too low
};

#ifndef SEH_PLATFORM_FAULT
#define SEH_PLATFORM_FAULT none
#endif

constexpr fault injected_fault = fault::SEH_PLATFORM_FAULT;

#endif
