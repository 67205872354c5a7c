// The end of an exception that no handler takes (F1-F5). The platform
// guards each thread's start with a frame whose handler calls
// UnhandledExceptionFilter; the main thread has no frame of the layer's
// beneath main, so the walk that reaches the end marker calls it itself,
// with the dispatcher's record at the head naming the end marker: an
// exception raised inside the filter then reaches the end with the nested
// flag still set, and ends the process instead of calling the filter again.
// A process ends only here, when nobody took the exception: one line on
// stderr, and the code's low byte as exit status.
#include "dispatch.h"
#include "fatal.h"
#include "kernel.h"
#include "status_name.h"

namespace {

LPTOP_LEVEL_EXCEPTION_FILTER top_filter;

// The handler of the record that stands for the thread's start frame: the
// filter, as that frame's handler would call it.
uint32_t start_frame_handler(EXCEPTION_RECORD *record, void *, void *context, void *)
{
    EXCEPTION_POINTERS pointers = {record, static_cast<CONTEXT *>(context)};
    return static_cast<uint32_t>(UnhandledExceptionFilter(&pointers));
}

} // namespace

extern "C" SEH_PLATFORM_API LPTOP_LEVEL_EXCEPTION_FILTER WINAPI
SetUnhandledExceptionFilter(LPTOP_LEVEL_EXCEPTION_FILTER lpTopLevelExceptionFilter)
{
    return __atomic_exchange_n(&top_filter, lpTopLevelExceptionFilter, __ATOMIC_ACQ_REL);
}

// No debugger and no error box: the default handling is the end of the
// process, which the filter's caller brings about.
extern "C" SEH_PLATFORM_API LONG WINAPI UnhandledExceptionFilter(EXCEPTION_POINTERS *ExceptionInfo)
{
    const LPTOP_LEVEL_EXCEPTION_FILTER filter = __atomic_load_n(&top_filter, __ATOMIC_ACQUIRE);
    if (filter) {
        const LONG answer = call_program(reinterpret_cast<void *>(filter), ExceptionInfo);
        if (answer != EXCEPTION_CONTINUE_SEARCH)
            return answer;
    }
    return EXCEPTION_EXECUTE_HANDLER;
}

void top_level(EXCEPTION_RECORD *record, CONTEXT *context, bool inside_filter)
{
    if (!inside_filter) {
        const struct {
            uint32_t next;
            uint32_t (*handler)(EXCEPTION_RECORD *, void *, void *, void *);
        } start_frame = {SEH_CHAIN_END, start_frame_handler};
        uint32_t dispatcher = 0;
        const auto answer = static_cast<int32_t>(call_frame_handler(
            record, seh_addr(&start_frame), context, &dispatcher, get_seh_frame(), SEH_CHAIN_END));
        // F2: a negative answer continues, as EXCEPTION_CONTINUE_EXECUTION
        // does; F5: not a noncontinuable exception.
        if (answer < 0) {
            if (record->ExceptionFlags & EXCEPTION_NONCONTINUABLE)
                raise_status(STATUS_NONCONTINUABLE_EXCEPTION, record);
            continue_context(context);
        }
    }
    end_unhandled(record, 0);
}

// "seh_platform: unhandled exception 0xc0000028 (STATUS_BAD_STACK) at
// 0x08049f3d in thread 4242", and for D2 the record that stopped the walk.
// A code whose low byte is 0 must not end the process as a success.
void end_unhandled(const EXCEPTION_RECORD *record, uint32_t bad_record)
{
    const uint32_t code = record->ExceptionCode;
    fatal_line line;
    line << "seh_platform: unhandled exception ";
    line.hex(code);
    if (const char *name = status_name(code))
        line << " (" << name << ")";
    line << " at ";
    line.hex(seh_addr(record->ExceptionAddress)) << " in thread ";
    line.number(static_cast<uint32_t>(kernel_thread_id()));
    if (record->ExceptionFlags & EXCEPTION_STACK_INVALID) {
        line << ": the walk stopped at the record ";
        line.hex(bad_record) << ", misaligned, off the stack or not above the one before it"
                                " (EXCEPTION_STACK_INVALID)";
    }
    line.exit((code & 0xFF) != 0 ? static_cast<int>(code & 0xFF) : 0xFF);
}
