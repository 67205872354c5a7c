// RtlUnwind as the 32-bit platform documents it.
#include "faults.h"
#include "thread_block.h"
#include "unwind_errors.h"

namespace {

// Room that a handler call must have left on the stack; below it, the
// unwind reports a stack overflow rather than running off the stack. It
// covers a handler call and the fatal path, and leaves the first unwind of a
// 16 KiB thread stack room to run.
constexpr uint32_t stack_reserve = 4 * 1024;

// While a handler runs, this record sits at the head in front of the record
// being unwound, which is its Next. A nested unwind that meets it learns,
// from the collided disposition, which record the outer unwind was working
// on. One guard serves a whole walk.
struct unwind_guard {
    EXCEPTION_REGISTRATION_RECORD record;
    uint32_t unwinding; // the record whose handler runs, when not Next
};

// Faulty builds in which the record being unwound is not the guard's Next
// while its handler runs.
constexpr bool records_stay_linked =
    injected_fault == fault::record_left || injected_fault == fault::unlinked_at_end;
constexpr bool guard_names_next =
    !records_stay_linked && injected_fault != fault::unlinked_before_handler;

uint32_t guard_handler(EXCEPTION_RECORD *, void *frame, void *,
                       void *dispatcher_context)
{
    // The layer has no exception dispatcher: whoever reaches this record is
    // an unwind, whatever flags its record carries.
    if (injected_fault == fault::collision_missed)
        return ExceptionContinueSearch;
    const auto *guard = static_cast<unwind_guard *>(frame);
    *static_cast<uint32_t *>(dispatcher_context) =
        guard_names_next ? guard->record.Next : guard->unwinding;
    return ExceptionCollidedUnwind;
}

// handler(record, frame, 0, dispatcher) on an ABI-aligned stack. ESP is
// restored from EDI afterwards, so that a handler that pops its own
// arguments (stdcall) works as well as one that leaves them (cdecl). Like
// any function of the ABI the handler keeps EBX, ESI, EDI and EBP, so the
// frame and the dispatcher context stay in whichever of them the walk keeps
// them in; it may change EAX, ECX and EDX.
__attribute__((always_inline)) inline uint32_t
call_handler(EXCEPTION_ROUTINE handler, EXCEPTION_RECORD *record, uint32_t frame,
             uint32_t *dispatcher)
{
    uint32_t disposition;
    __asm__ volatile("movl %%esp, %%edi\n\t"
                     "andl $-16, %%esp\n\t"   /* 16 bytes of arguments follow */
                     "pushl %[dispatcher]\n\t" /* DispatcherContext */
                     "pushl $0\n\t"            /* ContextRecord */
                     "pushl %[frame]\n\t"      /* EstablisherFrame */
                     "pushl %%ecx\n\t"         /* ExceptionRecord */
                     "call *%%eax\n\t"
                     "movl %%edi, %%esp"
                     : "=a"(disposition), "+c"(record)
                     : "a"(handler), [frame] "r"(frame), [dispatcher] "r"(dispatcher)
                     : "edx", "edi", "memory", "cc");
    return disposition;
}

uint32_t stack_pointer(void)
{
    uint32_t sp;
    __asm__ volatile("movl %%esp, %0" : "=r"(sp));
    return sp;
}

// Unwinds the chain from frame, the head, down to stop, which it does not
// take: handler by handler, record by record. Returns the record that the
// walk ended at.
__attribute__((noinline)) uint32_t
unwind_chain(EXCEPTION_RECORD *ExceptionRecord, uint32_t frame, uint32_t stop,
             uint32_t target, stack_range stack)
{
    // The highest address at which a whole record fits on the stack; the
    // walk keeps `above`, below which no record may lie: below the stack at
    // first, then the record just taken (records lie on the stack newest
    // first, so one that is not above the one before means a corrupt,
    // perhaps looping, chain).
    const uint32_t high = stack.high - sizeof(EXCEPTION_REGISTRATION_RECORD);
    uint32_t above = stack.low ? stack.low - 1 : 0;
    unwind_guard guard;
    guard.record.Handler = guard_handler;
    uint32_t collided = 0;
    bool at_first_record = true;
    while (frame != stop) {
        // Past the target: the end marker, or a record above a target that
        // the walk has not met.
        if (__builtin_expect(frame > stop, 0)) {
            if (frame == SEH_CHAIN_END) {
                if (injected_fault == fault::returns_at_end)
                    break;
                unwind_raised_at_end(ExceptionRecord);
            }
            if (injected_fault == fault::target_not_checked)
                break;
            unwind_failed(STATUS_INVALID_UNWIND_TARGET, "STATUS_INVALID_UNWIND_TARGET",
                  target);
        }
        if (__builtin_expect(frame <= above || frame > high || (frame & 3u) != 0, 0) &&
            injected_fault != fault::no_record_check)
            unwind_failed(STATUS_BAD_STACK, "STATUS_BAD_STACK", frame);
        const auto *record =
            reinterpret_cast<const EXCEPTION_REGISTRATION_RECORD *>(frame);
        if (injected_fault == fault::stops_one_early && record->Next == stop)
            break;
        if (injected_fault == fault::exit_unwind_keeps_oldest && target == 0 &&
            record->Next == SEH_CHAIN_END)
            break;

        // The record being unwound is at the head: the guard goes in front.
        if (guard_names_next) {
            guard.record.Next = frame;
        } else {
            guard.record.Next = injected_fault == fault::unlinked_before_handler
                                    ? record->Next
                                    : get_seh_frame();
            guard.unwinding = frame;
        }
        set_seh_frame(seh_addr(&guard));
        EXCEPTION_RECORD *const passed =
            injected_fault == fault::null_exception_record ? nullptr : ExceptionRecord;
        // The faults of the handler call spare the guard of an outer unwind,
        // so that nested unwinds still collide.
        const bool guard_of_outer = record->Handler == guard_handler;
        const uint32_t establisher =
            injected_fault == fault::wrong_establisher_frame && !guard_of_outer
                ? seh_addr(&guard)
                : frame;
        uint32_t disposition = ExceptionContinueSearch;
        if (injected_fault != fault::skips_head || !at_first_record || guard_of_outer)
            disposition = call_handler(record->Handler, passed, establisher, &collided);
        if (injected_fault == fault::handler_called_twice)
            call_handler(record->Handler, passed, establisher, &collided);
        at_first_record = false;
        if (__builtin_expect(disposition != ExceptionContinueSearch, 0) &&
            !(injected_fault == fault::disposition_ignored &&
              disposition != ExceptionCollidedUnwind)) {
            if (disposition != ExceptionCollidedUnwind)
                unwind_failed(STATUS_INVALID_DISPOSITION, "STATUS_INVALID_DISPOSITION",
                      frame);
            // Another unwind was running the handler of the record that the
            // dispatcher context names: go on from that record, taking it
            // off without calling its handler again. The name comes from a
            // handler, so it is checked like a link of the chain (0 when
            // the handler named none).
            if (injected_fault != fault::collided_unchecked) {
                if (collided <= frame || collided > high || (collided & 3u) != 0)
                    unwind_failed(STATUS_BAD_STACK, "STATUS_BAD_STACK", collided);
                if (stop < collided)
                    unwind_failed(STATUS_INVALID_UNWIND_TARGET,
                          "STATUS_INVALID_UNWIND_TARGET", target);
            }
            frame = collided;
            collided = 0;
        }
        // The guard and the record leave the head in one store.
        const uint32_t next =
            reinterpret_cast<const EXCEPTION_REGISTRATION_RECORD *>(frame)->Next;
        set_seh_frame(records_stay_linked ? guard.record.Next : next);
        above = frame;
        frame = next;
    }
    return frame;
}

} // namespace

