// The first pass of an exception, as the 32-bit platform documents it: the
// vectored handlers, then the chain from the head, each handler called with
// the dispatcher's record at the head (handler_call.S), its answer, and the
// statuses the dispatch raises. Everything a dispatch knows lives in its own
// frame, so that an exception raised inside a handler is dispatched in turn
// by the same code, at any depth.
#include "dispatch.h"
#include "fatal.h"
#include "thread_block.h"

namespace {

struct walk_end {
    enum { continued, end_of_chain, bad_record, bad_answer } how;
    uint32_t frame;  // the record that failed D2
    bool nested_to_end; // raised inside the top-level filter
};

uint32_t next_of(uint32_t frame)
{
    return seh_addr(seh_record(frame)->Next);
}

// D1-D3: the chain from the head, each record checked as RtlUnwind checks
// it (W2), and each handler asked once until one continues.
walk_end walk_chain(EXCEPTION_RECORD *record, CONTEXT *context, stack_range stack)
{
    const uint32_t head = get_seh_frame();
    // The highest address at which a whole record fits on the stack, and
    // the record below which none may lie: below the stack at first, then
    // the record just asked (records lie newest first, so one that is not
    // above the one before means a corrupt, perhaps looping, chain).
    const uint32_t high = stack.high - sizeof(EXCEPTION_REGISTRATION_RECORD);
    uint32_t above = stack.low ? stack.low - 1 : 0;
    // N2: the highest record that a nested answer named (0: none). The
    // nested flag holds for the handlers through it and is cleared past it.
    uint32_t nested = 0;
    for (uint32_t frame = head; frame != SEH_CHAIN_END; frame = next_of(frame)) {
        if (frame <= above || frame > high || (frame & 3u) != 0)
            return {walk_end::bad_record, frame, false};
        if (nested != 0 && frame > nested) {
            record->ExceptionFlags &= ~EXCEPTION_NESTED_CALL;
            nested = 0;
        }
        uint32_t named = 0;
        switch (call_frame_handler(record, frame, context, &named, head, frame)) {
        case ExceptionContinueExecution:
            return {walk_end::continued, 0, false};
        case ExceptionContinueSearch:
            break;
        case ExceptionNestedException:
            record->ExceptionFlags |= EXCEPTION_NESTED_CALL;
            if (named > nested)
                nested = named;
            break;
        default: // H3: ExceptionCollidedUnwind in a first pass, or no answer
            return {walk_end::bad_answer, frame, false};
        }
        above = frame;
    }
    return {walk_end::end_of_chain, 0, nested == SEH_CHAIN_END};
}

[[noreturn]] void raised_without_block(const EXCEPTION_RECORD *record)
{
    fatal_line line;
    line << "seh_platform: exception ";
    line.hex(record->ExceptionCode) << " raised at ";
    line.hex(seh_addr(record->ExceptionAddress))
        << " on a thread without an information block of its own (not started by "
           "pthread_create): not dispatched";
    line.exit(SEH_PLATFORM_EXIT_NO_BLOCK);
}

} // namespace

// N1, N2, N6: while a first-pass handler runs, its dispatcher's record is
// the head. A nested exception's walk meets it first and learns which
// record was running (the one after which the nested flag is cleared); an
// unwind passes it silently.
uint32_t dispatcher_record_handler(EXCEPTION_RECORD *record, void *frame, void *,
                                   void *dispatcher)
{
    if (record->ExceptionFlags & EXCEPTION_UNWIND)
        return ExceptionContinueSearch;
    *static_cast<uint32_t *>(dispatcher) = static_cast<const uint32_t *>(frame)[2];
    return ExceptionNestedException;
}

// NtContinue returns only for a context it cannot read, and the
// dispatcher's contexts lie in its own frames.
void continue_context(CONTEXT *context)
{
    seh_continue(context, 0);
    __builtin_trap();
}

// H4, C3: a new exception, noncontinuable, chained to the one whose dispatch
// found the status, raised from here after the offending handler returned.
// Should it come back all the same (a vectored handler resumed it
// unchanged), it was continued, and that raises its own status.
void raise_status(uint32_t status, EXCEPTION_RECORD *chained)
{
    EXCEPTION_RECORD raised;
    raised.ExceptionCode = status;
    raised.ExceptionFlags = EXCEPTION_NONCONTINUABLE;
    raised.ExceptionRecord = chained;
    raised.ExceptionAddress = nullptr;
    raised.NumberParameters = 0;
    seh_raise(&raised);
    raise_status(STATUS_NONCONTINUABLE_EXCEPTION, &raised);
    __asm__ volatile("" ::: "memory"); // not a tail call: `raised` stays
}

void dispatch_exception(EXCEPTION_RECORD *record, CONTEXT *context)
{
    const NT_TIB *tib = own_block();
    if (__builtin_expect(!tib, 0))
        raised_without_block(record);
    // V1, V3 (V6: a noncontinuable exception is resumed all the same).
    EXCEPTION_POINTERS pointers = {record, context};
    if (call_vectored_handlers(&pointers) == EXCEPTION_CONTINUE_EXECUTION)
        continue_context(context);
    const uint32_t sp = seh_addr(__builtin_frame_address(0));
    const walk_end end = walk_chain(record, context, stack_in_use(tib, sp));
    switch (end.how) {
    case walk_end::continued:
        if (record->ExceptionFlags & EXCEPTION_NONCONTINUABLE)
            raise_status(STATUS_NONCONTINUABLE_EXCEPTION, record); // C3
        continue_context(context);                                 // C1
    case walk_end::bad_answer:
        raise_status(STATUS_INVALID_DISPOSITION, record); // H3
    case walk_end::bad_record:
        record->ExceptionFlags |= EXCEPTION_STACK_INVALID; // D2: F4, no filter
        end_unhandled(record, end.frame);
    case walk_end::end_of_chain:
        break;
    }
    top_level(record, context, end.nested_to_end);
}
