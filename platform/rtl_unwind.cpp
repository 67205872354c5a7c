// RtlUnwind as the 32-bit platform documents it.
#include "faults.h"
#include "fatal.h"
#include "thread_block.h"

extern "C" uint32_t seh_call_handler(EXCEPTION_ROUTINE handler,
                                     EXCEPTION_RECORD *record, void *frame,
                                     void *context, void *dispatcher);

namespace {

// Room that a handler call must have left on the stack; below it, the
// unwind reports a stack overflow rather than running off the stack. It
// covers a handler call and the fatal path, and leaves the first unwind of a
// 16 KiB thread stack room to run.
constexpr uint32_t stack_reserve = 4 * 1024;

[[noreturn]] void fatal(uint32_t status, const char *name, uint32_t record)
{
    fatal_line line;
    line << "RtlUnwind: " << name << " (";
    line.hex(status) << ") at record ";
    line.hex(record).exit(static_cast<int>(status & 0xFF));
}

// The walk reached the end marker, which was not its target: the platform
// raises the unwind's exception record there, and no handler is left to take
// it. A code whose low byte is 0 must not end the process as a success.
[[noreturn]] void raise_at_end(const EXCEPTION_RECORD *record)
{
    const uint32_t code = record->ExceptionCode;
    fatal_line line;
    line << "RtlUnwind: " << (code == STATUS_UNWIND ? "STATUS_UNWIND" : "exception") << " (";
    line.hex(code) << ") raised at the end of the chain, with no handler left";
    line.exit((code & 0xFF) != 0 ? static_cast<int>(code & 0xFF) : 0xFF);
}

// A record that the walk may take: on the stack in use, aligned, and above
// the one before it (records lie on the stack newest first, so one that is
// not above means a corrupt, perhaps looping, chain).
void check_on_stack(uint32_t frame, uint32_t previous, stack_range stack)
{
    if (frame < stack.low ||
        frame > stack.high - sizeof(EXCEPTION_REGISTRATION_RECORD) ||
        (frame & 3u) != 0 || frame <= previous)
        fatal(STATUS_BAD_STACK, "STATUS_BAD_STACK", frame);
}

// While a handler runs, this record sits at the head in front of the record
// being unwound. A nested unwind that meets it learns, from the collided
// disposition, which record the outer unwind was working on.
struct unwind_guard {
    EXCEPTION_REGISTRATION_RECORD record;
    uint32_t unwinding; // the record whose handler is running
};

uint32_t guard_handler(EXCEPTION_RECORD *, void *frame,
                       void *, void *dispatcher_context)
{
    // The layer has no exception dispatcher: whoever reaches this record is
    // an unwind, whatever flags its record carries.
    if (injected_fault == fault::collision_missed)
        return ExceptionContinueSearch;
    *static_cast<uint32_t *>(dispatcher_context) =
        static_cast<unwind_guard *>(frame)->unwinding;
    return ExceptionCollidedUnwind;
}

uint32_t call_for_unwind(EXCEPTION_RECORD *exception_record, uint32_t frame,
                         uint32_t *dispatcher_context)
{
    unwind_guard guard;
    guard.unwinding = frame;
    guard.record.Next = get_seh_frame();
    guard.record.Handler = guard_handler;
    set_seh_frame(seh_addr(&guard));
    auto *record = reinterpret_cast<EXCEPTION_REGISTRATION_RECORD *>(frame);
    if (injected_fault == fault::null_exception_record)
        exception_record = nullptr;
    void *establisher = record;
    if (injected_fault == fault::wrong_establisher_frame &&
        record->Handler != guard_handler)
        establisher = &guard;
    uint32_t disposition =
        seh_call_handler(record->Handler, exception_record, establisher,
                         nullptr, dispatcher_context);
    if (injected_fault == fault::handler_called_twice)
        seh_call_handler(record->Handler, exception_record, establisher,
                         nullptr, dispatcher_context);
    set_seh_frame(guard.record.Next);
    return disposition;
}

uint32_t stack_pointer(void)
{
    uint32_t sp;
    __asm__ volatile("movl %%esp, %0" : "=r"(sp));
    return sp;
}

} // namespace

