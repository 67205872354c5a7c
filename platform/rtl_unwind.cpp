// RtlUnwind as the 32-bit platform documents it.
#include <stdio.h>
#include <unistd.h>

#include "faults.h"
#include "nt_tib.h"

extern "C" uint32_t seh_call_handler(EXCEPTION_ROUTINE handler,
                                     EXCEPTION_RECORD *record, void *frame,
                                     void *context, void *dispatcher);

namespace {

// Room that a handler call must have left on the stack; below it, the
// unwind reports a stack overflow rather than running off the stack.
constexpr uint32_t stack_reserve = 32 * 1024;

[[noreturn]] void fatal(uint32_t status, const char *name, uint32_t record)
{
    fflush(stdout);
    fprintf(stderr, "RtlUnwind: %s (0x%08lx) at record 0x%08lx\n", name,
            (unsigned long)status, (unsigned long)record);
    _exit((int)(status & 0xFF));
}

// While a handler runs, this record sits at the head in front of the record
// being unwound. A nested unwind that meets it learns, from the collided
// disposition, which record the outer unwind was working on.
struct unwind_guard {
    EXCEPTION_REGISTRATION_RECORD record;
    uint32_t unwinding; // the record whose handler is running
};

uint32_t guard_handler(EXCEPTION_RECORD *exception_record, void *frame,
                       void *, void *dispatcher_context)
{
    const uint32_t unwind = EXCEPTION_UNWINDING | EXCEPTION_EXIT_UNWIND;
    if (injected_fault == fault::collision_missed ||
        !(exception_record->ExceptionFlags & unwind))
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
    uint32_t disposition =
        seh_call_handler(record->Handler, exception_record, record, nullptr,
                         dispatcher_context);
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
RtlUnwind(void *TargetFrame, void *, EXCEPTION_RECORD *ExceptionRecord,
          void *ReturnValue)
{
    const NT_TIB *tib = tib_current();
    if (!tib_is_own(tib)) {
        // Its chain is another thread's: unwinding it would corrupt that one.
        fflush(stdout);
        fprintf(stderr, "RtlUnwind: this thread has no information block of "
                        "its own (start it with tib_thread_create)\n");
        _exit(SEH_PLATFORM_EXIT_NO_BLOCK);
    }
    const uint32_t target = seh_addr(TargetFrame);
    const uint32_t sp = stack_pointer();

    EXCEPTION_RECORD own = {};
    if (!ExceptionRecord) {
        own.ExceptionCode = STATUS_UNWIND;
        own.ExceptionAddress = __builtin_return_address(0);
        ExceptionRecord = &own;
    }
    ExceptionRecord->ExceptionFlags |= EXCEPTION_UNWINDING;
    if (target == 0)
        ExceptionRecord->ExceptionFlags |= EXCEPTION_EXIT_UNWIND;
    if (injected_fault == fault::no_unwinding_flag)
        ExceptionRecord->ExceptionFlags &=
            ~(EXCEPTION_UNWINDING | EXCEPTION_EXIT_UNWIND);

    if (sp - tib->StackLimit < stack_reserve)
        fatal(STATUS_STACK_OVERFLOW, "STATUS_STACK_OVERFLOW", get_seh_frame());
    if (target != 0 && target != SEH_CHAIN_END && target < sp)
        fatal(STATUS_INVALID_UNWIND_TARGET, "STATUS_INVALID_UNWIND_TARGET",
              target);

    // A null target unwinds the whole chain, like the end marker.
    const uint32_t stop = target == 0 ? SEH_CHAIN_END : target;
    // Records lie on the stack newest first, so each is above the one
    // before it; one that is not means a corrupt (perhaps looping) chain.
    uint32_t frame = get_seh_frame(), previous = 0;
    while (frame != stop) {
        if (frame == SEH_CHAIN_END || stop < frame)
            fatal(STATUS_INVALID_UNWIND_TARGET, "STATUS_INVALID_UNWIND_TARGET",
                  target);
        if (frame < tib->StackLimit ||
            frame > tib->StackBase - sizeof(EXCEPTION_REGISTRATION_RECORD) ||
            (frame & 3u) != 0 || frame <= previous)
            fatal(STATUS_BAD_STACK, "STATUS_BAD_STACK", frame);
        const auto *record =
            reinterpret_cast<const EXCEPTION_REGISTRATION_RECORD *>(frame);
        if (injected_fault == fault::stops_one_early && record->Next == stop)
            break;

        uint32_t collided = 0;
        switch (call_for_unwind(ExceptionRecord, frame, &collided)) {
        case ExceptionContinueSearch:
            break;
        case ExceptionCollidedUnwind:
            // Another unwind was running that handler: pass over its record.
            frame = collided;
            break;
        default:
            fatal(STATUS_INVALID_DISPOSITION, "STATUS_INVALID_DISPOSITION",
                  frame);
        }
        const uint32_t next =
            reinterpret_cast<const EXCEPTION_REGISTRATION_RECORD *>(frame)->Next;
        if (injected_fault != fault::record_left)
            set_seh_frame(next);
        previous = frame;
        frame = next;
    }
    if (injected_fault == fault::target_handler_called && stop != SEH_CHAIN_END) {
        uint32_t ignored = 0;
        call_for_unwind(ExceptionRecord, stop, &ignored);
    }
    if (injected_fault == fault::returns_into_scenario) {
        // The caller's frame is do_unwind's: saved EBP, resume point, return
        // address, target, resume frame. Pointing its resume frame at the
        // resume point's slot, now holding the saved EBP, makes the resume
        // return from do_unwind itself, ESP and EBP as its caller had them.
        uint32_t *caller = *static_cast<uint32_t **>(__builtin_frame_address(0));
        caller[1] = caller[0];
        caller[4] = seh_addr(&caller[1]);
    }
    return seh_addr(ReturnValue);
}
