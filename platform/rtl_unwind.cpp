// RtlUnwind's walk, as the 32-bit platform documents it. Its entry and its
// return are in rtl_unwind_entry.S, which captures the caller's registers in
// a CONTEXT and resumes it once the walk is done.
#include "thread_block.h"
#include "unwind_errors.h"

namespace {

// Room that a handler call must have left on the stack; below it, the
// unwind reports a stack overflow rather than running off the stack. It
// covers a handler call and the fatal path, and leaves the first unwind of a
// 16 KiB thread stack room to run.
constexpr uint32_t stack_reserve = 4 * 1024;

// A registration record as the walk reads it: its Next a chain address, its
// Handler called as any convention allows (call_handler restores ESP).
using handler_fn = uint32_t (*)(EXCEPTION_RECORD *, void *, void *, void *);
struct link {
    uint32_t Next;
    handler_fn Handler;
};
static_assert(sizeof(link) == sizeof(EXCEPTION_REGISTRATION_RECORD), "link");

const link *record_at(uint32_t frame)
{
    return reinterpret_cast<const link *>(frame);
}

// The handler of the platform's record (the guard): while a handler runs,
// the guard sits at the head in front of the record being unwound, which is
// its Next. A nested unwind that meets it learns, from the collided
// disposition, which record this walk was working on.
uint32_t guard_handler(EXCEPTION_RECORD *record, void *frame, void *, void *dispatcher_context)
{
    // An exception raised by a handler is dispatched past the guard to the
    // records beyond (a first pass has no unwind bit; an unwind that names
    // no record is an unwind all the same).
    if (record && !(record->ExceptionFlags & EXCEPTION_UNWIND))
        return ExceptionContinueSearch;
    *static_cast<uint32_t *>(dispatcher_context) = record_at(seh_addr(frame))->Next;
    return ExceptionCollidedUnwind;
}

// handler(record, frame, context, dispatcher) on an ABI-aligned stack. ESP
// is restored from EDI afterwards, so that a handler that pops its own
// arguments (stdcall) works as well as one that leaves them (cdecl), and
// the direction flag is cleared, which a handler may leave set. Like any
// function of the ABI the handler keeps EBX, ESI, EDI and EBP, so the frame
// and the dispatcher context stay in whichever of them the walk keeps them
// in; it may change EAX, ECX and EDX.
__attribute__((always_inline)) inline uint32_t
call_handler(handler_fn handler, EXCEPTION_RECORD *record, uint32_t frame,
             CONTEXT *context, uint32_t *dispatcher)
{
    uint32_t disposition;
    __asm__ volatile("movl %%esp, %%edi\n\t"
                     "andl $-16, %%esp\n\t"    /* 16 bytes of arguments follow */
                     "pushl %[dispatcher]\n\t" /* DispatcherContext */
                     "pushl %%edx\n\t"         /* ContextRecord */
                     "pushl %[frame]\n\t"      /* EstablisherFrame */
                     "pushl %%ecx\n\t"         /* ExceptionRecord */
                     "call *%%eax\n\t"
                     "cld\n\t"
                     "movl %%edi, %%esp"
                     : "=a"(disposition), "+c"(record), "+d"(context)
                     : "a"(handler), [frame] "r"(frame), [dispatcher] "r"(dispatcher)
                     : "edi", "memory", "cc");
    return disposition;
}

uint32_t stack_pointer(void)
{
    uint32_t sp;
    __asm__ volatile("movl %%esp, %0" : "=r"(sp));
    return sp;
}

// Unwinds the chain from frame, the head, down to stop, which it does not
// take: handler by handler, record by record.
__attribute__((noinline)) void
unwind_chain(EXCEPTION_RECORD *ExceptionRecord, CONTEXT *context, uint32_t frame,
             uint32_t stop, stack_range stack)
{
    // The highest address at which a whole record fits on the stack; the
    // walk keeps `above`, below which no record may lie: below the stack at
    // first, then the record just taken (records lie on the stack newest
    // first, so one that is not above the one before means a corrupt,
    // perhaps looping, chain).
    const uint32_t high = stack.high - sizeof(EXCEPTION_REGISTRATION_RECORD);
    uint32_t above = stack.low ? stack.low - 1 : 0;
    link guard;
    guard.Handler = guard_handler;
    uint32_t collided = 0;
    while (frame != stop) {
        // W1, E3, W3: past the target. The end marker, with a target never
        // met, raises the unwind's record (and a walk continued from there
        // returns); a record above the target means the walk cannot reach
        // it.
        if (__builtin_expect(frame > stop, 0)) {
            if (frame == SEH_CHAIN_END) {
                unwind_raised_at_end(ExceptionRecord);
                return;
            }
            unwind_failed(STATUS_INVALID_UNWIND_TARGET, ExceptionRecord);
        }
        // W2: the record is checked before its handler is called.
        if (__builtin_expect(frame <= above || frame > high || (frame & 3u) != 0, 0))
            unwind_failed(STATUS_BAD_STACK, ExceptionRecord);

        // W4: the handler runs with the platform's record at the head, in
        // front of the record being unwound, which stays linked.
        guard.Next = frame;
        set_seh_frame(seh_addr(&guard));
        const uint32_t disposition = call_handler(record_at(frame)->Handler,
                                                  ExceptionRecord, frame, context, &collided);
        // W6: ExceptionContinueSearch goes on; ExceptionCollidedUnwind goes
        // on from the record that the dispatcher context names (W5: another
        // unwind was running its handler), taking it off without calling
        // its handler again; anything else is an invalid disposition.
        if (__builtin_expect(disposition != ExceptionContinueSearch, 0)) {
            if (disposition != ExceptionCollidedUnwind)
                unwind_failed(STATUS_INVALID_DISPOSITION, ExceptionRecord);
            // The name comes from a handler: it is read only if it lies
            // on the stack and is aligned (0 when the handler named none).
            // It may lie below the record at the head, or past the target:
            // the collided walk goes on from it all the same, and the next
            // turn of the loop judges where that leads (W3, or E3 at the
            // end marker).
            if (collided < stack.low || collided > high || (collided & 3u) != 0)
                unwind_failed(STATUS_BAD_STACK, ExceptionRecord);
            frame = collided;
            collided = 0;
        }
        // W7: the record leaves the chain at once, with the platform's
        // record, in one store.
        const uint32_t next = record_at(frame)->Next;
        set_seh_frame(next);
        above = frame;
        frame = next;
    }
}

// U4: without a record of the caller's, this call's own. Only its header:
// handlers read no parameters when NumberParameters is 0.
EXCEPTION_RECORD *own_record(EXCEPTION_RECORD *own, const CONTEXT *context)
{
    own->ExceptionCode = STATUS_UNWIND;
    own->ExceptionFlags = 0;
    own->ExceptionRecord = nullptr;
    own->ExceptionAddress = reinterpret_cast<void *>(context->Eip);
    own->NumberParameters = 0;
    return own;
}

} // namespace