// A stdcall API of the platform: its callers promise only a 4-byte aligned
// stack. This file is compiled for just that (an incoming and preferred
// boundary of 4 bytes), so the walk never realigns: the handler calls align
// their own arguments, and the error paths realign themselves.
extern "C" __attribute__((stdcall)) uint32_t
RtlUnwind(void *TargetFrame, void *TargetIp, EXCEPTION_RECORD *ExceptionRecord,
          void *ReturnValue)
{
    const NT_TIB *tib = own_block();
    if (__builtin_expect(!tib, 0))
        unwind_without_block();
    const uint32_t target = seh_addr(TargetFrame);
    const uint32_t sp = stack_pointer();
    const stack_range stack = stack_in_use(tib, sp);

    if (__builtin_expect(sp - stack.low < stack_reserve, 0))
        unwind_failed(STATUS_STACK_OVERFLOW, "STATUS_STACK_OVERFLOW", get_seh_frame());
    if (target != 0 && target != SEH_CHAIN_END && target < sp)
        unwind_failed(STATUS_INVALID_UNWIND_TARGET, "STATUS_INVALID_UNWIND_TARGET",
              target);

    // A null target unwinds the whole chain, like the end marker.
    const uint32_t stop = target == 0 ? SEH_CHAIN_END : target;
    uint32_t frame = get_seh_frame();

    // Only the header of the record: handlers read no parameters when
    // NumberParameters is 0.
    EXCEPTION_RECORD own;
    if (!ExceptionRecord) {
        // Nothing above the target, and no record of the caller's to mark:
        // no handler would see this one and nothing is raised. The faulty
        // builds take the whole way, where their faults lie.
        if (frame == stop && target != 0 && injected_fault == fault::none)
            return seh_addr(ReturnValue);
        own.ExceptionCode = STATUS_UNWIND;
        own.ExceptionFlags = 0;
        own.ExceptionRecord = nullptr;
        own.ExceptionAddress = __builtin_return_address(0);
        own.NumberParameters = 0;
        if (injected_fault == fault::own_record_address)
            own.ExceptionAddress = reinterpret_cast<void *>(&RtlUnwind);
        if (injected_fault == fault::own_record_parameters)
            own.NumberParameters = 1;
        ExceptionRecord = &own;
    } else if (injected_fault == fault::record_replaced) {
        own = *ExceptionRecord;
        ExceptionRecord = &own;
    }
    if (injected_fault == fault::flags_assigned)
        ExceptionRecord->ExceptionFlags = 0;
    ExceptionRecord->ExceptionFlags |= EXCEPTION_UNWINDING;
    if ((target == 0 && injected_fault != fault::no_exit_flag) ||
        injected_fault == fault::exit_flag_on_targeted)
        ExceptionRecord->ExceptionFlags |= EXCEPTION_EXIT_UNWIND;
    if (injected_fault == fault::no_unwinding_flag)
        ExceptionRecord->ExceptionFlags &=
            ~(EXCEPTION_UNWINDING | EXCEPTION_EXIT_UNWIND);
    if (frame != stop)
        frame = unwind_chain(ExceptionRecord, frame, stop, target, stack);
    if (injected_fault == fault::unlinked_at_end)
        set_seh_frame(frame);
    if (injected_fault == fault::target_handler_called && stop != SEH_CHAIN_END) {
        unwind_guard guard;
        guard.record.Handler = guard_handler;
        guard.record.Next = get_seh_frame(); // the target, at the head
        guard.unwinding = stop;
        set_seh_frame(seh_addr(&guard));
        uint32_t ignored = 0;
        call_handler(reinterpret_cast<const EXCEPTION_REGISTRATION_RECORD *>(stop)->Handler,
                     ExceptionRecord, stop, &ignored);
        set_seh_frame(guard.record.Next);
    }
    if (injected_fault == fault::returns_into_scenario) {
        // do_unwind's frame holds saved EBP, resume point, return address,
        // target, resume frame; its resume point is also this call's return
        // address, which tells it from any other caller. Pointing its resume
        // frame at the resume point's slot, now holding the saved EBP, makes
        // the resume return from do_unwind itself, ESP and EBP as its caller
        // had them.
        uint32_t *caller = *static_cast<uint32_t **>(__builtin_frame_address(0));
        if (caller[1] == seh_addr(__builtin_return_address(0))) {
            caller[1] = caller[0];
            caller[4] = seh_addr(&caller[1]);
        }
    }
    if (target == 0 && injected_fault != fault::returns_at_end)
        unwind_raised_at_end(ExceptionRecord);
    if (injected_fault == fault::end_marker_raises && target == SEH_CHAIN_END)
        unwind_raised_at_end(ExceptionRecord);
    if (injected_fault == fault::jumps_to_target_ip && TargetIp &&
        seh_addr(TargetIp) != SEH_CHAIN_END)
        reinterpret_cast<void (*)(void)>(TargetIp)();
    if (injected_fault == fault::eax_not_return_value)
        return 0;
    return seh_addr(ReturnValue);
}
