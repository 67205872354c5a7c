// The end of an exception that nobody takes (F1-F5): the top-level filter
// and its answers, and the line and exit status with which the process
// ends; bad input inside the filter ends the same way, never in a fault.
#include <gtest/gtest.h>

#include <stdio.h>

#include <string>

#include "capture.h"

namespace {

using UnhandledDeathTest = testing::Test;

std::string line_of(const char *code)
{
    return std::string("seh_platform: unhandled exception ") + code +
           " at 0x[0-9a-f]{8} in thread [0-9]+\n$";
}

LONG filter_answer;
LONG WINAPI filter(EXCEPTION_POINTERS *x)
{
    fprintf(stderr, "filter: 0x%08lx flags %lu\n", x->ExceptionRecord->ExceptionCode,
            x->ExceptionRecord->ExceptionFlags);
    return filter_answer;
}

// F3: the filter it replaces, null if none.
TEST(Unhandled, SetUnhandledExceptionFilterReturnsTheFilterItReplaces)
{
    LPTOP_LEVEL_EXCEPTION_FILTER before = SetUnhandledExceptionFilter(filter);
    EXPECT_EQ(filter, SetUnhandledExceptionFilter(nullptr));
    EXPECT_EQ(nullptr, SetUnhandledExceptionFilter(before));
}

// F2, F4: with no handler, the process ends with the code's low byte, after
// one line naming the whole code, the address and the thread; a low byte of
// 0 must not end as a success. The filter that answers
// EXCEPTION_EXECUTE_HANDLER or EXCEPTION_CONTINUE_SEARCH ends it the same.
TEST_F(UnhandledDeathTest, NobodyTakesItAndTheProcessEndsWithTheCode)
{
    EXPECT_EXIT(RaiseException(0xE0000061, 0, 0, nullptr), testing::ExitedWithCode(0x61),
                "^" + line_of("0xe0000061"));
    EXPECT_EXIT(RaiseException(0xE0000100, 0, 0, nullptr), testing::ExitedWithCode(0xFF),
                line_of("0xe0000100"));
    for (LONG answer : {LONG{EXCEPTION_EXECUTE_HANDLER}, LONG{EXCEPTION_CONTINUE_SEARCH}, LONG{7}})
        EXPECT_EXIT(
            {
                filter_answer = answer;
                SetUnhandledExceptionFilter(filter);
                RaiseException(0xE0000062, 0, 0, nullptr);
            },
            testing::ExitedWithCode(0x62), "^filter: 0xe0000062 flags 0\n" + line_of("0xe0000062"))
            << answer;
}

LONG WINAPI continues_0xe0000064(EXCEPTION_POINTERS *x)
{
    fprintf(stderr, "filter: 0x%08lx\n", x->ExceptionRecord->ExceptionCode);
    return x->ExceptionRecord->ExceptionCode == 0xE0000064 ? EXCEPTION_CONTINUE_EXECUTION
                                                           : EXCEPTION_EXECUTE_HANDLER;
}

// F2: EXCEPTION_CONTINUE_EXECUTION resumes the context as the filter left
// it; F5: not a noncontinuable exception, which raises
// STATUS_NONCONTINUABLE_EXCEPTION in turn, and the process ends with it.
TEST_F(UnhandledDeathTest, AFilterThatContinuesResumesUnlessTheExceptionIsNoncontinuable)
{
    EXPECT_EXIT(
        {
            filter_answer = EXCEPTION_CONTINUE_EXECUTION;
            SetUnhandledExceptionFilter(filter);
            RaiseException(0xE0000063, 0, 0, nullptr);
            fprintf(stderr, "continued\n");
            _exit(0);
        },
        testing::ExitedWithCode(0), "^filter: 0xe0000063 flags 0\ncontinued\n$");
    EXPECT_EXIT(
        {
            SetUnhandledExceptionFilter(continues_0xe0000064);
            RaiseException(0xE0000064, EXCEPTION_NONCONTINUABLE, 0, nullptr);
        },
        testing::ExitedWithCode(0x25),
        "^filter: 0xe0000064\nfilter: 0xc0000025\n" +
            line_of("0xc0000025 \\(STATUS_NONCONTINUABLE_EXCEPTION\\)"));
}

// F1: the filter is called in the first pass, after every record, with
// nothing unwound; UnhandledExceptionFilter called by a program calls it
// too.
std::string seen;
LONG WINAPI noting_filter(EXCEPTION_POINTERS *)
{
    seen += "filter ";
    return EXCEPTION_CONTINUE_EXECUTION;
}

TEST(Unhandled, TheFilterComesAfterEveryRecordInTheFirstPass)
{
    seen.clear();
    LPTOP_LEVEL_EXCEPTION_FILTER before = SetUnhandledExceptionFilter(noting_filter);
    raw_record record = {get_seh_frame(), [](EXCEPTION_RECORD *rec, void *, void *, void *) {
                             seen += rec->ExceptionFlags & EXCEPTION_UNWIND ? "unwind " : "record ";
                             return uint32_t{ExceptionContinueSearch};
                         }};
    set_seh_frame(seh_addr(&record));
    RaiseException(0xE0000065, 0, 0, nullptr);
    EXPECT_EQ("record filter ", seen);
    EXPECT_EQ(seh_addr(&record), get_seh_frame());
    EXCEPTION_RECORD r = {};
    CONTEXT context = {};
    EXCEPTION_POINTERS pointers = {&r, &context};
    EXPECT_EQ(EXCEPTION_CONTINUE_EXECUTION, UnhandledExceptionFilter(&pointers));
    SetUnhandledExceptionFilter(nullptr);
    EXPECT_EQ(EXCEPTION_EXECUTE_HANDLER, UnhandledExceptionFilter(&pointers));
    set_seh_frame(record.Next);
    SetUnhandledExceptionFilter(before);
}

// Bad input inside the filter: it raises, a vectored handler raises in
// turn, and a handler of that raises again. Each is dispatched; the one
// that reaches the end of the chain inside the filter ends the process
// with its code instead of calling the filter again.
LONG WINAPI raising_vectored(EXCEPTION_POINTERS *x)
{
    if (x->ExceptionRecord->ExceptionCode == 0xE0000067)
        RaiseException(0xE0000068, 0, 0, nullptr);
    return EXCEPTION_CONTINUE_SEARCH;
}

LONG WINAPI raising_filter(EXCEPTION_POINTERS *x)
{
    fprintf(stderr, "filter: 0x%08lx\n", x->ExceptionRecord->ExceptionCode);
    RaiseException(0xE0000067, 0, 0, nullptr);
    return EXCEPTION_CONTINUE_EXECUTION;
}

uint32_t raising_handler(EXCEPTION_RECORD *rec, void *, void *, void *)
{
    if (rec->ExceptionCode == 0xE0000068)
        RaiseException(0xE0000069, 0, 0, nullptr);
    return ExceptionContinueSearch;
}

void raise_with_raisers_everywhere(void)
{
    AddVectoredExceptionHandler(1, raising_vectored);
    raw_record record = {get_seh_frame(), raising_handler};
    set_seh_frame(seh_addr(&record));
    SetUnhandledExceptionFilter(raising_filter);
    RaiseException(0xE0000066, 0, 0, nullptr);
}

TEST_F(UnhandledDeathTest, AnExceptionRaisedInsideTheFilterEndsTheProcess)
{
    EXPECT_EXIT(raise_with_raisers_everywhere(), testing::ExitedWithCode(0x69),
                "^filter: 0xe0000066\n" + line_of("0xe0000069"));
}

} // namespace
