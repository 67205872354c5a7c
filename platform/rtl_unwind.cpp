// RtlUnwind as the 32-bit platform documents it.
#include "faults.h"
#include "fatal.h"
#include "thread_block.h"

namespace {

// Room that a handler call must have left on the stack; below it, the
// unwind reports a stack overflow rather than running off the stack. It
// covers a handler call and the fatal path, and leaves the first unwind of a
// 16 KiB thread stack room to run.
constexpr uint32_t stack_reserve = 4 * 1024;

[[noreturn]] __attribute__((cold, noinline)) void
fatal(uint32_t status, const char *name, uint32_t record)
{
    fatal_line line;
    line << "RtlUnwind: " << name << " (";
    line.hex(status) << ") at record ";
    line.hex(record).exit(static_cast<int>(status & 0xFF));
}

// The walk reached the end marker, which was not its target: the platform
// raises the unwind's exception record there, and no handler is left to take
// it. A code whose low byte is 0 must not end the process as a success.
[[noreturn]] __attribute__((cold, noinline)) void
raise_at_end(const EXCEPTION_RECORD *record)
{
    const uint32_t code = record->ExceptionCode;
    fatal_line line;
    line << "RtlUnwind: " << (code == STATUS_UNWIND ? "STATUS_UNWIND" : "exception") << " (";
    line.hex(code) << ") raised at the end of the chain, with no handler left";
    line.exit((code & 0xFF) != 0 ? static_cast<int>(code & 0xFF) : 0xFF);
}

// While a handler runs, this record sits at the head in front of the record
// being unwound, which is its Next. A nested unwind that meets it learns,
// from the collided disposition, which record the outer unwind was working
// on. One guard serves a whole walk.
struct unwind_guard {
    EXCEPTION_REGISTRATION_RECORD record;
    uint32_t unwinding; // the record whose handler runs, when not Next
};

uint32_t guard_handler(EXCEPTION_RECORD *exception_record, void *frame,
                       void *, void *dispatcher_context)
{
    const uint32_t unwind = EXCEPTION_UNWINDING | EXCEPTION_EXIT_UNWIND;
    if (injected_fault == fault::collision_missed ||
        !(exception_record->ExceptionFlags & unwind))
        return ExceptionContinueSearch;
    const auto *guard = static_cast<unwind_guard *>(frame);
    *static_cast<uint32_t *>(dispatcher_context) =
        injected_fault == fault::record_left ? guard->unwinding : guard->record.Next;
    return ExceptionCollidedUnwind;
}

// handler(record, frame, 0, dispatcher) on an ABI-aligned stack. ESP is
// restored from EDI (callee-saved) afterwards, so that a handler that pops
// its own arguments (stdcall) works as well as one that leaves them (cdecl).
__attribute__((always_inline)) inline uint32_t
call_handler(EXCEPTION_ROUTINE handler, EXCEPTION_RECORD *record, uint32_t frame,
             uint32_t *dispatcher)
{
    uint32_t disposition;
    __asm__ volatile("movl %%esp, %%edi\n\t"
                     "andl $-16, %%esp\n\t"      /* 16 bytes of arguments follow */
                     "pushl %%esi\n\t"         /* DispatcherContext */
                     "pushl $0\n\t"            /* ContextRecord */
                     "pushl %%edx\n\t"         /* EstablisherFrame */
                     "pushl %%ecx\n\t"         /* ExceptionRecord */
                     "call *%%eax\n\t"
                     "movl %%edi, %%esp"
                     : "=a"(disposition), "+c"(record), "+d"(frame), "+S"(dispatcher)
                     : "a"(handler)
                     : "edi", "memory", "cc");
    return disposition;
}

// The thread's chain is another thread's: unwinding it would corrupt that
// one.
[[noreturn]] __attribute__((cold, noinline)) void no_block_of_its_own(void)
{
    (fatal_line() << "RtlUnwind: this thread has no information block "
                     "of its own (it was not started by pthread_create)")
        .exit(SEH_PLATFORM_EXIT_NO_BLOCK);
}

uint32_t stack_pointer(void)
{
    uint32_t sp;
    __asm__ volatile("movl %%esp, %0" : "=r"(sp));
    return sp;
}

} // namespace

