#include "capture.h"

#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>

#include <pthread.h>
#include <setjmp.h>

namespace {

jmp_buf raised_out;
raised seen_raise;

LONG WINAPI note_and_leave(EXCEPTION_POINTERS *x)
{
    const EXCEPTION_RECORD *r = x->ExceptionRecord;
    seen_raise = {true, r->ExceptionCode, r->ExceptionFlags, r, r->ExceptionRecord,
                  r->ExceptionRecord ? r->ExceptionRecord->ExceptionCode : 0u,
                  r->NumberParameters, {r->ExceptionInformation[0], r->ExceptionInformation[1]},
                  seh_addr(r->ExceptionAddress)};
    longjmp(raised_out, 1);
}

} // namespace

raised raised_by(const std::function<void()> &fn)
{
    const uint32_t head = get_seh_frame();
    seen_raise = {};
    void *handler = AddVectoredExceptionHandler(1, note_and_leave);
    if (!setjmp(raised_out))
        fn();
    RemoveVectoredExceptionHandler(handler);
    set_seh_frame(head);
    return seen_raise;
}

std::string captured_stdout(const std::function<void()> &fn)
{
    fflush(stdout);
    testing::internal::CaptureStdout();
    fn();
    fflush(stdout);
    return testing::internal::GetCapturedStdout();
}

void on_new_thread(const std::function<void()> &fn)
{
    pthread_t thread;
    auto trampoline = [](void *p) -> void * {
        (*static_cast<const std::function<void()> *>(p))();
        return nullptr;
    };
    ASSERT_EQ(0, pthread_create(&thread, nullptr, trampoline,
                                const_cast<std::function<void()> *>(&fn)));
    ASSERT_EQ(0, pthread_join(thread, nullptr));
}

unsigned share_of(unsigned cases)
{
    const char *divisor = getenv("FUZZ_DIVISOR");
    const unsigned long by = divisor ? strtoul(divisor, nullptr, 10) : 1;
    return by > 1 ? static_cast<unsigned>(cases / by) : cases;
}

std::string hex(uint32_t value)
{
    char text[16];
    snprintf(text, sizeof text, "0x%08lx", (unsigned long)value);
    return text;
}

uint32_t rtl_unwind_value(void *target, EXCEPTION_RECORD *record, uint32_t value)
{
    using returning = uint32_t(NTAPI *)(PVOID, PVOID, PEXCEPTION_RECORD, PVOID);
    return reinterpret_cast<returning>(reinterpret_cast<void (*)(void)>(RtlUnwind))(target, nullptr, record,
                                                  reinterpret_cast<void *>(value));
}