// Called by RtlUnwind's entry with the CONTEXT it captured, on the 4-byte
// aligned stack that a stdcall API of the platform is given. This file is
// compiled for just that (an incoming and preferred boundary of 4 bytes), so
// the walk never realigns: the handler calls align their own arguments, and
// the error paths realign themselves.
extern "C" __attribute__((visibility("hidden"))) void
rtl_unwind(void *TargetFrame, EXCEPTION_RECORD *ExceptionRecord, CONTEXT *context)
{
    const NT_TIB *tib = own_block();
    if (__builtin_expect(!tib, 0))
        unwind_without_block();
    const uint32_t target = seh_addr(TargetFrame);
    const uint32_t sp = stack_pointer();
    const stack_range stack = stack_in_use(tib, sp);

    if (__builtin_expect(sp - stack.low < stack_reserve, 0))
        unwind_out_of_stack(get_seh_frame());
    EXCEPTION_RECORD own;
    if (target != 0 && target != SEH_CHAIN_END && target < sp)
        unwind_failed(STATUS_INVALID_UNWIND_TARGET,
                      ExceptionRecord ? ExceptionRecord : own_record(&own, context));

    // U2: a null target unwinds the whole chain, like the end marker.
    const uint32_t stop = target == 0 ? SEH_CHAIN_END : target;
    const uint32_t head = get_seh_frame();

    if (!ExceptionRecord) {
        // Nothing above the target: no handler would see the record, and
        // nothing is raised.
        if (head == stop && target != 0)
            return;
        ExceptionRecord = own_record(&own, context);
    }
    // U5, U6: the unwind flags are or-ed into the record, whoever's it is.
    ExceptionRecord->ExceptionFlags |= EXCEPTION_UNWINDING;
    if (target == 0)
        ExceptionRecord->ExceptionFlags |= EXCEPTION_EXIT_UNWIND;
    if (head != stop)
        unwind_chain(ExceptionRecord, context, head, stop, stack);
    // E3: an exit unwind ends at the end marker, which was not its target.
    if (target == 0)
        unwind_raised_at_end(ExceptionRecord);
}
