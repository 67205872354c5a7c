"""The promises that the contract programs check, by number, each with its
meaning in one line, as the judge names them in a verdict; and the contract
programs, in the order they run, each with the promises it checks."""

# RtlUnwind's, checked by unwind-contract.
UNWIND = {
    "U1": "TargetFrame is the record to unwind to: the unwind stops when it is at the head,"
          " and its own handler is not called",
    "U2": "a null TargetFrame asks for an exit unwind: every record on the chain is unwound",
    "U3": "TargetIp is not used on x86",
    "U4": "a null ExceptionRecord makes RtlUnwind supply its own: code STATUS_UNWIND, flags 0"
          " before the unwind flags, no chained record, no parameters, ExceptionAddress the"
          " return address into RtlUnwind's caller; a nested call supplies another and leaves"
          " the outer unwind's record as it was",
    "U5": "a caller's ExceptionRecord is used as it is: the same pointer reaches every handler,"
          " its fields are left alone and only the unwind flags are or-ed in, still set when"
          " RtlUnwind returns",
    "U6": "EXCEPTION_UNWINDING is set for every unwind, EXCEPTION_EXIT_UNWIND as well exactly"
          " when TargetFrame is null",
    "W1": "the walk starts at the head (FS:0) and goes to older records through Next, newest"
          " first, to the target or the end marker 0xFFFFFFFF",
    "W2": "each record is checked before its handler is called (its 8 bytes within the"
          " thread's stack, 4-byte aligned); one that fails is reported with STATUS_BAD_STACK"
          " and its handler is not called",
    "W3": "a non-null target below the record at the head, which cannot be reached, is"
          " reported with STATUS_INVALID_UNWIND_TARGET",
    "W4": "each handler is called as handler(ExceptionRecord, EstablisherFrame, ContextRecord,"
          " DispatcherContext) with EstablisherFrame the record itself, through a helper whose"
          " record sits at the head in front of the record being unwound",
    "W5": "the helper's record answers ExceptionCollidedUnwind to a nested unwind and names the"
          " record the outer unwind was working on, which the nested unwind takes off without"
          " calling its handler again",
    "W6": "ExceptionContinueSearch goes on, ExceptionCollidedUnwind goes on from the record in"
          " the dispatcher context, any other disposition is reported with"
          " STATUS_INVALID_DISPOSITION",
    "W7": "after its handler returns each record is taken off the chain at once, before the"
          " next handler runs, and each handler is called exactly once per unwind",
    "W8": "ContextRecord points to a CONTEXT captured on entry, the same for every handler of"
          " the unwind: flags 0x10007, Eip the return address, Esp 16 above ESP at the call,"
          " Eax = ReturnValue, the other registers and EFlags as the caller had them",
    "E1": "reaching the target, RtlUnwind returns to its caller as from a stdcall call: ESP 16"
          " above its value at the call, EAX = ReturnValue, EBX, ESI, EDI and EBP as the caller"
          " had them, the direction flag clear; nested calls as outer ones",
    "E2": "reaching the end marker with 0xFFFFFFFF as the target is the same as reaching the"
          " target",
    "E3": "reaching the end marker otherwise (a null target, or one never on the chain),"
          " RtlUnwind raises the exception record itself with the chain now empty (reference"
          " behaviour only)",
    "E4": "the statuses of W2, W3 and W6 are raised as non-continuable exceptions; with no"
          " handler left the process ends with the status",
    "E5": "RtlUnwind returns by resuming the CONTEXT of W8: what a handler changed there is"
          " what the caller gets",
    "T1": "every thread has its own block and chain; a new thread's chain is empty"
          " (0xFFFFFFFF) or holds only the platform's own start-up records",
    "T2": "StackBase and StackLimit describe the calling thread's own stack",
    "T3": "unwinds on several threads at once do not disturb one another: each walk, its"
          " platform records and its own exception record belong to its thread alone",
}

# The dispatcher's, checked by dispatch-contract: a verdict names them by
# number alone.
DISPATCH = dict.fromkeys("%s%d" % (letter, number) for letter, count in (
    ("R", 8), ("D", 5), ("H", 5), ("N", 6), ("C", 4), ("V", 8), ("X", 10), ("F", 5))
    for number in range(1, count + 1))

# Each contract program found beside ostrevin is run, in this order.
CONTRACTS = {"unwind-contract": UNWIND, "dispatch-contract": DISPATCH}
PROMISES = {promise: meaning for table in CONTRACTS.values()
            for promise, meaning in table.items()}


def named(promise):
    """'W3: a non-null target ...', or the bare name of an unknown promise."""
    meaning = PROMISES.get(promise)
    return "%s: %s" % (promise, meaning) if meaning else promise