extern "C" __attribute__((stdcall)) uint32_t
RtlUnwind(void *TargetFrame, void *, EXCEPTION_RECORD *ExceptionRecord,
          void *ReturnValue)
{
    const NT_TIB *tib = own_block();
    if (__builtin_expect(!tib, 0))
        no_block_of_its_own();
    const uint32_t target = seh_addr(TargetFrame);
    const uint32_t sp = stack_pointer();
    const stack_range stack = stack_in_use(tib, sp);

    // Only the header of the record: handlers read no parameters when
    // NumberParameters is 0.
    EXCEPTION_RECORD own;
    if (!ExceptionRecord) {
        own.ExceptionCode = STATUS_UNWIND;
        own.ExceptionFlags = 0;
        own.ExceptionRecord = nullptr;
        own.ExceptionAddress = __builtin_return_address(0);
        own.NumberParameters = 0;
        ExceptionRecord = &own;
    }
    ExceptionRecord->ExceptionFlags |= EXCEPTION_UNWINDING;
    if (target == 0)
        ExceptionRecord->ExceptionFlags |= EXCEPTION_EXIT_UNWIND;
    if (injected_fault == fault::no_unwinding_flag)
        ExceptionRecord->ExceptionFlags &=
            ~(EXCEPTION_UNWINDING | EXCEPTION_EXIT_UNWIND);

    if (__builtin_expect(sp - stack.low < stack_reserve, 0))
        fatal(STATUS_STACK_OVERFLOW, "STATUS_STACK_OVERFLOW", get_seh_frame());
    if (target != 0 && target != SEH_CHAIN_END && target < sp)
        fatal(STATUS_INVALID_UNWIND_TARGET, "STATUS_INVALID_UNWIND_TARGET",
              target);

    // A null target unwinds the whole chain, like the end marker.
    const uint32_t stop = target == 0 ? SEH_CHAIN_END : target;
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
    uint32_t frame = get_seh_frame();
    while (frame != stop) {
        // Past the target: the end marker, or a record above a target that
        // the walk has not met.
        if (__builtin_expect(frame > stop, 0)) {
            if (frame == SEH_CHAIN_END)
                raise_at_end(ExceptionRecord);
            fatal(STATUS_INVALID_UNWIND_TARGET, "STATUS_INVALID_UNWIND_TARGET",
                  target);
        }
        if (__builtin_expect(frame <= above || frame > high || (frame & 3u) != 0, 0))
            fatal(STATUS_BAD_STACK, "STATUS_BAD_STACK", frame);
        const auto *record =
            reinterpret_cast<const EXCEPTION_REGISTRATION_RECORD *>(frame);
        if (injected_fault == fault::stops_one_early && record->Next == stop)
            break;

        // The record being unwound is at the head: the guard goes in front.
        guard.record.Next =
            injected_fault == fault::record_left ? get_seh_frame() : frame;
        if (injected_fault == fault::record_left)
            guard.unwinding = frame;
        set_seh_frame(seh_addr(&guard));
        const uint32_t disposition =
            call_handler(record->Handler, ExceptionRecord, frame, &collided);
        if (__builtin_expect(disposition != ExceptionContinueSearch, 0)) {
            if (disposition != ExceptionCollidedUnwind)
                fatal(STATUS_INVALID_DISPOSITION, "STATUS_INVALID_DISPOSITION",
                      frame);
            // Another unwind was running the handler of the record that the
            // dispatcher context names: go on from that record, taking it
            // off without calling its handler again. The name comes from a
            // handler, so it is checked like a link of the chain (0 when
            // the handler named none).
            if (collided <= frame || collided > high || (collided & 3u) != 0)
                fatal(STATUS_BAD_STACK, "STATUS_BAD_STACK", collided);
            if (stop < collided)
                fatal(STATUS_INVALID_UNWIND_TARGET,
                      "STATUS_INVALID_UNWIND_TARGET", target);
            frame = collided;
            collided = 0;
        }
        // The guard and the record leave the head in one store.
        const uint32_t next =
            reinterpret_cast<const EXCEPTION_REGISTRATION_RECORD *>(frame)->Next;
        set_seh_frame(injected_fault == fault::record_left ? guard.record.Next : next);
        above = frame;
        frame = next;
    }
    if (injected_fault == fault::target_handler_called && stop != SEH_CHAIN_END) {
        guard.record.Next = get_seh_frame(); // the target, at the head
        guard.unwinding = stop;
        set_seh_frame(seh_addr(&guard));
        uint32_t ignored = 0;
        call_handler(reinterpret_cast<const EXCEPTION_REGISTRATION_RECORD *>(stop)->Handler,
                     ExceptionRecord, stop, &ignored);
        set_seh_frame(guard.record.Next);
    }
    if (target == 0)
        raise_at_end(ExceptionRecord);
    return seh_addr(ReturnValue);
}