// A stdcall API of the platform: its callers promise only a 4-byte aligned
// stack, so it realigns its own.
extern "C" __attribute__((stdcall, force_align_arg_pointer)) uint32_t
RtlUnwind(void *TargetFrame, void *TargetIp, EXCEPTION_RECORD *ExceptionRecord,
          void *ReturnValue)
{
    const NT_TIB *tib = own_block();
    if (!tib) {
        // Its chain is another thread's: unwinding it would corrupt that one.
        (fatal_line() << "RtlUnwind: this thread has no information block "
                         "of its own (it was not started by pthread_create)")
            .exit(SEH_PLATFORM_EXIT_NO_BLOCK);
    }
    const uint32_t target = seh_addr(TargetFrame);
    const uint32_t sp = stack_pointer();
    const stack_range stack = stack_in_use(tib, sp);

    EXCEPTION_RECORD own = {};
    if (!ExceptionRecord) {
        own.ExceptionCode = STATUS_UNWIND;
        own.ExceptionAddress = __builtin_return_address(0);
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

    if (sp - stack.low < stack_reserve)
        fatal(STATUS_STACK_OVERFLOW, "STATUS_STACK_OVERFLOW", get_seh_frame());
    if (target != 0 && target != SEH_CHAIN_END && target < sp)
        fatal(STATUS_INVALID_UNWIND_TARGET, "STATUS_INVALID_UNWIND_TARGET",
              target);

    // A null target unwinds the whole chain, like the end marker.
    const uint32_t stop = target == 0 ? SEH_CHAIN_END : target;
    uint32_t frame = get_seh_frame(), previous = 0;
    bool at_first_record = true;
    while (frame != stop) {
        if (frame == SEH_CHAIN_END) {
            if (injected_fault == fault::returns_at_end)
                break;
            raise_at_end(ExceptionRecord);
        }
        if (stop < frame) {
            if (injected_fault == fault::target_not_checked)
                break;
            fatal(STATUS_INVALID_UNWIND_TARGET, "STATUS_INVALID_UNWIND_TARGET",
                  target);
        }
        if (injected_fault != fault::no_record_check)
            check_on_stack(frame, previous, stack);
        const auto *record =
            reinterpret_cast<const EXCEPTION_REGISTRATION_RECORD *>(frame);
        if (injected_fault == fault::stops_one_early && record->Next == stop)
            break;
        if (injected_fault == fault::exit_unwind_keeps_oldest && target == 0 &&
            record->Next == SEH_CHAIN_END)
            break;
        if (injected_fault == fault::unlinked_before_handler)
            set_seh_frame(record->Next);

        uint32_t collided = 0;
        uint32_t disposition = ExceptionContinueSearch;
        if (injected_fault != fault::skips_head || !at_first_record ||
            record->Handler == guard_handler)
            disposition = call_for_unwind(ExceptionRecord, frame, &collided);
        at_first_record = false;
        switch (disposition) {
        case ExceptionContinueSearch:
            break;
        case ExceptionCollidedUnwind:
            // Another unwind was running the handler of the record that the
            // dispatcher context names: go on from that record, taking it
            // off without calling its handler again. The name comes from a
            // handler, so it is checked like a link of the chain.
            if (injected_fault != fault::collided_unchecked) {
                check_on_stack(collided, frame, stack);
                if (stop < collided)
                    fatal(STATUS_INVALID_UNWIND_TARGET,
                          "STATUS_INVALID_UNWIND_TARGET", target);
            }
            frame = collided;
            break;
        default:
            if (injected_fault == fault::disposition_ignored)
                break;
            fatal(STATUS_INVALID_DISPOSITION, "STATUS_INVALID_DISPOSITION",
                  frame);
        }
        const uint32_t next =
            reinterpret_cast<const EXCEPTION_REGISTRATION_RECORD *>(frame)->Next;
        if (injected_fault != fault::record_left &&
            injected_fault != fault::unlinked_at_end)
            set_seh_frame(next);
        previous = frame;
        frame = next;
    }
    if (injected_fault == fault::unlinked_at_end)
        set_seh_frame(frame);
    if (injected_fault == fault::target_handler_called && stop != SEH_CHAIN_END) {
        uint32_t ignored = 0;
        call_for_unwind(ExceptionRecord, stop, &ignored);
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
        raise_at_end(ExceptionRecord);
    if (injected_fault == fault::end_marker_raises && target == SEH_CHAIN_END)
        raise_at_end(ExceptionRecord);
    if (injected_fault == fault::jumps_to_target_ip && TargetIp &&
        seh_addr(TargetIp) != SEH_CHAIN_END)
        reinterpret_cast<void (*)(void)>(TargetIp)();
    if (injected_fault == fault::eax_not_return_value)
        return 0;
    return seh_addr(ReturnValue);
}
