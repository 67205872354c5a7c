// Raising (R1-R8) and continuing a software raise (C2): the record and the
// context that handlers get, and what the raiser gets back.
#include <gtest/gtest.h>

#include "capture.h"
#include "dispatch_probes.h"
#include "exceptions.h"
#include "pages.h"
#include "probes.h"

namespace {

LONG continue_it(EXCEPTION_POINTERS *, const seen_exception &) { return EXCEPTION_CONTINUE_EXECUTION; }

TEST(Raise, RaiseExceptionBuildsItsRecordFromItsArguments)
{
    handling h(continue_it);
    ULONG_PTR arguments[20];
    for (ULONG_PTR i = 0; i < 20; ++i)
        arguments[i] = 0xA0 + i;
    RaiseException(0xF0ABCDEF, 0x12, 2, arguments);            // R1, R2
    RaiseException(0xE0000001, 0x13, 20, arguments);           // R2, R4: 15 of 20
    RaiseException(0xE0000002, EXCEPTION_NONCONTINUABLE, 5, nullptr); // R4: none
    ASSERT_EQ(3u, h.seen.size());
    const EXCEPTION_RECORD &first = h.seen[0].record, &capped = h.seen[1].record,
                           &none = h.seen[2].record;
    EXPECT_EQ(0xF0ABCDEFu, first.ExceptionCode) << "all 32 bits";
    EXPECT_EQ(0u, first.ExceptionFlags) << "0x12 has no noncontinuable bit";
    EXPECT_EQ(nullptr, first.ExceptionRecord); // R3
    ASSERT_EQ(2u, first.NumberParameters);
    EXPECT_EQ(0xA0u, first.ExceptionInformation[0]);
    EXPECT_EQ(0xA1u, first.ExceptionInformation[1]);
    EXPECT_EQ(static_cast<DWORD>(EXCEPTION_NONCONTINUABLE), capped.ExceptionFlags);
    ASSERT_EQ(15u, capped.NumberParameters);
    for (int i = 0; i < 15; ++i)
        EXPECT_EQ(0xA0u + i, capped.ExceptionInformation[i]);
    EXPECT_EQ(0u, none.NumberParameters);
    for (const seen_exception &s : h.seen) {
        // R5, R6: the address is the context's Eip, which lies in
        // RaiseException; the context holds control, integers, segments.
        EXPECT_EQ(address_of(s.record.ExceptionAddress), s.context.Eip);
        EXPECT_EQ(CONTEXT_FULL, s.context.ContextFlags & CONTEXT_FULL);
        EXPECT_GT(s.context.Eip, address_of(reinterpret_cast<void *>(RaiseException)));
        EXPECT_LT(s.context.Eip, address_of(reinterpret_cast<void *>(RaiseException)) + 256);
        // R8: on this thread's stack, below the raise point.
        EXPECT_LT(address_of(s.context_at), s.context.Esp);
    }
}

// R7: the caller's record itself, with only ExceptionAddress set; the
// context is the caller's as RtlUnwind's entry captures it, and continued
// unchanged the call returns as it would (C2).
TEST(Raise, RtlRaiseExceptionRaisesTheCallersRecordWithItsRegisters)
{
    handling h(continue_it);
    EXCEPTION_RECORD mine = {};
    EXCEPTION_RECORD chained = {};
    mine.ExceptionCode = 0xE0000042;
    mine.ExceptionFlags = 0x20; // not a flag RaiseException would keep
    mine.ExceptionRecord = &chained;
    mine.NumberParameters = 1;
    mine.ExceptionInformation[0] = 0x1234;
    uint32_t out[5] = {};
    rtl_raise_probe(&mine, out);
    ASSERT_EQ(1u, h.seen.size());
    const seen_exception &s = h.seen[0];
    EXPECT_EQ(&mine, s.record_at);
    EXPECT_EQ(rtl_raise_site, mine.ExceptionAddress);
    EXPECT_EQ(0x20u, mine.ExceptionFlags);
    EXPECT_EQ(&chained, mine.ExceptionRecord);
    EXPECT_EQ(1u, mine.NumberParameters);
    EXPECT_EQ(address_of(rtl_raise_site), s.context.Eip);
    EXPECT_EQ(out[0] + 4, s.context.Esp) << "4 above ESP at the call";
    EXPECT_EQ(probe_ebx, s.context.Ebx);
    EXPECT_EQ(probe_esi, s.context.Esi);
    EXPECT_EQ(probe_edi, s.context.Edi);
    EXPECT_EQ(out[0] + 16, s.context.Ebp) << "the probe's frame";
    EXPECT_EQ(probe_ebx, out[1]);
    EXPECT_EQ(probe_esi, out[2]);
    EXPECT_EQ(probe_edi, out[3]);
    EXPECT_EQ(12u, out[4]) << "ESP or EBP not as before the call";
}

// C2 for RaiseException: its caller's callee-saved registers come back.
TEST(Raise, ContinuedRaiseExceptionReturnsWithTheCallersRegisters)
{
    handling h(continue_it);
    uint32_t out[3] = {};
    call_with_callee_saved([](void *) { RaiseException(0xE0000003, 0, 0, nullptr); }, nullptr,
                           out);
    EXPECT_EQ(1u, h.seen.size());
    EXPECT_EQ(probe_ebx, out[0]);
    EXPECT_EQ(probe_esi, out[1]);
    EXPECT_EQ(probe_edi, out[2]);
}

// Bad input to the raises faults where the platform's own raise faults, and
// the fault is an exception like any other: a null record is written at its
// ExceptionAddress, unreadable arguments are read; a misaligned record is a
// record.
TEST(Raise, BadRecordsAndArgumentsFaultAsTheirCallersAccess)
{
    const raised null_record = raised_by([] { RtlRaiseException(nullptr); });
    EXPECT_EQ(static_cast<DWORD>(EXCEPTION_ACCESS_VIOLATION), null_record.code);
    ASSERT_EQ(2u, null_record.parameters);
    EXPECT_EQ(1u, null_record.information[0]) << "a write";
    EXPECT_EQ(12u, null_record.information[1]) << "ExceptionAddress of a null record";

    const uint32_t unreadable = no_access_page();
    const raised bad_arguments = raised_by([unreadable] {
        RaiseException(0xE0000005, 0, 3, reinterpret_cast<const ULONG_PTR *>(unreadable));
    });
    EXPECT_EQ(static_cast<DWORD>(EXCEPTION_ACCESS_VIOLATION), bad_arguments.code);
    EXPECT_EQ(0u, bad_arguments.information[0]) << "a read";
    EXPECT_EQ(unreadable, bad_arguments.information[1]);

    handling h(continue_it);
    alignas(4) char room[sizeof(EXCEPTION_RECORD) + 3] = {};
    auto *odd = reinterpret_cast<EXCEPTION_RECORD *>(room + 1);
    odd->ExceptionCode = 0xE0000004;
    RtlRaiseException(odd);
    ASSERT_EQ(1u, h.seen.size());
    EXPECT_EQ(odd, h.seen[0].record_at);
    EXPECT_EQ(0xE0000004u, h.seen[0].record.ExceptionCode);
}

} // namespace
